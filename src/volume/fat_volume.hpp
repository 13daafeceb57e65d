#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "volume/byte_buffer.hpp"
#include "volume/data_source.hpp"
#include "volume/geometry.hpp"
#include "volume/image_device.hpp"
#include "volume/transaction.hpp"

namespace fat12img {

// The sectors of one cluster chain, read into memory in chain order: the content
// (sectors.size() * bytesPerSector bytes, so chain byte p is data[p]) and the image sector
// of each held sector.
struct ChainBlock {
    ByteBuffer data;
    std::vector<uint32_t> sectors;
    uint32_t lastCluster = 0;
    uint32_t sectorCount() const { return static_cast<uint32_t>(sectors.size()); }
};

// The mounted FAT12 image: its geometry, the in-memory copy of FAT 0, and the sector
// transfer through the shared image holder. The in-memory FAT is authoritative; beside it
// the volume keeps what the image's FAT copies hold, so that a write-back writes exactly
// the sectors that differ. Every write goes through the running Transaction, if any, which
// can put the image back.
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
    bool writeSector(uint32_t sector, const uint8_t* buffer);
    // A sector that an image cut short holds only in part, or not at all: what is missing
    // reads as zeros. False only when the host refuses the read.
    bool readSectorOrZeros(uint32_t sector, uint8_t* buffer) const;
    // Adjacent sectors move in one transfer. `before`, where the caller has it, is what the
    // image holds there now, so that the running transaction need not read it.
    bool readSectors(uint32_t first, uint32_t count, uint8_t* buffer) const;
    // The listed sectors into consecutive slices of `buffer`, runs of adjacent ones in one
    // transfer.
    bool readSectorList(const uint32_t* sectors, size_t count, uint8_t* buffer) const;
    bool writeSectors(uint32_t first, uint32_t count, const uint8_t* buffer,
                      const uint8_t* before = nullptr);
    // The next count sectors' worth of bytes of `source`, into clusters that are free on
    // the image.
    // `bytes`, where given, stops short of the last sector's end: the rest of that sector
    // keeps what the image holds there, unread and unwritten.
    bool writeSectorsFrom(uint32_t first, uint32_t count, DataSource& source,
                          size_t bytes = SIZE_MAX);
    // The first `bytes` bytes of count adjacent sectors to `sink`, in one transfer where
    // the image holds what they read as.
    bool readSectorsTo(uint32_t first, uint32_t count, size_t bytes, DataSink& sink) const;
    // Where the order of writes matters for what a host crash or power cut leaves. With
    // --sync, everything written so far is on the disk before anything written after; the
    // barriers of one phase with nothing written between them cost one wait. Without it
    // the host's cache decides the order, which only a process that ends keeps. False when
    // the disk could not be made to hold the writes: the operation has then failed.
    bool barrier();
    // The operation running on this volume, if any.
    Transaction* transaction() const { return transaction_; }

    // FAT entries of data clusters; other numbers read as end of chain and are never set.
    uint32_t getFatEntry(uint32_t cluster) const;
    void setFatEntry(uint32_t cluster, uint32_t value);
    uint32_t findFreeCluster(uint32_t start) const;
    uint32_t freeClusterCount() const { return freeClusters_; }

    // Chain operations in memory only: the caller writes the FAT back with flushFat once
    // whatever the new links point at is on the image. reserveChain gives 0 and changes
    // nothing when there are fewer free clusters than it needs.
    uint32_t reserveChain(uint32_t tail, uint32_t count);
    void releaseChain(uint32_t cluster);

    // The same as operations of their own, written back to every FAT copy at once; false
    // when the clusters run out or a FAT write fails, and then the FAT is as it was.
    uint32_t allocateChain(uint32_t tail, uint32_t count);
    bool freeChain(uint32_t cluster);
    bool markEndOfChain(uint32_t cluster);

    // Writes every FAT sector that differs from the image to every copy, copy 0 first, so
    // that an interrupted write-back leaves at most a lagging second copy. Copy 0 passes a
    // barrier before any other copy is written: once this returns, an entry that the new
    // links make reachable may follow. False when a write or the barrier fails.
    bool flushFat();

    // Reads every sector of the chain that starts at firstCluster; false when a sector
    // cannot be read or memory runs out, and then `out` holds nothing.
    bool loadChain(uint32_t firstCluster, uint32_t capacityHint, uint32_t growStep,
                   ChainBlock& out) const;
    // Whether the image file has at least this many bytes: no table or chain read from it
    // can hold more, whatever its FAT and geometry claim, so nothing larger is allocated.
    // The host is asked once a mount; the volume's own writes keep the answer up to date.
    bool imageHolds(uint64_t bytes) const;

    // The in-memory FAT (the sectors that hold an entry of some cluster), and per sector of
    // it whether the image may hold other bytes, so that a flush would write it: for tests
    // and checks.
    const std::vector<uint8_t>& fatInMemory() const { return fatInMemory_; }
    std::vector<uint8_t> fatSectorsToWrite() const;

  private:
    friend class Transaction;
    friend class SectorJournal;
    bool sectorChanged(uint32_t index) const;
    bool writeFatCopy(uint32_t copy, const std::vector<uint8_t>& changed);
    // Writes what an undo could not write, before anything else is written.
    bool settleUnfinishedUndo();
    bool writeToImage(uint32_t first, uint32_t count, const uint8_t* buffer);
    bool prepareWrite(uint32_t first, uint32_t count, const uint8_t* before);
    void adoptFat(std::vector<uint8_t> inMemory, std::vector<uint8_t> onImage);

    Geometry geometry_;
    ImageDevice* imageDevice_ = nullptr;
    std::vector<uint8_t> fatInMemory_;
    std::vector<uint8_t> fatOnImage_;  // what every FAT copy of the image holds
    uint32_t freeClusters_ = 0;
    Transaction* transaction_ = nullptr;
    // Something was written since the last barrier that waited for the disk.
    bool unsynced_ = false;
    // The old bytes of sectors that a failed operation could not put back: the image is
    // read as if they were there, and they are written before any later write.
    SectorJournal unfinishedUndo_;
    // No cluster below this one is free: first fit need not look at them again. It only
    // saves time; every search still gives the cluster a scan from the start would.
    mutable uint32_t noFreeClusterBelow_ = 2;
    // How long the image file is, once asked; forgotten after a write that failed, which
    // may have lengthened it in part.
    mutable std::optional<uint64_t> imageLength_;
    void wrote(uint64_t end, bool written);
};

}  // namespace fat12img
