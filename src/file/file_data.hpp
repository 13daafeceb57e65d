#pragma once

#include <cstdint>

#include "volume/data_source.hpp"
#include "volume/fat_volume.hpp"

namespace fat12img {

// The one way file data reaches the image: `size` bytes of `source`, in order, into the
// chain that starts at firstCluster, clusters that are free on the image (a new file's),
// one write per run of sectors that follow each other on the image. The file's last sector
// keeps the image's bytes after the end of the file. False when the chain is too short or
// a transfer fails.
bool writeFileData(FatVolume& volume, uint32_t firstCluster, uint32_t size, DataSource& source);

// Whether the chain from firstCluster can be read as a file of `size` bytes: every sector
// it claims lies inside the image (Unreadable otherwise, as for a cycle that claims more
// than the image holds), and it holds at least `size` bytes (TooShort otherwise).
enum class ChainFit : uint8_t { Holds, TooShort, Unreadable };
ChainFit checkFileChain(const FatVolume& volume, uint32_t firstCluster, uint32_t size);

// The way out: the first `size` bytes of the chain, in order, to `sink`, one transfer per
// run of adjacent sectors, nothing held in memory on the way. The chain must have passed
// checkFileChain. False when a transfer fails.
bool readFileData(const FatVolume& volume, uint32_t firstCluster, uint32_t size, DataSink& sink);

}  // namespace fat12img
