#include "platform/file_io.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <new>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

namespace fat12img {

namespace {

struct FaultState {
    faults::Plan plan;
    faults::Counts counts;
    bool fired = false;
    std::vector<faults::ImageEvent> recorded;
};

FaultState faultState;

uint32_t& writeCounter(FileRole role) {
    return role == FileRole::Image ? faultState.counts.imageWrites : faultState.counts.hostWrites;
}

uint32_t& readCounter(FileRole role) {
    return role == FileRole::Image ? faultState.counts.imageReads : faultState.counts.hostReads;
}

enum class WriteFate : uint8_t { Normal, Fail, Short, Vanish };

WriteFate nextWriteFate(FileRole role) {
    const uint32_t number = ++writeCounter(role);
    const faults::Plan& plan = faultState.plan;
    if (plan.kind == faults::Kind::None || plan.role != role) {
        return WriteFate::Normal;
    }
    switch (plan.kind) {
        case faults::Kind::FailOnce:
            if (number == plan.at) {
                faultState.fired = true;
                return WriteFate::Fail;
            }
            break;
        case faults::Kind::StayFull:
            if (number >= plan.at) {
                faultState.fired = true;
                return WriteFate::Fail;
            }
            break;
        case faults::Kind::ShortWrite:
            if (number == plan.at) {
                faultState.fired = true;
                return WriteFate::Short;
            }
            break;
        case faults::Kind::PowerCut:
            if (number > plan.at) {
                faultState.fired = true;
                return WriteFate::Vanish;
            }
            break;
        default:
            break;
    }
    return WriteFate::Normal;
}

int64_t currentPosition(std::FILE* file) {
#if defined(_WIN32)
    return _ftelli64(file);
#else
    return ftello(file);
#endif
}

// Keeps what reached the image for a test that rebuilds the states a crash may leave.
void recordImageWrite(FileRole role, uint64_t offset, const void* bytes, size_t length) {
    if (!faultState.plan.record || role != FileRole::Image || length == 0) {
        return;
    }
    const auto* begin = static_cast<const uint8_t*>(bytes);
    faultState.recorded.push_back({false, offset, std::vector<uint8_t>(begin, begin + length)});
}

bool nextReadFails(FileRole role) {
    const uint32_t number = ++readCounter(role);
    const faults::Plan& plan = faultState.plan;
    if (plan.kind == faults::Kind::FailRead && plan.role == role && number == plan.at) {
        faultState.fired = true;
        return true;
    }
    return false;
}

}  // namespace

ReadOutcome readBlock(std::FILE* file, void* buffer, size_t length, FileRole role,
                      size_t* bytesRead) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    if (nextReadFails(role)) {
        return ReadOutcome::Failed;
    }
    const size_t n = length == 0 ? 0 : std::fread(buffer, 1, length, file);
    if (bytesRead != nullptr) {
        *bytesRead = n;
    }
    if (n == length) {
        return ReadOutcome::Whole;
    }
    return std::ferror(file) != 0 ? ReadOutcome::Failed : ReadOutcome::EndOfFile;
}

bool writeBlock(std::FILE* file, const void* buffer, size_t length, FileRole role) {
    switch (nextWriteFate(role)) {
        case WriteFate::Fail:
            return false;
        case WriteFate::Short:
            std::fwrite(buffer, 1, length / 2, file);
            return false;
        case WriteFate::Vanish:
            // Nothing reaches the file, but the stream moves on as if it had.
            return std::fseek(file, static_cast<long>(length), SEEK_CUR) == 0;
        case WriteFate::Normal:
            break;
    }
    const bool recorded = faultState.plan.record && role == FileRole::Image;
    const int64_t position = recorded ? currentPosition(file) : 0;
    const size_t written = length == 0 ? 0 : std::fwrite(buffer, 1, length, file);
    recordImageWrite(role, static_cast<uint64_t>(position), buffer, written);
    return written == length;
}

