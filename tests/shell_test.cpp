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
    // Those that begin with '-' are unknown options (see the command-line table).
    std::vector<std::string> nearMisses = {"HELP", "Help"};
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
// The command line: options, help aliases, arguments and parameters, each run once as it
// stands and once with -e in front, on fd.img (HELLO.TXT in the root) beside the 512-byte
// host file h.bin.

struct CommandLineRow {
    std::vector<std::string> args;  // after the options
    std::string output;
    std::string errors;
    int status;  // with -e; 0 without, but for an unknown option, which is 2 in any case
    bool createsFile = false;
};

std::vector<CommandLineRow> commandLineRows() {
    const std::string tooFew = consoleLine(u8"引数が足りません");
    const std::string usage = usageOutput();
    auto badParameter = [](const std::string& token) {
        return consoleLine(u8"パラメータが不正です: " + token);
    };
    auto unknownOption = [](const std::string& option) {
        return consoleLine(u8"不明なオプションです: " + option);
    };
    std::vector<CommandLineRow> rows = {
        {{"--version"}, std::string("fat12img ") + FAT12IMG_VERSION + "\n", "", 0},
        {{"--version", "fd.img", "format"},
         std::string("fat12img ") + FAT12IMG_VERSION + "\n",
         "",
         0},
        {{"--help", "fd.img", "format"}, usage, "", 0},
        {{"-v"}, "", unknownOption("-v"), 2},
        {{"-V", "fd.img", "ls"}, "", unknownOption("-V"), 2},
        {{"--versions"}, "", unknownOption("--versions"), 2},
        {{"--errexit=1", "fd.img", "ls"}, "", unknownOption("--errexit=1"), 2},
        {{"-ee", "fd.img", "ls"}, "", unknownOption("-ee"), 2},
        {{"--sync=1", "fd.img", "ls"}, "", unknownOption("--sync=1"), 2},
        // --sync changes nothing that is said, nor the statuses.
        {{"--sync", "fd.img", "ls"}, listing({"HELLO.TXT"}), "", 0},
        {{"--sync", "fd.img", "touch", "HELLO.TXT"},
         consoleLine(u8"すでに存在する名前です"),
         "",
         1},
        {{"--sync", "fd.img", "touch", "A"}, "", "", 0},
        {{"-"}, "", unknownOption("-"), 2},
        {{"-?"}, "", unknownOption("-?"), 2},
        {{"--", "-x.img", "touch", "A"}, "", "", 0, true},
        {{"./-x.img", "touch", "A"}, "", "", 0, true},
        {{"--", "--help"}, usage + ">", "", 0, true},  // "--" ends the options: an image path
        // An option after the image path is the command's name.
        {{"fd.img", "-e", "ls"}, consoleLine(u8"無効なコマンドです。"), "", 2},
        {{"fd.img", "ls"}, listing({"HELLO.TXT"}), "", 0},
        {{"fd.img", "foo"}, consoleLine(u8"無効なコマンドです。"), "", 2},
        {{"fd.img", "rm", "NOPE"}, consoleLine(u8"存在しない名前です"), "", 1},
        {{"fd.img", "ls", "NODIR"}, consoleLine(u8"ディレクトリが見つかりません"), "", 1},
        {{"fd.img", "cp", "'nothere", "X"},
         consoleLine(u8"コピー元のファイルが見つかりません"),
         "",
         1},
        {{"fd.img", "touch", "HELLO.TXT"}, consoleLine(u8"すでに存在する名前です"), "", 1},
        {{"fd.img", "touch", "A*B.TXT"}, consoleLine(u8"ファイルを作成できません"), "", 1},
        {{"fd.img", "write", "h.bin", "lba=-1"}, consoleLine(u8"lbaの値が不正です"), "", 2},
        {{"fd.img", "write", "h.bin", "num=-1", "base=-1"},
         consoleLine(u8"baseの値が不正です"),
         "",
         2},
        {{"fd.img", "write", "h.bin", "lba=99999"},
         consoleLine(u8"32MBより大きいディスクイメージの操作に対応していません"),
         "",
         1},
        {{"fd.img", "write", "nothere.bin"}, consoleLine(u8"ファイルを開けませんでした"), "", 1},
    };
    for (const char* alias : {"?", "/?", "help", "/help", "-h", "-help", "--help"}) {
        rows.push_back({{alias}, usage, "", 0});
        rows.push_back({{alias, "fd.img", "format"}, usage, "", 0});
    }
    const std::vector<std::vector<std::string>> missing = {
        {"cd"}, {"mkdir"},        {"rmdir"}, {"touch"}, {"rm"}, {"mv"}, {"mv", "HELLO.TXT"},
        {"cp"}, {"cp", "'h.bin"}, {"write"}, {"read"},
    };
    for (const std::vector<std::string>& command : missing) {
        std::vector<std::string> args = {"fd.img"};
        args.insert(args.end(), command.begin(), command.end());
        rows.push_back({args, tooFew, "", 2});
    }
    for (const char* token : {"LBA=5", "lba=", "lba=x", "lba=5x", "lba", "=5", "lba=0x10", "lba= 5",
                              "lba==5", "lbax=5", "Ch=1"}) {
        rows.push_back({{"fd.img", "write", "h.bin", "num=1", token}, badParameter(token), "", 2});
        rows.push_back({{"fd.img", "read", "out.bin", token, "num=1"}, badParameter(token), "", 2});
        // Every token is checked before a negative value is.
        rows.push_back({{"fd.img", "write", "h.bin", "lba=-1", token}, badParameter(token), "", 2});
    }
    return rows;
}

