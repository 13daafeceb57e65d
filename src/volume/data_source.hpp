#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/file_io.hpp"
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

// The first `size` bytes of an open host file, moved by the host itself where it can. The
// file is closed, checked, once its last byte is handed over: a failed close fails the data
// before anything of it becomes reachable on the image.
class HostFileSource : public DataSource {
  public:
    // `readFailed` is set when the data fails because the host file could not be read (a
    // failed read or close, a file that holds fewer bytes than its size said), rather than
    // because the image could not be written.
    HostFileSource(OpenFile file, uint64_t size, CopyBuffer& buffer, bool& readFailed)
        : file_(std::move(file)), size_(size), buffer_(buffer), readFailed_(readFailed) {}

    bool sendTo(ImageDevice& image, uint64_t offset, size_t length) override;
    bool copyInto(uint8_t* buffer, size_t length) override;

  private:
    bool advance(size_t length);

    OpenFile file_;
    uint64_t size_;
    uint64_t position_ = 0;
    CopyBuffer& buffer_;
    bool& readFailed_;
};

// Where the bytes of a file go on their way out of the image, a run at a time, in order.
class DataSink {
  public:
    virtual ~DataSink() = default;
    // Takes the next `length` bytes from the image at byte `offset`.
    virtual bool receiveFrom(ImageDevice& image, uint64_t offset, size_t length) = 0;
    // Takes the next `length` bytes from memory.
    virtual bool receive(const uint8_t* bytes, size_t length) = 0;
};

// A host file open for writing, at its position.
class HostFileSink : public DataSink {
  public:
    // `readFailed` is set when the image could not be read.
    HostFileSink(std::FILE* file, CopyBuffer& buffer, bool& readFailed)
        : file_(file), buffer_(buffer), readFailed_(readFailed) {}

    bool receiveFrom(ImageDevice& image, uint64_t offset, size_t length) override;
    bool receive(const uint8_t* bytes, size_t length) override {
        return length == 0 || writeBlock(file_, bytes, length, FileRole::Host);
    }

  private:
    std::FILE* file_;
    CopyBuffer& buffer_;
    bool& readFailed_;
};

}  // namespace fat12img
