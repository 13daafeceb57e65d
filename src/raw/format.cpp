#include "raw/format.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "console/console.hpp"
#include "console/messages.hpp"
#include "directory/dir_entry.hpp"
#include "platform/file_io.hpp"
#include "volume/byte_order.hpp"
#include "volume/geometry.hpp"

namespace fat12img {

namespace {

// The boot sector around the parameter block: a jump over it to the code, the OEM name,
// then real-mode code (loaded at 0x7C00) that prints the message at 0x7C66, waits for a
// key and reboots. The zeros that follow end the message.
// clang-format off
constexpr uint8_t kJumpAndName[] = {
    0xEB, 0x3C,                                          // jmp short 0x7C3E (the code)
    0x90,                                                // nop
    'O', 'E', 'M', ' ', 'N', 'A', 'M', 'E',              // OEM name
};
constexpr uint8_t kBootCode[] = {
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
static_assert(sizeof kJumpAndName == boot::kBytesPerSector, "the parameter block follows");
static_assert(boot::kBootCode + sizeof kBootCode == 116, "the code ends where the zeros begin");

constexpr uint8_t kExtendedBootSignature = 0x29;
constexpr LabelField kNoLabel = {'N', 'O', ' ', 'N', 'A', 'M', 'E', ' ', ' ', ' ', ' '};
constexpr uint8_t kBootSignature[] = {0x55, 0xAA};

bool isLeadByte(uint8_t c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// A whole decimal number (an optional plus, digits, nothing else) of at most five digits:
// every size a layout has.
std::optional<uint32_t> smallDecimal(const char* text) {
    const char* digits = *text == '+' ? text + 1 : text;
    const size_t length = std::strlen(digits);
    if (length == 0 || length > 5 || std::strspn(digits, "0123456789") != length) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(std::strtoul(digits, nullptr, 10));
}

// One to eight hexadecimal digits, or the form DOS shows, XXXX-XXXX.
std::optional<uint32_t> serialNumber(const char* text) {
    char digits[9] = {};
    size_t length = std::strlen(text);
    if (length == 9 && text[4] == '-') {
        std::memcpy(digits, text, 4);
        std::memcpy(digits + 4, text + 5, 4);
        length = 8;
    } else if (length >= 1 && length <= 8) {
        std::memcpy(digits, text, length);
    } else {
        return std::nullopt;
    }
    if (std::strspn(digits, "0123456789abcdefABCDEF") != length) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(std::strtoul(digits, nullptr, 16));
}

// Up to 11 bytes, blank padded, ASCII letters in upper case. Refused: an empty label, a
// leading blank (the field would read as an unused slot), control bytes and the
// characters no FAT reader accepts in a label; the second byte of a Shift_JIS character
// is exempt, and a lead byte must have one.
std::optional<LabelField> labelField(const char* text) {
    const size_t length = std::strlen(text);
    if (length == 0 || length > sizeof(LabelField) || text[0] == ' ') {
        return std::nullopt;
    }
    LabelField field;
    field.fill(entry::kBlank);
    for (size_t i = 0; i < length; ++i) {
        const uint8_t c = static_cast<uint8_t>(text[i]);
        if (isLeadByte(c)) {
            if (i + 1 == length) {
                return std::nullopt;
            }
            field[i] = c;
            field[i + 1] = static_cast<uint8_t>(text[i + 1]);
            ++i;
            continue;
        }
        if (c < 0x20 || c == 0x7F || std::strchr("\"*+,./:;<=>?[\\]|", c) != nullptr) {
            return std::nullopt;
        }
        field[i] = (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 'a' + 'A') : c;
    }
    return field;
}

}  // namespace

bool setFormatParameter(FormatOptions& options, const char* key, const char* value) {
    if (std::strcmp(key, "size") == 0) {
        const std::optional<uint32_t> size = smallDecimal(value);
        const FloppyLayout* layout = size ? findFloppyLayout(*size) : nullptr;
        if (layout != nullptr) {
            options.layout = layout;
        }
        return layout != nullptr;
    }
    if (std::strcmp(key, "label") == 0) {
        options.label = labelField(value);
        return options.label.has_value();
    }
    if (std::strcmp(key, "serial") == 0) {
        options.serial = serialNumber(value);
        return options.serial.has_value();
    }
    return false;
}

std::vector<uint8_t> formattedBootSector(const FormatOptions& options) {
    const FloppyLayout& layout = *options.layout;
    std::vector<uint8_t> sector(boot::kSize, 0);
    uint8_t* b = sector.data();
    std::memcpy(b, kJumpAndName, sizeof kJumpAndName);
    writeLe16(b + boot::kBytesPerSector, layout.bytesPerSector);
    b[boot::kSectorsPerCluster] = layout.sectorsPerCluster;
    writeLe16(b + boot::kReservedSectors, floppy::kReservedSectors);
    b[boot::kNumberOfFats] = floppy::kNumberOfFats;
    writeLe16(b + boot::kRootEntryCount, layout.rootEntries);
    writeLe16(b + boot::kTotalSectors16, layout.totalSectors);
    b[boot::kMediaDescriptor] = layout.media;
    writeLe16(b + boot::kSectorsPerFat, layout.sectorsPerFat);
    writeLe16(b + boot::kSectorsPerTrack, layout.sectorsPerTrack);
    writeLe16(b + boot::kNumberOfHeads, layout.heads);
    // Hidden sectors, the 32-bit total and the drive number stay zero.
    if (options.label || options.serial) {
        b[boot::kExtendedSignature] = kExtendedBootSignature;
    }
    writeLe32(b + boot::kSerialNumber, options.serial.value_or(0));
    const LabelField label = options.label.value_or(kNoLabel);
    std::copy(label.begin(), label.end(), b + boot::kVolumeLabel);
    std::memcpy(b + boot::kFileSystemType, boot::kFat12Type, 8);
    std::memcpy(b + boot::kBootCode, kBootCode, sizeof kBootCode);
    std::memcpy(b + boot::kSignature, kBootSignature, sizeof kBootSignature);
    return sector;
}

bool writeFloppy(std::FILE* file, const FormatOptions& options) {
    const FloppyLayout& layout = *options.layout;
    const size_t sectorSize = layout.bytesPerSector;
    // Everything in front of the data area is one write; the data area follows as copies
    // of one sector of the fill byte.
    std::vector<uint8_t> buffer;
    try {
        buffer.assign(firstDataSector(layout) * sectorSize, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const std::vector<uint8_t> bootSector = formattedBootSector(options);
    std::copy(bootSector.begin(), bootSector.end(), buffer.begin());
    for (uint32_t copy = 0; copy < floppy::kNumberOfFats; ++copy) {
        // Entry 0 holds the media byte (0xF00 and up), entry 1 the end mark 0xFFF.
        uint8_t* fat =
            buffer.data() + (floppy::kReservedSectors + copy * layout.sectorsPerFat) * sectorSize;
        fat[0] = layout.media;
        fat[1] = 0xFF;
        fat[2] = 0xFF;
    }
    if (options.label) {
        uint8_t* slot = buffer.data() + rootDirSector(layout) * sectorSize;
        fillEntry(slot, options.label->data(), entry::kAttrVolumeLabel, 0, 0);
        // A first byte of 0xE5 would read as a free slot.
        if (slot[entry::kName] == entry::kFreeMarker) {
            slot[entry::kName] = entry::kEscapedE5;
        }
    }
    bool written = writeBlock(file, buffer.data(), buffer.size(), FileRole::Image);
    buffer.assign(sectorSize, floppy::kDataFill);
    written =
        written && writeRepeated(file, buffer.data(), buffer.size(),
                                 layout.totalSectors - firstDataSector(layout), FileRole::Image);
    return written;
}

FloppyWrite cmdFormat(const char* imagePath, bool imageClosed, bool syncWrites,
                      const FormatOptions& options) {
    // The image is rewritten in place: the run holds its lock, and the file is what the
    // user asked to format.
    OpenFile file = OpenFile::open(imagePath, "wb", FileRole::Image);
    FloppyWrite outcome = FloppyWrite::CannotCreate;
    if (file) {
        const bool written = writeFloppy(file.get(), options) &&
                             (!syncWrites || syncFile(file.get(), FileRole::Image));
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
