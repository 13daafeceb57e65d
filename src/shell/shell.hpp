#pragma once

#include <cstdio>

namespace fat12img {

void printUsage();
// Prints the mode line when binaryMode differs from the mode before the command.
void printModeChange(bool previousBinaryMode);
// The program: the options, then command-line mode with a command, else the prompt loop
// over `input`. Gives the exit status: with -e the worst outcome (0 success, 1 a command
// failed, 2 the command line was wrong), else 0; an unknown option gives 2 in any case.
int runShell(int argc, char** argv, std::FILE* input);

}  // namespace fat12img
