#pragma once

#include <cstdint>
#include <vector>

#include "file/file.hpp"
#include "volume/fat_volume.hpp"

namespace fat12img {

// The directory that holds a file's entry, as the file sees it: where the file records
// its first cluster and size. The file layer needs nothing more of directories.
class EntryHolder {
  public:
    virtual bool setEntryChain(int index, uint32_t firstCluster, uint32_t size) = 0;

  protected:
    ~EntryHolder() = default;
};

// A file of the image held whole in memory: opening reads every sector of its chain;
// read and write work on memory and flag the sectors they touch; flush (always run by
// the destructor) writes the flagged sectors, then the entry when the end of the file or
// its first cluster moved.
class FatFile : public File {
  public:
    FatFile() = default;
    FatFile(const FatFile&) = delete;
    FatFile& operator=(const FatFile&) = delete;
    ~FatFile() override;

    // firstCluster at or above the cluster limit means the file has no chain.
    bool open(FatVolume* volume, EntryHolder* directory, int entryIndex, uint32_t firstCluster,
              uint32_t size);

    uint32_t read(uint8_t* destination, uint32_t length) override;
    uint32_t write(const uint8_t* source, uint32_t length) override;
    bool seek(int32_t offset, SeekOrigin origin) override;
    bool flush() override;
    bool resize(uint32_t newSize) override;
    bool releaseContent(ByteBuffer& out) override;
    uint32_t getPosition() const override { return position_; }
    uint32_t getSize() const override { return size_; }

    uint32_t sectorCount() const { return sectorCount_; }
    uint32_t capacity() const;
    uint32_t lastCluster() const { return lastCluster_; }
    const std::vector<uint32_t>& sectorList() const { return content_.sectors; }

  private:
    bool grow(uint32_t targetSize);
    bool shrink(uint32_t newSize);

    uint32_t lastCluster_ = 0;  // 0 when the file has no chain
    FatVolume* volume_ = nullptr;
    EntryHolder* directory_ = nullptr;
    ChainBlock content_;  // data, sector list and which held sectors changed
    uint32_t size_ = 0;
    uint32_t sectorCount_ = 0;  // held sectors; may be fewer than content_ keeps after a shrink
    uint32_t position_ = 0;
    int entryIndex_ = -1;
    bool entryChanged_ = false;  // size or first cluster not yet on the image
};

}  // namespace fat12img
