#pragma once

#include <cstdint>
#include <vector>

#include "volume/geometry.hpp"
#include "volume/image_device.hpp"

namespace fat12img {

// The sectors of one cluster chain, read into memory in chain order: the content
// (sectors.size() * bytesPerSector bytes, so chain byte p is data[p]), the image sector of
// each held sector, and one flag byte per sector for the holder's own use.
struct ChainBlock {
    std::vector<uint8_t> data;
    std::vector<uint32_t> sectors;
    std::vector<uint8_t> flags;
    uint32_t lastCluster = 0;
    uint32_t sectorCount() const { return static_cast<uint32_t>(sectors.size()); }
};

// The mounted FAT12 image: its geometry, the in-memory copy of FAT 0 with one dirty flag
// per FAT sector, and the sector transfer through the shared image holder. The in-memory
// FAT is authoritative; every chain operation ends by writing its changed FAT sectors to
// every FAT copy.
class FatVolume {
  public:
    FatVolume() = default;
    FatVolume(const FatVolume&) = delete;
    FatVolume& operator=(const FatVolume&) = delete;

    bool mount(ImageDevice& device);

    const Geometry& geometry() const { return geometry_; }
    uint32_t bytesPerSector() const { return geometry_.bytesPerSector; }
    uint32_t sectorsPerCluster() const { return geometry_.sectorsPerCluster; }
    uint32_t bytesPerCluster() const {
        return geometry_.bytesPerSector * geometry_.sectorsPerCluster;
    }
    uint32_t rootEntryCount() const { return geometry_.rootEntryCount; }
    uint32_t rootDirSector() const { return geometry_.rootDirSector; }
    uint32_t rootDirSectors() const { return geometry_.rootDirSectors; }
    uint32_t clusterLimit() const { return geometry_.clusterLimit; }
    bool isDataCluster(uint32_t cluster) const {
        return cluster >= 2 && cluster < geometry_.clusterLimit;
    }
    // The longest chain a walk may follow: a longer one must be a cycle.
    uint32_t maxChainLength() const { return geometry_.clusterLimit - 2; }

    uint32_t clusterToSector(uint32_t cluster) const;
    uint32_t sectorToCluster(uint32_t sector) const;

    bool readSector(uint32_t sector, uint8_t* buffer) const;
    bool writeSector(uint32_t sector, const uint8_t* buffer) const;

    // FAT entries of data clusters; other numbers read as end of chain and are never set.
    uint32_t getFatEntry(uint32_t cluster) const;
    void setFatEntry(uint32_t cluster, uint32_t value);
    void markEndOfChain(uint32_t cluster);
    uint32_t findFreeCluster(uint32_t start) const;
    uint32_t allocateChain(uint32_t tail, uint32_t count);
    void freeChain(uint32_t cluster);
    void flushFat();
    // Reads every sector of the chain that starts at firstCluster; false when a sector
    // cannot be read or memory runs out, and then `out` holds nothing.
    bool loadChain(uint32_t firstCluster, uint32_t capacityHint, uint32_t growStep,
                   ChainBlock& out) const;

    // The in-memory FAT, for tests and checks.
    const std::vector<uint8_t>& imageFat() const { return imageFat_; }
    const std::vector<uint8_t>& fatDirty() const { return fatDirty_; }

  private:
    Geometry geometry_;
    ImageDevice* imageDevice_ = nullptr;
    std::vector<uint8_t> imageFat_;
    std::vector<uint8_t> fatDirty_;
};

}  // namespace fat12img
