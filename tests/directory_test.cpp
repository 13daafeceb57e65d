// FatRootDirectory and FatSubDirectory driven directly over a mounted image: loading,
// lookups, listings and creation, checked against the image bytes as a remount sees them.

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fs_fixture.hpp"
#include "support/refused_names.hpp"

using namespace fat12img;
using namespace testimg;
using namespace fstest;

namespace {

class DirectoryOnGeometry : public ::testing::TestWithParam<GeometryCase> {
  protected:
    const FloppyGeometry& g() const { return GetParam().g; }
    int slotsPerCluster() const { return int(g().clusterBytes() / 32); }
};

INSTANTIATE_TEST_SUITE_P(Geometries, DirectoryOnGeometry, ::testing::ValuesIn(allGeometries()),
                         geometryName);

// --- loading and scanning --------------------------------------------------------------

TEST(RootLoad, On144TheRootIsSectors19To32) {
    const FloppyGeometry g = floppy144();
    Disk d(g, blankFloppy(g));
    ASSERT_TRUE(d.mounted);
    EXPECT_EQ(d.volume.rootDirSector(), 19u);
    EXPECT_EQ(d.volume.rootDirSectors(), 14u);
    EXPECT_EQ(d.root.slotCount(), 224);
}

TEST_P(DirectoryOnGeometry, RootTableIsExactlyTheRootRegion) {
    auto img = blankFloppy(g());  // the data area after the root reads as in-use slots (0xF8)
    const uint32_t last = g().rootEntries - 1;
    putEntry(img, rootSlotOffset(g(), 0), field83("FIRST"), 0, 0, 0);
    for (uint32_t i = 1; i < last; ++i) {
        img[rootSlotOffset(g(), i)] = 0xE5;
    }
    putEntry(img, rootSlotOffset(g(), last), field83("LAST.TXT"), 0, 0, 0);
    Disk d(g(), img);
    ASSERT_TRUE(d.mounted);
    EXPECT_EQ(d.root.slotCount(), int(g().rootEntries));
    EXPECT_EQ(d.root.findEntry("first"), 0);
    EXPECT_EQ(d.root.findEntry("last.txt"), int(last));
    EXPECT_EQ(d.root.nextEntry(0), int(last));
    EXPECT_EQ(d.root.nextEntry(int(last)), -1);
    EXPECT_EQ(d.root.appendSlot(), int(g().rootEntries));

    // The last slot belongs to the root's last sector; nothing past it is written.
    ASSERT_TRUE(d.root.removeEntry(int(last)));
    auto expected = img;
    expected[rootSlotOffset(g(), last)] = 0xE5;
    EXPECT_EQ(imageDiff(d.bytes(), expected, g().bytesPerSector), "");
}

TEST_P(DirectoryOnGeometry, FreshRootListsNothing) {
    Disk d(g(), blankFloppy(g()));
    ASSERT_TRUE(d.mounted);
    EXPECT_EQ(d.root.firstEntry(), -1);
    EXPECT_EQ(d.root.appendSlot(), 0);
    EXPECT_EQ(d.root.findEntry("ANY"), -1);
    EXPECT_EQ(d.root.getFirstCluster(), 0u);
}

TEST(DirectoryScan, NothingAfterTheEndMarkerIsFound) {
    const FloppyGeometry g = floppy144();
    auto img = blankFloppy(g);
    putEntry(img, rootSlotOffset(g, 0), field83("A.TXT"), 0, 0, 0);
    // slot 1 stays all zero: the end marker
    putEntry(img, rootSlotOffset(g, 2), field83("B.TXT"), 0, 0, 0);
    Disk d(g, img);
    EXPECT_EQ(d.root.findEntry("a.txt"), 0);
    EXPECT_EQ(d.root.findEntry("b.txt"), -1);
    EXPECT_EQ(d.root.firstEntry(), 0);
    EXPECT_EQ(d.root.nextEntry(0), -1);
    EXPECT_EQ(d.root.appendSlot(), 1);
}

TEST(DirectoryScan, FreeAndLongNameSlotsAreSteppedOver) {
    const FloppyGeometry g = floppy144();
    auto img = blankFloppy(g);
    putEntry(img, rootSlotOffset(g, 0), "\xE5OLD    TXT", 0, 0, 0);
    // A long-name slot whose sequence byte is 0 is no end marker.
    putEntry(img, rootSlotOffset(g, 1), std::string(11, '\0'), 0x0F, 0, 0);
    putEntry(img, rootSlotOffset(g, 2), field83("C.TXT"), 0, 0, 0);
    putEntry(img, rootSlotOffset(g, 3), "\x41LONGNAME  ", 0x0F, 0, 0);
    putEntry(img, rootSlotOffset(g, 4), field83("D.TXT"), 0, 0, 0);
    Disk d(g, img);
    EXPECT_EQ(d.root.findEntry("c.txt"), 2);
    EXPECT_EQ(d.root.findEntry("d.txt"), 4);
    EXPECT_EQ(d.root.firstEntry(), 2);
    EXPECT_EQ(d.root.nextEntry(2), 4);
    EXPECT_EQ(d.root.nextEntry(4), -1);
    EXPECT_EQ(d.root.appendSlot(), 5);
    EXPECT_EQ(d.root.getEntryName(0, nullptr), -1);
    EXPECT_EQ(d.root.getEntryName(1, nullptr), -1);
}

TEST(DirectoryScan, EntryNameWithAndWithoutBuffer) {
    const FloppyGeometry g = floppy144();
    auto img = blankFloppy(g);
    putEntry(img, rootSlotOffset(g, 0), "HELLO   TXT", 0, 0, 0);
    putEntry(img, rootSlotOffset(g, 1), "README     ", 0, 0, 0);
    putEntry(img, rootSlotOffset(g, 2), "FULLNAMEEXT", 0, 0, 0);
    Disk d(g, img);
    const struct {
        int index;
        const char* shown;
    } rows[] = {{0, "HELLO.TXT"}, {1, "README"}, {2, "FULLNAME.EXT"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.shown);
        const int length = int(std::strlen(row.shown)) + 1;
        EXPECT_EQ(d.root.getEntryName(row.index, nullptr), length);
        char buffer[13];
        std::memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(d.root.getEntryName(row.index, buffer), length);
        EXPECT_STREQ(buffer, row.shown);
    }
}

TEST(DirectoryScan, VolumeLabelIsListedAndFoundButIsNeitherFileNorDirectory) {
    const FloppyGeometry g = floppy144();
    auto img = blankFloppy(g);
    putEntry(img, rootSlotOffset(g, 0), "MYDISK     ", 0x08, 0, 0);
    Disk d(g, img);
    EXPECT_EQ(d.root.firstEntry(), 0);
    EXPECT_EQ(d.root.findEntry("mydisk"), 0);
    char buffer[13];
    EXPECT_EQ(d.root.getEntryName(0, buffer), 7);
    EXPECT_STREQ(buffer, "MYDISK");
    EXPECT_FALSE(d.root.isFile(0));
    EXPECT_FALSE(d.root.isDirectory(0));
    EXPECT_EQ(d.root.openFile(0), nullptr);
    EXPECT_EQ(d.root.openDirectory(0), nullptr);
}

TEST(DirectoryScan, IndexOperationsRefuseSlotsNotInUse) {
    const FloppyGeometry g = floppy144();
    auto img = blankFloppy(g);
    putEntry(img, rootSlotOffset(g, 0),
             "\xE5"
             "FREE   TXT",
             0, 0, 0);
    putEntry(img, rootSlotOffset(g, 1), "\x41LONG      ", 0x0F, 0, 0);
    putEntry(img, rootSlotOffset(g, 2), "   BLANKTXT", 0x10, 5, 0);
    // slot 3: end marker
    Disk d(g, img);
    const std::vector<uint8_t> before = d.bytes();
    for (int index : {-1, -1000, 0, 1, 2, 3, 224, 225}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(d.root.getEntryName(index, nullptr), -1);
        EXPECT_FALSE(d.root.isFile(index));
        EXPECT_FALSE(d.root.isDirectory(index));
        EXPECT_EQ(d.root.openFile(index), nullptr);
        EXPECT_EQ(d.root.openDirectory(index), nullptr);
        EXPECT_FALSE(d.root.removeEntry(index));
    }
    EXPECT_EQ(imageDiff(d.bytes(), before, g.bytesPerSector), "");
}

TEST(DirectoryScan, ListingFromAnyIndexStaysInsideTheTable) {
    const FloppyGeometry g = floppy144();
    auto img = blankFloppy(g);
    for (uint32_t i = 0; i < g.rootEntries; ++i) {
        putEntry(img, rootSlotOffset(g, i), field83(numbered("F", int(i))), 0, 0, 0);
    }
    Disk d(g, img);
    EXPECT_EQ(d.root.nextEntry(-5), 0);
    EXPECT_EQ(d.root.nextEntry(222), 223);
    for (int index : {223, 224, 1000, INT_MAX}) {
        EXPECT_EQ(d.root.nextEntry(index), -1) << index;
    }
}

TEST_P(DirectoryOnGeometry, SubdirectoryTableFollowsTheChainOrder) {
    auto img = blankFloppy(g());
    const std::vector<uint32_t> chain = {7, 3, 5};
    setChain(img, g(), chain);
    for (uint32_t c : chain) {
        fillCluster(img, g(), c, 0);
        for (int i = 0; i < slotsPerCluster(); ++i) {
            img[clusterSlotOffset(g(), c, i)] = 0xE5;
        }
    }
    putEntry(img, clusterSlotOffset(g(), 7, 0), kDotField, 0x10, 7, 0);
    putEntry(img, clusterSlotOffset(g(), 7, 1), kDotDotField, 0x10, 0, 0);
    putEntry(img, clusterSlotOffset(g(), 5, 1), field83("DEEP.TXT"), 0, 0, 0);
    img[clusterSlotOffset(g(), 5, 2)] = 0;  // end marker after it
    putEntry(img, rootSlotOffset(g(), 0), field83("SUB"), 0x10, 7, 0);
    Disk d(g(), img);
    auto sub = d.root.openDirectory(0);
    ASSERT_NE(sub, nullptr);
    const auto* table = dynamic_cast<FatSubDirectory*>(sub.get());
    ASSERT_NE(table, nullptr);
    const int deep = 2 * slotsPerCluster() + 1;
    EXPECT_EQ(table->slotCount(), 3 * slotsPerCluster());
    EXPECT_EQ(sub->getFirstCluster(), 7u);
    EXPECT_EQ(sub->findEntry("deep.txt"), deep);
    EXPECT_EQ(sub->nextEntry(1), deep);
    EXPECT_EQ(table->appendSlot(), deep + 1);

    // Writes go to the sector the slot came from: the second slot of cluster 5.
    ASSERT_TRUE(sub->removeEntry(deep));
    EXPECT_EQ(d.bytes()[clusterSlotOffset(g(), 5, 1)], 0xE5);
    // A freed slot is taken before the end marker: the first one, in cluster 7.
    EXPECT_EQ(sub->createFile("NEW", 0), 2);
    EXPECT_EQ(entryName(d.bytes(), clusterSlotOffset(g(), 7, 2)), field83("NEW"));
}

TEST_P(DirectoryOnGeometry, LookupsAndListingsTouchNoSector) {
    Disk d(g(), blankFloppy(g()));
    ASSERT_GE(d.root.createFile("A.TXT", 10), 0);
    const int subIndex = d.root.createDirectory("SUB");
    auto sub = d.root.openDirectory(subIndex);
    ASSERT_NE(sub, nullptr);
    ASSERT_EQ(sub->createFile("INNER.BIN", 0), 2);

    d.device.file = nullptr;  // any sector transfer from here on fails
    EXPECT_EQ(d.root.findEntry("a.txt"), 0);
    EXPECT_EQ(d.root.firstEntry(), 0);
    EXPECT_EQ(d.root.nextEntry(0), subIndex);
    EXPECT_EQ(d.root.nextEntry(subIndex), -1);
    char buffer[13];
    EXPECT_EQ(d.root.getEntryName(subIndex, buffer), 4);
    EXPECT_STREQ(buffer, "SUB");
    EXPECT_TRUE(d.root.isFile(0));
    EXPECT_TRUE(d.root.isDirectory(subIndex));
    EXPECT_EQ(sub->findEntry("inner.bin"), 2);
    EXPECT_EQ(sub->findEntry(".."), 0);
    EXPECT_EQ(sub->nextEntry(1), 2);
    EXPECT_EQ(sub->getEntryName(2, nullptr), 10);
}

// --- createFile -------------------------------------------------------------------------

TEST_P(DirectoryOnGeometry, EmptyFileHasNoClusterAndTheFixedFields) {
    const auto img = blankFloppy(g());
    Disk d(g(), img);
    ASSERT_EQ(d.root.createFile("Hello.TXT", 0), 0);
    const auto after = d.bytes();
    EXPECT_EQ(bytesAt(after, rootSlotOffset(g(), 0), 32), systemEntry("Hello   TXT", 0x00, 0, 0));
    EXPECT_EQ(fatRegion(after, g()), fatRegion(img, g()));
    EXPECT_EQ(after[rootSlotOffset(g(), 1)], 0);
    EXPECT_EQ(d.root.findEntry("HELLO.txt"), 0);
    EXPECT_TRUE(d.root.isFile(0));
}

TEST_P(DirectoryOnGeometry, FileReservesWholeClustersForItsSize) {
    const uint32_t bps = g().bytesPerSector;
    const uint32_t cb = g().clusterBytes();
    const uint32_t sizes[] = {1, 512, 513, bps, bps + 1, cb, cb + 1, 5000};
    Disk d(g(), blankFloppy(g()));
    for (int k = 0; k < int(std::size(sizes)); ++k) {
        ASSERT_EQ(d.root.createFile(numbered("F", k).c_str(), sizes[k]), k);
    }
    const auto after = d.bytes();
    uint32_t used = 0;
    for (int k = 0; k < int(std::size(sizes)); ++k) {
        SCOPED_TRACE(sizes[k]);
        const size_t at = rootSlotOffset(g(), k);
        const uint16_t first = entryCluster(after, at);
        EXPECT_EQ(bytesAt(after, at, 32),
                  systemEntry(field83(numbered("F", k)), 0x00, first, sizes[k]));
        EXPECT_EQ(chainOf(after, g(), first).size(), ceilDiv(sizes[k], cb));
        used += ceilDiv(sizes[k], cb);
    }
    // No two chains share a cluster, and no cluster is taken that no chain holds.
    EXPECT_EQ(freeClusterCount(after, g()), g().clusterLimit() - 2 - used);
    EXPECT_TRUE(fatCopiesAgree(after, g()));
}

TEST_P(DirectoryOnGeometry, RemovedSlotIsReusedBeforeAppending) {
    Disk d(g(), blankFloppy(g()));
    ASSERT_EQ(d.root.createFile("A", 0), 0);
    ASSERT_EQ(d.root.createFile("B", 10), 1);
    ASSERT_EQ(d.root.createFile("C", 0), 2);
    ASSERT_TRUE(d.root.removeEntry(1));
    EXPECT_EQ(d.bytes()[rootSlotOffset(g(), 1)], 0xE5);
    EXPECT_EQ(d.root.createFile("D", 0), 1);
    EXPECT_EQ(d.root.appendSlot(), 3);
    const auto after = d.bytes();
    EXPECT_EQ(entryName(after, rootSlotOffset(g(), 1)), field83("D"));
    EXPECT_EQ(after[rootSlotOffset(g(), 3)], 0);
}

TEST_P(DirectoryOnGeometry, FullRootRefusesTheNextEntry) {
    Disk d(g(), blankFloppy(g()));
    const int n = int(g().rootEntries);
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(d.root.createFile(numbered("F", i).c_str(), 0), i);
    }
    const auto full = d.bytes();
    EXPECT_EQ(d.root.createFile("X", 0), -1);
    EXPECT_EQ(d.root.createFile("Y", 100), -1);
    EXPECT_EQ(d.root.createDirectory("Z"), -1);
    EXPECT_EQ(imageDiff(d.bytes(), full, g().bytesPerSector), "");
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(entryName(full, rootSlotOffset(g(), i)), field83(numbered("F", i)));
    }
}

