// FatFile opened through the directories of a mounted image: reading, writing, seeking,
// growing and shrinking, checked against the image bytes once the file is gone.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fs_fixture.hpp"

using namespace fat12img;
using namespace testimg;
using namespace fstest;

namespace {

class FileOnGeometry : public ::testing::TestWithParam<GeometryCase> {
  protected:
    const FloppyGeometry& g() const { return GetParam().g; }
    uint32_t cb() const { return g().clusterBytes(); }
    uint32_t spc() const { return g().sectorsPerCluster; }
    // Clusters a growth takes when it needs `sectors` more: at least 8 sectors, in whole
    // clusters.
    uint32_t growthClusters(uint32_t sectors) const {
        return ceilDiv(std::max(sectors, 8u), spc());
    }
};

INSTANTIATE_TEST_SUITE_P(Geometries, FileOnGeometry, ::testing::ValuesIn(allGeometries()),
                         geometryName);

FatFile& asFat(const std::unique_ptr<File>& f) {
    return dynamic_cast<FatFile&>(*f);
}

TEST_P(FileOnGeometry, ReadStopsAtTheEndOfFile) {
    auto img = blankFloppy(g());
    const uint32_t size = cb() + 100;
    const auto data = pattern(size, 3);
    setChain(img, g(), {4, 2});
    putFileData(img, g(), {4, 2}, data);
    putEntry(img, rootSlotOffset(g(), 0), field83("DATA.BIN"), 0, 4, size);
    Disk d(g(), img);
    auto f = d.root.openFile(0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->getSize(), size);
    EXPECT_EQ(asFat(f).sectorCount(), 2 * spc());
    EXPECT_EQ(asFat(f).sectorList()[0], g().firstDataSector() + 2 * spc());  // cluster 4 first

    std::vector<uint8_t> buffer(size + 500);
    EXPECT_EQ(f->read(buffer.data(), 10), 10u);
    EXPECT_EQ(bytesAt(buffer, 0, 10), bytesAt(data, 0, 10));
    EXPECT_EQ(f->read(buffer.data(), size + 500), size - 10);
    EXPECT_EQ(bytesAt(buffer, 0, size - 10), bytesAt(data, 10, size - 10));
    EXPECT_EQ(f->getPosition(), size);
    EXPECT_EQ(f->read(buffer.data(), 1), 0u);
    f.reset();
    EXPECT_EQ(imageDiff(d.bytes(), img, g().bytesPerSector), "");
}

TEST_P(FileOnGeometry, ZeroLengthWriteChangesNothing) {
    auto img = blankFloppy(g());
    setChain(img, g(), {2});
    putEntry(img, rootSlotOffset(g(), 0), field83("F"), 0, 2, 40);
    Disk d(g(), img);
    {
        auto f = d.root.openFile(0);
        ASSERT_NE(f, nullptr);
        uint8_t byte = 1;
        ASSERT_TRUE(f->seek(5, SeekOrigin::Start));
        EXPECT_EQ(f->write(&byte, 0), 0u);
        EXPECT_EQ(f->getPosition(), 5u);
        ASSERT_TRUE(f->seek(0, SeekOrigin::End));
        EXPECT_EQ(f->write(&byte, 0), 0u);
        EXPECT_EQ(f->getSize(), 40u);
        EXPECT_EQ(f->getPosition(), 40u);
    }
    EXPECT_EQ(imageDiff(d.bytes(), img, g().bytesPerSector), "");
}

TEST_P(FileOnGeometry, FirstByteOfAnEmptyFileTakesEightSectors) {
    Disk d(g(), blankFloppy(g()));  // data area 0xF8: added sectors must be written as zeros
    ASSERT_EQ(d.root.createFile("E", 0), 0);
    const uint32_t freeAtStart = freeClusterCount(d.bytes(), g());
    std::vector<uint32_t> chain;
    {
        auto f = d.root.openFile(0);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(asFat(f).sectorCount(), 0u);
        const uint8_t z = 'Z';
        ASSERT_EQ(f->write(&z, 1), 1u);
        EXPECT_EQ(f->getSize(), 1u);
        EXPECT_EQ(f->getPosition(), 1u);

        // The FAT is on the image at once; the entry learns its first cluster and size
        // only once the data is there, so an interruption leaves unused clusters, never
        // an entry pointing at stale bytes.
        const auto now = d.bytes();
        EXPECT_EQ(entryCluster(now, rootSlotOffset(g(), 0)), 0u);
        EXPECT_EQ(entrySize(now, rootSlotOffset(g(), 0)), 0u);
        EXPECT_EQ(freeClusterCount(now, g()), freeAtStart - growthClusters(1));
        EXPECT_EQ(asFat(f).sectorCount(), 8u);
        EXPECT_TRUE(fatCopiesAgree(now, g()));
    }
    const auto after = d.bytes();
    const uint16_t first = entryCluster(after, rootSlotOffset(g(), 0));
    chain = chainOf(after, g(), first);
    ASSERT_EQ(chain.size(), growthClusters(1));
    EXPECT_EQ(chain.size() * spc(), 8u);
    EXPECT_EQ(entrySize(after, rootSlotOffset(g(), 0)), 1u);
    EXPECT_EQ(after[g().clusterOffset(chain[0])], 'Z');
    EXPECT_TRUE(allBytesAre(after, g().clusterOffset(chain[0]) + 1, cb() - 1, 0));
    for (size_t i = 1; i < chain.size(); ++i) {
        EXPECT_TRUE(allBytesAre(after, g().clusterOffset(chain[i]), cb(), 0)) << "cluster " << i;
    }
}

TEST_P(FileOnGeometry, FileCreatedWithItsFinalSizeKeepsItsEntry) {
    Disk d(g(), blankFloppy(g()));
    ASSERT_EQ(d.root.createFile("F.BIN", 3000), 0);
    const auto before = d.bytes();
    const auto data = pattern(3000, 9);
    {
        auto f = d.root.openFile(0);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(f->write(data.data(), 3000), 3000u);
    }
    const auto after = d.bytes();
    EXPECT_EQ(bytesAt(after, rootSlotOffset(g(), 0), 32),
              bytesAt(before, rootSlotOffset(g(), 0), 32));
    EXPECT_EQ(fatRegion(after, g()), fatRegion(before, g()));
    EXPECT_EQ(fileBytes(after, g(), entryCluster(after, rootSlotOffset(g(), 0)), 3000), data);
}

TEST_P(FileOnGeometry, WriteInsideTheCapacityMovesOnlyTheSize) {
    Disk d(g(), blankFloppy(g()));
    ASSERT_EQ(d.root.createFile("F", 100), 0);
    const auto before = d.bytes();
    const auto data = pattern(50, 1);
    {
        auto f = d.root.openFile(0);
        ASSERT_NE(f, nullptr);
        ASSERT_TRUE(f->seek(0, SeekOrigin::End));
        ASSERT_EQ(f->write(data.data(), 50), 50u);
        EXPECT_EQ(f->getSize(), 150u);
        auto now = d.bytes();
        EXPECT_EQ(fatRegion(now, g()), fatRegion(before, g()));
        EXPECT_EQ(entrySize(now, rootSlotOffset(g(), 0)), 100u);
        EXPECT_TRUE(f->flush());
        now = d.bytes();
        EXPECT_EQ(entrySize(now, rootSlotOffset(g(), 0)), 150u);
    }
    const auto after = d.bytes();
    EXPECT_EQ(entrySize(after, rootSlotOffset(g(), 0)), 150u);
    EXPECT_EQ(fatRegion(after, g()), fatRegion(before, g()));
    const auto content = fileBytes(after, g(), entryCluster(after, rootSlotOffset(g(), 0)), 150);
    EXPECT_EQ(bytesAt(content, 100, 50), data);
}

TEST(FileSeek, PositionsFollowOriginAndStayWithinTheFile) {
    const FloppyGeometry g = floppy144();
    Disk d(g, blankFloppy(g));
    ASSERT_EQ(d.root.createFile("F", 40), 0);
    auto f = d.root.openFile(0);
    ASSERT_NE(f, nullptr);
    constexpr SeekOrigin kStart = SeekOrigin::Start;
    constexpr SeekOrigin kCurrent = SeekOrigin::Current;
    constexpr SeekOrigin kEnd = SeekOrigin::End;
    const struct {
        uint32_t start;
        int32_t offset;
        SeekOrigin origin;
        uint32_t expected;
    } rows[] = {
        {0, 5, kStart, 5},
        {10, -3, kStart, 0},
        {0, 100, kStart, 40},
        {0, INT32_MAX, kStart, 40},
        {3, -5, kCurrent, 0},
        {10, -5, kCurrent, 5},
        {10, 7, kCurrent, 17},
        {10, 100, kCurrent, 40},
        {10, INT32_MAX, kCurrent, 40},
        {10, INT32_MIN, kCurrent, 0},
        {10, -10, kCurrent, 0},
        {40, -100, kEnd, 0},
        {10, -100, kEnd, 0},
        {10, -10, kEnd, 30},
        {10, 5, kEnd, 40},
        {10, 0, kEnd, 40},
        {10, INT32_MIN, kEnd, 0},
        // Origins outside the enumeration leave the position alone.
        {12, 7, static_cast<SeekOrigin>(9), 12},
        {12, 7, static_cast<SeekOrigin>(255), 12},
        {12, -7, static_cast<SeekOrigin>(3), 12},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << "start " << row.start << " seek(" << row.offset << ", "
                                          << int(row.origin) << ")");
        ASSERT_TRUE(f->seek(int32_t(row.start), SeekOrigin::Start));
        ASSERT_EQ(f->getPosition(), row.start);
        EXPECT_TRUE(f->seek(row.offset, row.origin));
        EXPECT_EQ(f->getPosition(), row.expected);
        EXPECT_EQ(f->getSize(), 40u);
    }
}