namespace {

// One positional transfer, repeated until everything moved, the file ended (reads) or the
// host reported an error; gives the bytes moved.
template <typename Transfer>
size_t transferAt(Transfer transfer, uint64_t offset, size_t length, bool& failed) {
    size_t done = 0;
    failed = false;
    while (done < length) {
        const auto n = transfer(done, offset + done, length - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            failed = true;
            break;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

}  // namespace

ReadOutcome readBlockAt(std::FILE* file, uint64_t offset, void* buffer, size_t length,
                        FileRole role, size_t* bytesRead) {
#if defined(_WIN32)
    if (!seekFile(file, offset)) {
        if (bytesRead != nullptr) {
            *bytesRead = 0;
        }
        return ReadOutcome::Failed;
    }
    return readBlock(file, buffer, length, role, bytesRead);
#else
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    if (nextReadFails(role)) {
        return ReadOutcome::Failed;
    }
    bool failed = false;
    const int descriptor = fileno(file);
    const size_t n = transferAt(
        [&](size_t done, uint64_t at, size_t rest) {
            return pread(descriptor, static_cast<uint8_t*>(buffer) + done, rest,
                         static_cast<off_t>(at));
        },
        offset, length, failed);
    if (bytesRead != nullptr) {
        *bytesRead = n;
    }
    if (failed) {
        return ReadOutcome::Failed;
    }
    return n == length ? ReadOutcome::Whole : ReadOutcome::EndOfFile;
#endif
}

bool writeBlockAt(std::FILE* file, uint64_t offset, const void* buffer, size_t length,
                  FileRole role) {
#if defined(_WIN32)
    return seekFile(file, offset) && writeBlock(file, buffer, length, role);
#else
    const WriteFate fate = nextWriteFate(role);
    if (fate == WriteFate::Fail) {
        return false;
    }
    if (fate == WriteFate::Vanish) {
        return true;
    }
    const size_t wanted = fate == WriteFate::Short ? length / 2 : length;
    bool failed = false;
    const int descriptor = fileno(file);
    const size_t n = transferAt(
        [&](size_t done, uint64_t at, size_t rest) {
            return pwrite(descriptor, static_cast<const uint8_t*>(buffer) + done, rest,
                          static_cast<off_t>(at));
        },
        offset, wanted, failed);
    recordImageWrite(role, offset, buffer, n);
    return fate == WriteFate::Normal && !failed && n == length;
#endif
}

uint8_t* CopyBuffer::data() {
    if (!bytes_) {
        bytes_.reset(new (std::nothrow) uint8_t[kBytes]);
    }
    return bytes_.get();
}

namespace {

// A transfer of one side of a copy, unchecked by the fault plan: the copy was checked as a
// whole. `at` counts from the side's offset; a side without one moves from its position.
// Gives the bytes moved; `failed` when the host reported an error.
size_t readSide(const CopyEnd& side, uint64_t at, uint8_t* buffer, size_t length, bool& failed) {
#if defined(_WIN32)
    failed = side.offset && !seekFile(side.file, *side.offset + at);
    const size_t n = failed ? 0 : std::fread(buffer, 1, length, side.file);
    failed = failed || (n < length && std::ferror(side.file) != 0);
    return n;
#else
    const int descriptor = fileno(side.file);
    return transferAt(
        [&](size_t done, uint64_t position, size_t rest) {
            return side.offset
                       ? pread(descriptor, buffer + done, rest, static_cast<off_t>(position))
                       : read(descriptor, buffer + done, rest);
        },
        side.offset.value_or(0) + at, length, failed);
#endif
}

bool writeSide(const CopyEnd& side, uint64_t at, const uint8_t* buffer, size_t length) {
#if defined(_WIN32)
    const bool written = (!side.offset || seekFile(side.file, *side.offset + at)) &&
                         std::fwrite(buffer, 1, length, side.file) == length;
    if (written && side.offset) {
        recordImageWrite(side.role, *side.offset + at, buffer, length);
    }
    return written;
#else
    bool failed = false;
    const int descriptor = fileno(side.file);
    const size_t n = transferAt(
        [&](size_t done, uint64_t position, size_t rest) {
            return side.offset
                       ? pwrite(descriptor, buffer + done, rest, static_cast<off_t>(position))
                       : write(descriptor, buffer + done, rest);
        },
        side.offset.value_or(0) + at, length, failed);
    if (side.offset) {
        recordImageWrite(side.role, *side.offset + at, buffer, n);
    }
    return !failed && n == length;
#endif
}

// A side without an offset moves on as if `length` bytes had passed through it.
bool skipSide(const CopyEnd& side, uint64_t length) {
    return side.offset || length == 0 ||
#if defined(_WIN32)
           _fseeki64(side.file, static_cast<int64_t>(length), SEEK_CUR) == 0;
#else
           lseek(fileno(side.file), static_cast<off_t>(length), SEEK_CUR) >= 0;
#endif
}

#if defined(__linux__)
// What copy_file_range says when it does not copy between these two files at all, as
// opposed to a transfer that failed.
bool hostRefusesCopy(int error) {
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
           error == EBADF || error == EPERM || error == ETXTBSY || error == EISDIR ||
           error == ESPIPE;
}
#endif

// Moves bytes [at, at + length) of the copy; the host's copy first, the buffer for what it
// leaves. A failure of the host's copy is found out again through the buffer, which tells
// a failed read from a failed write. `moved` counts what reached the destination.
CopyOutcome moveBytes(const CopyEnd& from, const CopyEnd& to, uint64_t at, uint64_t length,
                      CopyBuffer& buffer, uint64_t& moved) {
    moved = 0;
#if defined(__linux__)
    while (buffer.hostCopies && moved < length) {
        loff_t fromAt = static_cast<loff_t>(from.offset.value_or(0) + at + moved);
        loff_t toAt = static_cast<loff_t>(to.offset.value_or(0) + at + moved);
        const size_t rest = static_cast<size_t>(std::min<uint64_t>(length - moved, SSIZE_MAX));
        const ssize_t n = copy_file_range(fileno(from.file), from.offset ? &fromAt : nullptr,
                                          fileno(to.file), to.offset ? &toAt : nullptr, rest, 0);
        if (n > 0) {
            moved += static_cast<uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && hostRefusesCopy(errno)) {
            buffer.hostCopies = false;
        }
        break;  // an end of the source, or an error: the buffer finds out which
    }
#endif
    if (moved == length) {
        return CopyOutcome::Whole;
    }
    uint8_t* block = buffer.data();
    if (block == nullptr) {
        return CopyOutcome::ReadFailed;
    }
    while (moved < length) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(length - moved, buffer.kBytes));
        bool failed = false;
        const size_t got = readSide(from, at + moved, block, want, failed);
        if (failed) {
            return CopyOutcome::ReadFailed;
        }
        if (got > 0 && !writeSide(to, at + moved, block, got)) {
            return CopyOutcome::WriteFailed;
        }
        moved += got;
        if (got < want) {
            return CopyOutcome::SourceEnded;
        }
    }
    return CopyOutcome::Whole;
}

}  // namespace

CopyOutcome copyBetween(const CopyEnd& from, const CopyEnd& to, uint64_t length, CopyBuffer& buffer,
                        uint64_t* moved) {
    // A recorded write needs its bytes, which only the buffer's path holds.
    if (faultState.plan.bufferedCopies || (faultState.plan.record && to.role == FileRole::Image)) {
        buffer.hostCopies = false;
    }
    uint64_t done = 0;
    const CopyOutcome outcome = [&] {
        while (done < length) {
            const uint64_t step = buffer.hostCopies
                                      ? length - done
                                      : std::min<uint64_t>(length - done, buffer.kBytes);
            if (nextReadFails(from.role)) {
                return CopyOutcome::ReadFailed;
            }
            const WriteFate fate = nextWriteFate(to.role);
            if (fate == WriteFate::Fail) {
                return CopyOutcome::WriteFailed;
            }
            if (fate == WriteFate::Vanish) {
                if (!skipSide(from, step) || !skipSide(to, step)) {
                    return CopyOutcome::WriteFailed;
                }
                done += step;
                continue;
            }
            uint64_t stepMoved = 0;
            const CopyOutcome result = moveBytes(
                from, to, done, fate == WriteFate::Short ? step / 2 : step, buffer, stepMoved);
            done += stepMoved;
            if (result != CopyOutcome::Whole || fate == WriteFate::Short) {
                return result == CopyOutcome::Whole ? CopyOutcome::WriteFailed : result;
            }
        }
        return CopyOutcome::Whole;
    }();
    if (moved != nullptr) {
        *moved = done;
    }
    return outcome;
}

bool writeRepeated(std::FILE* file, const void* block, size_t length, size_t count, FileRole role) {
#if defined(_WIN32)
    // No gathering write here: copies of the block go out 64 KiB at a time.
    constexpr size_t kChunkBytes = 64 * 1024;
    const size_t perChunk = std::max<size_t>(1, kChunkBytes / std::max<size_t>(length, 1));
    std::vector<uint8_t> chunk;
    try {
        for (size_t i = 0; i < std::min(count, perChunk); ++i) {
            const auto* bytes = static_cast<const uint8_t*>(block);
            chunk.insert(chunk.end(), bytes, bytes + length);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (size_t done = 0; done < count;) {
        const size_t blocks = std::min(count - done, perChunk);
        if (!writeBlock(file, chunk.data(), blocks * length, role)) {
            return false;
        }
        done += blocks;
    }
    return true;
#else
    // One gathering write carries many copies of the block; a write cut short goes on
    // block by block.
    constexpr size_t kBlocksPerCall = 512;
    std::vector<iovec> pieces;
    try {
        pieces.assign(std::min(count, kBlocksPerCall), iovec{const_cast<void*>(block), length});
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (size_t done = 0; done < count;) {
        const size_t blocks = std::min(count - done, pieces.size());
        switch (nextWriteFate(role)) {
            case WriteFate::Fail:
                return false;
            case WriteFate::Short:
                (void)!write(fileno(file), block, length / 2);
                return false;
            case WriteFate::Vanish:
                done += blocks;
                if (lseek(fileno(file), static_cast<off_t>(blocks * length), SEEK_CUR) < 0) {
                    return false;
                }
                continue;
            case WriteFate::Normal:
                break;
        }
        const off_t position = faultState.plan.record ? lseek(fileno(file), 0, SEEK_CUR) : 0;
        const ssize_t n = writev(fileno(file), pieces.data(), static_cast<int>(blocks));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(length)) {
            recordImageWrite(role, static_cast<uint64_t>(position + at), block,
                             std::min(length, static_cast<size_t>(n - at)));
        }
        if (n < 0 || static_cast<size_t>(n) % length != 0) {
            return false;
        }
        if (n == 0) {
            return false;
        }
        done += static_cast<size_t>(n) / length;
    }
    return true;
#endif
}

bool syncFile(std::FILE* file, FileRole role) {
    uint32_t& number =
        role == FileRole::Image ? faultState.counts.imageSyncs : faultState.counts.hostSyncs;
    ++number;
    const faults::Plan& plan = faultState.plan;
    if (plan.kind == faults::Kind::FailSync && plan.role == role && number == plan.at) {
        faultState.fired = true;
        return false;
    }
#if defined(_WIN32)
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    const bool synced = handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0;
#else
    int result = 0;
    do {
#if defined(__linux__)
        // The data and what is needed to read it back (the size), not the times.
        result = fdatasync(fileno(file));
#else
        result = fsync(fileno(file));
#endif
    } while (result != 0 && errno == EINTR);
    const bool synced = result == 0;
#endif
    if (synced && plan.record && role == FileRole::Image) {
        faultState.recorded.push_back({true, 0, {}});
    }
    return synced;
}

bool seekFile(std::FILE* file, uint64_t offset) {
#if defined(_WIN32)
    return offset <= INT64_MAX && _fseeki64(file, static_cast<int64_t>(offset), SEEK_SET) == 0;
#else
    return offset <= static_cast<uint64_t>(INT64_MAX) &&
           fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

std::optional<uint64_t> fileSize(std::FILE* file) {
#if defined(_WIN32)
    if (_fseeki64(file, 0, SEEK_END) != 0) {
        return std::nullopt;
    }
    const int64_t end = _ftelli64(file);
#else
    // A regular file tells its size in one call; a directory (which opens for reading
    // here) has none; anything else is sought to its end.
    struct stat status {};
    if (fstat(fileno(file), &status) == 0) {
        if (S_ISREG(status.st_mode)) {
            return static_cast<uint64_t>(status.st_size);
        }
        if (S_ISDIR(status.st_mode) || S_ISCHR(status.st_mode)) {
            return std::nullopt;
        }
    }
    if (fseeko(file, 0, SEEK_END) != 0) {
        return std::nullopt;
    }
    const int64_t end = ftello(file);
#endif
    if (end < 0 || !seekFile(file, 0)) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(end);
}

bool closeFile(std::FILE* file, FileRole role) {
    const bool closed = std::fclose(file) == 0;
    uint32_t& number =
        role == FileRole::Image ? faultState.counts.imageCloses : faultState.counts.hostCloses;
    ++number;
    const faults::Plan& plan = faultState.plan;
    if (plan.kind == faults::Kind::FailClose && plan.role == role && number == plan.at) {
        faultState.fired = true;
        return false;
    }
    return closed;
}

bool isHostDirectory(const char* path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

bool hostPathExists(const char* path) {
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() !=
           std::filesystem::file_type::not_found;
}

bool isSameHostFile(const char* path, const char* otherPath) {
    std::error_code error;
    return path != nullptr && otherPath != nullptr &&
           std::filesystem::equivalent(path, otherPath, error) && !error;
}

void removeIncompleteHostFile(const char* path) {
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error)) {
        std::filesystem::remove(path, error);
    }
}

std::FILE* openFile(const char* path, const char* mode) {
    // Every transfer is one whole block the caller holds in memory already: a buffer in
    // between would only add a copy, and for the image it would hold writes back.
    std::FILE* file = std::fopen(path, mode);
    if (file != nullptr) {
        std::setvbuf(file, nullptr, _IONBF, 0);
    }
    return file;
}

OpenFile& OpenFile::operator=(OpenFile&& other) noexcept {
    if (this != &other) {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
        file_ = other.file_;
        role_ = other.role_;
        other.file_ = nullptr;
    }
    return *this;
}

OpenFile::~OpenFile() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool OpenFile::close() {
    std::FILE* file = file_;
    file_ = nullptr;
    return file == nullptr || closeFile(file, role_);
}

namespace faults {

void arm(const Plan& plan) {
    faultState = FaultState{};
    faultState.plan = plan;
}

void disarm() {
    faultState = FaultState{};
}

Counts counts() {
    return faultState.counts;
}

const std::vector<ImageEvent>& recordedImageEvents() {
    return faultState.recorded;
}

bool fired() {
    return faultState.fired;
}

Kind lockFault() {
    const Kind kind = faultState.plan.kind;
    if (kind != Kind::NoLocks && kind != Kind::LockFails) {
        return Kind::None;
    }
    faultState.fired = true;
    return kind;
}

}  // namespace faults

}  // namespace fat12img
