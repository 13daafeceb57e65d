#include <cstdio>

#include "commands/commands.hpp"
#include "commands/paths.hpp"
#include "directory/dir_entry.hpp"
#include "shell/console.hpp"
#include "shell/image_state.hpp"
#include "shell/messages.hpp"

namespace fat12img {

namespace {

constexpr int kNamesPerLine = 6;

}  // namespace

void cmdLs(int count, char** parameters) {
    // The walk may put another object in place of the current directory object and delete
    // it, so that object is taken only when nothing is walked.
    DirectoryRef dir;
    if (count <= 0) {
        dir.reset(image.currentDirectory.get());
    } else {
        int position = 0;
        dir.reset(walkPath(parameters[0], position));
        if (!dir) {
            printLine(msg::kMsgCannotGetDirectory);
            return;
        }
        if (parameters[0][position] != '\0') {
            printLine(msg::kMsgDirectoryNotFound);
            return;
        }
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
    DirectoryRef dir(walkPath(path, position));
    if (!dir) {
        printLine(msg::kMsgCannotGetDirectory);
        return;
    }
    if (path[position] != '\0') {
        printLine(msg::kMsgDirectoryNotFound);
        return;
    }
    if (dir.get() != image.currentDirectory.get()) {
        image.currentDirectory.reset(dir.take());
    } else {
        dir.take();
    }
}

}  // namespace fat12img