TEST_P(DirectoryOnGeometry, NoFreeClusterWritesNoEntryAndGivesTheSlotBack) {
    auto img = blankFloppy(g());
    occupyFreeClustersFrom(img, g(), 2);
    Disk d(g(), img);
    const auto before = d.bytes();
    EXPECT_EQ(d.root.createFile("A", 1), -1);
    EXPECT_EQ(d.root.createDirectory("B"), -1);
    EXPECT_EQ(imageDiff(d.bytes(), before, g().bytesPerSector), "");
    EXPECT_EQ(d.root.appendSlot(), 0);

    // The next entry takes slot 0, not one behind an all-zero slot where no one sees it.
    EXPECT_EQ(d.root.createFile("C", 0), 0);
    Disk again(g(), d.bytes());
    EXPECT_EQ(again.root.firstEntry(), 0);
    EXPECT_EQ(again.root.findEntry("c"), 0);
}

// The cluster count of a size close to 4 GiB must not wrap to a handful of clusters: such a
// file can never fit, so nothing may be created for it.
TEST_P(DirectoryOnGeometry, SizeNearFourGibibytesIsRefusedNotWrapped) {
    Disk d(g(), blankFloppy(g()));
    const auto before = d.bytes();
    for (uint32_t size : {0xFFFFFFFFu, 0xFFFFFFFFu - g().clusterBytes() + 2}) {
        EXPECT_EQ(d.root.createFile("HUGE", size), -1) << size;
    }
    EXPECT_EQ(imageDiff(d.bytes(), before, g().bytesPerSector), "");
    EXPECT_EQ(d.root.appendSlot(), 0);
}

