// Every transfer of every command that writes, made to fail in turn: the failure is
// reported, the image keeps the old tree (or, where the image stopped taking writes or
// the process ended, the old or the new tree) with at most unused clusters, no file holds
// bytes that were never written to it, and a host file that a failed command would have
// replaced keeps its old bytes.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "support/expected_output.hpp"
#include "support/host_tree.hpp"
#include "support/image_builder.hpp"
#include "support/image_tree.hpp"
#include "support/in_process.hpp"
#include "support/run_tool.hpp"

namespace {

using fat12img::FileRole;
using fat12img::faults::Kind;
using fat12img::faults::Plan;
using Command = std::vector<std::string>;

const std::string kWriteFailed = testimg::consoleLine(u8"書き込みに失敗しました");
const std::string kReadFailed = testimg::consoleLine(u8"読み込みに失敗しました");
const std::string kBinaryMode =
    testimg::consoleLine(u8"バイナリモードでは実行できないコマンドです。");
const std::string kNoDirectory = testimg::consoleLine(u8"ディレクトリが取得できません");
const std::string kRemoveFailed = testimg::consoleLine(u8"ファイルの削除に失敗しました");

struct Sweep {
    const char* name;
    std::vector<Command> setup;  // run without faults on a new image
    Command command;
    // Command lists that lead from the set-up image to the trees that a command made of
    // several operations may leave when a later one fails.
    std::vector<std::vector<Command>> stages;
    std::vector<std::string> writeFailures;  // what the command may say when a write fails
    std::vector<std::string> readFailures;   // ... and when a read fails
    bool replacesImage = false;              // format and write: no tree to keep
    std::string hostOutput;                  // a host file the command writes, if any
    // Format, write and read run without a file system: when a read of a mount fails
    // (format and write mount again after their work), they do their work all the same,
    // and command-line mode says nothing of the mode.
    bool raw = false;
    bool hostTree = false;  // the host output is a directory tree
};

void PrintTo(const Sweep& s, std::ostream* os) {
    *os << s.name;
}

// Host files that set-up and commands copy: sizes that end inside a sector and span
// several clusters.
const std::vector<std::pair<std::string, size_t>> kHostFiles = {
    {"small.bin", 700}, {"mid.bin", 5000}, {"big.bin", 21000}, {"boot.bin", 512}};
// The copy a session makes after a failed command.
const Command kFollowUp = {"cp", "'mid.bin", "FOLLOW.BIN"};
const char kFollowUpName[] = "FOLLOW.BIN";
// What the host file that a command writes holds before it runs.
const std::vector<uint8_t> kOldHostOutput = testimg::pattern(3333, 99);
// The host tree that cp -r copies in: the files above in two levels, an empty file and an
// empty directory.
const std::vector<testimg::HostFile> kHostTree = {{"SMALL.BIN", testimg::pattern(700, 1)},
                                                  {"ZERO", {}},
                                                  {"EMPTY", {}, true},
                                                  {"SUB/MID.BIN", testimg::pattern(5000, 2)},
                                                  {"SUB/BIG.BIN", testimg::pattern(21000, 3)}};

class FaultSweep : public ::testing::TestWithParam<Sweep> {
  protected:
    void SetUp() override {
        for (size_t i = 0; i < kHostFiles.size(); ++i) {
            testimg::writeFile(host(kHostFiles[i].first),
                               testimg::pattern(kHostFiles[i].second, uint32_t(i + 1)));
        }
        testimg::makeHostTree(host("tree"), kHostTree);
        hostBefore_ = hostFiles();
    }

    std::string host(const std::string& name) const { return dir_.file(name); }
    std::string image() const { return dir_.file("disk.img"); }

    // Host files in commands ('name for cp and mv, @name for write and read) are in the
    // scratch directory.
    Command resolved(const Command& command) const {
        Command out;
        for (const std::string& word : command) {
            if (word[0] == '\'') {
                out.push_back("'" + host(word.substr(1)));
            } else if (word[0] == '@') {
                out.push_back(host(word.substr(1)));
            } else {
                out.push_back(word);
            }
        }
        return out;
    }

    std::string run(const Command& command, const Plan& plan = {}) {
        last_ = testimg::runInProcess(image(), resolved(command), plan);
        return last_.output;
    }

