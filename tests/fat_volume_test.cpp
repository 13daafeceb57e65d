// FatVolume on real image files: mounting, sector transfer, FAT entries, chain allocation
// and release, chain loading and the write-back of changed FAT sectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "platform/file_io.hpp"
#include "support/image_builder.hpp"
#include "volume/fat_volume.hpp"

using namespace fat12img;
using testimg::FloppyGeometry;

namespace {

using Bytes = std::vector<uint8_t>;

// An image in a temporary file with a volume mounted on it (or not, see `mounted`).
struct Mounted {
    explicit Mounted(const Bytes& bytes) : file(bytes) {
        device.file = file.handle();
        mounted = volume.mount(device);
    }
    Bytes bytes() const { return file.bytes(); }

    testimg::ImageFile file;
    ImageDevice device;
    FatVolume volume;
    bool mounted = false;
};

// The 1.44 MB layout cut down to `clusters` data clusters, for filling a volume up.
FloppyGeometry smallFloppy(uint16_t clusters) {
    FloppyGeometry g;
    g.totalSectors = uint16_t(33 + clusters);
    return g;
}

// Writes one entry into a single FAT copy of the image.
void setEntryInCopy(Bytes& img, const FloppyGeometry& g, uint32_t copy, uint32_t n, uint32_t v) {
    uint8_t* p = img.data() + g.fatOffset(copy) + n + n / 2;
    if (n % 2 == 0) {
        p[0] = uint8_t(v);
        p[1] = uint8_t((p[1] & 0xF0) | ((v >> 8) & 0x0F));
    } else {
        p[0] = uint8_t((p[0] & 0x0F) | ((v << 4) & 0xF0));
        p[1] = uint8_t(v >> 4);
    }
}

void markUsed(Bytes& img, const FloppyGeometry& g, std::initializer_list<uint32_t> clusters) {
    for (uint32_t c : clusters) {
        testimg::setFatEntry(img, g, c, 0xFFF);
    }
}

void markUsedRange(Bytes& img, const FloppyGeometry& g, uint32_t from, uint32_t to) {
    for (uint32_t c = from; c <= to; ++c) {
        testimg::setFatEntry(img, g, c, 0xFFF);
    }
}

// The first offset where two images differ, or -1.
long firstDifference(const Bytes& a, const Bytes& b) {
    const auto m = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return m.first == a.end() && m.second == b.end() ? -1 : long(m.first - a.begin());
}

// `before` with FAT sector i of the volume's memory written to every FAT copy.
Bytes withFatSectorsWritten(Bytes before, const FloppyGeometry& g, const FatVolume& v,
                            std::initializer_list<uint32_t> fatSectors) {
    for (uint32_t i : fatSectors) {
        for (uint32_t copy = 0; copy < g.numberOfFats; ++copy) {
            std::copy_n(v.fatInMemory().begin() + long(i) * g.bytesPerSector, g.bytesPerSector,
                        before.begin() + long(g.fatOffset(copy) + i * g.bytesPerSector));
        }
    }
    return before;
}

bool nothingLeftToWrite(const FatVolume& v) {
    const std::vector<uint8_t> toWrite = v.fatSectorsToWrite();
    return std::all_of(toWrite.begin(), toWrite.end(), [](uint8_t w) { return w == 0; });
}

// ---------------------------------------------------------------------------------------
// Mounting

struct MountRow {
    const char* what;
    FloppyGeometry g;
    uint32_t rootDirSector, clusterLimit, lastCluster, lastClusterSector;
};

TEST(FatVolumeMount, GeometryAndClusterArithmetic) {
    const MountRow rows[] = {
        {"1.44 MB", testimg::floppy144(), 19, 2849, 2848, 2879},
        {"720 KB", testimg::floppy720(), 7, 715, 714, 1438},
        {"2.88 MB", testimg::floppy288(), 19, 2865, 2864, 5758},
        {"1024-byte sectors", testimg::floppy1232(), 5, 1223, 1222, 1231},
    };
    for (const MountRow& r : rows) {
        SCOPED_TRACE(r.what);
        Mounted m(testimg::blankFloppy(r.g));
        ASSERT_TRUE(m.mounted);
        const FatVolume& v = m.volume;
        EXPECT_EQ(v.bytesPerSector(), r.g.bytesPerSector);
        EXPECT_EQ(v.sectorsPerCluster(), r.g.sectorsPerCluster);
        EXPECT_EQ(v.rootEntryCount(), r.g.rootEntries);
        EXPECT_EQ(v.rootDirSector(), r.rootDirSector);
        EXPECT_EQ(v.clusterLimit(), r.clusterLimit);
        EXPECT_EQ(v.fatInMemory().size(), size_t(r.g.sectorsPerFat) * r.g.bytesPerSector);
        EXPECT_EQ(v.fatSectorsToWrite().size(), r.g.sectorsPerFat);
        EXPECT_TRUE(nothingLeftToWrite(v));
        EXPECT_EQ(v.clusterToSector(2), r.g.firstDataSector());
        EXPECT_EQ(v.clusterToSector(r.lastCluster), r.lastClusterSector);
        // Every sector of a cluster maps back to it.
        for (uint32_t j = 0; j < r.g.sectorsPerCluster; ++j) {
            EXPECT_EQ(v.sectorToCluster(r.g.firstDataSector() + j), 2u);
            EXPECT_EQ(v.sectorToCluster(r.lastClusterSector + j), r.lastCluster);
        }
        EXPECT_EQ(v.sectorToCluster(r.g.firstDataSector() + r.g.sectorsPerCluster), 3u);
    }
}

TEST(FatVolumeMount, ReadsOnlyTheFirstFatCopy) {
    const FloppyGeometry g;
    Bytes img = testimg::blankFloppy(g);
    setEntryInCopy(img, g, 0, 2, 0x456);
    setEntryInCopy(img, g, 1, 2, 0x123);
    setEntryInCopy(img, g, 1, 3, 0xFFF);
    Mounted m(img);
    ASSERT_TRUE(m.mounted);
    EXPECT_EQ(m.volume.getFatEntry(2), 0x456u);
    EXPECT_EQ(m.volume.getFatEntry(3), 0u);
    EXPECT_TRUE(std::equal(m.volume.fatInMemory().begin(), m.volume.fatInMemory().end(),
                           img.begin() + long(g.fatOffset(0))));
}

struct TruncationRow {
    size_t length;
    bool mounts;
};

TEST(FatVolumeMount, TruncatedImages) {
    const TruncationRow rows[] = {
        {0, false},       {511, false},           {512, false},  // boot sector but no FAT
        {5 * 512, false}, {10 * 512 - 1, false},                 // inside FAT copy 0
        {10 * 512, true},                                        // FAT copy 1 missing: never read
        {19 * 512, true}, {40 * 512 + 100, true},
    };
    for (const TruncationRow& r : rows) {
        SCOPED_TRACE(r.length);
        Bytes img = testimg::blankFloppy();
        img.resize(r.length);
        Mounted m(img);
        EXPECT_EQ(m.mounted, r.mounts);
        if (!r.mounts) {
            EXPECT_TRUE(m.volume.fatInMemory().empty());
            continue;
        }
        Bytes sector(512);
        const uint32_t firstMissing = uint32_t(r.length / 512);
        EXPECT_TRUE(m.volume.readSector(firstMissing - 1, sector.data()));
        EXPECT_FALSE(m.volume.readSector(firstMissing, sector.data()));
    }
}

TEST(FatVolumeMount, BootSignatureIsNotNeeded) {
    Bytes img = testimg::blankFloppy();
    img[510] = 0;
    img[511] = 0;
    Mounted m(img);
    EXPECT_TRUE(m.mounted);
}

TEST(FatVolumeMount, OnlyTheFat12TypeFieldMounts) {
    for (const testimg::TypeField& type : testimg::typeFields()) {
        SCOPED_TRACE(::testing::PrintToString(type.bytes));
        Bytes img = testimg::blankFloppy();
        std::memcpy(img.data() + testimg::kTypeFieldOffset, type.bytes.data(), 8);
        Mounted m(img);
        EXPECT_EQ(m.mounted, type.fat12);
        EXPECT_EQ(m.volume.fatInMemory().empty(), !type.fat12);
        EXPECT_EQ(firstDifference(m.bytes(), img), -1);
    }
}

TEST(FatVolumeMount, BadGeometryDoesNotMount) {
    Bytes noCluster = testimg::blankFloppy();
    noCluster[13] = 0;
    Bytes smallSector = testimg::blankFloppy();
    smallSector[11] = 0;  // 256 bytes per sector
    smallSector[12] = 1;
    for (const Bytes* img : {&noCluster, &smallSector}) {
        Mounted m(*img);
        EXPECT_FALSE(m.mounted);
        EXPECT_TRUE(m.volume.fatInMemory().empty());
        EXPECT_EQ(firstDifference(m.bytes(), *img), -1);
    }
}

TEST(FatVolumeMount, VolumeWithoutDataClusterMountsButCannotAllocate) {
    FloppyGeometry g;
    g.sectorsPerCluster = 2;
    g.totalSectors = 34;  // one data sector: not a whole cluster
    const Bytes img = testimg::blankFloppy(g);
    Mounted m(img);
    ASSERT_TRUE(m.mounted);
    EXPECT_EQ(m.volume.clusterLimit(), 2u);
    EXPECT_EQ(m.volume.findFreeCluster(2), 0u);
    EXPECT_EQ(m.volume.allocateChain(0, 0), 0u);
    EXPECT_EQ(m.volume.allocateChain(0, 1), 0u);
    EXPECT_EQ(firstDifference(m.bytes(), img), -1);
}

// ---------------------------------------------------------------------------------------
// Sector transfer

TEST(FatVolumeSectors, KilobyteSectorsAreAddressedByTheirOwnSize) {
    const FloppyGeometry g = testimg::floppy1232();
    Bytes img = testimg::blankFloppy(g);
    for (size_t i = 0; i < 1024; ++i) {
        img[11 * 1024 + i] = uint8_t(i * 7);  // sector 11 = cluster 2
    }
    setEntryInCopy(img, g, 0, 2, 0xFFF);  // FAT copy 0 starts at byte 1024
    Mounted m(img);
    ASSERT_TRUE(m.mounted);
    EXPECT_EQ(m.volume.getFatEntry(2), 0xFFFu);

    Bytes sector(1024);
    ASSERT_TRUE(m.volume.readSector(11, sector.data()));
    EXPECT_TRUE(std::equal(sector.begin(), sector.end(), img.begin() + 11 * 1024));

    Bytes pattern(1024);
    for (size_t i = 0; i < pattern.size(); ++i) {
        pattern[i] = uint8_t(255 - i % 251);
    }
    ASSERT_TRUE(m.volume.writeSector(13, pattern.data()));
    Bytes expected = img;
    std::copy(pattern.begin(), pattern.end(), expected.begin() + 13 * 1024);

    // A chain operation writes FAT sector 0 to bytes 1024 (copy 0) and 3072 (copy 1).
    EXPECT_EQ(m.volume.allocateChain(0, 1), 3u);
    expected = withFatSectorsWritten(expected, g, m.volume, {0});
    const Bytes after = m.bytes();
    EXPECT_EQ(firstDifference(after, expected), -1);
    EXPECT_EQ(testimg::fatEntry(after, g, 3, 0), 0xFFFu);
    EXPECT_EQ(testimg::fatEntry(after, g, 3, 1), 0xFFFu);
}

// ---------------------------------------------------------------------------------------
// FAT entries and the free-cluster search

struct EntryRow {
    uint32_t cluster;
    uint32_t stored;
    uint32_t read;
};

TEST(FatVolumeEntries, ValuesReadBack) {
    const EntryRow rows[] = {
        {2, 3, 3},         {3, 0xFFF, 0xFFF},    {4, 4, 0xFFF},  // linked to itself: end of chain
        {5, 0xFF7, 0xFF7}, {6, 0xFF8, 0xFF8},    {7, 1, 1},     {8, 0, 0}, {9, 2848, 2848},
        {10, 2849, 2849},  {2848, 0x123, 0x123},
    };
    const FloppyGeometry g;
    Bytes img = testimg::blankFloppy(g);
    for (const EntryRow& r : rows) {
        testimg::setFatEntry(img, g, r.cluster, r.stored);
    }
    Mounted m(img);
    ASSERT_TRUE(m.mounted);
    for (const EntryRow& r : rows) {
        SCOPED_TRACE(r.cluster);
        EXPECT_EQ(m.volume.getFatEntry(r.cluster), r.read);
    }
}

TEST(FatVolumeEntries, SetFlagsSectorsAndWritesNothing) {
    const FloppyGeometry g;
    const Bytes img = testimg::blankFloppy(g);
    Mounted m(img);
    ASSERT_TRUE(m.mounted);
    m.volume.setFatEntry(341, 0xABC);  // bytes 511 and 512 of the FAT
    EXPECT_EQ(m.volume.getFatEntry(341), 0xABCu);
    EXPECT_EQ(m.volume.getFatEntry(340), 0u);
    EXPECT_EQ(m.volume.getFatEntry(342), 0u);
    const std::vector<uint8_t> flags = {1, 1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(m.volume.fatSectorsToWrite(), flags);
    EXPECT_EQ(firstDifference(m.bytes(), img), -1);

    m.volume.flushFat();
    EXPECT_TRUE(nothingLeftToWrite(m.volume));
    EXPECT_EQ(firstDifference(m.bytes(), withFatSectorsWritten(img, g, m.volume, {0, 1})), -1);
}

TEST(FatVolumeEntries, ReservedAndOutOfRangeEntriesAreNeverSet) {
    Mounted m(testimg::blankFloppy());
    ASSERT_TRUE(m.mounted);
    const Bytes fat = m.volume.fatInMemory();
    for (uint32_t c : {0u, 1u, 2849u, 0xFFFu}) {
        m.volume.setFatEntry(c, 0);
    }
    EXPECT_EQ(m.volume.fatInMemory(), fat);
    EXPECT_TRUE(nothingLeftToWrite(m.volume));
}

struct FreeRow {
    const char* what;
    std::set<uint32_t> used;
    uint32_t start;
    uint32_t found;
};

TEST(FatVolumeEntries, FindFreeClusterIsFirstFitWithWrap) {
    // Ten data clusters, 2 .. 11.
    const std::set<uint32_t> low = {2, 3, 4};
    std::set<uint32_t> allBut4;
    std::set<uint32_t> all;
    for (uint32_t c = 2; c <= 11; ++c) {
        all.insert(c);
        if (c != 4) {
            allBut4.insert(c);
        }
    }
    const FreeRow rows[] = {
        {"empty volume", {}, 2, 2},
        {"first free after used ones", low, 2, 5},
        {"start 0 searches from 2", low, 0, 5},
        {"start 1 searches from 2", low, 1, 5},
        {"start at clusterLimit searches from 2", low, 12, 5},
        {"start 0xFFF searches from 2", low, 0xFFF, 5},
        {"a free start is itself the answer", low, 7, 7},
        {"wraps round to a lower cluster", allBut4, 6, 4},
        {"wraps from the last cluster", allBut4, 11, 4},
        {"the start itself, found last", allBut4, 4, 4},
        {"full volume", all, 2, 0},
        {"full volume, other start", all, 9, 0},
    };
    const FloppyGeometry g = smallFloppy(10);
    // Used clusters carry every kind of value that is not "free".
    const uint32_t marks[] = {0xFFF, 0xFF7, 0xFF8, 1, 0};  // 0: linked to itself
    for (const FreeRow& r : rows) {
        SCOPED_TRACE(r.what);
        Bytes img = testimg::blankFloppy(g);
        for (uint32_t c : r.used) {
            const uint32_t mark = marks[c % 5];
            testimg::setFatEntry(img, g, c, mark == 0 ? c : mark);
        }
        Mounted m(img);
        ASSERT_TRUE(m.mounted);
        EXPECT_EQ(m.volume.findFreeCluster(r.start), r.found);
    }
}

// ---------------------------------------------------------------------------------------
// Allocation

// One call of allocateChain and its result: the chain's first cluster, or 0 when refused.
struct Allocation {
    uint32_t tail;
    uint32_t count;
    uint32_t result;
};

using FatValues = std::vector<std::pair<uint32_t, uint32_t>>;  // cluster, entry

struct AllocationRow {
    const char* what;
    uint16_t dataClusters;
    std::vector<std::pair<uint32_t, uint32_t>> usedRanges;  // marked as ends of chains
    FatValues entries;                                      // then set one by one
    std::vector<Allocation> calls;
    FatValues after;  // in every FAT copy on the image
};

constexpr uint16_t kAllClusters = 2847;  // the whole 1.44 MB layout

// A call that succeeds writes its FAT sectors at once; one that is refused leaves the FAT
// and the image as they were, and what is left can still be had.
TEST(FatVolumeAllocate, ChainsTakeTheFirstFreeClustersOrNothing) {
    const AllocationRow rows[] = {
        // Entries 0 and 1 keep the media byte and 0xFFF.
        {"new chain of 3 on an empty volume",
         kAllClusters,
         {},
         {},
         {{0, 3, 2}},
         {{0, 0xFF0}, {1, 0xFFF}, {2, 3}, {3, 4}, {4, 0xFFF}, {5, 0}}},
        {"count 0 makes one cluster", kAllClusters, {}, {}, {{0, 0, 2}}, {{2, 0xFFF}, {3, 0}}},
        {"count 1 makes one cluster", kAllClusters, {}, {}, {{0, 1, 2}}, {{2, 0xFFF}, {3, 0}}},
        {"new chain around a used cluster",
         kAllClusters,
         {{2, 4}, {6, 6}},
         {{2, 3}, {3, 4}},
         {{0, 3, 5}},
         {{5, 7}, {7, 8}, {8, 0xFFF}, {2, 3}, {3, 4}, {4, 0xFFF}, {6, 0xFFF}}},
        {"append searches above the tail before a free cluster below it",
         kAllClusters,
         {{2, 9}},
         {{5, 0}},
         {{9, 2, 9}},
         {{9, 10}, {10, 11}, {11, 0xFFF}, {5, 0}}},
        {"append wraps round when nothing above the tail is free",
         10,
         {{2, 11}},
         {{4, 0}},
         {{9, 1, 9}},
         {{9, 4}, {4, 0xFFF}}},
        {"append of nothing marks the tail as the end again",
         kAllClusters,
         {},
         {{5, 0xFF8}},
         {{5, 0, 5}},
         {{5, 0xFFF}}},
        // Ten clusters: chain 2 -> 3, clusters 4 .. 9 used, 10 and 11 free.
        {"new chain of 3 with 2 free",
         10,
         {{2, 9}},
         {{2, 3}},
         {{0, 3, 0}, {0, 2, 10}},
         {{10, 11}, {11, 0xFFF}}},
        {"new chain of 40 with 2 free",
         10,
         {{2, 9}},
         {{2, 3}},
         {{0, 40, 0}, {0, 2, 10}},
         {{10, 11}, {11, 0xFFF}}},
        {"append of 3 with 2 free",
         10,
         {{2, 9}},
         {{2, 3}},
         {{3, 3, 0}, {3, 2, 3}},
         {{2, 3}, {3, 10}, {10, 11}, {11, 0xFFF}}},
        {"append of 10 with 2 free",
         10,
         {{2, 9}},
         {{2, 3}},
         {{3, 10, 0}, {3, 2, 3}},
         {{2, 3}, {3, 10}, {10, 11}, {11, 0xFFF}}},
        {"one free cluster is not enough for two",
         10,
         {{2, 11}},
         {{7, 0}},
         {{0, 2, 0}, {0, 1, 7}, {0, 1, 0}},
         {{7, 0xFFF}}},
    };
    for (const AllocationRow& r : rows) {
        SCOPED_TRACE(r.what);
        const FloppyGeometry g = smallFloppy(r.dataClusters);
        Bytes img = testimg::blankFloppy(g);
        for (const auto& [from, to] : r.usedRanges) {
            markUsedRange(img, g, from, to);
        }
        for (const auto& [cluster, value] : r.entries) {
            testimg::setFatEntry(img, g, cluster, value);
        }
        Mounted m(img);
        ASSERT_TRUE(m.mounted);
        for (const Allocation& call : r.calls) {
            SCOPED_TRACE(::testing::Message()
                         << "allocateChain(" << call.tail << ", " << call.count << ")");
            const Bytes fatBefore = m.volume.fatInMemory();
            const Bytes imageBefore = m.bytes();
            EXPECT_EQ(m.volume.allocateChain(call.tail, call.count), call.result);
            EXPECT_TRUE(nothingLeftToWrite(m.volume));
            if (call.result == 0) {
                EXPECT_EQ(m.volume.fatInMemory(), fatBefore);
                EXPECT_EQ(firstDifference(m.bytes(), imageBefore), -1);
            }
        }
        const Bytes after = m.bytes();
        for (const auto& [cluster, value] : r.after) {
            for (uint32_t copy = 0; copy < g.numberOfFats; ++copy) {
                EXPECT_EQ(testimg::fatEntry(after, g, cluster, copy), value)
                    << "cluster " << cluster << ", copy " << copy;
            }
        }
        // The volume's FAT is the one on the image.
        EXPECT_TRUE(std::equal(m.volume.fatInMemory().begin(), m.volume.fatInMemory().end(),
                               after.begin() + long(g.fatOffset(0))));
    }
}

// ---------------------------------------------------------------------------------------
// Release

TEST(FatVolumeFree, StopsAtTheFirstValueThatIsNoDataCluster) {
    // Chain 2 -> 3 -> end, where "end" is each kind of value that ends a chain; cluster 4
    // belongs to another chain.
    const uint32_t ends[] = {0, 1, 3 /* itself */, 0xFF7, 0xFF8, 0xFFF, 2849};
    const FloppyGeometry g;
    for (uint32_t end : ends) {
        SCOPED_TRACE(end);
        Bytes img = testimg::blankFloppy(g);
        testimg::setFatEntry(img, g, 2, 3);
        testimg::setFatEntry(img, g, 3, end);
        markUsed(img, g, {4});
        Mounted m(img);
        ASSERT_TRUE(m.mounted);
        m.volume.freeChain(2);
        EXPECT_EQ(m.volume.getFatEntry(2), 0u);
        EXPECT_EQ(m.volume.getFatEntry(3), 0u);
        EXPECT_EQ(m.volume.getFatEntry(4), 0xFFFu);
        const Bytes after = m.bytes();
        for (uint32_t copy = 0; copy < 2; ++copy) {
            SCOPED_TRACE(copy);
            const size_t at = g.fatOffset(copy);
            EXPECT_EQ(after[at], 0xF0);  // entries 0 and 1 untouched
            EXPECT_EQ(after[at + 1], 0xFF);
            EXPECT_EQ(after[at + 2], 0xFF);
            EXPECT_EQ(testimg::fatEntry(after, g, 2, copy), 0u);
            EXPECT_EQ(testimg::fatEntry(after, g, 3, copy), 0u);
            EXPECT_EQ(testimg::fatEntry(after, g, 4, copy), 0xFFFu);
        }
    }
}

TEST(FatVolumeFree, CyclesEndTheWalks) {
    struct CycleRow {
        const char* what;
        std::vector<std::pair<uint32_t, uint32_t>> links;
        std::vector<uint32_t> firstSectors;  // the walk's first clusters, as sectors
    };
    const CycleRow rows[] = {
        {"2 -> 3 -> 2", {{2, 3}, {3, 2}}, {33, 34, 33, 34}},
        {"2 -> 3 -> 4 -> 3", {{2, 3}, {3, 4}, {4, 3}}, {33, 34, 35, 34, 35}},
    };
    for (const CycleRow& r : rows) {
        SCOPED_TRACE(r.what);
        const FloppyGeometry g = smallFloppy(10);
        Bytes img = testimg::blankFloppy(g);
        for (const auto& [from, to] : r.links) {
            testimg::setFatEntry(img, g, from, to);
        }
        Mounted m(img);
        ASSERT_TRUE(m.mounted);
        ChainBlock block;
        ASSERT_TRUE(m.volume.loadChain(2, 1, 1, block));
        // A walk follows at most clusterLimit - 2 links.
        EXPECT_EQ(block.sectorCount(), 10u);
        EXPECT_TRUE(
            std::equal(r.firstSectors.begin(), r.firstSectors.end(), block.sectors.begin()));
        m.volume.freeChain(2);
        for (const auto& link : r.links) {
            EXPECT_EQ(m.volume.getFatEntry(link.first), 0u);
        }
    }
    {
        SCOPED_TRACE("full-size volume");
        const FloppyGeometry g;
        Bytes img = testimg::blankFloppy(g);
        testimg::setChain(img, g, {2, 3, 4});
        testimg::setFatEntry(img, g, 4, 2);
        Mounted m(img);
        ASSERT_TRUE(m.mounted);
        ChainBlock block;
        ASSERT_TRUE(m.volume.loadChain(2, 8, 8, block));
        EXPECT_EQ(block.sectorCount(), 2847u);
        m.volume.freeChain(2);
        EXPECT_EQ(testimg::freeClusterCount(m.bytes(), g), 2847u);
    }
}

// ---------------------------------------------------------------------------------------
// Loading chains

// Fills every data sector with bytes that tell sectors apart.
Bytes patternedFloppy(const FloppyGeometry& g) {
    Bytes img = testimg::blankFloppy(g);
    for (uint32_t s = g.firstDataSector(); s < g.totalSectors; ++s) {
        for (uint32_t i = 0; i < g.bytesPerSector; ++i) {
            img[g.sectorOffset(s) + i] = uint8_t(s * 13 + i);
        }
    }
    return img;
}

struct LoadRow {
    const char* what;
    FloppyGeometry g;
    std::vector<uint32_t> chain;
    std::vector<uint32_t> sectors;
};

TEST(FatVolumeLoad, SectorsFollowTheChainOrder) {
    const LoadRow rows[] = {
        {"one sector per cluster", testimg::floppy144(), {5, 2, 9}, {36, 33, 40}},
        {"two sectors per cluster",
         testimg::floppy720(),
         {4, 2, 714},
         {18, 19, 14, 15, 1438, 1439}},
        {"kilobyte sectors", testimg::floppy1232(), {3, 2}, {12, 11}},
    };
    for (const LoadRow& r : rows) {
        SCOPED_TRACE(r.what);
        Bytes img = patternedFloppy(r.g);
        testimg::setChain(img, r.g, r.chain);
        Mounted m(img);
        ASSERT_TRUE(m.mounted);
        ChainBlock block;
        ASSERT_TRUE(m.volume.loadChain(r.chain.front(), 1, 8, block));
        EXPECT_EQ(block.sectors, r.sectors);
        EXPECT_EQ(block.lastCluster, r.chain.back());
        ASSERT_EQ(block.data.size(), r.sectors.size() * r.g.bytesPerSector);
        for (size_t i = 0; i < r.sectors.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_TRUE(std::equal(block.data.begin() + long(i * r.g.bytesPerSector),
                                   block.data.begin() + long((i + 1) * r.g.bytesPerSector),
                                   img.begin() + long(r.g.sectorOffset(r.sectors[i]))));
        }
    }
}

TEST(FatVolumeLoad, GrowsPastAnyCapacityHint) {
    const FloppyGeometry g = testimg::floppy720();
    Bytes img = testimg::blankFloppy(g);
    std::vector<uint32_t> chain;
    for (uint32_t c = 2; c < 22; ++c) {
        chain.push_back(c);
    }
    testimg::setChain(img, g, chain);
    Mounted m(img);
    ASSERT_TRUE(m.mounted);
    const std::pair<uint32_t, uint32_t> rows[] = {{0, 0}, {0, 1}, {1, 1}, {3, 8}, {224, 224}};
    for (const auto& [hint, step] : rows) {
        SCOPED_TRACE(::testing::Message() << hint << "/" << step);
        ChainBlock block;
        ASSERT_TRUE(m.volume.loadChain(2, hint, step, block));
        EXPECT_EQ(block.sectorCount(), 40u);
        EXPECT_EQ(block.sectors.back(), 14u + 39);
        EXPECT_EQ(block.lastCluster, 21u);
    }
}

TEST(FatVolumeLoad, SelfLinkedClusterIsAChainOfOne) {
    const FloppyGeometry g;
    Bytes img = testimg::blankFloppy(g);
    testimg::setFatEntry(img, g, 7, 7);
    Mounted m(img);
    ASSERT_TRUE(m.mounted);
    ChainBlock block;
    ASSERT_TRUE(m.volume.loadChain(7, 1, 8, block));
    EXPECT_EQ(block.sectors, std::vector<uint32_t>{38});
    EXPECT_EQ(block.lastCluster, 7u);
}

TEST(FatVolumeLoad, FailsWhenASectorIsMissing) {
    const FloppyGeometry g;
    Bytes img = testimg::blankFloppy(g);
    testimg::setChain(img, g, {2, 3, 4});
    img.resize(35 * 512);  // clusters 2 and 3 are there, 4 is not
    Mounted m(img);
    ASSERT_TRUE(m.mounted);
    ChainBlock block;
    EXPECT_FALSE(m.volume.loadChain(2, 1, 8, block));
    EXPECT_TRUE(block.data.empty());
    EXPECT_TRUE(block.sectors.empty());
    EXPECT_EQ(block.lastCluster, 0u);
}

// ---------------------------------------------------------------------------------------
// Write-back

// FAT copy 1 gets a distinct byte in every sector: only a write of that sector from memory
// can change it, so a write that should not happen shows up.
Bytes floppyWithMarkedSecondFat(const FloppyGeometry& g) {
    Bytes img = testimg::blankFloppy(g);
    for (uint32_t i = 0; i < g.sectorsPerFat; ++i) {
        img[g.fatOffset(1) + i * g.bytesPerSector + 300] = uint8_t(0xA0 + i);
    }
    return img;
}

TEST(FatVolumeFlush, ChainOfThreeWritesFatSectorZeroToEveryCopyOnly) {
    const FloppyGeometry g;
    const Bytes img = floppyWithMarkedSecondFat(g);
    Mounted m(img);
    ASSERT_TRUE(m.mounted);
    ASSERT_EQ(m.volume.allocateChain(0, 3), 2u);
    const Bytes after = m.bytes();
    // Image sectors 1 and 10 now hold the FAT's first sector; everything else is as it was,
    // the markers in sectors 11 .. 18 included.
    EXPECT_EQ(firstDifference(after, withFatSectorsWritten(img, g, m.volume, {0})), -1);
    EXPECT_EQ(after[10 * 512 + 300], 0x00);
    EXPECT_EQ(after[15 * 512 + 300], 0xA5);
}

TEST(FatVolumeFlush, EntryAcrossASectorBoundaryWritesBothSectors) {
    const FloppyGeometry g;
    Bytes img = floppyWithMarkedSecondFat(g);
    markUsedRange(img, g, 2, 340);
    Mounted m(img);
    ASSERT_TRUE(m.mounted);
    ASSERT_EQ(m.volume.allocateChain(0, 1), 341u);  // bytes 511 and 512
    const Bytes after = m.bytes();
    EXPECT_EQ(firstDifference(after, withFatSectorsWritten(img, g, m.volume, {0, 1})), -1);
    EXPECT_EQ(testimg::fatEntry(after, g, 341, 0), 0xFFFu);
    EXPECT_EQ(testimg::fatEntry(after, g, 341, 1), 0xFFFu);
    EXPECT_EQ(after[12 * 512 + 300], 0xA2);
}

TEST(FatVolumeFlush, OnlyChainOperationsWrite) {
    const FloppyGeometry g;
    const Bytes img = floppyWithMarkedSecondFat(g);
    Mounted m(img);
    ASSERT_TRUE(m.mounted);
    m.volume.flushFat();  // nothing flagged
    EXPECT_EQ(firstDifference(m.bytes(), img), -1);

    m.volume.setFatEntry(1000, 0xFFF);  // FAT byte 1500: sector 2
    EXPECT_EQ(firstDifference(m.bytes(), img), -1);
    m.volume.markEndOfChain(2000);  // FAT byte 3000: sector 5
    EXPECT_TRUE(nothingLeftToWrite(m.volume));
    const Bytes after = m.bytes();
    EXPECT_EQ(firstDifference(after, withFatSectorsWritten(img, g, m.volume, {2, 5})), -1);
    EXPECT_EQ(testimg::fatEntry(after, g, 1000, 1), 0xFFFu);
    EXPECT_EQ(testimg::fatEntry(after, g, 2000, 1), 0xFFFu);
}

// ---------------------------------------------------------------------------------------
// Transactions

namespace transaction {

// Cluster 2 holds a file; 3 and up are free. The sectors a test writes: the FAT's first,
// cluster 2's, and cluster 3's.
struct Scene {
    Scene() : img(makeImage()), m(img) {}
    static Bytes makeImage() {
        Bytes img = testimg::blankFloppy(g());
        testimg::setChain(img, g(), {2});
        return img;
    }
    static FloppyGeometry g() { return testimg::floppy144(); }
    static uint32_t sectorOf(uint32_t cluster) { return g().firstDataSector() + cluster - 2; }
    // Writes A into cluster 2 and cluster 3 and takes cluster 3 for a chain, inside `t`.
    bool change() {
        const Bytes a(512, 0xA1);
        return m.volume.writeSector(sectorOf(2), a.data()) &&
               m.volume.writeSector(sectorOf(3), a.data()) && m.volume.allocateChain(0, 1) == 3;
    }
    Bytes img;
    Mounted m;
};

TEST(Transaction, CommitKeepsEverythingAndAnEndWithoutCommitPutsItBack) {
    for (bool commit : {true, false}) {
        SCOPED_TRACE(commit ? "committed" : "not committed");
        Scene s;
        ASSERT_TRUE(s.m.mounted);
        const uint32_t freeBefore = s.m.volume.freeClusterCount();
        Bytes changed;
        {
            Transaction t(s.m.volume);
            ASSERT_TRUE(s.change());
            changed = s.m.bytes();
            if (commit) {
                ASSERT_TRUE(t.commit());
            }
        }
        if (commit) {
            EXPECT_EQ(firstDifference(s.m.bytes(), changed), -1);
            EXPECT_EQ(s.m.volume.freeClusterCount(), freeBefore - 1);
            continue;
        }
        // Cluster 3 was free: what was written there is not put back, nothing reaches it.
        Bytes expected = s.img;
        std::copy_n(changed.begin() + long(s.g().clusterOffset(3)), 512,
                    expected.begin() + long(s.g().clusterOffset(3)));
        EXPECT_EQ(firstDifference(s.m.bytes(), expected), -1);
        EXPECT_EQ(s.m.volume.getFatEntry(3), 0u);
        EXPECT_EQ(s.m.volume.freeClusterCount(), freeBefore);
        EXPECT_TRUE(nothingLeftToWrite(s.m.volume));
    }
}

// An undo the image refuses is read as done, and finished before the next write.
TEST(Transaction, UndoThatCannotBeWrittenIsFinishedByTheNextWrite) {
    Scene s;
    ASSERT_TRUE(s.m.mounted);
    {
        Transaction t(s.m.volume);
        ASSERT_TRUE(s.change());
        faults::arm({faults::Kind::StayFull, FileRole::Image, 1});
    }
    faults::disarm();
    Bytes sector(512);
    ASSERT_TRUE(s.m.volume.readSector(s.sectorOf(2), sector.data()));
    EXPECT_TRUE(
        std::equal(sector.begin(), sector.end(), s.img.begin() + long(s.g().clusterOffset(2))));
    EXPECT_NE(firstDifference(s.m.bytes(), s.img), -1);

    const Bytes b(512, 0xB2);
    ASSERT_TRUE(s.m.volume.writeSector(s.sectorOf(4), b.data()));
    Bytes expected = s.img;
    std::copy(b.begin(), b.end(), expected.begin() + long(s.g().clusterOffset(4)));
    std::fill_n(expected.begin() + long(s.g().clusterOffset(3)), 512, 0xA1);
    EXPECT_EQ(firstDifference(s.m.bytes(), expected), -1);
}

}  // namespace transaction

}  // namespace
