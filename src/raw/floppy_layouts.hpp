#pragma once

#include <cstdint>

namespace fat12img {

// One floppy layout that format writes. Every layout has one reserved sector (the boot
// sector) and two FAT copies; the rest differs per drive.
struct FloppyLayout {
    uint16_t sizeKb;  // what format's size= names
    uint16_t bytesPerSector;
    uint8_t sectorsPerCluster;
    uint16_t rootEntries;
    uint16_t sectorsPerFat;
    uint16_t totalSectors;
    uint8_t media;  // the media descriptor, also the low byte of FAT entry 0
    uint16_t sectorsPerTrack;
    uint16_t heads;
};

namespace floppy {
inline constexpr uint16_t kReservedSectors = 1;
inline constexpr uint8_t kNumberOfFats = 2;
inline constexpr uint16_t kDefaultSizeKb = 1440;
// Never-written data sectors are filled with this byte, as a fresh floppy is.
inline constexpr uint8_t kDataFill = 0xF8;
}  // namespace floppy

// The layout of size= sizeKb, or none for a size no drive has.
const FloppyLayout* findFloppyLayout(uint32_t sizeKb);
// The 1.44 MB floppy: plain format, and an image that does not exist yet.
const FloppyLayout& defaultFloppyLayout();

// Where the regions of a layout begin and how long they are, in its own sectors.
uint32_t rootDirSector(const FloppyLayout& layout);
uint32_t rootDirSectors(const FloppyLayout& layout);
uint32_t firstDataSector(const FloppyLayout& layout);

}  // namespace fat12img
