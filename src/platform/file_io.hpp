#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

namespace fat12img {

// Every byte the tool moves to or from a file passes through these functions, so that each
// transfer is checked in one place and a test can make any single one of them fail. They
// print nothing; the command that asked chooses the message.

// Which file a transfer concerns: the image, or a host file of cp, mv, write or read.
enum class FileRole : uint8_t { Image, Host };

enum class ReadOutcome : uint8_t {
    Whole,      // every byte asked for
    EndOfFile,  // fewer, because the file ends: not an error
    Failed,     // the host reported an error
};

ReadOutcome readBlock(std::FILE* file, void* buffer, size_t length, FileRole role,
                      size_t* bytesRead = nullptr);
// True only when every byte was handed to the host without an error.
bool writeBlock(std::FILE* file, const void* buffer, size_t length, FileRole role);
// The same at a byte offset of an unbuffered handle (the image), without moving through
// a seek call where the host can transfer at a position directly.
ReadOutcome readBlockAt(std::FILE* file, uint64_t offset, void* buffer, size_t length,
                        FileRole role, size_t* bytesRead = nullptr);
bool writeBlockAt(std::FILE* file, uint64_t offset, const void* buffer, size_t length,
                  FileRole role);
// Writes one block `count` times at the file's position, in as few calls as the host
// allows, from that one block: format's fill of the data area.
bool writeRepeated(std::FILE* file, const void* block, size_t length, size_t count, FileRole role);
// One side of a copy between two open files: a byte offset, or none for the file's own
// position (a FIFO or a terminal has no other).
struct CopyEnd {
    std::FILE* file = nullptr;
    FileRole role = FileRole::Host;
    std::optional<uint64_t> offset;
};

enum class CopyOutcome : uint8_t {
    Whole,
    SourceEnded,  // the source holds fewer bytes than asked for
    ReadFailed,
    WriteFailed,
};

// The memory a command's copies go through where the host cannot move the bytes between
// the files itself: one block, allocated on first use and reused for every copy.
class CopyBuffer {
  public:
    static constexpr size_t kBytes = 64 * 1024;
    // None when memory runs out.
    uint8_t* data();
    // Whether the host's own copy is still worth asking for: once it refuses a pair of
    // files (another file system, a kind of file it does not copy), later copies of the
    // command go through the buffer at once.
    bool hostCopies = true;

  private:
    std::unique_ptr<uint8_t[]> bytes_;
};

// Moves `length` bytes from one file to the other: inside the host where it can (Linux's
// copy_file_range, one call for the whole length), otherwise through `buffer`, a block at a
// time. Each call is checked as one read of the source's role and one write of the
// destination's, so that a planned fault fails it as it would fail those transfers.
// `moved`, where given, tells how many bytes reached the destination: all of them that the
// source had, when it ends early.
CopyOutcome copyBetween(const CopyEnd& from, const CopyEnd& to, uint64_t length, CopyBuffer& buffer,
                        uint64_t* moved = nullptr);
// Waits until everything written to the file so far is on the disk, not only in the host's
// cache (fdatasync; FlushFileBuffers on Windows): a power cut after it cannot lose or
// reorder those writes. False when the host reports that it could not.
bool syncFile(std::FILE* file, FileRole role);
// Positions are 64-bit everywhere; a long is 32 bits on some hosts.
bool seekFile(std::FILE* file, uint64_t offset);
// The size of a file just opened, which stays positioned at its start; none for a
// directory, for something that cannot be sought, such as a pipe, and for a character
// device, whose end means nothing.
std::optional<uint64_t> fileSize(std::FILE* file);
// False when the host reports a failed close: a network file system may tell of a write
// it could not complete only here.
bool closeFile(std::FILE* file, FileRole role);
bool isHostDirectory(const char* path);
// Whether anything at all is there under the path; true when the host cannot tell.
bool hostPathExists(const char* path);
// Whether two host paths name one file, by identity rather than spelling; false when
// either is missing (or null).
bool isSameHostFile(const char* path, const char* otherPath);
// Removes what a failed copy left of a host file; anything but a regular file (a device,
// say) is left alone.
void removeIncompleteHostFile(const char* path);

// Opens a file with the standard modes ("rb", "rb+", "wb", ...), unbuffered: every write
// of the image reaches the file at once without a flush call.
std::FILE* openFile(const char* path, const char* mode);

// A host or image file that a command opened and must close on every path. close()
// reports the result; a handle dropped without close() is closed unchecked, which is
// right only for a file that is being abandoned anyway.
class OpenFile {
  public:
    OpenFile() = default;
    OpenFile(std::FILE* file, FileRole role) : file_(file), role_(role) {}
    OpenFile(OpenFile&& other) noexcept : file_(other.file_), role_(other.role_) {
        other.file_ = nullptr;
    }
    OpenFile& operator=(OpenFile&& other) noexcept;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile();

    static OpenFile open(const char* path, const char* mode, FileRole role) {
        return OpenFile(openFile(path, mode), role);
    }
    std::FILE* get() const { return file_; }
    explicit operator bool() const { return file_ != nullptr; }
    bool close();

  private:
    std::FILE* file_ = nullptr;
    FileRole role_ = FileRole::Host;
};

// Makes transfers fail on purpose, for tests. Transfers are counted per role and
// direction from 1 while a plan is armed.
namespace faults {

enum class Kind : uint8_t {
    None,
    FailOnce,    // write number `at` fails and writes nothing; later ones succeed
    StayFull,    // write number `at` and every later one fail, as on a full disk
    ShortWrite,  // write number `at` writes half its bytes, then fails
    FailRead,    // read number `at` fails
    PowerCut,    // write number `at` is the last to reach the file; later ones vanish
                 // although they report success, as if the process had ended there
    FailClose,   // close number `at` reports failure (the file is closed all the same)
    FailSync,    // sync number `at` reports failure, as after a write the disk refused
    NoLocks,     // every lock fails as on a file system that has none
    LockFails,   // every lock fails with an error of any other kind
};

struct Plan {
    Kind kind = Kind::None;
    FileRole role = FileRole::Image;
    uint32_t at = 0;
    // Copies between files go through the buffer, as on a host without a copy of its own.
    bool bufferedCopies = false;
    // Keeps every image write that reaches the file and every image sync, in order.
    bool record = false;
};

// One recorded image write (its offset and bytes) or, with no bytes, a sync.
struct ImageEvent {
    bool sync = false;
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;
};

struct Counts {
    uint32_t imageReads = 0;
    uint32_t imageWrites = 0;
    uint32_t hostReads = 0;
    uint32_t hostWrites = 0;
    uint32_t imageCloses = 0;
    uint32_t hostCloses = 0;
    uint32_t imageSyncs = 0;
    uint32_t hostSyncs = 0;
};

void arm(const Plan& plan);
void disarm();
// What was transferred since the last arm (or disarm).
Counts counts();
// What a plan with `record` kept since it was armed.
const std::vector<ImageEvent>& recordedImageEvents();
// Whether the armed fault has fired.
bool fired();
// NoLocks or LockFails when the armed plan makes locks fail (the fault has then fired);
// None otherwise.
Kind lockFault();

}  // namespace faults

}  // namespace fat12img
