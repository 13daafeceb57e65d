#include "volume/image_device.hpp"

namespace fat12img {

namespace {

uint64_t byteOffset(uint32_t sector, uint32_t unitBytes) {
    return static_cast<uint64_t>(sector) * unitBytes;
}

}  // namespace

ReadOutcome imageReadUpTo(ImageDevice& device, uint32_t sector, uint8_t* buffer, size_t length,
                          size_t& bytesRead, uint32_t unitBytes) {
    bytesRead = 0;
    if (device.file == nullptr) {
        return ReadOutcome::Failed;
    }
    const ReadOutcome outcome = readBlockAt(device.file, byteOffset(sector, unitBytes), buffer,
                                            length, FileRole::Image, &bytesRead);
    device.readFailed = device.readFailed || outcome == ReadOutcome::Failed;
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
    return device.file != nullptr && !device.readOnly &&
           writeBlockAt(device.file, byteOffset(sector, unitBytes), buffer, length,
                        FileRole::Image);
}

}  // namespace fat12img
