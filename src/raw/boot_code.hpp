#pragma once

#include <optional>

#include "volume/byte_buffer.hpp"
#include "volume/geometry.hpp"

namespace fat12img {

// Reads the boot code of a host file for the mounted volume of geometry g, while the image
// is still open, and checks it: at least one sector of 512 bytes, a jump at its start, 55
// AA at its end, and no longer than the reserved sectors. Prints the refusal and gives
// none.
std::optional<ByteBuffer> readBootCode(const char* hostPath, const Geometry& g);

// Writes the code over the start of the image file at imagePath, which the caller has
// closed and mounts again afterwards, keeping the image's own parameter block (bytes 11
// to 61). A failed write puts the old bytes back. imageClosed says whether that close
// succeeded; with syncWrites (--sync) the code is on the disk before the image is closed,
// and a failed wait for it counts as a failed write. Prints what failed; true when nothing
// did.
bool cmdBoot(const ByteBuffer& code, const char* imagePath, bool imageClosed, bool syncWrites);

}  // namespace fat12img