TEST_P(FileOnGeometry, ResizeToTheSameSizeAndToZero) {
    Disk d(g(), blankFloppy(g()));
    const uint32_t freeAtStart = freeClusterCount(d.bytes(), g());
    ASSERT_EQ(d.root.createFile("F", 3 * cb()), 0);
    {
        auto f = d.root.openFile(0);
        ASSERT_NE(f, nullptr);
        const auto before = d.bytes();
        EXPECT_TRUE(f->resize(3 * cb()));
        EXPECT_EQ(imageDiff(d.bytes(), before, g().bytesPerSector), "");

        ASSERT_TRUE(f->seek(0, SeekOrigin::End));
        ASSERT_TRUE(f->resize(0));
        EXPECT_EQ(f->getSize(), 0u);
        EXPECT_EQ(f->getPosition(), 0u);
        EXPECT_EQ(asFat(f).sectorCount(), 0u);
        const auto now = d.bytes();
        EXPECT_EQ(entryCluster(now, rootSlotOffset(g(), 0)), 0u);
        EXPECT_EQ(entrySize(now, rootSlotOffset(g(), 0)), 0u);
        EXPECT_EQ(freeClusterCount(now, g()), freeAtStart);
        EXPECT_TRUE(fatCopiesAgree(now, g()));

        // Emptied this way, the file grows again from nothing.
        const uint8_t q = 'q';
        ASSERT_EQ(f->write(&q, 1), 1u);
        EXPECT_EQ(freeClusterCount(d.bytes(), g()), freeAtStart - growthClusters(1));
        ASSERT_TRUE(f->flush());
        EXPECT_NE(entryCluster(d.bytes(), rootSlotOffset(g(), 0)), 0u);
    }
    const auto after = d.bytes();
    EXPECT_EQ(entrySize(after, rootSlotOffset(g(), 0)), 1u);
    EXPECT_EQ(fileBytes(after, g(), entryCluster(after, rootSlotOffset(g(), 0)), 1),
              std::vector<uint8_t>{'q'});
    EXPECT_EQ(freeClusterCount(after, g()), freeAtStart - growthClusters(1));
}

