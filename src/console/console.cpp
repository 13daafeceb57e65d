#include "console/console.hpp"

#include "console/messages.hpp"

namespace fat12img {

namespace {

struct Failure {
    const char* message;
    Outcome outcome;
};

// Every message that says a command did not do what it was asked, and what it means for
// the exit status. A message that is no failure stands in kNoFailures instead.
const Failure kFailures[] = {
    // The command line itself was wrong: no such command, too few arguments, a parameter
    // that is not one the command takes or a value that cannot be.
    {msg::kMsgInvalidCommand, Outcome::CommandLineWrong},
    {msg::kMsgTooFewArguments, Outcome::CommandLineWrong},
    {msg::kMsgBadParameter, Outcome::CommandLineWrong},
    {msg::kMsgUnknownOption, Outcome::CommandLineWrong},
    {msg::kMsgBadBase, Outcome::CommandLineWrong},
    {msg::kMsgBadLba, Outcome::CommandLineWrong},
    {msg::kMsgBadNum, Outcome::CommandLineWrong},
    // The command failed.
    {msg::kFmtMountFailed, Outcome::Failed},
    {msg::kMsgBinaryModeRefused, Outcome::Failed},
    {msg::kMsgImageReadOnly, Outcome::Failed},
    {msg::kMsgCannotGetDirectory, Outcome::Failed},
    {msg::kMsgDirectoryDoesNotExist, Outcome::Failed},
    {msg::kMsgDirectoryNotFound, Outcome::Failed},
    {msg::kMsgNameExists, Outcome::Failed},
    {msg::kMsgCannotCreateDirectory, Outcome::Failed},
    {msg::kMsgCannotGetNewDirectoryInfo, Outcome::Failed},
    {msg::kMsgIsCurrentDirectory, Outcome::Failed},
    {msg::kMsgIsRootDirectory, Outcome::Failed},
    {msg::kMsgCannotGetParentInfo, Outcome::Failed},
    {msg::kMsgRemoveDirectoryFailed, Outcome::Failed},
    {msg::kMsgCannotCreateFile, Outcome::Failed},
    {msg::kMsgNameDoesNotExist, Outcome::Failed},
    {msg::kMsgRemoveFileFailed, Outcome::Failed},
    {msg::kMsgIsDirectory, Outcome::Failed},
    {msg::kMsgNotAFile, Outcome::Failed},
    {msg::kMsgDestinationExists, Outcome::Failed},
    {msg::kMsgCannotOpenFile, Outcome::Failed},
    {msg::kMsgSourceNotFound, Outcome::Failed},
    {msg::kMsgOutOfMemory, Outcome::Failed},
    {msg::kMsgReadFailed, Outcome::Failed},
    {msg::kMsgCannotOpenDestination, Outcome::Failed},
    {msg::kMsgWriteFailed, Outcome::Failed},
    {msg::kMsgCannotOpenHostFile, Outcome::Failed},
    {msg::kFmtTransferTooLarge, Outcome::Failed},
    {msg::kMsgCannotOpenImage, Outcome::Failed},
    {msg::kMsgHostSeekFailed, Outcome::Failed},
    {msg::kMsgImageSeekFailed, Outcome::Failed},
    {msg::kMsgHostWriteSeekFailed, Outcome::Failed},
    {msg::kMsgNotAShortName, Outcome::Failed},
    {msg::kMsgNamesCollide, Outcome::Failed},
    {msg::kMsgNotARegularFile, Outcome::Failed},
    {msg::kMsgDanglingLink, Outcome::Failed},
    {msg::kMsgLinkLoop, Outcome::Failed},
    {msg::kMsgNameNotForHost, Outcome::Failed},
    {msg::kMsgBootNeedsVolume, Outcome::Failed},
    {msg::kMsgBootTooShort, Outcome::Failed},
    {msg::kMsgBootNoSignature, Outcome::Failed},
    {msg::kMsgBootNoJump, Outcome::Failed},
    {msg::kMsgBootTooLong, Outcome::Failed},
};

// Texts that report a state, not a failure: the mode lines, the note that the run waits
// for another one, and the note that it goes on without a lock.
const char* const kNoFailures[] = {
    msg::kMsgBinaryModeNow,
    msg::kMsgImageModeNow,
    msg::kMsgImageBusy,
    msg::kMsgLockUnavailable,
};

Outcome worstSoFar = Outcome::Succeeded;

}  // namespace

Outcome outcomeOf(const char* message) {
    for (const Failure& failure : kFailures) {
        if (failure.message == message) {
            return failure.outcome;
        }
    }
    return Outcome::Succeeded;
}

bool isClassified(const char* message) {
    for (const char* text : kNoFailures) {
        if (text == message) {
            return true;
        }
    }
    return outcomeOf(message) != Outcome::Succeeded;
}

void noteOutcome(const char* message) {
    const Outcome outcome = outcomeOf(message);
    if (outcome > worstSoFar) {
        worstSoFar = outcome;
    }
}

Outcome takeOutcome() {
    const Outcome outcome = worstSoFar;
    worstSoFar = Outcome::Succeeded;
    return outcome;
}

void printLine(const char* text) {
    printLine(text, "");
}

void printLine(const char* text, const char* tail) {
    noteOutcome(text);
    std::fputs(text, stdout);
    std::fputs(tail, stdout);
    std::fputc('\n', stdout);
}

void printErrorLine(const char* text, const char* tail) {
    noteOutcome(text);
    std::fputs(text, stderr);
    std::fputs(tail, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace fat12img
