#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "directory/dir_entry.hpp"
#include "directory/directory.hpp"
#include "file/fat_file.hpp"
#include "volume/fat_volume.hpp"

namespace fat12img {

// A FAT directory holds at most 65536 entries: a table never grows past them, and a chain
// that runs on is read only as far as they reach (a damaged one could claim the whole
// volume).
inline constexpr uint32_t kMaxDirectoryBytes = 65536 * entry::kEntrySize;

// A directory held as its whole entry table in memory, beside what the image holds of it.
// Every operation changes the table in memory, then writes the sectors that differ, in an
// order that leaves the old or the new tree on the image wherever it is interrupted; an
// operation whose write fails puts the table, the FAT and the image back as they were.
// Lookups and listings touch no sector. Where the table comes from is up to the two kinds
// of storage.
class FatDirectory : public Directory, public EntryHolder {
  public:
    int findEntry(const char* name) const override;
    int getEntryName(int index, char* buffer) const override;
    int firstEntry() const override;
    int nextEntry(int index) const override;
    bool removeEntry(int index) override;
    int createDirectory(const char* name) override;
    int createFile(const char* name, uint32_t size) override;
    CreateOutcome createFileWithData(const char* name, const uint8_t* data, uint32_t size) override;
    std::unique_ptr<Directory> openDirectory(int index) override;
    std::unique_ptr<File> openFile(int index) override;
    bool isDirectory(int index) const override;
    bool isFile(int index) const override;
    uint32_t getFirstCluster() const override { return firstCluster_; }

    virtual bool load(FatVolume* volume, uint32_t firstCluster) = 0;

    // Used by the file that this directory opened to keep its entry current: the entry's
    // sector is written at once; false when that write fails, and then the entry is as
    // it was.
    bool setEntryChain(int index, uint32_t cluster, uint32_t size) override;

    // The in-memory table, for checks.
    int slotCount() const { return static_cast<int>(entries_.size() / entry::kEntrySize); }
    int appendSlot() const { return appendPos_; }
    const uint8_t* slot(int index) const { return entries_.data() + index * entry::kEntrySize; }

  protected:
    // Adopts a loaded table and places appendPos at its first end marker.
    void adoptTable(FatVolume* volume, uint32_t firstCluster, uint32_t lastCluster,
                    ByteBuffer entries, std::vector<uint32_t> sectorNumbers);

  private:
    // What createEntry puts into the new entry's storage before the entry appears.
    struct NewContent {
        uint8_t attribute = entry::kAttrNone;
        uint32_t allocationBytes = 0;
        uint32_t sizeField = 0;
        const uint8_t* data = nullptr;  // a file's bytes, sizeField of them, or none
    };
    enum class Failure : uint8_t { None, Refused, WriteFailed };

    bool isInUse(int index) const;
    uint8_t* slotAt(int index) { return entries_.data() + index * entry::kEntrySize; }
    int findEndMarker() const;
    bool writeChangedSectors();
    bool restoreTable(const ByteBuffer& before, int appendPos, uint32_t lastCluster);
    std::unique_ptr<FatDirectory> openSubdirectory(int index);
    bool markRemoved(int index, std::vector<uint32_t>& visited,
                     std::vector<std::unique_ptr<FatDirectory>>& emptied);
    bool markContentsRemoved(int index, std::vector<uint32_t>& visited,
                             std::vector<std::unique_ptr<FatDirectory>>& emptied);
    int allocateSlot(Failure& failure);
    Failure addCluster();
    bool writeNewDirectoryCluster(uint32_t cluster);
    bool writeNewFileData(uint32_t firstCluster, const uint8_t* data, uint32_t size);
    int createEntry(const char* name, const NewContent& content, Failure& failure);

    uint32_t firstCluster_ = 0;
    uint32_t lastCluster_ = 0;  // 0 when the table cannot grow
    FatVolume* volume_ = nullptr;
    ByteBuffer entries_;
    ByteBuffer entriesOnImage_;            // what the image holds of the table
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
