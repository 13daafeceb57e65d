#pragma once

#include <cstdint>
#include <vector>

#include "volume/byte_buffer.hpp"
#include "volume/geometry.hpp"
#include "volume/image_device.hpp"

namespace fat12img {

// The sectors of one cluster chain, read into memory in chain order: the content
// (sectors.size() * bytesPerSector bytes, so chain byte p is data[p]), the image sector of
// each held sector, and per sector whether the holder has changed it since it was read or
// last written (1) or not (0).
struct ChainBlock {
    ByteBuffer data;
    std::vector<uint32_t> sectors;
    std::vector<uint8_t> changed;
    uint32_t lastCluster = 0;
    uint32_t sectorCount() const { return static_cast<uint32_t>(sectors.size()); }
};

// The FAT as it stood when an operation began, so that a failed operation can put it back.
struct FatCheckpoint {
    std::vector<uint8_t> fat;
};

// The mounted FAT12 image: its geometry, the in-memory copy of FAT 0, and the sector
// transfer through the shared image holder. The in-memory FAT is authoritative; beside it
// the volume keeps what it knows the image's FAT copies hold, so that a write-back writes
// exactly the sectors that differ, and a failed operation can put the image back.
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
    // A sector that an image cut short holds only in part, or not at all: what is missing
    // reads as zeros. False only when the host refuses the read.
    bool readSectorOrZeros(uint32_t sector, uint8_t* buffer) const;
    // Adjacent sectors move in one transfer.
    bool readSectors(uint32_t first, uint32_t count, uint8_t* buffer) const;
    bool writeSectors(uint32_t first, uint32_t count, const uint8_t* buffer) const;

    // FAT entries of data clusters; other numbers read as end of chain and are never set.
    uint32_t getFatEntry(uint32_t cluster) const;
    void setFatEntry(uint32_t cluster, uint32_t value);
    uint32_t findFreeCluster(uint32_t start) const;

    // Chain operations in memory only: the caller writes the FAT back with flushFat once
    // whatever the new links point at is on the image. reserveChain gives 0 and changes
    // nothing when the clusters run out.
    uint32_t reserveChain(uint32_t tail, uint32_t count);
    void releaseChain(uint32_t cluster);

    // The same, written back to every FAT copy at once; false when the clusters run out
    // or a FAT write fails, and then the FAT is as it was, in memory and as far as the
    // image takes writes.
    uint32_t allocateChain(uint32_t tail, uint32_t count);
    bool freeChain(uint32_t cluster);
    bool markEndOfChain(uint32_t cluster);

    // Writes every FAT sector that differs from the image to every copy, copy 0 first, so
    // that an interrupted write-back leaves at most a lagging second copy. False when a
    // write fails; the sectors of that write-back are then taken as unknown on the image
    // and written again by the next one.
    bool flushFat();

    FatCheckpoint checkpoint() const { return FatCheckpoint{fatInMemory_}; }
    // Puts the FAT back as it was at the checkpoint, in memory and, where the image was
    // written since, on every copy; false when the image does not take the writes.
    bool rollBack(const FatCheckpoint& checkpoint);

    // Reads every sector of the chain that starts at firstCluster, or of its first
    // maxClusters clusters; false when a sector cannot be read, memory runs out or the
    // chain holds more bytes than the image file has, and then `out` holds nothing.
    bool loadChain(uint32_t firstCluster, uint32_t capacityHint, uint32_t growStep, ChainBlock& out,
                   uint32_t maxClusters = UINT32_MAX) const;
    // Whether the image file has at least this many bytes: no table or chain read from it
    // can hold more, whatever its FAT and geometry claim, so nothing larger is allocated.
    bool imageHolds(uint64_t bytes) const;

    // The in-memory FAT (the sectors that hold an entry of some cluster), and per sector of
    // it whether the image may hold other bytes, so that a flush would write it: for tests
    // and checks.
    const std::vector<uint8_t>& fatInMemory() const { return fatInMemory_; }
    std::vector<uint8_t> fatSectorsToWrite() const;

  private:
    bool sectorChanged(uint32_t index) const;
    bool writeFatCopy(uint32_t copy, const std::vector<uint8_t>& changed);

    Geometry geometry_;
    ImageDevice* imageDevice_ = nullptr;
    std::vector<uint8_t> fatInMemory_;
    std::vector<uint8_t> fatOnImage_;       // what every FAT copy of the image holds
    std::vector<uint8_t> fatImageUnknown_;  // per sector: a write of it failed
    // No cluster below this one is free: first fit need not look at them again. It only
    // saves time; every search still gives the cluster a scan from the start would.
    mutable uint32_t noFreeClusterBelow_ = 2;
};

}  // namespace fat12img
