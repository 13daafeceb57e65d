#include "raw/format.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "console/console.hpp"
#include "console/messages.hpp"
#include "platform/file_io.hpp"
#include "volume/geometry.hpp"

namespace fat12img {

namespace {

// Offsets 0-115 of the boot sector: the BIOS parameter block of a 1.44 MB floppy, then
// real-mode boot code (loaded at 0x7C00) that prints the message at 0x7C66, waits for a
// key and reboots. The zeros that follow the template end the message.
// clang-format off
constexpr uint8_t kBootTemplate[] = {
    0xEB, 0x3C,                                          // jmp short 0x7C3E (the code)
    0x90,                                                // nop
    'O', 'E', 'M', ' ', 'N', 'A', 'M', 'E',              // OEM name
    0x00, 0x02,                                          // 512 bytes per sector
    0x01,                                                // 1 sector per cluster
    0x01, 0x00,                                          // 1 reserved sector
    0x02,                                                // 2 FATs
    0xE0, 0x00,                                          // 224 root entries
    0x40, 0x0B,                                          // 2880 sectors
    0xF0,                                                // media descriptor
    0x09, 0x00,                                          // 9 sectors per FAT
    0x12, 0x00,                                          // 18 sectors per track
    0x02, 0x00,                                          // 2 heads
    0x00, 0x00, 0x00, 0x00,                              // hidden sectors
    0x00, 0x00, 0x00, 0x00,                              // 32-bit total sectors
    0x00,                                                // drive number
    0x00,                                                // reserved
    0x00,                                                // no extended boot signature
    0x00, 0x00, 0x00, 0x00,                              // serial number
    'N', 'O', ' ', 'N', 'A', 'M', 'E', ' ', ' ', ' ', ' ',  // volume label
    'F', 'A', 'T', '1', '2', ' ', ' ', ' ',              // file-system type
    // 0x7C3E:
    0xFA,                                                // cli
    0xFC,                                                // cld
    0x31, 0xC0,                                          // xor ax, ax
    0x8E, 0xD8,                                          // mov ds, ax
    0x8E, 0xC0,                                          // mov es, ax
    0x8E, 0xD0,                                          // mov ss, ax
    0xBC, 0x00, 0x7C,                                    // mov sp, 0x7C00
    0xFB,                                                // sti
    0xBE, 0x66, 0x7C,                                    // mov si, 0x7C66 (the message)
    0xE8, 0x06, 0x00,                                    // call print
    0x31, 0xC0,                                          // xor ax, ax
    0xCD, 0x16,                                          // int 0x16 (wait for a key)
    0xCD, 0x19,                                          // int 0x19 (reboot)
    // print:
    0x31, 0xDB,                                          // xor bx, bx
    0xB4, 0x0E,                                          // mov ah, 0x0E (teletype output)
    // next:
    0xAC,                                                // lodsb
    0x3C, 0x00,                                          // cmp al, 0
    0x74, 0x04,                                          // je done
    0xCD, 0x10,                                          // int 0x10
    0xEB, 0xF7,                                          // jmp next
    // done:
    0xC3,                                                // ret
    // 0x7C66: the message
    'I', 'n', 'v', 'a', 'l', 'i', 'd', ' ', 'D', 'i', 's', 'k', 0x0D, 0x0A,
};
// clang-format on
static_assert(sizeof kBootTemplate == 116, "the template ends where the zeros begin");

}  // namespace

std::vector<uint8_t> formattedBootSector() {
    std::vector<uint8_t> sector(floppy::kSectorSize, 0);
    std::memcpy(sector.data(), kBootTemplate, sizeof kBootTemplate);
    sector[boot::kSignature] = 0x55;
    sector[boot::kSignature + 1] = 0xAA;
    return sector;
}

bool writeEmptyFloppy(std::FILE* file) {
    // Everything in front of the data area is one write; the data area follows as copies
    // of one sector of the fill byte.
    constexpr uint32_t kSystemSectors =
        1 + floppy::kNumberOfFats * floppy::kSectorsPerFat + floppy::kRootDirSectors;
    std::vector<uint8_t> buffer;
    try {
        buffer.assign(static_cast<size_t>(kSystemSectors) * floppy::kSectorSize, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const std::vector<uint8_t> bootSector = formattedBootSector();
    std::copy(bootSector.begin(), bootSector.end(), buffer.begin());
    for (uint32_t copy = 0; copy < floppy::kNumberOfFats; ++copy) {
        // Entry 0 holds the media byte (0xFF0), entry 1 the end mark 0xFFF.
        uint8_t* fat = buffer.data() + (1 + copy * floppy::kSectorsPerFat) * floppy::kSectorSize;
        fat[0] = floppy::kMediaDescriptor;
        fat[1] = 0xFF;
        fat[2] = 0xFF;
    }
    if (!writeBlock(file, buffer.data(), buffer.size(), FileRole::Image)) {
        return false;
    }
    buffer.assign(floppy::kSectorSize, floppy::kDataFill);
    return writeRepeated(file, buffer.data(), buffer.size(), floppy::kDataSectors, FileRole::Image);
}

FloppyWrite cmdFormat(const char* imagePath, bool imageClosed) {
    // The image is rewritten in place: the run holds its lock, and the file is what the
    // user asked to format.
    OpenFile file = OpenFile::open(imagePath, "wb", FileRole::Image);
    FloppyWrite outcome = FloppyWrite::CannotCreate;
    if (file) {
        const bool written = writeEmptyFloppy(file.get());
        outcome = file.close() && written ? FloppyWrite::Done : FloppyWrite::WriteFailed;
    }
    // A close that failed may be a write of the old image that never completed; the new
    // image replaces it all the same, but the failure is said.
    if (outcome == FloppyWrite::WriteFailed || !imageClosed) {
        printLine(msg::kMsgWriteFailed);
    }
    return outcome;
}

}  // namespace fat12img
