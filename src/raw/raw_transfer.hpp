#pragma once

#include <cstdint>

namespace fat12img {

// Raw transfers move whole 512-byte sectors, within the first 32 MB of both files.
namespace raw {
inline constexpr uint32_t kSectorSize = 512;
inline constexpr int64_t kMaxSectors = 65536;
inline constexpr int kMaxMegabytes = 32;
}  // namespace raw

// Copies num sectors from sector base of a host file to sector lba of the image, then
// mounts the image again; num 0 takes the host file's size. ch other than -1 fills short
// sectors with its low 8 bits.
bool cmdWrite(const char* hostPath, int32_t base, int32_t lba, int32_t num, int32_t ch);
// Copies num sectors (0 means 1) from sector lba of the open image to sector base of a new
// host file; the image stays as it was.
void cmdRead(const char* hostPath, int32_t base, int32_t lba, int32_t num);

}  // namespace fat12img