TEST(CommandLine, EveryRowWithAndWithoutErrexit) {
    const std::vector<uint8_t> floppy = floppyWithHello();
    for (const CommandLineRow& row : commandLineRows()) {
        for (const bool errexit : {false, true}) {
            std::vector<std::string> args = row.args;
            if (errexit) {
                args.insert(args.begin(), "-e");
            }
            SCOPED_TRACE(::testing::PrintToString(args));
            ToolWorkspace disk;
            disk.putImage(floppy);
            writeFile(disk.file("h.bin"), pattern(512, 1));
            const ToolResult r = runTool(disk.path(), args);
            EXPECT_EQ(r.output, row.output);
            EXPECT_EQ(r.errors, row.errors);
            const bool unknownOption = !row.errors.empty();
            EXPECT_EQ(r.exitStatus, errexit || unknownOption ? row.status : 0);
            if (!row.createsFile) {
                size_t files = 0;
                for ([[maybe_unused]] const auto& entry :
                     std::filesystem::directory_iterator(disk.path())) {
                    ++files;
                }
                EXPECT_EQ(files, 2u) << "a file was created";
            }
            if (row.status != 0) {
                EXPECT_EQ(disk.imageBytes(), floppy) << "a failed command changed the image";
            }
        }
    }
}

// What was parsed ran: a plus sign is a sign, and read takes ch and ignores it.
TEST(CommandLine, WholeDecimalParametersAreObeyed) {
    ToolWorkspace disk;
    disk.putImage(floppyWithHello());
    const std::vector<uint8_t> sector = pattern(512, 2);
    writeFile(disk.file("h.bin"), sector);
    EXPECT_EQ(disk.run({"write", "h.bin", "lba=+5", "num=001"}).exitStatus, 0);
    EXPECT_EQ(bytesAt(disk.imageBytes(), 5 * 512, 512), sector);
    const ToolResult r = runTool(disk.path(), {"-e", "fd.img", "read", "o.bin", "lba=5", "ch=0"});
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(readFile(disk.file("o.bin")), sector);
}

TEST(CommandLine, TheLongFormOfErrexit) {
    ToolWorkspace disk;
    disk.putImage(floppyWithHello());
    const ToolResult r = runTool(disk.path(), {"--errexit", "fd.img", "rm", "NOPE"});
    EXPECT_EQ(r.output, consoleLine(u8"存在しない名前です"));
    EXPECT_EQ(r.exitStatus, 1);
}

