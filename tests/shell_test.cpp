// The program as a process: start-up, help aliases, the prompt loop, the dispatcher's gate
// and refusals, and how mounting decides the mode. Standard output is compared byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/expected_output.hpp"
#include "support/image_builder.hpp"
#include "support/run_tool.hpp"

using namespace testimg;

namespace {

// One console line: the Shift_JIS bytes of the text and a line end.
std::string say(const char* utf8) {
    return sjis(utf8) + "\n";
}

std::string usage() {
    return usageOutput();
}

const std::string kImageModeLine = say(u8"FATを読み込みました。イメージ操作モードです。");
const std::string kBinaryModeLine = say(u8"FATを読み込めません。バイナリモードです。");
const std::string kRefused = say(u8"バイナリモードでは実行できないコマンドです。");
const std::string kInvalid = say(u8"無効なコマンドです。");
const std::string kCannotOpenImage = say(u8"イメージファイルを開けませんでした");
constexpr size_t kFloppyBytes = 1474560;

// A listing line of ls for up to six names.
std::string listing(const std::vector<std::string>& names) {
    std::string line;
    for (const std::string& name : names) {
        line += name + std::string(name.size() < 13 ? 13 - name.size() : 0, ' ');
    }
    return line + "\n";
}

// An empty floppy with one empty file HELLO.TXT in its root, so that ls has something to show.
std::vector<uint8_t> floppyWithHello() {
    std::vector<uint8_t> img = blankFloppy();
    putEntry(img, rootSlotOffset(floppy144(), 0), "HELLO   TXT", 0x20, 0, 0);
    return img;
}

std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> bytes(n);
    for (uint8_t& b : bytes) {
        b = uint8_t(gen());
    }
    return bytes;
}

bool isEmptyDirectory(const std::string& path) {
    return std::filesystem::is_empty(path);
}

// ---------------------------------------------------------------------------------------
// Start-up and help aliases

TEST(StartUp, EveryHelpAliasPrintsTheUsageAndTouchesNoFile) {
    for (const char* alias : {"?", "/?", "help", "/help", "-h", "-help", "--help"}) {
        TempDir dir;
        const ToolResult r = runTool(dir.path(), {alias}, "ls\n");
        EXPECT_EQ(r.output, usage()) << alias;
        EXPECT_EQ(r.exitStatus, 0) << alias;
        EXPECT_TRUE(isEmptyDirectory(dir.path())) << alias << " created a file";
    }
}

TEST(StartUp, HelpAliasIgnoresTheWordsAfterIt) {
    TempDir dir;
    const ToolResult r = runTool(dir.path(), {"-h", "format"});
    EXPECT_EQ(r.output, usage());
    EXPECT_TRUE(isEmptyDirectory(dir.path()));
}

TEST(StartUp, NearMissesOfTheAliasesAreImagePaths) {
    std::vector<std::string> nearMisses = {"HELP", "--HELP", "-H"};
#ifndef _WIN32
    // Windows allows no '?' in a file name.
    nearMisses.push_back("-?");
#endif
    for (const std::string& path : nearMisses) {
        TempDir dir;
        const ToolResult r = runTool(dir.path(), {path});
        EXPECT_EQ(r.output, usage() + ">") << path;
        EXPECT_EQ(readFile(dir.file(path)).size(), kFloppyBytes) << path;
    }
}

TEST(StartUp, NoArgumentsOpensDiskImgInTheWorkingDirectory) {
    TempDir dir;
    const ToolResult r = runTool(dir.path(), {}, "mkdir sub\nls\n");
    EXPECT_EQ(r.output, usage() + ">>" + listing({"sub"}) + ">");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(readFile(dir.file("disk.img")).size(), kFloppyBytes);
}

TEST(StartUp, CommandLineModePrintsOnlyTheCommandsOutput) {
    TempDir dir;
    writeFile(dir.file("fd.img"), floppyWithHello());
    const ToolResult r = runTool(dir.path(), {"fd.img", "ls"}, "exit\n");
    EXPECT_EQ(r.output, listing({"HELLO.TXT"}));
    EXPECT_EQ(r.exitStatus, 0);

    writeFile(dir.file("bin.img"), randomBytes(4096, 1));
    EXPECT_EQ(runTool(dir.path(), {"bin.img", "ls"}).output, kRefused);
    EXPECT_EQ(runTool(dir.path(), {"bin.img", "help"}).output, usage());
}

