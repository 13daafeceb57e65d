#include <cstdio>

#include "commands/commands.hpp"
#include "commands/paths.hpp"
#include "directory/dir_entry.hpp"

namespace fat12img {

namespace {

constexpr int kNamesPerLine = 6;

}  // namespace

void cmdLs(int count, char** parameters) {
    const char* path = count > 0 ? parameters[0] : "";
    DirectoryRef dir = walkToDirectory(path);
    if (!dir) {
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
    DirectoryRef dir = walkToDirectory(path);
    if (!dir) {
        return;
    }
    dir.makeCurrent();
}

}  // namespace fat12img
