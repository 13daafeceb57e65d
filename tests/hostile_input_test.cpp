// Hostile input at the prompt and on the command line: overlong lines, NUL and control
// bytes, too many tokens, absurd parameters and paths, names of every byte value, and
// images whose tables claim far more than the file holds. Nothing may crash, every line
// gets the message it deserves, a file already on the image survives all of it, and memory
// stays near what the image really has.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/expected_output.hpp"
#include "support/image_builder.hpp"
#include "support/run_tool.hpp"
#include "support/tool_workspace.hpp"

using namespace testimg;

namespace {

const std::string kInvalid = consoleLine(u8"無効なコマンドです。");
const std::string kNotFound = consoleLine(u8"ディレクトリが見つかりません");
const std::string kCannotCreateDir = consoleLine(u8"ディレクトリを作成できません");
const std::string kCannotCreateFile = consoleLine(u8"ファイルを作成できません");
const std::string kTooLarge =
    consoleLine(u8"32MBより大きいディスクイメージの操作に対応していません");

// A formatted image holding KEEP.BIN, whose bytes every test checks at the end.
class HostileSession : public ::testing::Test {
  protected:
    void SetUp() override {
        for (int i = 0; i < 3000; ++i) {
            keep.push_back(uint8_t(i * 7 + 3));
        }
        writeFile(disk.file("keep.bin"), keep);
        ASSERT_EQ(disk.run({"cp", "'keep.bin", "KEEP.BIN"}).output, "");
    }

    void TearDown() override {
        const ToolResult out = disk.run({"cp", "KEEP.BIN", "'back.bin"});
        EXPECT_EQ(out.output, "");
        EXPECT_EQ(readFile(disk.file("back.bin")), keep);
        EXPECT_EQ(disk.imageBytes().size(), kFloppyBytes);
    }

    // Types the raw bytes at the prompt; gives what follows the usage text.
    std::string typed(const std::string& input) {
        const ToolResult r = disk.type(input);
        EXPECT_EQ(r.exitStatus, 0);
        return afterUsage(r.output);
    }

    std::string ls() { return disk.run({"ls"}).output; }

