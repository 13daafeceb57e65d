// Seeded random sessions: each seed drives one interactive run of the built tool through a
// generated command script, while a small model of the tree, the file contents and the
// current directory predicts every command's output byte for byte. After the session the
// image is read back independently (and by fsck.fat and mtools) and must hold exactly the
// model's tree.
//
// Environment: FAT12IMG_RANDOM_SEEDS (number of seeds, default 5), FAT12IMG_RANDOM_FIRST_SEED
// (default 1), FAT12IMG_RANDOM_LENGTH (commands per session, default 60).

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/expected_output.hpp"
#include "support/image_builder.hpp"
#include "support/run_tool.hpp"

using namespace testimg;

namespace {

constexpr uint32_t kClusterBytes = 512;
constexpr uint32_t kDataClusters = 2847;
constexpr size_t kRootSlots = 224;
constexpr size_t kSlotsPerCluster = kClusterBytes / 32;
constexpr int kMaxDepth = 5;

struct Messages {
    std::string cannotGetDirectory = consoleLine(u8"ディレクトリが取得できません");
    std::string directoryDoesNotExist = consoleLine(u8"ディレクトリが存在しません");
    std::string directoryNotFound = consoleLine(u8"ディレクトリが見つかりません");
    std::string nameExists = consoleLine(u8"すでに存在する名前です");
    std::string cannotCreateDirectory = consoleLine(u8"ディレクトリを作成できません");
    std::string isCurrentDirectory = consoleLine(u8"カレントディレクトリです。");
    std::string isRootDirectory = consoleLine(u8"ルートディレクトリです");
    std::string removeDirectoryFailed = consoleLine(u8"ディレクトリの削除に失敗しました");
    std::string cannotCreateFile = consoleLine(u8"ファイルを作成できません");
    std::string nameDoesNotExist = consoleLine(u8"存在しない名前です");
    std::string isDirectory = consoleLine(u8"ディレクトリです");
    std::string sourceNotFound = consoleLine(u8"コピー元のファイルが見つかりません");
    std::string cannotOpenFile = consoleLine(u8"ファイルを開けません");
    std::string destinationExists = consoleLine(u8"コピー先のファイルは既に存在します");
};

const Messages& msg() {
    static const Messages messages;
    return messages;
}

// Tool output made readable in a failure report: Shift_JIS shown as UTF-8, and the line
// ends and padding made visible.
std::string readable(const std::string& bytes) {
    std::string converted;
    try {
        converted = fromSjis(bytes);
    } catch (const std::exception&) {
    }
    if (converted.empty() && !bytes.empty()) {
        converted = bytes;
    }
    std::string shown = "\"";
    for (char c : converted) {
        if (c == '\n') {
            shown += "\\n";
        } else {
            shown += c;
        }
    }
    return shown + "\"";
}

// ---------------------------------------------------------------------------------------
// 8.3 names as the tool stores and compares them.

std::string toField(const std::string& name) {
    const size_t dot = name.rfind('.');
    const size_t baseLength = std::min<size_t>(dot == std::string::npos ? name.size() : dot, 8);
    std::string field = name.substr(0, baseLength);
    field.resize(8, ' ');
    std::string ext;
    if (dot != std::string::npos && dot + 1 < name.size()) {
        ext = name.substr(dot + 1, 3);
    }
    ext.resize(3, ' ');
    return field + ext;
}

std::string displayName(const std::string& field) {
    size_t baseEnd = field.find(' ');
    if (baseEnd == std::string::npos || baseEnd > 8) {
        baseEnd = 8;
    }
    std::string name = field.substr(0, baseEnd);
    if (field[8] != ' ') {
        const std::string ext = field.substr(8, 3);
        name += "." + ext.substr(0, ext.find(' '));
    }
    return name;
}

uint8_t fold(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? uint8_t(c | 0x20) : c;
}

// ASCII letters match in either case; the byte after a key byte of 0x80 or above is the
// second byte of a double-byte character and is compared exactly.
bool fieldsMatch(const std::string& key, const std::string& stored) {
    bool secondByte = false;
    for (size_t i = 0; i < 11; ++i) {
        const uint8_t k = uint8_t(key[i]);
        const uint8_t s = uint8_t(stored[i]);
        if (secondByte) {
            secondByte = false;
            if (k != s) {
                return false;
            }
            continue;
        }
        if (k >= 0x80) {
            secondByte = true;
        }
        if (fold(k) != fold(s)) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// The model: directories as slot tables in table order, so that listings, slot reuse and
// the on-image layout can all be predicted.

struct Dir;

enum class Kind { Free, Dot, DotDot, File, Directory };

struct Slot {
    Kind kind = Kind::Free;
    std::string field;
    std::vector<uint8_t> data;
    std::unique_ptr<Dir> dir;
};

struct Dir {
    Dir* parent = nullptr;  // null only for the root
    std::vector<Slot> slots;
    uint32_t clusters = 0;  // the root lives in its fixed region

    bool isRoot() const { return parent == nullptr; }
    size_t capacity() const { return isRoot() ? kRootSlots : clusters * kSlotsPerCluster; }
};

bool inUse(const Slot& s) {
    return s.kind != Kind::Free;
}

class Model {
  public:
    Model() { reset(); }

    void reset() {
        root = std::make_unique<Dir>();
        cwd = root.get();
    }

    std::unique_ptr<Dir> root;
    Dir* cwd = nullptr;
    std::map<std::string, std::vector<uint8_t>> hostFiles;
    // Host files whose content the model does not track (the saved boot sector).
    std::set<std::string> opaqueHostFiles;

    int find(const Dir& d, const std::string& name) const {
        const std::string key = toField(name);
        for (size_t i = 0; i < d.slots.size(); ++i) {
            if (inUse(d.slots[i]) && fieldsMatch(key, d.slots[i].field)) {
                return int(i);
            }
        }
        return -1;
    }

    uint32_t usedClusters(const Dir& d) const {
        uint32_t used = d.clusters;
        for (const Slot& s : d.slots) {
            if (s.kind == Kind::File) {
                used += ceilDiv(uint32_t(s.data.size()), kClusterBytes);
            } else if (s.kind == Kind::Directory) {
                used += usedClusters(*s.dir);
            }
        }
        return used;
    }
    uint32_t usedClusters() const { return usedClusters(*root); }
    uint32_t freeClusters() const { return kDataClusters - usedClusters(); }

    size_t countEntries(const Dir& d) const {
        size_t n = 0;
        for (const Slot& s : d.slots) {
            if (s.kind == Kind::File) {
                ++n;
            } else if (s.kind == Kind::Directory) {
                n += 1 + countEntries(*s.dir);
            }
        }
        return n;
    }

    // The expected output of one command line.
    std::string run(const std::vector<std::string>& t) {
        std::string out;
        const std::string& c = t[0];
        if (c == "ls") {
            ls(t.size() > 1 ? &t[1] : nullptr, out);
        } else if (c == "cd") {
            cd(t[1], out);
        } else if (c == "mkdir") {
            mkdir(t[1], out);
        } else if (c == "rmdir") {
            rmdir(t[1], out);
        } else if (c == "touch") {
            touch(t[1], out);
        } else if (c == "rm") {
            rm(t[1], out);
        } else if (c == "cp") {
            copy(t[1], t[2], out);
        } else if (c == "mv") {
            if (copy(t[1], t[2], out) && t[1][0] != '\'') {
                rm(t[1], out);
            }
        } else if (c == "format") {
            reset();
        } else if (c == "read") {
            hostFiles.erase(t[1]);
            opaqueHostFiles.insert(t[1]);
        } else if (c == "write") {
            // The image is mounted again, which starts over at the root.
            cwd = root.get();
        } else {
            throw std::logic_error("the generator made an unknown command " + c);
        }
        return out;
    }

  private:
    enum class WalkStatus { Failed, Partial, Whole };
    struct Walk {
        WalkStatus status;
        Dir* dir;
        size_t position;
    };

    Dir* enter(Dir* d, int index) const {
        Slot& s = d->slots[size_t(index)];
        switch (s.kind) {
            case Kind::Dot:
                return d;
            case Kind::DotDot:
                return d->parent;
            case Kind::Directory:
                return s.dir.get();
            default:
                return nullptr;
        }
    }

    Walk walk(const std::string& path) const {
        Dir* d = cwd;
        size_t p = 0;
        if (!path.empty() && path[0] == '\\') {
            d = root.get();
            p = 1;
        }
        while (p < path.size()) {
            size_t e = path.find('\\', p);
            if (e == std::string::npos) {
                e = path.size();
            }
            const size_t next = e < path.size() ? e + 1 : e;
            const std::string component = path.substr(p, e - p);
            // The stored dot entries are found under names one dot longer.
            const std::string key = component == "." ? ".." : component == ".." ? "..." : component;
            const int index = find(*d, key);
            if (index == -1) {
                return {WalkStatus::Partial, d, p};
            }
            Dir* sub = enter(d, index);
            if (sub == nullptr) {
                return {WalkStatus::Failed, nullptr, p};
            }
            d = sub;
            p = next;
        }
        return {WalkStatus::Whole, d, p};
    }

    struct Resolved {
        Dir* dir;
        int index;
        std::string name;
    };

    std::optional<Resolved> resolveParent(const std::string& path, std::string& out) const {
        const size_t s = path.rfind('\\');
        if (s == std::string::npos) {
            return Resolved{cwd, find(*cwd, path), path};
        }
        const Walk w = walk(s == 0 ? std::string("\\") : path.substr(0, s));
        if (w.status == WalkStatus::Failed) {
            out += msg().cannotGetDirectory;
            return std::nullopt;
        }
        if (w.status == WalkStatus::Partial) {
            out += msg().directoryDoesNotExist;
            return std::nullopt;
        }
        const std::string name = path.substr(s + 1);
        return Resolved{w.dir, find(*w.dir, name), name};
    }

    int allocateSlot(Dir& d, bool& appended) const {
        for (size_t i = 0; i < d.slots.size(); ++i) {
            if (d.slots[i].kind == Kind::Free) {
                return int(i);
            }
        }
        if (d.slots.size() >= d.capacity()) {
            if (d.isRoot() || freeClusters() < 1) {
                return -1;
            }
            // A full subdirectory grows by one cluster, which it keeps even when the
            // creation fails afterwards.
            ++d.clusters;
        }
        d.slots.emplace_back();
        appended = true;
        return int(d.slots.size() - 1);
    }

    int create(Dir& d, const std::string& name, Kind kind, const std::vector<uint8_t>& data) {
        if (name.empty()) {
            return -1;
        }
        const std::string field = toField(name);
        if (field[0] == ' ' || field[0] == '.') {
            return -1;
        }
        bool appended = false;
        const int index = allocateSlot(d, appended);
        if (index == -1) {
            return -1;
        }
        const uint32_t needed =
            kind == Kind::Directory ? 1 : ceilDiv(uint32_t(data.size()), kClusterBytes);
        if (needed > freeClusters()) {
            if (appended) {
                d.slots.pop_back();
            }
            return -1;
        }
        Slot& s = d.slots[size_t(index)];
        s.kind = kind;
        s.field = field;
        s.data = data;
        if (kind == Kind::Directory) {
            s.dir = std::make_unique<Dir>();
            s.dir->parent = &d;
            s.dir->clusters = 1;
            s.dir->slots.resize(2);
            s.dir->slots[0].kind = Kind::Dot;
            s.dir->slots[0].field = ".          ";
            s.dir->slots[1].kind = Kind::DotDot;
            s.dir->slots[1].field = "..         ";
        }
        return index;
    }

    bool contains(const Dir* tree, const Dir* d) const {
        for (; d != nullptr; d = d->parent) {
            if (d == tree) {
                return true;
            }
        }
        return false;
    }

    bool remove(Dir& d, int index) {
        Slot& s = d.slots[size_t(index)];
        if (s.kind == Kind::Dot || s.kind == Kind::DotDot) {
            return true;  // the dot entries are skipped, successfully
        }
        if (s.kind == Kind::Directory && contains(s.dir.get(), cwd)) {
            throw std::logic_error("model would remove the tree holding the current directory");
        }
        s = Slot{};
        return true;
    }

    void list(const Dir& d, std::string& out) const {
        std::vector<std::string> names;
        for (const Slot& s : d.slots) {
            if (inUse(s)) {
                names.push_back(displayName(s.field));
            }
        }
        out += listing(names);
    }

    void ls(const std::string* path, std::string& out) {
        if (path == nullptr) {
            list(*cwd, out);
            return;
        }
        const Walk w = walk(*path);
        if (w.status == WalkStatus::Failed) {
            out += msg().cannotGetDirectory;
        } else if (w.status == WalkStatus::Partial) {
            out += msg().directoryNotFound;
        } else {
            list(*w.dir, out);
        }
    }

    void cd(const std::string& path, std::string& out) {
        const Walk w = walk(path);
        if (w.status == WalkStatus::Failed) {
            out += msg().cannotGetDirectory;
        } else if (w.status == WalkStatus::Partial) {
            out += msg().directoryNotFound;
        } else {
            cwd = w.dir;
        }
    }

    void mkdir(const std::string& path, std::string& out) {
        const Walk w = walk(path);
        if (w.status == WalkStatus::Failed) {
            out += msg().cannotGetDirectory;
            return;
        }
        if (w.status == WalkStatus::Whole) {
            out += msg().nameExists;
            return;
        }
        Dir* d = w.dir;
        size_t p = w.position;
        while (p < path.size()) {
            size_t e = path.find('\\', p);
            if (e == std::string::npos) {
                e = path.size();
            }
            const int index = create(*d, path.substr(p, e - p), Kind::Directory, {});
            if (index == -1) {
                out += msg().cannotCreateDirectory;
                return;
            }
            d = d->slots[size_t(index)].dir.get();
            p = e < path.size() ? e + 1 : e;
        }
    }

    void rmdir(const std::string& path, std::string& out) {
        const Walk w = walk(path);
        if (w.status == WalkStatus::Failed) {
            out += msg().cannotGetDirectory;
            return;
        }
        if (w.status == WalkStatus::Partial) {
            out += msg().directoryNotFound;
            return;
        }
        Dir* target = w.dir;
        if (target == cwd) {
            out += msg().isCurrentDirectory;
            return;
        }
        if (target->isRoot()) {
            out += msg().isRootDirectory;
            return;
        }
        if (contains(target, cwd)) {
            out += msg().isCurrentDirectory;
            return;
        }
        Dir* parent = target->parent;
        const size_t s = path.rfind('\\');
        const std::string name = s == std::string::npos ? path : path.substr(s + 1);
        const int index = find(*parent, name);
        if (index == -1 || !remove(*parent, index)) {
            out += msg().removeDirectoryFailed;
        }
    }

    void touch(const std::string& path, std::string& out) {
        const std::optional<Resolved> r = resolveParent(path, out);
        if (!r) {
            return;
        }
        if (r->index != -1) {
            out += msg().nameExists;
            return;
        }
        if (create(*r->dir, r->name, Kind::File, {}) == -1) {
            out += msg().cannotCreateFile;
        }
    }

    void rm(const std::string& path, std::string& out) {
        const std::optional<Resolved> r = resolveParent(path, out);
        if (!r) {
            return;
        }
        if (r->index == -1) {
            out += msg().nameDoesNotExist;
        } else if (r->dir->slots[size_t(r->index)].kind == Kind::File) {
            remove(*r->dir, r->index);
        } else {
            out += msg().isDirectory;
        }
    }

    std::optional<std::vector<uint8_t>> readSource(const std::string& arg, std::string& out) {
        if (arg[0] == '\'') {
            const auto it = hostFiles.find(arg.substr(1));
            if (it == hostFiles.end()) {
                out += msg().sourceNotFound;
                return std::nullopt;
            }
            return it->second;
        }
        const std::optional<Resolved> r = resolveParent(arg, out);
        if (!r) {
            return std::nullopt;
        }
        if (r->index == -1) {
            out += msg().sourceNotFound;
            return std::nullopt;
        }
        const Slot& s = r->dir->slots[size_t(r->index)];
        if (s.kind != Kind::File) {
            out += msg().cannotOpenFile;
            return std::nullopt;
        }
        return s.data;
    }

    bool copy(const std::string& source, const std::string& destination, std::string& out) {
        const std::optional<std::vector<uint8_t>> data = readSource(source, out);
        if (!data) {
            return false;
        }
        if (destination[0] == '\'') {
            hostFiles[destination.substr(1)] = *data;
            opaqueHostFiles.erase(destination.substr(1));
            return true;
        }
        const std::optional<Resolved> r = resolveParent(destination, out);
        if (!r) {
            return false;
        }
        if (r->index != -1) {
            out += msg().destinationExists;
            return false;
        }
        if (create(*r->dir, r->name, Kind::File, *data) == -1) {
            out += msg().cannotCreateFile;
            return false;
        }
        return true;
    }
};

// ---------------------------------------------------------------------------------------
// The generator: mostly commands that should work, built from the model's current state,
// with a share of the failures the commands are known to report.

const char* const kBaseNames[] = {"A",      "B",  "C1",       "DATA", "FILE1", "NOTES",
                                  "REPORT", "X7", "LONGNAME", "ZZ",   "SUB",   "TMP"};
const char* const kExtensions[] = {"", "", "TXT", "BIN", "C", "DOC"};
// Names that no generated entry ever has.
const char* const kMissingNames[] = {"NOSUCH", "MISSING.TXT", "GONE"};
const char* const kDotNames[] = {".", "..", "..."};
constexpr int kHostInputs = 6;
constexpr int kHostOutputs = 4;
const char* const kBootSectorFile = "boot.bin";

class Generator {
  public:
    // A crowded session puts nearly every new entry into the current directory and moves
    // less, so that directories outgrow their first cluster.
    Generator(std::mt19937& rng, Model& model, bool crowded)
        : rng_(rng), model_(model), crowded_(crowded) {}

    std::vector<std::string> next() {
        // mkdir, cd, touch, cp in, cp out, cp image, mv, rm, rmdir, ls, format, read, write
        std::vector<int> weights = {10, 10, 8, 12, 5, 6, 10, 7, 5, 12, 1, 2, bootSaved_ ? 2 : 0};
        if (crowded_) {
            weights = {6, 3, 14, 14, 3, 8, 6, 3, 2, 8, 0, 1, bootSaved_ ? 1 : 0};
        }
        std::discrete_distribution<int> pick(weights.begin(), weights.end());
        switch (pick(rng_)) {
            case 0:
                return {"mkdir", odd(mkdirPath())};
            case 1:
                return {"cd", odd(cdPath())};
            case 2:
                return {"touch", odd(newEntryPath(0.15))};
            case 3:
                return {"cp", hostSource(), odd(newEntryPath(0.1))};
            case 4:
                // Now and then both sides are host files and the image is not touched.
                return {"cp", chance(0.1) ? hostSource() : existingFilePath(), hostOutput()};
            case 5:
                return {"cp", existingFilePath(), newEntryPath(0.1)};
            case 6:
                return mvCommand();
            case 7:
                return {"rm", odd(rmPath())};
            case 8:
                return {"rmdir", odd(rmdirPath())};
            case 9:
                return lsCommand();
            case 10:
                return {"format"};
            case 11:
                bootSaved_ = true;
                return {"read", kBootSectorFile};
            default:
                return {"write", kBootSectorFile};
        }
    }

  private:
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
    template <typename T, size_t N>
    const T& oneOf(const T (&items)[N]) {
        return items[below(N)];
    }

    // Now and then a path gets one of the spellings whose handling is easy to get wrong:
    // a trailing separator, a doubled one, "..." for "..", or a leading ".".
    std::string odd(std::string path) {
        if (!chance(0.06)) {
            return path;
        }
        switch (below(4)) {
            case 0:
                return path + "\\";
            case 1: {
                const size_t s = path.find('\\', 1);
                return s == std::string::npos ? path : path.insert(s, "\\");
            }
            case 2:
                for (size_t at = path.find(".."); at != std::string::npos;
                     at = path.find("..", at + 3)) {
                    path.insert(at, ".");
                }
                return path;
            default:
                return path[0] == '\\' ? path : ".\\" + path;
        }
    }

    // Lookups ignore ASCII case, so existing names are often typed in another case.
    std::string randomCase(const std::string& name) {
        std::string s = name;
        switch (below(4)) {
            case 0:
                break;
            case 1:
                std::transform(s.begin(), s.end(), s.begin(), ::toupper);
                break;
            case 2:
                std::transform(s.begin(), s.end(), s.begin(), ::tolower);
                break;
            default:
                for (char& c : s) {
                    c = chance(0.5) ? char(::toupper(c)) : char(::tolower(c));
                }
        }
        return s;
    }

    std::string poolName(bool directory) {
        // Crowded sessions also draw from hundreds of numbered names, enough to fill the root.
        std::string name = crowded_ && chance(0.4) ? "N" + std::to_string(below(400))
                                                   : std::string(oneOf(kBaseNames));
        const std::string ext = directory && chance(0.7) ? "" : oneOf(kExtensions);
        if (!ext.empty()) {
            name += "." + ext;
        }
        return randomCase(name);
    }

    std::vector<Dir*> dirs() const {
        std::vector<Dir*> all;
        collectDirs(model_.root.get(), all);
        return all;
    }
    static void collectDirs(Dir* d, std::vector<Dir*>& all) {
        all.push_back(d);
        for (Slot& s : d->slots) {
            if (s.kind == Kind::Directory) {
                collectDirs(s.dir.get(), all);
            }
        }
    }

    struct EntryRef {
        Dir* dir;
        size_t index;
    };
    std::vector<EntryRef> entries(Kind kind) const {
        std::vector<EntryRef> found;
        for (Dir* d : dirs()) {
            for (size_t i = 0; i < d->slots.size(); ++i) {
                if (d->slots[i].kind == kind) {
                    found.push_back({d, i});
                }
            }
        }
        return found;
    }

    static int depth(const Dir* d) {
        int n = 0;
        for (; !d->isRoot(); d = d->parent) {
            ++n;
        }
        return n;
    }

    static std::string nameIn(const Dir* parent, const Dir* child) {
        for (const Slot& s : parent->slots) {
            if (s.kind == Kind::Directory && s.dir.get() == child) {
                return displayName(s.field);
            }
        }
        throw std::logic_error("directory not found in its parent");
    }

    // Components from the root down to d.
    static std::vector<std::string> components(const Dir* d) {
        std::vector<std::string> names;
        for (; !d->isRoot(); d = d->parent) {
            names.insert(names.begin(), nameIn(d->parent, d));
        }
        return names;
    }

    std::string join(const std::vector<std::string>& parts) {
        std::string path;
        for (size_t i = 0; i < parts.size(); ++i) {
            path += (i == 0 ? "" : "\\") + parts[i];
            // A "." component behind a subdirectory stays in it.
            if (parts[i] != ".." && chance(0.05)) {
                path += "\\.";
            }
        }
        return path;
    }

    // A path that walks to d: absolute, or relative to the current directory through "..".
    std::string dirPath(const Dir* d) {
        if (chance(0.4)) {
            std::vector<std::string> parts;
            for (const std::string& c : components(d)) {
                parts.push_back(randomCase(c));
            }
            return "\\" + join(parts);
        }
        const Dir* common = d;
        while (!isAncestorOrSelf(common, model_.cwd)) {
            common = common->parent;
        }
        std::vector<std::string> parts(size_t(depth(model_.cwd) - depth(common)), "..");
        std::vector<std::string> down;
        for (const Dir* x = d; x != common; x = x->parent) {
            down.insert(down.begin(), randomCase(nameIn(x->parent, x)));
        }
        parts.insert(parts.end(), down.begin(), down.end());
        if (parts.empty()) {
            return model_.cwd->isRoot() ? "\\" : ".";
        }
        return join(parts);
    }
    static bool isAncestorOrSelf(const Dir* a, const Dir* d) {
        for (; d != nullptr; d = d->parent) {
            if (d == a) {
                return true;
            }
        }
        return false;
    }

    std::string entryPath(const Dir* parent, const std::string& name) {
        if (parent == model_.cwd && chance(0.6)) {
            return name;
        }
        const std::string prefix = dirPath(parent);
        return prefix.back() == '\\' ? prefix + name : prefix + "\\" + name;
    }

    // New entries gather in the current directory, so that directories fill up and grow.
    Dir* parentDir() {
        if (chance(crowded_ ? 0.95 : 0.5)) {
            return model_.cwd;
        }
        std::vector<Dir*> all = dirs();
        return all[below(all.size())];
    }

    std::string unusedName(const Dir* d, bool directory) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            const std::string name = poolName(directory);
            if (model_.find(*d, name) == -1) {
                return name;
            }
        }
        return poolName(directory);
    }

    std::string existingName(const Dir* d) {
        std::vector<size_t> used;
        for (size_t i = 0; i < d->slots.size(); ++i) {
            if (d->slots[i].kind == Kind::File || d->slots[i].kind == Kind::Directory) {
                used.push_back(i);
            }
        }
        if (used.empty()) {
            return oneOf(kMissingNames);
        }
        return randomCase(displayName(d->slots[used[below(used.size())]].field));
    }

    // "." and ".." as final names are looked up unmapped: "." matches nothing and ".." the
    // "." entry of a subdirectory.
    std::string dotName() { return oneOf(kDotNames); }

    std::string newEntryPath(double existing) {
        if (chance(0.04)) {
            return std::string(oneOf(kMissingNames)) + "\\" + poolName(false);
        }
        Dir* parent = parentDir();
        if (chance(0.03)) {
            return entryPath(parent, dotName());
        }
        return entryPath(parent,
                         chance(existing) ? existingName(parent) : unusedName(parent, false));
    }

    std::string mkdirPath() {
        Dir* parent = parentDir();
        if (depth(parent) >= kMaxDepth) {
            parent = model_.root.get();
        }
        if (chance(0.1)) {
            return entryPath(parent, existingName(parent));
        }
        if (chance(0.03)) {
            return entryPath(parent, dotName());
        }
        std::string path = entryPath(parent, unusedName(parent, true));
        if (chance(0.3)) {
            path += "\\" + poolName(true);
        }
        if (chance(0.05)) {
            path += "\\";
        }
        return path;
    }

    std::string cdPath() {
        if (chance(0.1)) {
            return "..";
        }
        if (chance(0.05)) {
            return "\\";
        }
        if (chance(0.1)) {
            return existingFilePath();
        }
        if (chance(0.05)) {
            return oneOf(kMissingNames);
        }
        std::vector<Dir*> all = dirs();
        std::string path = dirPath(all[below(all.size())]);
        if (chance(0.05) && path.back() != '\\') {
            path += "\\";
        }
        return path;
    }

    std::string existingFilePath() {
        const std::vector<EntryRef> files = entries(Kind::File);
        if (files.empty() || chance(0.05)) {
            return entryPath(parentDir(), oneOf(kMissingNames));
        }
        const EntryRef& f = files[below(files.size())];
        return entryPath(f.dir, randomCase(displayName(f.dir->slots[f.index].field)));
    }

    std::string existingDirEntryPath() {
        const std::vector<EntryRef> subdirs = entries(Kind::Directory);
        if (subdirs.empty()) {
            return entryPath(parentDir(), oneOf(kMissingNames));
        }
        const EntryRef& d = subdirs[below(subdirs.size())];
        return entryPath(d.dir, randomCase(displayName(d.dir->slots[d.index].field)));
    }

    std::string hostSource() {
        if (chance(0.05)) {
            return "'nohost.bin";
        }
        return "'in" + std::to_string(below(kHostInputs)) + ".bin";
    }

    std::string hostOutput() { return "'out" + std::to_string(below(kHostOutputs)) + ".bin"; }

    std::vector<std::string> mvCommand() {
        const double roll = std::uniform_real_distribution<double>(0, 1)(rng_);
        if (roll < 0.05) {
            return {"mv", existingDirEntryPath(), newEntryPath(0)};
        }
        const std::vector<EntryRef> files = entries(Kind::File);
        if (files.empty()) {
            return {"mv", hostSource(), newEntryPath(0.1)};
        }
        const EntryRef f = files[below(files.size())];
        const std::string name = displayName(f.dir->slots[f.index].field);
        const std::string source = entryPath(f.dir, randomCase(name));
        if (roll < 0.45) {
            return {"mv", source, entryPath(f.dir, unusedName(f.dir, false))};
        }
        if (roll < 0.75) {
            Dir* target = parentDir();
            return {"mv", source,
                    entryPath(target, chance(0.5) ? randomCase(name) : unusedName(target, false))};
        }
        if (roll < 0.9) {
            return {"mv", source, hostOutput()};
        }
        return {"mv", source, entryPath(f.dir, existingName(f.dir))};
    }

    std::string rmPath() {
        const double roll = std::uniform_real_distribution<double>(0, 1)(rng_);
        if (roll < 0.15) {
            return existingDirEntryPath();
        }
        if (roll < 0.25) {
            return entryPath(parentDir(), oneOf(kMissingNames));
        }
        if (roll < 0.28) {
            return entryPath(parentDir(), dotName());
        }
        return existingFilePath();
    }

    std::string rmdirPath() {
        const double roll = std::uniform_real_distribution<double>(0, 1)(rng_);
        if (roll < 0.1) {
            return model_.cwd->isRoot() ? "\\" : ".";
        }
        if (roll < 0.2) {
            return dirPath(model_.cwd);
        }
        if (roll < 0.25) {
            return "\\";
        }
        if (roll < 0.3) {
            return "..";
        }
        if (roll < 0.35) {
            return entryPath(parentDir(), oneOf(kMissingNames));
        }
        if (roll < 0.4) {
            return existingFilePath();
        }
        const std::vector<Dir*> all = dirs();
        if (all.size() == 1) {
            return existingDirEntryPath();
        }
        return dirPath(all[1 + below(all.size() - 1)]);
    }

    std::vector<std::string> lsCommand() {
        const double roll = std::uniform_real_distribution<double>(0, 1)(rng_);
        if (roll < 0.4) {
            return {"ls"};
        }
        if (roll < 0.45) {
            return {"ls", existingFilePath()};
        }
        if (roll < 0.5) {
            return {"ls", oneOf(kMissingNames)};
        }
        const std::vector<Dir*> all = dirs();
        return {"ls", odd(dirPath(all[below(all.size())]))};
    }

    std::mt19937& rng_;
    Model& model_;
    bool crowded_;
    bool bootSaved_ = false;
};

// ---------------------------------------------------------------------------------------
// Reading the image back, independently of the tool.

void checkDirectory(const std::vector<uint8_t>& img, const FloppyGeometry& g, const Dir& d,
                    uint32_t firstCluster, uint32_t parentCluster, const std::string& path,
                    std::vector<std::string>& problems) {
    std::vector<uint32_t> chain;
    if (!d.isRoot()) {
        chain = chainOf(img, g, firstCluster);
        if (chain.size() != d.clusters) {
            problems.push_back(path + ": chain of " + std::to_string(chain.size()) +
                               " clusters, expected " + std::to_string(d.clusters));
            return;
        }
    }
    auto slotOffset = [&](size_t i) {
        return d.isRoot() ? rootSlotOffset(g, uint32_t(i))
                          : clusterSlotOffset(g, chain[i / kSlotsPerCluster],
                                              uint32_t(i % kSlotsPerCluster));
    };
    for (size_t i = 0; i < d.slots.size(); ++i) {
        const Slot& s = d.slots[i];
        const size_t at = slotOffset(i);
        const std::string where = path + " slot " + std::to_string(i);
        if (s.kind == Kind::Free) {
            if (img[at] != 0xE5) {
                problems.push_back(where + ": expected a deleted slot, found '" +
                                   entryName(img, at) + "'");
            }
            continue;
        }
        if (entryName(img, at) != s.field) {
            problems.push_back(where + ": name '" + entryName(img, at) + "', expected '" + s.field +
                               "'");
            continue;
        }
        const bool isDir = s.kind != Kind::File;
        if (entryAttribute(img, at) != (isDir ? 0x10 : 0x00)) {
            problems.push_back(where + ": attribute " + std::to_string(entryAttribute(img, at)));
        }
        for (size_t dateAt : {16u, 18u, 24u}) {
            if (img[at + dateAt] != 0x41 || img[at + dateAt + 1] != 0x00) {
                problems.push_back(where + ": date at offset " + std::to_string(dateAt) +
                                   " is not 1 February 1980");
            }
        }
        const uint16_t cluster = entryCluster(img, at);
        const uint32_t size = entrySize(img, at);
        if (s.kind == Kind::Dot || s.kind == Kind::DotDot) {
            const uint32_t expected = s.kind == Kind::Dot ? firstCluster : parentCluster;
            if (cluster != expected || size != 0) {
                problems.push_back(where + ": dot entry points to cluster " +
                                   std::to_string(cluster) + ", expected " +
                                   std::to_string(expected));
            }
        } else if (s.kind == Kind::File) {
            if (size != s.data.size()) {
                problems.push_back(where + ": size " + std::to_string(size) + ", expected " +
                                   std::to_string(s.data.size()));
                continue;
            }
            const size_t chainLength = cluster == 0 ? 0 : chainOf(img, g, cluster).size();
            if (chainLength != ceilDiv(uint32_t(s.data.size()), kClusterBytes)) {
                problems.push_back(where + ": chain of " + std::to_string(chainLength) +
                                   " clusters for " + std::to_string(size) + " bytes");
            } else if (fileBytes(img, g, cluster, size) != s.data) {
                problems.push_back(where + ": file content differs");
            }
        } else {
            if (size != 0) {
                problems.push_back(where + ": directory with size " + std::to_string(size));
            }
            checkDirectory(img, g, *s.dir, cluster, firstCluster,
                           path + displayName(s.field) + "\\", problems);
        }
    }
    if (d.slots.size() < d.capacity() && img[slotOffset(d.slots.size())] != 0x00) {
        problems.push_back(path + ": no end marker behind the last entry (slot " +
                           std::to_string(d.slots.size()) + ")");
    }
}

void collectPaths(const Dir& d, const std::string& prefix,
                  std::vector<std::pair<std::string, const Slot*>>& paths) {
    for (const Slot& s : d.slots) {
        if (s.kind == Kind::File) {
            paths.push_back({prefix + displayName(s.field), &s});
        } else if (s.kind == Kind::Directory) {
            const std::string dirPath = prefix + displayName(s.field) + "/";
            paths.push_back({dirPath, &s});
            collectPaths(*s.dir, dirPath, paths);
        }
    }
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) {
        lines.push_back(l);
    }
    return lines;
}

