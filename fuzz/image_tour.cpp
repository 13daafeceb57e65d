#include <algorithm>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "directory/dir_entry.hpp"
#include "harness.hpp"
#include "image/image_state.hpp"
#include "shell/dispatcher.hpp"

namespace fat12img::fuzz {

namespace {

// The survey reaches every directory a floppy can hold, each once (a damaged image may
// lead back into itself), reading one table at a time. The commands that walk a path to
// each go to the first ones found, the shallowest, so that a very deep tree still gives a
// short tour; the removals at the end take whole trees, however deep.
constexpr size_t kToured = 64;
// How many of the surveyed entries get the changing commands.
constexpr size_t kChangedDirectories = 4;
constexpr size_t kChangedFiles = 4;
constexpr size_t kRemovedDirectories = 8;

constexpr char kSeparator[] = "\\";

// A small host file to copy in: larger than one 512-byte sector, so it needs a chain.
constexpr size_t kSmallFileBytes = 1200;

struct Survey {
    std::vector<std::string> directories;  // image paths, the root ("\") first
    std::vector<int> depths;
    std::vector<std::string> files;
};

// One command as the shell would hand it over: every token in its own writable buffer,
// since write and read cut their parameters at the "=" in place.
void run(std::initializer_list<std::string> words) {
    std::vector<std::string> storage(words);
    std::vector<char*> tokens;
    tokens.reserve(storage.size());
    for (std::string& word : storage) {
        tokens.push_back(word.data());
    }
    dispatchCommand(static_cast<int>(tokens.size()), tokens.data());
}

std::string child(const std::string& parent, const char* name) {
    return parent == kSeparator ? parent + name : parent + kSeparator + name;
}

bool isDotName(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Finds directories and files breadth first, so that the commands below get paths to
// entries that really exist.
Survey survey() {
    Survey found;
    struct Pending {
        std::string path;
        int depth;
        uint32_t cluster;  // 0 for the root
    };
    std::deque<Pending> queue{{kSeparator, 0, 0}};
    std::set<uint32_t> seen{0};
    while (!queue.empty()) {
        const Pending current = std::move(queue.front());
        queue.pop_front();
        std::unique_ptr<FatDirectory> dir;
        if (current.cluster == 0) {
            dir = openRootDirectory();
        } else {
            auto sub = std::make_unique<FatSubDirectory>();
            if (sub->load(image.volumeHolder.get(), current.cluster)) {
                dir = std::move(sub);
            }
        }
        if (!dir) {
            continue;
        }
        found.directories.push_back(current.path);
        found.depths.push_back(current.depth);
        char name[entry::kDisplayNameSize];
        for (int i = dir->firstEntry(); i != -1; i = dir->nextEntry(i)) {
            if (dir->getEntryName(i, name) == -1) {
                continue;
            }
            if (dir->isFile(i)) {
                found.files.push_back(child(current.path, name));
                continue;
            }
            const uint32_t cluster = entryFirstCluster(dir->slot(i));
            if (dir->isDirectory(i) && !isDotName(name) && seen.insert(cluster).second) {
                queue.push_back({child(current.path, name), current.depth + 1, cluster});
            }
        }
    }
    return found;
}

void listAndEnter(const Survey& s) {
    run({"ls"});
    for (size_t i = 1; i < s.directories.size() && i < kToured; ++i) {
        const std::string& path = s.directories[i];
        run({"ls", path});
        run({"cd", path});
        run({"ls"});
        run({"ls", "."});
        run({"cd", ".."});
        run({"ls"});
        run({"cd", kSeparator});
    }
}

void copyOut(const Survey& s, const std::string& hostOut) {
    for (size_t i = 0; i < s.files.size() && i < kToured; ++i) {
        run({"cp", s.files[i], "'" + hostOut});
    }
}

void change(const Survey& s, const std::string& hostSmall, const std::string& hostBack) {
    const std::string small = "'" + hostSmall;
    // A tree of our own, whatever the image held before.
    run({"mkdir", "\\FZ.DIR"});
    run({"mkdir", "\\FZ.DIR\\A\\B"});
    run({"mkdir", "\\FZ.DIR"});
    run({"touch", "\\FZ.DIR\\A\\T.TXT"});
    run({"touch", "\\FZ.DIR\\A\\T.TXT"});
    run({"cp", small, "\\FZ.DIR\\A\\IN.BIN"});
    run({"cp", "\\FZ.DIR\\A\\IN.BIN", "\\FZ.DIR\\COPY.BIN"});
    run({"mv", "\\FZ.DIR\\A\\IN.BIN", "\\FZ.DIR\\A\\B\\MOVED.BIN"});
    run({"cp", "\\FZ.DIR\\A\\B\\MOVED.BIN", "'" + hostBack});
    run({"ls", "\\FZ.DIR\\A\\B"});

    // The image's own directories get new entries, which may grow their tables.
    for (size_t i = 1; i < s.directories.size() && i <= kChangedDirectories; ++i) {
        const std::string& dir = s.directories[i];
        run({"mkdir", child(dir, "NEW")});
        run({"touch", child(dir, "T")});
        run({"cp", small, child(dir, "IN.BIN")});
        run({"ls", dir});
    }
    for (size_t i = 0; i < s.files.size() && i < kChangedFiles; ++i) {
        const std::string copy = "\\CPY" + std::to_string(i) + ".BIN";
        const std::string moved = "\\FZ.DIR\\MV" + std::to_string(i) + ".BIN";
        run({"cp", s.files[i], copy});
        run({"mv", s.files[i], moved});
        run({"rm", copy});
        run({"rm", moved});
    }

    // Removals from inside the tree: the current directory and its ancestors are kept.
    const size_t toured = std::min(s.directories.size(), kToured);
    const auto deepest = std::max_element(s.depths.begin(), s.depths.begin() + long(toured));
    if (deepest != s.depths.begin() + long(toured) && *deepest > 0) {
        const std::string& path = s.directories[size_t(deepest - s.depths.begin())];
        run({"cd", path});
        run({"rmdir", "."});
        run({"rmdir", ".."});
        run({"rmdir", kSeparator});
        run({"touch", "HERE"});
        run({"rm", "HERE"});
        run({"cd", kSeparator});
    }
    // Deepest first, so each removal still finds what the survey saw; then every tree
    // below the root, whole.
    size_t removed = 0;
    for (size_t i = toured; i > 1 && removed < kRemovedDirectories; --i, ++removed) {
        run({"rmdir", s.directories[i - 1]});
    }
    for (size_t i = 1; i < s.directories.size() && s.depths[i] == 1; ++i) {
        run({"rmdir", s.directories[i]});
    }
    run({"rmdir", "\\FZ.DIR\\A\\B"});
    run({"rmdir", "\\FZ.DIR"});
    run({"rm", "\\FZ.DIR"});
    run({"ls"});
}

void moveSectors(const uint8_t* data, size_t size, const std::string& dir) {
    run({"read", dir + "/r0.bin", "lba=0", "num=1"});
    run({"read", dir + "/r19.bin", "lba=19", "num=2"});
    // The input's own last 512 bytes become image sector 1 (the first FAT sector of most
    // layouts), and the image is mounted again with them.
    uint8_t sector[512] = {};
    const size_t n = std::min(size, sizeof sector);
    if (n > 0) {
        std::memcpy(sector, data + size - n, n);
    }
    const std::string sectorFile = dir + "/sector.bin";
    if (writeHostBytes(sectorFile, sector, sizeof sector)) {
        run({"write", sectorFile, "lba=1"});
    }
    run({"ls"});
    run({"mkdir", "AFTER"});
    run({"ls", "AFTER"});
}

bool stateIsClean() {
    return !image.imageFile && image.imageDevice.file == nullptr && !image.volumeHolder &&
           !image.currentDirectory && !image.binaryMode && image.imagePath == nullptr;
}

}  // namespace

TourReport runImageTour(const uint8_t* data, size_t size) {
    TourReport report;
    const std::string& dir = workspaceDir();
    clearWorkspace();
    resetImageState();

    // mountImage keeps the pointer, not the text, so the path must outlive the mount.
    static std::string imagePath;
    imagePath = dir + "/tour.img";
    const std::string hostOut = dir + "/out.bin";
    const std::string hostSmall = dir + "/small.bin";
    const std::string hostBack = dir + "/back.bin";
    std::vector<uint8_t> small(kSmallFileBytes);
    for (size_t i = 0; i < small.size(); ++i) {
        small[i] = static_cast<uint8_t>(i * 7 + 1);
    }

    if (writeHostBytes(imagePath, data, size) &&
        writeHostBytes(hostSmall, small.data(), small.size())) {
        report.mounted = mountImage(imagePath.c_str());
        report.imageMode = report.mounted && fileSystemAvailable();
        if (report.mounted) {
            Survey s;
            if (report.imageMode) {
                s = survey();
            }
            report.directories = static_cast<int>(s.directories.size());
            report.files = static_cast<int>(s.files.size());
            // In binary mode these are refused by the gate, which is worth running too.
            listAndEnter(s);
            copyOut(s, hostOut);
            change(s, hostSmall, hostBack);
            moveSectors(data, size, dir);
        }
        closeImage();
    }

    resetImageState();
    report.stateClean = stateIsClean();
    clearWorkspace();
    return report;
}

}  // namespace fat12img::fuzz
