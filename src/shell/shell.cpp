#include "shell/shell.hpp"

#include <cstring>
#include <optional>

#include "console/console.hpp"
#include "console/messages.hpp"
#include "image/image_state.hpp"
#include "platform/image_lock.hpp"
#include "shell/dispatcher.hpp"
#include "shell/tokenizer.hpp"

namespace fat12img {

namespace {

constexpr const char* kDefaultImagePath = "disk.img";
constexpr const char* kHelpAliases[] = {"?", "/?", "help", "/help", "-h", "-help", "--help"};
constexpr const char* kQuitWord = "exit";
constexpr int kLineBufferSize = 256;  // 255 characters and the NUL
constexpr int kMaxTokens = 10;

bool isHelpAlias(const char* text) {
    for (const char* alias : kHelpAliases) {
        if (std::strcmp(text, alias) == 0) {
            return true;
        }
    }
    return false;
}

void runPromptLoop(std::FILE* input) {
    char line[kLineBufferSize];
    char* tokens[kMaxTokens];
    for (;;) {
        std::fputc('>', stdout);
        std::fflush(stdout);
        if (std::fgets(line, sizeof line, input) == nullptr) {
            return;
        }
        const int count = splitLine(line, tokens, kMaxTokens);
        if (count == 0) {
            continue;
        }
        if (std::strcmp(tokens[0], kQuitWord) == 0) {
            return;
        }
        const bool previous = image.binaryMode;
        dispatchCommand(count, tokens);
        printModeChange(previous);
    }
}

// Said once, on the error stream, so that a Makefile's output stays as it was.
void printImageBusy() {
    std::fputs(msg::kMsgImageBusy, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace

void printUsage() {
    for (const char* line : msg::kUsageLines) {
        printLine(line);
    }
    for (const char* line : msg::kUsageMoreLines) {
        printLine(line);
    }
}

void printModeChange(bool previousBinaryMode) {
    if (previousBinaryMode == image.binaryMode) {
        return;
    }
    std::fputs(image.binaryMode ? msg::kMsgBinaryModeNow : msg::kMsgImageModeNow, stdout);
    std::fputc('\n', stdout);
}

int runShell(int argc, char** argv, std::FILE* input) {
    const char* path = argc >= 2 ? argv[1] : kDefaultImagePath;
    if (isHelpAlias(path)) {
        printUsage();
        return 0;
    }
    // Held until the run ends, across the close and reopen of format and write.
    ImageLock lock;
    lock.acquire(path, printImageBusy);
    // A new image that the command formats is written once, in the layout asked for.
    const std::optional<FormatOptions> formatOnly =
        lock.createdImage() && argc >= 3 ? formatOfCommand(argc - 2, argv + 2) : std::nullopt;
    if ((lock.createdImage() && !createEmptyImage(path, formatOnly.value_or(FormatOptions{}))) ||
        !mountImage(path)) {
        std::printf(msg::kFmtMountFailed, path);
        return 0;
    }
    if (argc >= 3) {
        if (!formatOnly) {
            dispatchCommand(argc - 2, argv + 2);
        }
    } else {
        printUsage();
        printModeChange(false);
        runPromptLoop(input);
    }
    if (!closeImage()) {
        printLine(msg::kMsgWriteFailed);
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace fat12img
