#include "directory/dir_entry.hpp"

#include <cstring>

#include "volume/byte_order.hpp"

namespace fat12img {

namespace {

uint8_t foldAscii(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c | 0x20) : c;
}

constexpr uint8_t kDot = '.';

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
    size_t baseLength = lastDot != nullptr ? static_cast<size_t>(lastDot - name) : length;
    if (baseLength > entry::kBaseSize) {
        baseLength = entry::kBaseSize;
    }
    std::memset(dest, entry::kBlank, entry::kNameFieldSize);
    std::memcpy(dest, name, baseLength);
    if (lastDot != nullptr) {
        const char* extension = lastDot + 1;
        for (size_t i = 0; i < entry::kExtensionSize && extension[i] != '\0'; ++i) {
            dest[entry::kExtension + i] = static_cast<uint8_t>(extension[i]);
        }
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

bool isCreatableShortName(const uint8_t* field) {
    return field[0] != entry::kBlank && field[0] != kDot;
}

std::string shortNameForHostName(const std::string& hostName) {
    static constexpr char kRefused[] = "\"*+,/:;<=>?[]|";
    std::string name;
    size_t dots = 0;
    size_t base = 0;
    size_t extension = 0;
    for (size_t i = 0; i < hostName.size(); ++i) {
        const uint8_t c = static_cast<uint8_t>(hostName[i]);
        size_t& part = dots == 0 ? base : extension;
        if (isShiftJisLeadByte(c) && i + 1 < hostName.size()) {
            name += hostName.substr(i++, 2);
            part += 2;
            continue;
        }
        if (c < 0x20 || std::strchr(kRefused, c) != nullptr) {
            return "";
        }
        if (c == kDot) {
            ++dots;
        } else {
            ++part;
        }
        name += static_cast<char>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c);
    }
    const bool fits = base >= 1 && base <= entry::kBaseSize && dots <= 1 &&
                      extension <= entry::kExtensionSize && name[0] != kDot &&
                      name[0] != static_cast<char>(entry::kBlank);
    return fits ? name : "";
}

uint16_t entryFirstCluster(const uint8_t* e) {
    return readLe16(e + entry::kFirstCluster);
}

uint32_t entryFileSize(const uint8_t* e) {
    return readLe32(e + entry::kSize);
}

}  // namespace fat12img