TEST_P(FileOnGeometry, ShrinkKeepsWholeClustersAndDropsTheRest) {
    Disk d(g(), blankFloppy(g()));
    ASSERT_EQ(d.root.createFile("F", 10 * cb()), 0);
    const uint16_t first = entryCluster(d.bytes(), rootSlotOffset(g(), 0));
    const auto fullChain = chainOf(d.bytes(), g(), first);
    ASSERT_EQ(fullChain.size(), 10u);
    const auto data = pattern(10 * cb(), 1);
    const uint32_t keep = 3 * cb() + 1;
    {
        auto f = d.root.openFile(0);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(f->write(data.data(), 10 * cb()), 10 * cb());
        ASSERT_TRUE(f->resize(keep));
        EXPECT_EQ(f->getPosition(), keep);
        EXPECT_EQ(asFat(f).sectorCount(), 4 * spc());
        const auto now = d.bytes();
        EXPECT_EQ(chainOf(now, g(), first),
                  std::vector<uint32_t>(fullChain.begin(), fullChain.begin() + 4));
        EXPECT_EQ(entrySize(now, rootSlotOffset(g(), 0)), keep);
        EXPECT_TRUE(fatCopiesAgree(now, g()));
        for (size_t i = 4; i < 10; ++i) {
            EXPECT_EQ(fatEntry(now, g(), fullChain[i]), 0u);
        }

        std::vector<uint8_t> buffer(10 * cb());
        ASSERT_TRUE(f->seek(0, SeekOrigin::Start));
        EXPECT_EQ(f->read(buffer.data(), 10 * cb()), keep);
        EXPECT_EQ(bytesAt(buffer, 0, keep), bytesAt(data, 0, keep));
    }
    const auto after = d.bytes();
    // The kept clusters are written whole, slack included; dropped ones are not written.
    EXPECT_EQ(fileBytes(after, g(), first, 4 * cb()), bytesAt(data, 0, 4 * cb()));
    for (size_t i = 4; i < 10; ++i) {
        EXPECT_TRUE(allBytesAre(after, g().clusterOffset(fullChain[i]), cb(), 0xF8)) << i;
    }
    EXPECT_EQ(entrySize(after, rootSlotOffset(g(), 0)), keep);
}