TEST(DirectoryCreate, NamesTheFormatCannotHoldAreRefused) {
    const FloppyGeometry g = floppy144();
    Disk d(g, blankFloppy(g));
    const auto before = d.bytes();
    for (const RefusedName& row : refusedNames()) {
        if (!row.refusedByDirectory) {
            continue;
        }
        SCOPED_TRACE(std::string("name '") + row.name + "'");
        EXPECT_EQ(d.root.createFile(row.name, 0), -1);
        EXPECT_EQ(d.root.createFile(row.name, 100), -1);
        EXPECT_EQ(d.root.createDirectory(row.name), -1);
    }
    EXPECT_EQ(imageDiff(d.bytes(), before, g.bytesPerSector), "");
    EXPECT_EQ(d.root.appendSlot(), 0);
    EXPECT_EQ(d.root.createFile("a.b.c", 0), 0);  // inner dots are ordinary characters
}

TEST(DirectoryCreate, LeadingE5IsStoredAs05AndShownAsE5) {
    const FloppyGeometry g = floppy144();
    Disk d(g, blankFloppy(g));
    const char* name =
        "\xE5"
        "A.TXT";
    ASSERT_EQ(d.root.createFile(name, 0), 0);
    const auto after = d.bytes();
    EXPECT_EQ(entryName(after, rootSlotOffset(g, 0)),
              "\x05"
              "A      TXT");

    Disk again(g, after);
    EXPECT_EQ(again.root.firstEntry(), 0);
    EXPECT_EQ(again.root.findEntry(name), 0);
    EXPECT_EQ(again.root.findEntry("\xE5"
                                   "A.txt"),
              0);
    // The byte after a lead byte is compared exactly.
    EXPECT_EQ(again.root.findEntry("\xE5"
                                   "a.TXT"),
              -1);
    char buffer[13];
    EXPECT_EQ(again.root.getEntryName(0, buffer), 7);
    EXPECT_STREQ(buffer, name);
}

