#include "shell/dispatcher.hpp"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "commands/commands.hpp"
#include "console/console.hpp"
#include "console/messages.hpp"
#include "image/image_state.hpp"
#include "raw/boot_code.hpp"
#include "raw/format.hpp"
#include "raw/raw_transfer.hpp"
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

// Reads write's and read's parameters: false, after the message, for a negative one.
bool parseTransferParameters(int count, char** tokens, RawParameters& p) {
    p = parseRawParameters(count, tokens);
    const char* message = p.base < 0  ? msg::kMsgBadBase
                          : p.lba < 0 ? msg::kMsgBadLba
                          : p.num < 0 ? msg::kMsgBadNum
                                      : nullptr;
    if (message != nullptr) {
        printLine(message);
        return false;
    }
    return true;
}

// format, write and boot change the image file through handles of their own: the image
// is closed around them and mounted again, so that what they wrote takes effect at once
// and the shell goes on in the mode the file now gives.
void runFormat(int count, char** tokens) {
    const char* badToken = nullptr;
    const std::optional<FormatOptions> options = parseFormatParameters(count, tokens, &badToken);
    if (!options) {
        std::fputs(msg::kMsgBadParameter, stdout);
        printLine(badToken);
        return;
    }
    const bool closed = closeImage();
    if (cmdFormat(image.imagePath, closed, *options) != FloppyWrite::CannotCreate) {
        mountFormattedImage(image.imagePath);
    }
}

void runBoot(int count, char** tokens) {
    if (count < 2) {
        return;
    }
    if (!fileSystemAvailable()) {
        printLine(msg::kMsgBootNeedsVolume);
        return;
    }
    const std::optional<ByteBuffer> code = readBootCode(tokens[1], image.volumeHolder->geometry());
    if (!code) {
        return;
    }
    const bool closed = closeImage();
    cmdBoot(*code, image.imagePath, closed);
    mountImage(image.imagePath);
}

void runWrite(int count, char** tokens) {
    RawParameters p;
    if (count < 2 || !parseTransferParameters(count, tokens, p)) {
        return;
    }
    std::optional<SectorSource> source = openSectorSource(tokens[1], p, image.imagePath);
    if (!source) {
        return;
    }
    const bool closed = closeImage();
    cmdWrite(*source, p, image.imagePath, closed);
    mountImage(image.imagePath);
}

void runRead(int count, char** tokens) {
    if (count < 2) {
        return;
    }
    // After a failed remount there is no image to read from.
    if (!image.imageFile) {
        printLine(msg::kMsgCannotOpenImage);
        return;
    }
    RawParameters p;
    if (parseTransferParameters(count, tokens, p)) {
        cmdRead(tokens[1], p, image.imageDevice, image.imagePath);
    }
}

}  // namespace

std::optional<FormatOptions> parseFormatParameters(int count, char** tokens,
                                                   const char** badToken) {
    FormatOptions options;
    for (int i = 1; i < count; ++i) {
        const char* token = tokens[i];
        const char* equalsSign = std::strchr(token, '=');
        const std::string key(token, equalsSign != nullptr ? equalsSign - token : 0);
        if (equalsSign == nullptr || !setFormatParameter(options, key.c_str(), equalsSign + 1)) {
            *badToken = token;
            return std::nullopt;
        }
    }
    return options;
}

std::optional<FormatOptions> formatOfCommand(int count, char** tokens) {
    const char* badToken = nullptr;
    return count >= 1 && equals(tokens[0], "format")
               ? parseFormatParameters(count, tokens, &badToken)
               : std::nullopt;
}

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
        runFormat(count, tokens);
        return;
    }
    if (equals(name, "boot")) {
        runBoot(count, tokens);
        return;
    }
    if (equals(name, "write")) {
        runWrite(count, tokens);
        return;
    }
    if (equals(name, "read")) {
        runRead(count, tokens);
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
