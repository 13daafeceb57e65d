#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "commands/commands.hpp"
#include "commands/paths.hpp"
#include "console/console.hpp"
#include "console/messages.hpp"
#include "image/image_state.hpp"
#include "platform/file_io.hpp"

namespace fat12img {

namespace {

// Copies are whole files of a 32-bit length.
constexpr uint64_t kMaxCopyLength = UINT32_MAX;

std::optional<ByteBuffer> allocateBuffer(uint64_t length) {
    if (length > kMaxCopyLength) {
        printLine(msg::kMsgOutOfMemory);
        return std::nullopt;
    }
    try {
        return ByteBuffer(static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
        printLine(msg::kMsgOutOfMemory);
        return std::nullopt;
    }
}

}  // namespace

void cmdCp(const char* source, const char* destination) {
    copyFile(source, destination);
}

bool copyFile(const char* source, const char* destination) {
    // The source is read whole before the destination is looked at.
    const std::optional<ByteBuffer> data = readSourceFile(source);
    if (!data) {
        return false;
    }
    return writeDestinationFile(destination, *data);
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
    OpenFile file = openHostFileForReading(hostPath);
    // Something that cannot be sought (a pipe) cannot be read whole.
    const std::optional<uint64_t> length = file ? fileSize(file.get()) : std::nullopt;
    if (!length) {
        printLine(msg::kMsgSourceNotFound);
        return std::nullopt;
    }
    std::optional<ByteBuffer> buffer = allocateBuffer(*length);
    if (!buffer) {
        return std::nullopt;
    }
    const bool whole =
        readBlock(file.get(), buffer->data(), buffer->size(), FileRole::Host) == ReadOutcome::Whole;
    if (!file.close() || !whole) {
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
    // Opening the mounted image itself for writing would empty it.
    if (isImageFile(hostPath)) {
        printLine(msg::kMsgCannotOpenDestination);
        return false;
    }
    OpenFile file = createHostFile(hostPath);
    if (!file) {
        printLine(msg::kMsgCannotOpenDestination);
        return false;
    }
    const bool written = writeBlock(file.get(), data.data(), data.size(), FileRole::Host);
    if (!file.close() || !written) {
        // A cut-short copy is worse than none: a build would go on with it.
        removeIncompleteHostFile(hostPath);
        printLine(msg::kMsgWriteFailed);
        return false;
    }
    return true;
}

bool writeImageFile(const char* path, const ByteBuffer& data) {
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
    const uint32_t length = static_cast<uint32_t>(data.size());
    MemorySource source(data.data(), data.size());
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
    printLine(msg::kMsgWriteFailed);
    return false;
}

}  // namespace fat12img
