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
    imageLength_.reset();
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
    std::vector<uint8_t> onImage = fat;
    adoptFat(std::move(fat), std::move(onImage));
    return true;
}

void FatVolume::adoptFat(std::vector<uint8_t> inMemory, std::vector<uint8_t> onImage) {
    fatInMemory_ = std::move(inMemory);
    fatOnImage_ = std::move(onImage);
    noFreeClusterBelow_ = 2;
    freeClusters_ = 0;
    for (uint32_t c = 2; c < geometry_.clusterLimit; ++c) {
        freeClusters_ += getFatEntry(c) == kFatFree ? 1 : 0;
    }
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

bool FatVolume::writeSector(uint32_t sector, const uint8_t* buffer) {
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
    unfinishedUndo_.overlay(sector, 1, buffer, geometry_.bytesPerSector);
    return true;
}

bool FatVolume::readSectors(uint32_t first, uint32_t count, uint8_t* buffer) const {
    const size_t length = static_cast<size_t>(count) * geometry_.bytesPerSector;
    if (imageDevice_ == nullptr ||
        !imageRead(*imageDevice_, first, buffer, length, geometry_.bytesPerSector)) {
        return false;
    }
    unfinishedUndo_.overlay(first, count, buffer, geometry_.bytesPerSector);
    return true;
}

void FatVolume::wrote(uint64_t end, bool written) {
    if (!written) {
        imageLength_.reset();
    } else if (imageLength_) {
        imageLength_ = std::max(*imageLength_, end);
    }
}

bool FatVolume::writeToImage(uint32_t first, uint32_t count, const uint8_t* buffer) {
    const size_t length = static_cast<size_t>(count) * geometry_.bytesPerSector;
    // Even a write that fails may have changed the file.
    unsynced_ = true;
    const bool written = imageDevice_ != nullptr &&
                         imageWrite(*imageDevice_, first, buffer, length, geometry_.bytesPerSector);
    wrote(static_cast<uint64_t>(first) * geometry_.bytesPerSector + length, written);
    return written;
}

bool FatVolume::settleUnfinishedUndo() {
    // The old bytes are on the disk before the writes that come after them.
    return unfinishedUndo_.empty() || (unfinishedUndo_.writeBack(*this) && barrier());
}

bool FatVolume::barrier() {
    if (!unsynced_ || imageDevice_ == nullptr || !imageDevice_->syncWrites) {
        return true;
    }
    if (imageDevice_->file == nullptr || !syncFile(imageDevice_->file, FileRole::Image)) {
        return false;
    }
    unsynced_ = false;
    return true;
}

bool FatVolume::prepareWrite(uint32_t first, uint32_t count, const uint8_t* before) {
    return settleUnfinishedUndo() &&
           (transaction_ == nullptr || transaction_->recordBefore(first, count, before));
}

bool FatVolume::writeSectors(uint32_t first, uint32_t count, const uint8_t* buffer,
                             const uint8_t* before) {
    return prepareWrite(first, count, before) && writeToImage(first, count, buffer);
}

bool FatVolume::writeSectorsFrom(uint32_t first, uint32_t count, DataSource& source, size_t bytes) {
    if (imageDevice_ == nullptr || !prepareWrite(first, count, nullptr)) {
        return false;
    }
    // Even a write that fails may have changed the file.
    unsynced_ = true;
    const uint64_t offset = static_cast<uint64_t>(first) * geometry_.bytesPerSector;
    const size_t length = std::min(bytes, static_cast<size_t>(count) * geometry_.bytesPerSector);
    const bool written = source.sendTo(*imageDevice_, offset, length);
    wrote(offset + length, written);
    return written;
}

bool FatVolume::readSectorsTo(uint32_t first, uint32_t count, size_t bytes, DataSink& sink) const {
    if (imageDevice_ == nullptr) {
        return false;
    }
    if (unfinishedUndo_.empty()) {
        return sink.receiveFrom(*imageDevice_,
                                static_cast<uint64_t>(first) * geometry_.bytesPerSector, bytes);
    }
    // Sectors that an undo could not put back read as their old bytes, which only memory
    // holds: the run goes through a buffer of a few sectors.
    constexpr uint32_t kSectorsPerPass = 64;
    const uint32_t bps = geometry_.bytesPerSector;
    ByteBuffer pass;
    try {
        pass.resize(static_cast<size_t>(std::min(count, kSectorsPerPass)) * bps);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (uint32_t done = 0; done < count;) {
        const uint32_t n = std::min(count - done, kSectorsPerPass);
        const size_t from = static_cast<size_t>(done) * bps;
        const size_t length = std::min<size_t>(static_cast<size_t>(n) * bps, bytes - from);
        if (!readSectors(first + done, n, pass.data()) || !sink.receive(pass.data(), length)) {
            return false;
        }
        done += n;
    }
    return true;
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
    const bool wasFree = unpackFat12(fatInMemory_.data(), cluster) == kFatFree;
    packFat12(fatInMemory_.data(), cluster, value);
    const bool isFree = unpackFat12(fatInMemory_.data(), cluster) == kFatFree;
    freeClusters_ += (isFree ? 1 : 0) - (wasFree ? 1 : 0);
    if (isFree && cluster < noFreeClusterBelow_) {
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
    // A new chain has at least one cluster, and its first counts as one of the count.
    const uint32_t needed = tail == 0 ? std::max(count, 1u) : count;
    if (needed > freeClusters_) {
        return 0;
    }
    uint32_t first = tail;
    uint32_t end = tail;
    if (tail == 0) {
        first = end = findFreeCluster(2);
        setFatEntry(first, kFatEndOfChain);
    }
    for (uint32_t i = tail == 0 ? 1 : 0; i < needed; ++i) {
        const uint32_t next = findFreeCluster(end + 1);
        // Marking it taken first keeps the search from ever returning it again.
        setFatEntry(next, kFatEndOfChain);
        setFatEntry(end, next);
        end = next;
    }
    setFatEntry(end, kFatEndOfChain);
    return first;
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
    Transaction operation(*this);
    const uint32_t result = reserveChain(tail, count);
    if (result == 0 || !flushFat()) {
        return 0;
    }
    operation.commit();
    return result;
}

bool FatVolume::freeChain(uint32_t cluster) {
    Transaction operation(*this);
    releaseChain(cluster);
    if (!flushFat()) {
        return false;
    }
    operation.commit();
    return true;
}

bool FatVolume::markEndOfChain(uint32_t cluster) {
    Transaction operation(*this);
    setFatEntry(cluster, kFatEndOfChain);
    if (!flushFat()) {
        return false;
    }
    operation.commit();
    return true;
}

bool FatVolume::sectorChanged(uint32_t index) const {
    const size_t bps = geometry_.bytesPerSector;
    const auto now = fatInMemory_.begin() + static_cast<long>(index * bps);
    return !std::equal(now, now + static_cast<long>(bps),
                       fatOnImage_.begin() + static_cast<long>(index * bps));
}

std::vector<uint8_t> FatVolume::fatSectorsToWrite() const {
    std::vector<uint8_t> toWrite(fatInMemory_.size() / geometry_.bytesPerSector);
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
        const size_t offset = static_cast<size_t>(i) * bps;
        if (!writeSectors(base + i, end - i, fatInMemory_.data() + offset,
                          fatOnImage_.data() + offset)) {
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
    for (uint32_t copy = 0; copy < geometry_.numberOfFats; ++copy) {
        // Copy 0 is whole on the disk before any other copy changes; the other copies may
        // lag behind it, so they need no barrier of their own.
        if (!writeFatCopy(copy, changed) || (copy == 0 && !barrier())) {
            return false;
        }
    }
    const size_t bps = geometry_.bytesPerSector;
    for (size_t i = 0; i < changed.size(); ++i) {
        if (changed[i] != 0) {
            std::copy_n(fatInMemory_.begin() + static_cast<long>(i * bps), bps,
                        fatOnImage_.begin() + static_cast<long>(i * bps));
        }
    }
    return true;
}

bool FatVolume::readSectorList(const uint32_t* sectors, size_t count, uint8_t* buffer) const {
    const size_t bps = geometry_.bytesPerSector;
    for (size_t i = 0; i < count;) {
        size_t end = i + 1;
        while (end < count && sectors[end] == sectors[end - 1] + 1) {
            ++end;
        }
        if (!readSectors(sectors[i], static_cast<uint32_t>(end - i), buffer + i * bps)) {
            return false;
        }
        i = end;
    }
    return true;
}

bool FatVolume::imageHolds(uint64_t bytes) const {
    if (!imageLength_ && imageDevice_ != nullptr && imageDevice_->file != nullptr) {
        imageLength_ = fileSize(imageDevice_->file);
    }
    return imageLength_ && *imageLength_ >= bytes;
}

bool FatVolume::loadChain(uint32_t firstCluster, uint32_t capacityHint, uint32_t growStep,
                          ChainBlock& out) const {
    out = ChainBlock{};
    const uint32_t bps = geometry_.bytesPerSector;
    const uint32_t spc = geometry_.sectorsPerCluster;
    try {
        std::vector<uint32_t> sectors;
        sectors.reserve(std::min(capacityHint, maxChainLength() * spc));
        uint32_t last = 0;
        uint32_t cluster = firstCluster;
        for (uint32_t walked = 0; isDataCluster(cluster) && walked < maxChainLength(); ++walked) {
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
        if (!readSectorList(sectors.data(), sectors.size(), data.data())) {
            out = ChainBlock{};
            return false;
        }
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