TEST(StartUp, HelpAsACommandMountsTheImageFirst) {
    TempDir dir;
    const ToolResult r = runTool(dir.path(), {"fd.img", "help"});
    EXPECT_EQ(r.output, usage());
    EXPECT_EQ(readFile(dir.file("fd.img")).size(), kFloppyBytes);
}

TEST(StartUp, CommandLineArgumentsPassToTheCommand) {
    TempDir dir;
    writeFile(dir.file("fd.img"), blankFloppy());
    EXPECT_EQ(runTool(dir.path(), {"fd.img", "mkdir", "sub", "ignored"}).output, "");
    EXPECT_EQ(runTool(dir.path(), {"fd.img", "ls", "sub"}).output, listing({".", ".."}));
    EXPECT_EQ(runTool(dir.path(), {"fd.img", "LS"}).output, kInvalid);
}

// ---------------------------------------------------------------------------------------
// The prompt loop

struct PromptCase {
    const char* what;
    std::string input;
    std::string afterUsage;  // everything printed after the usage text
};

TEST(PromptLoop, LinesAndTheirOutput) {
    const std::string hello = listing({"HELLO.TXT"});
    const PromptCase cases[] = {
        {"end of input at once", "", ">"},
        {"blank lines only prompt again", "\n   \t \r\n\n", ">>>>"},
        {"a command, then end of input", "ls\n", ">" + hello + ">"},
        {"last line without a line end", "ls", ">" + hello + ">"},
        {"exit ends at once", "exit\nls\n", ">"},
        {"exit with trailing words", "exit now please\nls\n", ">"},
        {"exit after blanks", "  \texit\nls\n", ">"},
        {"EXIT is no quit word", "EXIT\nexit\n", ">" + kInvalid + ">"},
        {"exit must be the whole word", "exit2\nexits\n", ">" + kInvalid + ">" + kInvalid + ">"},
        {"unknown names and capitals", "foo\nLS\nHelp\n",
         ">" + kInvalid + ">" + kInvalid + ">" + kInvalid + ">"},
        {"help and ? print the usage", "help\n?\n", ">" + usage() + ">" + usage() + ">"},
        {"leading and trailing separators", " \t ls \r\n", ">" + hello + ">"},
    };
    for (const PromptCase& c : cases) {
        TempDir dir;
        writeFile(dir.file("fd.img"), floppyWithHello());
        const ToolResult r = runTool(dir.path(), {"fd.img"}, c.input);
        EXPECT_EQ(r.output, usage() + c.afterUsage) << c.what;
        EXPECT_EQ(r.exitStatus, 0) << c.what;
    }
}

TEST(PromptLoop, MissingArgumentsPrintNothingAndChangeNothing) {
    TempDir dir;
    const std::vector<uint8_t> before = floppyWithHello();
    writeFile(dir.file("fd.img"), before);
    const std::string input =
        "cd\nmkdir\nrmdir\ntouch\nrm\nmv\nmv HELLO.TXT\ncp\ncp HELLO.TXT\nwrite\nread\n";
    const ToolResult r = runTool(dir.path(), {"fd.img"}, input);
    EXPECT_EQ(r.output, usage() + std::string(12, '>'));
    EXPECT_EQ(readFile(dir.file("fd.img")), before);
}

// fgets reads 255 characters at a time: the 256th starts a new command line.
TEST(PromptLoop, LongLinesAreReadInPiecesOf255) {
    TempDir dir;
    writeFile(dir.file("fd.img"), floppyWithHello());
    const std::string first = std::string(253, ' ') + "ls";  // exactly 255 characters
    const ToolResult r = runTool(dir.path(), {"fd.img"}, first + "x\n" + "ls\n");
    EXPECT_EQ(r.output, usage() + ">" + listing({"HELLO.TXT"}) + ">" + kInvalid + ">" +
                            listing({"HELLO.TXT"}) + ">");

    // A line of exactly 255 characters leaves only its line end for the next read.
    const ToolResult exact = runTool(dir.path(), {"fd.img"}, first + "\n");
    EXPECT_EQ(exact.output, usage() + ">" + listing({"HELLO.TXT"}) + ">>");

    // Pieces of a longer line run one after the other: 600 characters give three.
    const std::string piece = "foo" + std::string(252, ' ');
    const ToolResult three = runTool(dir.path(), {"fd.img"}, piece + piece + "foo\n");
    EXPECT_EQ(three.output, usage() + ">" + kInvalid + ">" + kInvalid + ">" + kInvalid + ">");
}