// --- createDirectory ----------------------------------------------------------------------

TEST_P(DirectoryOnGeometry, NewDirectoryHasDotEntriesAndAZeroedCluster) {
    Disk d(g(), blankFloppy(g()));  // the data area starts out as 0xF8
    ASSERT_EQ(d.root.createDirectory("SUB"), 0);
    const auto after = d.bytes();
    const uint16_t cl = entryCluster(after, rootSlotOffset(g(), 0));
    ASSERT_GE(cl, 2);
    ASSERT_LT(cl, g().clusterLimit());
    EXPECT_EQ(bytesAt(after, rootSlotOffset(g(), 0), 32), systemEntry(field83("SUB"), 0x10, cl, 0));
    for (uint32_t copy = 0; copy < g().numberOfFats; ++copy) {
        EXPECT_EQ(fatEntry(after, g(), cl, copy), 0xFFFu);
    }
    EXPECT_EQ(freeClusterCount(after, g()), g().clusterLimit() - 3);
    const size_t at = g().clusterOffset(cl);
    EXPECT_EQ(bytesAt(after, at, 32), systemEntry(kDotField, 0x10, cl, 0));
    EXPECT_EQ(bytesAt(after, at + 32, 32), systemEntry(kDotDotField, 0x10, 0, 0));
    EXPECT_TRUE(allBytesAre(after, at + 64, g().clusterBytes() - 64, 0));
    EXPECT_TRUE(d.root.isDirectory(0));
    EXPECT_FALSE(d.root.isFile(0));
    EXPECT_EQ(d.root.openFile(0), nullptr);

    auto sub = d.root.openDirectory(0);
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(sub->getFirstCluster(), cl);
    EXPECT_EQ(sub->firstEntry(), 0);
    EXPECT_EQ(sub->nextEntry(0), 1);
    EXPECT_EQ(sub->nextEntry(1), -1);
    // "." is looked up as ".." and ".." as "...".
    EXPECT_EQ(sub->findEntry(".."), 0);
    EXPECT_EQ(sub->findEntry("..."), 1);
    auto up = sub->openDirectory(1);  // a ".." holding 0 is the root
    ASSERT_NE(up, nullptr);
    EXPECT_NE(dynamic_cast<FatRootDirectory*>(up.get()), nullptr);
    EXPECT_EQ(up->getFirstCluster(), 0u);
    EXPECT_EQ(up->findEntry("sub"), 0);
}

