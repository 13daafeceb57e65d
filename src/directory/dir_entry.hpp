#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fat12img {

// The 32-byte FAT directory entry, little-endian, by byte offset.
namespace entry {
inline constexpr uint32_t kName = 0;       // 8 bytes base name, blank padded; byte 0 marks the slot
inline constexpr uint32_t kExtension = 8;  // 3 bytes, blank padded
inline constexpr uint32_t kNameFieldSize = 11;
inline constexpr uint32_t kBaseSize = 8;
inline constexpr uint32_t kExtensionSize = 3;
inline constexpr uint32_t kAttribute = 11;
inline constexpr uint32_t kReserved = 12;
inline constexpr uint32_t kCreationTimeTenths = 13;
inline constexpr uint32_t kCreationTime = 14;
inline constexpr uint32_t kCreationDate = 16;
inline constexpr uint32_t kLastAccessDate = 18;
inline constexpr uint32_t kFirstClusterHigh = 20;
inline constexpr uint32_t kWriteTime = 22;
inline constexpr uint32_t kWriteDate = 24;
inline constexpr uint32_t kFirstCluster = 26;
inline constexpr uint32_t kSize = 28;
inline constexpr uint32_t kEntrySize = 32;

inline constexpr uint8_t kFreeMarker = 0xE5;
inline constexpr uint8_t kEndMarker = 0x00;
inline constexpr uint8_t kBlank = 0x20;
// A name whose first byte really is 0xE5 (a Shift_JIS lead byte) is stored as 0x05, so
// that it is not read as a free slot.
inline constexpr uint8_t kEscapedE5 = 0x05;

// A plain file has none of the attribute bits set.
inline constexpr uint8_t kAttrNone = 0x00;
inline constexpr uint8_t kAttrVolumeLabel = 0x08;
inline constexpr uint8_t kAttrDirectory = 0x10;
inline constexpr uint8_t kLongNameMask = 0x3F;
inline constexpr uint8_t kLongNamePattern = 0x0F;
inline constexpr uint8_t kLongNameLastFlag = 0x40;  // sequence byte of the first slot of a set

// 1 February 1980 (bits 0-4 day, 5-8 month, 9-15 years since 1980): no clock is read.
inline constexpr uint16_t kFixedDate = 0x0041;

// The longest display name, "NNNNNNNN.EEE", and its NUL.
inline constexpr uint32_t kDisplayNameSize = 13;
}  // namespace entry

enum class SlotClass { Free, LongName, EndMarker, BlankHeaded, InUse };

// The first byte of a Shift_JIS double-byte character: with the byte after it, whatever
// that is, it makes one character.
inline bool isShiftJisLeadByte(uint8_t byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}
// The length of the character at `text` in a string of `length` bytes: 2 for a lead byte
// with a byte after it, else 1.
inline size_t shiftJisCharLength(const char* text, size_t length) {
    return length >= 2 && isShiftJisLeadByte(static_cast<uint8_t>(text[0])) ? 2 : 1;
}

// Tested in this order: free, long-name, end marker, blank-headed, in use.
SlotClass classifySlot(const uint8_t* slot);

// Converts a NUL-terminated name into the 11-byte field as it is stored: the base up to the
// last dot (at most 8 bytes), the extension after it (at most 3), blank padded, bytes
// unchanged but a leading 0xE5, which becomes 0x05. A double-byte character that would be
// cut by either limit is dropped whole, never left as a lone lead byte.
void toShortName(uint8_t* dest, const char* name);

// Writes the printable form of a stored field ("BASE.EXT", or "BASE" for a blank
// extension) with its NUL into out (at least 13 bytes); returns the length with the NUL.
int displayName(const uint8_t* field, char* out);

// The lookup comparison: ASCII letters fold to lower case on both sides, except the byte
// after a key byte of 0x80 or above (the second byte of a double-byte character), which
// must be equal as it stands.
bool shortNamesMatch(const uint8_t* key, const uint8_t* stored);

void fillEntry(uint8_t* entry, const uint8_t* shortName, uint8_t attribute, uint16_t firstCluster,
               uint32_t size);

// A "." or ".." entry: a directory whose name is one or two dots and blanks.
bool isDotEntry(const uint8_t* entry);

// Whether a new entry may take the name and its field: a field that starts with a blank or
// a dot could not be told from a blank-headed slot or a dot entry, and no FAT reader
// accepts a name holding a control byte or one of " * + , / : ; < = > ? [ \ ] | as a
// character of its own (the second byte of a double-byte character may be any of them).
bool isCreatableName(const char* name, const uint8_t* field);

// The name a host file or directory gets in the image: ASCII letters in upper case, the
// bytes of double-byte characters as they are. Empty when the host name does not fit an
// 8.3 name (a base of 1 to 8 bytes, at most one dot, an extension of at most 3) or is no
// name a new entry may take (isCreatableName).
std::string shortNameForHostName(const std::string& hostName);

uint16_t entryFirstCluster(const uint8_t* entry);
uint32_t entryFileSize(const uint8_t* entry);

}  // namespace fat12img
