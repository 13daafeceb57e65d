#include "shell/options.hpp"

#include <cstring>

namespace fat12img {

namespace {

constexpr const char* kHelpAliases[] = {"?", "/?", "help", "/help", "-h", "-help", "--help"};
constexpr const char* kEndOfOptions = "--";

struct OptionRow {
    const char* shortName;  // null when the option has only the long form
    const char* longName;
    bool Options::*flag;
};

const OptionRow kOptions[] = {
    {"-e", "--errexit", &Options::errexit},
    {nullptr, "--version", &Options::version},
    {nullptr, "--sync", &Options::sync},
};

bool equals(const char* a, const char* b) {
    return a != nullptr && std::strcmp(a, b) == 0;
}

bool isHelpAlias(const char* text) {
    for (const char* alias : kHelpAliases) {
        if (equals(text, alias)) {
            return true;
        }
    }
    return false;
}

const OptionRow* findOption(const char* argument) {
    for (const OptionRow& row : kOptions) {
        if (equals(row.shortName, argument) || equals(row.longName, argument)) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace

CommandLine parseCommandLine(int argc, char** argv) {
    CommandLine line;
    for (; line.next < argc; ++line.next) {
        const char* argument = argv[line.next];
        if (isHelpAlias(argument)) {
            line.help = true;
            break;
        }
        if (argument[0] != '-') {
            break;
        }
        if (equals(argument, kEndOfOptions)) {
            ++line.next;
            break;
        }
        const OptionRow* option = findOption(argument);
        if (option == nullptr) {
            line.unknownOption = argument;
            break;
        }
        line.options.*(option->flag) = true;
    }
    return line;
}

}  // namespace fat12img
