#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fat12img {

// What a host path names once links are followed.
enum class HostKind : uint8_t {
    Missing,
    File,
    Directory,
    Special,       // a FIFO, a socket, a device
    DanglingLink,  // a link to nothing
    LinkLoop,      // links that lead back to themselves
};

struct HostEntry {
    HostKind kind = HostKind::Missing;
    uint64_t size = 0;  // a file's
};

HostEntry inspectHostPath(const std::string& path);
bool hostFileReadable(const std::string& path);
// The names in a host directory, in the host's order; false when it cannot be read.
bool listHostDirectory(const std::string& path, std::vector<std::string>& names);
// The path with every link and dot resolved, to tell a directory from its ancestors; empty
// when it cannot be had.
std::string resolvedHostPath(const std::string& path);
// Whether anything at all stands at the path, a dangling link included.
bool hostPathTaken(const std::string& path);
std::string joinHostPath(const std::string& directory, const std::string& name);
// The directory part and the last name of a host path ("." for a path without one).
std::string hostParent(const std::string& path);
std::string hostLastName(const std::string& path);
bool makeHostDirectory(const std::string& path);
// Renames a directory the tool made; false when the target is taken.
bool renameHostDirectory(const std::string& from, const std::string& to);
// Removes a tree this run made; links inside it are removed, never followed.
void removeHostTree(const std::string& path);
// What two names have in common when they name the same entry of one host directory
// (Windows folds the case of ASCII letters).
std::string hostNameKey(const std::string& name);
// The single-byte characters no host file name may hold, besides control bytes.
const char* hostReservedNameBytes();

}  // namespace fat12img
