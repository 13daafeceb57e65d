#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

// Builds and inspects FAT12 images byte by byte, independently of the code under test, so
// that tests can craft unusual and damaged images and check what the tool wrote.
namespace testimg {

// The size of a 1.44 MB floppy image: 2880 sectors of 512 bytes.
constexpr size_t kFloppyBytes = 1474560;

inline uint32_t ceilDiv(uint32_t a, uint32_t b) {
    return (a + b - 1) / b;
}

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
    // The clusters a file of `size` bytes takes.
    uint32_t clustersFor(uint32_t size) const { return ceilDiv(size, clusterBytes()); }
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

// A boot sector alone, with the BIOS parameter block of `g` and "FAT12   ", so that
// geometries with no sensible image can be described too.
std::vector<uint8_t> bootSector(const FloppyGeometry& g);

// The boot sector's file-system type field, at byte 54: only "FAT12" and three blanks
// names a FAT12 volume; every near miss leaves the image without a file system.
constexpr size_t kTypeFieldOffset = 54;
struct TypeField {
    std::string bytes;  // all eight
    bool fat12;
};
const std::vector<TypeField>& typeFields();

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
// The fields of a subdirectory's "." and ".." entries.
inline const std::string kDotField = ".          ";
inline const std::string kDotDotField = "..         ";

// A 32-byte entry at `offset` of the image.
void putEntry(std::vector<uint8_t>& img, size_t offset, const std::string& name11,
              uint8_t attribute, uint16_t firstCluster, uint32_t size);
size_t rootSlotOffset(const FloppyGeometry& g, uint32_t index);
size_t clusterSlotOffset(const FloppyGeometry& g, uint32_t cluster, uint32_t index);
// A subdirectory's first cluster: zeros, with "." naming `cluster` and ".." naming
// `parent` (0 for the root).
void putDirectoryCluster(std::vector<uint8_t>& img, const FloppyGeometry& g, uint32_t cluster,
                         uint32_t parent);

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
// Random bytes from `rng` (one draw a byte), or from a generator seeded with `seed`: the
// same bytes on every standard library.
std::vector<uint8_t> randomBytes(std::mt19937& rng, size_t size);
std::vector<uint8_t> randomBytes(size_t size, unsigned seed);

// The `count` bytes at `offset`, and the bytes from `from` up to (not including) `to`.
std::vector<uint8_t> bytesAt(const std::vector<uint8_t>& bytes, size_t offset, size_t count);
std::vector<uint8_t> bytesBetween(const std::vector<uint8_t>& bytes, size_t from, size_t to);
// Whether the `count` bytes at `offset` all hold `value`.
bool allBytesAre(const std::vector<uint8_t>& bytes, size_t offset, size_t count, uint8_t value);

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
