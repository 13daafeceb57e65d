#pragma once

#include "directory/directory.hpp"

namespace fat12img {

// Image paths use the backslash (0x5C) as their only separator, tested byte by byte; a
// leading one starts at the root, anything else at the current directory.
inline constexpr char kPathSeparator = '\\';

// Walks the directories named by the path from `position` on. Gives the directory reached
// and sets `position` to the first component not found (the path's length when all were
// found), or gives null when a component is not a directory that can be opened. The
// result may be the current directory object itself: hand it to releaseDirectory.
Directory* walkPath(const char* path, int& position);

// Splits the path at its last separator: gives the directory that the part in front names
// (the current directory when there is none), the index of the final name in it (-1 when
// absent) and the offset of the final name. Null, after a message, when the directory
// part cannot be walked.
Directory* resolveParent(const char* path, int& entryIndex, int& nameOffset);

// Ends a command's use of a directory object. The current directory object is never
// deleted; another object of the current directory takes its place, since it holds the
// entry table the command may have changed.
void releaseDirectory(Directory* directory);

// Holds a directory object for one command and releases it on every path.
class DirectoryRef {
  public:
    explicit DirectoryRef(Directory* directory = nullptr) : directory_(directory) {}
    DirectoryRef(const DirectoryRef&) = delete;
    DirectoryRef& operator=(const DirectoryRef&) = delete;
    ~DirectoryRef() { reset(); }

    Directory* get() const { return directory_; }
    Directory* operator->() const { return directory_; }
    explicit operator bool() const { return directory_ != nullptr; }
    void reset(Directory* directory = nullptr) {
        if (directory_ != nullptr) {
            releaseDirectory(directory_);
        }
        directory_ = directory;
    }
    // Gives the object up without releasing it (cd keeps it as the current directory).
    Directory* take() {
        Directory* d = directory_;
        directory_ = nullptr;
        return d;
    }

  private:
    Directory* directory_;
};

}  // namespace fat12img
