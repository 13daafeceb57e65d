#include "support/host_tree.hpp"

#include <filesystem>

#include "support/image_builder.hpp"

namespace testimg {

namespace fs = std::filesystem;

std::vector<HostFile> sampleTree() {
    std::vector<HostFile> files = {
        {"KERNEL.BIN", pattern(40000, 1)},
        {"EMPTY.TXT", {}},
        {"ONE", pattern(1, 2)},
        {"A511.DAT", pattern(511, 3)},
        {"A512.DAT", pattern(512, 4)},
        {"A513.DAT", pattern(513, 5)},
        {"NOTHING", {}, true},
        {"BOOT/LOADER.SYS", pattern(3000, 6)},
        {"BOOT/EMPTY", {}, true},
        {"BOOT/GRUB/MENU.LST", pattern(200, 7)},
        {"BOOT/GRUB/STAGE2", pattern(9000, 8)},
        {"BOOT/GRUB/ZERO", {}},
    };
    for (int i = 0; files.size() < 32; ++i) {
        const std::string dir = i % 2 == 0 ? "LIB/" : "BOOT/GRUB/";
        files.push_back(
            {dir + "MOD" + std::to_string(i) + ".O", pattern(size_t(i) * 97, uint32_t(20 + i))});
    }
    return files;
}

void makeHostTree(const std::string& top, const std::vector<HostFile>& files) {
    fs::create_directories(top);
    for (const HostFile& f : files) {
        const fs::path p = fs::path(top) / f.path;
        if (f.directory) {
            fs::create_directories(p);
        } else {
            fs::create_directories(p.parent_path());
            writeFile(p.string(), f.bytes);
        }
    }
}

std::map<std::string, std::vector<uint8_t>> readHostTree(const std::string& top) {
    std::map<std::string, std::vector<uint8_t>> out;
    std::vector<fs::path> pending{top};
    while (!pending.empty()) {
        const fs::path dir = pending.back();
        pending.pop_back();
        for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
            const std::string relative = e.path().lexically_relative(top).generic_string();
            const fs::file_type type = fs::symlink_status(e.path()).type();
            if (type == fs::file_type::directory) {
                out[relative + "/"] = {};
                pending.push_back(e.path());
            } else if (type == fs::file_type::regular) {
                out[relative] = readFile(e.path().string());
            } else {
                out[relative + " (link or special file)"] = {};
            }
        }
    }
    return out;
}

std::map<std::string, std::vector<uint8_t>> asImagePaths(
    const std::map<std::string, std::vector<uint8_t>>& hostTree, const std::string& under) {
    std::map<std::string, std::vector<uint8_t>> out;
    for (const auto& [path, bytes] : hostTree) {
        std::string p = under + "\\" + path;
        for (char& c : p) {
            c = c == '/' ? '\\' : c;
        }
        out[p] = bytes;
    }
    return out;
}

}  // namespace testimg

namespace testimg {

std::string treeFilesDifference(const std::map<std::string, std::vector<uint8_t>>& actual,
                                const std::map<std::string, std::vector<uint8_t>>& expected) {
    for (const auto& [path, bytes] : expected) {
        const auto it = actual.find(path);
        if (it == actual.end()) {
            return "missing: " + path;
        }
        if (it->second != bytes) {
            return "other bytes: " + path;
        }
    }
    for (const auto& [path, bytes] : actual) {
        if (expected.count(path) == 0) {
            return "not expected: " + path;
        }
    }
    return "";
}

}  // namespace testimg
