#include "commands/commands.hpp"
#include "commands/paths.hpp"
#include "console/console.hpp"
#include "console/messages.hpp"

namespace fat12img {

void cmdTouch(const char* path) {
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

void cmdMv(const char* source, const char* destination) {
    // A host source is only copied: mv never deletes a host file.
    if (copyFile(source, destination) && source[0] != kHostFileMark) {
        cmdRm(source);
    }
}

}  // namespace fat12img