TEST_P(FileOnGeometry, ResizeBeyondTheCapacityAddsZeroedClusters) {
    Disk d(g(), blankFloppy(g()));
    ASSERT_EQ(d.root.createFile("F", 10), 0);
    const uint16_t first = entryCluster(d.bytes(), rootSlotOffset(g(), 0));
    const auto data = pattern(10, 4);
    const uint32_t target = 2 * cb() + 5;
    {
        auto f = d.root.openFile(0);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(f->write(data.data(), 10), 10u);
        ASSERT_TRUE(f->resize(target));
        EXPECT_EQ(f->getSize(), target);
        EXPECT_EQ(f->getPosition(), 10u);
        const auto now = d.bytes();
        EXPECT_EQ(entrySize(now, rootSlotOffset(g(), 0)), target);
        EXPECT_EQ(chainOf(now, g(), first).size(),
                  1 + growthClusters(ceilDiv(target - cb(), g().bytesPerSector)));
    }
    const auto after = d.bytes();
    const auto content = fileBytes(after, g(), first, target);
    ASSERT_EQ(content.size(), target);
    EXPECT_EQ(bytesAt(content, 0, 10), data);
    // The old slack is kept as it was; the added clusters are zero.
    EXPECT_TRUE(allBytesAre(content, 10, cb() - 10, 0xF8));
    EXPECT_TRUE(allBytesAre(content, cb(), target - cb(), 0));
    for (uint32_t c : chainOf(after, g(), first)) {
        if (c != first) {
            EXPECT_TRUE(allBytesAre(after, g().clusterOffset(c), cb(), 0)) << "cluster " << c;
        }
    }
}

TEST_P(FileOnGeometry, GrowthWithoutRoomFailsAndChangesNothing) {
    const uint32_t need = growthClusters(1);
    for (uint32_t freeLeft : {need - 1, need}) {
        SCOPED_TRACE(::testing::Message() << freeLeft << " free clusters");
        auto img = blankFloppy(g());
        setChain(img, g(), {2});
        putEntry(img, rootSlotOffset(g(), 0), field83("F"), 0, 2, 10);
        occupyFreeClustersFrom(img, g(), 3 + freeLeft);
        Disk d(g(), img);
        const std::vector<uint8_t> block(cb(), 0x5A);
        {
            auto f = d.root.openFile(0);
            ASSERT_NE(f, nullptr);
            ASSERT_TRUE(f->seek(0, SeekOrigin::End));
            if (freeLeft < need) {
                EXPECT_EQ(f->write(block.data(), cb()), 0u);
                EXPECT_FALSE(f->resize(2 * cb()));
                EXPECT_EQ(f->getSize(), 10u);
                EXPECT_EQ(f->getPosition(), 10u);
                EXPECT_EQ(asFat(f).sectorCount(), spc());
                EXPECT_EQ(imageDiff(d.bytes(), img, g().bytesPerSector), "");
            } else {
                EXPECT_EQ(f->write(block.data(), cb()), cb());
            }
        }
        const auto after = d.bytes();
        if (freeLeft < need) {
            EXPECT_EQ(imageDiff(after, img, g().bytesPerSector), "");
        } else {
            EXPECT_EQ(chainOf(after, g(), 2).size(), 1 + need);
            EXPECT_EQ(freeClusterCount(after, g()), 0u);
            EXPECT_EQ(entrySize(after, rootSlotOffset(g(), 0)), 10 + cb());
        }
    }
}

