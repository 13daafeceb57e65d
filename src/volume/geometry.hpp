#pragma once

#include <cstdint>
#include <optional>

namespace fat12img {

// Boot sector (sector 0, always the first 512 bytes of the image), little-endian fields.
namespace boot {
inline constexpr uint32_t kSize = 512;
inline constexpr uint32_t kJump = 0;
inline constexpr uint32_t kOemName = 3;
inline constexpr uint32_t kBytesPerSector = 11;
inline constexpr uint32_t kSectorsPerCluster = 13;
inline constexpr uint32_t kReservedSectors = 14;
inline constexpr uint32_t kNumberOfFats = 16;
inline constexpr uint32_t kRootEntryCount = 17;
inline constexpr uint32_t kTotalSectors16 = 19;
inline constexpr uint32_t kMediaDescriptor = 21;
inline constexpr uint32_t kSectorsPerFat = 22;
inline constexpr uint32_t kSectorsPerTrack = 24;
inline constexpr uint32_t kNumberOfHeads = 26;
inline constexpr uint32_t kHiddenSectors = 28;
inline constexpr uint32_t kTotalSectors32 = 32;
inline constexpr uint32_t kDriveNumber = 36;
inline constexpr uint32_t kExtendedSignature = 38;
inline constexpr uint32_t kSerialNumber = 39;
inline constexpr uint32_t kVolumeLabel = 43;
inline constexpr uint32_t kFileSystemType = 54;
inline constexpr uint32_t kBootCode = 62;
inline constexpr uint32_t kSignature = 510;
inline constexpr char kFat12Type[] = "FAT12   ";  // compared as exactly these 8 bytes
}  // namespace boot

inline constexpr uint32_t kDirEntrySize = 32;
// The largest cluster number a FAT12 volume may have data clusters below; 0xFF7 and up
// are the bad-cluster and end-of-chain marks.
inline constexpr uint32_t kMaxClusterLimit = 0xFF7;

// The layout of a volume, decoded once from its boot sector. All counts are in the
// volume's own sectors of bytesPerSector bytes.
struct Geometry {
    uint32_t bytesPerSector = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t reservedSectors = 0;
    uint32_t numberOfFats = 0;
    uint32_t rootEntryCount = 0;
    uint32_t totalSectors = 0;
    uint32_t sectorsPerFat = 0;
    uint32_t rootDirSector = 0;
    uint32_t rootDirSectors = 0;
    uint32_t firstDataSector = 0;
    uint32_t dataSectorCount = 0;
    uint32_t clusterLimit = 0;  // first number past the data clusters 2 .. clusterLimit-1
};

// Decodes and validates a boot sector. Empty when the type field is not "FAT12   " or the
// geometry cannot be used safely: a sector size other than 512/1024/2048/4096, a cluster
// size of zero or not a power of two, no reserved sector, no FAT, an empty FAT, no room
// for data after the root directory, more clusters than FAT12 can number, or a FAT too
// small to hold an entry for every cluster.
std::optional<Geometry> decodeBootSector(const uint8_t* bootSector);

}  // namespace fat12img
