#include "commands/paths.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include "console/console.hpp"
#include "console/messages.hpp"
#include "image/image_state.hpp"

namespace fat12img {

namespace {

// The root has no dot entries; a subdirectory keeps "." and ".." as short names. The
// conversion takes what follows the last dot as the extension, so the stored "." is
// found by looking up "..", and ".." by "...".
const char* lookupName(const std::string& component) {
    if (component == ".") {
        return "..";
    }
    if (component == "..") {
        return "...";
    }
    return component.c_str();
}

}  // namespace

int findSeparator(const char* path, int from) {
    int at = from;
    while (path[at] != '\0' && path[at] != kPathSeparator) {
        // A lead byte takes the byte after it along, unless the path ends there.
        at += isShiftJisLeadByte(static_cast<uint8_t>(path[at])) && path[at + 1] != '\0' ? 2 : 1;
    }
    return at;
}

int findLastSeparator(const char* path) {
    int last = -1;
    for (int at = findSeparator(path, 0); path[at] != '\0'; at = findSeparator(path, at + 1)) {
        last = at;
    }
    return last;
}

DirectoryRef& DirectoryRef::operator=(DirectoryRef&& other) noexcept {
    if (this != &other) {
        if (owned_) {
            releaseDirectory(std::move(owned_));
        }
        borrowed_ = other.borrowed_;
        owned_ = std::move(other.owned_);
        other.borrowed_ = nullptr;
    }
    return *this;
}

DirectoryRef::~DirectoryRef() {
    if (owned_) {
        releaseDirectory(std::move(owned_));
    }
}

DirectoryRef DirectoryRef::current() {
    DirectoryRef ref;
    ref.borrowed_ = image.currentDirectory.get();
    return ref;
}

void DirectoryRef::makeCurrent() {
    if (owned_) {
        image.currentDirectory = std::move(owned_);
    }
}

DirectoryRef walkPath(const char* path, int& position) {
    DirectoryRef dir = DirectoryRef::current();
    int p = position;
    if (path[p] == kPathSeparator) {
        std::unique_ptr<Directory> root = openRootDirectory();
        if (!root) {
            return DirectoryRef();
        }
        dir = DirectoryRef(std::move(root));
        ++p;
    }
    while (path[p] != '\0') {
        const int end = findSeparator(path, p);
        const int next = path[end] == kPathSeparator ? end + 1 : end;
        const std::string component(path + p, static_cast<size_t>(end - p));
        const int index = dir->findEntry(lookupName(component));
        if (index == -1) {
            position = p;
            return dir;
        }
        std::unique_ptr<Directory> sub = dir->openDirectory(index);
        if (!sub) {
            return DirectoryRef();
        }
        dir = DirectoryRef(std::move(sub));
        p = next;
    }
    position = p;
    return dir;
}

DirectoryRef walkToDirectory(const char* path) {
    int position = 0;
    DirectoryRef dir = walkPath(path, position);
    if (!dir) {
        printLine(msg::kMsgCannotGetDirectory);
        return DirectoryRef();
    }
    if (path[position] != '\0') {
        printLine(msg::kMsgDirectoryNotFound);
        return DirectoryRef();
    }
    return dir;
}

DirectoryRef resolveParent(const char* path, int& entryIndex, int& nameOffset) {
    nameOffset = 0;
    const int split = findLastSeparator(path);
    if (split == -1) {
        DirectoryRef current = DirectoryRef::current();
        entryIndex = current->findEntry(path);
        return current;
    }
    const std::string directoryPart =
        split == 0 ? std::string(1, kPathSeparator) : std::string(path, split);
    int position = 0;
    DirectoryRef dir = walkPath(directoryPart.c_str(), position);
    if (!dir) {
        printLine(msg::kMsgCannotGetDirectory);
        return DirectoryRef();
    }
    if (directoryPart[position] != '\0') {
        printLine(msg::kMsgDirectoryDoesNotExist);
        return DirectoryRef();
    }
    nameOffset = split + 1;
    entryIndex = dir->findEntry(path + nameOffset);
    return dir;
}

void releaseDirectory(std::unique_ptr<Directory> directory) {
    const Directory* current = image.currentDirectory.get();
    if (directory && current != nullptr &&
        directory->getFirstCluster() == current->getFirstCluster()) {
        image.currentDirectory = std::move(directory);
    }
}

}  // namespace fat12img
