#include "raw/raw_transfer.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "console/console.hpp"
#include "console/messages.hpp"
#include "platform/file_io.hpp"
#include "platform/file_open.hpp"
#include "volume/byte_buffer.hpp"
#include "volume/image_device.hpp"

namespace fat12img {

namespace {

// Sectors move this many at a time, through one buffer that is reused.
constexpr uint32_t kSectorsPerTransfer = 128;

bool exceedsLimit(int64_t first, int64_t count) {
    return first + count > raw::kMaxSectors;
}

void printLimitMessage() {
    printFormatted(msg::kFmtTransferTooLarge, raw::kMaxMegabytes);
}

// Writes `length` bytes of `value` at the file's position, whole sectors in as few calls as
// the host allows.
bool writeFill(std::FILE* file, uint8_t value, uint64_t length, FileRole role) {
    uint8_t sector[raw::kSectorSize];
    std::memset(sector, value, sizeof sector);
    const size_t head = static_cast<size_t>(length % raw::kSectorSize);
    // The head goes the way the sectors go (straight to the descriptor where the host has
    // one), so that no byte waits in a stream buffer behind those written after it.
    return (head == 0 || writeRepeated(file, sector, head, 1, role)) &&
           writeRepeated(file, sector, raw::kSectorSize,
                         static_cast<size_t>(length / raw::kSectorSize), role);
}

// Copies count sectors from the host file's position to the image's: a sector the host
// file ends inside is written as far as it goes, or filled up with the fill byte when one
// is given (and so is every sector after it). A host file that is the image itself is read
// whole before anything is written, so that ranges that overlap copy as if through a
// buffer of their own; anything else streams.
bool copySectors(std::FILE* host, std::FILE* target, int64_t count, int32_t fill,
                 bool hostIsImage) {
    if (!hostIsImage) {
        const uint64_t total = static_cast<uint64_t>(count) * raw::kSectorSize;
        CopyBuffer copies;
        uint64_t moved = 0;
        switch (copyBetween({host, FileRole::Host, {}}, {target, FileRole::Image, {}}, total,
                            copies, &moved)) {
            case CopyOutcome::Whole:
                return true;
            case CopyOutcome::SourceEnded:
                // The host file has ended: the sectors after it are not written.
                return fill == -1 || writeFill(target, static_cast<uint8_t>(fill & 0xFF),
                                               total - moved, FileRole::Image);
            case CopyOutcome::ReadFailed:
            case CopyOutcome::WriteFailed:
                break;
        }
        return false;
    }
    ByteBuffer buffer;
    try {
        buffer.resize(static_cast<size_t>(count) * raw::kSectorSize);
    } catch (const std::bad_alloc&) {
        return false;
    }
    size_t got = 0;
    if (readBlock(host, buffer.data(), buffer.size(), FileRole::Host, &got) ==
        ReadOutcome::Failed) {
        return false;
    }
    if (fill != -1) {
        std::memset(buffer.data() + got, fill & 0xFF, buffer.size() - got);
        got = buffer.size();
    }
    return got == 0 || writeBlock(target, buffer.data(), got, FileRole::Image);
}

// The length of a host file that says it is empty (files under /proc say so whatever they
// hold), found by reading it to its end, but no further than `limit`; the transfer seeks
// it to where it starts afterwards. None when a read fails.
std::optional<uint64_t> lengthByReading(std::FILE* host, uint64_t limit) {
    ByteBuffer buffer;
    try {
        buffer.resize(static_cast<size_t>(kSectorsPerTransfer) * raw::kSectorSize);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    uint64_t length = 0;
    ReadOutcome outcome = ReadOutcome::Whole;
    while (outcome == ReadOutcome::Whole && length <= limit) {
        size_t got = 0;
        outcome = readBlock(host, buffer.data(), buffer.size(), FileRole::Host, &got);
        length += got;
    }
    if (outcome == ReadOutcome::Failed) {
        return std::nullopt;
    }
    return length;
}

}  // namespace

std::optional<SectorSource> openSectorSource(const char* hostPath, const RawParameters& p,
                                             const char* imagePath) {
    SectorSource source;
    source.count = p.num;
    if (source.count == 0) {
        source.host = openHostFileForReading(hostPath);
        std::optional<uint64_t> size = source.host ? fileSize(source.host.get()) : std::nullopt;
        if (size == uint64_t(0)) {
            size = lengthByReading(source.host.get(), raw::kMaxSectors * raw::kSectorSize);
        }
        if (!size) {
            printLine(msg::kMsgCannotOpenHostFile);
            return std::nullopt;
        }
        // Anything past the limit is refused below; the count need not hold more.
        const uint64_t sectors = (*size + raw::kSectorSize - 1) / raw::kSectorSize;
        source.count = static_cast<int64_t>(std::min<uint64_t>(sectors, raw::kMaxSectors + 1));
    }
    if (exceedsLimit(p.base, source.count) || exceedsLimit(p.lba, source.count)) {
        printLimitMessage();
        return std::nullopt;
    }
    if (!source.host) {
        source.host = openHostFileForReading(hostPath);
        if (!source.host) {
            printLine(msg::kMsgCannotOpenHostFile);
            return std::nullopt;
        }
    }
    source.hostIsImage = isSameHostFile(hostPath, imagePath);
    return source;
}

bool cmdWrite(SectorSource& source, const RawParameters& p, const char* imagePath, bool imageClosed,
              bool syncWrites) {
    const char* message = imageClosed ? nullptr : msg::kMsgWriteFailed;
    OpenFile target =
        imagePath != nullptr ? OpenFile::open(imagePath, "r+b", FileRole::Image) : OpenFile();
    if (!target) {
        message = msg::kMsgCannotOpenImage;
    } else if (!seekFile(source.host.get(), static_cast<uint64_t>(p.base) * raw::kSectorSize)) {
        message = msg::kMsgHostSeekFailed;
    } else if (!seekFile(target.get(), static_cast<uint64_t>(p.lba) * raw::kSectorSize)) {
        message = msg::kMsgImageSeekFailed;
    } else {
        const bool copied =
            copySectors(source.host.get(), target.get(), source.count, p.ch, source.hostIsImage) &&
            (!syncWrites || syncFile(target.get(), FileRole::Image));
        if (!target.close() || !copied) {
            message = msg::kMsgWriteFailed;
        }
    }
    // Only the host file is left open; its close is a transfer like any other.
    if (!source.host.close() && message == nullptr) {
        message = msg::kMsgWriteFailed;
    }
    if (message != nullptr) {
        printLine(message);
    }
    return message == nullptr;
}

void cmdRead(const char* hostPath, const RawParameters& p, ImageDevice& image,
             const char* imagePath) {
    const int64_t count = p.num == 0 ? 1 : p.num;
    if (exceedsLimit(p.base, count) || exceedsLimit(p.lba, count)) {
        printLimitMessage();
        return;
    }
    // Creating the host file would empty the image before it is read.
    if (isSameHostFile(hostPath, imagePath)) {
        printLine(msg::kMsgCannotOpenHostFile);
        return;
    }
    HostReplacement host = HostReplacement::open(hostPath);
    if (!host) {
        printLine(msg::kMsgCannotOpenHostFile);
        return;
    }
    // A FIFO that has a reader cannot be sought, not even to where it is.
    if (p.base != 0 && !seekFile(host.get(), static_cast<uint64_t>(p.base) * raw::kSectorSize)) {
        printLine(msg::kMsgHostWriteSeekFailed);
        return;
    }
    const char* message = nullptr;
    const uint64_t total = static_cast<uint64_t>(count) * raw::kSectorSize;
    CopyBuffer copies;
    uint64_t moved = 0;
    switch (image.file == nullptr
                ? CopyOutcome::ReadFailed
                : copyBetween({image.file, FileRole::Image,
                               static_cast<uint64_t>(p.lba) * raw::kSectorSize},
                              {host.get(), FileRole::Host, {}}, total, copies, &moved)) {
        case CopyOutcome::Whole:
            break;
        case CopyOutcome::SourceEnded:
            // Bytes past the end of the image read as zero.
            if (!writeFill(host.get(), 0, total - moved, FileRole::Host)) {
                message = msg::kMsgWriteFailed;
            }
            break;
        case CopyOutcome::ReadFailed:
            message = msg::kMsgReadFailed;
            break;
        case CopyOutcome::WriteFailed:
            message = msg::kMsgWriteFailed;
            break;
    }
    if (message == nullptr && !host.commit()) {
        message = msg::kMsgWriteFailed;
    }
    if (message != nullptr) {
        printLine(message);
    }
}

}  // namespace fat12img
