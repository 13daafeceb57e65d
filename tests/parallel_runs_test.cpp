// Runs of the tool started together on one image take turns: a Makefile run with -j loses
// no file and links no cluster twice, a missing image is formatted once, readers of an
// image that may only be read share it, and a lock that the file system cannot give is
// said once.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/expected_output.hpp"
#include "support/image_builder.hpp"
#include "support/image_tree.hpp"
#include "support/in_process.hpp"
#include "support/run_tool.hpp"
#include "support/tool_workspace.hpp"

using namespace testimg;

namespace {

constexpr int kRuns = 16;
constexpr int kTrials = 4;

using Args = std::vector<std::string>;

// Starts every run at once in `dir` and waits for all of them; gives what they printed on
// standard output.
std::string runTogether(const std::string& dir, const std::vector<Args>& runs) {
    std::vector<std::string> outputs(runs.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < runs.size(); ++i) {
        threads.emplace_back([&, i] { outputs[i] = runTool(dir, runs[i]).output; });
    }
    std::string all;
    for (size_t i = 0; i < runs.size(); ++i) {
        threads[i].join();
        all += outputs[i];
    }
    return all;
}

class ParallelRuns : public ::testing::Test {
  protected:
    void SetUp() override {
        for (int i = 0; i < kRuns; ++i) {
            writeFile(dir_.file("p" + std::to_string(i) + ".bin"),
                      pattern(3000 + 700 * i, uint32_t(i)));
        }
    }

    void createImage() const {
        EXPECT_EQ(runTool(dir_.path(), {"disk.img", "ls"}).output, "");
        ASSERT_EQ(readFile(dir_.file("disk.img")).size(), kFloppyBytes);
    }

    std::vector<uint8_t> hostFile(int i) const {
        return readFile(dir_.file("p" + std::to_string(i) + ".bin"));
    }

    // The tree must be sound, hold every file the runs copied and pass fsck.fat.
    void expectFiles(const std::vector<std::pair<std::string, int>>& files) const {
        const ImageTree tree = readTree(readFile(dir_.file("disk.img")));
        EXPECT_TRUE(tree.problems.empty()) << tree.problems.front();
        for (const auto& [path, source] : files) {
            const auto it = tree.nodes.find(path);
            ASSERT_NE(it, tree.nodes.end()) << path << " was lost";
            EXPECT_EQ(it->second.content, hostFile(source)) << path;
        }
        if (haveProgram("fsck.fat")) {
            EXPECT_EQ(fsckFindings(dir_.file("disk.img")), "");
        }
    }

