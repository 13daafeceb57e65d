// The program as a process: start-up, help aliases, the prompt loop, the dispatcher's gate
// and refusals, and how mounting decides the mode. Standard output is compared byte for byte.
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

const std::string kImageModeLine = consoleLine(u8"FATを読み込みました。イメージ操作モードです。");
const std::string kBinaryModeLine = consoleLine(u8"FATを読み込めません。バイナリモードです。");
const std::string kRefused = consoleLine(u8"バイナリモードでは実行できないコマンドです。");
const std::string kInvalid = consoleLine(u8"無効なコマンドです。");
const std::string kCannotOpenImage = consoleLine(u8"イメージファイルを開けませんでした");

// An empty floppy with one empty file HELLO.TXT in its root, so that ls has something to show.
std::vector<uint8_t> floppyWithHello() {
    std::vector<uint8_t> img = blankFloppy();
    putEntry(img, rootSlotOffset(floppy144(), 0), "HELLO   TXT", 0x20, 0, 0);
    return img;
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
        EXPECT_EQ(r.output, usageOutput()) << alias;
        EXPECT_EQ(r.exitStatus, 0) << alias;
        EXPECT_TRUE(isEmptyDirectory(dir.path())) << alias << " created a file";
    }
}

TEST(StartUp, HelpAliasIgnoresTheWordsAfterIt) {
    TempDir dir;
    const ToolResult r = runTool(dir.path(), {"-h", "format"});
    EXPECT_EQ(r.output, usageOutput());
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
        EXPECT_EQ(r.output, usageOutput() + ">") << path;
        EXPECT_EQ(readFile(dir.file(path)).size(), kFloppyBytes) << path;
    }
}

TEST(StartUp, NoArgumentsOpensDiskImgInTheWorkingDirectory) {
    TempDir dir;
    const ToolResult r = runTool(dir.path(), {}, "mkdir sub\nls\n");
    EXPECT_EQ(r.output, usageOutput() + ">>" + listing({"sub"}) + ">");
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
    EXPECT_EQ(runTool(dir.path(), {"bin.img", "help"}).output, usageOutput());
}

TEST(StartUp, HelpAsACommandMountsTheImageFirst) {
    ToolWorkspace disk;
    const ToolResult r = disk.run({"help"});
    EXPECT_EQ(r.output, usageOutput());
    EXPECT_EQ(disk.imageBytes().size(), kFloppyBytes);
}

TEST(StartUp, CommandLineArgumentsPassToTheCommand) {
    ToolWorkspace disk;
    disk.putImage(blankFloppy());
    EXPECT_EQ(disk.run({"mkdir", "sub", "ignored"}).output, "");
    EXPECT_EQ(disk.run({"ls", "sub"}).output, listing({".", ".."}));
    EXPECT_EQ(disk.run({"LS"}).output, kInvalid);
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
        {"help and ? print the usage", "help\n?\n",
         ">" + usageOutput() + ">" + usageOutput() + ">"},
        {"leading and trailing separators", " \t ls \r\n", ">" + hello + ">"},
    };
    for (const PromptCase& c : cases) {
        ToolWorkspace disk;
        disk.putImage(floppyWithHello());
        const ToolResult r = disk.type(c.input);
        EXPECT_EQ(r.output, usageOutput() + c.afterUsage) << c.what;
        EXPECT_EQ(r.exitStatus, 0) << c.what;
    }
}

TEST(PromptLoop, MissingArgumentsPrintNothingAndChangeNothing) {
    ToolWorkspace disk;
    const std::vector<uint8_t> before = floppyWithHello();
    disk.putImage(before);
    const std::string input =
        "cd\nmkdir\nrmdir\ntouch\nrm\nmv\nmv HELLO.TXT\ncp\ncp HELLO.TXT\nwrite\nread\n";
    const ToolResult r = disk.type(input);
    EXPECT_EQ(r.output, usageOutput() + std::string(12, '>'));
    EXPECT_EQ(disk.imageBytes(), before);
}

