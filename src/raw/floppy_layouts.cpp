#include "raw/floppy_layouts.hpp"

#include "volume/geometry.hpp"

namespace fat12img {

namespace {

// The drives of the PC and the PC-98. 640 KB is the PC-98's 2DD floppy (8 sectors a track
// on 80 cylinders); 1232 KB its 2HD floppy: 77 cylinders of 8 sectors of 1,024 bytes.
// clang-format off
constexpr FloppyLayout kLayouts[] = {
    // KB   bytes  spc  root  spf  total  media  spt  heads
    {160,   512,   1,   64,   1,   320,   0xFE,  8,   1},
    {180,   512,   1,   64,   2,   360,   0xFC,  9,   1},
    {320,   512,   2,   112,  1,   640,   0xFF,  8,   2},
    {360,   512,   2,   112,  2,   720,   0xFD,  9,   2},
    {640,   512,   2,   112,  2,   1280,  0xFB,  8,   2},
    {720,   512,   2,   112,  3,   1440,  0xF9,  9,   2},
    {1200,  512,   1,   224,  7,   2400,  0xF9,  15,  2},
    {1232,  1024,  1,   192,  2,   1232,  0xFE,  8,   2},
    {1440,  512,   1,   224,  9,   2880,  0xF0,  18,  2},
    {2880,  512,   2,   240,  9,   5760,  0xF0,  36,  2},
};
// clang-format on

}  // namespace

const FloppyLayout* findFloppyLayout(uint32_t sizeKb) {
    for (const FloppyLayout& layout : kLayouts) {
        if (layout.sizeKb == sizeKb) {
            return &layout;
        }
    }
    return nullptr;
}

const FloppyLayout& defaultFloppyLayout() {
    return *findFloppyLayout(floppy::kDefaultSizeKb);
}

uint32_t rootDirSector(const FloppyLayout& layout) {
    return floppy::kReservedSectors + floppy::kNumberOfFats * uint32_t{layout.sectorsPerFat};
}

uint32_t rootDirSectors(const FloppyLayout& layout) {
    return uint32_t{layout.rootEntries} * kDirEntrySize / layout.bytesPerSector;
}

uint32_t firstDataSector(const FloppyLayout& layout) {
    return rootDirSector(layout) + rootDirSectors(layout);
}

}  // namespace fat12img