TEST_P(DirectoryOnGeometry, NestedDirectoryPointsBackToItsParent) {
    Disk d(g(), blankFloppy(g()));
    ASSERT_EQ(d.root.createDirectory("A"), 0);
    auto a = d.root.openDirectory(0);
    ASSERT_NE(a, nullptr);
    const uint32_t aCluster = a->getFirstCluster();
    ASSERT_EQ(a->createDirectory("B"), 2);
    const auto after = d.bytes();
    const uint16_t bCluster = entryCluster(after, clusterSlotOffset(g(), aCluster, 2));
    EXPECT_NE(bCluster, aCluster);
    const size_t at = g().clusterOffset(bCluster);
    EXPECT_EQ(bytesAt(after, at, 32), systemEntry(kDotField, 0x10, bCluster, 0));
    EXPECT_EQ(bytesAt(after, at + 32, 32), systemEntry(kDotDotField, 0x10, uint16_t(aCluster), 0));
    EXPECT_TRUE(allBytesAre(after, at + 64, g().clusterBytes() - 64, 0));
    EXPECT_TRUE(fatCopiesAgree(after, g()));

    auto b = a->openDirectory(2);
    ASSERT_NE(b, nullptr);
    auto up = b->openDirectory(b->findEntry("..."));
    ASSERT_NE(up, nullptr);
    EXPECT_NE(dynamic_cast<FatSubDirectory*>(up.get()), nullptr);
    EXPECT_EQ(up->getFirstCluster(), aCluster);
    EXPECT_EQ(up->findEntry("b"), 2);
}

