#include "file/file_data.hpp"

#include <algorithm>
#include <new>
#include <vector>

namespace fat12img {

namespace {

// How much of a file's last run is copied to travel with its partial last sector.
constexpr uint32_t kStagedSectors = 64;

}  // namespace

bool writeFileData(FatVolume& volume, uint32_t firstCluster, uint32_t size, DataSource& source) {
    const uint32_t bps = volume.bytesPerSector();
    const uint32_t spc = volume.sectorsPerCluster();
    const uint32_t needed = static_cast<uint32_t>((static_cast<uint64_t>(size) + bps - 1) / bps);
    std::vector<uint32_t> sectors;
    try {
        sectors.reserve(needed);
    } catch (const std::bad_alloc&) {
        return false;
    }
    uint32_t cluster = firstCluster;
    for (uint32_t walked = 0; sectors.size() < needed && volume.isDataCluster(cluster) &&
                              walked < volume.maxChainLength();
         ++walked) {
        const uint32_t first = volume.clusterToSector(cluster);
        for (uint32_t j = 0; j < spc && sectors.size() < needed; ++j) {
            sectors.push_back(first + j);
        }
        cluster = volume.getFatEntry(cluster);
    }
    if (sectors.size() < needed) {
        return false;
    }
    // The last sector keeps the image's bytes after the end of the file (zeros where an
    // image cut short has none), so it is the one sector read; it travels with the end of
    // its run through a small buffer.
    const uint32_t tailBytes = size % bps;
    for (uint32_t i = 0; i < needed;) {
        uint32_t end = i + 1;
        while (end < needed && sectors[end] == sectors[end - 1] + 1) {
            ++end;
        }
        const bool endsInTail = tailBytes != 0 && end == needed;
        const uint32_t staged = endsInTail ? std::min(end - 1 - i, kStagedSectors) : 0;
        const uint32_t direct = endsInTail ? end - 1 - i - staged : end - i;
        if (direct > 0 && !volume.writeSectorsFrom(sectors[i], direct, source)) {
            return false;
        }
        if (endsInTail) {
            ByteBuffer stage;
            try {
                stage.resize(static_cast<size_t>(staged + 1) * bps);
            } catch (const std::bad_alloc&) {
                return false;
            }
            const size_t stagedBytes = static_cast<size_t>(staged) * bps;
            return volume.readSectorOrZeros(sectors[needed - 1], stage.data() + stagedBytes) &&
                   source.copyInto(stage.data(), stagedBytes + tailBytes) &&
                   volume.writeSectors(sectors[i + direct], staged + 1, stage.data());
        }
        i = end;
    }
    return true;
}

}  // namespace fat12img