// fsck.fat always complains about the empty label that the format leaves; nothing else may
// be found, and its counts must be the model's.
void checkFsck(const TempDir& dir, const Model& model, std::vector<std::string>& problems) {
    const ToolResult r = runShell("cd " + shellQuote(dir.path()) + " && fsck.fat -n fd.img 2>&1");
    const std::string expectedSummary =
        "fd.img: " + std::to_string(model.countEntries(*model.root)) + " files, " +
        std::to_string(model.usedClusters()) + "/" + std::to_string(kDataClusters) + " clusters";
    bool labelFinding = false;
    bool summary = false;
    bool clean = r.exitStatus == 0 || r.exitStatus == 1;
    for (const std::string& l : splitLines(r.output)) {
        if (l.rfind("fsck.fat ", 0) == 0 || l.empty() || l == "Leaving filesystem unchanged." ||
            l == "  Auto-removing label from boot sector.") {
            continue;
        }
        if (l == "Label '' stored in boot sector is not valid.") {
            labelFinding = true;
        } else if (l == expectedSummary) {
            summary = true;
        } else {
            clean = false;
        }
    }
    if (!clean || !summary || (r.exitStatus == 1 && !labelFinding)) {
        problems.push_back("fsck.fat -n (exit " + std::to_string(r.exitStatus) +
                           ", expected summary '" + expectedSummary + "'):\n" + r.output);
    }
}

