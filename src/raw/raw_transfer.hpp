#pragma once

#include <cstdint>
#include <optional>

#include "platform/file_io.hpp"
#include "volume/image_device.hpp"

namespace fat12img {

// Raw transfers move whole 512-byte sectors, within the first 32 MB of both files.
namespace raw {
inline constexpr uint32_t kSectorSize = 512;
inline constexpr int64_t kMaxSectors = 65536;
inline constexpr int kMaxMegabytes = 32;
}  // namespace raw

// The key=value parameters of write and read.
struct RawParameters {
    int32_t base = 0;  // first sector of the host file
    int32_t lba = 0;   // first sector of the image
    int32_t num = 0;   // sectors to move; 0 means the host file's size (write) or 1 (read)
    int32_t ch = -1;   // write: the byte that fills a short last sector, -1 for none
};

// The host side of a write, opened and measured while the image is still mounted, so
// that a refusal leaves the shell as it was.
struct SectorSource {
    OpenFile host;
    int64_t count = 0;
    // A host file that is the image itself is read whole before anything is written.
    bool hostIsImage = false;
};

// Checks the limits and opens the host file of a write; prints the refusal and gives none.
std::optional<SectorSource> openSectorSource(const char* hostPath, const RawParameters& p,
                                             const char* imagePath);
// Copies the source's sectors into the image file at imagePath, which the caller has
// closed and mounts again afterwards; imageClosed says whether that close succeeded (a
// failed one may be a lost write to report); with syncWrites (--sync) the sectors are on
// the disk before the image is closed. Prints what failed; true when nothing did.
bool cmdWrite(SectorSource& source, const RawParameters& p, const char* imagePath, bool imageClosed,
              bool syncWrites);
// Copies num sectors (0 means 1) from sector lba of the open image to sector base of a new
// host file; the image stays as it was.
void cmdRead(const char* hostPath, const RawParameters& p, ImageDevice& image,
             const char* imagePath);

}  // namespace fat12img
