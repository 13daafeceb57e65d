#include "commands/paths.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include "shell/console.hpp"
#include "shell/image_state.hpp"
#include "shell/messages.hpp"

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

Directory* walkPath(const char* path, int& position) {
    Directory* dir = image.currentDirectory.get();
    int p = position;
    if (path[p] == kPathSeparator) {
        std::unique_ptr<Directory> root = openRootDirectory();
        if (!root) {
            return nullptr;
        }
        dir = root.release();
        ++p;
    }
    while (path[p] != '\0') {
        int end = p;
        while (path[end] != '\0' && path[end] != kPathSeparator) {
            ++end;
        }
        const int next = path[end] == kPathSeparator ? end + 1 : end;
        const std::string component(path + p, static_cast<size_t>(end - p));
        const int index = dir->findEntry(lookupName(component));
        if (index == -1) {
            position = p;
            return dir;
        }
        std::unique_ptr<Directory> sub = dir->openDirectory(index);
        releaseDirectory(dir);
        if (!sub) {
            return nullptr;
        }
        dir = sub.release();
        p = next;
    }
    position = p;
    return dir;
}

Directory* resolveParent(const char* path, int& entryIndex, int& nameOffset) {
    nameOffset = 0;
    const char* lastSeparator = std::strrchr(path, kPathSeparator);
    if (lastSeparator == nullptr) {
        Directory* current = image.currentDirectory.get();
        entryIndex = current->findEntry(path);
        return current;
    }
    const int split = static_cast<int>(lastSeparator - path);
    const std::string directoryPart =
        split == 0 ? std::string(1, kPathSeparator) : std::string(path, split);
    int position = 0;
    Directory* dir = walkPath(directoryPart.c_str(), position);
    if (dir == nullptr) {
        printLine(msg::kMsgCannotGetDirectory);
        return nullptr;
    }
    if (directoryPart[position] != '\0') {
        printLine(msg::kMsgDirectoryDoesNotExist);
        releaseDirectory(dir);
        return nullptr;
    }
    nameOffset = split + 1;
    entryIndex = dir->findEntry(path + nameOffset);
    return dir;
}

void releaseDirectory(Directory* directory) {
    Directory* current = image.currentDirectory.get();
    if (current == nullptr || directory->getFirstCluster() != current->getFirstCluster()) {
        delete directory;
        return;
    }
    if (directory != current) {
        image.currentDirectory.reset(directory);
    }
}

}  // namespace fat12img