// fgets reads 255 characters at a time: the 256th starts a new command line.
TEST(PromptLoop, LongLinesAreReadInPiecesOf255) {
    ToolWorkspace disk;
    disk.putImage(floppyWithHello());
    const std::string first = std::string(253, ' ') + "ls";  // exactly 255 characters
    const ToolResult r = disk.type(first + "x\n" + "ls\n");
    EXPECT_EQ(r.output, usageOutput() + ">" + listing({"HELLO.TXT"}) + ">" + kInvalid + ">" +
                            listing({"HELLO.TXT"}) + ">");

    // A line of exactly 255 characters leaves only its line end for the next read.
    const ToolResult exact = disk.type(first + "\n");
    EXPECT_EQ(exact.output, usageOutput() + ">" + listing({"HELLO.TXT"}) + ">>");

    // Pieces of a longer line run one after the other: 600 characters give three.
    const std::string piece = "foo" + std::string(252, ' ');
    const ToolResult three = disk.type(piece + piece + "foo\n");
    EXPECT_EQ(three.output, usageOutput() + ">" + kInvalid + ">" + kInvalid + ">" + kInvalid + ">");
}

// ---------------------------------------------------------------------------------------
// Modes and the binary-mode gate

TEST(BinaryMode, UnreadableBootSectorGivesUsageModeLineAndPrompt) {
    ToolWorkspace disk;
    std::vector<uint8_t> noise = randomBytes(8192, 7);
    disk.putImage(noise);
    const ToolResult r = disk.type("");
    EXPECT_EQ(r.output, usageOutput() + kBinaryModeLine + ">");
    EXPECT_EQ(disk.imageBytes(), noise);
}

TEST(BinaryMode, OnlyHelpFormatWriteAndReadGetThroughTheGate) {
    ToolWorkspace disk;
    const std::vector<uint8_t> noise = randomBytes(8192, 11);
    disk.putImage(noise);
    const char* refused[] = {"ls",   "ls sub", "cd",     "cd sub", "mkdir a", "rmdir a", "touch a",
                             "rm a", "mv a b", "cp a b", "foo",    "LS",      "EXIT",    "Format"};
    std::string input;
    std::string expected = usageOutput() + kBinaryModeLine + ">";
    for (const char* line : refused) {
        input += std::string(line) + "\n";
        expected += kRefused + ">";
    }
    input += "help\n?\nread out.bin lba=1\n";
    expected += usageOutput() + ">" + usageOutput() + ">" + ">";
    const ToolResult r = disk.type(input);
    EXPECT_EQ(r.output, expected);
    EXPECT_EQ(disk.imageBytes(), noise);
    EXPECT_EQ(readFile(disk.file("out.bin")),
              std::vector<uint8_t>(noise.begin() + 512, noise.begin() + 1024));
}

TEST(BinaryMode, TypeFieldMustBeExactlyFat12WithThreeBlanks) {
    for (const TypeField& type : typeFields()) {
        SCOPED_TRACE(::testing::PrintToString(type.bytes));
        ToolWorkspace disk;
        std::vector<uint8_t> img = blankFloppy();
        std::copy(type.bytes.begin(), type.bytes.end(), img.begin() + kTypeFieldOffset);
        disk.putImage(img);
        EXPECT_EQ(disk.type("").output, usageOutput() + (type.fat12 ? "" : kBinaryModeLine) + ">");
    }
}

TEST(BinaryMode, EmptyFileIsOpenedNotFormattedUntilFormatIsGiven) {
    ToolWorkspace disk("e.img");
    disk.putImage({});
    EXPECT_EQ(disk.run({"ls"}).output, kRefused);
    EXPECT_EQ(disk.imageBytes().size(), 0u);

    const ToolResult r = disk.type("format\nls\n");
    EXPECT_EQ(r.output, usageOutput() + kBinaryModeLine + ">" + kImageModeLine + ">>");
    EXPECT_EQ(disk.imageBytes().size(), kFloppyBytes);
}

// Words after format are its parameters: one it does not take formats nothing (so that
// "format 720" cannot make a 1.44 MB floppy), and the mode changes once, with the format.
TEST(ModeLine, FormatLeavesBinaryModeOnceAndNotForAWordItDoesNotTake) {
    ToolWorkspace disk;
    disk.putImage(randomBytes(3000, 3));
    const ToolResult r = disk.type("format now please\nls\nformat\nls\n");
    EXPECT_EQ(r.output, usageOutput() + kBinaryModeLine + ">" +
                            consoleLine(u8"パラメータが不正です: now") + ">" + kRefused + ">" +
                            kImageModeLine + ">>");
    EXPECT_EQ(disk.imageBytes().size(), kFloppyBytes);
}