void checkMtools(const TempDir& dir, const Model& model, std::vector<std::string>& problems) {
    std::vector<std::pair<std::string, const Slot*>> paths;
    collectPaths(*model.root, "", paths);
    const std::string cdDir = "cd " + shellQuote(dir.path()) + " && ";
    const ToolResult listing =
        runShell(cdDir + "MTOOLS_SKIP_CHECK=1 mdir -/ -b -i fd.img :: 2>/dev/null");
    std::vector<std::string> listed = splitLines(listing.output);
    std::vector<std::string> expected;
    for (const auto& p : paths) {
        expected.push_back("::/" + p.first);
    }
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    // mdir reports an empty root as not found.
    const int expectedStatus = paths.empty() ? 1 : 0;
    if (listed != expected || listing.exitStatus != expectedStatus) {
        std::string text = "mdir -/ -b lists (exit " + std::to_string(listing.exitStatus) + "):\n";
        for (const std::string& l : listed) {
            text += "  " + l + "\n";
        }
        text += "expected:\n";
        for (const std::string& l : expected) {
            text += "  " + l + "\n";
        }
        problems.push_back(text);
        return;
    }
    const std::string outDir = dir.file("mcopy");
    std::filesystem::create_directory(outDir);
    std::string command = cdDir + "true";
    std::vector<std::pair<std::string, const Slot*>> files;
    for (const auto& p : paths) {
        if (p.second->kind == Kind::File) {
            command += "; MTOOLS_SKIP_CHECK=1 mcopy -n -i fd.img " + shellQuote("::/" + p.first) +
                       " mcopy/f" + std::to_string(files.size()) + " 2>&1";
            files.push_back(p);
        }
    }
    const ToolResult copies = runShell(command);
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string out = outDir + "/f" + std::to_string(i);
        if (!std::filesystem::exists(out)) {
            problems.push_back("mcopy could not read ::/" + files[i].first + ":\n" + copies.output);
        } else if (readFile(out) != files[i].second->data) {
            problems.push_back("mcopy reads other bytes from ::/" + files[i].first);
        }
    }
}

