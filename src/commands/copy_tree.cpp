#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "commands/commands.hpp"
#include "commands/paths.hpp"
#include "console/console.hpp"
#include "console/messages.hpp"
#include "directory/dir_entry.hpp"
#include "file/file_data.hpp"
#include "image/image_state.hpp"
#include "platform/file_io.hpp"
#include "platform/host_tree.hpp"
#include "volume/fat12_entry.hpp"

namespace fat12img {

namespace {

// One file or directory of the tree being copied. A tree is a list whose first entry is
// its top; once ordered, every directory is followed by its entries, in byte order of
// their names, each with its own entries behind it.
struct TreeEntry {
    std::string name;  // the name it gets where it lands
    std::string path;  // where it is read from, host or image path; named in messages
    bool directory = false;
    uint64_t size = 0;
    uint32_t cluster = 0;  // where an image source's storage starts
    int parent = -1;
};
using Tree = std::vector<TreeEntry>;

enum class Side : uint8_t { Host, Image };

// What a copy refuses before it writes anything: one line a name, "message: path".
class Refusals {
  public:
    void add(const char* message, const std::string& path) {
        lines_.emplace_back(message, ": " + path);
    }
    bool any() const { return !lines_.empty(); }
    // The host lists a directory in any order: the lines come out sorted by path.
    void print() {
        std::sort(lines_.begin(), lines_.end(),
                  [](const auto& a, const auto& b) { return a.second < b.second; });
        for (const auto& [message, path] : lines_) {
            printLine(message, path.c_str());
        }
    }