    std::vector<uint8_t> imageAfter(const std::vector<Command>& commands) {
        testimg::writeFile(image(), base_);
        for (const Command& c : commands) {
            EXPECT_EQ(run(c), "") << c[0];
        }
        return testimg::readFile(image());
    }

    std::vector<std::vector<uint8_t>> hostFiles() const {
        std::vector<std::vector<uint8_t>> out;
        for (const auto& file : kHostFiles) {
            out.push_back(testimg::readFile(host(file.first)));
        }
        return out;
    }

    static std::string join(const Command& command) {
        std::string out;
        for (const std::string& word : command) {
            out += (out.empty() ? "" : " ") + word;
        }
        return out;
    }

    // What the session said after each prompt. The usage text before the first prompt is
    // what a session of no command prints; no Shift_JIS message holds the byte '>'.
    std::vector<std::string> promptAnswers(const std::string& output) const {
        std::vector<std::string> answers;
        if (output.compare(0, usage_.size(), usage_) != 0) {
            return answers;
        }
        size_t at = usage_.size() - 1;
        while (at != std::string::npos) {
            const size_t next = output.find('>', at + 1);
            answers.push_back(
                output.substr(at + 1, next == std::string::npos ? next : next - at - 1));
            at = next;
        }
        return answers;
    }