// ---------------------------------------------------------------------------------------

size_t hostFileSize(std::mt19937& rng) {
    static const size_t boundaries[] = {0, 1, 511, 512, 513, 1024, 1025, 8192};
    if (std::bernoulli_distribution(0.5)(rng)) {
        return boundaries[std::uniform_int_distribution<size_t>(0, 7)(rng)];
    }
    return std::uniform_int_distribution<size_t>(0, 20000)(rng);
}

struct Settings {
    unsigned firstSeed = 1;
    unsigned seeds = 5;
    unsigned length = 60;
};

unsigned envNumber(const char* name, unsigned fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? unsigned(std::strtoul(value, nullptr, 10))
                                              : fallback;
}

Settings settings() {
    Settings s;
    s.firstSeed = envNumber("FAT12IMG_RANDOM_FIRST_SEED", s.firstSeed);
    s.seeds = envNumber("FAT12IMG_RANDOM_SEEDS", s.seeds);
    s.length = envNumber("FAT12IMG_RANDOM_LENGTH", s.length);
    return s;
}

// Runs one seed's session and gives every disagreement found; empty when all agree.
std::vector<std::string> runSeed(unsigned seed, unsigned length, bool peers, std::string& script) {
    TempDir dir;
    std::mt19937 rng(seed);
    Model model;
    // One seed in four is crowded; another one in four brings two large host files, with
    // which a few copies fill the image.
    const bool crowded = seed % 4 == 1;
    const bool large = seed % 4 == 2;
    for (int k = 0; k < kHostInputs; ++k) {
        const std::string name = "in" + std::to_string(k) + ".bin";
        const size_t size = large && k < 2
                                ? std::uniform_int_distribution<size_t>(350000, 700000)(rng)
                                : hostFileSize(rng);
        model.hostFiles[name] = randomBytes(rng, size);
        writeFile(dir.file(name), model.hostFiles[name]);
    }
    Generator generator(rng, model, crowded);
    std::vector<std::string> commands;
    std::vector<std::string> expected;
    script.clear();
    for (unsigned i = 0; i < length; ++i) {
        const std::vector<std::string> tokens = generator.next();
        std::string command;
        for (const std::string& t : tokens) {
            command += (command.empty() ? "" : " ") + t;
        }
        commands.push_back(command);
        expected.push_back(model.run(tokens));
        script += command + "\n";
    }

    std::vector<std::string> problems;
    const ToolResult r = runTool(dir.path(), {"fd.img"}, script);
    if (r.exitStatus != 0) {
        problems.push_back("exit status " + std::to_string(r.exitStatus));
    }
    const std::string usage = usageOutput();
    if (r.output.compare(0, usage.size(), usage) != 0) {
        problems.push_back("the session does not start with the usage text");
        return problems;
    }
    // File names never hold '>', and neither do the messages' Shift_JIS bytes, so the
    // prompts cut the rest of the output into one piece per command.
    std::vector<std::string> pieces;
    std::string rest = r.output.substr(usage.size());
    for (size_t at = 0;;) {
        const size_t prompt = rest.find('>', at);
        pieces.push_back(
            rest.substr(at, prompt == std::string::npos ? std::string::npos : prompt - at));
        if (prompt == std::string::npos) {
            break;
        }
        at = prompt + 1;
    }
    if (!pieces.front().empty()) {
        problems.push_back("output before the first prompt: " + readable(pieces.front()));
    }
    int mismatches = 0;
    for (size_t i = 0; i < commands.size() && mismatches < 3; ++i) {
        if (i + 1 >= pieces.size()) {
            problems.push_back("the session ended before command " + std::to_string(i + 1) + " '" +
                               commands[i] + "' (" + std::to_string(pieces.size() - 1) +
                               " prompts)");
            return problems;
        }
        if (pieces[i + 1] != expected[i]) {
            ++mismatches;
            problems.push_back("command " + std::to_string(i + 1) + " '" + commands[i] +
                               "': expected " + readable(expected[i]) + ", got " +
                               readable(pieces[i + 1]));
        }
    }
    if (mismatches != 0) {
        return problems;  // the image no longer follows the model
    }
    if (pieces.size() != commands.size() + 2 || !pieces.back().empty()) {
        problems.push_back("unexpected output after the last command");
    }

    const std::vector<uint8_t> img = readFile(dir.file("fd.img"));
    if (img.size() != kFloppyBytes) {
        problems.push_back("image is " + std::to_string(img.size()) + " bytes");
        return problems;
    }
    if (!peers) {
        const FloppyGeometry g = floppy144();
        checkDirectory(img, g, *model.root, 0, 0, "\\", problems);
        const uint32_t freeOnImage = freeClusterCount(img, g);
        if (freeOnImage != model.freeClusters()) {
            problems.push_back(std::to_string(freeOnImage) + " free clusters, expected " +
                               std::to_string(model.freeClusters()));
        }
        if (!std::equal(img.begin() + long(g.fatOffset(0)), img.begin() + long(g.fatOffset(1)),
                        img.begin() + long(g.fatOffset(1)))) {
            problems.push_back("the two FAT copies differ");
        }
        for (const auto& [name, bytes] : model.hostFiles) {
            if (readFile(dir.file(name)) != bytes) {
                problems.push_back("host file " + name + " differs from the model");
            }
        }
        std::set<std::string> expectedHostFiles = model.opaqueHostFiles;
        expectedHostFiles.insert("fd.img");
        for (const auto& file : model.hostFiles) {
            expectedHostFiles.insert(file.first);
        }
        for (const auto& file : std::filesystem::directory_iterator(dir.path())) {
            if (expectedHostFiles.count(file.path().filename().string()) == 0) {
                problems.push_back("unexpected host file " + file.path().filename().string());
            }
        }
        for (const std::string& name : model.opaqueHostFiles) {
            const std::vector<uint8_t> saved = readFile(dir.file(name));
            if (saved.size() != 512 || !std::equal(saved.begin(), saved.end(), img.begin())) {
                problems.push_back("host file " + name + " is not the image's sector 0");
            }
        }
    } else {
        checkFsck(dir, model, problems);
        checkMtools(dir, model, problems);
    }
    return problems;
}

