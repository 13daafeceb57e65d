// Decoding the boot sector: the layouts a FAT12 floppy can have, and every geometry that
// would send later operations out of bounds, which must be refused at mount.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/image_builder.hpp"
#include "volume/geometry.hpp"

using namespace fat12img;
using testimg::bootSector;
using testimg::FloppyGeometry;

namespace {

void le16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

FloppyGeometry with(FloppyGeometry g, const std::function<void(FloppyGeometry&)>& change) {
    change(g);
    return g;
}

// One FAT copy of one sector and a one-sector root: the smallest layout, to put the FAT's
// capacity and the cluster count right at their edges.
FloppyGeometry oneSectorFat(uint16_t totalSectors) {
    FloppyGeometry g;
    g.numberOfFats = 1;
    g.sectorsPerFat = 1;
    g.rootEntries = 16;
    g.totalSectors = totalSectors;
    return g;
}

// Room for 0xFF7 clusters of one sector: 12 sectors per FAT, data from sector 39.
FloppyGeometry manyClusters(uint16_t totalSectors) {
    FloppyGeometry g;
    g.sectorsPerFat = 12;
    g.totalSectors = totalSectors;
    return g;
}

struct LayoutRow {
    const char* what;
    FloppyGeometry g;
    uint32_t rootDirSector, rootDirSectors, firstDataSector, dataSectorCount, clusterLimit;
};

TEST(DecodeBootSector, UsableLayouts) {
    const LayoutRow rows[] = {
        {"1.44 MB", testimg::floppy144(), 19, 14, 33, 2847, 2849},
        {"720 KB, two sectors per cluster", testimg::floppy720(), 7, 7, 14, 1426, 715},
        {"2.88 MB", testimg::floppy288(), 19, 15, 34, 5726, 2865},
        {"1024-byte sectors", testimg::floppy1232(), 5, 6, 11, 1221, 1223},
        {"100 root entries: 6 whole sectors",
         with(testimg::floppy144(), [](FloppyGeometry& g) { g.rootEntries = 100; }), 19, 6, 25,
         2855, 2857},
        {"4096-byte sectors",
         with({},
              [](FloppyGeometry& g) {
                  g.bytesPerSector = 4096;
                  g.rootEntries = 128;
                  g.totalSectors = 100;
                  g.sectorsPerFat = 1;
              }),
         3, 1, 4, 96, 98},
        {"2048-byte sectors, 64 per cluster, full 16-bit total",
         with({},
              [](FloppyGeometry& g) {
                  g.bytesPerSector = 2048;
                  g.sectorsPerCluster = 64;
                  g.sectorsPerFat = 1;
                  g.rootEntries = 64;
                  g.totalSectors = 0xFFFF;
              }),
         3, 1, 4, 65531, 1025},
        {"one data sector", with({}, [](FloppyGeometry& g) { g.totalSectors = 34; }), 19, 14, 33, 1,
         3},
        {"no whole data cluster (clusterLimit 2)",
         with({},
              [](FloppyGeometry& g) {
                  g.totalSectors = 34;
                  g.sectorsPerCluster = 2;
              }),
         19, 14, 33, 1, 2},
        {"clusterLimit 0xFF7", manyClusters(4124), 25, 14, 39, 4085, 0xFF7},
        {"last FAT entry ends on the FAT's last byte", oneSectorFat(342), 2, 1, 3, 339, 341},
    };
    for (const LayoutRow& r : rows) {
        SCOPED_TRACE(r.what);
        const auto decoded = decodeBootSector(bootSector(r.g).data());
        ASSERT_TRUE(decoded.has_value());
        const Geometry& g = *decoded;
        EXPECT_EQ(g.bytesPerSector, r.g.bytesPerSector);
        EXPECT_EQ(g.sectorsPerCluster, r.g.sectorsPerCluster);
        EXPECT_EQ(g.reservedSectors, r.g.reservedSectors);
        EXPECT_EQ(g.numberOfFats, r.g.numberOfFats);
        EXPECT_EQ(g.rootEntryCount, r.g.rootEntries);
        EXPECT_EQ(g.totalSectors, r.g.totalSectors);
        EXPECT_EQ(g.sectorsPerFat, r.g.sectorsPerFat);
        EXPECT_EQ(g.rootDirSector, r.rootDirSector);
        EXPECT_EQ(g.rootDirSectors, r.rootDirSectors);
        EXPECT_EQ(g.firstDataSector, r.firstDataSector);
        EXPECT_EQ(g.dataSectorCount, r.dataSectorCount);
        EXPECT_EQ(g.clusterLimit, r.clusterLimit);
    }
}

struct RefusalRow {
    const char* what;
    FloppyGeometry g;
};

TEST(DecodeBootSector, RefusesUnusableGeometry) {
    using G = FloppyGeometry;
    const G base = testimg::floppy144();
    const RefusalRow rows[] = {
        {"bytes per sector 0", with(base, [](G& g) { g.bytesPerSector = 0; })},
        {"bytes per sector 256", with(base, [](G& g) { g.bytesPerSector = 256; })},
        {"bytes per sector 513", with(base, [](G& g) { g.bytesPerSector = 513; })},
        {"bytes per sector 768", with(base, [](G& g) { g.bytesPerSector = 768; })},
        {"bytes per sector 8192", with(base, [](G& g) { g.bytesPerSector = 8192; })},
        {"sectors per cluster 0", with(base, [](G& g) { g.sectorsPerCluster = 0; })},
        {"sectors per cluster 3", with(base, [](G& g) { g.sectorsPerCluster = 3; })},
        {"sectors per cluster 255", with(base, [](G& g) { g.sectorsPerCluster = 255; })},
        {"no reserved sector", with(base, [](G& g) { g.reservedSectors = 0; })},
        {"no FAT copy", with(base, [](G& g) { g.numberOfFats = 0; })},
        {"empty FAT", with(base, [](G& g) { g.sectorsPerFat = 0; })},
        {"total equals the first data sector", with(base, [](G& g) { g.totalSectors = 33; })},
        {"total inside the root directory", with(base, [](G& g) { g.totalSectors = 20; })},
        {"total 0 (only the 32-bit count set)", with(base, [](G& g) { g.totalSectors = 0; })},
        {"clusterLimit 0xFF8", manyClusters(4125)},
        {"FAT one sector short", with(base, [](G& g) { g.sectorsPerFat = 8; })},
        {"last FAT entry one byte past the FAT", oneSectorFat(343)},
    };
    for (const RefusalRow& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<uint8_t> b = bootSector(r.g);
        if (r.g.totalSectors == 0) {
            b[32] = 0x40;  // 2880 in the 32-bit count, which is never read
            b[33] = 0x0B;
        }
        EXPECT_FALSE(decodeBootSector(b.data()).has_value());
    }
}

TEST(DecodeBootSector, TypeFieldMustBeExactlyFat12AndBlanks) {
    for (const testimg::TypeField& type : testimg::typeFields()) {
        SCOPED_TRACE(::testing::PrintToString(type.bytes));
        std::vector<uint8_t> b = bootSector(testimg::floppy144());
        std::memcpy(b.data() + testimg::kTypeFieldOffset, type.bytes.data(), 8);
        EXPECT_EQ(decodeBootSector(b.data()).has_value(), type.fat12);
    }
}

TEST(DecodeBootSector, FieldsThatAreNotReadDoNotMatter) {
    std::vector<uint8_t> b = bootSector(testimg::floppy144());
    b[510] = 0;  // no boot signature
    b[511] = 0;
    std::memset(b.data(), 0, 11);  // no jump, no OEM name
    b[21] = 0x00;                  // odd media byte
    le16(b, 32, 5760);             // a 32-bit total that disagrees: the 16-bit one counts
    std::memset(b.data() + 62, 0xCC, 448);
    const auto decoded = decodeBootSector(b.data());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->totalSectors, 2880u);
    EXPECT_EQ(decoded->dataSectorCount, 2847u);
    EXPECT_EQ(decoded->clusterLimit, 2849u);
}

}  // namespace
