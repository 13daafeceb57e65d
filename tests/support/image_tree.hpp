#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Reads the whole file tree of a FAT12 image, independently of the code under test, the
// way a remount or another system would see it.
namespace testimg {

struct TreeNode {
    bool directory = false;
    std::vector<uint8_t> content;  // a file's bytes
};

struct ImageTree {
    // Paths from the root, components joined by a backslash; directories included.
    std::map<std::string, TreeNode> nodes;
    // What makes the tree unsound: clusters used twice, entries that point at free or
    // missing clusters, sizes beyond their chains, an unreadable boot sector.
    std::vector<std::string> problems;
};

ImageTree readTree(const std::vector<uint8_t>& image);

// A short description of how two trees differ, empty when they are equal.
std::string treeDifference(const ImageTree& actual, const ImageTree& expected);

}  // namespace testimg
