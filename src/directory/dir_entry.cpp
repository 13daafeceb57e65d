#include "directory/dir_entry.hpp"

#include <cstring>

#include "volume/byte_order.hpp"

namespace fat12img {

namespace {

uint8_t foldAscii(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c | 0x20) : c;
}

constexpr uint8_t kDot = '.';
// Below the blank, every byte is a control character.
constexpr uint8_t kFirstPrintable = 0x20;
// What DOS reserves for its own syntax: wildcards, separators, switches, redirections.
constexpr char kRefusedCharacters[] = "\"*+,/:;<=>?[\\]|";

// How many of the `length` bytes at `text` fit `limit` bytes without cutting a double-byte
// character.
size_t fittingLength(const char* text, size_t length, size_t limit) {
    size_t fit = 0;
    while (fit < length) {
        const size_t next = fit + shiftJisCharLength(text + fit, length - fit);
        if (next > limit) {
            break;
        }
        fit = next;
    }
    return fit;
}

}  // namespace

SlotClass classifySlot(const uint8_t* slot) {
    if (slot[entry::kName] == entry::kFreeMarker) {
        return SlotClass::Free;
    }
    if ((slot[entry::kAttribute] & entry::kLongNameMask) == entry::kLongNamePattern) {
        return SlotClass::LongName;
    }
    if (slot[entry::kName] == entry::kEndMarker) {
        return SlotClass::EndMarker;
    }
    if (slot[entry::kName] == entry::kBlank) {
        return SlotClass::BlankHeaded;
    }
    return SlotClass::InUse;
}

void toShortName(uint8_t* dest, const char* name) {
    const size_t length = std::strlen(name);
    const char* lastDot = std::strrchr(name, '.');
    const size_t baseLength = lastDot != nullptr ? static_cast<size_t>(lastDot - name) : length;
    std::memset(dest, entry::kBlank, entry::kNameFieldSize);
    std::memcpy(dest, name, fittingLength(name, baseLength, entry::kBaseSize));
    if (lastDot != nullptr) {
        const char* extension = lastDot + 1;
        const size_t extensionLength = length - baseLength - 1;
        std::memcpy(dest + entry::kExtension, extension,
                    fittingLength(extension, extensionLength, entry::kExtensionSize));
    }
    if (dest[0] == entry::kFreeMarker) {
        dest[0] = entry::kEscapedE5;
    }
}

int displayName(const uint8_t* field, char* out) {
    int n = 0;
    for (uint32_t i = 0; i < entry::kBaseSize && field[i] != entry::kBlank; ++i) {
        out[n++] = static_cast<char>(field[i]);
    }
    if (n > 0 && field[0] == entry::kEscapedE5) {
        out[0] = static_cast<char>(entry::kFreeMarker);
    }
    if (field[entry::kExtension] != entry::kBlank) {
        out[n++] = '.';
        for (uint32_t i = entry::kExtension; i < entry::kNameFieldSize && field[i] != entry::kBlank;
             ++i) {
            out[n++] = static_cast<char>(field[i]);
        }
    }
    out[n++] = '\0';
    return n;
}

bool shortNamesMatch(const uint8_t* key, const uint8_t* stored) {
    bool secondByte = false;
    for (uint32_t i = 0; i < entry::kNameFieldSize; ++i) {
        uint8_t k = key[i];
        uint8_t s = stored[i];
        if (secondByte) {
            secondByte = false;
        } else {
            // A stored 0x05 in front stands for the lead byte 0xE5.
            if (k >= 0x80 || (i == 0 && k == entry::kEscapedE5)) {
                secondByte = true;
            }
            k = foldAscii(k);
            s = foldAscii(s);
        }
        if (k != s) {
            return false;
        }
    }
    return true;
}

void fillEntry(uint8_t* e, const uint8_t* shortName, uint8_t attribute, uint16_t firstCluster,
               uint32_t size) {
    std::memset(e, 0, entry::kEntrySize);
    std::memcpy(e + entry::kName, shortName, entry::kNameFieldSize);
    e[entry::kAttribute] = attribute;
    writeLe16(e + entry::kCreationDate, entry::kFixedDate);
    writeLe16(e + entry::kLastAccessDate, entry::kFixedDate);
    writeLe16(e + entry::kWriteDate, entry::kFixedDate);
    writeLe16(e + entry::kFirstCluster, firstCluster);
    writeLe32(e + entry::kSize, size);
}

bool isDotEntry(const uint8_t* e) {
    if ((e[entry::kAttribute] & entry::kAttrDirectory) == 0) {
        return false;
    }
    int last = -1;
    for (int i = entry::kNameFieldSize - 1; i >= 0; --i) {
        if (e[i] != entry::kBlank) {
            last = i;
            break;
        }
    }
    if (last != 0 && last != 1) {
        return false;
    }
    for (int i = 0; i <= last; ++i) {
        if (e[i] != kDot) {
            return false;
        }
    }
    return true;
}

bool isCreatableName(const char* name, const uint8_t* field) {
    if (name[0] == '\0' || field[0] == entry::kBlank || field[0] == kDot) {
        return false;
    }
    const size_t length = std::strlen(name);
    for (size_t i = 0; i < length;) {
        const size_t characterLength = shiftJisCharLength(name + i, length - i);
        const uint8_t byte = static_cast<uint8_t>(name[i]);
        if (characterLength == 1 &&
            (byte < kFirstPrintable || std::strchr(kRefusedCharacters, byte) != nullptr)) {
            return false;
        }
        i += characterLength;
    }
    return true;
}

std::string shortNameForHostName(const std::string& hostName) {
    std::string name;
    size_t dots = 0;
    size_t base = 0;
    size_t extension = 0;
    for (size_t i = 0; i < hostName.size();) {
        const size_t characterLength =
            shiftJisCharLength(hostName.c_str() + i, hostName.size() - i);
        const char c = hostName[i];
        if (characterLength == 1 && c == kDot) {
            ++dots;
        } else {
            (dots == 0 ? base : extension) += characterLength;
        }
        if (characterLength == 1 && c >= 'a' && c <= 'z') {
            name += static_cast<char>(c - ('a' - 'A'));
        } else {
            name.append(hostName, i, characterLength);
        }
        i += characterLength;
    }
    uint8_t field[entry::kNameFieldSize];
    toShortName(field, name.c_str());
    const bool fits = base >= 1 && base <= entry::kBaseSize && dots <= 1 &&
                      extension <= entry::kExtensionSize && isCreatableName(name.c_str(), field);
    return fits ? name : "";
}

uint16_t entryFirstCluster(const uint8_t* e) {
    return readLe16(e + entry::kFirstCluster);
}

uint32_t entryFileSize(const uint8_t* e) {
    return readLe32(e + entry::kSize);
}

}  // namespace fat12img
