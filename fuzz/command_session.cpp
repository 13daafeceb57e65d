#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "harness.hpp"
#include "image/image_state.hpp"
#include "raw/format.hpp"
#include "shell/shell.hpp"

namespace fat12img::fuzz {

namespace {

// The session works in the private directory under these relative names, as a user would
// in the directory that holds the image.
constexpr char kImageName[] = "disk.img";
constexpr char kTemplateName[] = "template.img";
// Host files that exist at the start of every session, for cp, mv and write to read from.
constexpr char kTextName[] = "a.txt";
constexpr char kBinaryName[] = "b.bin";

// A freshly formatted image, made once by the tool itself and copied for every input:
// formatting writes 1.44 MB, which would dominate every run.
const std::vector<uint8_t>& formattedImage() {
    static const std::vector<uint8_t> bytes = [] {
        const std::string path = workspaceDir() + "/" + kTemplateName;
        if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
            writeEmptyFloppy(file);
            std::fclose(file);
        }
        std::vector<uint8_t> content;
        if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
            uint8_t buffer[4096];
            size_t n = 0;
            while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
                content.insert(content.end(), buffer, buffer + n);
            }
            std::fclose(file);
        }
        std::remove(path.c_str());
        return content;
    }();
    return bytes;
}

bool prepareHostFiles(const std::string& dir) {
    static const std::string text = "hello, floppy\r\nsecond line\r\n";
    std::vector<uint8_t> binary(1500);
    for (size_t i = 0; i < binary.size(); ++i) {
        binary[i] = static_cast<uint8_t>(i ^ (i >> 8));
    }
    const std::vector<uint8_t>& image = formattedImage();
    return image.size() == 2880u * 512u &&
           writeHostBytes(dir + "/" + kImageName, image.data(), image.size()) &&
           writeHostBytes(dir + "/" + kTextName, reinterpret_cast<const uint8_t*>(text.data()),
                          text.size()) &&
           writeHostBytes(dir + "/" + kBinaryName, binary.data(), binary.size());
}

// A read or write may move 65,536 sectors, about 0.2 s with the sanitizers; a few
// thousand bytes of them would run for minutes and be reported as a hang, though each
// does only what it was asked. The bound counts the words anywhere in the input, which
// is at least the number of such commands whatever the line splitting makes of it.
constexpr size_t kMaxRawTransfers = 16;

size_t occurrences(const uint8_t* data, size_t size, const char* word) {
    const size_t length = std::strlen(word);
    size_t count = 0;
    for (size_t i = 0; i + length <= size; ++i) {
        count += std::memcmp(data + i, word, length) == 0 ? 1 : 0;
    }
    return count;
}

bool stateIsClean() {
    return !image.imageFile && image.imageDevice.file == nullptr && !image.volumeHolder &&
           !image.currentDirectory && !image.binaryMode && image.imagePath == nullptr;
}

}  // namespace

SessionReport runCommandSession(const uint8_t* data, size_t size) {
    SessionReport report;
    // Host paths are handed to the host's file functions unchanged, and the fuzzer types
    // whatever it likes: "read /etc/passwd" would empty that file, "cp x '/proc/..."
    // would write into the kernel's knobs, "write /dev/stdin" would wait for a terminal.
    // The session runs in the private directory; without any '/' byte a host path can
    // only name an entry of that directory (".." is a directory, which every command
    // refuses), so such inputs are the only ones run. Image paths use the backslash and
    // lose nothing by it.
    if ((size > 0 && std::memchr(data, '/', size) != nullptr) ||
        occurrences(data, size, "read") + occurrences(data, size, "write") > kMaxRawTransfers) {
        report.stateClean = stateIsClean();
        return report;
    }
    const std::string& dir = workspaceDir();
    clearWorkspace();
    resetImageState();

    const int previousDir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (prepareHostFiles(dir) && chdir(dir.c_str()) == 0) {
        // fmemopen needs a buffer of its own, and one byte of it even for an empty input.
        std::vector<char> text(data, data + size);
        text.push_back('\0');
        std::FILE* input = fmemopen(text.data(), size, "r");
        if (input == nullptr) {
            input = std::fopen("/dev/null", "r");
        }
        if (input != nullptr) {
            char program[] = "fat12img";
            char imageArgument[sizeof kImageName];
            std::memcpy(imageArgument, kImageName, sizeof kImageName);
            char* argv[] = {program, imageArgument, nullptr};
            runShell(2, argv, input);
            std::fclose(input);
            report.ran = true;
        }
    }
    resetImageState();
    if (previousDir >= 0) {
        if (fchdir(previousDir) != 0) {
            std::perror("fat12img fuzz: fchdir");
        }
        close(previousDir);
    }
    report.stateClean = stateIsClean();
    clearWorkspace();
    return report;
}

}  // namespace fat12img::fuzz
