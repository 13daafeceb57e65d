#include "support/image_builder.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>
#endif

namespace testimg {

namespace {

void le16(std::vector<uint8_t>& img, size_t at, uint16_t v) {
    img[at] = uint8_t(v);
    img[at + 1] = uint8_t(v >> 8);
}

}  // namespace

FloppyGeometry floppy144() {
    return FloppyGeometry{};
}

FloppyGeometry floppy720() {
    FloppyGeometry g;
    g.sectorsPerCluster = 2;
    g.rootEntries = 112;
    g.totalSectors = 1440;
    g.sectorsPerFat = 3;
    g.media = 0xF9;
    return g;
}

FloppyGeometry floppy288() {
    FloppyGeometry g;
    g.sectorsPerCluster = 2;
    g.rootEntries = 240;
    g.totalSectors = 5760;
    g.sectorsPerFat = 9;
    return g;
}

FloppyGeometry floppy1232() {
    FloppyGeometry g;
    g.bytesPerSector = 1024;
    g.rootEntries = 192;
    g.totalSectors = 1232;
    g.sectorsPerFat = 2;
    g.media = 0xFE;
    return g;
}

std::vector<uint8_t> bootSector(const FloppyGeometry& g) {
    std::vector<uint8_t> img(512, 0);
    const uint8_t jump[3] = {0xEB, 0x3C, 0x90};
    std::memcpy(img.data(), jump, 3);
    std::memcpy(img.data() + 3, "TESTIMG ", 8);
    le16(img, 11, g.bytesPerSector);
    img[13] = g.sectorsPerCluster;
    le16(img, 14, g.reservedSectors);
    img[16] = g.numberOfFats;
    le16(img, 17, g.rootEntries);
    le16(img, 19, g.totalSectors);
    img[21] = g.media;
    le16(img, 22, g.sectorsPerFat);
    le16(img, 24, 18);
    le16(img, 26, 2);
    std::memcpy(img.data() + 43, "NO NAME    ", 11);
    std::memcpy(img.data() + kTypeFieldOffset, "FAT12   ", 8);
    img[510] = 0x55;
    img[511] = 0xAA;
    return img;
}

const std::vector<TypeField>& typeFields() {
    static const std::vector<TypeField> fields = {
        {"FAT12   ", true},  {std::string("FAT12\0\0\0", 8), false},
        {"fat12   ", false}, {"Fat12   ", false},
        {"FAT16   ", false}, {"FAT12  \t", false},
        {" FAT12  ", false}, {std::string(8, '\0'), false},
    };
    return fields;
}

std::vector<uint8_t> blankFloppy(const FloppyGeometry& g, uint8_t dataFill) {
    std::vector<uint8_t> img(g.imageBytes(), 0);
    const std::vector<uint8_t> boot = bootSector(g);
    std::copy(boot.begin(), boot.end(), img.begin());
    for (uint32_t copy = 0; copy < g.numberOfFats; ++copy) {
        const size_t at = g.fatOffset(copy);
        img[at] = g.media;
        img[at + 1] = 0xFF;
        img[at + 2] = 0xFF;
    }
    std::fill(img.begin() + long(g.sectorOffset(g.firstDataSector())), img.end(), dataFill);
    return img;
}

uint32_t fatEntry(const std::vector<uint8_t>& img, const FloppyGeometry& g, uint32_t cluster,
                  uint32_t copy) {
    const size_t at = g.fatOffset(copy) + cluster + cluster / 2;
    if (cluster % 2 == 0) {
        return img[at] | ((img[at + 1] & 0x0F) << 8);
    }
    return (img[at] >> 4) | (img[at + 1] << 4);
}

void setFatEntry(std::vector<uint8_t>& img, const FloppyGeometry& g, uint32_t cluster,
                 uint32_t value) {
    for (uint32_t copy = 0; copy < g.numberOfFats; ++copy) {
        const size_t at = g.fatOffset(copy) + cluster + cluster / 2;
        if (cluster % 2 == 0) {
            img[at] = uint8_t(value);
            img[at + 1] = uint8_t((img[at + 1] & 0xF0) | ((value >> 8) & 0x0F));
        } else {
            img[at] = uint8_t((img[at] & 0x0F) | ((value << 4) & 0xF0));
            img[at + 1] = uint8_t(value >> 4);
        }
    }
}

void setChain(std::vector<uint8_t>& img, const FloppyGeometry& g,
              const std::vector<uint32_t>& clusters) {
    for (size_t i = 0; i < clusters.size(); ++i) {
        setFatEntry(img, g, clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : 0xFFF);
    }
}

std::string field83(const std::string& name) {
    if (name.size() == 11) {
        return name;
    }
    std::string base = name;
    std::string ext;
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot != 0) {
        base = name.substr(0, dot);
        ext = name.substr(dot + 1);
    }
    base.resize(8, ' ');
    ext.resize(3, ' ');
    return base + ext;
}

void putEntry(std::vector<uint8_t>& img, size_t offset, const std::string& name11,
              uint8_t attribute, uint16_t firstCluster, uint32_t size) {
    if (name11.size() != 11) {
        throw std::invalid_argument("name field must be 11 bytes");
    }
    std::memset(img.data() + offset, 0, 32);
    std::memcpy(img.data() + offset, name11.data(), 11);
    img[offset + 11] = attribute;
    le16(img, offset + 26, firstCluster);
    le16(img, offset + 28, uint16_t(size));
    le16(img, offset + 30, uint16_t(size >> 16));
}

