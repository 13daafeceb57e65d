#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Builds and inspects FAT12 images byte by byte, independently of the code under test, so
// that tests can craft unusual and damaged images and check what the tool wrote.
namespace testimg {

struct FloppyGeometry {
    uint16_t bytesPerSector = 512;
    uint8_t sectorsPerCluster = 1;
    uint16_t reservedSectors = 1;
    uint8_t numberOfFats = 2;
    uint16_t rootEntries = 224;
    uint16_t totalSectors = 2880;
    uint16_t sectorsPerFat = 9;
    uint8_t media = 0xF0;

    uint32_t rootDirSector() const { return reservedSectors + numberOfFats * sectorsPerFat; }
    uint32_t rootDirSectors() const { return rootEntries / (bytesPerSector / 32); }
    uint32_t firstDataSector() const { return rootDirSector() + rootDirSectors(); }
    uint32_t clusterLimit() const {
        return (totalSectors - firstDataSector()) / sectorsPerCluster + 2;
    }
    uint32_t clusterBytes() const { return bytesPerSector * sectorsPerCluster; }
    size_t imageBytes() const { return size_t(totalSectors) * bytesPerSector; }
    // Byte offsets in the image.
    size_t sectorOffset(uint32_t sector) const { return size_t(sector) * bytesPerSector; }
    size_t fatOffset(uint32_t copy) const {
        return sectorOffset(reservedSectors + copy * sectorsPerFat);
    }
    size_t rootOffset() const { return sectorOffset(rootDirSector()); }
    size_t clusterOffset(uint32_t cluster) const {
        return sectorOffset(firstDataSector() + (cluster - 2) * sectorsPerCluster);
    }
};

FloppyGeometry floppy144();   // 1.44 MB: 512 B sectors, 1 per cluster, 224 root entries
FloppyGeometry floppy720();   // 720 KB: 2 sectors per cluster, 112 root entries
FloppyGeometry floppy288();   // 2.88 MB: 2 sectors per cluster, 240 root entries
FloppyGeometry floppy1232();  // 1.2 MB of 1024-byte sectors, 192 root entries

// An empty volume: boot sector with the BIOS parameter block and "FAT12   ", every FAT
// copy starting with media, 0xFF, 0xFF, an empty root, and the data area filled with
// dataFill.
std::vector<uint8_t> blankFloppy(const FloppyGeometry& g = floppy144(), uint8_t dataFill = 0xF8);

// 12-bit FAT entries, read from or written to copy `copy` (or every copy).
uint32_t fatEntry(const std::vector<uint8_t>& img, const FloppyGeometry& g, uint32_t cluster,
                  uint32_t copy = 0);
void setFatEntry(std::vector<uint8_t>& img, const FloppyGeometry& g, uint32_t cluster,
                 uint32_t value);
// Links the clusters into a chain ending in 0xFFF, in every copy.
void setChain(std::vector<uint8_t>& img, const FloppyGeometry& g,
              const std::vector<uint32_t>& clusters);

// The 11-byte field from "NAME    EXT" style text or from a plain 8.3 name.
std::string field83(const std::string& name);

// A 32-byte entry at `offset` of the image.
void putEntry(std::vector<uint8_t>& img, size_t offset, const std::string& name11,
              uint8_t attribute, uint16_t firstCluster, uint32_t size);
size_t rootSlotOffset(const FloppyGeometry& g, uint32_t index);
size_t clusterSlotOffset(const FloppyGeometry& g, uint32_t cluster, uint32_t index);

// Fields of the 32-byte entry at `offset`.
std::string entryName(const std::vector<uint8_t>& img, size_t offset);  // 11 raw bytes
uint8_t entryAttribute(const std::vector<uint8_t>& img, size_t offset);
uint16_t entryCluster(const std::vector<uint8_t>& img, size_t offset);
uint32_t entrySize(const std::vector<uint8_t>& img, size_t offset);

// Follows the chain from `first` in FAT copy 0 (at most clusterLimit steps).
std::vector<uint32_t> chainOf(const std::vector<uint8_t>& img, const FloppyGeometry& g,
                              uint32_t first);
// The bytes of a file whose chain starts at `first`, cut to `size`.
std::vector<uint8_t> fileBytes(const std::vector<uint8_t>& img, const FloppyGeometry& g,
                               uint32_t first, uint32_t size);
uint32_t freeClusterCount(const std::vector<uint8_t>& img, const FloppyGeometry& g);

// Reproducible file contents: a different byte sequence for every seed.
std::vector<uint8_t> pattern(size_t size, uint32_t seed);

// Whole files on the host.
std::vector<uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
void writeFile(const std::string& path, const std::string& text);
// A host file of `size` bytes that takes (almost) no disk space: sparse where the file
// system allows.
void makeSparseFile(const std::string& path, uint64_t size);
// A symbolic link at `link` to `target`; false where the system gives a test none (Windows
// grants them only to privileged processes).
bool makeSymlinkIfAllowed(const std::string& target, const std::string& link);

// A temporary directory, removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// An image held in a temporary file, open for update, for driving the volume classes.
class ImageFile {
  public:
    explicit ImageFile(const std::vector<uint8_t>& bytes);
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;
    std::FILE* handle() const { return file_; }
    const std::string& path() const { return path_; }
    // The image as it is now on disk, the way a remount would see it.
    std::vector<uint8_t> bytes() const;

  private:
    TempDir dir_;
    std::string path_;
    std::FILE* file_ = nullptr;
};

}  // namespace testimg
