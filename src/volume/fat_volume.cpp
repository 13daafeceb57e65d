#include "volume/fat_volume.hpp"

#include <algorithm>
#include <new>

#include "volume/fat12_entry.hpp"

namespace fat12img {

namespace {

// The FAT sectors that hold an entry of some cluster below the limit; the sectors past
// them never change, so they are neither read nor written.
uint32_t fatSectorsInUse(const Geometry& g) {
    const uint64_t bytes = fat12Offset(g.clusterLimit - 1) + 2;
    return static_cast<uint32_t>((bytes + g.bytesPerSector - 1) / g.bytesPerSector);
}

}  // namespace

bool FatVolume::mount(ImageDevice& device) {
    imageDevice_ = &device;
    uint8_t bootSector[boot::kSize];
    if (!imageRead(device, 0, bootSector, boot::kSize)) {
        return false;
    }
    const auto decoded = decodeBootSector(bootSector);
    if (!decoded) {
        return false;
    }
    const Geometry g = *decoded;
    const uint32_t sectors = std::min(fatSectorsInUse(g), g.sectorsPerFat);
    std::vector<uint8_t> fat;
    try {
        fat.resize(static_cast<size_t>(sectors) * g.bytesPerSector);
    } catch (const std::bad_alloc&) {
        return false;
    }
    // Only FAT copy 0 is read; the other copies are only ever written.
    if (!imageRead(device, g.reservedSectors, fat.data(), fat.size(), g.bytesPerSector)) {
        return false;
    }
    // The rest of copy 0 holds no entry and is never used, but an image that ends inside
    // it is cut short and is not mounted.
    if (sectors < g.sectorsPerFat) {
        const std::optional<uint64_t> length = fileSize(device.file);
        const uint64_t fatEnd =
            (static_cast<uint64_t>(g.reservedSectors) + g.sectorsPerFat) * g.bytesPerSector;
        if (!length || *length < fatEnd) {
            return false;
        }
    }
    geometry_ = g;
    fatOnImage_ = fat;
    fatInMemory_ = std::move(fat);
    fatImageUnknown_.assign(sectors, 0);
    return true;
}

uint32_t FatVolume::clusterToSector(uint32_t cluster) const {
    return (cluster - 2) * geometry_.sectorsPerCluster + geometry_.firstDataSector;
}

uint32_t FatVolume::sectorToCluster(uint32_t sector) const {
    return (sector - geometry_.firstDataSector) / geometry_.sectorsPerCluster + 2;
}

bool FatVolume::readSector(uint32_t sector, uint8_t* buffer) const {
    return readSectors(sector, 1, buffer);
}

bool FatVolume::writeSector(uint32_t sector, const uint8_t* buffer) const {
    return writeSectors(sector, 1, buffer);
}

bool FatVolume::readSectorOrZeros(uint32_t sector, uint8_t* buffer) const {
    size_t bytesRead = 0;
    if (imageDevice_ == nullptr ||
        imageReadUpTo(*imageDevice_, sector, buffer, geometry_.bytesPerSector, bytesRead,
                      geometry_.bytesPerSector) == ReadOutcome::Failed) {
        return false;
    }
    std::fill(buffer + bytesRead, buffer + geometry_.bytesPerSector, 0);
    return true;
}

bool FatVolume::readSectors(uint32_t first, uint32_t count, uint8_t* buffer) const {
    const size_t length = static_cast<size_t>(count) * geometry_.bytesPerSector;
    return imageDevice_ != nullptr &&
           imageRead(*imageDevice_, first, buffer, length, geometry_.bytesPerSector);
}

bool FatVolume::writeSectors(uint32_t first, uint32_t count, const uint8_t* buffer) const {
    const size_t length = static_cast<size_t>(count) * geometry_.bytesPerSector;
    return imageDevice_ != nullptr &&
           imageWrite(*imageDevice_, first, buffer, length, geometry_.bytesPerSector);
}

uint32_t FatVolume::getFatEntry(uint32_t cluster) const {
    // Mount made sure the FAT holds an entry for every data cluster, and only those are
    // ever looked at; anything else ends a chain.
    if (!isDataCluster(cluster)) {
        return kFatEndOfChain;
    }
    const uint32_t value = unpackFat12(fatInMemory_.data(), cluster);
    return value == cluster ? kFatEndOfChain : value;
}

void FatVolume::setFatEntry(uint32_t cluster, uint32_t value) {
    // Entries 0 and 1 hold the media byte and are never changed by chain operations.
    if (!isDataCluster(cluster)) {
        return;
    }
    packFat12(fatInMemory_.data(), cluster, value);
    if (value == kFatFree && cluster < noFreeClusterBelow_) {
        noFreeClusterBelow_ = cluster;
    }
}

uint32_t FatVolume::findFreeCluster(uint32_t start) const {
    const uint32_t limit = geometry_.clusterLimit;
    if (!isDataCluster(start)) {
        start = 2;
    }
    for (uint32_t c = std::max(start, noFreeClusterBelow_); c < limit; ++c) {
        if (getFatEntry(c) == kFatFree) {
            if (start <= noFreeClusterBelow_) {
                noFreeClusterBelow_ = c;
            }
            return c;
        }
    }
    for (uint32_t c = noFreeClusterBelow_; c < start; ++c) {
        if (getFatEntry(c) == kFatFree) {
            noFreeClusterBelow_ = c;
            return c;
        }
    }
    if (start <= noFreeClusterBelow_) {
        noFreeClusterBelow_ = limit;
    }
    return 0;
}

uint32_t FatVolume::reserveChain(uint32_t tail, uint32_t count) {
    uint32_t first = 0;
    uint32_t end = tail;
    // The tail's own value as it stands (any end mark), to put back if the clusters run out.
    const uint32_t tailValue = tail == 0 ? 0 : unpackFat12(fatInMemory_.data(), tail);
    if (tail == 0) {
        first = findFreeCluster(2);
        if (first == 0) {
            return 0;
        }
        setFatEntry(first, kFatEndOfChain);
        // The first cluster counts as one of the count; a new chain has at least one.
        if (count > 0) {
            --count;
        }
        end = first;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t next = findFreeCluster(end + 1);
        if (next == 0) {
            // Out of clusters: nothing has been written, so what this call took is given
            // back in memory alone.
            if (tail == 0) {
                releaseChain(first);
            } else if (end != tail) {
                releaseChain(getFatEntry(tail));
                setFatEntry(tail, tailValue);
            }
            return 0;
        }
        // Marking it taken first keeps the search from ever returning it again.
        setFatEntry(next, kFatEndOfChain);
        setFatEntry(end, next);
        end = next;
    }
    setFatEntry(end, kFatEndOfChain);
    return tail == 0 ? first : tail;
}

void FatVolume::releaseChain(uint32_t cluster) {
    // A chain of more links than there are clusters is a cycle: stop there.
    for (uint32_t walked = 0; isDataCluster(cluster) && walked < maxChainLength(); ++walked) {
        const uint32_t next = getFatEntry(cluster);
        setFatEntry(cluster, kFatFree);
        cluster = next;
    }
}

uint32_t FatVolume::allocateChain(uint32_t tail, uint32_t count) {
    const FatCheckpoint before = checkpoint();
    const uint32_t result = reserveChain(tail, count);
    if (result == 0) {
        return 0;
    }
    if (!flushFat()) {
        rollBack(before);
        return 0;
    }
    return result;
}

bool FatVolume::freeChain(uint32_t cluster) {
    const FatCheckpoint before = checkpoint();
    releaseChain(cluster);
    if (!flushFat()) {
        rollBack(before);
        return false;
    }
    return true;
}

bool FatVolume::markEndOfChain(uint32_t cluster) {
    const FatCheckpoint before = checkpoint();
    setFatEntry(cluster, kFatEndOfChain);
    if (!flushFat()) {
        rollBack(before);
        return false;
    }
    return true;
}

bool FatVolume::sectorChanged(uint32_t index) const {
    const size_t bps = geometry_.bytesPerSector;
    const auto now = fatInMemory_.begin() + static_cast<long>(index * bps);
    return fatImageUnknown_[index] != 0 ||
           !std::equal(now, now + static_cast<long>(bps),
                       fatOnImage_.begin() + static_cast<long>(index * bps));
}

std::vector<uint8_t> FatVolume::fatSectorsToWrite() const {
    std::vector<uint8_t> toWrite(fatImageUnknown_.size());
    for (uint32_t i = 0; i < toWrite.size(); ++i) {
        toWrite[i] = sectorChanged(i) ? 1 : 0;
    }
    return toWrite;
}

bool FatVolume::writeFatCopy(uint32_t copy, const std::vector<uint8_t>& changed) {
    const uint32_t bps = geometry_.bytesPerSector;
    const uint32_t base = geometry_.reservedSectors + copy * geometry_.sectorsPerFat;
    const uint32_t held = static_cast<uint32_t>(changed.size());
    for (uint32_t i = 0; i < held;) {
        if (changed[i] == 0) {
            ++i;
            continue;
        }
        // A run of changed sectors travels in one write.
        uint32_t end = i + 1;
        while (end < held && changed[end] != 0) {
            ++end;
        }
        if (!writeSectors(base + i, end - i, fatInMemory_.data() + static_cast<size_t>(i) * bps)) {
            return false;
        }
        i = end;
    }
    return true;
}

bool FatVolume::flushFat() {
    const std::vector<uint8_t> changed = fatSectorsToWrite();
    if (std::find(changed.begin(), changed.end(), 1) == changed.end()) {
        return true;
    }
    const size_t bps = geometry_.bytesPerSector;
    for (uint32_t copy = 0; copy < geometry_.numberOfFats; ++copy) {
        if (!writeFatCopy(copy, changed)) {
            for (size_t i = 0; i < changed.size(); ++i) {
                fatImageUnknown_[i] |= changed[i];
            }
            return false;
        }
    }
    for (size_t i = 0; i < changed.size(); ++i) {
        if (changed[i] != 0) {
            std::copy_n(fatInMemory_.begin() + static_cast<long>(i * bps), bps,
                        fatOnImage_.begin() + static_cast<long>(i * bps));
            fatImageUnknown_[i] = 0;
        }
    }
    return true;
}

bool FatVolume::rollBack(const FatCheckpoint& checkpoint) {
    fatInMemory_ = checkpoint.fat;
    noFreeClusterBelow_ = 2;
    return flushFat();
}

bool FatVolume::imageHolds(uint64_t bytes) const {
    const std::optional<uint64_t> length = imageDevice_ != nullptr && imageDevice_->file != nullptr
                                               ? fileSize(imageDevice_->file)
                                               : std::nullopt;
    return length && *length >= bytes;
}

bool FatVolume::loadChain(uint32_t firstCluster, uint32_t capacityHint, uint32_t growStep,
                          ChainBlock& out, uint32_t maxClusters) const {
    out = ChainBlock{};
    const uint32_t bps = geometry_.bytesPerSector;
    const uint32_t spc = geometry_.sectorsPerCluster;
    try {
        std::vector<uint32_t> sectors;
        sectors.reserve(std::min(capacityHint, maxChainLength() * spc));
        uint32_t last = 0;
        uint32_t cluster = firstCluster;
        const uint32_t walkLimit = std::min(maxChainLength(), maxClusters);
        for (uint32_t walked = 0; isDataCluster(cluster) && walked < walkLimit; ++walked) {
            if (sectors.size() + spc > sectors.capacity()) {
                // Doubling keeps a long chain from being copied once per step.
                const size_t step = growStep == 0 ? spc : growStep;
                sectors.reserve(std::max(
                    {sectors.size() + spc, sectors.capacity() + step, sectors.capacity() * 2}));
            }
            const uint32_t first = clusterToSector(cluster);
            for (uint32_t j = 0; j < spc; ++j) {
                sectors.push_back(first + j);
            }
            last = cluster;
            cluster = getFatEntry(cluster);
        }
        // A cycle repeats sectors: with large clusters a small image could claim gigabytes.
        if (!imageHolds(static_cast<uint64_t>(sectors.size()) * bps)) {
            return false;
        }
        ByteBuffer data(sectors.size() * bps);
        // Sectors that follow each other on the image are read in one transfer.
        for (size_t i = 0; i < sectors.size();) {
            size_t end = i + 1;
            while (end < sectors.size() && sectors[end] == sectors[end - 1] + 1) {
                ++end;
            }
            if (!readSectors(sectors[i], static_cast<uint32_t>(end - i), data.data() + i * bps)) {
                out = ChainBlock{};
                return false;
            }
            i = end;
        }
        out.changed.assign(sectors.size(), 0);
        out.data = std::move(data);
        out.sectors = std::move(sectors);
        out.lastCluster = last;
        return true;
    } catch (const std::bad_alloc&) {
        out = ChainBlock{};
        return false;
    }
}

}  // namespace fat12img
