#include "commands/commands.hpp"
#include "commands/paths.hpp"
#include "console/console.hpp"
#include "console/messages.hpp"
#include "image/image_state.hpp"

namespace fat12img {

namespace {

void removeFile(const char* path) {
    int index = -1;
    int nameOffset = 0;
    DirectoryRef dir = resolveParent(path, index, nameOffset);
    if (!dir) {
        return;
    }
    if (index == -1) {
        printLine(msg::kMsgNameDoesNotExist);
    } else if (dir->isFile(index)) {
        if (!dir->removeEntry(index)) {
            printLine(msg::kMsgRemoveFileFailed);
        }
    } else if (dir->isDirectory(index)) {
        printLine(msg::kMsgIsDirectory);
    } else {
        printLine(msg::kMsgNotAFile);
    }
}

}  // namespace

void cmdTouch(const char* path) {
    if (refuseIfReadOnly()) {
        return;
    }
    int index = -1;
    int nameOffset = 0;
    DirectoryRef dir = resolveParent(path, index, nameOffset);
    if (!dir) {
        return;
    }
    // An existing entry of any kind is left exactly as it is: touch changes no date.
    if (index != -1) {
        printLine(msg::kMsgNameExists);
        return;
    }
    if (dir->createFile(path + nameOffset, 0) == -1) {
        printLine(msg::kMsgCannotCreateFile);
    }
}

void cmdRm(const char* path) {
    if (!refuseIfReadOnly()) {
        removeFile(path);
    }
}

void cmdMv(const char* source, const char* destination) {
    if (destination[0] != kHostFileMark && refuseIfReadOnly()) {
        return;
    }
    // A host source is only copied: mv never deletes a host file. Out of an image that may
    // only be read, the copy is made and the removal fails as rm's would on a failed write.
    if (copyFile(source, destination) && source[0] != kHostFileMark) {
        removeFile(source);
    }
}

}  // namespace fat12img
