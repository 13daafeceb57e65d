#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "commands/commands.hpp"
#include "commands/paths.hpp"
#include "console/console.hpp"
#include "console/messages.hpp"
#include "file/file_data.hpp"
#include "image/image_state.hpp"
#include "platform/file_io.hpp"
#include "platform/file_open.hpp"
#include "volume/fat12_entry.hpp"

namespace fat12img {

namespace {

// Copies are whole files of a 32-bit length.
constexpr uint64_t kMaxCopyLength = UINT32_MAX;
// A host file may hold more or less than its size says (files under /proc say 0): it is
// read to its end, but no further than this, more than the largest FAT12 volume (65535
// sectors of 4096 bytes) holds, or than its size when that says more.
constexpr uint64_t kMaxUnannouncedLength = (uint64_t(260) << 20);
// How much a buffer grows at least when the file goes on past it.
constexpr size_t kMinGrowth = 64 * 1024;

// Reads the file from its position to its end; none after the message when memory runs
// out, the file holds more than `limit` bytes or a read fails.
std::optional<ByteBuffer> readToEnd(std::FILE* file, uint64_t expected, uint64_t limit) {
    ByteBuffer buffer;
    size_t filled = 0;
    // One byte more than expected finds the end in the same read.
    for (uint64_t capacity = expected + 1;;
         capacity = std::min<uint64_t>(limit + 1, std::max<uint64_t>(capacity * 2, kMinGrowth))) {
        try {
            buffer.resize(static_cast<size_t>(capacity));
        } catch (const std::bad_alloc&) {
            printLine(msg::kMsgOutOfMemory);
            return std::nullopt;
        }
        size_t got = 0;
        const ReadOutcome outcome =
            readBlock(file, buffer.data() + filled, buffer.size() - filled, FileRole::Host, &got);
        filled += got;
        if (outcome == ReadOutcome::Failed) {
            printLine(msg::kMsgReadFailed);
            return std::nullopt;
        }
        if (outcome == ReadOutcome::EndOfFile) {
            buffer.resize(filled);
            return buffer;
        }
        if (filled > limit) {
            printLine(msg::kMsgOutOfMemory);
            return std::nullopt;
        }
    }
}

// The host file that a copy out replaces once complete; says why when there is none.
HostReplacement openHostDestination(const char* hostPath) {
    // Opening the mounted image itself for writing would empty it.
    if (isImageFile(hostPath)) {
        printLine(msg::kMsgCannotOpenDestination);
        return {};
    }
    HostReplacement file = HostReplacement::open(hostPath);
    if (!file) {
        printLine(msg::kMsgCannotOpenDestination);
    }
    return file;
}

}  // namespace

void cmdCp(const char* source, const char* destination) {
    if (destination[0] != kHostFileMark && refuseIfReadOnly()) {
        return;
    }
    copyFile(source, destination);
}

bool copyFile(const char* source, const char* destination) {
    const bool fromHost = source[0] == kHostFileMark;
    const bool toHost = destination[0] == kHostFileMark;
    // Between the host and the image the bytes stream, a run of sectors at a time; every
    // check on the source comes before the destination is looked at, as when it is read
    // whole first.
    if (fromHost && !toHost) {
        return copyHostFileIn(source + 1, destination);
    }
    if (!fromHost && toHost) {
        return copyImageFileOut(source, destination + 1);
    }
    const std::optional<ByteBuffer> data = readSourceFile(source);
    if (!data) {
        return false;
    }
    return writeDestinationFile(destination, *data);
}

bool copyHostFileIn(const char* hostPath, const char* imagePath) {
    std::optional<uint64_t> length;
    OpenFile file = openHostFileForReading(hostPath, length);
    // Something that cannot be sought (a pipe) or whose size means nothing (a character
    // device) cannot be copied whole.
    if (!file || !length) {
        printLine(msg::kMsgSourceNotFound);
        return false;
    }
    if (*length > kMaxCopyLength) {
        printLine(msg::kMsgOutOfMemory);
        return false;
    }
    if (*length == 0) {
        // A file that says it is empty may hold bytes all the same (files under /proc):
        // it is read to its end.
        std::optional<ByteBuffer> buffer = readToEnd(file.get(), 0, kMaxUnannouncedLength);
        if (buffer && !file.close()) {
            printLine(msg::kMsgReadFailed);
            return false;
        }
        return buffer && writeImageFile(imagePath, *buffer);
    }
    CopyBuffer copies;
    bool readFailed = false;
    HostFileSource data(std::move(file), *length, copies, readFailed);
    return writeImageFile(imagePath, data, static_cast<uint32_t>(*length), readFailed);
}

bool copyImageFileOut(const char* imagePath, const char* hostPath) {
    int index = -1;
    int nameOffset = 0;
    DirectoryRef dir = resolveParent(imagePath, index, nameOffset);
    if (!dir) {
        return false;
    }
    if (index == -1) {
        printLine(msg::kMsgSourceNotFound);
        return false;
    }
    const FatVolume& volume = *image.volumeHolder;
    const uint32_t entryCluster = dir->getEntryCluster(index);
    const uint32_t first = entryCluster == 0 ? kFatEndOfChain : entryCluster;
    const uint32_t size = dir->getEntrySize(index);
    const ChainFit fit =
        dir->isFile(index) ? checkFileChain(volume, first, size) : ChainFit::Unreadable;
    if (fit == ChainFit::Unreadable) {
        printLine(msg::kMsgCannotOpenFile);
        return false;
    }
    // A damaged entry may record more bytes than its chain holds, up to 4 GiB: that is a
    // failed read, never a file padded with whatever the image holds beyond the chain.
    if (fit == ChainFit::TooShort) {
        printLine(msg::kMsgReadFailed);
        return false;
    }
    HostReplacement file = openHostDestination(hostPath);
    if (!file) {
        return false;
    }
    CopyBuffer copies;
    bool readFailed = false;
    HostFileSink sink(file.get(), copies, readFailed);
    // A cut-short copy is worse than none: a build would go on with it. The old file stays
    // until the new one is complete.
    if (!readFileData(volume, first, size, sink)) {
        printLine(readFailed ? msg::kMsgReadFailed : msg::kMsgWriteFailed);
        return false;
    }
    if (!file.commit()) {
        printLine(msg::kMsgWriteFailed);
        return false;
    }
    return true;
}

std::optional<ByteBuffer> readSourceFile(const char* argument) {
    if (argument[0] == kHostFileMark) {
        return readHostFile(argument + 1);
    }
    return readImageFile(argument);
}

bool writeDestinationFile(const char* argument, const ByteBuffer& data) {
    if (argument[0] == kHostFileMark) {
        return writeHostFile(argument + 1, data);
    }
    return writeImageFile(argument, data);
}

std::optional<ByteBuffer> readHostFile(const char* hostPath) {
    std::optional<uint64_t> length;
    OpenFile file = openHostFileForReading(hostPath, length);
    // Something that cannot be sought (a pipe) or whose size means nothing (a character
    // device) cannot be read whole.
    if (!file || !length) {
        printLine(msg::kMsgSourceNotFound);
        return std::nullopt;
    }
    if (*length > kMaxCopyLength) {
        printLine(msg::kMsgOutOfMemory);
        return std::nullopt;
    }
    std::optional<ByteBuffer> buffer =
        readToEnd(file.get(), *length, std::max(*length, kMaxUnannouncedLength));
    if (buffer && !file.close()) {
        printLine(msg::kMsgReadFailed);
        return std::nullopt;
    }
    return buffer;
}

std::optional<ByteBuffer> readImageFile(const char* path) {
    int index = -1;
    int nameOffset = 0;
    DirectoryRef dir = resolveParent(path, index, nameOffset);
    if (!dir) {
        return std::nullopt;
    }
    if (index == -1) {
        printLine(msg::kMsgSourceNotFound);
        return std::nullopt;
    }
    image.imageDevice.readFailed = false;
    std::unique_ptr<File> file = dir->openFile(index);
    if (!file) {
        // A sector the image does not have is a file that cannot be opened; a read that
        // the host refused is a failed read.
        printLine(image.imageDevice.readFailed ? msg::kMsgReadFailed : msg::kMsgCannotOpenFile);
        return std::nullopt;
    }
    // The file's own buffer becomes the copy: it already holds every byte. A damaged entry
    // may record more bytes than its chain holds, up to 4 GiB: that is a failed read, never
    // a file padded with whatever memory held.
    ByteBuffer buffer;
    if (!file->releaseContent(buffer)) {
        printLine(msg::kMsgReadFailed);
        return std::nullopt;
    }
    return buffer;
}

bool writeHostFile(const char* hostPath, const ByteBuffer& data) {
    HostReplacement file = openHostDestination(hostPath);
    if (!file) {
        return false;
    }
    // A cut-short copy is worse than none: a build would go on with it. The old file stays
    // until the new one is complete.
    if (!writeBlock(file.get(), data.data(), data.size(), FileRole::Host) || !file.commit()) {
        printLine(msg::kMsgWriteFailed);
        return false;
    }
    return true;
}

bool writeImageFile(const char* path, const ByteBuffer& data) {
    MemorySource source(data.data(), data.size());
    return writeImageFile(path, source, static_cast<uint32_t>(data.size()), false);
}

bool writeImageFile(const char* path, DataSource& source, uint32_t length,
                    const bool& sourceReadFailed) {
    int index = -1;
    int nameOffset = 0;
    DirectoryRef dir = resolveParent(path, index, nameOffset);
    if (!dir) {
        return false;
    }
    if (index != -1) {
        printLine(msg::kMsgDestinationExists);
        return false;
    }
    switch (dir->createFileWithData(path + nameOffset, source, length)) {
        case Directory::CreateOutcome::Created:
            return true;
        case Directory::CreateOutcome::Refused:
            printLine(msg::kMsgCannotCreateFile);
            return false;
        case Directory::CreateOutcome::ReadFailed:
            printLine(msg::kMsgReadFailed);
            return false;
        case Directory::CreateOutcome::WriteFailed:
            break;
    }
    printLine(sourceReadFailed ? msg::kMsgReadFailed : msg::kMsgWriteFailed);
    return false;
}

}  // namespace fat12img
