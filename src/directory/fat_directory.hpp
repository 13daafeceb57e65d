#pragma once

#include <cstdint>
#include <memory>
#include <optional>
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

// A directory held as its whole entry table in memory, as the image holds it. Every
// operation is one Transaction: it changes the table in memory, then writes the sectors
// that changed, in an order that leaves the old or the new tree on the image wherever it
// is interrupted; an operation that fails puts the table, the FAT and the image back as
// they were. Lookups and listings touch no sector. Where the table comes from is up to the
// two kinds of storage.
class FatDirectory : public Directory, private TransactionParticipant {
  public:
    ~FatDirectory() override;

    int findEntry(const char* name) const override;
    int getEntryName(int index, char* buffer) const override;
    int firstEntry() const override;
    int nextEntry(int index) const override;
    bool removeEntry(int index) override;
    int createDirectory(const char* name) override;
    int createFile(const char* name, uint32_t size) override;
    CreateOutcome createFileWithData(const char* name, DataSource& data, uint32_t size) override;
    CreateOutcome createTree(std::vector<NewEntry>& tree, NewTreeData& data) override;
    std::unique_ptr<Directory> openDirectory(int index) override;
    std::unique_ptr<File> openFile(int index) override;
    bool isDirectory(int index) const override;
    bool isFile(int index) const override;
    uint32_t getEntryCluster(int index) const override;
    uint32_t getEntrySize(int index) const override;
    uint32_t getFirstCluster() const override { return firstCluster_; }

    virtual bool load(FatVolume* volume, uint32_t firstCluster) = 0;

    // The in-memory table, for checks.
    int slotCount() const { return static_cast<int>(entries_.size() / entry::kEntrySize); }
    int appendSlot() const { return appendPos_; }
    const uint8_t* slot(int index) const { return entries_.data() + index * entry::kEntrySize; }

  protected:
    // Adopts a loaded table and places appendPos at its first end marker.
    void adoptTable(FatVolume* volume, uint32_t firstCluster, uint32_t lastCluster,
                    ByteBuffer entries, std::vector<uint32_t> sectorNumbers);
    // Adopts the table of the chain from firstCluster, read as far as its first end marker.
    bool loadChainTable(FatVolume* volume, uint32_t firstCluster);

  private:
    // What createEntry puts into the new entry's storage before the entry appears.
    struct NewContent {
        uint8_t attribute = entry::kAttrNone;
        uint32_t allocationBytes = 0;
        uint32_t sizeField = 0;
        DataSource* data = nullptr;  // a file's bytes, sizeField of them, or none
    };
    enum class Failure : uint8_t { None, Refused, WriteFailed };
    // The table as the running operation found it: what the image holds, and what a
    // failed operation puts back.
    struct TableAtStart {
        ByteBuffer entries;
        int appendPos = 0;
        uint32_t lastCluster = 0;
        size_t sectorCount = 0;
        uint32_t unreadFrom = 0;
        uint32_t walked = 0;
    };
    class Removal;

    // Reads the chain from `cluster` on (`walked` clusters of it walked so far) into the
    // table; with `toEndMarker` it stops after the cluster of the first end marker. Leaves
    // unreadFrom_ at the first cluster not read.
    bool readTable(uint32_t cluster, uint32_t walked, bool toEndMarker);
    bool isInUse(int index) const;
    uint8_t* slotAt(int index) { return entries_.data() + index * entry::kEntrySize; }
    int findEndMarker() const;
    // Joins the running operation before the first change; false when memory runs out.
    bool beginChange(Transaction& operation);
    void transactionEnded(bool committed) override;
    bool writeChangedSectors();
    // After the content of a new entry is written: the FAT that links it, with copy 0 on
    // the disk, so that the entry may follow.
    bool storeTableAndFat();
    std::unique_ptr<FatDirectory> openSubdirectory(int index);
    bool markRemoved(int index, Removal& removal);
    int allocateSlot(Failure& failure);
    Failure addCluster();
    bool writeNewDirectoryCluster(uint32_t cluster);
    bool writeNewTable(const std::vector<NewEntry>& tree, size_t index,
                       const std::vector<size_t>& entries, uint32_t clusters);
    int createEntry(const char* name, const NewContent& content, Failure& failure);

    uint32_t firstCluster_ = 0;
    uint32_t lastCluster_ = 0;  // 0 when the table cannot grow
    FatVolume* volume_ = nullptr;
    ByteBuffer entries_;
    int appendPos_ = 0;                    // slot index where the next entry is appended
    std::vector<uint32_t> sectorNumbers_;  // image sector of each table sector
    std::optional<TableAtStart> atStart_;  // while an operation that changed it runs
    uint32_t unreadFrom_ = 0;              // the first cluster of the chain not read yet, or 0
    uint32_t walked_ = 0;                  // clusters of the chain walked so far
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
    // Reads the chain as far as the cluster that holds the first end marker (nothing after
    // one is ever found); the rest is read only when a new entry needs its slots. A damaged
    // image may claim tables of thousands of clusters whose first one says all there is.
    bool load(FatVolume* volume, uint32_t firstCluster) override;
};

}  // namespace fat12img
