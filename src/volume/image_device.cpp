#include "volume/image_device.hpp"

namespace fat12img {

namespace {

bool positionAt(ImageDevice& device, uint64_t offset) {
    if (device.position == offset) {
        return true;
    }
    device.position.reset();
    if (!seekFile(device.file, offset)) {
        return false;
    }
    device.position = offset;
    return true;
}

uint64_t byteOffset(uint32_t sector, uint32_t unitBytes) {
    return static_cast<uint64_t>(sector) * unitBytes;
}

}  // namespace

ReadOutcome imageReadUpTo(ImageDevice& device, uint32_t sector, uint8_t* buffer, size_t length,
                          size_t& bytesRead, uint32_t unitBytes) {
    bytesRead = 0;
    const uint64_t offset = byteOffset(sector, unitBytes);
    if (device.file == nullptr || !positionAt(device, offset)) {
        return ReadOutcome::Failed;
    }
    const ReadOutcome outcome = readBlock(device.file, buffer, length, FileRole::Image, &bytesRead);
    if (outcome == ReadOutcome::Whole) {
        device.position = offset + length;
    } else {
        device.readFailed = device.readFailed || outcome == ReadOutcome::Failed;
        // A short or failed read leaves the handle's state to the host: seek next time.
        device.position.reset();
        std::clearerr(device.file);
    }
    return outcome;
}

bool imageRead(ImageDevice& device, uint32_t sector, uint8_t* buffer, size_t length,
               uint32_t unitBytes) {
    size_t bytesRead = 0;
    return imageReadUpTo(device, sector, buffer, length, bytesRead, unitBytes) ==
           ReadOutcome::Whole;
}

bool imageWrite(ImageDevice& device, uint32_t sector, const uint8_t* buffer, size_t length,
                uint32_t unitBytes) {
    const uint64_t offset = byteOffset(sector, unitBytes);
    if (device.file == nullptr || !positionAt(device, offset)) {
        return false;
    }
    if (!writeBlock(device.file, buffer, length, FileRole::Image)) {
        device.position.reset();
        std::clearerr(device.file);
        return false;
    }
    device.position = offset + length;
    return true;
}

}  // namespace fat12img
