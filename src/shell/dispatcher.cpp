#include "shell/dispatcher.hpp"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "commands/commands.hpp"
#include "raw/format.hpp"
#include "raw/raw_transfer.hpp"
#include "shell/console.hpp"
#include "shell/image_state.hpp"
#include "shell/messages.hpp"
#include "shell/shell.hpp"

namespace fat12img {

namespace {

bool equals(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}

// The commands that need the file system, in the order their names are compared.
struct FileSystemCommand {
    const char* name;
    int tokensRequired;  // the name included
    void (*run)(int count, char** tokens);
};

const FileSystemCommand kFileSystemCommands[] = {
    {"ls", 1, [](int count, char** tokens) { cmdLs(count - 1, tokens + 1); }},
    {"cd", 2, [](int, char** tokens) { cmdCd(tokens[1]); }},
    {"mkdir", 2, [](int, char** tokens) { cmdMkdir(tokens[1]); }},
    {"rmdir", 2, [](int, char** tokens) { cmdRmdir(tokens[1]); }},
    {"touch", 2, [](int, char** tokens) { cmdTouch(tokens[1]); }},
    {"rm", 2, [](int, char** tokens) { cmdRm(tokens[1]); }},
    {"mv", 3, [](int, char** tokens) { cmdMv(tokens[1], tokens[2]); }},
    {"cp", 3, [](int, char** tokens) { cmdCp(tokens[1], tokens[2]); }},
};

void runRawTransfer(bool isWrite, int count, char** tokens) {
    if (count < 2) {
        return;
    }
    // After a failed remount there is no image to read from.
    if (!isWrite && image.imageFile == nullptr) {
        printLine(msg::kMsgCannotOpenImage);
        return;
    }
    const RawParameters p = parseRawParameters(count, tokens);
    if (p.base < 0) {
        printLine(msg::kMsgBadBase);
        return;
    }
    if (p.lba < 0) {
        printLine(msg::kMsgBadLba);
        return;
    }
    if (p.num < 0) {
        printLine(msg::kMsgBadNum);
        return;
    }
    if (isWrite) {
        cmdWrite(tokens[1], p.base, p.lba, p.num, p.ch);
    } else {
        cmdRead(tokens[1], p.base, p.lba, p.num);
    }
}

}  // namespace

int32_t parseDecimal(const char* text) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    int64_t value = 0;
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value >= limit) {
            value = limit;
        }
    }
    return static_cast<int32_t>(negative ? -value : value);
}

RawParameters parseRawParameters(int count, char** tokens) {
    RawParameters p;
    for (int i = 2; i < count; ++i) {
        char* equalsSign = std::strchr(tokens[i], '=');
        if (equalsSign == nullptr) {
            continue;
        }
        *equalsSign = '\0';
        const char* key = tokens[i];
        const char* value = equalsSign + 1;
        if (equals(key, "base")) {
            p.base = parseDecimal(value);
        } else if (equals(key, "lba")) {
            p.lba = parseDecimal(value);
        } else if (equals(key, "num")) {
            p.num = parseDecimal(value);
        } else if (equals(key, "ch")) {
            p.ch = parseDecimal(value);
        }
    }
    return p;
}

void dispatchCommand(int count, char** tokens) {
    if (count < 1) {
        return;
    }
    const char* name = tokens[0];
    if (equals(name, "?") || equals(name, "help")) {
        printUsage();
        return;
    }
    if (equals(name, "format")) {
        cmdFormat();
        return;
    }
    if (equals(name, "write")) {
        runRawTransfer(true, count, tokens);
        return;
    }
    if (equals(name, "read")) {
        runRawTransfer(false, count, tokens);
        return;
    }
    // After a failed remount there is no directory to work in, as in binary mode.
    if (!fileSystemAvailable()) {
        printLine(msg::kMsgBinaryModeRefused);
        return;
    }
    for (const FileSystemCommand& command : kFileSystemCommands) {
        if (equals(name, command.name)) {
            if (count >= command.tokensRequired) {
                command.run(count, tokens);
            }
            return;
        }
    }
    printLine(msg::kMsgInvalidCommand);
}

}  // namespace fat12img
