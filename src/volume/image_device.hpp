#pragma once

#include <cstdint>
#include <cstdio>

namespace fat12img {

// The holder of the open image file. The shell opens, replaces and closes the file; the
// volume and the read command do their sector I/O through whatever handle it holds now.
struct ImageDevice {
    std::FILE* file = nullptr;
};

// Moves one block between memory and the image at byte sector * unitBytes. The raw
// commands use 512-byte units; a volume uses its own sector size. True only when the
// whole block moved.
bool imageRead(const ImageDevice& device, uint32_t sector, uint8_t* buffer, uint32_t length,
               uint32_t unitBytes = 512);
// Every write reaches the file at once, so that a host-side read of the image file sees it.
bool imageWrite(const ImageDevice& device, uint32_t sector, const uint8_t* buffer, uint32_t length,
                uint32_t unitBytes = 512);

}  // namespace fat12img
