#pragma once

namespace fat12img {

// The options that stand before the image path.
struct Options {
    bool errexit = false;  // -e: stop at the first failure and say so in the exit status
    bool version = false;  // --version: print the version and open nothing
    bool sync = false;     // --sync: wait for the disk where the order of writes matters
};

struct CommandLine {
    Options options;
    // The index of the first argument after the options: the image path, if there is one.
    int next = 1;
    // The argument there is a help alias: the usage is printed and nothing opened.
    bool help = false;
    // The first argument that looks like an option but is none, or null.
    const char* unknownOption = nullptr;
};

// Reads the options from argv[1] on, up to the first argument that does not begin with
// '-' or is a help alias, or up to "--", which ends them: the argument after it is the
// image path whatever it looks like.
CommandLine parseCommandLine(int argc, char** argv);

}  // namespace fat12img