// An entry whose size claims more than its chain holds: reads stop at the held sectors,
// and a write past them grows the chain first.
TEST_P(FileOnGeometry, SizeBeyondTheChainNeverReachesPastTheHeldSectors) {
    auto img = blankFloppy(g());
    const uint32_t claimed = 5 * cb() + 7;
    const auto head = pattern(cb(), 5);
    const auto neighbour = pattern(cb(), 77);
    setChain(img, g(), {2});
    putFileData(img, g(), {2}, head);
    putEntry(img, rootSlotOffset(g(), 0), field83("BIG"), 0, 2, claimed);
    setChain(img, g(), {3});
    putFileData(img, g(), {3}, neighbour);
    putEntry(img, rootSlotOffset(g(), 1), field83("NEXT"), 0, 3, cb());
    Disk d(g(), img);
    {
        auto f = d.root.openFile(0);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->getSize(), claimed);
        std::vector<uint8_t> buffer(10 * cb());
        EXPECT_EQ(f->read(buffer.data(), 10 * cb()), cb());
        EXPECT_EQ(bytesAt(buffer, 0, cb()), head);
        EXPECT_EQ(f->read(buffer.data(), 10), 0u);

        ASSERT_TRUE(f->seek(int32_t(4 * cb()), SeekOrigin::Start));
        EXPECT_EQ(f->getPosition(), 4 * cb());
        const uint8_t q = 'Q';
        ASSERT_EQ(f->write(&q, 1), 1u);
        EXPECT_EQ(f->getSize(), claimed);
    }
    const auto after = d.bytes();
    const auto chain = chainOf(after, g(), 2);
    EXPECT_EQ(chain.size(), 1 + growthClusters(ceilDiv(3 * cb() + 1, g().bytesPerSector)));
    EXPECT_EQ(std::count(chain.begin(), chain.end(), 3u), 0);
    EXPECT_EQ(entrySize(after, rootSlotOffset(g(), 0)), claimed);
    const auto content = fileBytes(after, g(), 2, 4 * cb() + 1);
    EXPECT_EQ(bytesAt(content, 0, cb()), head);
    EXPECT_TRUE(allBytesAre(content, cb(), 3 * cb(), 0));
    EXPECT_EQ(content[4 * cb()], 'Q');
    EXPECT_EQ(chainOf(after, g(), 3), std::vector<uint32_t>{3});
    EXPECT_EQ(bytesAt(after, g().clusterOffset(3), cb()), neighbour);
    EXPECT_TRUE(fatCopiesAgree(after, g()));
}

TEST_P(FileOnGeometry, SizeWithoutAnyChainReadsNothingAndGrowsOnWrite) {
    auto img = blankFloppy(g());
    putEntry(img, rootSlotOffset(g(), 0), field83("HOLLOW"), 0, 0, 100);
    Disk d(g(), img);
    {
        auto f = d.root.openFile(0);
        ASSERT_NE(f, nullptr);
        uint8_t buffer[16];
        EXPECT_EQ(f->read(buffer, sizeof buffer), 0u);
        ASSERT_TRUE(f->seek(0, SeekOrigin::Start));
        const uint8_t h = 'H';
        ASSERT_EQ(f->write(&h, 1), 1u);
    }
    const auto after = d.bytes();
    const uint16_t first = entryCluster(after, rootSlotOffset(g(), 0));
    EXPECT_EQ(chainOf(after, g(), first).size(), growthClusters(1));
    EXPECT_EQ(entrySize(after, rootSlotOffset(g(), 0)), 100u);
    EXPECT_EQ(after[g().clusterOffset(first)], 'H');
}

TEST_P(FileOnGeometry, CyclicChainLoadsBounded) {
    auto img = blankFloppy(g());
    setFatEntry(img, g(), 2, 3);
    setFatEntry(img, g(), 3, 2);
    putEntry(img, rootSlotOffset(g(), 0), field83("CYC"), 0, 2, 3 * cb());
    Disk d(g(), img);
    const uint32_t freeAtStart = freeClusterCount(img, g());
    {
        auto f = d.root.openFile(0);
        ASSERT_NE(f, nullptr);
        EXPECT_GE(asFat(f).sectorCount(), 2 * spc());
        EXPECT_LE(asFat(f).sectorCount(), (g().clusterLimit() - 2) * spc());
        std::vector<uint8_t> buffer(3 * cb());
        EXPECT_EQ(f->read(buffer.data(), 3 * cb()), 3 * cb());
    }
    EXPECT_EQ(imageDiff(d.bytes(), img, g().bytesPerSector), "");
    ASSERT_TRUE(d.root.removeEntry(0));
    EXPECT_EQ(freeClusterCount(d.bytes(), g()), freeAtStart + 2);
}

