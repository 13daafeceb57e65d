// removeEntry over whole trees, long-name sets, and images whose directories are damaged:
// every case ends by reading the image bytes back.

#include <gtest/gtest.h>

#include <memory>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <string>
#include <vector>

#include "fs_fixture.hpp"

using namespace fat12img;
using namespace testimg;
using namespace fstest;

namespace {

class RemoveOnGeometry : public ::testing::TestWithParam<GeometryCase> {
  protected:
    const FloppyGeometry& g() const { return GetParam().g; }
    int slotsPerSector() const { return int(g().bytesPerSector / 32); }
    int slotsPerCluster() const { return int(g().clusterBytes() / 32); }
};

INSTANTIATE_TEST_SUITE_P(Geometries, RemoveOnGeometry, ::testing::ValuesIn(allGeometries()),
                         geometryName);

TEST_P(RemoveOnGeometry, FileReleasesItsChainInEveryCopy) {
    auto img = blankFloppy(g());
    setChain(img, g(), {2});
    setChain(img, g(), {5, 3, 9});
    putEntry(img, rootSlotOffset(g(), 0), field83("KEEP"), 0, 2, 10);
    putEntry(img, rootSlotOffset(g(), 1), field83("GONE.TXT"), 0, 5, 3 * g().clusterBytes());
    Disk d(g(), img);
    ASSERT_TRUE(d.root.removeEntry(1));
    const auto after = d.bytes();
    EXPECT_EQ(after[rootSlotOffset(g(), 1)], 0xE5);
    EXPECT_EQ(bytesAt(after, rootSlotOffset(g(), 1) + 1, 31),
              bytesAt(img, rootSlotOffset(g(), 1) + 1, 31));
    for (uint32_t copy = 0; copy < g().numberOfFats; ++copy) {
        for (uint32_t c : {5u, 3u, 9u}) {
            EXPECT_EQ(fatEntry(after, g(), c, copy), 0u) << "cluster " << c << " copy " << copy;
        }
        EXPECT_EQ(fatEntry(after, g(), 2, copy), 0xFFFu);
    }
    EXPECT_EQ(d.root.findEntry("gone.txt"), -1);
    EXPECT_EQ(d.root.nextEntry(0), -1);
}

TEST_P(RemoveOnGeometry, EmptyFileLeavesTheFatAlone) {
    Disk d(g(), blankFloppy(g()));
    ASSERT_EQ(d.root.createFile("E", 0), 0);
    const auto before = d.bytes();
    ASSERT_TRUE(d.root.removeEntry(0));
    const auto after = d.bytes();
    EXPECT_EQ(after[rootSlotOffset(g(), 0)], 0xE5);
    EXPECT_EQ(fatRegion(after, g()), fatRegion(before, g()));
}

TEST_P(RemoveOnGeometry, DotEntriesReportSuccessAndStay) {
    Disk d(g(), blankFloppy(g()));
    ASSERT_EQ(d.root.createDirectory("SUB"), 0);
    auto sub = d.root.openDirectory(0);
    ASSERT_NE(sub, nullptr);
    const auto before = d.bytes();
    EXPECT_TRUE(sub->removeEntry(0));
    EXPECT_TRUE(sub->removeEntry(1));
    EXPECT_EQ(imageDiff(d.bytes(), before, g().bytesPerSector), "");
    EXPECT_EQ(sub->findEntry(".."), 0);
    EXPECT_EQ(sub->findEntry("..."), 1);
}

TEST_P(RemoveOnGeometry, TreeRemovalReleasesEveryCluster) {
    Disk d(g(), blankFloppy(g()));
    ASSERT_EQ(d.root.createFile("KEEP", 100), 0);
    const uint32_t freeWithKeep = freeClusterCount(d.bytes(), g());
    const int top = d.root.createDirectory("TOP");
    ASSERT_EQ(top, 1);
    {
        auto t = d.root.openDirectory(top);
        ASSERT_NE(t, nullptr);
        ASSERT_EQ(t->createFile("A", 3 * g().clusterBytes()), 2);
        const int mid = t->createDirectory("MID");
        ASSERT_EQ(mid, 3);
        ASSERT_EQ(t->createFile("C", 0), 4);
        auto m = t->openDirectory(mid);
        ASSERT_NE(m, nullptr);
        ASSERT_EQ(m->createFile("B", 700), 2);
        ASSERT_EQ(m->createDirectory("LEAF"), 3);
        // Enough entries that MID's own chain takes a second cluster.
        for (int i = 4; i <= slotsPerCluster(); ++i) {
            ASSERT_EQ(m->createFile(numbered("M", i).c_str(), 0), i);
        }
        ASSERT_EQ(chainOf(d.bytes(), g(), m->getFirstCluster()).size(), 2u);
    }
    ASSERT_LT(freeClusterCount(d.bytes(), g()), freeWithKeep - 6);

    ASSERT_TRUE(d.root.removeEntry(top));
    const auto after = d.bytes();
    EXPECT_EQ(freeClusterCount(after, g()), freeWithKeep);
    EXPECT_TRUE(fatCopiesAgree(after, g()));
    EXPECT_EQ(after[rootSlotOffset(g(), 1)], 0xE5);
    EXPECT_EQ(chainOf(after, g(), entryCluster(after, rootSlotOffset(g(), 0))).size(), 1u);
    EXPECT_EQ(d.root.findEntry("keep"), 0);
}

TEST_P(RemoveOnGeometry, LongNameSetAcrossASectorBoundaryGoesWithItsEntry) {
    auto img = blankFloppy(g());
    const int s = slotsPerSector();
    for (int i = 0; i < s - 4; ++i) {
        img[rootSlotOffset(g(), i)] = 0xE5;
    }
    putEntry(img, rootSlotOffset(g(), s - 4), field83("KEEP.TXT"), 0, 0, 0);
    putEntry(img, rootSlotOffset(g(), s - 3),
             "\x41"
             "OTHERSET  ",
             0x0F, 0, 0);
    putEntry(img, rootSlotOffset(g(), s - 2),
             "\x43"
             "PART3     ",
             0x0F, 0, 0);
    putEntry(img, rootSlotOffset(g(), s - 1),
             "\x02"
             "PART2     ",
             0x0F, 0, 0);
    putEntry(img, rootSlotOffset(g(), s),
             "\x01"
             "PART1     ",
             0x0F, 0, 0);
    putEntry(img, rootSlotOffset(g(), s + 1), "LONGNA~1TXT", 0, 4, 10);
    putEntry(img, rootSlotOffset(g(), s + 2), field83("AFTER.TXT"), 0, 0, 0);
    setChain(img, g(), {4});
    Disk d(g(), img);
    const int index = d.root.findEntry("longna~1.txt");
    ASSERT_EQ(index, s + 1);
    ASSERT_TRUE(d.root.removeEntry(index));

    const auto after = d.bytes();
    auto expected = img;
    for (int i = s - 2; i <= s + 1; ++i) {
        expected[rootSlotOffset(g(), i)] = 0xE5;
        expected[rootSlotOffset(g(), i) + 11] = 0;
    }
    setFatEntry(expected, g(), 4, 0);
    // Both root sectors are written; the set before the flagged slot is another one.
    EXPECT_EQ(imageDiff(after, expected, g().bytesPerSector), "");
    EXPECT_EQ(d.root.findEntry("after.txt"), s + 2);
}

TEST(RemoveLongNames, WalkEndsAtAnEntryOrAtTheStartOfTheTable) {
    const FloppyGeometry g = floppy144();
    auto img = blankFloppy(g);
    putEntry(img, rootSlotOffset(g, 0),
             "\x02"
             "HEAD      ",
             0x0F, 0, 0);  // no 0x40 flag
    putEntry(img, rootSlotOffset(g, 1), field83("FIRST"), 0, 0, 0);
    putEntry(img, rootSlotOffset(g, 2),
             "\x01"
             "TAIL      ",
             0x0F, 0, 0);
    putEntry(img, rootSlotOffset(g, 3), field83("SECOND"), 0, 0, 0);
    Disk d(g, img);
    ASSERT_TRUE(d.root.removeEntry(3));
    auto expected = img;
    expected[rootSlotOffset(g, 2)] = 0xE5;
    expected[rootSlotOffset(g, 2) + 11] = 0;
    expected[rootSlotOffset(g, 3)] = 0xE5;
    EXPECT_EQ(imageDiff(d.bytes(), expected, g.bytesPerSector), "");

    ASSERT_TRUE(d.root.removeEntry(1));
    for (int i : {0, 1}) {
        expected[rootSlotOffset(g, i)] = 0xE5;
    }
    expected[rootSlotOffset(g, 0) + 11] = 0;
    EXPECT_EQ(imageDiff(d.bytes(), expected, g.bytesPerSector), "");
}

// A directory entry that names no chain of its own is removed by itself: neither the
// root (which a first cluster of 0 would open) nor any sectors are touched.
TEST_P(RemoveOnGeometry, DirectoryEntryWithoutAValidChainIsRemovedAlone) {
    for (uint32_t bad : {0u, 1u, g().clusterLimit(), 0xFFFu}) {
        SCOPED_TRACE(bad);
        auto img = blankFloppy(g());
        setChain(img, g(), {2, 3});
        putEntry(img, rootSlotOffset(g(), 0), field83("OTHER.TXT"), 0, 2, 700);
        putEntry(img, rootSlotOffset(g(), 1), field83("BROKEN"), 0x10, uint16_t(bad), 0);
        putDirectoryCluster(img, g(), 6, 0);
        putEntry(img, clusterSlotOffset(g(), 6, 2), field83("BROKEN"), 0x10, uint16_t(bad), 0);
        setChain(img, g(), {6});
        putEntry(img, rootSlotOffset(g(), 2), field83("SUB"), 0x10, 6, 0);
        Disk d(g(), img);

        auto sub = d.root.openDirectory(2);
        ASSERT_NE(sub, nullptr);
        ASSERT_TRUE(sub->removeEntry(2));
        auto expected = img;
        expected[clusterSlotOffset(g(), 6, 2)] = 0xE5;
        EXPECT_EQ(imageDiff(d.bytes(), expected, g().bytesPerSector), "");

        ASSERT_TRUE(d.root.removeEntry(1));
        expected[rootSlotOffset(g(), 1)] = 0xE5;
        EXPECT_EQ(imageDiff(d.bytes(), expected, g().bytesPerSector), "");
        EXPECT_EQ(d.root.findEntry("other.txt"), 0);
    }
}

TEST_P(RemoveOnGeometry, DirectoryThatContainsItselfOrAnAncestorIsRemovedOnce) {
    // D (5) holds LOOP -> D, a file F (6, 7) and E (8); E holds UP -> D and a file G (9).
    auto img = blankFloppy(g());
    setChain(img, g(), {2, 3, 4});
    putEntry(img, rootSlotOffset(g(), 0), field83("D"), 0x10, 5, 0);
    putEntry(img, rootSlotOffset(g(), 1), field83("KEEP"), 0, 2, 3 * g().clusterBytes());
    putDirectoryCluster(img, g(), 5, 0);
    putEntry(img, clusterSlotOffset(g(), 5, 2), field83("LOOP"), 0x10, 5, 0);
    putEntry(img, clusterSlotOffset(g(), 5, 3), field83("F.TXT"), 0, 6, 20);
    putEntry(img, clusterSlotOffset(g(), 5, 4), field83("E"), 0x10, 8, 0);
    putDirectoryCluster(img, g(), 8, 5);
    putEntry(img, clusterSlotOffset(g(), 8, 2), field83("UP"), 0x10, 5, 0);
    putEntry(img, clusterSlotOffset(g(), 8, 3), field83("G.TXT"), 0, 9, 20);
    setChain(img, g(), {5});
    setChain(img, g(), {6, 7});
    setChain(img, g(), {8});
    setChain(img, g(), {9});
    const uint32_t freeAtStart = freeClusterCount(img, g());

    {
        // From inside D: E goes with G, but D's own cluster, which UP names, stays.
        Disk d(g(), img);
        auto dir = d.root.openDirectory(0);
        ASSERT_NE(dir, nullptr);
        ASSERT_TRUE(dir->removeEntry(4));
        const auto after = d.bytes();
        EXPECT_EQ(fatEntry(after, g(), 8), 0u);
        EXPECT_EQ(fatEntry(after, g(), 9), 0u);
        EXPECT_EQ(fatEntry(after, g(), 5), 0xFFFu);
        EXPECT_EQ(chainOf(after, g(), 6), (std::vector<uint32_t>{6, 7}));
        EXPECT_EQ(dir->findEntry("loop"), 2);
        EXPECT_EQ(dir->findEntry("f.txt"), 3);
    }
    {
        Disk d(g(), img);
        ASSERT_TRUE(d.root.removeEntry(0));
        const auto after = d.bytes();
        EXPECT_EQ(freeClusterCount(after, g()), freeAtStart + 5);
        EXPECT_EQ(chainOf(after, g(), 2), (std::vector<uint32_t>{2, 3, 4}));
        EXPECT_EQ(after[rootSlotOffset(g(), 0)], 0xE5);
        EXPECT_EQ(d.root.findEntry("keep"), 1);
        EXPECT_TRUE(fatCopiesAgree(after, g()));
    }
}

TEST_P(RemoveOnGeometry, SubdirectoryWithoutADataClusterLoadsEmptyAndNeverGrows) {
    for (uint32_t bad : {1u, 0xFFFu, g().clusterLimit()}) {
        SCOPED_TRACE(bad);
        auto img = blankFloppy(g());
        putEntry(img, rootSlotOffset(g(), 0), field83("BAD"), 0x10, uint16_t(bad), 0);
        // The sectors just in front of the data area, which cluster 1 would name, hold an
        // entry that must not show up inside BAD.
        const uint32_t trapSlot =
            (g().rootDirSectors() - g().sectorsPerCluster) * (g().bytesPerSector / 32);
        for (uint32_t i = 1; i < trapSlot; ++i) {
            img[rootSlotOffset(g(), i)] = 0xE5;
        }
        putEntry(img, rootSlotOffset(g(), trapSlot), field83("TRAP"), 0, 0, 0);
        Disk d(g(), img);
        auto bad_dir = d.root.openDirectory(0);
        ASSERT_NE(bad_dir, nullptr);
        EXPECT_EQ(bad_dir->firstEntry(), -1);
        EXPECT_EQ(bad_dir->findEntry("trap"), -1);
        EXPECT_EQ(bad_dir->createFile("N", 0), -1);
        EXPECT_EQ(bad_dir->createFile("N", 10), -1);
        EXPECT_EQ(bad_dir->createDirectory("N"), -1);
        EXPECT_EQ(imageDiff(d.bytes(), img, g().bytesPerSector), "");
    }
}

TEST(RemoveDamaged, CyclicDirectoryChainLoadsBoundedAndIsReleased) {
    const FloppyGeometry g = floppy144();
    auto img = blankFloppy(g);
    fillCluster(img, g, 5, 0xE5);  // free slots all through, so the scan reaches cluster 6
    putEntry(img, clusterSlotOffset(g, 5, 0), kDotField, 0x10, 5, 0);
    putEntry(img, clusterSlotOffset(g, 5, 1), kDotDotField, 0x10, 0, 0);
    fillCluster(img, g, 6, 0xE5);
    putEntry(img, clusterSlotOffset(g, 6, 0), field83("X.TXT"), 0, 0, 0);
    setFatEntry(img, g, 5, 6);
    setFatEntry(img, g, 6, 5);
    putEntry(img, rootSlotOffset(g, 0), field83("CYC"), 0x10, 5, 0);
    const uint32_t freeAtStart = freeClusterCount(img, g);
    Disk d(g, img);
    auto cyc = d.root.openDirectory(0);
    ASSERT_NE(cyc, nullptr);
    const int slots = dynamic_cast<FatDirectory&>(*cyc).slotCount();
    EXPECT_GE(slots, 32);
    EXPECT_LE(slots, int(g.clusterLimit() - 2) * 16);
    EXPECT_EQ(cyc->findEntry("x.txt"), 16);
    cyc.reset();

    ASSERT_TRUE(d.root.removeEntry(0));
    const auto after = d.bytes();
    EXPECT_EQ(freeClusterCount(after, g), freeAtStart + 2);
    EXPECT_EQ(after[clusterSlotOffset(g, 6, 0)], 0xE5);
}

TEST(RemoveDamaged, UnreadableSubdirectoryIsNotRemoved) {
    const FloppyGeometry g = floppy144();
    auto img = blankFloppy(g);
    const uint32_t last = g.clusterLimit() - 1;
    setChain(img, g, {last});
    putEntry(img, rootSlotOffset(g, 0), field83("FAR"), 0x10, uint16_t(last), 0);
    putEntry(img, rootSlotOffset(g, 1), field83("FAR.BIN"), 0, uint16_t(last), 10);
    img.resize(g.clusterOffset(last));  // the image file ends before the last cluster
    Disk d(g, img);
    ASSERT_TRUE(d.mounted);
    EXPECT_EQ(d.root.openDirectory(0), nullptr);
    EXPECT_EQ(d.root.openFile(1), nullptr);
    EXPECT_FALSE(d.root.removeEntry(0));
    EXPECT_TRUE(d.root.isDirectory(0));
    EXPECT_EQ(imageDiff(d.bytes(), img, g.bytesPerSector), "");
}

#ifndef _WIN32
// The peak memory of `work` run in a child process, beyond what the child started with.
long peakKibibytesOf(void (*work)(const std::vector<uint8_t>&), const std::vector<uint8_t>& img) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        return -1;
    }
    const pid_t child = fork();
    if (child == 0) {
        rusage before{};
        rusage after{};
        getrusage(RUSAGE_SELF, &before);
        work(img);
        getrusage(RUSAGE_SELF, &after);
        const long grown = after.ru_maxrss - before.ru_maxrss;
        _exit(write(pipeEnds[1], &grown, sizeof grown) == sizeof grown ? 0 : 1);
    }
    close(pipeEnds[1]);
    long grown = -1;
    if (read(pipeEnds[0], &grown, sizeof grown) != sizeof grown) {
        grown = -1;
    }
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? grown : -1;
}

