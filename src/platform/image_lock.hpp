#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>

#include "platform/file_io.hpp"

namespace fat12img {

// Writes the bytes of a new image into a file just created; false when a write failed.
using ImageWriter = std::function<bool(std::FILE*)>;

enum class LockOutcome : uint8_t {
    Locked,
    Unlocked,  // the file system has no locks: the run goes on without one
    Failed,    // no image can be opened or created there, or the lock failed otherwise
};

// An advisory lock on the image file, held for a whole run so that two runs on one image
// take turns: a Makefile run with -j must not lose files. It is taken before anything is
// read or emptied and kept across the close and reopen of write and format: exclusive for
// an image that may be written, shared for one the host lets the run only read, so that
// readers run together and a writer waits for them. Tools that do not lock are not
// stopped.
class ImageLock {
  public:
    ImageLock() = default;
    ImageLock(const ImageLock&) = delete;
    ImageLock& operator=(const ImageLock&) = delete;
    ~ImageLock() { release(); }

    // Locks the image at path, waiting while another run holds it; after about a second of
    // waiting, `onWait` is called once. A missing image (or the missing target of a
    // symbolic link) is created from writeNewImage, whole or not at all: the bytes go into
    // a temporary file beside it, which is locked and only then given the image's name, so
    // that an interrupted creation leaves no image and of two runs started together
    // exactly one creates it.
    LockOutcome acquire(const char* path, void (*onWait)(), const ImageWriter& writeNewImage);
    void release();

  private:
    OpenFile file_;
};

}  // namespace fat12img
