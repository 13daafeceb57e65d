#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/file_io.hpp"

namespace fat12img {

// The holder of the open image file. The image state opens, replaces and closes the file; the
// volume and the read command do their sector I/O through whatever handle it holds now.
// The handle is unbuffered, so every write reaches the file at once and a host-side read
// of the image file (cp 'disk.img x) sees every earlier change.
struct ImageDevice {
    ImageDevice() = default;
    explicit ImageDevice(std::FILE* handle) : file(handle) {}

    std::FILE* file = nullptr;
    // Set by a read that the host refused (not one cut short by the end of the image).
    bool readFailed = false;
    // An image the host lets this run only read: every write fails without being tried.
    bool readOnly = false;
    // --sync: the volume's barriers wait for the disk. Set for the whole run; a reopen of
    // the image keeps it.
    bool syncWrites = false;

    void attach(std::FILE* handle, bool onlyForReading = false) {
        file = handle;
        readFailed = false;
        readOnly = onlyForReading;
    }
};

// Moves one block between memory and the image at byte sector * unitBytes. The raw
// commands use 512-byte units; a volume uses its own sector size. True only when the
// whole block moved.
bool imageRead(ImageDevice& device, uint32_t sector, uint8_t* buffer, size_t length,
               uint32_t unitBytes = 512);
bool imageWrite(ImageDevice& device, uint32_t sector, const uint8_t* buffer, size_t length,
                uint32_t unitBytes = 512);
// The same read, telling a block cut short by the end of the image (bytesRead says how
// much exists) from a failed one.
ReadOutcome imageReadUpTo(ImageDevice& device, uint32_t sector, uint8_t* buffer, size_t length,
                          size_t& bytesRead, uint32_t unitBytes = 512);

}  // namespace fat12img
