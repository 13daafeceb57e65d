#include "volume/image_device.hpp"

namespace fat12img {

namespace {

bool seekTo(std::FILE* file, uint32_t sector, uint32_t unitBytes) {
    const uint64_t offset = static_cast<uint64_t>(sector) * unitBytes;
    return std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0;
}

}  // namespace

bool imageRead(const ImageDevice& device, uint32_t sector, uint8_t* buffer, uint32_t length,
               uint32_t unitBytes) {
    if (device.file == nullptr || !seekTo(device.file, sector, unitBytes)) {
        return false;
    }
    return std::fread(buffer, 1, length, device.file) == length;
}

bool imageWrite(const ImageDevice& device, uint32_t sector, const uint8_t* buffer, uint32_t length,
                uint32_t unitBytes) {
    if (device.file == nullptr || !seekTo(device.file, sector, unitBytes)) {
        return false;
    }
    const bool whole = std::fwrite(buffer, 1, length, device.file) == length;
    return std::fflush(device.file) == 0 && whole;
}

}  // namespace fat12img
