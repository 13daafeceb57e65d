#include <cstdio>

#include "commands/commands.hpp"
#include "commands/paths.hpp"
#include "console/console.hpp"
#include "console/messages.hpp"
#include "directory/dir_entry.hpp"

namespace fat12img {

namespace {

constexpr int kNamesPerLine = 6;

}  // namespace

void cmdLs(int count, char** parameters) {
    const char* path = count > 0 ? parameters[0] : "";
    int position = 0;
    DirectoryRef dir = walkPath(path, position);
    if (!dir) {
        printLine(msg::kMsgCannotGetDirectory);
        return;
    }
    if (path[position] != '\0') {
        printLine(msg::kMsgDirectoryNotFound);
        return;
    }
    char name[entry::kDisplayNameSize];
    int column = 0;
    for (int i = dir->firstEntry(); i != -1; i = dir->nextEntry(i)) {
        if (dir->getEntryName(i, name) != -1) {
            std::printf("%-13s", name);
        }
        // A slot without a printable name still takes its place on the line.
        if (++column >= kNamesPerLine) {
            std::fputc('\n', stdout);
            column = 0;
        }
    }
    if (column != 0) {
        std::fputc('\n', stdout);
    }
}

void cmdCd(const char* path) {
    int position = 0;
    DirectoryRef dir = walkPath(path, position);
    if (!dir) {
        printLine(msg::kMsgCannotGetDirectory);
        return;
    }
    if (path[position] != '\0') {
        printLine(msg::kMsgDirectoryNotFound);
        return;
    }
    dir.makeCurrent();
}

}  // namespace fat12img