TEST(ModeLine, WriteOfABootSectorSwitchesTheModeBothWays) {
    ToolWorkspace disk;
    const std::vector<uint8_t> floppy = floppyWithHello();
    disk.putImage(floppy);
    writeFile(disk.file("zero.bin"), std::vector<uint8_t>(512, 0));
    writeFile(disk.file("boot.bin"), std::vector<uint8_t>(floppy.begin(), floppy.begin() + 512));
    const ToolResult r = disk.type("write zero.bin\nls\nwrite boot.bin\nls\nwrite boot.bin\n");
    EXPECT_EQ(r.output, usageOutput() + ">" + kBinaryModeLine + ">" + kRefused + ">" +
                            kImageModeLine + ">" + listing({"HELLO.TXT"}) + ">>");
    EXPECT_EQ(disk.imageBytes(), floppy);
}

// ---------------------------------------------------------------------------------------
// Mount failures at start

TEST(MountFailure, ImageThatCannotBeCreatedIsReportedAndTheRunEnds) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("adir"));
    const char* paths[] = {"missing/fd.img", "adir"};
    for (const char* path : paths) {
        const std::string expected = consoleLine(std::string(path) + u8" の読み込みに失敗");
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
    ToolWorkspace disk;
    std::vector<uint8_t> img = blankFloppy();
    img.resize(10 * 512);
    disk.putImage(img);
    const ToolResult r = disk.type("ls\n");
    EXPECT_EQ(r.output, consoleLine(u8"fd.img の読み込みに失敗"));
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(disk.imageBytes(), img);
}

// ---------------------------------------------------------------------------------------
// After a remount that failed, the image is closed: the file-system commands are refused,
// read cannot run, and format and write bring the image back.

TEST(FailedRemount, FromBinaryModeThroughWriteAndBackWithWrite) {
    ToolWorkspace disk;
    disk.putImage({});
    const std::vector<uint8_t> floppy = floppyWithHello();
    writeFile(disk.file("part.bin"), std::vector<uint8_t>(floppy.begin(), floppy.begin() + 5120));
    writeFile(disk.file("full.bin"), floppy);
    const std::string input =
        "write part.bin\nls\nfoo\nread out.bin\nread out.bin lba=-1\nhelp\ncd x\n"
        "write full.bin\nls\n";
    const ToolResult r = disk.type(input);
    // The mount cleared binaryMode before it failed, so the line says image operation mode.
    EXPECT_EQ(r.output, usageOutput() + kBinaryModeLine + ">" + kImageModeLine + ">" + kRefused +
                            ">" + kRefused + ">" + kCannotOpenImage + ">" + kCannotOpenImage + ">" +
                            usageOutput() + ">" + kRefused + ">" + ">" + listing({"HELLO.TXT"}) +
                            ">");
    EXPECT_FALSE(std::filesystem::exists(disk.file("out.bin")));
    EXPECT_EQ(disk.imageBytes(), floppy);
}

// A boot sector whose FAT fits in the image but whose root directory lies beyond it.
TEST(FailedRemount, FromImageModeThroughWriteAndBackWithFormat) {
    ToolWorkspace disk;
    disk.putImage(floppyWithHello());
    const std::vector<uint8_t> floppy = blankFloppy();
    std::vector<uint8_t> boot(floppy.begin(), floppy.begin() + 512);
    boot[13] = 128;   // sectors per cluster
    boot[19] = 0xFF;  // 65535 sectors
    boot[20] = 0xFF;
    boot[22] = 0xD0;  // 2000 sectors per FAT: the root starts at sector 4001
    boot[23] = 0x07;
    writeFile(disk.file("boot.bin"), boot);
    const ToolResult r = disk.type("write boot.bin\nls\nread out.bin\nformat\nmkdir d\nls\n");
    EXPECT_EQ(r.output, usageOutput() + ">" + ">" + kRefused + ">" + kCannotOpenImage + ">" + ">" +
                            ">" + listing({"d"}) + ">");
    EXPECT_EQ(disk.imageBytes().size(), kFloppyBytes);
    EXPECT_FALSE(std::filesystem::exists(disk.file("out.bin")));
}

}  // namespace