    ToolWorkspace disk;
    std::vector<uint8_t> keep;
};

TEST_F(HostileSession, OverlongLinesRunAsPiecesOf255Characters) {
    struct Row {
        size_t length;
        std::string expected;
    };
    // "touch " and As: the first piece creates AAAAAAAA, every further piece of As is a
    // command name nobody knows.
    const Row rows[] = {
        {254, ">>"},
        // The newline of a 255-character line is a piece of its own: a blank line.
        {255, ">>>"},
        {256, ">>" + kInvalid + ">"},
        {1000, ">>" + kInvalid + ">" + kInvalid + ">" + kInvalid + ">"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.length);
        const std::string line = "touch " + std::string(row.length - 6, 'A') + "\n";
        EXPECT_EQ(typed(line), row.expected);
        EXPECT_EQ(ls(), listing({"KEEP.BIN", "AAAAAAAA"}));
        EXPECT_EQ(disk.run({"rm", "AAAAAAAA"}).output, "");
    }
}

TEST_F(HostileSession, NulAndControlBytesAreOrdinaryTokenBytes) {
    // The line read keeps going past a NUL, but the tokenizer ends the line there.
    EXPECT_EQ(typed(std::string("ls\0 rm KEEP.BIN\n", 16)), ">" + listing({"KEEP.BIN"}) + ">");
    // Control bytes other than tab, CR and LF separate nothing.
    EXPECT_EQ(typed("\x01\x02\x7F\n\x1B[2J\n\x0B"
                    "ls\n"),
              ">" + kInvalid + ">" + kInvalid + ">" + kInvalid + ">");
    // A lone CR or a CR LF line end is a separator like the blank.
    EXPECT_EQ(typed("ls\r\n\tls \r\n"),
              ">" + listing({"KEEP.BIN"}) + ">" + listing({"KEEP.BIN"}) + ">");
}

TEST_F(HostileSession, TokensBeyondTheTenthStayInTheLastOne) {
    // mkdir takes token 1; the rest of the line, however long, is ignored.
    EXPECT_EQ(typed("mkdir d1 d2 d3 d4 d5 d6 d7 d8 d9 d10 d11 d12\n"), ">>");
    // ls uses its first parameter only, even when the tenth token holds blanks.
    EXPECT_EQ(typed("ls d1 2 3 4 5 6 7 8 9 10 11\n"), ">" + listing({".", ".."}) + ">");
    EXPECT_EQ(ls(), listing({"KEEP.BIN", "d1"}));
}

TEST_F(HostileSession, AbsurdRawParametersAreTestedNotObeyed) {
    struct Row {
        std::string line;
        std::string expected;
    };
    const Row rows[] = {
        {"read out.bin num=99999999999", kTooLarge},
        {"read out.bin lba=99999999999", kTooLarge},
        {"read out.bin num=-99999999999", consoleLine(u8"numの値が不正です")},
        {"write keep.bin base=-2147483649", consoleLine(u8"baseの値が不正です")},
        {"write keep.bin lba=65536 num=1 ch=0", kTooLarge},
        // No digits, no key, a bare "=": refused before anything is read.
        {"read out.bin lba=-0 base= =5 = lba== num=x",
         consoleLine(u8"パラメータが不正です: base=")},
        {"read out.bin = lba=-0", consoleLine(u8"パラメータが不正です: =")},
        {"read out.bin lba=-0 num=+0", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        EXPECT_EQ(typed(row.line + "\n"), ">" + row.expected + ">");
    }
    EXPECT_EQ(readFile(disk.file("out.bin")).size(), 512u);
}

TEST_F(HostileSession, PathsOfHundredsOfSeparators) {
    const std::string many(200, '\\');
    EXPECT_EQ(typed("ls " + many + "\ncd " + many + "x\nrmdir " + many + "\n"),
              ">" + kNotFound + ">" + kNotFound + ">" + kNotFound + ">");
    // mkdir stops at the first empty component behind the root mark.
    EXPECT_EQ(typed("mkdir " + many + "\ntouch " + many + "\n"),
              ">" + kCannotCreateDir + ">" + consoleLine(u8"ディレクトリが存在しません") + ">");
    const std::string deep = "mkdir a" + std::string(120, '\\') + "b\n";
    EXPECT_EQ(typed(deep), ">" + kCannotCreateDir + ">");
    EXPECT_EQ(ls(), listing({"KEEP.BIN", "a"}));
}

TEST_F(HostileSession, NamesOfEveryByteValue) {
    // Every byte that can stand in a token and is no separator: tab, LF, CR, blank and
    // the backslash separate; NUL ends the line.
    std::string script;
    std::vector<uint8_t> bytes;
    for (int b = 1; b < 256; ++b) {
        if (b == '\t' || b == '\n' || b == '\r' || b == ' ' || b == '\\') {
            continue;
        }
#ifdef _WIN32
        // Ctrl+Z ends text-mode input on Windows.
        if (b == 0x1A) {
            continue;
        }
#endif
        bytes.push_back(uint8_t(b));
        script += "touch " + std::string(1, char(b)) + "Q\n";
    }
    const std::string out = typed(script);
    // Refused: ".Q", whose field would begin with a dot, and every control byte and
    // character that DOS reserves. A lead byte takes the Q as its second byte. The rest
    // are new files, but letters compare case-insensitively ("aQ" is "AQ"). A leading 0xE5
    // is stored as 0x05, which no typed name may begin with.
    auto isRefused = [](uint8_t b) {
        return b == '.' || b < 0x20 ||
               std::string("\"*+,/:;<=>?[]|").find(char(b)) != std::string::npos;
    };
    auto isDuplicate = [](uint8_t b) { return b >= 'a' && b <= 'z'; };
    std::string expected;
    for (uint8_t b : bytes) {
        expected += ">";
        if (isRefused(b)) {
            expected += kCannotCreateFile;
        } else if (isDuplicate(b)) {
            expected += consoleLine(u8"すでに存在する名前です");
        }
    }
    EXPECT_EQ(out, expected + ">");

    // Every created name reads back from the image, in creation order.
    const auto img = disk.imageBytes();
    const FloppyGeometry g = floppy144();
    size_t slot = 1;  // slot 0 holds KEEP.BIN
    for (uint8_t b : bytes) {
        if (isRefused(b) || isDuplicate(b)) {
            continue;
        }
        SCOPED_TRACE(int(b));
        const std::string name = entryName(img, rootSlotOffset(g, uint32_t(slot++)));
        EXPECT_EQ(uint8_t(name[0]), b == 0xE5 ? 0x05 : b);
        EXPECT_EQ(name.substr(1), "Q" + std::string(9, ' '));
    }
    // Removing them all leaves KEEP.BIN alone in the listing.
    std::string removal;
    std::string prompts = ">";
    for (uint8_t b : bytes) {
        if (!isRefused(b) && !isDuplicate(b)) {
            removal += "rm " + std::string(1, char(b)) + "Q\n";
            prompts += ">";
        }
    }
    EXPECT_EQ(typed(removal), prompts);
    EXPECT_EQ(ls(), listing({"KEEP.BIN"}));
}

TEST(HostileImage, MemoryStaysNearWhatTheImageHolds) {
#if defined(_WIN32)
    GTEST_SKIP() << "peak memory is measured through wait4";
#endif
    // 4096-byte sectors and clusters of 128 of them: 512 KiB a cluster, 511 clusters claimed
    // by a boot sector, FATs, a root directory and as much of the data area as a row needs.
    const FloppyGeometry g{4096, 128, 1, 2, 128, 65535, 1};
    struct Row {
        const char* name;
        // A sparse image as large as it claims, whose one directory runs through every
        // cluster, or a small image whose one file loops between its two clusters.
        bool sparse;
        std::vector<std::string> command;
    };
    const Row rows[] = {
        {"a directory through a whole sparse volume", true, {"ls", "A"}},
        {"a file looping in a small image", false, {"cp", "F", "'out.bin"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        std::vector<uint8_t> img = bootSector(g);
        img.resize(g.clusterOffset(row.sparse ? 3 : 4), 0);
        setFatEntry(img, g, 0, 0xFF0);
        setFatEntry(img, g, 1, 0xFFF);
        if (row.sparse) {
            for (uint32_t c = 2; c < g.clusterLimit(); ++c) {
                setFatEntry(img, g, c, c + 1 < g.clusterLimit() ? c + 1 : 0xFFF);
            }
            putEntry(img, g.rootOffset(), field83("A"), 0x10, 2, 0);
        } else {
            setChain(img, g, {2, 3});
            setFatEntry(img, g, 3, 2);
            putEntry(img, g.rootOffset(), field83("F"), 0x00, 2, 100);
        }
        writeFile(dir.file("fd.img"), img);
        if (row.sparse) {
            std::error_code error;
            std::filesystem::resize_file(dir.file("fd.img"), g.imageBytes(), error);
            ASSERT_FALSE(error) << error.message();
        }
        std::vector<std::string> args{"fd.img"};
        args.insert(args.end(), row.command.begin(), row.command.end());
        // The tool itself takes a few MiB (more under the sanitizers); the tables claim
        // hundreds.
        EXPECT_LT(peakMemoryKiB(dir.path(), args), 64 * 1024);
    }
}

// A FAT directory holds 65536 entries at most: one that has them all grows no further, and
// a chain that runs on past them is not read.
TEST(HostileImage, ADirectoryHoldsAtMost65536Entries) {
    const FloppyGeometry g{4096, 128, 1, 2, 128, 65535, 1};  // four clusters hold them
    std::vector<uint8_t> img = bootSector(g);
    img.resize(g.clusterOffset(8), 0);
    setFatEntry(img, g, 0, 0xFF0);
    setFatEntry(img, g, 1, 0xFFF);
    putEntry(img, g.rootOffset(), field83("A"), 0x10, 2, 0);
    for (size_t slot = 0; slot < 65536; ++slot) {
        putEntry(img, g.clusterOffset(2) + slot * 32, field83("F"), 0x00, 0, 0);
    }
    putEntry(img, g.clusterOffset(6), field83("LOST"), 0x00, 0, 0);
    for (const bool runsOn : {false, true}) {
        SCOPED_TRACE(runsOn ? "a chain that runs on" : "a full directory");
        setChain(img, g,
                 runsOn ? std::vector<uint32_t>{2, 3, 4, 5, 6} : std::vector<uint32_t>{2, 3, 4, 5});
        ToolWorkspace disk;
        disk.putImage(img);
        EXPECT_EQ(disk.run({"touch", "A\\NEW"}).output, kCannotCreateFile);
        EXPECT_TRUE(disk.imageBytes() == img);
        EXPECT_EQ(disk.run({"ls", "A"}).output.find("LOST"), std::string::npos);
    }
}

}  // namespace
