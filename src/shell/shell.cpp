#include "shell/shell.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "console/console.hpp"
#include "console/messages.hpp"
#include "image/image_state.hpp"
#include "platform/file_io.hpp"
#include "platform/image_lock.hpp"
#include "raw/format.hpp"
#include "shell/dispatcher.hpp"
#include "shell/options.hpp"
#include "shell/tokenizer.hpp"

namespace fat12img {

namespace {

constexpr const char* kDefaultImagePath = "disk.img";
constexpr const char* kQuitWord = "exit";
constexpr int kLineBufferSize = 256;  // 255 characters and the NUL
constexpr int kMaxTokens = 10;

// Runs the command lines of `input`; with `stopAtFailure`, the first command that fails
// ends the session and its outcome is given back.
Outcome runPromptLoop(std::FILE* input, bool stopAtFailure) {
    char line[kLineBufferSize];
    char* tokens[kMaxTokens];
    for (;;) {
        std::fputc('>', stdout);
        std::fflush(stdout);
        if (std::fgets(line, sizeof line, input) == nullptr) {
            return Outcome::Succeeded;
        }
        const int count = splitLine(line, tokens, kMaxTokens);
        if (count == 0) {
            continue;
        }
        if (std::strcmp(tokens[0], kQuitWord) == 0) {
            return Outcome::Succeeded;
        }
        const bool previous = image.binaryMode;
        dispatchCommand(count, tokens);
        printModeChange(previous);
        const Outcome outcome = takeOutcome();
        if (stopAtFailure && outcome != Outcome::Succeeded) {
            return outcome;
        }
    }
}

// Said once, on the error stream, so that a Makefile's output stays as it was.
void printImageBusy() {
    printErrorLine(msg::kMsgImageBusy);
}

// The exit status: the worst outcome of the run with -e, else always 0, as callers that
// came before the option rely on.
int exitStatus(bool errexit, Outcome outcome) {
    std::fflush(stdout);
    return errexit ? static_cast<int>(outcome) : 0;
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
    printLine(image.binaryMode ? msg::kMsgBinaryModeNow : msg::kMsgImageModeNow);
}

int runShell(int argc, char** argv, std::FILE* input) {
    takeOutcome();  // nothing of an earlier run in this process counts
    const CommandLine commandLine = parseCommandLine(argc, argv);
    if (commandLine.unknownOption != nullptr) {
        // Whatever follows cannot be trusted to mean what it says: nothing is opened.
        printErrorLine(msg::kMsgUnknownOption, commandLine.unknownOption);
        takeOutcome();
        return static_cast<int>(Outcome::CommandLineWrong);
    }
    if (commandLine.options.version) {
        std::printf("fat12img %s\n", FAT12IMG_VERSION);
        return exitStatus(false, Outcome::Succeeded);
    }
    if (commandLine.help) {
        printUsage();
        return exitStatus(false, Outcome::Succeeded);
    }
    const bool errexit = commandLine.options.errexit;
    const bool syncWrites = commandLine.options.sync;
    image.imageDevice.syncWrites = syncWrites;
    const int pathIndex = commandLine.next;
    const char* path = pathIndex < argc ? argv[pathIndex] : kDefaultImagePath;
    const int commandIndex = pathIndex + 1;
    const int commandCount = argc - commandIndex;
    // A misspelt image name must not give a new empty floppy that a command then reads as
    // if it were the image meant.
    if (errexit && commandCount > 0 && !commandMayChangeImage(commandCount, argv + commandIndex) &&
        !hostPathExists(path)) {
        printFormatted(msg::kFmtMountFailed, path);
        return exitStatus(errexit, takeOutcome());
    }
    // Held until the run ends, across the close and reopen of format and write. A missing
    // image is created by it, as an empty floppy.
    ImageLock lock;
    // A new image that the command formats is written once, in the layout asked for.
    const std::optional<FormatOptions> format =
        commandCount > 0 ? formatOfCommand(commandCount, argv + commandIndex) : std::nullopt;
    const FormatOptions newImage = format.value_or(FormatOptions{});
    // A new image is on the disk before it takes its name.
    const LockOutcome locked =
        lock.acquire(path, printImageBusy, [&newImage, syncWrites](std::FILE* file) {
            return writeFloppy(file, newImage) && (!syncWrites || syncFile(file, FileRole::Image));
        });
    if (locked == LockOutcome::Failed || !mountImage(path)) {
        printFormatted(msg::kFmtMountFailed, path);
        return exitStatus(errexit, takeOutcome());
    }
    if (locked == LockOutcome::Unlocked) {
        printErrorLine(msg::kMsgLockUnavailable);
    }
    Outcome outcome = Outcome::Succeeded;
    if (commandCount > 0) {
        if (!(format && lock.createdImage())) {
            dispatchCommand(commandCount, argv + commandIndex);
        }
    } else {
        printUsage();
        printModeChange(false);
        outcome = runPromptLoop(input, errexit);
    }
    if (!closeImage()) {
        printLine(msg::kMsgWriteFailed);
    }
    return exitStatus(errexit, std::max(outcome, takeOutcome()));
}

}  // namespace fat12img
