#pragma once

namespace fat12img {

// An exclusive advisory lock on the image file, held for a whole run so that two runs on
// one image take turns: a Makefile run with -j must not lose files. It is taken before
// anything is read or emptied and kept across the close and reopen of write and format.
// Tools that do not lock are not stopped.
class ImageLock {
  public:
    ImageLock() = default;
    ImageLock(const ImageLock&) = delete;
    ImageLock& operator=(const ImageLock&) = delete;
    ~ImageLock() { release(); }

    // Locks the image at path, waiting while another run holds it; after about a second of
    // waiting, `onWait` is called once. A missing image is created empty and locked in one
    // step, so that of two runs started together exactly one formats it. False when the
    // file can be neither opened nor created; the run then goes on unlocked and fails to
    // open the image as it would have anyway.
    bool acquire(const char* path, void (*onWait)());
    // Whether acquire created the file: it is empty and must be formatted.
    bool createdImage() const { return created_; }
    void release();

  private:
#if defined(_WIN32)
    void* handle_ = nullptr;
#else
    int descriptor_ = -1;
#endif
    bool created_ = false;
};

}  // namespace fat12img
