#include "platform/image_lock.hpp"

#include <cerrno>
#include <string>
#include <utility>

#include "platform/file_open.hpp"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fat12img {

namespace {

// How often a waiting run tries again, and after how many tries it says that it waits.
constexpr unsigned kRetryMilliseconds = 20;
constexpr unsigned kTriesBeforeNotice = 50;
// An image that others keep creating and removing under this run is given up after this
// many attempts to open and lock it.
constexpr int kMaxAttempts = 100;

enum class LockTry : uint8_t { Locked, Busy, NoLocks, Failed };

#if defined(_WIN32)

// Windows byte-range locks are mandatory: the lock covers one byte far past any image, so
// that reads and writes through other handles of this run are not blocked by it.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

LockTry hostLock(std::FILE* file, bool shared, bool wait) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    OVERLAPPED where{};
    where.OffsetHigh = kLockOffsetHigh;
    const DWORD flags =
        (shared ? 0 : LOCKFILE_EXCLUSIVE_LOCK) | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (LockFileEx(handle, flags, 0, 1, 0, &where) != 0) {
        return LockTry::Locked;
    }
    switch (GetLastError()) {
        case ERROR_LOCK_VIOLATION:
        case ERROR_IO_PENDING:
            return LockTry::Busy;
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_FUNCTION:
            return LockTry::NoLocks;
        default:
            return LockTry::Failed;
    }
}

void pause() {
    Sleep(kRetryMilliseconds);
}

bool stillNamedBy(std::FILE* /*file*/, const char* /*path*/) {
    // A file that is open here cannot be removed or replaced on Windows.
    return true;
}

#else

LockTry hostLock(std::FILE* file, bool shared, bool wait) {
    const int operation = (shared ? LOCK_SH : LOCK_EX) | (wait ? 0 : LOCK_NB);
    while (flock(fileno(file), operation) != 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno == EWOULDBLOCK) {
            return LockTry::Busy;
        }
        // A network file system mounted without a lock service, or one that has no locks.
        if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOTSUP) {
            return LockTry::NoLocks;
        }
        return LockTry::Failed;
    }
    return LockTry::Locked;
}

void pause() {
    usleep(kRetryMilliseconds * 1000);
}

// Whether the path still names the file that was locked: while this run waited, another
// may have removed or replaced it.
bool stillNamedBy(std::FILE* file, const char* path) {
    struct stat held {};
    struct stat named {};
    return fstat(fileno(file), &held) == 0 && stat(path, &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

#endif

LockTry tryLock(std::FILE* file, bool shared, bool wait) {
    switch (faults::lockFault()) {
        case faults::Kind::NoLocks:
            return LockTry::NoLocks;
        case faults::Kind::LockFails:
            return LockTry::Failed;
        default:
            break;
    }
    return hostLock(file, shared, wait);
}

// Locks, waiting as long as another run holds the lock; after about a second of it, says
// so once per run.
LockTry lockWaiting(std::FILE* file, bool shared, void (*onWait)(), bool& noticed) {
    for (unsigned tries = 1;; ++tries) {
        const LockTry attempt = tryLock(file, shared, false);
        if (attempt != LockTry::Busy) {
            return attempt;
        }
        if (tries < kTriesBeforeNotice) {
            pause();
            continue;
        }
        if (!noticed) {
            onWait();
            noticed = true;
        }
        return tryLock(file, shared, true);
    }
}

LockOutcome outcomeOf(LockTry lock) {
    switch (lock) {
        case LockTry::Locked:
            return LockOutcome::Locked;
        case LockTry::NoLocks:
            return LockOutcome::Unlocked;
        default:
            return LockOutcome::Failed;
    }
}

enum class Creation : uint8_t { Created, NameTaken, Failed };

// Creates the missing image at path (at the end of its symbolic links) from writeImage,
// whole or not at all: the file gets the image's name only once it is complete and locked,
// so no other run ever sees it short or unlocked.
Creation createImage(const char* path, const ImageWriter& writeImage, OpenFile& created,
                     LockTry& lock) {
    const std::string target = finalTarget(path);
    if (target.empty()) {
        return Creation::Failed;
    }
    TemporaryFile image = TemporaryFile::beside(target, FileRole::Image, newFileMode());
    if (!image || !writeImage(image.get())) {
        return Creation::Failed;
    }
    // Nobody else knows the file yet, so the lock is free.
    lock = tryLock(image.get(), false, false);
    if (lock != LockTry::Locked && lock != LockTry::NoLocks) {
        return Creation::Failed;
    }
    switch (image.publishAs(target)) {
        case TemporaryFile::Publication::Done:
            created = image.release();
            return Creation::Created;
        case TemporaryFile::Publication::NameTaken:
            return Creation::NameTaken;
        case TemporaryFile::Publication::Failed:
            break;
    }
    return Creation::Failed;
}

}  // namespace

LockOutcome ImageLock::acquire(const char* path, void (*onWait)(),
                               const ImageWriter& writeNewImage) {
    release();
    bool noticed = false;
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        ImageAccess access = ImageAccess::Unusable;
        OpenFile file = openImageFile(path, access);
        LockTry lock = LockTry::Failed;
        if (access == ImageAccess::Missing) {
            switch (createImage(path, writeNewImage, file, lock)) {
                case Creation::Created:
                    file_ = std::move(file);
                    return outcomeOf(lock);
                case Creation::NameTaken:
                    continue;  // another run created it first: lock that one
                case Creation::Failed:
                    return LockOutcome::Failed;
            }
        }
        if (!file) {
            return LockOutcome::Failed;
        }
        lock = lockWaiting(file.get(), access == ImageAccess::ReadOnly, onWait, noticed);
        if (lock == LockTry::Failed) {
            return LockOutcome::Failed;
        }
        if (!stillNamedBy(file.get(), path)) {
            continue;  // removed or replaced while this run waited: start over
        }
        file_ = std::move(file);
        return outcomeOf(lock);
    }
    return LockOutcome::Failed;
}

void ImageLock::release() {
    file_ = OpenFile();
}

}  // namespace fat12img
