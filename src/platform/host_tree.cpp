#include "platform/host_tree.hpp"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fat12img {

namespace fs = std::filesystem;

HostEntry inspectHostPath(const std::string& path) {
#if !defined(_WIN32)
    // One call where the host allows it: a tree copy asks this of every file.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ELOOP) {
            return {HostKind::LinkLoop, 0};
        }
        struct stat link {};
        const bool dangling = ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
        return {dangling ? HostKind::DanglingLink : HostKind::Missing, 0};
    }
    if (S_ISREG(st.st_mode)) {
        return {HostKind::File, static_cast<uint64_t>(st.st_size)};
    }
    return {S_ISDIR(st.st_mode) ? HostKind::Directory : HostKind::Special, 0};
#else
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (error == std::errc::too_many_symbolic_link_levels) {
        return {HostKind::LinkLoop, 0};
    }
    if (status.type() == fs::file_type::not_found || error) {
        std::error_code linkError;
        const bool link = fs::is_symlink(fs::symlink_status(path, linkError));
        return {link && !linkError ? HostKind::DanglingLink : HostKind::Missing, 0};
    }
    switch (status.type()) {
        case fs::file_type::regular: {
            const uintmax_t size = fs::file_size(path, error);
            return {HostKind::File, error ? 0 : static_cast<uint64_t>(size)};
        }
        case fs::file_type::directory:
            return {HostKind::Directory, 0};
        default:
            return {HostKind::Special, 0};
    }
#endif
}

bool hostFileReadable(const std::string& path) {
#if !defined(_WIN32)
    return ::access(path.c_str(), R_OK) == 0;
#else
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file != nullptr) {
        std::fclose(file);
    }
    return file != nullptr;
#endif
}

bool listHostDirectory(const std::string& path, std::vector<std::string>& names) {
    std::error_code error;
    fs::directory_iterator it(path, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    return !error;
}

std::string resolvedHostPath(const std::string& path) {
    std::error_code error;
    const fs::path resolved = fs::canonical(path, error);
    return error ? std::string() : resolved.string();
}

bool hostPathTaken(const std::string& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

std::string joinHostPath(const std::string& directory, const std::string& name) {
#if defined(_WIN32)
    constexpr char kSeparator = '\\';
#else
    constexpr char kSeparator = '/';
#endif
    const bool separated =
        !directory.empty() && (directory.back() == '/' || directory.back() == kSeparator);
    return separated ? directory + name : directory + kSeparator + name;
}

std::string hostParent(const std::string& path) {
    const fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

std::string hostLastName(const std::string& path) {
    fs::path p(path);
    if (!p.has_filename()) {
        p = p.parent_path();  // a trailing separator
    }
    return p.filename().string();
}

bool makeHostDirectory(const std::string& path) {
    std::error_code error;
    return fs::create_directory(path, error) && !error;
}

bool renameHostDirectory(const std::string& from, const std::string& to) {
    if (hostPathTaken(to)) {
        return false;
    }
    std::error_code error;
    fs::rename(from, to, error);
    return !error;
}

void removeHostTree(const std::string& path) {
    std::error_code error;
    fs::remove_all(path, error);
}

std::string hostNameKey(const std::string& name) {
#if defined(_WIN32)
    std::string key = name;
    for (size_t i = 0; i < key.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(key[i]);
        if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
            ++i;  // the second byte of a double-byte character stays as it is
        } else if (c >= 'a' && c <= 'z') {
            key[i] = static_cast<char>(c - ('a' - 'A'));
        }
    }
    return key;
#else
    return name;
#endif
}

const char* hostReservedNameBytes() {
#if defined(_WIN32)
    return "/\\:*?\"<>|";
#else
    return "/";
#endif
}

}  // namespace fat12img
