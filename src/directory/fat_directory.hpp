#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "directory/dir_entry.hpp"
#include "directory/directory.hpp"
#include "volume/fat_volume.hpp"

namespace fat12img {

// A directory held as its whole entry table in memory. Every change to an entry is
// written to the image at once, one table sector at a time; lookups and listings touch
// no sector. Where the table comes from is up to the two kinds of storage.
class FatDirectory : public Directory {
  public:
    int findEntry(const char* name) const override;
    int getEntryName(int index, char* buffer) const override;
    int firstEntry() const override;
    int nextEntry(int index) const override;
    bool removeEntry(int index) override;
    int createDirectory(const char* name) override;
    int createFile(const char* name, uint32_t size) override;
    std::unique_ptr<Directory> openDirectory(int index) override;
    std::unique_ptr<File> openFile(int index) override;
    bool isDirectory(int index) const override;
    bool isFile(int index) const override;
    uint32_t getFirstCluster() const override { return firstCluster_; }

    virtual bool load(FatVolume* volume, uint32_t firstCluster) = 0;

    // Used by the file that this directory opened to keep its entry current.
    bool setEntrySize(int index, uint32_t size);
    bool setEntryFirstCluster(int index, uint32_t cluster);

    // The in-memory table, for checks.
    int slotCount() const { return static_cast<int>(entries_.size() / entry::kEntrySize); }
    int appendSlot() const { return appendPos_; }
    const uint8_t* slot(int index) const { return entries_.data() + index * entry::kEntrySize; }

  protected:
    // Adopts a loaded table and places appendPos at its first end marker.
    void adoptTable(FatVolume* volume, uint32_t firstCluster, uint32_t lastCluster,
                    std::vector<uint8_t> entries, std::vector<uint32_t> sectorNumbers);

  private:
    bool isInUse(int index) const;
    uint8_t* slotAt(int index) { return entries_.data() + index * entry::kEntrySize; }
    int findEndMarker() const;
    void writeEntrySector(int index);
    void writeTableSector(uint32_t tableSector);
    std::unique_ptr<FatDirectory> openSubdirectory(int index);
    bool removeEntryGuarded(int index, std::vector<uint32_t>& removing);
    bool removeContents(int index, std::vector<uint32_t>& removing);
    int allocateSlot();
    bool addCluster();
    int createEntry(const char* name, uint32_t allocationBytes, uint8_t attribute,
                    uint32_t sizeField);

    uint32_t firstCluster_ = 0;
    uint32_t lastCluster_ = 0;  // 0 when the table cannot grow
    FatVolume* volume_ = nullptr;
    std::vector<uint8_t> entries_;
    int appendPos_ = 0;                    // slot index where the next entry is appended
    std::vector<uint32_t> sectorNumbers_;  // image sector of each table sector
};

// The fixed root region between the FATs and the data area. It has no dot entries and
// never grows.
class FatRootDirectory : public FatDirectory {
  public:
    bool load(FatVolume* volume, uint32_t firstCluster) override;
};

// A directory stored in a cluster chain; it grows by a cluster when full.
class FatSubDirectory : public FatDirectory {
  public:
    bool load(FatVolume* volume, uint32_t firstCluster) override;
};

}  // namespace fat12img
