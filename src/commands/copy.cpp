#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>

#include "commands/commands.hpp"
#include "commands/paths.hpp"
#include "shell/console.hpp"
#include "shell/image_state.hpp"
#include "shell/messages.hpp"

namespace fat12img {

namespace {

// Copies are whole files of a 32-bit length.
constexpr uint64_t kMaxCopyLength = UINT32_MAX;
// Image files are read into the copy buffer this much at a time.
constexpr uint32_t kImageReadChunk = 64 * 1024;

std::optional<std::vector<uint8_t>> allocateBuffer(uint64_t length) {
    if (length > kMaxCopyLength) {
        printLine(msg::kMsgOutOfMemory);
        return std::nullopt;
    }
    try {
        return std::vector<uint8_t>(static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
        printLine(msg::kMsgOutOfMemory);
        return std::nullopt;
    }
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using HostFile = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

void cmdCp(const char* source, const char* destination) {
    copyFile(source, destination);
}

bool copyFile(const char* source, const char* destination) {
    // The source is read whole before the destination is looked at.
    const std::optional<std::vector<uint8_t>> data = readSourceFile(source);
    if (!data) {
        return false;
    }
    return writeDestinationFile(destination, *data);
}

std::optional<std::vector<uint8_t>> readSourceFile(const char* argument) {
    if (argument[0] == kHostFileMark) {
        return readHostFile(argument + 1);
    }
    return readImageFile(argument);
}

bool writeDestinationFile(const char* argument, const std::vector<uint8_t>& data) {
    if (argument[0] == kHostFileMark) {
        return writeHostFile(argument + 1, data);
    }
    return writeImageFile(argument, data);
}

std::optional<std::vector<uint8_t>> readHostFile(const char* hostPath) {
    std::error_code error;
    // A directory opens for reading on some systems, but it holds no file to copy.
    if (std::filesystem::is_directory(hostPath, error)) {
        printLine(msg::kMsgSourceNotFound);
        return std::nullopt;
    }
    HostFile file(std::fopen(hostPath, "rb"));
    long length = -1;
    if (file && std::fseek(file.get(), 0, SEEK_END) == 0) {
        length = std::ftell(file.get());
    }
    // Something that cannot be sought (a pipe) cannot be read whole either.
    if (length < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
        printLine(msg::kMsgSourceNotFound);
        return std::nullopt;
    }
    std::optional<std::vector<uint8_t>> buffer = allocateBuffer(static_cast<uint64_t>(length));
    if (!buffer) {
        return std::nullopt;
    }
    if (std::fread(buffer->data(), 1, buffer->size(), file.get()) != buffer->size()) {
        printLine(msg::kMsgReadFailed);
        return std::nullopt;
    }
    return buffer;
}

std::optional<std::vector<uint8_t>> readImageFile(const char* path) {
    int index = -1;
    int nameOffset = 0;
    DirectoryRef dir(resolveParent(path, index, nameOffset));
    if (!dir) {
        return std::nullopt;
    }
    if (index == -1) {
        printLine(msg::kMsgSourceNotFound);
        return std::nullopt;
    }
    std::unique_ptr<File> file = dir->openFile(index);
    if (!file) {
        printLine(msg::kMsgCannotOpenFile);
        return std::nullopt;
    }
    // A damaged entry may record more bytes than its chain holds, up to 4 GiB: the buffer
    // grows only by what the file really gives, so such an entry costs no more memory
    // than its chain. A short read is a failure, never a file padded with whatever memory
    // held.
    const uint32_t size = file->getSize();
    std::vector<uint8_t> buffer;
    for (uint32_t done = 0; done < size;) {
        const uint32_t want = std::min(size - done, kImageReadChunk);
        try {
            buffer.resize(buffer.size() + want);
        } catch (const std::bad_alloc&) {
            printLine(msg::kMsgOutOfMemory);
            return std::nullopt;
        }
        if (file->read(buffer.data() + done, want) != want) {
            printLine(msg::kMsgReadFailed);
            return std::nullopt;
        }
        done += want;
    }
    return buffer;
}

bool writeHostFile(const char* hostPath, const std::vector<uint8_t>& data) {
    // Opening the mounted image itself for writing would empty it.
    if (isImageFile(hostPath)) {
        printLine(msg::kMsgCannotOpenDestination);
        return false;
    }
    std::FILE* file = std::fopen(hostPath, "wb");
    if (file == nullptr) {
        printLine(msg::kMsgCannotOpenDestination);
        return false;
    }
    bool written = data.empty() || std::fwrite(data.data(), 1, data.size(), file) == data.size();
    // Closing flushes: a full disk may only show here.
    written = std::fclose(file) == 0 && written;
    if (!written) {
        printLine(msg::kMsgWriteFailed);
    }
    return written;
}

bool writeImageFile(const char* path, const std::vector<uint8_t>& data) {
    int index = -1;
    int nameOffset = 0;
    DirectoryRef dir(resolveParent(path, index, nameOffset));
    if (!dir) {
        return false;
    }
    if (index != -1) {
        printLine(msg::kMsgDestinationExists);
        return false;
    }
    const uint32_t length = static_cast<uint32_t>(data.size());
    const int created = dir->createFile(path + nameOffset, length);
    if (created == -1) {
        printLine(msg::kMsgCannotCreateFile);
        return false;
    }
    std::unique_ptr<File> file = dir->openFile(created);
    if (!file) {
        printLine(msg::kMsgCannotOpenFile);
        return false;
    }
    if (length != 0 && file->write(data.data(), length) != length) {
        printLine(msg::kMsgWriteFailed);
        return false;
    }
    // Destroying the file writes its sectors to the image.
    return true;
}

}  // namespace fat12img
