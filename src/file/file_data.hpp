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

}  // namespace fat12img