TEST_P(DirectoryOnGeometry, FullSubdirectoryGrowsByAZeroedCluster) {
    Disk d(g(), blankFloppy(g()));
    ASSERT_EQ(d.root.createDirectory("SUB"), 0);
    auto sub = d.root.openDirectory(0);
    ASSERT_NE(sub, nullptr);
    const uint32_t cl = sub->getFirstCluster();
    const int n = slotsPerCluster();
    for (int i = 2; i < n; ++i) {
        ASSERT_EQ(sub->createFile(numbered("F", i).c_str(), 0), i);
    }
    ASSERT_EQ(chainOf(d.bytes(), g(), cl).size(), 1u);

    ASSERT_EQ(sub->createFile("NEXT.TXT", 1), n);
    const auto after = d.bytes();
    const auto chain = chainOf(after, g(), cl);
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_TRUE(fatCopiesAgree(after, g()));
    const size_t added = g().clusterOffset(chain[1]);
    EXPECT_EQ(entryName(after, added), field83("NEXT.TXT"));
    EXPECT_TRUE(allBytesAre(after, added + 32, g().clusterBytes() - 32, 0));

    Disk again(g(), after);
    auto reread = again.root.openDirectory(0);
    ASSERT_NE(reread, nullptr);
    EXPECT_EQ(reread->findEntry("next.txt"), n);
    EXPECT_EQ(reread->nextEntry(n - 1), n);
    EXPECT_EQ(reread->nextEntry(n), -1);
    EXPECT_EQ(dynamic_cast<FatDirectory&>(*reread).slotCount(), 2 * n);
}