    testimg::TempDir dir_;
    std::string usage_;  // the usage text and the first prompt
    std::vector<uint8_t> base_;
    std::vector<std::vector<uint8_t>> hostBefore_;
    testimg::InProcessRun last_;
};

TEST_P(FaultSweep, EveryFailedTransferIsReportedAndLeavesASoundTree) {
    const Sweep& s = GetParam();
    const bool haveFsck = testimg::haveProgram("fsck.fat");
    // The set-up image, then the trees the command may leave: the old one, those after
    // each of its earlier operations, and the new one.
    for (const Command& c : s.setup) {
        ASSERT_EQ(run(c), "") << c[0];
    }
    base_ = testimg::readFile(image());
    usage_ = testimg::runSessionInProcess(image(), "").output;
    const testimg::ImageTree oldTree = testimg::readTree(base_);
    ASSERT_TRUE(oldTree.problems.empty());
    std::vector<testimg::ImageTree> partialTrees;
    for (const auto& stage : s.stages) {
        partialTrees.push_back(testimg::readTree(imageAfter(stage)));
    }
    testimg::writeFile(image(), base_);
    ASSERT_EQ(run({"ls"}).empty(), false);
    const uint32_t mountReads = last_.counts.imageReads;
    ASSERT_EQ(run(s.command), "");
    const fat12img::faults::Counts clean = last_.counts;
    const testimg::ImageTree newTree = testimg::readTree(testimg::readFile(image()));
    ASSERT_TRUE(s.replacesImage || newTree.problems.empty());
    ASSERT_TRUE(s.replacesImage || testimg::treeDifference(newTree, oldTree) != "" ||
                !s.hostOutput.empty());

    enum class Transfer { Write, Read, Close };
    struct Target {
        FileRole role;
        Transfer transfer;
        uint32_t count;
    };
    const Target targets[] = {{FileRole::Image, Transfer::Write, clean.imageWrites},
                              {FileRole::Image, Transfer::Read, clean.imageReads},
                              {FileRole::Image, Transfer::Close, clean.imageCloses},
                              {FileRole::Host, Transfer::Write, clean.hostWrites},
                              {FileRole::Host, Transfer::Read, clean.hostReads},
                              {FileRole::Host, Transfer::Close, clean.hostCloses}};
    int runs = 0;
    for (const Target& t : targets) {
        const bool reads = t.transfer == Transfer::Read;
        const std::vector<Kind> kinds =
            t.transfer == Transfer::Close ? std::vector<Kind>{Kind::FailClose}
            : reads                       ? std::vector<Kind>{Kind::FailRead}
            : t.role == FileRole::Host
                ? std::vector<Kind>{Kind::FailOnce, Kind::StayFull, Kind::ShortWrite}
                : std::vector<Kind>{Kind::FailOnce, Kind::StayFull, Kind::ShortWrite,
                                    Kind::PowerCut};
        for (Kind kind : kinds) {
            for (uint32_t at = 1; at <= t.count; ++at) {
                SCOPED_TRACE(::testing::Message()
                             << (t.role == FileRole::Image ? "image " : "host ")
                             << (reads                           ? "read "
                                 : t.transfer == Transfer::Close ? "close "
                                                                 : "write ")
                             << at << " of " << t.count << ", fault kind " << int(kind));
                testimg::writeFile(image(), base_);
                for (size_t i = 0; i < kHostFiles.size(); ++i) {
                    testimg::writeFile(host(kHostFiles[i].first), hostBefore_[i]);
                }
                if (!s.hostOutput.empty()) {
                    if (s.hostTree) {
                        std::filesystem::remove_all(host(s.hostOutput));
                    } else {
                        testimg::writeFile(host(s.hostOutput), kOldHostOutput);
                    }
                }
                // A write that fails once leaves a session that goes on: the next copy must
                // find the FAT and the tables as they are on the image, or it would take
                // clusters that a file still uses.
                const bool followUp = !s.raw && t.role == FileRole::Image && !reads &&
                                      (kind == Kind::FailOnce || kind == Kind::ShortWrite);
                std::string output;
                std::string followUpOutput;
                if (followUp) {
                    const std::string typed =
                        join(resolved(s.command)) + "\n" + join(resolved(kFollowUp)) + "\n";
                    last_ = testimg::runSessionInProcess(image(), typed, Plan{kind, t.role, at});
                    const std::vector<std::string> answers = promptAnswers(last_.output);
                    ASSERT_EQ(answers.size(), 3u);
                    output = answers[0];
                    followUpOutput = answers[1];
                } else {
                    output = run(s.command, Plan{kind, t.role, at});
                }
                ++runs;
                const bool cut = kind == Kind::PowerCut;
                if (!cut) {
                    ASSERT_TRUE(last_.faultFired);
                    const auto& allowed = reads ? s.readFailures : s.writeFailures;
                    const bool mountFailed =
                        reads && output == image() + testimg::consoleLine(u8" の読み込みに失敗");
                    const bool unneededRead = s.raw && reads && t.role == FileRole::Image &&
                                              (s.replacesImage || at <= mountReads);
                    // A failed close is a write that may not have completed; a host file that
                    // was only read may also call it a failed read.
                    const bool closeReported =
                        t.transfer == Transfer::Close &&
                        (output == kWriteFailed ||
                         (t.role == FileRole::Host && output == kReadFailed));
                    EXPECT_TRUE(mountFailed || closeReported || (unneededRead && output.empty()) ||
                                std::find(allowed.begin(), allowed.end(), output) != allowed.end())
                        << "said: [" << testimg::fromSjis(output) << "]";
                    // Only mv's removal and the image's close at the end of the run fail
                    // after the copy is complete.
                    const bool afterCopy =
                        output == kRemoveFailed ||
                        (t.role == FileRole::Image && t.transfer == Transfer::Close);
                    // A tree that failed to come out leaves nothing, not even its
                    // temporary directory.
                    if (s.hostTree && !afterCopy) {
                        EXPECT_FALSE(std::filesystem::exists(host(s.hostOutput)));
                        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                                                std::filesystem::directory_iterator()),
                                  long(kHostFiles.size()) + 2);
                    } else if (!s.hostOutput.empty() && !output.empty() && !afterCopy) {
                        EXPECT_EQ(testimg::readFile(host(s.hostOutput)), kOldHostOutput)
                            << "the host file was not left as it was";
                    }
                    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
                        EXPECT_NE(entry.path().filename().string().rfind(".fat12img-", 0), 0u)
                            << "a temporary file was left behind";
                    }
                }
                // The host files the command read are never changed.
                const auto hostNow = hostFiles();
                EXPECT_TRUE(std::equal(hostNow.begin(), hostNow.end(), hostBefore_.begin()));
                if (s.replacesImage) {
                    continue;
                }
                testimg::ImageTree tree = testimg::readTree(testimg::readFile(image()));
                EXPECT_TRUE(tree.problems.empty()) << tree.problems.front();
                if (followUp) {
                    EXPECT_EQ(followUpOutput, "");
                    const auto copied = tree.nodes.find(kFollowUpName);
                    ASSERT_NE(copied, tree.nodes.end());
                    EXPECT_EQ(copied->second.content, hostBefore_[1]);
                    tree.nodes.erase(copied);
                }
                // Put back unless the image stopped taking writes or the process ended; a
                // failed read may come after the last operation is complete.
                const bool undone =
                    kind == Kind::FailOnce || kind == Kind::ShortWrite || t.role == FileRole::Host;
                bool acceptable = testimg::treeDifference(tree, oldTree).empty() ||
                                  (!undone && testimg::treeDifference(tree, newTree).empty());
                for (const auto& partial : partialTrees) {
                    acceptable = acceptable || testimg::treeDifference(tree, partial).empty();
                }
                EXPECT_TRUE(acceptable)
                    << "not the old tree: " << testimg::treeDifference(tree, oldTree);
                // What the failed operation changed is put back, unused clusters included.
                if (haveFsck) {
                    EXPECT_EQ(testimg::fsckFindings(image(), !undone), "");
                }
            }
        }
    }
    // The sweep must have reached the writes of the command, not only its mount.
    EXPECT_GT(clean.imageWrites + clean.hostWrites, 0u);
    EXPECT_GT(runs, 0);
}

