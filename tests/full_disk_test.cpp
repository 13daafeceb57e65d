// A host that refuses to let a file grow (a full disk, a file-size limit): every command
// says that its write failed, nothing is left that looks like a finished result, and a host
// file that a command would have replaced is left as it was.

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
        return runToolUnder(dir_.path(), args,
                            {"ulimit -f " + std::to_string(kib) + " && trap '' XFSZ"})
            .output;
    }

    std::string path(const std::string& name) const {
        return dir_.file(name);
    }
    bool exists(const std::string& name) const {
        return std::filesystem::exists(path(name));
    }
    // Whether a run left a temporary file behind.
    bool temporaryLeft() const {
        for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
            if (entry.path().filename().string().rfind(".fat12img-", 0) == 0) {
                return true;
            }
        }
        return false;
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

TEST_F(FullDisk, ARunStoppedWhileItCreatesTheImageLeavesNone) {
    // Without the trap, the limit's signal ends the process in the middle of its writes.
    runToolUnder(dir_.path(), {"new.img", "ls"}, {"ulimit -f 100"});
    EXPECT_FALSE(exists("new.img")) << "a short image was left to mount later";
    EXPECT_FALSE(temporaryLeft());
    EXPECT_EQ(runLimited(4096, {"new.img", "ls"}), "");
    EXPECT_EQ(readFile(path("new.img")).size(), kFloppyBytes);
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

TEST_F(FullDisk, AFailedWriteToTheHostKeepsTheFileItWouldReplace) {
    writeFile(path("big.bin"), pattern(300 * 1024, 3));
    ASSERT_EQ(runLimited(4096, {"disk.img", "cp", "'big.bin", "BIG.BIN"}), "");
    const std::vector<uint8_t> old = pattern(20000, 9);
    const bool haveLink = makeSymlinkIfAllowed("old.bin", path("link"));
    for (const char* destination : {"old.bin", "link"}) {
        if (std::string(destination) == "link" && !haveLink) {
            continue;
        }
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"cp", "BIG.BIN", "'" + std::string(destination)},
              {"mv", "BIG.BIN", "'" + std::string(destination)},
              {"read", destination, "num=400"}}) {
            SCOPED_TRACE(command[0] + " to " + destination);
            writeFile(path("old.bin"), old);
            std::vector<std::string> args{"disk.img"};
            args.insert(args.end(), command.begin(), command.end());
            EXPECT_EQ(runLimited(100, args), kWriteFailed);
            EXPECT_EQ(readFile(path("old.bin")), old) << "the old content is gone";
            EXPECT_EQ(std::filesystem::is_symlink(path("link")), haveLink);
            EXPECT_FALSE(temporaryLeft());
        }
    }
    EXPECT_EQ(readTree(readFile(path("disk.img"))).nodes.count("BIG.BIN"), 1u);
    // A copy that succeeds replaces the content through the link and keeps the file's
    // permission bits.
    std::filesystem::permissions(
        path("old.bin"), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    ASSERT_EQ(runLimited(4096, {"disk.img", "cp", "BIG.BIN", haveLink ? "'link" : "'old.bin"}), "");
    EXPECT_EQ(readFile(path("old.bin")), readFile(path("big.bin")));
    EXPECT_EQ(std::filesystem::is_symlink(path("link")), haveLink);
    EXPECT_EQ(std::filesystem::status(path("old.bin")).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

}  // namespace