// Every cluster starts a directory that runs to the end of one long chain, each holding
// the next: the tables overlap, and all of them together claim about 2 GB. Removing the
// tree holds each sector once, within a few times the image and a constant.
TEST(RemoveDamaged, TablesSharingOneLongChainAreRemovedWithinTheImagesMemory) {
    const FloppyGeometry g = floppy144();
    auto img = blankFloppy(g);
    const uint32_t last = g.clusterLimit() - 1;
    for (uint32_t c = 2; c <= last; ++c) {
        setFatEntry(img, g, c, c < last ? c + 1 : 0xFFF);
        putDirectoryCluster(img, g, c, c == 2 ? 0 : c - 1);
        if (c < last) {
            putEntry(img, clusterSlotOffset(g, c, 2), field83("D"), 0x10, uint16_t(c + 1), 0);
        }
    }
    putEntry(img, rootSlotOffset(g, 0), field83("D"), 0x10, 2, 0);
    long allowance = long(4 * img.size() / 1024) + 16 * 1024;
#if defined(__SANITIZE_ADDRESS__)
    allowance += 256 * 1024;  // freed blocks that the sanitizer holds back for a while
#endif
    const long peak = peakKibibytesOf(
        [](const std::vector<uint8_t>& image) {
            Disk d(floppy144(), image);
            if (!d.mounted || !d.root.removeEntry(0) || d.root.firstEntry() != -1 ||
                freeClusterCount(d.bytes(), floppy144()) != floppy144().clusterLimit() - 2) {
                _exit(2);
            }
        },
        img);
    ASSERT_GE(peak, 0) << "the removal failed";
    EXPECT_LE(peak, allowance);
}
#endif

}  // namespace