// ---------------------------------------------------------------------------------------
// Modes and the binary-mode gate

TEST(BinaryMode, UnreadableBootSectorGivesUsageModeLineAndPrompt) {
    TempDir dir;
    std::vector<uint8_t> noise = randomBytes(8192, 7);
    writeFile(dir.file("fd.img"), noise);
    const ToolResult r = runTool(dir.path(), {"fd.img"});
    EXPECT_EQ(r.output, usage() + kBinaryModeLine + ">");
    EXPECT_EQ(readFile(dir.file("fd.img")), noise);
}

TEST(BinaryMode, OnlyHelpFormatWriteAndReadGetThroughTheGate) {
    TempDir dir;
    const std::vector<uint8_t> noise = randomBytes(8192, 11);
    writeFile(dir.file("fd.img"), noise);
    const char* refused[] = {"ls",   "ls sub", "cd",     "cd sub", "mkdir a", "rmdir a", "touch a",
                             "rm a", "mv a b", "cp a b", "foo",    "LS",      "EXIT",    "Format"};
    std::string input;
    std::string expected = usage() + kBinaryModeLine + ">";
    for (const char* line : refused) {
        input += std::string(line) + "\n";
        expected += kRefused + ">";
    }
    input += "help\n?\nread out.bin lba=1\n";
    expected += usage() + ">" + usage() + ">" + ">";
    const ToolResult r = runTool(dir.path(), {"fd.img"}, input);
    EXPECT_EQ(r.output, expected);
    EXPECT_EQ(readFile(dir.file("fd.img")), noise);
    EXPECT_EQ(readFile(dir.file("out.bin")),
              std::vector<uint8_t>(noise.begin() + 512, noise.begin() + 1024));
}

TEST(BinaryMode, TypeFieldMustBeExactlyFat12WithThreeBlanks) {
    const char* types[] = {"FAT12\0\0\0", "fat12   ", "FAT16   ", "FAT12  \t"};
    for (const char* type : types) {
        TempDir dir;
        std::vector<uint8_t> img = blankFloppy();
        std::copy(type, type + 8, img.begin() + 54);
        writeFile(dir.file("fd.img"), img);
        EXPECT_EQ(runTool(dir.path(), {"fd.img"}).output, usage() + kBinaryModeLine + ">");
    }
}

TEST(BinaryMode, EmptyFileIsOpenedNotFormattedUntilFormatIsGiven) {
    TempDir dir;
    writeFile(dir.file("e.img"), std::string());
    EXPECT_EQ(runTool(dir.path(), {"e.img", "ls"}).output, kRefused);
    EXPECT_EQ(readFile(dir.file("e.img")).size(), 0u);

    const ToolResult r = runTool(dir.path(), {"e.img"}, "format\nls\n");
    EXPECT_EQ(r.output, usage() + kBinaryModeLine + ">" + kImageModeLine + ">>");
    EXPECT_EQ(readFile(dir.file("e.img")).size(), kFloppyBytes);
}

TEST(ModeLine, FormatWithExtraWordsLeavesBinaryModeOnce) {
    TempDir dir;
    writeFile(dir.file("fd.img"), randomBytes(3000, 3));
    const ToolResult r = runTool(dir.path(), {"fd.img"}, "format now please\nls\nformat\nls\n");
    EXPECT_EQ(r.output, usage() + kBinaryModeLine + ">" + kImageModeLine + ">>>>");
    EXPECT_EQ(readFile(dir.file("fd.img")).size(), kFloppyBytes);
}

TEST(ModeLine, WriteOfABootSectorSwitchesTheModeBothWays) {
    TempDir dir;
    const std::vector<uint8_t> floppy = floppyWithHello();
    writeFile(dir.file("fd.img"), floppy);
    writeFile(dir.file("zero.bin"), std::vector<uint8_t>(512, 0));
    writeFile(dir.file("boot.bin"), std::vector<uint8_t>(floppy.begin(), floppy.begin() + 512));
    const ToolResult r =
        runTool(dir.path(), {"fd.img"}, "write zero.bin\nls\nwrite boot.bin\nls\nwrite boot.bin\n");
    EXPECT_EQ(r.output, usage() + ">" + kBinaryModeLine + ">" + kRefused + ">" + kImageModeLine +
                            ">" + listing({"HELLO.TXT"}) + ">>");
    EXPECT_EQ(readFile(dir.file("fd.img")), floppy);
}