void runSeeds(bool peers) {
    const Settings s = settings();
    unsigned failed = 0;
    for (unsigned seed = s.firstSeed; seed < s.firstSeed + s.seeds; ++seed) {
        std::string script;
        std::vector<std::string> problems;
        try {
            problems = runSeed(seed, s.length, peers, script);
        } catch (const std::exception& e) {
            problems.push_back(std::string("test error: ") + e.what());
        }
        if (problems.empty()) {
            continue;
        }
        ++failed;
        std::string report;
        for (const std::string& p : problems) {
            report += "  " + p + "\n";
        }
        ADD_FAILURE() << "seed " << seed << ":\n"
                      << report << "reproduce with FAT12IMG_RANDOM_FIRST_SEED=" << seed
                      << " FAT12IMG_RANDOM_SEEDS=1 FAT12IMG_RANDOM_LENGTH=" << s.length
                      << "; script:\n"
                      << script;
    }
    if (failed != 0) {
        std::printf("%u of %u seeds failed\n", failed, s.seeds);
    }
}

TEST(RandomSession, OutputsAndImageFollowTheModel) {
    runSeeds(false);
}

TEST(RandomSession, FsckAndMtoolsAgreeWithTheModel) {
    if (!haveProgram("fsck.fat") || !haveProgram("mdir") || !haveProgram("mcopy")) {
        GTEST_SKIP() << "fsck.fat or mtools not installed";
    }
    runSeeds(true);
}

}  // namespace
