#include "shell/dispatcher.hpp"

#include <cstring>
#include <optional>

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

// Reads write's and read's parameters: false, after the message, for a token that is none
// of them or a negative value. Every token is checked before anything is transferred.
bool parseTransferParameters(int count, char** tokens, RawParameters& p) {
    const char* badToken = parseRawParameters(count, tokens, p);
    if (badToken != nullptr) {
        printLine(msg::kMsgBadParameter, badToken);
        return false;
    }
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
    if (refuseIfReadOnly()) {
        return;
    }
    const char* badToken = nullptr;
    const std::optional<FormatOptions> options = parseFormatParameters(count, tokens, &badToken);
    if (!options) {
        printLine(msg::kMsgBadParameter, badToken);
        return;
    }
    const bool closed = closeImage();
    if (cmdFormat(image.imagePath, closed, image.imageDevice.syncWrites, *options) !=
        FloppyWrite::CannotCreate) {
        mountImage(image.imagePath);
    }
}

void runBoot(int /*count*/, char** tokens) {
    if (refuseIfReadOnly()) {
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
    cmdBoot(*code, image.imagePath, closed, image.imageDevice.syncWrites);
    mountImage(image.imagePath);
}

void runWrite(int count, char** tokens) {
    if (refuseIfReadOnly()) {
        return;
    }
    RawParameters p;
    if (!parseTransferParameters(count, tokens, p)) {
        return;
    }
    std::optional<SectorSource> source = openSectorSource(tokens[1], p, image.imagePath);
    if (!source) {
        return;
    }
    const bool closed = closeImage();
    cmdWrite(*source, p, image.imagePath, closed, image.imageDevice.syncWrites);
    mountImage(image.imagePath);
}

void runRead(int count, char** tokens) {
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

enum class ImageChange { Never, Always, WhenDestinationInImage };

// "-r" (or "-R") right after cp copies whole trees.
bool isTreeCopy(char** tokens) {
    return equals(tokens[1], "-r") || equals(tokens[1], "-R");
}

struct Command {
    const char* name;
    int tokensRequired;  // the name included
    bool needsFileSystem;
    ImageChange change;
    void (*run)(int count, char** tokens);
};

// In the order the names are compared.
const Command kCommands[] = {
    {"?", 1, false, ImageChange::Never, [](int, char**) { printUsage(); }},
    {"help", 1, false, ImageChange::Never, [](int, char**) { printUsage(); }},
    {"format", 1, false, ImageChange::Always, runFormat},
    {"boot", 2, false, ImageChange::Always, runBoot},
    {"write", 2, false, ImageChange::Always, runWrite},
    {"read", 2, false, ImageChange::Never, runRead},
    {"ls", 1, true, ImageChange::Never,
     [](int count, char** tokens) { cmdLs(count - 1, tokens + 1); }},
    {"cd", 2, true, ImageChange::Never, [](int, char** tokens) { cmdCd(tokens[1]); }},
    {"mkdir", 2, true, ImageChange::Always, [](int, char** tokens) { cmdMkdir(tokens[1]); }},
    {"rmdir", 2, true, ImageChange::Always, [](int, char** tokens) { cmdRmdir(tokens[1]); }},
    {"touch", 2, true, ImageChange::Always, [](int, char** tokens) { cmdTouch(tokens[1]); }},
    {"rm", 2, true, ImageChange::Always, [](int, char** tokens) { cmdRm(tokens[1]); }},
    {"mv", 3, true, ImageChange::WhenDestinationInImage,
     [](int, char** tokens) { cmdMv(tokens[1], tokens[2]); }},
    {"cp", 3, true, ImageChange::WhenDestinationInImage,
     [](int count, char** tokens) {
         if (!isTreeCopy(tokens)) {
             cmdCp(tokens[1], tokens[2]);
         } else if (count < 4) {
             printLine(msg::kMsgTooFewArguments);
         } else {
             cmdCpTree(tokens[2], tokens[3]);
         }
     }},
};

const Command* findCommand(const char* name) {
    for (const Command& command : kCommands) {
        if (equals(name, command.name)) {
            return &command;
        }
    }
    return nullptr;
}

}  // namespace

std::optional<FormatOptions> parseFormatParameters(int count, char** tokens,
                                                   const char** badToken) {
    FormatOptions options;
    auto formatParameter = [&options](const char* key) {
        return Parameter{key, [&options, key](const char* value) {
                             return setFormatParameter(options, key, value);
                         }};
    };
    *badToken = readParameters(
        count, tokens, 1,
        {formatParameter("size"), formatParameter("label"), formatParameter("serial")});
    if (*badToken != nullptr) {
        return std::nullopt;
    }
    return options;
}

std::optional<FormatOptions> formatOfCommand(int count, char** tokens) {
    const char* badToken = nullptr;
    return count >= 1 && equals(tokens[0], "format")
               ? parseFormatParameters(count, tokens, &badToken)
               : std::nullopt;
}

std::optional<int32_t> parseWholeDecimal(const char* text) {
    const char* p = text;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (*p == '\0') {
        return std::nullopt;
    }
    int64_t value = 0;
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return std::nullopt;
        }
        value = value * 10 + (*p - '0');
        if (value >= limit) {
            value = limit;
        }
    }
    return static_cast<int32_t>(negative ? -value : value);
}