size_t rootSlotOffset(const FloppyGeometry& g, uint32_t index) {
    return g.rootOffset() + size_t(index) * 32;
}

size_t clusterSlotOffset(const FloppyGeometry& g, uint32_t cluster, uint32_t index) {
    return g.clusterOffset(cluster) + size_t(index) * 32;
}

void putDirectoryCluster(std::vector<uint8_t>& img, const FloppyGeometry& g, uint32_t cluster,
                         uint32_t parent) {
    std::fill_n(img.begin() + long(g.clusterOffset(cluster)), g.clusterBytes(), 0);
    putEntry(img, clusterSlotOffset(g, cluster, 0), kDotField, 0x10, uint16_t(cluster), 0);
    putEntry(img, clusterSlotOffset(g, cluster, 1), kDotDotField, 0x10, uint16_t(parent), 0);
}

std::string entryName(const std::vector<uint8_t>& img, size_t offset) {
    return std::string(reinterpret_cast<const char*>(img.data() + offset), 11);
}

uint8_t entryAttribute(const std::vector<uint8_t>& img, size_t offset) {
    return img[offset + 11];
}

uint16_t entryCluster(const std::vector<uint8_t>& img, size_t offset) {
    return uint16_t(img[offset + 26] | (img[offset + 27] << 8));
}

uint32_t entrySize(const std::vector<uint8_t>& img, size_t offset) {
    return uint32_t(img[offset + 28]) | (uint32_t(img[offset + 29]) << 8) |
           (uint32_t(img[offset + 30]) << 16) | (uint32_t(img[offset + 31]) << 24);
}

std::vector<uint32_t> chainOf(const std::vector<uint8_t>& img, const FloppyGeometry& g,
                              uint32_t first) {
    std::vector<uint32_t> chain;
    uint32_t c = first;
    while (c >= 2 && c < g.clusterLimit() && chain.size() < g.clusterLimit()) {
        chain.push_back(c);
        const uint32_t next = fatEntry(img, g, c);
        c = next == c ? 0xFFF : next;
    }
    return chain;
}

std::vector<uint8_t> fileBytes(const std::vector<uint8_t>& img, const FloppyGeometry& g,
                               uint32_t first, uint32_t size) {
    std::vector<uint8_t> out;
    for (uint32_t c : chainOf(img, g, first)) {
        const size_t at = g.clusterOffset(c);
        out.insert(out.end(), img.begin() + long(at), img.begin() + long(at + g.clusterBytes()));
    }
    if (out.size() > size) {
        out.resize(size);
    }
    return out;
}

uint32_t freeClusterCount(const std::vector<uint8_t>& img, const FloppyGeometry& g) {
    uint32_t n = 0;
    for (uint32_t c = 2; c < g.clusterLimit(); ++c) {
        n += fatEntry(img, g, c) == 0 ? 1 : 0;
    }
    return n;
}

std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed * 2654435761u + 1;
    for (uint8_t& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = uint8_t(state >> 16);
    }
    return bytes;
}

std::vector<uint8_t> randomBytes(std::mt19937& rng, size_t size) {
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes) {
        b = uint8_t(rng());
    }
    return bytes;
}

std::vector<uint8_t> randomBytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    return randomBytes(rng, size);
}

std::vector<uint8_t> bytesAt(const std::vector<uint8_t>& bytes, size_t offset, size_t count) {
    return bytesBetween(bytes, offset, offset + count);
}

std::vector<uint8_t> bytesBetween(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
    return std::vector<uint8_t>(bytes.begin() + long(from), bytes.begin() + long(to));
}

bool allBytesAre(const std::vector<uint8_t>& bytes, size_t offset, size_t count, uint8_t value) {
    return std::all_of(bytes.begin() + long(offset), bytes.begin() + long(offset + count),
                       [value](uint8_t b) { return b == value; });
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
}

void writeFile(const std::string& path, const std::string& text) {
    writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

void makeSparseFile(const std::string& path, uint64_t size) {
#ifdef _WIN32
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot create " + path);
    }
    // Without the sparse mark NTFS would allocate every byte; a file system without sparse
    // files still gets a file of the right size.
    DWORD returned = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = LONGLONG(size);
    const bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    if (!sized) {
        throw std::runtime_error("cannot size " + path);
    }
#else
    writeFile(path, std::string());
    std::filesystem::resize_file(path, size);
#endif
}

bool makeSymlinkIfAllowed(const std::string& target, const std::string& link) {
#ifdef _WIN32
    std::error_code error;
    std::filesystem::create_symlink(target, link, error);
    return !error;
#else
    std::filesystem::create_symlink(target, link);
    return true;
#endif
}

TempDir::TempDir() {
#ifdef _WIN32
    // No mkdtemp: try random names until create_directory makes a new one.
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        const std::filesystem::path candidate =
            std::filesystem::temp_directory_path() / ("fat12img-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate.string();
        }
    }
    if (path_.empty()) {
        throw std::runtime_error("cannot create a temporary directory");
    }
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "fat12img-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
#endif
}

TempDir::~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

ImageFile::ImageFile(const std::vector<uint8_t>& bytes) : path_(dir_.file("image.img")) {
    writeFile(path_, bytes);
    file_ = std::fopen(path_.c_str(), "rb+");
    if (file_ == nullptr) {
        throw std::runtime_error("cannot open test image");
    }
}

ImageFile::~ImageFile() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

std::vector<uint8_t> ImageFile::bytes() const {
    std::fflush(file_);
    return readFile(path_);
}

}  // namespace testimg
