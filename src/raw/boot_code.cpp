#include "raw/boot_code.hpp"

#include <algorithm>
#include <cstdint>
#include <new>

#include "console/console.hpp"
#include "console/messages.hpp"
#include "platform/file_io.hpp"
#include "platform/file_open.hpp"

namespace fat12img {

namespace {

constexpr uint8_t kShortJump = 0xEB;
constexpr uint8_t kNearJump = 0xE9;

}  // namespace

std::optional<ByteBuffer> readBootCode(const char* hostPath, const Geometry& g) {
    OpenFile host = openHostFileForReading(hostPath);
    const std::optional<uint64_t> size = host ? fileSize(host.get()) : std::nullopt;
    if (!size) {
        printLine(msg::kMsgCannotOpenHostFile);
        return std::nullopt;
    }
    if (*size < boot::kSize) {
        printLine(msg::kMsgBootTooShort);
        return std::nullopt;
    }
    // Past the reserved sectors lies the first FAT.
    if (*size > uint64_t{g.reservedSectors} * g.bytesPerSector) {
        printLine(msg::kMsgBootTooLong);
        return std::nullopt;
    }
    ByteBuffer code;
    try {
        code.resize(static_cast<size_t>(*size));
    } catch (const std::bad_alloc&) {
        printLine(msg::kMsgOutOfMemory);
        return std::nullopt;
    }
    if (readBlock(host.get(), code.data(), code.size(), FileRole::Host) != ReadOutcome::Whole ||
        !host.close()) {
        printLine(msg::kMsgReadFailed);
        return std::nullopt;
    }
    if (code[boot::kSignature] != 0x55 || code[boot::kSignature + 1] != 0xAA) {
        printLine(msg::kMsgBootNoSignature);
        return std::nullopt;
    }
    if (code[boot::kJump] != kShortJump && code[boot::kJump] != kNearJump) {
        printLine(msg::kMsgBootNoJump);
        return std::nullopt;
    }
    return code;
}

bool cmdBoot(const ByteBuffer& code, const char* imagePath, bool imageClosed, bool syncWrites) {
    ByteBuffer old;
    try {
        old.resize(code.size());
    } catch (const std::bad_alloc&) {
        printLine(msg::kMsgOutOfMemory);
        return false;
    }
    const char* message = imageClosed ? nullptr : msg::kMsgWriteFailed;
    OpenFile image =
        imagePath != nullptr ? OpenFile::open(imagePath, "r+b", FileRole::Image) : OpenFile();
    if (!image) {
        printLine(msg::kMsgCannotOpenImage);
        return false;
    }
    // The old bytes are read first: they keep the parameter block and are what a failed
    // write puts back.
    if (readBlockAt(image.get(), 0, old.data(), old.size(), FileRole::Image) !=
        ReadOutcome::Whole) {
        message = msg::kMsgReadFailed;
    } else {
        ByteBuffer replacement = code;
        std::copy(old.begin() + boot::kBytesPerSector, old.begin() + boot::kBootCode,
                  replacement.begin() + boot::kBytesPerSector);
        auto written = [&](const ByteBuffer& bytes) {
            return writeBlockAt(image.get(), 0, bytes.data(), bytes.size(), FileRole::Image) &&
                   (!syncWrites || syncFile(image.get(), FileRole::Image));
        };
        if (replacement != old && !written(replacement)) {
            // The failure is said whether or not the old bytes go back.
            written(old);
            message = msg::kMsgWriteFailed;
        }
    }
    if (!image.close() && message == nullptr) {
        message = msg::kMsgWriteFailed;
    }
    if (message != nullptr) {
        printLine(message);
    }
    return message == nullptr;
}

}  // namespace fat12img