    TempDir dir_;
};

TEST_F(ParallelRuns, CopiesIntoTheRootAllArrive) {
    for (int trial = 0; trial < kTrials; ++trial) {
        SCOPED_TRACE(trial);
        std::remove(dir_.file("disk.img").c_str());
        createImage();
        std::vector<Args> commands;
        std::vector<std::pair<std::string, int>> files;
        for (int i = 0; i < kRuns; ++i) {
            const std::string n = std::to_string(i);
            commands.push_back({"disk.img", "cp", "'p" + n + ".bin", "P" + n + ".BIN"});
            files.push_back({"P" + n + ".BIN", i});
        }
        EXPECT_EQ(runTogether(dir_.path(), commands), "");
        expectFiles(files);
    }
}

// The set-up file that run i of a trial removes: four a trial, each once.
std::string removed(int i, int trial) {
    return std::to_string(i / 4 + 4 * trial);
}

TEST_F(ParallelRuns, MixedCommandsOnSubdirectoriesAllTakeEffect) {
    ASSERT_EQ(runTool(dir_.path(), {"disk.img", "mkdir", "A"}).output, "");
    for (int i = 0; i < kRuns; ++i) {
        const std::string n = std::to_string(i);
        ASSERT_EQ(runTool(dir_.path(), {"disk.img", "cp", "'p" + n + ".bin", "A\\OLD" + n}).output,
                  "");
    }
    for (int trial = 0; trial < kTrials; ++trial) {
        SCOPED_TRACE(trial);
        const std::string t = std::to_string(trial);
        std::vector<Args> commands;
        std::vector<std::pair<std::string, int>> files;
        for (int i = 0; i < kRuns; ++i) {
            const std::string n = std::to_string(i);
            switch (i % 4) {
                case 0:
                    commands.push_back({"disk.img", "mkdir", "D" + t + "_" + n + "\\E"});
                    break;
                case 1:
                    commands.push_back({"disk.img", "cp", "'p" + n + ".bin", "A\\T" + t + "_" + n});
                    files.push_back({"A\\T" + t + "_" + n, i});
                    break;
                case 2:
                    // Each trial removes files of its own that the set-up put there.
                    commands.push_back({"disk.img", "rm", "A\\OLD" + removed(i, trial)});
                    break;
                default:
                    commands.push_back({"disk.img", "cp", "'p" + n + ".bin", "C" + t + "_" + n});
                    files.push_back({"C" + t + "_" + n, i});
                    break;
            }
        }
        const std::string said = runTogether(dir_.path(), commands);
        expectFiles(files);
        const ImageTree tree = readTree(readFile(dir_.file("disk.img")));
        for (int i = 0; i < kRuns; i += 4) {
            EXPECT_EQ(tree.nodes.count("D" + t + "_" + std::to_string(i) + "\\E"), 1u);
        }
        for (int i = 2; i < kRuns; i += 4) {
            EXPECT_EQ(tree.nodes.count("A\\OLD" + removed(i, trial)), 0u);
        }
        EXPECT_EQ(said, "");
    }
}

TEST_F(ParallelRuns, TwoRunsOnAMissingImageFormatItOnce) {
    for (int trial = 0; trial < kTrials * 2; ++trial) {
        SCOPED_TRACE(trial);
        std::remove(dir_.file("disk.img").c_str());
        EXPECT_EQ(runTogether(dir_.path(), {{"disk.img", "cp", "'p0.bin", "FIRST"},
                                            {"disk.img", "cp", "'p1.bin", "SECOND"}}),
                  "");
        EXPECT_EQ(readFile(dir_.file("disk.img")).size(), kFloppyBytes);
        expectFiles({{"FIRST", 0}, {"SECOND", 1}});
    }
}

TEST_F(ParallelRuns, AWaitingRunSaysSoOnceOnTheErrorStream) {
    if (!haveProgram("flock")) {
        GTEST_SKIP() << "needs flock(1) to hold the image";
    }
    createImage();
    // Another process holds the image for two seconds; the tool waits and then works.
    const std::string script =
        "cd " + shellQuote(dir_.path()) + " && { flock -x disk.img sleep 2 & sleep 0.3; " +
        shellQuote(FAT12IMG_BINARY) + " disk.img cp \"'p0.bin\" AFTER 2>err.txt; wait; }";
    EXPECT_EQ(runShell(script).output, "");
    EXPECT_EQ(readFile(dir_.file("err.txt")), [] {
        const std::string text =
            consoleLine(u8"イメージファイルは他のプロセスが使用中です。終了を待っています。");
        return std::vector<uint8_t>(text.begin(), text.end());
    }());
    expectFiles({{"AFTER", 0}});
}

// NFS gives an exclusive lock only to a file open for writing: every handle of a run on an
// image it may write is open for reading and writing, and the lock is exclusive; on an
// image it may only read, the handles read and the lock is shared.
TEST_F(ParallelRuns, TheLockFitsWhatTheRunMayDo) {
#if defined(_WIN32)
    GTEST_SKIP() << "reads the locks and open files of a run from Linux's /proc";
#endif
    if (!std::filesystem::exists("/proc/locks")) {
        GTEST_SKIP() << "reads the locks and open files of a run from /proc";
    }
    createImage();
    auto heldBy = [&](bool unprivileged) {
        // A session that waits a second for its input, looked at while it waits.
        const std::string script =
            "cd " + shellQuote(dir_.path()) + " && { sleep 1 | " +
            (unprivileged ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "") +
            shellQuote(FAT12IMG_BINARY) +
            " disk.img >/dev/null & pid=$!; sleep 0.5; image=$(readlink -f disk.img); "
            "for fd in /proc/$pid/fd/*; do [ \"$(readlink -f \"$fd\")\" = \"$image\" ] && "
            "awk '/^flags/ {print $2}' /proc/$pid/fdinfo/${fd##*/}; done; "
            "awk -v p=$pid '$5 == p {print $4}' /proc/locks; wait; }";
        std::istringstream lines(runShell("bash -c " + shellQuote(script)).output);
        std::vector<std::string> out;
        for (std::string line; std::getline(lines, line);) {
            out.push_back(line);
        }
        return out;
    };
    struct Row {
        bool readOnly;
        int access;  // O_RDWR 2, O_RDONLY 0
        const char* lock;
    };
    for (const Row& row : {Row{false, 2, "WRITE"}, Row{true, 0, "READ"}}) {
        SCOPED_TRACE(row.lock);
        if (row.readOnly) {
            const std::string reason = whyNoUnprivilegedRuns();
            if (!reason.empty()) {
                GTEST_SKIP() << "the read-only case needs an unprivileged run: " << reason;
            }
            std::filesystem::permissions(dir_.path(), std::filesystem::perms::all);
            std::filesystem::permissions(dir_.file("disk.img"),
                                         std::filesystem::perms::owner_read |
                                             std::filesystem::perms::group_read |
                                             std::filesystem::perms::others_read);
        }
        const std::vector<std::string> seen = heldBy(row.readOnly);
        ASSERT_GE(seen.size(), 3u) << "the lock's handle, the image's, and the lock";
        for (size_t i = 0; i + 1 < seen.size(); ++i) {
            EXPECT_EQ(std::stoi(seen[i], nullptr, 8) & 3, row.access) << "flags " << seen[i];
        }
        EXPECT_EQ(seen.back(), row.lock);
    }
}

TEST(LockFaults, NoLocksIsSaidOnceAndTheRunGoesOnAnyOtherFailureStopsIt) {
    using fat12img::FileRole;
    using fat12img::faults::Kind;
    TempDir dir;
    const std::string image = dir.file("disk.img");
    const std::string notice =
        consoleLine(u8"イメージファイルをロックできません。ロックせずに続けます。");
    auto countOf = [](const std::string& text, const std::string& part) {
        size_t n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
            ++n;
        }
        return n;
    };
    // A missing image is created all the same, and an existing one is used.
    InProcessRun r = runInProcess(image, {"touch", "A"}, {Kind::NoLocks, FileRole::Image, 0});
    EXPECT_TRUE(r.faultFired);
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(countOf(r.errorOutput, notice.substr(0, notice.size() - 1)), 1u);
    r = runSessionInProcess(image, "touch B\nformat\nls\n", {Kind::NoLocks, FileRole::Image, 0});
    EXPECT_EQ(afterUsage(r.output), ">>>>");
    EXPECT_EQ(countOf(r.errorOutput, notice.substr(0, notice.size() - 1)), 1u);
    ASSERT_EQ(runInProcess(image, {"touch", "C"}).output, "");
    r = runInProcess(image, {"rm", "C"}, {Kind::LockFails, FileRole::Image, 0});
    EXPECT_EQ(r.output, image + consoleLine(u8" の読み込みに失敗"));
    EXPECT_EQ(runInProcess(image, {"ls"}).output, listing({"C"}));
}

}  // namespace
