#pragma once

#include <cstdio>

namespace fat12img {

void printUsage();
// Prints the mode line when binaryMode differs from the mode before the command.
void printModeChange(bool previousBinaryMode);
// The program: command-line mode with a command, else the prompt loop over `input`.
// Always returns 0.
int runShell(int argc, char** argv, std::FILE* input);

}  // namespace fat12img
