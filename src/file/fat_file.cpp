#include "file/fat_file.hpp"

#include <algorithm>
#include <cstring>

namespace fat12img {

namespace {

// How many sector numbers the list grows by when a chain is longer than its size says.
constexpr uint32_t kSectorListGrowth = 8;

}  // namespace

uint32_t FatFile::capacity() const {
    // Files are whole-file buffers; a FAT12 volume holds far less than 4 GiB.
    return content_.sectorCount() * bytesPerSector_;
}

bool FatFile::open(FatVolume* volume, uint32_t firstCluster, uint32_t size) {
    bytesPerSector_ = volume->bytesPerSector();
    if (volume->isDataCluster(firstCluster)) {
        const uint32_t hint = static_cast<uint32_t>(
            (static_cast<uint64_t>(size) + bytesPerSector_ - 1) / bytesPerSector_);
        if (!volume->loadChain(firstCluster, hint, kSectorListGrowth, content_)) {
            return false;
        }
    }
    size_ = size;
    position_ = 0;
    return true;
}

uint32_t FatFile::read(uint8_t* destination, uint32_t length) {
    // A damaged entry may record more bytes than its chain holds: never read past the
    // held sectors.
    const uint32_t end = std::min(size_, capacity());
    if (position_ >= end) {
        return 0;
    }
    const uint32_t n = std::min(length, end - position_);
    std::memcpy(destination, content_.data.data() + position_, n);
    position_ += n;
    return n;
}

bool FatFile::releaseContent(ByteBuffer& out) {
    // A damaged entry may record more bytes than its chain holds.
    if (size_ > capacity()) {
        return false;
    }
    out = std::move(content_.data);
    out.resize(size_);
    content_ = ChainBlock{};
    size_ = 0;
    position_ = 0;
    return true;
}

bool FatFile::seek(int32_t offset, SeekOrigin origin) {
    auto offsetFrom = [offset](uint32_t base) -> uint32_t {
        if (offset >= 0) {
            const uint64_t p = static_cast<uint64_t>(base) + static_cast<uint32_t>(offset);
            return p > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(p);
        }
        const uint32_t magnitude = static_cast<uint32_t>(-(static_cast<int64_t>(offset)));
        return base >= magnitude ? base - magnitude : 0;
    };
    switch (origin) {
        case SeekOrigin::Start:
            position_ = offset < 0 ? 0 : static_cast<uint32_t>(offset);
            break;
        case SeekOrigin::Current:
            position_ = offsetFrom(position_);
            break;
        case SeekOrigin::End:
            position_ = offsetFrom(size_);
            break;
        default:
            break;  // an origin outside the enumeration leaves the position as it is
    }
    position_ = std::min(position_, size_);
    return true;
}

}  // namespace fat12img
