#pragma once

#include <cstdint>

#include "volume/byte_buffer.hpp"

namespace fat12img {

// Where a seek offset counts from.
enum class SeekOrigin : uint8_t { Start, Current, End };

// An open file of the image, for reading: new file data reaches the image only through
// writeFileData, as part of the operation that creates the file. Whoever opened it owns
// it; it must not outlive the directory object that opened it.
class File {
  public:
    virtual ~File() = default;
    virtual uint32_t read(uint8_t* destination, uint32_t length) = 0;
    // The position stays within 0 and the size; always true.
    virtual bool seek(int32_t offset, SeekOrigin origin) = 0;
    // Hands the whole content over without a copy, for a caller that wants every byte;
    // false when the file cannot give them all. Only destruction may follow.
    virtual bool releaseContent(ByteBuffer& out) = 0;
    virtual uint32_t getPosition() const = 0;
    virtual uint32_t getSize() const = 0;
};

}  // namespace fat12img
