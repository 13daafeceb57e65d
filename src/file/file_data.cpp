#include "file/file_data.hpp"

#include <algorithm>
#include <new>

namespace fat12img {

namespace {

// How much of a file's last run is copied to travel with its partial last sector.
constexpr uint32_t kStagedSectors = 64;

// Calls visit(first sector, sector count, whether it is the last) for each run of adjacent
// sectors among the first `needed` sectors of the chain; false when the chain holds fewer
// or a visit fails. Nothing is held but the run at hand, however long the file.
template <typename Visit>
bool forEachRun(const FatVolume& volume, uint32_t cluster, uint32_t needed, Visit&& visit) {
    const uint32_t spc = volume.sectorsPerCluster();
    uint32_t done = 0;
    uint32_t runFirst = 0;
    uint32_t runCount = 0;
    for (uint32_t walked = 0; done + runCount < needed && volume.isDataCluster(cluster) &&
                              walked < volume.maxChainLength();
         ++walked) {
        const uint32_t first = volume.clusterToSector(cluster);
        if (runCount > 0 && first != runFirst + runCount) {
            if (!visit(runFirst, runCount, false)) {
                return false;
            }
            done += runCount;
            runCount = 0;
        }
        if (runCount == 0) {
            runFirst = first;
        }
        runCount += std::min(spc, needed - done - runCount);
        cluster = volume.getFatEntry(cluster);
    }
    return done + runCount == needed && (runCount == 0 || visit(runFirst, runCount, true));
}

uint32_t sectorsFor(const FatVolume& volume, uint32_t size) {
    const uint32_t bps = volume.bytesPerSector();
    return static_cast<uint32_t>((static_cast<uint64_t>(size) + bps - 1) / bps);
}

}  // namespace

bool writeFileData(FatVolume& volume, uint32_t firstCluster, uint32_t size, DataSource& source) {
    const uint32_t bps = volume.bytesPerSector();
    const uint32_t needed = sectorsFor(volume, size);
    // Nothing is written for a chain that cannot take the whole file.
    if (!forEachRun(volume, firstCluster, needed, [](uint32_t, uint32_t, bool) { return true; })) {
        return false;
    }
    // The last sector keeps the image's bytes after the end of the file. Where an image cut
    // short has none, they are zeros: the sector is read (as far as it exists) and travels
    // with the end of its run through a small buffer.
    const uint32_t tailBytes = size % bps;
    return forEachRun(volume, firstCluster, needed, [&](uint32_t first, uint32_t count, bool last) {
        const bool endsInTail = last && tailBytes != 0;
        // Where the image holds the whole last sector, the file's bytes end the run's one
        // write and the rest of the sector is simply left as it is.
        if (endsInTail && volume.imageHolds(static_cast<uint64_t>(first + count) * bps)) {
            return volume.writeSectorsFrom(first, count, source,
                                           static_cast<size_t>(count - 1) * bps + tailBytes);
        }
        const uint32_t staged = endsInTail ? std::min(count - 1, kStagedSectors) : 0;
        const uint32_t direct = endsInTail ? count - 1 - staged : count;
        if (direct > 0 && !volume.writeSectorsFrom(first, direct, source)) {
            return false;
        }
        if (!endsInTail) {
            return true;
        }
        ByteBuffer stage;
        try {
            stage.resize(static_cast<size_t>(staged + 1) * bps);
        } catch (const std::bad_alloc&) {
            return false;
        }
        const size_t stagedBytes = static_cast<size_t>(staged) * bps;
        return volume.readSectorOrZeros(first + count - 1, stage.data() + stagedBytes) &&
               source.copyInto(stage.data(), stagedBytes + tailBytes) &&
               volume.writeSectors(first + direct, staged + 1, stage.data());
    });
}

ChainFit checkFileChain(const FatVolume& volume, uint32_t firstCluster, uint32_t size) {
    const uint64_t bps = volume.bytesPerSector();
    uint64_t sectors = 0;
    uint64_t end = 0;
    uint32_t cluster = firstCluster;
    for (uint32_t walked = 0; volume.isDataCluster(cluster) && walked < volume.maxChainLength();
         ++walked) {
        sectors += volume.sectorsPerCluster();
        end = std::max<uint64_t>(end, volume.clusterToSector(cluster) + volume.sectorsPerCluster());
        cluster = volume.getFatEntry(cluster);
    }
    // The whole chain is looked at, as a file opened for reading reads it whole.
    if (sectors > 0 && !volume.imageHolds(std::max(sectors, end) * bps)) {
        return ChainFit::Unreadable;
    }
    return size > sectors * bps ? ChainFit::TooShort : ChainFit::Holds;
}

bool readFileData(const FatVolume& volume, uint32_t firstCluster, uint32_t size, DataSink& sink) {
    const uint32_t bps = volume.bytesPerSector();
    uint64_t left = size;
    return forEachRun(
        volume, firstCluster, sectorsFor(volume, size), [&](uint32_t first, uint32_t count, bool) {
            const size_t bytes =
                static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(count) * bps, left));
            left -= bytes;
            return volume.readSectorsTo(first, count, bytes, sink);
        });
}

}  // namespace fat12img
