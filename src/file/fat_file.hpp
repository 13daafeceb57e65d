#pragma once

#include <cstdint>
#include <vector>

#include "file/file.hpp"
#include "volume/fat_volume.hpp"

namespace fat12img {

// A file of the image held whole in memory: opening reads every sector of its chain.
class FatFile : public File {
  public:
    FatFile() = default;
    FatFile(const FatFile&) = delete;
    FatFile& operator=(const FatFile&) = delete;

    // firstCluster at or above the cluster limit means the file has no chain.
    bool open(FatVolume* volume, uint32_t firstCluster, uint32_t size);

    uint32_t read(uint8_t* destination, uint32_t length) override;
    bool seek(int32_t offset, SeekOrigin origin) override;
    bool releaseContent(ByteBuffer& out) override;
    uint32_t getPosition() const override { return position_; }
    uint32_t getSize() const override { return size_; }

    uint32_t sectorCount() const { return content_.sectorCount(); }
    uint32_t capacity() const;
    uint32_t lastCluster() const { return content_.lastCluster; }
    const std::vector<uint32_t>& sectorList() const { return content_.sectors; }

  private:
    uint32_t bytesPerSector_ = 0;
    ChainBlock content_;  // data and sector list
    uint32_t size_ = 0;
    uint32_t position_ = 0;
};

}  // namespace fat12img
