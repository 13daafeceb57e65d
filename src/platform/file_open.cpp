#include "platform/file_open.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fat12img {

namespace {

// The temporary file that a signal stopping the run removes. The handler may only use what
// is safe in a signal handler: a fixed buffer, a flag, unlink and raise.
char interruptedPath[4096];
volatile std::sig_atomic_t haveInterruptedPath = 0;
bool cleanupInstalled = false;

#if !defined(_WIN32)

constexpr int kStoppingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ};

extern "C" void removeAndStop(int signal) {
    if (haveInterruptedPath != 0) {
        unlink(interruptedPath);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void installCleanup() {
    for (const int signal : kStoppingSignals) {
        struct sigaction previous {};
        // A signal the caller ignores (a shell's trap '' XFSZ) stays ignored.
        if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_DFL) {
            struct sigaction action {};
            action.sa_handler = removeAndStop;
            sigemptyset(&action.sa_mask);
            sigaction(signal, &action, nullptr);
        }
    }
}

// As many symbolic links as the host follows in one path before it gives up.
constexpr int kMaxLinkHops = 40;

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool hostRefusesWriting(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

// Every open asks not to wait: a FIFO without a writer opens at once, one without a reader
// fails at once (ENXIO), where a plain open would wait for the other end for ever.
constexpr int kOpenFlags = O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

// A descriptor opened without waiting, as a stream whose transfers wait as usual.
OpenFile adopt(int descriptor, const char* mode, FileRole role) {
    const int flags = fcntl(descriptor, F_GETFL);
    std::FILE* file = flags >= 0 && fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0
                          ? fdopen(descriptor, mode)
                          : nullptr;
    if (file == nullptr) {
        close(descriptor);
        return OpenFile();
    }
    std::setvbuf(file, nullptr, _IONBF, 0);
    return OpenFile(file, role);
}

#else

void installCleanup() {
    // Windows stops a console program from another thread: nothing is removed there.
}

#endif

}  // namespace

void removeIfInterrupted(const std::string& path) {
    haveInterruptedPath = 0;
    if (path.size() >= sizeof interruptedPath) {
        return;
    }
    std::memcpy(interruptedPath, path.c_str(), path.size() + 1);
    haveInterruptedPath = 1;
    if (!cleanupInstalled) {
        installCleanup();
        cleanupInstalled = true;
    }
}

void forgetRemoveIfInterrupted() {
    haveInterruptedPath = 0;
}

uint32_t newFileMode() {
#if defined(_WIN32)
    return 0666;
#else
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~static_cast<uint32_t>(mask);
#endif
}

std::string finalTarget(const char* path) {
#if defined(_WIN32)
    // Links there are rare and need privileges; the path is used as it is.
    return path;
#else
    namespace fs = std::filesystem;
    fs::path current = path;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(current, error))) {
            return current.string();
        }
        const fs::path link = fs::read_symlink(current, error);
        if (error) {
            return current.string();
        }
        current = link.is_absolute() ? link : current.parent_path() / link;
    }
    return {};
#endif
}

OpenFile openImageFile(const char* path, ImageAccess& access) {
    access = ImageAccess::ReadWrite;
#if defined(_WIN32)
    if (isHostDirectory(path)) {
        access = ImageAccess::Unusable;
        return OpenFile();
    }
    std::FILE* file = openFile(path, "rb+");
    if (file == nullptr && errno == EACCES) {
        access = ImageAccess::ReadOnly;
        file = openFile(path, "rb");
    }
    if (file == nullptr) {
        access = errno == ENOENT ? ImageAccess::Missing : ImageAccess::Unusable;
        return OpenFile();
    }
    return OpenFile(file, FileRole::Image);
#else
    int descriptor = open(path, O_RDWR | kOpenFlags);
    if (descriptor < 0 && hostRefusesWriting(errno)) {
        access = ImageAccess::ReadOnly;
        descriptor = open(path, O_RDONLY | kOpenFlags);
    }
    if (descriptor < 0) {
        access = errno == ENOENT ? ImageAccess::Missing : ImageAccess::Unusable;
        return OpenFile();
    }
    // An image is read and written at any position: a regular file or a disk.
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !(S_ISREG(status.st_mode) || S_ISBLK(status.st_mode))) {
        close(descriptor);
        access = ImageAccess::Unusable;
        return OpenFile();
    }
    return adopt(descriptor, access == ImageAccess::ReadOnly ? "rb" : "rb+", FileRole::Image);
