#pragma once

// Shared by the directory and file tests: an image mounted the way the shell mounts it,
// the geometries the volume accepts, and a few readers over raw image bytes.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "directory/fat_directory.hpp"
#include "file/fat_file.hpp"
#include "support/image_builder.hpp"
#include "volume/fat_volume.hpp"
#include "volume/image_device.hpp"

namespace fstest {

using testimg::FloppyGeometry;

struct GeometryCase {
    std::string name;
    FloppyGeometry g;
};

inline void PrintTo(const GeometryCase& c, std::ostream* os) {
    *os << c.name;
}

// One sector per cluster, two per cluster with a small and a large root, and 1024-byte
// sectors.
inline std::vector<GeometryCase> allGeometries() {
    return {{"Floppy144", testimg::floppy144()},
            {"Floppy720", testimg::floppy720()},
            {"Floppy288", testimg::floppy288()},
            {"Floppy1232", testimg::floppy1232()}};
}

inline std::string geometryName(const ::testing::TestParamInfo<GeometryCase>& info) {
    return info.param.name;
}

// An image in a temporary file, mounted, with its root directory loaded.
class Disk {
  public:
    Disk(const FloppyGeometry& geometry, const std::vector<uint8_t>& image)
        : g(geometry), file(image), device{file.handle()} {
        mounted = volume.mount(device) && root.load(&volume, 0);
    }
    std::vector<uint8_t> bytes() const { return file.bytes(); }

    FloppyGeometry g;
    testimg::ImageFile file;
    fat12img::ImageDevice device;
    fat12img::FatVolume volume;
    fat12img::FatRootDirectory root;
    bool mounted = false;
};

// Empty when equal; otherwise where they first differ, which is far more telling than a
// dump of two megabyte-sized vectors.
inline std::string imageDiff(const std::vector<uint8_t>& actual,
                             const std::vector<uint8_t>& expected, uint32_t bytesPerSector) {
    if (actual.size() != expected.size()) {
        return "sizes differ";
    }
    for (size_t i = 0; i < actual.size(); ++i) {
        if (actual[i] != expected[i]) {
            std::ostringstream s;
            s << "first difference at byte " << i << " (sector " << i / bytesPerSector
              << "): " << int(actual[i]) << " instead of " << int(expected[i]);
            return s.str();
        }
    }
    return "";
}

// Every FAT copy, as one run of bytes.
inline std::vector<uint8_t> fatRegion(const std::vector<uint8_t>& img, const FloppyGeometry& g) {
    return testimg::bytesAt(img, g.fatOffset(0), g.fatOffset(g.numberOfFats) - g.fatOffset(0));
}

inline bool fatCopiesAgree(const std::vector<uint8_t>& img, const FloppyGeometry& g) {
    const size_t fatBytes = g.fatOffset(1) - g.fatOffset(0);
    for (uint32_t copy = 1; copy < g.numberOfFats; ++copy) {
        if (testimg::bytesAt(img, g.fatOffset(copy), fatBytes) !=
            testimg::bytesAt(img, g.fatOffset(0), fatBytes)) {
            return false;
        }
    }
    return true;
}

// Marks every free cluster from `first` on as the end of a one-cluster chain, so that an
// allocation can only take what lies below it.
inline void occupyFreeClustersFrom(std::vector<uint8_t>& img, const FloppyGeometry& g,
                                   uint32_t first) {
    for (uint32_t c = first; c < g.clusterLimit(); ++c) {
        if (testimg::fatEntry(img, g, c) == 0) {
            testimg::setFatEntry(img, g, c, 0xFFF);
        }
    }
}

inline void fillCluster(std::vector<uint8_t>& img, const FloppyGeometry& g, uint32_t cluster,
                        uint8_t value) {
    std::memset(img.data() + g.clusterOffset(cluster), value, g.clusterBytes());
}

// The 32 bytes this system writes for a new entry: fixed dates, zero times.
inline std::vector<uint8_t> systemEntry(const std::string& name11, uint8_t attribute,
                                        uint16_t firstCluster, uint32_t size) {
    std::vector<uint8_t> e(32, 0);
    std::memcpy(e.data(), name11.data(), 11);
    e[11] = attribute;
    e[16] = e[18] = e[24] = 0x41;
    e[26] = uint8_t(firstCluster);
    e[27] = uint8_t(firstCluster >> 8);
    for (int i = 0; i < 4; ++i) {
        e[28 + i] = uint8_t(size >> (8 * i));
    }
    return e;
}

using testimg::pattern;

// Lays data out over the clusters of a chain, in chain order.
inline void putFileData(std::vector<uint8_t>& img, const FloppyGeometry& g,
                        const std::vector<uint32_t>& chain, const std::vector<uint8_t>& data) {
    for (size_t i = 0; i < data.size(); ++i) {
        const size_t c = i / g.clusterBytes();
        img[g.clusterOffset(chain[c]) + i % g.clusterBytes()] = data[i];
    }
}

inline std::string numbered(const char* prefix, int i) {
    return prefix + std::to_string(i);
}

}  // namespace fstest
