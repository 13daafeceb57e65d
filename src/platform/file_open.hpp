#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "platform/file_io.hpp"

namespace fat12img {

// How the tool opens the files it is given. Nothing here waits for another process (a FIFO
// that nobody serves is refused, not waited on), nothing existing is created, emptied or
// truncated because it could not be opened, and a host file that a command writes whole
// takes the place of the old one only once it is complete.

enum class ImageAccess : uint8_t {
    ReadWrite,
    ReadOnly,  // the host refuses writing it (permission, a read-only file system)
    Missing,   // nothing there, or a symbolic link to nothing: may be created
    Unusable,  // cannot be opened, or is no image: a directory, a FIFO, a socket, a
               // character device
};

// Opens an existing image for update or, when the host refuses writing it, for reading.
OpenFile openImageFile(const char* path, ImageAccess& access);

// Opens a host file to read it; none for a directory (which opens for reading on some
// systems but holds no bytes), a FIFO or a socket.
OpenFile openHostFileForReading(const char* path);
// The same, with the size the open file's status gives (as fileSize tells it), so that the
// file is looked at once.
OpenFile openHostFileForReading(const char* path, std::optional<uint64_t>& size);

// What a path names in the end, symbolic links followed (a bounded number of them): the
// file that writing through the path changes, which may not exist yet. Empty when the
// links do not end.
std::string finalTarget(const char* path);

// Tells the host to remove `path` should the run be stopped by a signal before it is
// forgotten again (one at a time): a temporary file must not outlive the run. A signal
// that the run ignores stays ignored.
void removeIfInterrupted(const std::string& path);
void forgetRemoveIfInterrupted();

// A file written under a temporary name in the directory of the file it is for, so that it
// can take that file's name in one step once it is complete; removed again unless it does.
class TemporaryFile {
  public:
    TemporaryFile() = default;
    TemporaryFile(TemporaryFile&& other) noexcept;
    TemporaryFile& operator=(TemporaryFile&& other) noexcept;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() { abandon(); }

    // Creates it beside `target` with the permission bits `mode` (new files: 0666 less the
    // umask, as any file the run creates). None when the directory takes no new file.
    static TemporaryFile beside(const std::string& target, FileRole role, uint32_t mode);
    std::FILE* get() const { return file_.get(); }
    explicit operator bool() const { return static_cast<bool>(file_); }
    const std::string& name() const { return name_; }
    // Closes it; a failed close is a write that may not have completed.
    bool close() { return file_.close(); }
    // Gives it the target's name in place of whatever file had it. Closes it first.
    bool replace(const std::string& target);
    // Gives it the target's name only if no file has that name yet, and keeps it open.
    enum class Publication : uint8_t { Done, NameTaken, Failed };
    Publication publishAs(const std::string& target);
    // The open file, for the caller to keep once it has its final name.
    OpenFile release();
    // Closes and removes it.
    void abandon();

  private:
    OpenFile file_;
    std::string name_;
};

// The permission bits of a new file: 0666 less the umask.
uint32_t newFileMode();

// A host file that a command writes whole (cp, mv, read). A regular file, or a missing one,
// is written as a temporary file beside it that replaces it at commit, so that a failed
// copy leaves the old file, and a symbolic link to it, exactly as they were; the new file
// keeps the permission bits of the one it replaces. What cannot be renamed over (a
// character device, a FIFO that has a reader) is written directly. Dropped without a
// commit, the new content is abandoned.
class HostReplacement {
  public:
    HostReplacement() = default;
    HostReplacement(HostReplacement&&) noexcept = default;
    HostReplacement& operator=(HostReplacement&&) noexcept = default;
    ~HostReplacement() { abandon(); }

    // None for a directory, a FIFO that nobody reads, a socket, or a file that cannot be
    // created.
    static HostReplacement open(const char* path);
    std::FILE* get() const { return temporary_ ? temporary_.get() : direct_.get(); }
    explicit operator bool() const { return get() != nullptr; }
    // Puts the new content in place; false (and the old file stays) when the close or the
    // rename fails.
    bool commit();
    void abandon();

  private:
    TemporaryFile temporary_;
    std::string target_;
    OpenFile direct_;
    // A regular file written directly because its directory takes no temporary file: what a
    // failed write left of it is removed, not left short.
    bool directRegular_ = false;
};

}  // namespace fat12img
