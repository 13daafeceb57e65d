#include "file/fat_file.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "volume/fat12_entry.hpp"

namespace fat12img {

namespace {

// A file grows by at least this many sectors at a time.
constexpr uint32_t kMinGrowthSectors = 8;

uint32_t ceilDiv(uint64_t a, uint64_t b) {
    return static_cast<uint32_t>((a + b - 1) / b);
}

}  // namespace

FatFile::~FatFile() {
    flush();
}

uint32_t FatFile::capacity() const {
    // Files are whole-file buffers; a FAT12 volume holds far less than 4 GiB.
    return sectorCount_ * volume_->bytesPerSector();
}

bool FatFile::open(FatVolume* volume, EntryHolder* directory, int entryIndex, uint32_t firstCluster,
                   uint32_t size) {
    lastCluster_ = 0;
    if (volume->isDataCluster(firstCluster)) {
        const uint32_t hint = ceilDiv(size, volume->bytesPerSector());
        if (!volume->loadChain(firstCluster, hint, kMinGrowthSectors, content_)) {
            return false;
        }
        lastCluster_ = content_.lastCluster;
    }
    volume_ = volume;
    directory_ = directory;
    entryIndex_ = entryIndex;
    size_ = size;
    sectorCount_ = content_.sectorCount();
    position_ = 0;
    entryChanged_ = false;
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

uint32_t FatFile::write(const uint8_t* source, uint32_t length) {
    const uint64_t end = static_cast<uint64_t>(position_) + length;
    if (end > UINT32_MAX) {
        return 0;
    }
    if (end > capacity() && !grow(static_cast<uint32_t>(end))) {
        return 0;
    }
    if (end > size_) {
        size_ = static_cast<uint32_t>(end);
        entryChanged_ = true;
    }
    if (length == 0) {
        return 0;
    }
    std::memcpy(content_.data.data() + position_, source, length);
    const uint32_t bps = volume_->bytesPerSector();
    for (uint32_t i = position_ / bps; i <= (end - 1) / bps; ++i) {
        content_.changed[i] = 1;
    }
    position_ = static_cast<uint32_t>(end);
    return length;
}

bool FatFile::releaseContent(ByteBuffer& out) {
    // Unwritten changes would be lost with the buffer, and a damaged entry may record more
    // bytes than its chain holds.
    const bool unwritten =
        entryChanged_ ||
        std::find(content_.changed.begin(), content_.changed.end(), 1) != content_.changed.end();
    if (unwritten || size_ > capacity()) {
        return false;
    }
    out = std::move(content_.data);
    out.resize(size_);
    content_ = ChainBlock{};
    sectorCount_ = 0;
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

bool FatFile::flush() {
    if (volume_ == nullptr) {
        return true;  // never opened
    }
    const uint32_t bps = volume_->bytesPerSector();
    // The data reaches the image before the entry records where it is and how long.
    for (uint32_t i = 0; i < sectorCount_;) {
        if (content_.changed[i] == 0) {
            ++i;
            continue;
        }
        uint32_t end = i + 1;
        while (end < sectorCount_ && content_.changed[end] != 0 &&
               content_.sectors[end] == content_.sectors[end - 1] + 1) {
            ++end;
        }
        if (!volume_->writeSectors(content_.sectors[i], end - i,
                                   content_.data.data() + static_cast<size_t>(i) * bps)) {
            return false;
        }
        std::fill(content_.changed.begin() + i, content_.changed.begin() + end, 0);
        i = end;
    }
    if (entryChanged_) {
        const uint32_t first =
            sectorCount_ == 0 ? 0 : volume_->sectorToCluster(content_.sectors[0]);
        if (!directory_->setEntryChain(entryIndex_, first, size_)) {
            return false;
        }
        entryChanged_ = false;
    }
    return true;
}

bool FatFile::grow(uint32_t targetSize) {
    const uint32_t bps = volume_->bytesPerSector();
    const uint32_t spc = volume_->sectorsPerCluster();
    // Whole clusters covering the missing sectors, and at least eight sectors.
    const uint32_t missing = std::max(ceilDiv(targetSize - capacity(), bps), kMinGrowthSectors);
    const uint32_t clusters = ceilDiv(missing, spc);
    const FatCheckpoint before = volume_->checkpoint();
    const uint32_t first = volume_->reserveChain(lastCluster_, clusters);
    if (first == 0) {
        return false;
    }
    const uint32_t added = lastCluster_ == 0 ? first : volume_->getFatEntry(lastCluster_);
    const uint32_t newCount = sectorCount_ + clusters * spc;
    auto keepOldSectors = [&] {
        content_.data.resize(static_cast<size_t>(sectorCount_) * bps);
        content_.sectors.resize(sectorCount_);
        content_.changed.resize(sectorCount_);
    };
    try {
        // Sectors past sectorCount_ that a shrink dropped are no longer ours.
        keepOldSectors();
        content_.data.resize(static_cast<size_t>(newCount) * bps, 0);
        content_.sectors.reserve(newCount);
        // Added sectors are written at the next flush even where nothing is written in.
        content_.changed.resize(newCount, 1);
    } catch (const std::bad_alloc&) {
        keepOldSectors();
        volume_->rollBack(before);  // nothing was written: memory only
        return false;
    }
    if (!volume_->flushFat()) {
        keepOldSectors();
        volume_->rollBack(before);
        return false;
    }
    // A file that had no chain records its first cluster at the next flush, after its data.
    if (lastCluster_ == 0) {
        entryChanged_ = true;
    }
    uint32_t cluster = added;
    for (uint32_t walked = 0; walked < clusters && volume_->isDataCluster(cluster); ++walked) {
        const uint32_t sector = volume_->clusterToSector(cluster);
        for (uint32_t j = 0; j < spc; ++j) {
            content_.sectors.push_back(sector + j);
        }
        lastCluster_ = cluster;
        cluster = volume_->getFatEntry(cluster);
    }
    sectorCount_ = newCount;
    return true;
}

bool FatFile::shrink(uint32_t newSize) {
    const uint32_t spc = volume_->sectorsPerCluster();
    const uint32_t keepClusters = ceilDiv(newSize, volume_->bytesPerCluster());
    const uint32_t keepSectors = keepClusters * spc;
    const uint32_t first =
        keepSectors == 0 || sectorCount_ == 0 ? 0 : volume_->sectorToCluster(content_.sectors[0]);
    // The entry stops pointing at the clusters before they are freed.
    if (!directory_->setEntryChain(entryIndex_, first, newSize)) {
        return false;
    }
    if (sectorCount_ > keepSectors) {
        const uint32_t dropped = volume_->sectorToCluster(content_.sectors[keepSectors]);
        const FatCheckpoint before = volume_->checkpoint();
        volume_->releaseChain(dropped);
        uint32_t newLast = 0;
        if (keepSectors != 0) {
            newLast = volume_->sectorToCluster(content_.sectors[keepSectors - 1]);
            volume_->setFatEntry(newLast, kFatEndOfChain);
        }
        if (!volume_->flushFat()) {
            volume_->rollBack(before);
            directory_->setEntryChain(
                entryIndex_, sectorCount_ == 0 ? 0 : volume_->sectorToCluster(content_.sectors[0]),
                size_);
            return false;
        }
        lastCluster_ = newLast;
        sectorCount_ = keepSectors;
    }
    size_ = newSize;
    position_ = std::min(position_, newSize);
    return true;
}

bool FatFile::resize(uint32_t newSize) {
    if (newSize == size_) {
        return true;
    }
    if (newSize <= capacity()) {
        return shrink(newSize);
    }
    if (!grow(newSize)) {
        return false;
    }
    size_ = newSize;
    entryChanged_ = true;
    return flush();
}

}  // namespace fat12img
