// The 32-byte directory entry: 8.3 name conversion both ways, the lookup comparison, slot
// classes, the bytes of a new entry and the "." / ".." test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "directory/dir_entry.hpp"

using namespace fat12img;

namespace {

std::string field(const char* name) {
    uint8_t out[11];
    std::memset(out, 0xCC, sizeof out);
    toShortName(out, name);
    return std::string(reinterpret_cast<const char*>(out), 11);
}

const uint8_t* bytes(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

struct ShortNameRow {
    std::string name;
    std::string field;  // 8 + 3 bytes
};

TEST(ToShortName, Conversions) {
    const ShortNameRow rows[] = {
        {"hello.txt", "hello   txt"},
        {"README", "README     "},
        {"longfilename.text", "longfiletex"},
        {"a.b.c", "a.b     c  "},
        {"name.", "name       "},
        {".abc", "        abc"},
        {".", "           "},
        {"..", ".          "},
        {"...", "..         "},
        {"", "           "},
        {"Hello.TXT", "Hello   TXT"},  // case kept
        {"readme.txt.bak", "readme.tbak"},
        {"abcdefghijk", "abcdefgh   "},  // no dot: first 8 kept
        {"abcdefghi.txt", "abcdefghtxt"},
        {"abcdefghj.txt", "abcdefghtxt"},  // same field as the row above
        {"a b.c d", "a b     c d"},        // blanks are ordinary bytes
        {"x.y", "x       y  "},
        {"\x83\x41\x83\x43.\x82\xA0", "\x83\x41\x83\x43    \x82\xA0 "},  // double-byte
        {"\xE5\x41.TXT", "\x05\x41      TXT"},  // leading 0xE5 stored as 0x05
        {"A\xE5.TXT", "A\xE5      TXT"},        // only the first byte is substituted
        {std::string("\xE5"), std::string("\x05          ")},
        // A double-byte character that a limit would cut goes whole (ソ is 0x83 0x5C).
        {"ABCDEFG\x83\\", "ABCDEFG    "},
        {"ABCDEFG\x83\\.TXT", "ABCDEFG TXT"},
        {"ABCDEFGH\x83\\", "ABCDEFGH   "},
        {"A.TX\x83\\", "A       TX "},
        {"A.T\x83\\", "A       T\x83\\"},
        {"\x95\\\x8E\xA6\x95\\\x8E\xA6.TXT", "\x95\\\x8E\xA6\x95\\\x8E\xA6TXT"},
        // A lead byte with nothing after it in the base is a character of its own; a
        // single-byte katakana (0xB1) is one byte.
        {"ABCDEFG\x83.TXT", "ABCDEFG\x83TXT"},
        {"ABCDEFG\xB1\xB2", "ABCDEFG\xB1   "},
    };
    for (const ShortNameRow& r : rows) {
        SCOPED_TRACE(::testing::PrintToString(r.name));
        ASSERT_EQ(r.field.size(), 11u);
        EXPECT_EQ(field(r.name.c_str()), r.field);
    }
}

struct DisplayRow {
    std::string field;
    std::string shown;
};

TEST(DisplayName, Conversions) {
    const DisplayRow rows[] = {
        {"HELLO   TXT", "HELLO.TXT"},
        {"README     ", "README"},
        {"ABCDEFGHXYZ", "ABCDEFGH.XYZ"},  // the longest: 12 characters
        {"AB CD   TXT", "AB.TXT"},        // base up to its first blank
        {"A       B C", "A.B"},           // extension up to its first blank
        {"readme.tbak", "readme.t.bak"},
        {"        abc", ".abc"},
        {"           ", ""},
        {"\x05\x41      TXT", "\xE5\x41.TXT"},  // 0x05 shown as 0xE5
        {"\x05       TXT", "\xE5.TXT"},
        {"A\x05      TXT", "A\x05.TXT"},  // only in front
        {"\x83\x41      \x82\xA0 ", "\x83\x41.\x82\xA0"},
    };
    for (const DisplayRow& r : rows) {
        SCOPED_TRACE(::testing::PrintToString(r.field));
        ASSERT_EQ(r.field.size(), 11u);
        char out[16];
        std::memset(out, 'Z', sizeof out);
        const int length = displayName(bytes(r.field), out);
        EXPECT_EQ(std::string(out), r.shown);
        EXPECT_EQ(length, int(r.shown.size()) + 1);
        EXPECT_EQ(out[13], 'Z');  // never more than 13 bytes
    }
}

struct MatchRow {
    const char* what;
    std::string key;  // a name, converted as a lookup converts it
    std::string stored;
    bool matches;
};

TEST(ShortNamesMatch, Comparison) {
    const MatchRow rows[] = {
        {"same bytes", "hello.txt", "hello   txt", true},
        {"stored upper, key lower", "hello.txt", "HELLO   TXT", true},
        {"key upper, stored lower", "HELLO.TXT", "hello   txt", true},
        {"mixed both sides", "HeLLo.tXt", "hEllO   TxT", true},
        {"different letter", "hello.txt", "hellp   txt", false},
        {"extension differs", "hello.txt", "hello   txu", false},
        {"non-letters are not folded", "a@.txt", "a`      txt", false},
        {"'[' is not a capital", "[.txt", "{       txt", false},
        {"second byte 0x41 vs stored 0x41", "\x83\x41.txt", "\x83\x41      txt", true},
        {"second byte 0x41 vs stored 0x61", "\x83\x41.txt", "\x83\x61      txt", false},
        {"second byte 0x61 vs stored 0x41", "\x83\x61.txt", "\x83\x41      txt", false},
        {"letters after a double-byte char fold again", "\x83\x41\x41.txt", "\x83\x41\x61     TXT",
         true},
        {"katakana lead byte: next byte exact", "\xB1\x41", "\xB1\x61         ", false},
        {"katakana lead byte: same bytes", "\xB1\x41", "\xB1\x41         ", true},
        {"two katakana: second one is itself exact", "\xB1\xB1\x41", "\xB1\xB1\x61        ", true},
        {"leading E5 key finds stored 05", "\xE5\x82\xA0.txt", "\x05\x82\xA0     txt", true},
        {"byte after a leading E5 is exact", "\xE5\x41.txt", "\x05\x61      txt", false},
        {"byte after a leading E5, same", "\xE5\x41.txt", "\x05\x41      TXT", true},
        {"stored E5 is not 05", "\xE5\x41.txt", "\xE5\x41      txt", false},
        {"leading-dot name matches only its own form", ".abc", "        ABC", true},
        {"leading-dot name vs abc", ".abc", "abc        ", false},
        {"'..' looks up the '.' entry", "..", ".          ", true},
        {"'...' looks up the '..' entry", "...", "..         ", true},
        {"'.' is not the '.' entry", ".", ".          ", false},
    };
    for (const MatchRow& r : rows) {
        SCOPED_TRACE(r.what);
        ASSERT_EQ(r.stored.size(), 11u);
        const std::string key = field(r.key.c_str());
        EXPECT_EQ(shortNamesMatch(bytes(key), bytes(r.stored)), r.matches);
    }
}

struct SlotRow {
    uint8_t first;
    uint8_t attribute;
    SlotClass expected;
};

TEST(ClassifySlot, TestsInOrder) {
    const SlotRow rows[] = {
        {0xE5, 0x00, SlotClass::Free},
        {0xE5, 0x0F, SlotClass::Free},  // free before long-name
        {0x41, 0x0F, SlotClass::LongName},
        {0x00, 0x0F, SlotClass::LongName},  // long-name before end marker
        {0x20, 0x0F, SlotClass::LongName},  // long-name before blank-headed
        {0x41, 0x4F, SlotClass::LongName},  // only the low six bits count
        {0x41, 0xCF, SlotClass::LongName},
        {0x41, 0x1F, SlotClass::InUse},
        {0x41, 0x3F, SlotClass::InUse},
        {0x00, 0x00, SlotClass::EndMarker},
        {0x00, 0x10, SlotClass::EndMarker},
        {0x20, 0x00, SlotClass::BlankHeaded},
        {0x20, 0x10, SlotClass::BlankHeaded},
        {0x41, 0x00, SlotClass::InUse},
        {0x05, 0x00, SlotClass::InUse},  // an escaped 0xE5 name
        {'.', 0x10, SlotClass::InUse},
        {0x41, 0x08, SlotClass::InUse},  // volume label
        {0xE4, 0x00, SlotClass::InUse},
    };
    for (const SlotRow& r : rows) {
        SCOPED_TRACE(::testing::Message() << std::hex << int(r.first) << "/" << int(r.attribute));
        uint8_t slot[32];
        std::memset(slot, 'X', sizeof slot);
        slot[0] = r.first;
        slot[11] = r.attribute;
        EXPECT_EQ(classifySlot(slot), r.expected);
    }
}

TEST(FillEntry, AllThirtyTwoBytes) {
    uint8_t e[33];
    std::memset(e, 0xCC, sizeof e);
    fillEntry(e, bytes("HELLO   TXT"), 0x10, 0x1234, 0x89ABCDEF);
    const uint8_t expected[32] = {
        'H',  'E',  'L',  'L',  'O', ' ', ' ', ' ', 'T', 'X', 'T',  // name field
        0x10,                                                       // attribute
        0,    0,    0,    0,                                        // reserved, creation time
        0x41, 0x00,                                                 // creation date
        0x41, 0x00,                                                 // last access date
        0,    0,    0,    0,                                        // cluster high, write time
        0x41, 0x00,                                                 // write date
        0x34, 0x12,                                                 // first cluster
        0xEF, 0xCD, 0xAB, 0x89,                                     // size
    };
    for (int i = 0; i < 32; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(e[i], expected[i]);
    }
    EXPECT_EQ(e[32], 0xCC);
    EXPECT_EQ(entryFirstCluster(e), 0x1234);
    EXPECT_EQ(entryFileSize(e), 0x89ABCDEFu);
}

struct DotRow {
    std::string name;
    uint8_t attribute;
    bool dot;
};

TEST(IsDotEntry, OneOrTwoDotsWithTheDirectoryBit) {
    const DotRow rows[] = {
        {".          ", 0x10, true},  {"..         ", 0x10, true},
        {"..         ", 0x30, true},   // other bits do not matter
        {".          ", 0x00, false},  // no directory bit
        {"..         ", 0x20, false}, {"...        ", 0x10, false},
        {".A         ", 0x10, false}, {"A.         ", 0x10, false},
        {". .        ", 0x10, false},  // last non-blank at position 2
        {".       A  ", 0x10, false}, {".         .", 0x10, false},
        {"           ", 0x10, false}, {"A          ", 0x10, false},
    };
    for (const DotRow& r : rows) {
        SCOPED_TRACE(::testing::Message() << '"' << r.name << "\" " << int(r.attribute));
        uint8_t e[32] = {};
        std::memcpy(e, r.name.data(), 11);
        e[11] = r.attribute;
        EXPECT_EQ(isDotEntry(e), r.dot);
    }
}

struct CreatableRow {
    std::string name;
    bool creatable;
};

TEST(IsCreatableName, NoLeadingBlankOrDotNoControlOrReservedCharacter) {
    std::vector<CreatableRow> rows = {
        {"A", true},
        {"\xE5\x41.TXT", true},
        {"a.b.c", true},  // dots before the last one are base characters
        {"x-y_z!#$%&'()@^`{}~.TXT", true},
        {"\x7F\x80\xA0\xFD\xFE\xFF", true},
        {"", false},
        {".abc", false},
        {" x", false},
        {"..", false},
        // Second bytes of double-byte characters may be anything.
        {"\x83\\", true},  // ソ
        {"\x81\x5B", true},
        {"\x81\x7C", true},  // the second byte is '|'
        {"\xE0\x3F", true},  // '?'
        {"\xFC\x2A", true},  // '*'
        // A lead byte that ends the name stands alone; what follows a single-byte
        // katakana is a character of its own.
        {"AB\x83", true},
        {"\xB1|", false},
        {"A\x1F", false},
    };
    for (const char c : std::string("\"*+,/:;<=>?[\\]|")) {
        rows.push_back({std::string("A") + c + "B.TXT", false});
        rows.push_back({std::string("AB.T") + c, false});
    }
    for (int c = 1; c < 0x20; ++c) {
        rows.push_back({std::string("A") + char(c), false});
    }
    for (const CreatableRow& r : rows) {
        SCOPED_TRACE(::testing::PrintToString(r.name));
        uint8_t key[11];
        toShortName(key, r.name.c_str());
        EXPECT_EQ(isCreatableName(r.name.c_str(), key), r.creatable);
    }
}

}  // namespace
