#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "volume/image_device.hpp"

namespace fat12img {

// The bytes of a file on their way into the image, handed over a run at a time in order,
// so that no copy of the whole file need be held: a block in memory, or (where the host
// can move the bytes itself) an open host file.
class DataSource {
  public:
    virtual ~DataSource() = default;
    // Sends the next `length` bytes to the image at byte `offset`.
    virtual bool sendTo(ImageDevice& image, uint64_t offset, size_t length) = 0;
    // Copies the next `length` bytes into memory.
    virtual bool copyInto(uint8_t* buffer, size_t length) = 0;
};

class MemorySource : public DataSource {
  public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool sendTo(ImageDevice& image, uint64_t offset, size_t length) override {
        if (length > size_ - position_) {
            return false;
        }
        const bool written =
            image.file != nullptr &&
            writeBlockAt(image.file, offset, data_ + position_, length, FileRole::Image);
        position_ += length;
        return written;
    }
    bool copyInto(uint8_t* buffer, size_t length) override {
        if (length > size_ - position_) {
            return false;
        }
        std::memcpy(buffer, data_ + position_, length);
        position_ += length;
        return true;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

}  // namespace fat12img
