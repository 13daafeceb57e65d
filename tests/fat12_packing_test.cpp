// The 12-bit FAT entry layout: where entry n lives, how it is read and written without
// disturbing its neighbour, and which FAT sectors a change to it touches.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "volume/fat12_entry.hpp"

using namespace fat12img;

namespace {

struct OffsetRow {
    uint32_t entry;
    uint32_t offset;
};

TEST(Fat12Packing, EntryOffsetIsThreeHalvesRoundedDown) {
    const OffsetRow rows[] = {{0, 0},     {1, 1},     {2, 3},       {3, 4},      {340, 510},
                              {341, 511}, {342, 513}, {2848, 4272}, {4095, 6142}};
    for (const OffsetRow& r : rows) {
        SCOPED_TRACE(r.entry);
        EXPECT_EQ(fat12Offset(r.entry), r.offset);
    }
}

TEST(Fat12Packing, ReadsEvenAndOddEntriesOfAFormattedFat) {
    // Media entry 0xFF0, reserved 0xFFF, then 2 -> 3 -> end, then 0x123 and 0xABC.
    const uint8_t fat[] = {0xF0, 0xFF, 0xFF, 0x03, 0xF0, 0xFF, 0x23, 0xC1, 0xAB};
    const uint32_t expected[] = {0xFF0, 0xFFF, 0x003, 0xFFF, 0x123, 0xABC};
    for (uint32_t n = 0; n < 6; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(unpackFat12(fat, n), expected[n]);
    }
}

TEST(Fat12Packing, EntriesTwoAndThreeGiveTheKnownBytes) {
    uint8_t fat[8] = {0xF0, 0xFF, 0xFF, 0, 0, 0, 0, 0};
    packFat12(fat, 2, 0x003);
    packFat12(fat, 3, 0xFFF);
    const uint8_t expected[8] = {0xF0, 0xFF, 0xFF, 0x03, 0xF0, 0xFF, 0, 0};
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(fat[i], expected[i]);
    }
}

struct PackRow {
    const char* what;
    uint32_t entry;
    uint32_t value;
    uint8_t b0, b1, b2;  // bytes 3, 4, 5 afterwards (entries 2 and 3 share them)
};

TEST(Fat12Packing, WritingAnEntryKeepsTheNeighboursNibble) {
    // Bytes 3..5 start as AB AB AB: entry 2 reads 0xBAB, entry 3 reads 0xABA.
    const PackRow rows[] = {
        {"even entry", 2, 0x123, 0x23, 0xA1, 0xAB},
        {"even entry, zero", 2, 0x000, 0x00, 0xA0, 0xAB},
        {"odd entry", 3, 0x123, 0xAB, 0x3B, 0x12},
        {"odd entry, zero", 3, 0x000, 0xAB, 0x0B, 0x00},
        {"value wider than 12 bits is masked", 2, 0xF456, 0x56, 0xA4, 0xAB},
        {"odd entry, wide value", 3, 0x1FFF, 0xAB, 0xFB, 0xFF},
    };
    for (const PackRow& r : rows) {
        SCOPED_TRACE(r.what);
        uint8_t fat[9];
        std::fill(fat, fat + 9, 0xAB);
        packFat12(fat, r.entry, r.value);
        EXPECT_EQ(fat[2], 0xAB);
        EXPECT_EQ(fat[3], r.b0);
        EXPECT_EQ(fat[4], r.b1);
        EXPECT_EQ(fat[5], r.b2);
        EXPECT_EQ(fat[6], 0xAB);
        EXPECT_EQ(unpackFat12(fat, r.entry), r.value & 0xFFF);
        const uint32_t neighbour = r.entry == 2 ? 3 : 2;
        EXPECT_EQ(unpackFat12(fat, neighbour), neighbour == 3 ? 0xABAu : 0xBABu);
    }
}

TEST(Fat12Packing, EveryEntryOfATableRoundTrips) {
    // Write a distinct value into each entry in a scrambled order, then read all back: a
    // write that spilt into a neighbour would show up as a wrong value there.
    constexpr uint32_t kEntries = 700;
    std::vector<uint8_t> fat(fat12Offset(kEntries - 1) + 2, 0x5A);
    auto valueOf = [](uint32_t n) { return (n * 2654435761u >> 7) & 0xFFF; };
    for (uint32_t i = 0; i < kEntries; ++i) {
        const uint32_t n = (i * 367) % kEntries;  // 367 is prime to 700: a permutation
        packFat12(fat.data(), n, valueOf(n));
    }
    for (uint32_t n = 0; n < kEntries; ++n) {
        ASSERT_EQ(unpackFat12(fat.data(), n), valueOf(n)) << "entry " << n;
    }
}

struct SectorRow {
    uint32_t entry;
    uint32_t bytesPerSector;
    uint32_t first;
    uint32_t last;
};

TEST(Fat12Packing, SectorsThatHoldAnEntry) {
    const SectorRow rows[] = {
        {0, 512, 0, 0},    {2, 512, 0, 0},     {340, 512, 0, 0},  // bytes 510, 511
        {341, 512, 0, 1},                                         // bytes 511, 512: straddles
        {342, 512, 1, 1},  {682, 512, 1, 2},                      // bytes 1023, 1024
        {683, 512, 2, 2},  {2848, 512, 8, 8},  {341, 1024, 0, 0},
        {682, 1024, 0, 1}, {1365, 2048, 0, 1},  // bytes 2047, 2048
    };
    for (const SectorRow& r : rows) {
        SCOPED_TRACE(::testing::Message() << "entry " << r.entry << " / " << r.bytesPerSector);
        EXPECT_EQ(fat12FirstSector(r.entry, r.bytesPerSector), r.first);
        EXPECT_EQ(fat12LastSector(r.entry, r.bytesPerSector), r.last);
    }
}

TEST(Fat12Packing, SectorsThatHoldAnEntryMatchTheClosedFormForEveryEntry) {
    // Sectors floor(3n / 2b) and floor((3n + 2) / 2b) hold entry n.
    for (uint32_t b : {512u, 1024u, 2048u, 4096u}) {
        for (uint32_t n = 0; n < 4096; ++n) {
            ASSERT_EQ(fat12FirstSector(n, b), 3 * n / (2 * b)) << n << " / " << b;
            ASSERT_EQ(fat12LastSector(n, b), (3 * n + 2) / (2 * b)) << n << " / " << b;
        }
    }
}

}  // namespace
