#include <cstdio>

#include "shell/shell.hpp"

int main(int argc, char** argv) {
    return fat12img::runShell(argc, argv, stdin);
}
