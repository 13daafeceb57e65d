// Cutting a prompt line into tokens, and reading the key=value parameters of write/read.
#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "shell/dispatcher.hpp"
#include "shell/tokenizer.hpp"

using namespace fat12img;

namespace {

// A line in a buffer of its own, cut the way the shell cuts it.
struct Split {
    explicit Split(const std::string& line, int limit = 10)
        : buffer(line.begin(), line.end()), tokens(size_t(limit > 0 ? limit : 1) + 1, nullptr) {
        buffer.push_back('\0');
        guard = tokens.back() = reinterpret_cast<char*>(&tokens);  // must stay as it is
        count = splitLine(buffer.data(), tokens.data(), limit);
    }
    std::vector<std::string> words() const {
        return std::vector<std::string>(tokens.begin(), tokens.begin() + count);
    }
    std::string bufferText() const { return std::string(buffer.begin(), buffer.end()); }
    bool pointsIntoBuffer() const {
        for (int i = 0; i < count; ++i) {
            if (tokens[i] < buffer.data() || tokens[i] >= buffer.data() + buffer.size()) {
                return false;
            }
        }
        return true;
    }

    std::vector<char> buffer;
    std::vector<char*> tokens;
    char* guard = nullptr;
    int count = 0;
};

using Words = std::vector<std::string>;

struct SplitRow {
    const char* what;
    std::string line;
    Words words;
};

TEST(SplitLine, Lines) {
    const SplitRow rows[] = {
        {"word and newline", "ls\n", {"ls"}},
        {"mixed separators", "  cd\tsub \r\n", {"cd", "sub"}},
        {"newline only", "\n", {}},
        {"empty line", "", {}},
        {"separators only", " \t\r\n \n", {}},
        {"apostrophe stays", "cp 'a.txt b.txt", {"cp", "'a.txt", "b.txt"}},
        {"parameters are not split at '='",
         "write boot.bin lba=0 num=1\n",
         {"write", "boot.bin", "lba=0", "num=1"}},
        {"quotes are ordinary bytes", "mkdir \"a b\"\n", {"mkdir", "\"a", "b\""}},
        {"backslashes are ordinary bytes", "cd \\sub\\dir\n", {"cd", "\\sub\\dir"}},
        {"vertical tab and form feed do not separate", "a\vb\fc d", {"a\vb\fc", "d"}},
        {"Shift_JIS bytes pass",
         "mkdir \x83\x5C\x83\x74\x83\x67\n",
         {"mkdir", "\x83\x5C\x83\x74\x83\x67"}},
        {"no line end", "ls sub", {"ls", "sub"}},
        {"ten words", "1 2 3 4 5 6 7 8 9 10", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}},
        {"ten words and newline: the walk stops at the tenth",
         "1 2 3 4 5 6 7 8 9 10\n",
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10\n"}},
        {"eleven words: the tenth is the rest verbatim",
         "1 2 3 4 5 6 7 8 9 ten eleven\n",
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten eleven\n"}},
        {"runs of separators inside the rest stay",
         " 1  2 3 4 5 6 7 8 9\t\tten \t eleven twelve \r\n",
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten \t eleven twelve \r\n"}},
    };
    for (const SplitRow& r : rows) {
        SCOPED_TRACE(r.what);
        const Split s(r.line);
        EXPECT_EQ(s.words(), r.words);
        EXPECT_TRUE(s.pointsIntoBuffer());
        EXPECT_EQ(s.tokens[10], s.guard);
    }
}

TEST(SplitLine, EverySeparatorPassedBecomesNul) {
    const Split s("  cd\tsub \r\n");
    EXPECT_EQ(s.bufferText(), std::string("\0\0cd\0sub\0\0\0\0", 12));
    EXPECT_EQ(s.tokens[0], s.buffer.data() + 2);
    EXPECT_EQ(s.tokens[1], s.buffer.data() + 5);
}

TEST(SplitLine, SeparatorsAfterTheLimitAreLeftAlone) {
    const Split s("a b c d\n", 2);
    EXPECT_EQ(s.words(), (Words{"a", "b c d\n"}));
    EXPECT_EQ(s.bufferText(), std::string("a\0b c d\n\0", 9));
}

struct LimitRow {
    std::string line;
    int limit;
    Words words;
};

TEST(SplitLine, SmallLimits) {
    // "a b\n" with limit 1: the first token already reaches the limit.
    const LimitRow rows[] = {
        {"a b\n", 0, {}},    {"a b\n", 1, {"a b\n"}},           {" a b\n", 1, {"a b\n"}},
        {"a\n", 1, {"a\n"}}, {"a b c\n", 3, {"a", "b", "c\n"}}, {"a b\n", 3, {"a", "b"}},
    };
    for (const LimitRow& r : rows) {
        SCOPED_TRACE(::testing::Message() << ::testing::PrintToString(r.line) << " / " << r.limit);
        const Split s(r.line, r.limit);
        EXPECT_EQ(s.count, int(r.words.size()));
        EXPECT_EQ(s.words(), r.words);
        EXPECT_EQ(s.tokens.back(), s.guard);  // nothing stored past the limit
    }
}

struct DecimalRow {
    std::string text;
    std::optional<int32_t> value;  // none: no whole decimal number
};

TEST(ParseWholeDecimal, SignDigitsAndNothingElseSaturating) {
    const std::optional<int32_t> none;
    const DecimalRow rows[] = {
        {"0", 0},
        {"42", 42},
        {"00012", 12},
        {"+5", 5},
        {"-3", -3},
        {"-0", 0},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"99999999999999999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"00000000000000000000000000000065", 65},
        // What atoi would have read as a number, or as 0.
        {"  7", none},
        {"7 ", none},
        {"12abc", none},
        {"1 2", none},
        {"0x10", none},
        {"", none},
        {"abc", none},
        {"-", none},
        {"+", none},
        {"+-1", none},
        {"- 1", none},
        {"=5", none},
        {"5=6", none},
    };
    for (const DecimalRow& r : rows) {
        SCOPED_TRACE(::testing::PrintToString(r.text));
        EXPECT_EQ(parseWholeDecimal(r.text.c_str()), r.value);
    }
}

// A command line for parseRawParameters: name, host path, then the parameter tokens.
struct RawLine {
    explicit RawLine(const std::vector<std::string>& words) : text(words) {
        for (std::string& w : text) {
            pointers.push_back(w.data());
        }
    }
    const char* parse(RawParameters& p) {
        return parseRawParameters(int(pointers.size()), pointers.data(), p);
    }
    std::vector<std::string> text;
    std::vector<char*> pointers;
};

struct ParamRow {
    const char* what;
    std::vector<std::string> params;
    RawParameters expected;
    const char* badToken;  // null when every token is a parameter
};

RawParameters params(int32_t base, int32_t lba, int32_t num, int32_t ch) {
    RawParameters p;
    p.base = base;
    p.lba = lba;
    p.num = num;
    p.ch = ch;
    return p;
}

TEST(ParseRawParameters, ValuesAndTheFirstTokenThatIsNone) {
    const RawParameters defaults = params(0, 0, 0, -1);
    const ParamRow rows[] = {
        {"defaults", {}, defaults, nullptr},
        {"all four", {"lba=19", "num=14", "base=2", "ch=65"}, params(2, 19, 14, 65), nullptr},
        {"any order", {"base=2", "ch=7", "num=14", "lba=19"}, params(2, 19, 14, 7), nullptr},
        {"last value wins", {"lba=5", "lba=7"}, params(0, 7, 0, -1), nullptr},
        {"negative values pass through",
         {"base=-1", "lba=-2", "num=-3", "ch=-1"},
         params(-1, -2, -3, -1),
         nullptr},
        {"ch keeps all its bits", {"ch=256"}, params(0, 0, 0, 256), nullptr},
        {"saturation",
         {"num=99999999999", "base=-99999999999"},
         params(INT32_MIN, 0, INT32_MAX, -1),
         nullptr},
        {"a plus sign", {"lba=+5"}, params(0, 5, 0, -1), nullptr},
        {"empty value", {"lba=5", "lba="}, params(0, 5, 0, -1), "lba="},
        {"hex-looking value", {"lba=0x10"}, defaults, "lba=0x10"},
        {"digits, then more", {"lba=5x"}, defaults, "lba=5x"},
        {"empty key", {"=5"}, defaults, "=5"},
        {"key in capitals", {"LBA=5", "Num=3"}, defaults, "LBA=5"},
        {"no '='", {"lba", "5"}, defaults, "lba"},
        {"unknown keys", {"count=3", "lbax=4"}, defaults, "count=3"},
        {"a key only begins like one", {"lbax=4"}, defaults, "lbax=4"},
        {"blank before the key", {" lba=6"}, defaults, " lba=6"},
        {"blank in the value", {"lba= 12"}, defaults, "lba= 12"},
        {"second '=' belongs to the value", {"num=5", "lba==5"}, params(0, 0, 5, -1), "lba==5"},
        {"the first bad token is named", {"num=1", "x", "y=2"}, params(0, 0, 1, -1), "x"},
    };
    for (const ParamRow& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<std::string> words = {"write", "boot.bin"};
        words.insert(words.end(), r.params.begin(), r.params.end());
        RawLine line(words);
        RawParameters p;
        const char* bad = line.parse(p);
        EXPECT_STREQ(bad, r.badToken);
        if (r.badToken == nullptr) {
            EXPECT_EQ(p.base, r.expected.base);
            EXPECT_EQ(p.lba, r.expected.lba);
            EXPECT_EQ(p.num, r.expected.num);
            EXPECT_EQ(p.ch, r.expected.ch);
        }
        // Nothing is cut: the token is named as it was typed.
        for (size_t i = 0; i < words.size(); ++i) {
            EXPECT_EQ(line.text[i], words[i]);
        }
    }
}

TEST(ParseRawParameters, HostPathIsNotAParameter) {
    RawLine line({"read", "lba=5", "num=2"});
    RawParameters p;
    EXPECT_EQ(line.parse(p), nullptr);
    EXPECT_EQ(p.lba, 0);
    EXPECT_EQ(p.num, 2);
}

}  // namespace
