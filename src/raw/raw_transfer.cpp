#include "raw/raw_transfer.hpp"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "shell/console.hpp"
#include "shell/image_state.hpp"
#include "shell/messages.hpp"
#include "volume/image_device.hpp"

namespace fat12img {

namespace {

bool exceedsLimit(int64_t first, int64_t count) {
    return first + count > raw::kMaxSectors;
}

void printLimitMessage() {
    std::printf(msg::kFmtTransferTooLarge, raw::kMaxMegabytes);
}

bool isDirectory(const char* path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

// Opens a host file for reading; a directory opens on some systems but holds no bytes.
std::FILE* openHostForReading(const char* path) {
    if (isDirectory(path)) {
        return nullptr;
    }
    return std::fopen(path, "rb");
}

// Closes what the failed write opened and mounts the image again, so the shell goes on
// with an image in whatever mode it now gives.
bool abandonWrite(std::FILE* host, std::FILE* imageFile, const char* message) {
    printLine(message);
    if (host != nullptr) {
        std::fclose(host);
    }
    if (imageFile != nullptr) {
        std::fclose(imageFile);
    }
    mountImage(image.imagePath);
    return false;
}

}  // namespace

bool cmdWrite(const char* hostPath, int32_t base, int32_t lba, int32_t num, int32_t ch) {
    std::FILE* host = nullptr;
    int64_t count = num;
    if (count == 0) {
        host = openHostForReading(hostPath);
        if (host == nullptr) {
            printLine(msg::kMsgCannotOpenHostFile);
            return false;
        }
        long size = -1;
        if (std::fseek(host, 0, SEEK_END) == 0) {
            size = std::ftell(host);
        }
        if (size < 0 || std::fseek(host, 0, SEEK_SET) != 0) {
            std::fclose(host);
            printLine(msg::kMsgCannotOpenHostFile);
            return false;
        }
        count = (static_cast<int64_t>(size) + raw::kSectorSize - 1) / raw::kSectorSize;
    }
    if (exceedsLimit(base, count) || exceedsLimit(lba, count)) {
        printLimitMessage();
        if (host != nullptr) {
            std::fclose(host);
        }
        return false;
    }
    if (host == nullptr) {
        host = openHostForReading(hostPath);
        if (host == nullptr) {
            printLine(msg::kMsgCannotOpenHostFile);
            return false;
        }
    }

    closeImage();
    std::FILE* target = image.imagePath != nullptr ? std::fopen(image.imagePath, "r+b") : nullptr;
    if (target == nullptr) {
        return abandonWrite(host, nullptr, msg::kMsgCannotOpenImage);
    }
    if (std::fseek(host, static_cast<long>(base) * raw::kSectorSize, SEEK_SET) != 0) {
        return abandonWrite(host, target, msg::kMsgHostSeekFailed);
    }
    if (std::fseek(target, static_cast<long>(lba) * raw::kSectorSize, SEEK_SET) != 0) {
        return abandonWrite(host, target, msg::kMsgImageSeekFailed);
    }
    uint8_t buffer[raw::kSectorSize];
    for (int64_t i = 0; i < count; ++i) {
        size_t n = std::fread(buffer, 1, sizeof buffer, host);
        if (ch != -1) {
            std::memset(buffer + n, ch & 0xFF, sizeof buffer - n);
            n = sizeof buffer;
        }
        if (n > 0) {
            std::fwrite(buffer, 1, n, target);
        }
    }
    std::fclose(host);
    std::fclose(target);
    return mountImage(image.imagePath);
}

void cmdRead(const char* hostPath, int32_t base, int32_t lba, int32_t num) {
    const int64_t count = num == 0 ? 1 : num;
    if (exceedsLimit(base, count) || exceedsLimit(lba, count)) {
        printLimitMessage();
        return;
    }
    // Creating the host file would empty the image before it is read.
    if (isImageFile(hostPath) || isDirectory(hostPath)) {
        printLine(msg::kMsgCannotOpenHostFile);
        return;
    }
    std::FILE* host = std::fopen(hostPath, "wb");
    if (host == nullptr) {
        printLine(msg::kMsgCannotOpenHostFile);
        return;
    }
    if (std::fseek(host, static_cast<long>(base) * raw::kSectorSize, SEEK_SET) != 0) {
        printLine(msg::kMsgHostWriteSeekFailed);
        std::fclose(host);
        return;
    }
    uint8_t buffer[raw::kSectorSize];
    for (int64_t i = 0; i < count; ++i) {
        // Bytes past the end of the image read as zero.
        std::memset(buffer, 0, sizeof buffer);
        imageRead(image.imageDevice, static_cast<uint32_t>(lba + i), buffer, sizeof buffer);
        std::fwrite(buffer, 1, sizeof buffer, host);
    }
    std::fclose(host);
}

}  // namespace fat12img