// With -e a command that only reads is not given a new empty floppy for a misspelt name.
TEST(CommandLine, AMissingImageIsCreatedUnderErrexitOnlyForACommandThatChangesIt) {
    struct Row {
        std::vector<std::string> command;
        bool created;
    };
    const Row rows[] = {
        {{"ls"}, false},
        {{"cd", "X"}, false},
        {{"read", "o.bin"}, false},
        {{"help"}, false},
        {{"cp", "A", "'o.bin"}, false},
        {{"mv", "A", "'o.bin"}, false},
        {{"foo"}, false},
        {{"format"}, true},
        {{"write", "h.bin"}, true},
        {{"mkdir", "A"}, true},
        {{"touch", "A"}, true},
        {{"rmdir", "A"}, true},
        {{"rm", "A"}, true},
        {{"cp", "'h.bin", "A"}, true},
        {{"mv", "'h.bin", "A"}, true},
        {{"cp", "A"}, true},  // the command line is wrong, as the command says
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.command));
        for (const bool errexit : {false, true}) {
            ToolWorkspace disk("flopy.img");
            writeFile(disk.file("h.bin"), pattern(512, 3));
            std::vector<std::string> args = {"flopy.img"};
            if (errexit) {
                args.insert(args.begin(), "-e");
            }
            args.insert(args.end(), row.command.begin(), row.command.end());
            const ToolResult r = runTool(disk.path(), args);
            const bool created = row.created || !errexit;
            EXPECT_EQ(std::filesystem::exists(disk.image()), created) << errexit;
            if (!created) {
                EXPECT_EQ(r.output, consoleLine(u8"flopy.img の読み込みに失敗"));
                EXPECT_EQ(r.exitStatus, 1);
                EXPECT_FALSE(std::filesystem::exists(disk.file("o.bin")));
            }
        }
    }
}

// A session under -e ends at its first failing command: nothing after it runs.
TEST(CommandLine, ASessionUnderErrexitStopsAtItsFirstFailure) {
    struct Row {
        std::string input;
        std::string afterUsage;
        int status;
        std::vector<std::string> names;  // in the root afterwards
    };
    const std::string missingName = consoleLine(u8"存在しない名前です");
    const Row rows[] = {
        {"touch A\nrm NOPE\ntouch B\n", ">>" + missingName, 1, {"HELLO.TXT", "A"}},
        {"touch A\nmkdir\ntouch B\n",
         ">>" + consoleLine(u8"引数が足りません"),
         2,
         {"HELLO.TXT", "A"}},
        {"touch A\nexit\ntouch B\n", ">>", 0, {"HELLO.TXT", "A"}},
        {"touch A\n\ntouch B\n", ">>>>", 0, {"HELLO.TXT", "A", "B"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.input);
        ToolWorkspace disk;
        disk.putImage(floppyWithHello());
        const ToolResult r = runTool(disk.path(), {"-e", "fd.img"}, row.input);
        EXPECT_EQ(afterUsage(r.output), row.afterUsage);
        EXPECT_EQ(r.exitStatus, row.status);
        EXPECT_EQ(disk.run({"ls"}).output, listing(row.names));
    }
    // Without -e every line runs and the status stays 0.
    ToolWorkspace disk;
    disk.putImage(floppyWithHello());
    const ToolResult r = disk.type("touch A\nrm NOPE\ntouch B\n");
    EXPECT_EQ(afterUsage(r.output), ">>" + missingName + ">>");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(disk.run({"ls"}).output, listing({"HELLO.TXT", "A", "B"}));
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

TEST(PromptLoop, MissingArgumentsAreSaidAndChangeNothing) {
    ToolWorkspace disk;
    const std::vector<uint8_t> before = floppyWithHello();
    disk.putImage(before);
    const std::string input =
        "cd\nmkdir\nrmdir\ntouch\nrm\nmv\nmv HELLO.TXT\ncp\ncp HELLO.TXT\nwrite\nread\n";
    const ToolResult r = disk.type(input);
    std::string expected = usageOutput();
    for (int i = 0; i < 11; ++i) {
        expected += ">" + consoleLine(u8"引数が足りません");
    }
    EXPECT_EQ(r.output, expected + ">");
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
