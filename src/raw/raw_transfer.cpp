#include "raw/raw_transfer.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "platform/file_io.hpp"
#include "shell/console.hpp"
#include "shell/image_state.hpp"
#include "shell/messages.hpp"
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
    std::printf(msg::kFmtTransferTooLarge, raw::kMaxMegabytes);
}

// Opens a host file for reading; a directory opens on some systems but holds no bytes.
OpenFile openHostForReading(const char* path) {
    if (isHostDirectory(path)) {
        return OpenFile();
    }
    return OpenFile::open(path, "rb", FileRole::Host);
}

// Copies count sectors from the host file's position to the image's: a sector the host
// file ends inside is written as far as it goes, or filled up with the fill byte when one
// is given. A host file that is the image itself is read whole before anything is
// written, so that ranges that overlap copy as if through a buffer of their own.
bool copySectors(std::FILE* host, std::FILE* target, int64_t count, int32_t fill,
                 bool hostIsImage) {
    const int64_t perTransfer = hostIsImage ? count : kSectorsPerTransfer;
    ByteBuffer buffer;
    try {
        buffer.resize(static_cast<size_t>(std::min(count, perTransfer)) * raw::kSectorSize);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (int64_t done = 0; done < count;) {
        const int64_t sectors = std::min<int64_t>(count - done, perTransfer);
        const size_t want = static_cast<size_t>(sectors) * raw::kSectorSize;
        size_t got = 0;
        if (readBlock(host, buffer.data(), want, FileRole::Host, &got) == ReadOutcome::Failed) {
            return false;
        }
        if (fill != -1) {
            std::memset(buffer.data() + got, fill & 0xFF, want - got);
            got = want;
        }
        if (got > 0 && !writeBlock(target, buffer.data(), got, FileRole::Image)) {
            return false;
        }
        if (got < want) {
            return true;  // the host file has ended: the sectors after it are not written
        }
        done += sectors;
    }
    return true;
}

}  // namespace

bool cmdWrite(const char* hostPath, int32_t base, int32_t lba, int32_t num, int32_t ch) {
    OpenFile host;
    int64_t count = num;
    if (count == 0) {
        host = openHostForReading(hostPath);
        const std::optional<uint64_t> size = host ? fileSize(host.get()) : std::nullopt;
        if (!size) {
            printLine(msg::kMsgCannotOpenHostFile);
            return false;
        }
        // Anything past the limit is refused below; the count need not hold more.
        const uint64_t sectors = (*size + raw::kSectorSize - 1) / raw::kSectorSize;
        count = static_cast<int64_t>(std::min<uint64_t>(sectors, raw::kMaxSectors + 1));
    }
    if (exceedsLimit(base, count) || exceedsLimit(lba, count)) {
        printLimitMessage();
        return false;
    }
    if (!host) {
        host = openHostForReading(hostPath);
        if (!host) {
            printLine(msg::kMsgCannotOpenHostFile);
            return false;
        }
    }

    const bool hostIsImage = isImageFile(hostPath);
    const char* message = closeImage() ? nullptr : msg::kMsgWriteFailed;
    OpenFile target = image.imagePath != nullptr
                          ? OpenFile::open(image.imagePath, "r+b", FileRole::Image)
                          : OpenFile();
    if (!target) {
        message = msg::kMsgCannotOpenImage;
    } else if (!seekFile(host.get(), static_cast<uint64_t>(base) * raw::kSectorSize)) {
        message = msg::kMsgHostSeekFailed;
    } else if (!seekFile(target.get(), static_cast<uint64_t>(lba) * raw::kSectorSize)) {
        message = msg::kMsgImageSeekFailed;
    } else {
        const bool copied = copySectors(host.get(), target.get(), count, ch, hostIsImage);
        if (!target.close() || !copied) {
            message = msg::kMsgWriteFailed;
        }
    }
    // Only the host file is left open; its close is a transfer like any other.
    if (!host.close() && message == nullptr) {
        message = msg::kMsgWriteFailed;
    }
    if (message != nullptr) {
        printLine(message);
    }
    target.close();
    // The shell goes on with the image in whatever mode it now gives.
    const bool mounted = mountImage(image.imagePath);
    return message == nullptr && mounted;
}

void cmdRead(const char* hostPath, int32_t base, int32_t lba, int32_t num) {
    const int64_t count = num == 0 ? 1 : num;
    if (exceedsLimit(base, count) || exceedsLimit(lba, count)) {
        printLimitMessage();
        return;
    }
    // Creating the host file would empty the image before it is read.
    if (isImageFile(hostPath) || isHostDirectory(hostPath)) {
        printLine(msg::kMsgCannotOpenHostFile);
        return;
    }
    OpenFile host = OpenFile::open(hostPath, "wb", FileRole::Host);
    if (!host) {
        printLine(msg::kMsgCannotOpenHostFile);
        return;
    }
    if (!seekFile(host.get(), static_cast<uint64_t>(base) * raw::kSectorSize)) {
        printLine(msg::kMsgHostWriteSeekFailed);
        return;
    }
    ByteBuffer buffer;
    try {
        buffer.resize(static_cast<size_t>(kSectorsPerTransfer) * raw::kSectorSize);
    } catch (const std::bad_alloc&) {
        printLine(msg::kMsgOutOfMemory);
        return;
    }
    const char* message = nullptr;
    for (int64_t done = 0; done < count && message == nullptr;) {
        const int64_t sectors = std::min<int64_t>(count - done, kSectorsPerTransfer);
        const size_t want = static_cast<size_t>(sectors) * raw::kSectorSize;
        size_t got = 0;
        // Bytes past the end of the image read as zero.
        if (imageReadUpTo(image.imageDevice, static_cast<uint32_t>(lba + done), buffer.data(), want,
                          got) == ReadOutcome::Failed) {
            message = msg::kMsgReadFailed;
            break;
        }
        std::memset(buffer.data() + got, 0, want - got);
        if (!writeBlock(host.get(), buffer.data(), want, FileRole::Host)) {
            message = msg::kMsgWriteFailed;
        }
        done += sectors;
    }
    if (!host.close() && message == nullptr) {
        message = msg::kMsgWriteFailed;
    }
    if (message != nullptr) {
        removeIncompleteHostFile(hostPath);
        printLine(message);
    }
}

}  // namespace fat12img