#endif
}

OpenFile openHostFileForReading(const char* path) {
    std::optional<uint64_t> size;
    return openHostFileForReading(path, size);
}

OpenFile openHostFileForReading(const char* path, std::optional<uint64_t>& size) {
    size.reset();
#if defined(_WIN32)
    if (isHostDirectory(path)) {
        return OpenFile();
    }
    OpenFile file = OpenFile::open(path, "rb", FileRole::Host);
    if (file) {
        size = fileSize(file.get());
    }
    return file;
#else
    const int descriptor = open(path, O_RDONLY | kOpenFlags);
    if (descriptor < 0) {
        return OpenFile();
    }
    // A directory holds no bytes; a FIFO or a socket would be read from another process,
    // which may never write.
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode) || S_ISFIFO(status.st_mode) ||
        S_ISSOCK(status.st_mode)) {
        close(descriptor);
        return OpenFile();
    }
    if (S_ISREG(status.st_mode)) {
        // Not waiting changes nothing for a regular file: it stays as opened.
        std::FILE* file = fdopen(descriptor, "rb");
        if (file == nullptr) {
            close(descriptor);
            return OpenFile();
        }
        std::setvbuf(file, nullptr, _IONBF, 0);
        size = static_cast<uint64_t>(status.st_size);
        return OpenFile(file, FileRole::Host);
    }
    OpenFile file = adopt(descriptor, "rb", FileRole::Host);
    if (file && !S_ISCHR(status.st_mode)) {
        size = fileSize(file.get());
    }
    return file;
#endif
}

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : file_(std::move(other.file_)), name_(std::move(other.name_)) {
    other.name_.clear();
}

TemporaryFile& TemporaryFile::operator=(TemporaryFile&& other) noexcept {
    if (this != &other) {
        abandon();
        file_ = std::move(other.file_);
        name_ = std::move(other.name_);
        other.name_.clear();
    }
    return *this;
}

TemporaryFile TemporaryFile::beside(const std::string& target, FileRole role, uint32_t mode) {
    TemporaryFile temporary;
#if defined(_WIN32)
    (void)mode;
    std::string name = target + ".fat12img-" + std::to_string(GetCurrentProcessId());
    // Shared for deletion, so that it can be renamed while this run holds it open.
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return temporary;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), 0);
    std::FILE* file = descriptor >= 0 ? _fdopen(descriptor, "w+b") : nullptr;
    if (file == nullptr) {
        descriptor >= 0 ? _close(descriptor) : CloseHandle(handle);
        DeleteFileA(name.c_str());
        return temporary;
    }
#else
    std::string name = directoryOf(target) + "/.fat12img-XXXXXX";
    const int descriptor = mkstemp(name.data());
    if (descriptor < 0) {
        return temporary;
    }
    // mkstemp gives 0600; the file is to look like the one it stands for.
    fchmod(descriptor, static_cast<mode_t>(mode));
    std::FILE* file = fdopen(descriptor, "w+b");
    if (file == nullptr) {
        ::close(descriptor);
        unlink(name.c_str());
        return temporary;
    }
#endif
    std::setvbuf(file, nullptr, _IONBF, 0);
    temporary.file_ = OpenFile(file, role);
    temporary.name_ = std::move(name);
    removeIfInterrupted(temporary.name_);
    return temporary;
}