TEST_P(DirectoryOnGeometry, GrowthThatThenFailsLeavesAZeroedClusterForTheNextEntry) {
    auto img = blankFloppy(g());
    const int n = slotsPerCluster();
    putDirectoryCluster(img, g(), 2, 0);
    for (int i = 2; i < n; ++i) {
        putEntry(img, clusterSlotOffset(g(), 2, i), field83(numbered("F", i)), 0, 0, 0);
    }
    setChain(img, g(), {2});
    putEntry(img, rootSlotOffset(g(), 0), field83("SUB"), 0x10, 2, 0);
    occupyFreeClustersFrom(img, g(), 4);  // cluster 3 is the only free one
    Disk d(g(), img);
    auto sub = d.root.openDirectory(0);
    ASSERT_NE(sub, nullptr);

    // The table takes cluster 3; the file then finds no cluster for its byte.
    EXPECT_EQ(sub->createFile("X", 1), -1);
    auto after = d.bytes();
    EXPECT_EQ(chainOf(after, g(), 2), (std::vector<uint32_t>{2, 3}));
    EXPECT_TRUE(allBytesAre(after, g().clusterOffset(3), g().clusterBytes(), 0));

    EXPECT_EQ(sub->createFile("Y", 0), n);
    after = d.bytes();
    EXPECT_EQ(entryName(after, g().clusterOffset(3)), field83("Y"));
    Disk again(g(), after);
    auto reread = again.root.openDirectory(0);
    ASSERT_NE(reread, nullptr);
    EXPECT_EQ(reread->findEntry("y"), n);
    EXPECT_EQ(reread->nextEntry(n - 1), n);
}

}  // namespace

namespace {

// A table whose first cluster ends in an end marker is read no further, until new entries
// need the slots behind it: they fill the chain's other clusters before it grows.
TEST(DirectoryLoad, TheRestOfALongChainIsReadWhenItsSlotsAreNeeded) {
    const FloppyGeometry g = floppy144();
    auto img = blankFloppy(g, 0);
    std::vector<uint32_t> chain;
    for (uint32_t c = 2; c < 22; ++c) {
        chain.push_back(c);
    }
    setChain(img, g, chain);
    putDirectoryCluster(img, g, 2, 0);
    putEntry(img, rootSlotOffset(g, 0), field83("LONG"), 0x10, 2, 0);
    Disk d(g, img);
    auto dir = d.root.openDirectory(0);
    ASSERT_NE(dir, nullptr);
    auto& table = dynamic_cast<FatDirectory&>(*dir);
    EXPECT_EQ(table.slotCount(), 16 * 16);  // the first batch of clusters
    const int slots = 20 * 16;
    for (int i = 2; i < slots; ++i) {
        ASSERT_EQ(dir->createFile(numbered("F", i).c_str(), 0), i);
    }
    EXPECT_EQ(table.slotCount(), slots);
    EXPECT_EQ(chainOf(d.bytes(), g, 2), chain);
    EXPECT_EQ(entryName(d.bytes(), clusterSlotOffset(g, 21, 15)),
              field83(numbered("F", slots - 1)));
    // The next one grows the chain.
    ASSERT_EQ(dir->createFile("NEXT", 0), slots);
    EXPECT_EQ(chainOf(d.bytes(), g, 2).size(), 21u);
}

}  // namespace
