#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "file/file.hpp"
#include "volume/data_source.hpp"

namespace fat12img {

// One entry of a tree that is created in one operation. A tree is a list in depth-first
// order: every directory is followed by its entries (each with its own entries behind it),
// in the order they are created.
struct NewEntry {
    std::string name;  // as it is to be stored
    bool directory = false;
    uint32_t size = 0;          // a file's
    int parent = -1;            // the index of the directory it goes into; -1 for the top
    uint32_t firstCluster = 0;  // filled in by the creation
};

// Where the bytes of the tree's files come from, one file at a time.
class NewTreeData {
  public:
    // The next `size` bytes of entry `index`; none after a failed read.
    virtual std::unique_ptr<DataSource> open(size_t index) = 0;

  protected:
    ~NewTreeData() = default;
};

// A directory of the image as the commands see it. Entries are addressed by their index,
// the slot position in the directory's table (every slot counted); -1 means none.
class Directory {
  public:
    enum class CreateOutcome : uint8_t {
        Created,
        Refused,      // the name, no free slot or no free cluster: nothing was written
        WriteFailed,  // a write of the image failed; what it had changed is put back
        ReadFailed,   // a source could not be read; what was written is put back
    };

    virtual ~Directory() = default;
    virtual int findEntry(const char* name) const = 0;
    // Writes the printable name into buffer (13 bytes, or null for the length only);
    // gives its length with the NUL, or -1 for a slot not in use.
    virtual int getEntryName(int index, char* buffer) const = 0;
    virtual int firstEntry() const = 0;
    virtual int nextEntry(int index) const = 0;
    virtual bool removeEntry(int index) = 0;
    virtual int createDirectory(const char* name) = 0;
    virtual int createFile(const char* name, uint32_t size) = 0;
    // Creates a file holding the next `size` bytes of `data`: they reach the image before
    // the entry does.
    virtual CreateOutcome createFileWithData(const char* name, DataSource& data, uint32_t size) = 0;
    // Creates the whole tree behind one new entry, in one operation: every file's data and
    // every new table first, into free clusters, then the FAT, then the entry. Refused,
    // with nothing written, when a name cannot be stored or the tree does not fit.
    virtual CreateOutcome createTree(std::vector<NewEntry>& tree, NewTreeData& data) = 0;
    virtual std::unique_ptr<Directory> openDirectory(int index) = 0;
    virtual std::unique_ptr<File> openFile(int index) = 0;
    virtual bool isDirectory(int index) const = 0;
    virtual bool isFile(int index) const = 0;
    // The first cluster and the size an entry records (0 for a slot not in use).
    virtual uint32_t getEntryCluster(int index) const = 0;
    virtual uint32_t getEntrySize(int index) const = 0;
    // The first cluster of the directory's own storage, its identity; 0 for the root.
    virtual uint32_t getFirstCluster() const = 0;
};

}  // namespace fat12img