// A subdirectory whose one-cluster table is full (its dot entries and 14 files), and free
// space broken into pieces, so that new entries grow the table and new chains run in
// several pieces.
std::vector<Command> crowdedSetup() {
    std::vector<Command> setup = {{"mkdir", "SUB"}, {"mkdir", "OTHER"}};
    for (int i = 0; i < 14; ++i) {
        setup.push_back({"touch", "SUB\\T" + std::to_string(i)});
    }
    for (int i = 0; i < 6; ++i) {
        setup.push_back({"cp", "'small.bin", "HOLE" + std::to_string(i)});
        setup.push_back({"cp", "'mid.bin", "KEEP" + std::to_string(i)});
    }
    for (int i = 0; i < 6; i += 2) {
        setup.push_back({"rm", "HOLE" + std::to_string(i)});
    }
    setup.push_back({"cp", "'big.bin", "OTHER\\DATA.BIN"});
    return setup;
}

std::vector<Command> treeSetup() {
    std::vector<Command> setup = {{"mkdir", "T\\X"}, {"mkdir", "T\\Y"}};
    for (const char* dir : {"T\\", "T\\X\\", "T\\Y\\"}) {
        for (int i = 0; i < 10; ++i) {
            setup.push_back({"cp", i % 3 == 0 ? "'mid.bin" : "'small.bin",
                             dir + std::string("F") + std::to_string(i)});
        }
    }
    setup.push_back({"cp", "'small.bin", "STAYS.BIN"});
    return setup;
}

std::vector<Command> withTree(std::vector<Command> setup) {
    setup.push_back({"cp", "-r", "'tree", "OTHER\\T"});
    return setup;
}

// A read may fail before the command runs: the FAT (binary mode), the root (the mount
// fails and the shell names the image), a directory on the path.
std::vector<std::string> readFailuresOf(std::vector<std::string> own) {
    own.push_back(kBinaryMode);
    own.push_back(kNoDirectory);
    return own;
}