TEST_P(FileOnGeometry, OnlySectorsWrittenIntoGoBackToTheImage) {
    Disk d(g(), blankFloppy(g()));
    ASSERT_EQ(d.root.createFile("F", 3 * cb()), 0);
    const auto chain = chainOf(d.bytes(), g(), entryCluster(d.bytes(), rootSlotOffset(g(), 0)));
    ASSERT_EQ(chain.size(), 3u);
    {
        auto f = d.root.openFile(0);
        ASSERT_NE(f, nullptr);
        const uint8_t a = 'A';
        ASSERT_EQ(f->write(&a, 1), 1u);
        // Someone else changes the last cluster while the file is open.
        std::FILE* h = d.file.handle();
        ASSERT_EQ(std::fseek(h, long(g().clusterOffset(chain[2])), SEEK_SET), 0);
        ASSERT_EQ(std::fputc(0x11, h), 0x11);
        ASSERT_EQ(std::fflush(h), 0);
    }
    const auto after = d.bytes();
    EXPECT_EQ(after[g().clusterOffset(chain[0])], 'A');
    EXPECT_TRUE(allBytesAre(after, g().clusterOffset(chain[0]) + 1, g().bytesPerSector - 1, 0xF8));
    EXPECT_TRUE(allBytesAre(after, g().clusterOffset(chain[1]), cb(), 0xF8));
    EXPECT_EQ(after[g().clusterOffset(chain[2])], 0x11);
}

TEST_P(FileOnGeometry, DataSurvivesSeveralGrowthsAndARemount) {
    Disk d(g(), blankFloppy(g()));
    ASSERT_EQ(d.root.createFile("R.DAT", 0), 0);
    const auto data = pattern(10000, 42);
    {
        auto f = d.root.openFile(0);
        ASSERT_NE(f, nullptr);
        for (uint32_t at = 0; at < data.size(); at += 777) {
            const uint32_t n = std::min<uint32_t>(777, uint32_t(data.size()) - at);
            ASSERT_EQ(f->write(data.data() + at, n), n);
        }
        EXPECT_EQ(f->getSize(), 10000u);
    }
    const auto after = d.bytes();
    const size_t at = rootSlotOffset(g(), 0);
    const uint16_t first = entryCluster(after, at);
    // Writing moves the size and the first cluster, nothing else of the entry.
    EXPECT_EQ(bytesAt(after, at, 32), systemEntry(field83("R.DAT"), 0, first, 10000));
    const auto chain = chainOf(after, g(), first);
    EXPECT_EQ(std::set<uint32_t>(chain.begin(), chain.end()).size(), chain.size());
    EXPECT_GE(chain.size() * cb(), 10000u);
    EXPECT_EQ(fileBytes(after, g(), first, 10000), data);
    EXPECT_TRUE(fatCopiesAgree(after, g()));

    Disk again(g(), after);
    auto f = again.root.openFile(0);
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> buffer(12000);
    EXPECT_EQ(f->read(buffer.data(), 12000), 10000u);
    buffer.resize(10000);
    EXPECT_EQ(buffer, data);
}

TEST_P(FileOnGeometry, FileInASubdirectoryKeepsItsEntryThere) {
    Disk d(g(), blankFloppy(g()));
    ASSERT_EQ(d.root.createDirectory("SUB"), 0);
    auto sub = d.root.openDirectory(0);
    ASSERT_NE(sub, nullptr);
    // The file's slot is the second of the table's second sector.
    const int target = int(g().bytesPerSector / 32) + 1;
    for (int i = 2; i < target; ++i) {
        ASSERT_EQ(sub->createFile(numbered("F", i).c_str(), 0), i);
    }
    ASSERT_EQ(sub->createFile("T.TXT", 0), target);
    const auto data = pattern(700, 8);
    {
        auto f = sub->openFile(target);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(f->write(data.data(), 700), 700u);
    }
    const auto after = d.bytes();
    const auto subChain = chainOf(after, g(), sub->getFirstCluster());
    const uint32_t byteInTable = uint32_t(target) * 32;
    const size_t at = g().clusterOffset(subChain[byteInTable / cb()]) + byteInTable % cb();
    EXPECT_EQ(entryName(after, at), field83("T.TXT"));
    EXPECT_EQ(entrySize(after, at), 700u);
    EXPECT_EQ(fileBytes(after, g(), entryCluster(after, at), 700), data);
}

}  // namespace
