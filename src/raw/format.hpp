#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

namespace fat12img {

// The layout that format writes: an empty 1.44 MB floppy.
namespace floppy {
inline constexpr uint32_t kSectorSize = 512;
inline constexpr uint32_t kTotalSectors = 2880;
inline constexpr uint32_t kSectorsPerFat = 9;
inline constexpr uint32_t kNumberOfFats = 2;
inline constexpr uint32_t kRootDirSectors = 14;  // 224 entries of 32 bytes
inline constexpr uint32_t kDataSectors = 2847;
inline constexpr uint8_t kMediaDescriptor = 0xF0;
// Never-written data sectors are filled with this byte, as a fresh floppy is.
inline constexpr uint8_t kDataFill = 0xF8;
}  // namespace floppy

// The first 512 bytes of a formatted image: the template, zeros, and 0x55 0xAA.
std::vector<uint8_t> formattedBootSector();

enum class FloppyWrite : uint8_t { Done, CannotCreate, WriteFailed };

// Writes an empty formatted floppy into a file just created or emptied; false when a write
// failed.
bool writeEmptyFloppy(std::FILE* file);

// Replaces the image file at imagePath, which the caller has closed and mounts again
// afterwards unless the file could not be created, with an empty formatted floppy.
// imageClosed says whether that close succeeded (a failed one may be a lost write to
// report). Prints what failed.
FloppyWrite cmdFormat(const char* imagePath, bool imageClosed);

}  // namespace fat12img
