#include "volume/fat_volume.hpp"

#include <new>

#include "volume/fat12_entry.hpp"

namespace fat12img {

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
    std::vector<uint8_t> fat;
    try {
        fat.resize(static_cast<size_t>(g.sectorsPerFat) * g.bytesPerSector);
    } catch (const std::bad_alloc&) {
        return false;
    }
    // Only FAT copy 0 is read; the other copies are only ever written.
    for (uint32_t i = 0; i < g.sectorsPerFat; ++i) {
        if (!imageRead(device, g.reservedSectors + i, fat.data() + i * g.bytesPerSector,
                       g.bytesPerSector, g.bytesPerSector)) {
            return false;
        }
    }
    geometry_ = g;
    imageFat_ = std::move(fat);
    fatDirty_.assign(g.sectorsPerFat, 0);
    return true;
}

uint32_t FatVolume::clusterToSector(uint32_t cluster) const {
    return (cluster - 2) * geometry_.sectorsPerCluster + geometry_.firstDataSector;
}

uint32_t FatVolume::sectorToCluster(uint32_t sector) const {
    return (sector - geometry_.firstDataSector) / geometry_.sectorsPerCluster + 2;
}

bool FatVolume::readSector(uint32_t sector, uint8_t* buffer) const {
    return imageDevice_ != nullptr && imageRead(*imageDevice_, sector, buffer,
                                                geometry_.bytesPerSector, geometry_.bytesPerSector);
}

bool FatVolume::writeSector(uint32_t sector, const uint8_t* buffer) const {
    return imageDevice_ != nullptr &&
           imageWrite(*imageDevice_, sector, buffer, geometry_.bytesPerSector,
                      geometry_.bytesPerSector);
}

uint32_t FatVolume::getFatEntry(uint32_t cluster) const {
    // Mount made sure the FAT holds an entry for every data cluster, and only those are
    // ever looked at; anything else ends a chain.
    if (!isDataCluster(cluster)) {
        return kFatEndOfChain;
    }
    const uint32_t value = unpackFat12(imageFat_.data(), cluster);
    return value == cluster ? kFatEndOfChain : value;
}

void FatVolume::setFatEntry(uint32_t cluster, uint32_t value) {
    // Entries 0 and 1 hold the media byte and are never changed by chain operations.
    if (!isDataCluster(cluster)) {
        return;
    }
    packFat12(imageFat_.data(), cluster, value);
    fatDirty_[fat12FirstSector(cluster, geometry_.bytesPerSector)] = 1;
    fatDirty_[fat12LastSector(cluster, geometry_.bytesPerSector)] = 1;
}

void FatVolume::markEndOfChain(uint32_t cluster) {
    setFatEntry(cluster, kFatEndOfChain);
    flushFat();
}

uint32_t FatVolume::findFreeCluster(uint32_t start) const {
    const uint32_t limit = geometry_.clusterLimit;
    if (!isDataCluster(start)) {
        start = 2;
    }
    for (uint32_t c = start; c < limit; ++c) {
        if (getFatEntry(c) == kFatFree) {
            return c;
        }
    }
    for (uint32_t c = 2; c < start; ++c) {
        if (getFatEntry(c) == kFatFree) {
            return c;
        }
    }
    return 0;
}

uint32_t FatVolume::allocateChain(uint32_t tail, uint32_t count) {
    uint32_t first = 0;
    uint32_t end = tail;
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
    uint32_t firstAppended = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t next = findFreeCluster(end + 1);
        if (next == 0) {
            // Out of clusters: give back what this call took, so the FAT holds the same
            // chains as before, in memory and on the image.
            if (tail == 0) {
                freeChain(first);
            } else if (firstAppended != 0) {
                freeChain(firstAppended);
                markEndOfChain(tail);
            }
            return 0;
        }
        // Marking it taken first keeps the search from ever returning it again.
        setFatEntry(next, kFatEndOfChain);
        setFatEntry(end, next);
        if (firstAppended == 0) {
            firstAppended = next;
        }
        end = next;
    }
    setFatEntry(end, kFatEndOfChain);
    flushFat();
    return tail == 0 ? first : tail;
}

void FatVolume::freeChain(uint32_t cluster) {
    // A chain of more links than there are clusters is a cycle: stop there.
    for (uint32_t walked = 0; isDataCluster(cluster) && walked < maxChainLength(); ++walked) {
        const uint32_t next = getFatEntry(cluster);
        setFatEntry(cluster, kFatFree);
        cluster = next;
    }
    flushFat();
}

void FatVolume::flushFat() {
    const uint32_t bps = geometry_.bytesPerSector;
    for (uint32_t i = 0; i < geometry_.sectorsPerFat; ++i) {
        if (fatDirty_[i] == 0) {
            continue;
        }
        for (uint32_t copy = 0; copy < geometry_.numberOfFats; ++copy) {
            writeSector(geometry_.reservedSectors + copy * geometry_.sectorsPerFat + i,
                        imageFat_.data() + i * bps);
        }
        fatDirty_[i] = 0;
    }
}

bool FatVolume::loadChain(uint32_t firstCluster, uint32_t capacityHint, uint32_t growStep,
                          ChainBlock& out) const {
    out = ChainBlock{};
    const uint32_t bps = geometry_.bytesPerSector;
    const uint32_t spc = geometry_.sectorsPerCluster;
    try {
        std::vector<uint32_t> sectors;
        sectors.reserve(capacityHint);
        uint32_t last = 0;
        uint32_t cluster = firstCluster;
        for (uint32_t walked = 0; isDataCluster(cluster) && walked < maxChainLength(); ++walked) {
            while (sectors.size() + spc > sectors.capacity()) {
                sectors.reserve(sectors.capacity() + (growStep == 0 ? spc : growStep));
            }
            const uint32_t first = clusterToSector(cluster);
            for (uint32_t j = 0; j < spc; ++j) {
                sectors.push_back(first + j);
            }
            last = cluster;
            cluster = getFatEntry(cluster);
        }
        std::vector<uint8_t> data(sectors.size() * bps);
        for (size_t i = 0; i < sectors.size(); ++i) {
            if (!readSector(sectors[i], data.data() + i * bps)) {
                return false;
            }
        }
        out.flags.assign(sectors.size(), 0);
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
