#pragma once

#include <cstdio>

namespace fat12img {

// How a command ended, as a script sees it: the exit status under -e. Worse outcomes have
// higher values.
enum class Outcome : int {
    Succeeded = 0,
    Failed = 1,            // the command did not do what it was asked
    CommandLineWrong = 2,  // the command line itself was wrong
};

// The outcome a message stands for when printed: Succeeded for the texts that are no
// failure (the mode lines, the lock-wait note); null is Succeeded too.
Outcome outcomeOf(const char* message);
// Whether the message is in the list of failures or in the list of texts that are none:
// every console text must be in one of them.
bool isClassified(const char* message);

// Records the outcome of a message about to be printed; the print functions call it.
void noteOutcome(const char* message);
// The worst outcome of what was printed since the last call, which starts afresh.
Outcome takeOutcome();

// A message is one line followed by a line end; printing it records its outcome.
void printLine(const char* text);
// The message with text of the user's after it on the same line (the token it names).
void printLine(const char* text, const char* tail);
// The same on the error stream, for what must not mix with a command's output.
void printErrorLine(const char* text, const char* tail = "");

// A printf-style message, which carries its own line end.
template <typename... Arguments>
void printFormatted(const char* format, Arguments... arguments) {
    noteOutcome(format);
    std::printf(format, arguments...);
}

}  // namespace fat12img
