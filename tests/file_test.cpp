// FatFile opened through the directories of a mounted image (reading and seeking), and new
// file data written through the one path it takes, checked against the image bytes.

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

// An entry whose size claims more than its chain holds: reads stop at the held sectors,
// and the whole content cannot be handed over.
TEST_P(FileOnGeometry, SizeBeyondTheChainNeverReachesPastTheHeldSectors) {
    const auto head = pattern(cb(), 5);
    for (uint16_t first : {uint16_t(2), uint16_t(0)}) {
        SCOPED_TRACE(first == 0 ? "no chain at all" : "one cluster");
        auto img = blankFloppy(g());
        if (first != 0) {
            setChain(img, g(), {first});
            putFileData(img, g(), {first}, head);
        }
        putEntry(img, rootSlotOffset(g(), 0), field83("BIG"), 0, first, 5 * cb() + 7);
        Disk d(g(), img);
        auto f = d.root.openFile(0);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->getSize(), 5 * cb() + 7);
        std::vector<uint8_t> buffer(10 * cb());
        const uint32_t held = first == 0 ? 0 : cb();
        EXPECT_EQ(f->read(buffer.data(), 10 * cb()), held);
        EXPECT_EQ(bytesAt(buffer, 0, held), bytesAt(head, 0, held));
        EXPECT_EQ(f->read(buffer.data(), 10), 0u);
        ByteBuffer whole;
        EXPECT_FALSE(f->releaseContent(whole));
        f.reset();
        EXPECT_EQ(imageDiff(d.bytes(), img, g().bytesPerSector), "");
    }
}

// New file data goes straight into the new chain, run by run, wherever the free clusters
// lie; the last sector keeps what the image held after the end of the file.
TEST_P(FileOnGeometry, NewFileDataFillsItsChainAndNothingElse) {
    const uint32_t bps = g().bytesPerSector;
    const uint32_t sizes[] = {1, bps - 1, bps, bps + 1, cb(), 3 * cb() + 17, 9 * cb()};
    for (uint32_t size : sizes) {
        SCOPED_TRACE(::testing::Message() << size << " bytes");
        auto img = blankFloppy(g());
        // Free space in pieces: clusters 3, 5 and 8 are taken.
        for (uint32_t used : {3u, 5u, 8u}) {
            setChain(img, g(), {used});
        }
        Disk d(g(), img);
        ASSERT_EQ(d.root.createDirectory("SUB"), 0);
        auto sub = d.root.openDirectory(0);
        ASSERT_NE(sub, nullptr);
        const auto before = d.bytes();
        const auto data = pattern(size, size);
        MemorySource source(data.data(), data.size());
        ASSERT_EQ(sub->createFileWithData("F.BIN", source, size),
                  Directory::CreateOutcome::Created);
        const auto after = d.bytes();
        const size_t at = clusterSlotOffset(g(), sub->getFirstCluster(), 2);
        const uint16_t first = entryCluster(after, at);
        EXPECT_EQ(bytesAt(after, at, 32), systemEntry(field83("F.BIN"), 0, first, size));
        const auto chain = chainOf(after, g(), first);
        ASSERT_EQ(chain.size(), g().clustersFor(size));
        EXPECT_EQ(fileBytes(after, g(), first, size), data);
        EXPECT_TRUE(fatCopiesAgree(after, g()));
        // Outside the chain, the entry's sector and the FAT nothing changed; inside it,
        // nothing past the last byte.
        auto expected = before;
        for (size_t i = 0; i < chain.size(); ++i) {
            const size_t from = g().clusterOffset(chain[i]);
            const size_t end = std::min<size_t>(size - i * cb(), cb());
            std::copy(after.begin() + long(from), after.begin() + long(from + end),
                      expected.begin() + long(from));
        }
        const size_t entrySector = at / bps * bps;
        std::copy(after.begin() + long(entrySector), after.begin() + long(entrySector + bps),
                  expected.begin() + long(entrySector));
        const size_t fats = g().fatOffset(0);
        std::copy(after.begin() + long(fats), after.begin() + long(g().rootOffset()),
                  expected.begin() + long(fats));
        EXPECT_EQ(imageDiff(after, expected, bps), "");
    }
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

}  // namespace