  private:
    std::vector<std::pair<const char*, std::string>> lines_;
};

// The last component of an image path, as typed.
std::string imageLastName(const std::string& path) {
    return path.substr(static_cast<size_t>(findLastSeparator(path.c_str()) + 1));
}

std::string imageChild(const std::string& directory, const std::string& name) {
    if (directory.empty()) {
        return name;
    }
    // A 0x5C at the end may be the second byte of a character, not a separator.
    const bool separated =
        findLastSeparator(directory.c_str()) == static_cast<int>(directory.size()) - 1;
    return separated ? directory + name : directory + kPathSeparator + name;
}

bool isDotName(const std::string& name) {
    return name.empty() || name == "." || name == "..";
}

// ---------------------------------------------------------------------------------------
// Reading the source tree

bool fitsImage(const Tree& tree, size_t limit, Refusals& refusals) {
    if (tree.size() <= limit) {
        return true;
    }
    refusals.add(msg::kMsgCannotCreateFile, tree[0].path);
    return false;
}

// Every entry below the host directory tree[0], links to files and directories followed;
// `limit` bounds how many entries there may be.
void readHostTree(Tree& tree, size_t limit, Refusals& refusals) {
    // Each directory's path with every link resolved, to tell it from its ancestors.
    std::vector<std::string> resolved{resolvedHostPath(tree[0].path)};
    for (size_t i = 0; i < tree.size() && fitsImage(tree, limit, refusals); ++i) {
        if (!tree[i].directory) {
            continue;
        }
        std::vector<std::string> names;
        if (!listHostDirectory(tree[i].path, names)) {
            refusals.add(msg::kMsgReadFailed, tree[i].path);
            continue;
        }
        for (const std::string& name : names) {
            TreeEntry e;
            e.name = name;
            e.path = joinHostPath(tree[i].path, name);
            e.parent = static_cast<int>(i);
            const HostEntry found = inspectHostPath(e.path);
            const char* refused = nullptr;
            switch (found.kind) {
                case HostKind::File:
                    e.size = found.size;
                    if (!hostFileReadable(e.path)) {
                        refused = msg::kMsgSourceNotFound;
                    }
                    break;
                case HostKind::Directory:
                    e.directory = true;
                    e.name = name;
                    break;
                case HostKind::Special:
                    refused = msg::kMsgNotARegularFile;
                    break;
                case HostKind::DanglingLink:
                    refused = msg::kMsgDanglingLink;
                    break;
                case HostKind::LinkLoop:
                    refused = msg::kMsgLinkLoop;
                    break;
                case HostKind::Missing:
                    refused = msg::kMsgSourceNotFound;
                    break;
            }
            const std::string here = e.directory ? resolvedHostPath(e.path) : std::string();
            // A link back to a directory the walk is inside would never end.
            for (int up = static_cast<int>(i); e.directory && refused == nullptr && up != -1;
                 up = tree[size_t(up)].parent) {
                if (here.empty() || resolved[size_t(up)] == here) {
                    refused = msg::kMsgLinkLoop;
                }
            }
            if (refused != nullptr) {
                refusals.add(refused, e.path);
                continue;
            }
            tree.push_back(std::move(e));
            resolved.push_back(here);
        }
    }
}

std::unique_ptr<FatDirectory> openImageDirectoryAt(uint32_t cluster) {
    if (cluster == 0) {
        return openRootDirectory();
    }
    std::unique_ptr<FatSubDirectory> dir(new (std::nothrow) FatSubDirectory());
    if (!dir || !dir->load(image.volumeHolder.get(), cluster)) {
        return nullptr;
    }
    return dir;
}

// Whether the chain from `cluster` holds `size` bytes.
bool chainHolds(const FatVolume& volume, uint32_t cluster, uint64_t size) {
    uint64_t held = 0;
    for (uint32_t walked = 0;
         held < size && volume.isDataCluster(cluster) && walked < volume.maxChainLength();
         ++walked) {
        held += volume.bytesPerCluster();
        cluster = volume.getFatEntry(cluster);
    }
    return held >= size;
}

// Every entry below the image directory tree[0], one table read at a time; each directory
// is read once, however many entries lead to it.
void readImageTree(Tree& tree, Refusals& refusals) {
    const FatVolume& volume = *image.volumeHolder;
    std::set<uint32_t> seen{tree[0].cluster};
    for (size_t i = 0; i < tree.size(); ++i) {
        if (!tree[i].directory) {
            continue;
        }
        std::unique_ptr<FatDirectory> dir = openImageDirectoryAt(tree[i].cluster);
        if (!dir) {
            refusals.add(msg::kMsgReadFailed, tree[i].path);
            continue;
        }
        char name[entry::kDisplayNameSize];
        for (int k = dir->firstEntry(); k != -1; k = dir->nextEntry(k)) {
            if (dir->getEntryName(k, name) == -1 || isDotEntry(dir->slot(k)) ||
                (!dir->isFile(k) && !dir->isDirectory(k))) {
                continue;
            }
            TreeEntry e;
            e.name = name;
            e.path = imageChild(tree[i].path, name);
            e.parent = static_cast<int>(i);
            e.directory = dir->isDirectory(k);
            e.cluster = dir->getEntryCluster(k);
            if (e.directory) {
                // A first cluster that names no chain is an empty directory; one met
                // before (a damaged image) would copy a tree into itself.
                if (!volume.isDataCluster(e.cluster)) {
                    e.cluster = kFatEndOfChain;
                } else if (!seen.insert(e.cluster).second) {
                    refusals.add(msg::kMsgLinkLoop, e.path);
                    continue;
                }
            } else {
                e.size = dir->getEntrySize(k);
                if (!chainHolds(volume, e.cluster, e.size)) {
                    refusals.add(msg::kMsgReadFailed, e.path);
                }
            }
            tree.push_back(std::move(e));
        }
    }
}

// ---------------------------------------------------------------------------------------
// Names where the tree lands, and their order

bool hostCanName(const std::string& name) {
    if (isDotName(name)) {
        return false;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        const uint8_t c = static_cast<uint8_t>(name[i]);
        if (isShiftJisLeadByte(c) && i + 1 < name.size()) {
            ++i;
        } else if (c < 0x20 || std::strchr(hostReservedNameBytes(), c) != nullptr) {
            return false;
        }
    }
    return true;
}

// Gives every entry below the top its name where it lands.
void nameEntries(Tree& tree, Side from, Side to, Refusals& refusals) {
    for (size_t i = 1; i < tree.size(); ++i) {
        TreeEntry& e = tree[i];
        if (to == Side::Host) {
            if (!hostCanName(e.name)) {
                refusals.add(msg::kMsgNameNotForHost, e.path);
            }
        } else if (from == Side::Host) {
            e.name = shortNameForHostName(e.name);
            if (e.name.empty()) {
                refusals.add(msg::kMsgNotAShortName, e.path);
            } else if (e.size > UINT32_MAX) {
                refusals.add(msg::kMsgCannotCreateFile, e.path);
            }
        }
    }
}

// What two names share when they would name the same entry where they land.
std::string clashKey(const std::string& name, Side to) {
    if (to == Side::Host) {
        return hostNameKey(name);
    }
    uint8_t field[entry::kNameFieldSize];
    toShortName(field, name.c_str());
    std::string key(reinterpret_cast<const char*>(field), sizeof field);
    for (size_t i = 0; i < key.size(); ++i) {
        const uint8_t c = static_cast<uint8_t>(key[i]);
        if (isShiftJisLeadByte(c)) {
            ++i;
        } else if (c >= 'a' && c <= 'z') {
            key[i] = static_cast<char>(c - ('a' - 'A'));
        }
    }
    return key;
}

// Puts the tree in creation order: depth first, each directory's entries in byte order of
// their names, whatever order the source listed them in. Entries of one directory that
// would get the same name are refused, all but the first.
Tree ordered(const Tree& tree, Side to, Refusals& refusals) {
    std::vector<std::vector<size_t>> entriesOf(tree.size());
    for (size_t i = 1; i < tree.size(); ++i) {
        entriesOf[size_t(tree[i].parent)].push_back(i);
    }
    for (std::vector<size_t>& entries : entriesOf) {
        std::sort(entries.begin(), entries.end(), [&tree](size_t a, size_t b) {
            return tree[a].name != tree[b].name ? tree[a].name < tree[b].name
                                                : tree[a].path < tree[b].path;
        });
        std::set<std::string> keys;
        for (size_t i : entries) {
            // A name refused already clashes with nothing.
            if (!tree[i].name.empty() && !keys.insert(clashKey(tree[i].name, to)).second) {
                refusals.add(msg::kMsgNamesCollide, tree[i].path);
            }
        }
    }
    Tree out;
    out.reserve(tree.size());
    std::vector<std::pair<size_t, int>> pending{{0, -1}};  // entry, its parent in `out`
    while (!pending.empty()) {
        const auto [i, parent] = pending.back();
        pending.pop_back();
        out.push_back(tree[i]);
        out.back().parent = parent;
        const int placed = static_cast<int>(out.size() - 1);
        for (auto it = entriesOf[i].rbegin(); it != entriesOf[i].rend(); ++it) {
            pending.emplace_back(*it, placed);
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// File data

class BufferSource : public DataSource {
  public:
    explicit BufferSource(ByteBuffer bytes)
        : bytes_(std::move(bytes)), view_(bytes_.data(), bytes_.size()) {}
    bool sendTo(ImageDevice& device, uint64_t offset, size_t length) override {
        return view_.sendTo(device, offset, length);
    }
    bool copyInto(uint8_t* buffer, size_t length) override {
        return view_.copyInto(buffer, length);
    }

  private:
    ByteBuffer bytes_;
    MemorySource view_;
};

// The whole content of an image file, as planned; none when it cannot be read whole.
std::unique_ptr<BufferSource> readImageEntry(const TreeEntry& e) {
    try {
        ByteBuffer bytes;
        FatFile file;
        if (!file.open(image.volumeHolder.get(), e.cluster == 0 ? kFatEndOfChain : e.cluster,
                       static_cast<uint32_t>(e.size)) ||
            !file.releaseContent(bytes)) {
            return nullptr;
        }
        return std::make_unique<BufferSource>(std::move(bytes));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// The files of the tree on their way in: a host file streams, an image file is read whole.
class TreeData : public NewTreeData {
  public:
    TreeData(const Tree& tree, Side from) : tree_(tree), from_(from) {}
    std::unique_ptr<DataSource> open(size_t index) override {
        const TreeEntry& e = tree_[index];
        if (from_ == Side::Image) {
            return readImageEntry(e);
        }
        // The plan found a file here: a directory put in its place fails to read.
        OpenFile file = OpenFile::open(e.path.c_str(), "rb", FileRole::Host);
        if (!file) {
            readFailed_ = true;
            return nullptr;
        }
        return std::unique_ptr<DataSource>(
            new (std::nothrow) HostFileSource(std::move(file), e.size, copies_, readFailed_));
    }
    // Whether a write failed because a source could not be read.
    bool readFailed() const { return readFailed_; }

  private:
    const Tree& tree_;
    Side from_;
    CopyBuffer copies_;
    bool readFailed_ = false;
};

// Writes one file of the tree to the new host file `to`.
bool copyEntryOut(const TreeEntry& e, Side from, std::FILE* to, CopyBuffer& copies,
                  bool& readFailed) {
    if (from == Side::Image) {
        const FatVolume& volume = *image.volumeHolder;
        const uint32_t first = e.cluster == 0 ? kFatEndOfChain : e.cluster;
        const uint32_t size = static_cast<uint32_t>(e.size);
        HostFileSink sink(to, copies, readFailed);
        readFailed = checkFileChain(volume, first, size) != ChainFit::Holds;
        return !readFailed && readFileData(volume, first, size, sink);
    }
    OpenFile file = OpenFile::open(e.path.c_str(), "rb", FileRole::Host);
    const CopyOutcome outcome = file ? copyBetween({file.get(), FileRole::Host, uint64_t(0)},
                                                   {to, FileRole::Host, {}}, e.size, copies)
                                     : CopyOutcome::ReadFailed;
    readFailed =
        outcome == CopyOutcome::ReadFailed || outcome == CopyOutcome::SourceEnded || !file.close();
    return outcome == CopyOutcome::Whole && !readFailed;
}

// ---------------------------------------------------------------------------------------
// Writing the tree

void copyIntoImage(const Tree& tree, Side from, Directory& landing, const std::string& landedAt) {
    std::vector<NewEntry> entries(tree.size());
    for (size_t i = 0; i < tree.size(); ++i) {
        entries[i].name = tree[i].name;
        entries[i].directory = tree[i].directory;
        entries[i].size = static_cast<uint32_t>(tree[i].size);
        entries[i].parent = tree[i].parent;
    }
    TreeData data(tree, from);
    const Directory::CreateOutcome outcome = landing.createTree(entries, data);
    switch (outcome == Directory::CreateOutcome::WriteFailed && data.readFailed()
                ? Directory::CreateOutcome::ReadFailed
                : outcome) {
        case Directory::CreateOutcome::Created:
            return;
        case Directory::CreateOutcome::Refused: {
            Refusals full;
            full.add(msg::kMsgCannotCreateFile, landedAt);
            full.print();
            return;
        }
        case Directory::CreateOutcome::ReadFailed:
            printLine(msg::kMsgReadFailed);
            return;
        case Directory::CreateOutcome::WriteFailed:
            printLine(msg::kMsgWriteFailed);
            return;
    }
}

// Builds the tree under a temporary name beside `target` and renames it there once it is
// whole, so that a failed copy leaves nothing of itself behind.
void copyToHost(const Tree& tree, Side from, const std::string& target) {
    const std::string parent = hostParent(target);
    std::string temporary;
    for (int attempt = 0; attempt < 100 && temporary.empty(); ++attempt) {
        const std::string name =
            "." + hostLastName(target) + ".fat12img-" + std::to_string(attempt);
        if (makeHostDirectory(joinHostPath(parent, name))) {
            temporary = joinHostPath(parent, name);
        }
    }
    if (temporary.empty()) {
        Refusals refused;
        refused.add(msg::kMsgCannotOpenDestination, target);
        refused.print();
        return;
    }
    std::vector<std::string> placed(tree.size());
    placed[0] = temporary;
    CopyBuffer copies;
    const char* failure = nullptr;
    for (size_t i = 1; i < tree.size() && failure == nullptr; ++i) {
        const TreeEntry& e = tree[i];
        placed[i] = joinHostPath(placed[size_t(e.parent)], e.name);
        if (e.directory) {
            failure = makeHostDirectory(placed[i]) ? nullptr : msg::kMsgWriteFailed;
            continue;
        }
        // A new name in a new directory: nothing can stand there.
        OpenFile file = OpenFile::open(placed[i].c_str(), "wb", FileRole::Host);
        bool readFailed = false;
        const bool copied = file && copyEntryOut(e, from, file.get(), copies, readFailed);
        failure = readFailed               ? msg::kMsgReadFailed
                  : file.close() && copied ? nullptr
                                           : msg::kMsgWriteFailed;
    }
    if (failure == nullptr && !renameHostDirectory(temporary, target)) {
        failure = msg::kMsgWriteFailed;
    }
    if (failure != nullptr) {
        removeHostTree(temporary);
        printLine(failure);
    }
}

}  // namespace

void cmdCpTree(const char* source, const char* destination) {
    const Side from = source[0] == kHostFileMark ? Side::Host : Side::Image;
    const Side to = destination[0] == kHostFileMark ? Side::Host : Side::Image;
    const std::string sourcePath = from == Side::Host ? source + 1 : source;
    const std::string destinationPath = to == Side::Host ? destination + 1 : destination;
    if (to == Side::Image && refuseIfReadOnly()) {
        return;
    }
    Refusals refusals;

    // The top of the tree; a plain file is copied as cp copies it.
    Tree tree(1);
    tree[0].path = sourcePath;
    tree[0].directory = true;
    std::string sourceName;
    if (from == Side::Host) {
        const HostEntry top = inspectHostPath(sourcePath);
        if (top.kind != HostKind::Directory) {
            copyFile(source, destination);
            return;
        }
        sourceName = hostLastName(sourcePath);
        if (to == Side::Image) {
            sourceName = shortNameForHostName(sourceName);
        }
    } else {
        int position = 0;
        image.imageDevice.readFailed = false;
        DirectoryRef dir = walkPath(source, position);
        if (!dir && image.imageDevice.readFailed) {
            printLine(msg::kMsgReadFailed);
            return;
        }
        if (!dir || source[position] != '\0') {
            copyFile(source, destination);
            return;
        }
        tree[0].cluster = dir->getFirstCluster();
        sourceName = imageLastName(sourcePath);
    }

    // Where it lands: into an existing directory under the source's name, or as the
    // destination itself.
    DirectoryRef landing;
    std::string landedAt = destinationPath;
    if (to == Side::Host) {
        if (inspectHostPath(destinationPath).kind == HostKind::Directory) {
            landedAt =
                isDotName(sourceName) ? destinationPath : joinHostPath(destinationPath, sourceName);
        }
        if (hostPathTaken(landedAt)) {
            refusals.add(msg::kMsgDestinationExists, landedAt);
        }
        tree[0].name = hostLastName(landedAt);
    } else {
        int position = 0;
        image.imageDevice.readFailed = false;
        landing = walkPath(destination, position);
        if (!landing && image.imageDevice.readFailed) {
            printLine(msg::kMsgReadFailed);
            return;
        }
        if (landing && destination[position] == '\0') {
            landedAt = imageChild(destinationPath, sourceName);
            tree[0].name = sourceName;
            if (isDotName(sourceName) || sourceName.empty()) {
                refusals.add(
                    from == Side::Host ? msg::kMsgNotAShortName : msg::kMsgDestinationExists,
                    from == Side::Host ? sourcePath : destinationPath);
            }
        } else {
            int index = -1;
            int nameOffset = 0;
            landing = resolveParent(destination, index, nameOffset);
            if (!landing) {
                return;
            }
            tree[0].name = destination + nameOffset;
        }
        if (!tree[0].name.empty() && landing->findEntry(tree[0].name.c_str()) != -1) {
            refusals.add(msg::kMsgDestinationExists, landedAt);
        }
    }

    if (from == Side::Host) {
        // Every entry takes a slot of a new table: more than the free clusters can hold
        // cannot fit.
        const size_t limit = to == Side::Host
                                 ? SIZE_MAX
                                 : size_t(image.volumeHolder->freeClusterCount()) *
                                       (image.volumeHolder->bytesPerCluster() / entry::kEntrySize);
        readHostTree(tree, limit, refusals);
    } else {
        readImageTree(tree, refusals);
    }
    nameEntries(tree, from, to, refusals);
    const Tree ordering = ordered(tree, to, refusals);
    if (refusals.any()) {
        refusals.print();
        return;
    }
    if (to == Side::Image) {
        copyIntoImage(ordering, from, *landing.get(), landedAt);
    } else {
        copyToHost(ordering, from, landedAt);
    }
}

}  // namespace fat12img