const Sweep kSweeps[] = {
    {"CpIntoAFullSubdirectory",
     crowdedSetup(),
     {"cp", "'big.bin", "SUB\\NEW.BIN"},
     {},
     {kWriteFailed},
     readFailuresOf({kReadFailed, kWriteFailed}),
     false,
     ""},
    {"CpOutToTheHost",
     crowdedSetup(),
     {"cp", "OTHER\\DATA.BIN", "'out.bin"},
     {},
     {kWriteFailed},
     readFailuresOf({kReadFailed, testimg::consoleLine(u8"ファイルを開けません")}),
     false,
     "out.bin"},
    {"MkdirOfThreeLevels",
     crowdedSetup(),
     {"mkdir", "SUB\\A\\B\\C"},
     {{{"mkdir", "SUB\\A"}}, {{"mkdir", "SUB\\A\\B"}}},
     {testimg::consoleLine(u8"ディレクトリを作成できません")},
     readFailuresOf({testimg::consoleLine(u8"ディレクトリの情報を取得できません")}),
     false,
     ""},
    {"RmdirOfATreeOfThirtyFiles",
     treeSetup(),
     {"rmdir", "T"},
     {},
     {testimg::consoleLine(u8"ディレクトリの削除に失敗しました")},
     readFailuresOf({testimg::consoleLine(u8"ディレクトリの削除に失敗しました"),
                     testimg::consoleLine(u8"ディレクトリ情報を取得できません"),
                     testimg::consoleLine(u8"ディレクトリが見つかりません")}),
     false,
     ""},
    {"MvBetweenDirectories",
     crowdedSetup(),
     {"mv", "OTHER\\DATA.BIN", "SUB\\MOVED.BIN"},
     {{{"cp", "OTHER\\DATA.BIN", "SUB\\MOVED.BIN"}}},
     {kWriteFailed, testimg::consoleLine(u8"ファイルの削除に失敗しました")},
     readFailuresOf({kReadFailed, kWriteFailed, testimg::consoleLine(u8"ファイルを開けません"),
                     testimg::consoleLine(u8"ファイルの削除に失敗しました")}),
     false,
     ""},
    {"MvOutToTheHost",
     crowdedSetup(),
     {"mv", "KEEP1", "'moved.bin"},
     {},
     {kWriteFailed, testimg::consoleLine(u8"ファイルの削除に失敗しました")},
     readFailuresOf({kReadFailed, testimg::consoleLine(u8"ファイルを開けません"),
                     testimg::consoleLine(u8"ファイルの削除に失敗しました")}),
     false,
     "moved.bin"},
    {"MvInFromTheHost",
     crowdedSetup(),
     {"mv", "'mid.bin", "OTHER\\IN.BIN"},
     {},
     {kWriteFailed},
     readFailuresOf({kReadFailed, kWriteFailed}),
     false,
     ""},
    {"TouchInAFullSubdirectory",
     crowdedSetup(),
     {"touch", "SUB\\NEW.TXT"},
     {},
     {testimg::consoleLine(u8"ファイルを作成できません")},
     readFailuresOf({}),
     false,
     ""},
    {"RmOfAFileInPieces",
     crowdedSetup(),
     {"rm", "OTHER\\DATA.BIN"},
     {},
     {testimg::consoleLine(u8"ファイルの削除に失敗しました")},
     readFailuresOf({}),
     false,
     ""},
    {"CpTreeIntoAFullSubdirectory",
     crowdedSetup(),
     {"cp", "-r", "'tree", "SUB\\T"},
     {},
     {kWriteFailed},
     readFailuresOf({kReadFailed, kWriteFailed}),
     false,
     ""},
    {"CpTreeIntoTheRoot",
     crowdedSetup(),
     {"cp", "-r", "'tree", "T"},
     {},
     {kWriteFailed},
     readFailuresOf({kReadFailed, kWriteFailed}),
     false,
     ""},
    {"CpTreeOutToTheHost",
     withTree(crowdedSetup()),
     {"cp", "-r", "OTHER\\T", "'outtree"},
     {},
     {kWriteFailed},
     readFailuresOf({kReadFailed, testimg::consoleLine(u8"読み込みに失敗しました: OTHER\\T"),
                     testimg::consoleLine(u8"読み込みに失敗しました: OTHER\\T\\EMPTY"),
                     testimg::consoleLine(u8"読み込みに失敗しました: OTHER\\T\\SUB")}),
     false,
     "outtree",
     false,
     true},
    {"Format", crowdedSetup(), {"format"}, {}, {kWriteFailed}, readFailuresOf({}), true, "", true},
    {"WriteOfABootSector",
     crowdedSetup(),
     {"write", "@boot.bin"},
     {},
     {kWriteFailed},
     readFailuresOf({kWriteFailed}),
     true,
     "",
     true},
    {"ReadOfFortySectors",
     crowdedSetup(),
     {"read", "@sectors.bin", "lba=30", "num=400"},
     {},
     {kWriteFailed},
     readFailuresOf({kReadFailed}),
     false,
     "sectors.bin",
     true},
};

INSTANTIATE_TEST_SUITE_P(Commands, FaultSweep, ::testing::ValuesIn(kSweeps),
                         [](const ::testing::TestParamInfo<Sweep>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
