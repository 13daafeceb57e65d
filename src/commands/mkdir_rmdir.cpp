#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commands/commands.hpp"
#include "commands/paths.hpp"
#include "console/console.hpp"
#include "console/messages.hpp"
#include "image/image_state.hpp"

namespace fat12img {

namespace {

// The stored ".." entry is found under this lookup name (see walkPath).
constexpr char kParentLookupName[] = "...";

// Whether the directory with this first cluster lies above the current directory: walks
// up through the ".." entries, stopping at the root or at a cluster already seen (a
// damaged image may loop).
bool isAncestorOfCurrent(uint32_t cluster) {
    Directory* dir = image.currentDirectory.get();
    std::unique_ptr<Directory> held;
    std::vector<uint32_t> seen{dir->getFirstCluster()};
    for (;;) {
        const int index = dir->findEntry(kParentLookupName);
        if (index == -1) {
            return false;
        }
        std::unique_ptr<Directory> parent = dir->openDirectory(index);
        if (!parent) {
            return false;
        }
        const uint32_t parentCluster = parent->getFirstCluster();
        if (parentCluster == cluster) {
            return true;
        }
        if (parentCluster == 0 ||
            std::find(seen.begin(), seen.end(), parentCluster) != seen.end()) {
            return false;
        }
        seen.push_back(parentCluster);
        held = std::move(parent);
        dir = held.get();
    }
}

}  // namespace

void cmdMkdir(const char* path) {
    if (refuseIfReadOnly()) {
        return;
    }
    int position = 0;
    DirectoryRef working = walkPath(path, position);
    if (!working) {
        printLine(msg::kMsgCannotGetDirectory);
        return;
    }
    if (path[position] == '\0') {
        printLine(msg::kMsgNameExists);
        return;
    }
    // Every component from the first missing one on is created, each inside the last.
    while (path[position] != '\0') {
        const int end = findSeparator(path, position);
        const std::string component(path + position, static_cast<size_t>(end - position));
        const int index = working->createDirectory(component.c_str());
        if (index == -1) {
            printLine(msg::kMsgCannotCreateDirectory);
            return;
        }
        std::unique_ptr<Directory> created = working->openDirectory(index);
        if (!created) {
            printLine(msg::kMsgCannotGetNewDirectoryInfo);
            return;
        }
        working = DirectoryRef(std::move(created));
        position = path[end] == kPathSeparator ? end + 1 : end;
    }
}

void cmdRmdir(const char* path) {
    if (refuseIfReadOnly()) {
        return;
    }
    DirectoryRef target = walkToDirectory(path);
    if (!target) {
        return;
    }
    const uint32_t targetCluster = target->getFirstCluster();
    if (targetCluster == image.currentDirectory->getFirstCluster()) {
        printLine(msg::kMsgIsCurrentDirectory);
        return;
    }
    const int parentIndex = target->findEntry(kParentLookupName);
    if (parentIndex == -1) {
        printLine(msg::kMsgIsRootDirectory);
        return;
    }
    // Removing a directory above the current one would leave the current directory in
    // freed storage.
    if (isAncestorOfCurrent(targetCluster)) {
        printLine(msg::kMsgIsCurrentDirectory);
        return;
    }
    DirectoryRef parent(target->openDirectory(parentIndex));
    if (!parent) {
        printLine(msg::kMsgCannotGetParentInfo);
        return;
    }
    target = DirectoryRef();
    // The name as typed, not mapped like a walked component.
    const char* name = path + findLastSeparator(path) + 1;
    if (!parent->removeEntry(parent->findEntry(name))) {
        printLine(msg::kMsgRemoveDirectoryFailed);
    }
}

}  // namespace fat12img
