#pragma once

#include <memory>

#include "directory/dir_entry.hpp"
#include "directory/directory.hpp"

namespace fat12img {

// Image paths use the backslash (0x5C) as their only separator; a leading one starts at
// the root, anything else at the current directory. A 0x5C that is the second byte of a
// Shift_JIS double-byte character (as in ソ or 表) is part of its name, as Japanese DOS has
// it.
inline constexpr char kPathSeparator = '\\';

// The index of the first separator at or after `from`, which is the start of a component
// (or of the path), or of the terminating NUL when there is none.
int findSeparator(const char* path, int from);
// The index of the last separator of the path, or -1.
int findLastSeparator(const char* path);

// A directory object that a command works on: either the current directory object,
// borrowed, or an object of the command's own, which goes back through releaseDirectory
// when the handle ends, on every path.
class DirectoryRef {
  public:
    DirectoryRef() = default;
    explicit DirectoryRef(std::unique_ptr<Directory> owned) : owned_(std::move(owned)) {}
    DirectoryRef(DirectoryRef&& other) noexcept
        : borrowed_(other.borrowed_), owned_(std::move(other.owned_)) {
        other.borrowed_ = nullptr;
    }
    DirectoryRef& operator=(DirectoryRef&& other) noexcept;
    DirectoryRef(const DirectoryRef&) = delete;
    DirectoryRef& operator=(const DirectoryRef&) = delete;
    ~DirectoryRef();

    // The current directory object, borrowed: never deleted or replaced through the handle.
    static DirectoryRef current();

    Directory* get() const { return borrowed_ != nullptr ? borrowed_ : owned_.get(); }
    Directory* operator->() const { return get(); }
    explicit operator bool() const { return get() != nullptr; }
    // Makes the directory the current one (cd); a borrowed one already is.
    void makeCurrent();

  private:
    Directory* borrowed_ = nullptr;
    std::unique_ptr<Directory> owned_;
};

// Walks the directories named by the path from `position` on. Gives the directory reached
// and sets `position` to the first component not found (the path's length when all were
// found), or gives none when a component is not a directory that can be opened. An empty
// path gives the current directory.
DirectoryRef walkPath(const char* path, int& position);

// Walks the whole path to a directory that exists; none, after the message, when a
// component cannot be opened as a directory or is not there.
DirectoryRef walkToDirectory(const char* path);

// Splits the path at its last separator: gives the directory that the part in front names
// (the current directory when there is none), the index of the final name in it (-1 when
// absent) and the offset of the final name. None, after a message, when the directory
// part cannot be walked.
DirectoryRef resolveParent(const char* path, int& entryIndex, int& nameOffset);

// Ends a command's use of a directory object of its own. An object of the current
// directory takes the current object's place, since it holds the entry table the command
// may have changed; any other is deleted.
void releaseDirectory(std::unique_ptr<Directory> directory);

}  // namespace fat12img
