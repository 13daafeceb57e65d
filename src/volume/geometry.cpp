#include "volume/geometry.hpp"

#include <cstring>

#include "volume/byte_order.hpp"
#include "volume/fat12_entry.hpp"

namespace fat12img {

namespace {

bool isPowerOfTwo(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

bool isSupportedSectorSize(uint32_t v) {
    return v == 512 || v == 1024 || v == 2048 || v == 4096;
}

}  // namespace

std::optional<Geometry> decodeBootSector(const uint8_t* bootSector) {
    if (std::memcmp(bootSector + boot::kFileSystemType, boot::kFat12Type, 8) != 0) {
        return std::nullopt;
    }
    Geometry g;
    g.bytesPerSector = readLe16(bootSector + boot::kBytesPerSector);
    g.sectorsPerCluster = bootSector[boot::kSectorsPerCluster];
    g.reservedSectors = readLe16(bootSector + boot::kReservedSectors);
    g.numberOfFats = bootSector[boot::kNumberOfFats];
    g.rootEntryCount = readLe16(bootSector + boot::kRootEntryCount);
    g.totalSectors = readLe16(bootSector + boot::kTotalSectors16);
    g.sectorsPerFat = readLe16(bootSector + boot::kSectorsPerFat);

    if (!isSupportedSectorSize(g.bytesPerSector) || !isPowerOfTwo(g.sectorsPerCluster) ||
        g.reservedSectors == 0 || g.numberOfFats == 0 || g.sectorsPerFat == 0) {
        return std::nullopt;
    }
    // All inputs are at most 16 bits wide, so none of these sums can overflow 32 bits.
    g.rootDirSector = g.reservedSectors + g.numberOfFats * g.sectorsPerFat;
    // A partial last sector of root entries is not part of the root (nor of the data).
    g.rootDirSectors = g.rootEntryCount / (g.bytesPerSector / kDirEntrySize);
    g.firstDataSector = g.rootDirSector + g.rootDirSectors;
    if (g.totalSectors <= g.firstDataSector) {
        return std::nullopt;
    }
    g.dataSectorCount = g.totalSectors - g.firstDataSector;
    g.clusterLimit = g.dataSectorCount / g.sectorsPerCluster + kFirstDataCluster;
    if (g.clusterLimit > kMaxClusterLimit) {
        return std::nullopt;
    }
    // The entry of the highest cluster must lie wholly inside one FAT copy.
    const uint32_t fatBytes = g.sectorsPerFat * g.bytesPerSector;
    if (fat12Offset(g.clusterLimit - 1) + 2 > fatBytes) {
        return std::nullopt;
    }
    return g;
}

}  // namespace fat12img
