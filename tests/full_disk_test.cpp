// A host that refuses to let a file grow (a full disk, a file-size limit): every command
// says that its write failed, and nothing is left that looks like a finished result.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/expected_output.hpp"
#include "support/image_builder.hpp"
#include "support/image_tree.hpp"
#include "support/run_tool.hpp"

using namespace testimg;

namespace {

const std::string kWriteFailed = consoleLine(u8"書き込みに失敗しました");

class FullDisk : public ::testing::Test {
  protected:
    void SetUp() override {
#if defined(_WIN32)
        GTEST_SKIP() << "limits file sizes through the POSIX shell";
#endif
    }

    // Runs the tool with files limited to `kib` KiB; past it a write fails as on a full
    // disk (the signal that would end the process is ignored, as a shell does for jobs
    // that expect the error).
    std::string runLimited(size_t kib, const std::vector<std::string>& args) const {
        std::string command = "cd " + shellQuote(dir_.path()) + " && ulimit -f " +
                              std::to_string(kib) + " && trap '' XFSZ && exec " +
                              shellQuote(FAT12IMG_BINARY);
        for (const std::string& a : args) {
            command += " " + shellQuote(a);
        }
        return runShell("bash -c " + shellQuote(command) + " </dev/null").output;
    }

    std::string path(const std::string& name) const {
        return dir_.file(name);
    }
    bool exists(const std::string& name) const {
        return std::filesystem::exists(path(name));
    }

    TempDir dir_;
};

TEST_F(FullDisk, FormatOfAnExistingImageSaysItsWriteFailed) {
    writeFile(path("disk.img"), std::vector<uint8_t>{});
    EXPECT_EQ(runLimited(100, {"disk.img", "format"}), kWriteFailed);
    EXPECT_EQ(readFile(path("disk.img")).size(), 100u * 1024);
}

TEST_F(FullDisk, AMissingImageThatCannotBeWrittenWholeIsNotLeftBehind) {
    const std::string out = runLimited(100, {"new.img", "ls"});
    EXPECT_EQ(out, "new.img" + consoleLine(u8" の読み込みに失敗"));
    EXPECT_FALSE(exists("new.img"));
}

TEST_F(FullDisk, CpIntoTheImageSaysItsWriteFailedAndKeepsTheOldTree) {
    // A first file fills the image's front, so that the next one lands past the limit.
    writeFile(path("first.bin"), pattern(1200 * 1024, 1));
    writeFile(path("second.bin"), pattern(150 * 1024, 2));
    ASSERT_EQ(runLimited(4096, {"disk.img", "cp", "'first.bin", "FIRST.BIN"}), "");
    const ImageTree before = readTree(readFile(path("disk.img")));
    EXPECT_EQ(runLimited(1300, {"disk.img", "cp", "'second.bin", "SECOND.BIN"}), kWriteFailed);
    const ImageTree after = readTree(readFile(path("disk.img")));
    EXPECT_TRUE(after.problems.empty());
    EXPECT_EQ(treeDifference(after, before), "");
}

TEST_F(FullDisk, CopiesAndSectorsOutToTheHostSayTheirWriteFailedAndLeaveNoPart) {
    writeFile(path("big.bin"), pattern(300 * 1024, 3));
    ASSERT_EQ(runLimited(4096, {"disk.img", "cp", "'big.bin", "BIG.BIN"}), "");
    EXPECT_EQ(runLimited(100, {"disk.img", "cp", "BIG.BIN", "'out.bin"}), kWriteFailed);
    EXPECT_FALSE(exists("out.bin"));
    EXPECT_EQ(runLimited(100, {"disk.img", "mv", "BIG.BIN", "'moved.bin"}), kWriteFailed);
    EXPECT_FALSE(exists("moved.bin"));
    EXPECT_EQ(readTree(readFile(path("disk.img"))).nodes.count("BIG.BIN"), 1u);
    EXPECT_EQ(runLimited(100, {"disk.img", "read", "sectors.bin", "num=400"}), kWriteFailed);
    EXPECT_FALSE(exists("sectors.bin"));
    // Under the limit the same commands work.
    EXPECT_EQ(runLimited(1000, {"disk.img", "read", "sectors.bin", "num=400"}), "");
    EXPECT_EQ(readFile(path("sectors.bin")).size(), 400u * 512);
}

}  // namespace
