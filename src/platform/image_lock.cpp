#include "platform/image_lock.hpp"

#include <cerrno>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fat12img {

namespace {

// How often a waiting run tries again, and after how many tries it says that it waits.
constexpr unsigned kRetryMilliseconds = 20;
constexpr unsigned kTriesBeforeNotice = 50;

}  // namespace

#if defined(_WIN32)

namespace {

// Windows byte-range locks are mandatory: the lock covers one byte far past any image, so
// that reads and writes through other handles of this run are not blocked by it.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

bool tryLock(HANDLE handle, bool wait) {
    OVERLAPPED where{};
    where.OffsetHigh = kLockOffsetHigh;
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    return LockFileEx(handle, flags, 0, 1, 0, &where) != 0;
}

HANDLE openShared(const char* path, DWORD disposition) {
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool ImageLock::acquire(const char* path, void (*onWait)()) {
    release();
    bool noticed = false;
    for (;;) {
        HANDLE handle = openShared(path, OPEN_EXISTING);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
            // Created under a temporary name and locked before it takes the image's name:
            // no other run can see the new file unlocked.
            const std::string temporary =
                std::string(path) + ".lock-" + std::to_string(GetCurrentProcessId());
            // Read access is all the lock needs; more would keep this run's own handles
            // (which do not share deletion) from opening the image.
            HANDLE fresh = CreateFileA(temporary.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (fresh == INVALID_HANDLE_VALUE) {
                return false;
            }
            if (tryLock(fresh, true) && MoveFileExA(temporary.c_str(), path, 0) != 0) {
                handle_ = fresh;
                created_ = true;
                return true;
            }
            CloseHandle(fresh);
            DeleteFileA(temporary.c_str());
            continue;  // another run created it first: lock that one
        }
        if (handle == INVALID_HANDLE_VALUE) {
            return false;
        }
        for (unsigned tries = 1; !tryLock(handle, false); ++tries) {
            if (tries < kTriesBeforeNotice) {
                Sleep(kRetryMilliseconds);
                continue;
            }
            if (!noticed) {
                onWait();
                noticed = true;
            }
            if (!tryLock(handle, true)) {
                CloseHandle(handle);
                return false;
            }
            break;
        }
        handle_ = handle;
        return true;
    }
}

void ImageLock::release() {
    if (handle_ != nullptr) {
        CloseHandle(static_cast<HANDLE>(handle_));
        handle_ = nullptr;
    }
    created_ = false;
}

#else

namespace {

bool lockNow(int descriptor) {
    while (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool lockWaiting(int descriptor) {
    while (flock(descriptor, LOCK_EX) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates the missing image already locked: a temporary file in the image's directory is
// locked and then linked under the image's name, which fails if another run was first.
// -1 with errno EEXIST when another run was first.
int createLocked(const char* path) {
    std::string temporary = directoryOf(path) + "/.fat12img-XXXXXX";
    const int descriptor = mkstemp(temporary.data());
    if (descriptor < 0) {
        // No temporary file can be made there: create the image itself, which leaves a
        // moment in which another run could find it empty and unlocked.
        const int direct = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (direct >= 0 && !lockWaiting(direct)) {
            close(direct);
            return -1;
        }
        return direct;
    }
    // mkstemp gives 0600; an image is an ordinary file that the umask governs.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(descriptor, 0666 & ~mask);
    const bool linked = lockWaiting(descriptor) && link(temporary.c_str(), path) == 0;
    const int linkError = errno;
    unlink(temporary.c_str());
    if (!linked) {
        close(descriptor);
        errno = linkError;
        return -1;
    }
    return descriptor;
}

bool stillNamedBy(int descriptor, const char* path) {
    struct stat held {};
    struct stat named {};
    return fstat(descriptor, &held) == 0 && stat(path, &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

bool ImageLock::acquire(const char* path, void (*onWait)()) {
    release();
    bool noticed = false;
    for (;;) {
        int descriptor = open(path, O_RDONLY | O_CLOEXEC);
        if (descriptor < 0 && errno == ENOENT) {
            descriptor = createLocked(path);
            if (descriptor >= 0) {
                descriptor_ = descriptor;
                created_ = true;
                return true;
            }
            if (errno == EEXIST) {
                continue;  // another run created it first: lock that one
            }
            return false;
        }
        if (descriptor < 0) {
            return false;
        }
        for (unsigned tries = 1; !lockNow(descriptor); ++tries) {
            if (errno != EWOULDBLOCK) {
                close(descriptor);
                return false;
            }
            if (tries < kTriesBeforeNotice) {
                usleep(kRetryMilliseconds * 1000);
                continue;
            }
            if (!noticed) {
                onWait();
                noticed = true;
            }
            if (!lockWaiting(descriptor)) {
                close(descriptor);
                return false;
            }
            break;
        }
        // A run that created the image and failed to format it removes it again: the
        // lock then sits on a file that has no name any more, so start over.
        if (!stillNamedBy(descriptor, path)) {
            close(descriptor);
            continue;
        }
        descriptor_ = descriptor;
        return true;
    }
}

void ImageLock::release() {
    if (descriptor_ >= 0) {
        close(descriptor_);
        descriptor_ = -1;
    }
    created_ = false;
}

#endif

}  // namespace fat12img