bool TemporaryFile::replace(const std::string& target) {
    if (!close()) {
        abandon();
        return false;
    }
#if defined(_WIN32)
    const bool renamed = MoveFileExA(name_.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    const bool renamed = std::rename(name_.c_str(), target.c_str()) == 0;
#endif
    if (!renamed) {
        abandon();
        return false;
    }
    name_.clear();
    forgetRemoveIfInterrupted();
    return true;
}

TemporaryFile::Publication TemporaryFile::publishAs(const std::string& target) {
#if defined(_WIN32)
    if (MoveFileExA(name_.c_str(), target.c_str(), 0) == 0) {
        const DWORD error = GetLastError();
        return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? Publication::NameTaken
                                                                           : Publication::Failed;
    }
#else
    if (link(name_.c_str(), target.c_str()) != 0) {
        if (errno == EEXIST) {
            return Publication::NameTaken;
        }
        // A file system without hard links (FAT, some network ones) may still rename
        // without replacing.
        if (renameat2(AT_FDCWD, name_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
            return errno == EEXIST ? Publication::NameTaken : Publication::Failed;
        }
    } else {
        unlink(name_.c_str());
    }
#endif
    name_.clear();
    forgetRemoveIfInterrupted();
    return Publication::Done;
}

OpenFile TemporaryFile::release() {
    return std::move(file_);
}

void TemporaryFile::abandon() {
    file_ = OpenFile();
    if (!name_.empty()) {
        std::remove(name_.c_str());
        name_.clear();
        forgetRemoveIfInterrupted();
    }
}

HostReplacement HostReplacement::open(const char* path) {
    HostReplacement out;
    const std::string target = path[0] == '\0' ? std::string() : finalTarget(path);
    if (target.empty()) {
        return out;
    }
#if defined(_WIN32)
    const DWORD attributes = GetFileAttributesA(target.c_str());
    const bool missing =
        attributes == INVALID_FILE_ATTRIBUTES && (GetLastError() == ERROR_FILE_NOT_FOUND);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
        return out;  // what "wb" refuses too
    }
    const bool regular = missing || (attributes != INVALID_FILE_ATTRIBUTES &&
                                     (attributes & FILE_ATTRIBUTE_DEVICE) == 0);
    if (regular) {
        out.temporary_ = TemporaryFile::beside(target, FileRole::Host, newFileMode());
        out.target_ = target;
        return out;
    }
    out.direct_ = OpenFile::open(target.c_str(), "wb", FileRole::Host);
    return out;
#else
    struct stat status {};
    const bool exists = stat(target.c_str(), &status) == 0;
    if (exists && S_ISDIR(status.st_mode)) {
        return out;
    }
    if (!exists || S_ISREG(status.st_mode)) {
        // Renaming over a file needs no right to write it; replacing it must.
        if (exists && access(target.c_str(), W_OK) != 0) {
            return out;
        }
        const uint32_t mode = exists ? status.st_mode & 07777 : newFileMode();
        out.temporary_ = TemporaryFile::beside(target, FileRole::Host, mode);
        out.target_ = target;
        if (out.temporary_ || !exists || (errno != EACCES && errno != EPERM)) {
            return out;
        }
        // A file that may be written where no file may be created: written in place.
        out.directRegular_ = true;
    }
    const int descriptor =
        ::open(target.c_str(), O_WRONLY | kOpenFlags | (out.directRegular_ ? O_TRUNC : 0));
    if (descriptor >= 0) {
        out.direct_ = adopt(descriptor, "wb", FileRole::Host);
    }
    if (!out.direct_) {
        out.directRegular_ = false;
    }
    return out;
#endif
}

bool HostReplacement::commit() {
    if (temporary_) {
        return temporary_.replace(target_);
    }
    const bool closed = direct_.close();
    if (!closed && directRegular_) {
        removeIncompleteHostFile(target_.c_str());
    }
    directRegular_ = false;
    return closed;
}

void HostReplacement::abandon() {
    temporary_.abandon();
    if (direct_) {
        direct_ = OpenFile();
        if (directRegular_) {
            removeIncompleteHostFile(target_.c_str());
        }
    }
    directRegular_ = false;
}

}  // namespace fat12img
