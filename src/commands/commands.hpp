#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "volume/byte_buffer.hpp"
#include "volume/data_source.hpp"

namespace fat12img {

// The file-system commands. They run only with a mounted volume and a current directory,
// print only on failure (ls prints its listing) and release everything they obtain.
void cmdLs(int count, char** parameters);
void cmdCd(const char* path);
void cmdMkdir(const char* path);
void cmdRmdir(const char* path);
void cmdTouch(const char* path);
void cmdRm(const char* path);
void cmdMv(const char* source, const char* destination);
void cmdCp(const char* source, const char* destination);
// cp -r: a whole tree, between host and image or inside the image, in one operation. A
// plain file is copied as cp copies it.
void cmdCpTree(const char* source, const char* destination);

// An argument whose first byte is the apostrophe names a host file; the rest of it is the
// host path. Anything else is a path in the image.
inline constexpr char kHostFileMark = '\'';

bool copyFile(const char* source, const char* destination);
std::optional<ByteBuffer> readSourceFile(const char* argument);
std::optional<ByteBuffer> readHostFile(const char* hostPath);
std::optional<ByteBuffer> readImageFile(const char* path);
bool writeDestinationFile(const char* argument, const ByteBuffer& data);
bool writeHostFile(const char* hostPath, const ByteBuffer& data);
bool writeImageFile(const char* path, const ByteBuffer& data);
// `sourceReadFailed` tells, after a failed write, that the source could not be read.
bool writeImageFile(const char* path, DataSource& source, uint32_t length,
                    const bool& sourceReadFailed);
// The copies between the host and the image, streamed.
bool copyHostFileIn(const char* hostPath, const char* imagePath);
bool copyImageFileOut(const char* imagePath, const char* hostPath);

}  // namespace fat12img
