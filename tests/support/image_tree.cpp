#include "support/image_tree.hpp"

#include <algorithm>
#include <set>
#include <sstream>

namespace testimg {

namespace {

uint32_t le16(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8);
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return le16(b, at) | (le16(b, at + 2) << 16);
}

class TreeReader {
  public:
    explicit TreeReader(const std::vector<uint8_t>& image) : img_(image) {}

    ImageTree read() {
        if (img_.size() < 512) {
            tree_.problems.push_back("no boot sector");
            return tree_;
        }
        bps_ = le16(img_, 11);
        spc_ = img_[13];
        reserved_ = le16(img_, 14);
        fats_ = img_[16];
        rootEntries_ = le16(img_, 17);
        const uint32_t total = le16(img_, 19);
        spf_ = le16(img_, 22);
        if (bps_ == 0 || spc_ == 0) {
            tree_.problems.push_back("unusable boot sector");
            return tree_;
        }
        rootSector_ = reserved_ + fats_ * spf_;
        firstData_ = rootSector_ + rootEntries_ * 32 / bps_;
        clusterLimit_ = (total - firstData_) / spc_ + 2;
        std::vector<uint8_t> root = bytes(size_t(rootSector_) * bps_, size_t(rootEntries_) * 32);
        walk(root, "", {});
        return tree_;
    }

  private:
    std::vector<uint8_t> bytes(size_t offset, size_t n) {
        std::vector<uint8_t> out(n, 0);
        if (offset + n > img_.size()) {
            tree_.problems.push_back("image ends before byte " + std::to_string(offset + n));
            return out;
        }
        std::copy_n(img_.begin() + long(offset), n, out.begin());
        return out;
    }

    uint32_t fat(uint32_t n) const {
        const size_t o = size_t(reserved_) * bps_ + n + n / 2;
        if (o + 1 >= img_.size()) {
            return 0xFFF;
        }
        return n % 2 == 0 ? (img_[o] | ((img_[o + 1] & 0x0F) << 8))
                          : ((img_[o] >> 4) | (img_[o + 1] << 4));
    }

    // The clusters of a chain, claimed for `owner`; problems for clusters that are free,
    // outside the data area or claimed already.
    std::vector<uint32_t> chain(uint32_t first, const std::string& owner) {
        std::vector<uint32_t> clusters;
        for (uint32_t c = first; c >= 2 && c < clusterLimit_; c = fat(c)) {
            if (clusters.size() > clusterLimit_) {
                tree_.problems.push_back(owner + ": chain loops");
                break;
            }
            if (fat(c) == 0) {
                tree_.problems.push_back(owner + ": cluster " + std::to_string(c) + " is free");
            }
            if (!claimed_.insert(c).second) {
                tree_.problems.push_back(owner + ": cluster " + std::to_string(c) +
                                         " is used twice");
            }
            clusters.push_back(c);
        }
        return clusters;
    }

    std::vector<uint8_t> chainBytes(const std::vector<uint32_t>& clusters) {
        std::vector<uint8_t> out;
        const size_t clusterBytes = size_t(bps_) * spc_;
        for (uint32_t c : clusters) {
            const size_t offset = (size_t(firstData_) + size_t(c - 2) * spc_) * bps_;
            const std::vector<uint8_t> part = bytes(offset, clusterBytes);
            out.insert(out.end(), part.begin(), part.end());
        }
        return out;
    }

    static std::string displayName(const std::vector<uint8_t>& table, size_t at) {
        std::string base(reinterpret_cast<const char*>(&table[at]), 8);
        std::string ext(reinterpret_cast<const char*>(&table[at + 8]), 3);
        if (static_cast<uint8_t>(base[0]) == 0x05) {
            base[0] = static_cast<char>(0xE5);
        }
        base.erase(base.find_last_not_of(' ') + 1);
        ext.erase(ext.find_last_not_of(' ') + 1);
        return ext.empty() ? base : base + "." + ext;
    }

    void walk(const std::vector<uint8_t>& table, const std::string& prefix,
              std::set<uint32_t> ancestors) {
        for (size_t at = 0; at + 32 <= table.size(); at += 32) {
            const uint8_t first = table[at];
            const uint8_t attribute = table[at + 11];
            if (first == 0x00) {
                return;
            }
            if (first == 0xE5 || (attribute & 0x3F) == 0x0F || (attribute & 0x08) != 0) {
                continue;
            }
            if (first == '.') {
                continue;  // dot entries
            }
            const std::string path = prefix + displayName(table, at);
            const uint32_t cluster = le16(table, at + 26);
            TreeNode node;
            if ((attribute & 0x10) != 0) {
                node.directory = true;
                tree_.nodes[path] = node;
                if (ancestors.count(cluster) != 0) {
                    tree_.problems.push_back(path + ": directory contains itself");
                    continue;
                }
                if (cluster < 2 || cluster >= clusterLimit_) {
                    tree_.problems.push_back(path + ": directory without a chain");
                    continue;
                }
                // A table that garbage entries reach many times is read once: a damaged
                // image could otherwise make the walk grow without end.
                if (claimed_.count(cluster) != 0) {
                    tree_.problems.push_back(path + ": cluster " + std::to_string(cluster) +
                                             " is used twice");
                    continue;
                }
                std::set<uint32_t> inner = ancestors;
                inner.insert(cluster);
                walk(chainBytes(chain(cluster, path)), path + "\\", inner);
                continue;
            }
            const uint32_t size = le32(table, at + 28);
            if (size > 0 || cluster != 0) {
                const std::vector<uint32_t> clusters = chain(cluster, path);
                node.content = chainBytes(clusters);
                if (node.content.size() < size) {
                    tree_.problems.push_back(path + ": size beyond its chain");
                }
                if (clusters.size() > (size + size_t(bps_) * spc_ - 1) / (size_t(bps_) * spc_)) {
                    tree_.problems.push_back(path + ": chain longer than its size");
                }
            }
            // No more than the chain holds: a damaged entry may claim gigabytes.
            node.content.resize(std::min<size_t>(size, node.content.size()));
            tree_.nodes[path] = node;
        }
    }

    const std::vector<uint8_t>& img_;
    ImageTree tree_;
    std::set<uint32_t> claimed_;
    uint32_t bps_ = 0, spc_ = 0, reserved_ = 0, fats_ = 0, rootEntries_ = 0, spf_ = 0;
    uint32_t rootSector_ = 0, firstData_ = 0, clusterLimit_ = 0;
};

}  // namespace

ImageTree readTree(const std::vector<uint8_t>& image) {
    return TreeReader(image).read();
}

std::string treeDifference(const ImageTree& actual, const ImageTree& expected) {
    std::ostringstream out;
    for (const auto& [path, node] : expected.nodes) {
        const auto it = actual.nodes.find(path);
        if (it == actual.nodes.end()) {
            out << "missing " << path << "; ";
        } else if (it->second.directory != node.directory) {
            out << "kind of " << path << " differs; ";
        } else if (it->second.content != node.content) {
            out << "content of " << path << " differs; ";
        }
    }
    for (const auto& [path, node] : actual.nodes) {
        if (expected.nodes.count(path) == 0) {
            out << "unexpected " << path << "; ";
        }
    }
    return out.str();
}

}  // namespace testimg
