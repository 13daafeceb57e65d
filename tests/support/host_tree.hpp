#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Trees of host files for the tree copies: made from a list, read back whole.
namespace testimg {

// A file (or, with `directory`, an empty directory) at a path relative to the tree's top,
// components joined by '/'.
struct HostFile {
    std::string path;
    std::vector<uint8_t> bytes;
    bool directory = false;
};

// A tree of 30 files in 3 levels with 8.3 names in upper case: empty files and
// directories, files of 0, 1, 511, 512 and 513 bytes and one spanning many clusters.
std::vector<HostFile> sampleTree();
// Makes the tree under `top` (which is created), in the order of `files`.
void makeHostTree(const std::string& top, const std::vector<HostFile>& files);
// Every file and directory under `top`: relative path -> content; a directory's path ends
// in '/' and has no content; links and special files are named, not followed or read.
std::map<std::string, std::vector<uint8_t>> readHostTree(const std::string& top);
// The same tree as image paths below `under` (components joined by a backslash, a
// directory's path ending in one).
std::map<std::string, std::vector<uint8_t>> asImagePaths(
    const std::map<std::string, std::vector<uint8_t>>& hostTree, const std::string& under);

// Empty when the two trees are the same; otherwise the first path where they differ.
std::string treeFilesDifference(const std::map<std::string, std::vector<uint8_t>>& actual,
                                const std::map<std::string, std::vector<uint8_t>>& expected);

}  // namespace testimg