Parameter decimalParameter(const char* key, int32_t& value) {
    return {key, [&value](const char* text) {
                const std::optional<int32_t> parsed = parseWholeDecimal(text);
                if (parsed) {
                    value = *parsed;
                }
                return parsed.has_value();
            }};
}

const char* readParameters(int count, char** tokens, int first,
                           const std::vector<Parameter>& allowed) {
    for (int i = first; i < count; ++i) {
        const char* token = tokens[i];
        const char* equalsSign = std::strchr(token, '=');
        const Parameter* parameter = nullptr;
        if (equalsSign != nullptr) {
            const size_t keyLength = static_cast<size_t>(equalsSign - token);
            for (const Parameter& candidate : allowed) {
                if (std::strlen(candidate.key) == keyLength &&
                    std::strncmp(candidate.key, token, keyLength) == 0) {
                    parameter = &candidate;
                    break;
                }
            }
        }
        if (parameter == nullptr || !parameter->take(equalsSign + 1)) {
            return token;
        }
    }
    return nullptr;
}

const char* parseRawParameters(int count, char** tokens, RawParameters& p) {
    p = RawParameters();
    // The parameters follow the host path, which is never read as one.
    constexpr int kFirstParameter = 2;
    return readParameters(count, tokens, kFirstParameter,
                          {decimalParameter("base", p.base), decimalParameter("lba", p.lba),
                           decimalParameter("num", p.num), decimalParameter("ch", p.ch)});
}

void dispatchCommand(int count, char** tokens) {
    if (count < 1) {
        return;
    }
    const Command* command = findCommand(tokens[0]);
    // After a failed remount there is no directory to work in, as in binary mode; an
    // unknown name is refused there too.
    if ((command == nullptr || command->needsFileSystem) && !fileSystemAvailable()) {
        printLine(msg::kMsgBinaryModeRefused);
        return;
    }
    if (command == nullptr) {
        printLine(msg::kMsgInvalidCommand);
        return;
    }
    if (count < command->tokensRequired) {
        printLine(msg::kMsgTooFewArguments);
        return;
    }
    command->run(count, tokens);
}

bool commandMayChangeImage(int count, char** tokens) {
    const Command* command = count >= 1 ? findCommand(tokens[0]) : nullptr;
    if (command == nullptr) {
        return false;
    }
    switch (command->change) {
        case ImageChange::Never:
            return false;
        case ImageChange::Always:
            return true;
        case ImageChange::WhenDestinationInImage: {
            // Without a destination the command line is wrong, which the command says.
            const int destination = count > 1 && isTreeCopy(tokens) ? 3 : 2;
            return count <= destination || tokens[destination][0] != kHostFileMark;
        }
    }
    return false;
}

}  // namespace fat12img