// ---------------------------------------------------------------------------------------
// Mount failures at start

TEST(MountFailure, ImageThatCannotBeCreatedIsReportedAndTheRunEnds) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("adir"));
    const char* paths[] = {"missing/fd.img", "adir"};
    for (const char* path : paths) {
        const std::string expected = sjis(std::string(path) + u8" の読み込みに失敗") + "\n";
        const ToolResult cmd = runTool(dir.path(), {path, "ls"});
        EXPECT_EQ(cmd.output, expected) << path;
        EXPECT_EQ(cmd.exitStatus, 0) << path;
        const ToolResult interactive = runTool(dir.path(), {path}, "ls\n");
        EXPECT_EQ(interactive.output, expected) << path;
        EXPECT_EQ(interactive.exitStatus, 0) << path;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

// Boot sector and FAT copy 0 are there, the root directory is past the end of the file.
TEST(MountFailure, RootDirectoryThatCannotBeReadFailsTheMount) {
    TempDir dir;
    std::vector<uint8_t> img = blankFloppy();
    img.resize(10 * 512);
    writeFile(dir.file("fd.img"), img);
    const ToolResult r = runTool(dir.path(), {"fd.img"}, "ls\n");
    EXPECT_EQ(r.output, sjis(u8"fd.img の読み込みに失敗") + "\n");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(readFile(dir.file("fd.img")), img);
}

// ---------------------------------------------------------------------------------------
// After a remount that failed, the image is closed: the file-system commands are refused,
// read cannot run, and format and write bring the image back.

TEST(FailedRemount, FromBinaryModeThroughWriteAndBackWithWrite) {
    TempDir dir;
    writeFile(dir.file("fd.img"), std::string());
    const std::vector<uint8_t> floppy = floppyWithHello();
    writeFile(dir.file("part.bin"), std::vector<uint8_t>(floppy.begin(), floppy.begin() + 5120));
    writeFile(dir.file("full.bin"), floppy);
    const std::string input =
        "write part.bin\nls\nfoo\nread out.bin\nread out.bin lba=-1\nhelp\ncd x\n"
        "write full.bin\nls\n";
    const ToolResult r = runTool(dir.path(), {"fd.img"}, input);
    // The mount cleared binaryMode before it failed, so the line says image operation mode.
    EXPECT_EQ(r.output, usage() + kBinaryModeLine + ">" + kImageModeLine + ">" + kRefused + ">" +
                            kRefused + ">" + kCannotOpenImage + ">" + kCannotOpenImage + ">" +
                            usage() + ">" + kRefused + ">" + ">" + listing({"HELLO.TXT"}) + ">");
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.bin")));
    EXPECT_EQ(readFile(dir.file("fd.img")), floppy);
}

// A boot sector whose FAT fits in the image but whose root directory lies beyond it.
TEST(FailedRemount, FromImageModeThroughWriteAndBackWithFormat) {
    TempDir dir;
    writeFile(dir.file("fd.img"), floppyWithHello());
    const std::vector<uint8_t> floppy = blankFloppy();
    std::vector<uint8_t> boot(floppy.begin(), floppy.begin() + 512);
    boot[13] = 128;   // sectors per cluster
    boot[19] = 0xFF;  // 65535 sectors
    boot[20] = 0xFF;
    boot[22] = 0xD0;  // 2000 sectors per FAT: the root starts at sector 4001
    boot[23] = 0x07;
    writeFile(dir.file("boot.bin"), boot);
    const ToolResult r =
        runTool(dir.path(), {"fd.img"}, "write boot.bin\nls\nread out.bin\nformat\nmkdir d\nls\n");
    EXPECT_EQ(r.output, usage() + ">" + ">" + kRefused + ">" + kCannotOpenImage + ">" + ">" + ">" +
                            listing({"d"}) + ">");
    EXPECT_EQ(readFile(dir.file("fd.img")).size(), kFloppyBytes);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.bin")));
}

}  // namespace
