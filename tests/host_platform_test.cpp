// The program as a process on its host: images that come out the same byte for byte from
// the same commands, host files too large for any transfer, the console's end of input, and
// files that fight back: images that may only be read or not at all, dangling links, FIFOs
// that nobody serves, and files that misstate their size.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/expected_output.hpp"
#include "support/image_builder.hpp"
#include "support/run_tool.hpp"
#include "support/tool_workspace.hpp"

using namespace testimg;

namespace {

constexpr uint64_t kGibibyte = uint64_t(1) << 30;

const std::string kOutOfMemory = consoleLine(u8"メモリが確保できません");
const std::string kTransferTooLarge =
    consoleLine(u8"32MBより大きいディスクイメージの操作に対応していません");
const std::string kReadOnly = consoleLine(u8"イメージファイルは読み取り専用です");
const std::string kCannotOpenHost = consoleLine(u8"ファイルを開けませんでした");
const std::string kNoSource = consoleLine(u8"コピー元のファイルが見つかりません");

std::string mountFailed(const std::string& image) {
    return image + consoleLine(u8" の読み込みに失敗");
}

// Builds a small tree in `imageName` inside a new directory, through single commands and an
// interactive session, and gives the image's bytes.
std::vector<uint8_t> buildTree(const std::string& imageName) {
    ToolWorkspace disk(imageName);
    writeFile(disk.file("kernel.bin"), pattern(5000, 1));
    writeFile(disk.file("note.txt"), std::string("hello\n"));
    std::vector<uint8_t> boot = pattern(512, 2);
    boot[510] = 0x55;
    boot[511] = 0xAA;
    writeFile(disk.file("loader.bin"), boot);
    auto run = [&](const std::vector<std::string>& args, const std::string& input = "") {
        return disk.run(args, input).output;
    };
    EXPECT_EQ(run({"mkdir", "SYSTEM\\BOOT"}), "");
    EXPECT_EQ(run({"cp", "'kernel.bin", "SYSTEM\\KERNEL.BIN"}), "");
    EXPECT_EQ(run({"cp", "'note.txt", "NOTE.TXT"}), "");
    EXPECT_EQ(run({"touch", "EMPTY"}), "");
    run({},
        "cd SYSTEM\nmv ..\\NOTE.TXT BOOT\\NOTE.TXT\ntouch GONE.TMP\nrm GONE.TMP\n"
        "mkdir OLD\\DEEP\nrmdir OLD\nexit\n");
    // A raw sector into the last data cluster, which no file uses.
    EXPECT_EQ(run({"write", "loader.bin", "lba=2879"}), "");
    EXPECT_EQ(run({"ls", "SYSTEM\\BOOT"}), listing({".", "..", "NOTE.TXT"}));
    return disk.imageBytes();
}

// Every entry in use in the directory whose slots start at `offset` (`slots` of them).
std::vector<size_t> usedEntries(const std::vector<uint8_t>& img, size_t offset, size_t slots) {
    std::vector<size_t> used;
    for (size_t i = 0; i < slots; ++i) {
        const size_t at = offset + i * 32;
        if (img[at] == 0x00) {
            break;
        }
        if (img[at] != 0xE5) {
            used.push_back(at);
        }
    }
    return used;
}

uint16_t le16At(const std::vector<uint8_t>& img, size_t at) {
    return uint16_t(img[at] | img[at + 1] << 8);
}

TEST(ReproducibleImages, SameCommandsGiveTheSameBytesAndFixedDates) {
    const std::vector<uint8_t> first = buildTree("first.img");
    const std::vector<uint8_t> second = buildTree("fd.img");
    ASSERT_EQ(first.size(), floppy144().imageBytes());
    EXPECT_TRUE(first == second) << "two runs of the same commands gave different images";

    // No clock is read: creation, access and write stamps are all 1 February 1980, 00:00.
    const FloppyGeometry g = floppy144();
    std::vector<size_t> entries = usedEntries(first, g.rootOffset(), g.rootEntries);
    const std::vector<size_t> root = entries;
    for (size_t at : root) {
        if (entryAttribute(first, at) & 0x10) {
            const std::vector<size_t> inner =
                usedEntries(first, g.clusterOffset(entryCluster(first, at)), g.clusterBytes() / 32);
            entries.insert(entries.end(), inner.begin(), inner.end());
        }
    }
    ASSERT_GE(entries.size(), 6u);  // SYSTEM, EMPTY; ., .., KERNEL.BIN, BOOT
    for (size_t at : entries) {
        SCOPED_TRACE(entryName(first, at));
        EXPECT_EQ(first[at + 13], 0);
        EXPECT_EQ(le16At(first, at + 14), 0);       // creation time
        EXPECT_EQ(le16At(first, at + 16), 0x0041);  // creation date
        EXPECT_EQ(le16At(first, at + 18), 0x0041);  // last access date
        EXPECT_EQ(le16At(first, at + 22), 0);       // write time
        EXPECT_EQ(le16At(first, at + 24), 0x0041);  // write date
    }
}

// Sizes of 4 GiB and more do not fit the 32 bits of a file's size, and a size above 2 GiB
// does not fit a 32-bit long: neither may shrink to a small file or a wrong message.
TEST(HostFileSize, FilesBeyondFourGibibytesAreRefused) {
    ToolWorkspace disk;
    ASSERT_EQ(disk.run({"touch", "KEEP"}).output, "");
    const std::vector<uint8_t> image = disk.imageBytes();
    try {
        makeSparseFile(disk.file("big"), 4 * kGibibyte + 100);
        makeSparseFile(disk.file("three"), 3 * kGibibyte);
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no sparse file of 4 GiB here: " << e.what();
    }
    auto run = [&](const std::vector<std::string>& args) { return disk.run(args).output; };
    EXPECT_EQ(run({"cp", "'big", "BIG"}), kOutOfMemory);
    EXPECT_EQ(run({"cp", "'big", "'copy"}), kOutOfMemory);
    EXPECT_EQ(run({"mv", "'big", "BIG"}), kOutOfMemory);
    EXPECT_EQ(run({"write", "big"}), kTransferTooLarge);
    EXPECT_EQ(run({"write", "big", "num=0", "lba=1"}), kTransferTooLarge);
    EXPECT_EQ(run({"write", "three"}), kTransferTooLarge);
    EXPECT_TRUE(disk.imageBytes() == image) << "the image was changed";
    EXPECT_FALSE(std::filesystem::exists(disk.file("copy")));
}

// Windows console programs read standard input in text mode, where Ctrl+Z ends it; elsewhere
// the byte is just a byte of a command name.
TEST(ConsoleInput, CtrlZ) {
    ToolWorkspace disk;
    const ToolResult r = disk.type("touch A\n\x1Atouch B\nls\n");
#ifdef _WIN32
    EXPECT_EQ(r.output, usageOutput() + ">>");
    EXPECT_EQ(disk.run({"ls"}).output, listing({"A"}));
#else
    EXPECT_EQ(r.output, usageOutput() + ">>" + consoleLine(u8"無効なコマンドです。") + ">" +
                            listing({"A"}) + ">");
#endif
}

// Runs of the tool, image first, in a scratch directory that uid 65534 may use too; every
// run ends within seconds, whatever the tool does (exit status 124 when it was stopped).
class HostSide : public ::testing::Test {
  protected:
    void SetUp() override {
#if defined(_WIN32)
        GTEST_SKIP() << "FIFOs, links, /proc and setpriv are POSIX matters";
#endif
        std::filesystem::permissions(dir_.path(), std::filesystem::perms::all);
    }

    ToolResult run(const std::vector<std::string>& args, bool unprivileged = false) const {
        return runToolUnder(dir_.path(), args, {"", unprivileged, 10});
    }
    std::string file(const std::string& name) const {
        return dir_.file(name);
    }
    // What the directory holds: no run may leave a temporary file behind.
    std::set<std::string> names() const {
        std::set<std::string> out;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
            out.insert(entry.path().filename().string());
        }
        return out;
    }
    void setMode(const std::string& name, std::filesystem::perms mode) const {
        std::filesystem::permissions(file(name), mode);
    }

    TempDir dir_;
};

TEST_F(HostSide, AnImageThatMayOnlyBeReadIsReadAndNeverChanged) {
    const std::string reason = whyNoUnprivilegedRuns();
    if (!reason.empty()) {
        GTEST_SKIP() << "needs an unprivileged run: " << reason;
    }
    const std::vector<uint8_t> data = pattern(3000, 1);
    writeFile(file("in.bin"), data);
    ASSERT_EQ(run({"fd.img", "mkdir", "SUB"}).output, "");
    ASSERT_EQ(run({"fd.img", "cp", "'in.bin", "SUB\\F.BIN"}).output, "");
    setMode("fd.img", std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                          std::filesystem::perms::others_read);
    const std::vector<uint8_t> image = readFile(file("fd.img"));
    struct Row {
        std::vector<std::string> args;
        std::string expected;
    };
    // Whatever would change the image refuses before it looks at its arguments; mv out
    // copies, and then its removal fails as rm's does.
    const Row rows[] = {
        {{"ls", "SUB"}, listing({".", "..", "F.BIN"})},
        {{"cp", "SUB\\F.BIN", "'out.bin"}, ""},
        {{"read", "root.bin", "lba=19"}, ""},
        {{"mkdir", "NEW"}, kReadOnly},
        {{"rmdir", "SUB"}, kReadOnly},
        {{"touch", "T"}, kReadOnly},
        {{"rm", "SUB\\F.BIN"}, kReadOnly},
        {{"cp", "'in.bin", "X"}, kReadOnly},
        {{"cp", "nothere", "nodir\\X"}, kReadOnly},
        {{"mv", "'in.bin", "X"}, kReadOnly},
        {{"format"}, kReadOnly},
        {{"write", "in.bin"}, kReadOnly},
        {{"mv", "SUB\\F.BIN", "'moved.bin"}, consoleLine(u8"ファイルの削除に失敗しました")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args[0] + " " + (row.args.size() > 1 ? row.args[1] : ""));
        std::vector<std::string> args{"fd.img"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        EXPECT_EQ(run(args, true).output, row.expected);
        EXPECT_TRUE(readFile(file("fd.img")) == image);
    }
    EXPECT_EQ(readFile(file("out.bin")), data);
    EXPECT_EQ(readFile(file("moved.bin")), data);
    EXPECT_EQ(readFile(file("root.bin")), bytesAt(image, 19 * 512, 512));

    // An image that may be written but not read is neither read nor formatted.
    setMode("fd.img", std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                          std::filesystem::perms::others_write);
    EXPECT_EQ(run({"fd.img", "ls"}, true).output, mountFailed("fd.img"));
    EXPECT_TRUE(readFile(file("fd.img")) == image) << "the image was wiped";
}

TEST_F(HostSide, ADanglingLinkAsTheImageCreatesItsTargetOrIsRefused) {
    if (!makeSymlinkIfAllowed("target.img", file("link.img")) ||
        !makeSymlinkIfAllowed("nodir/x.img", file("lost.img")) ||
        !makeSymlinkIfAllowed("loop.img", file("loop.img"))) {
        GTEST_SKIP() << "no symbolic links here";
    }
    EXPECT_EQ(run({"link.img", "touch", "A"}).output, "");
    EXPECT_EQ(readFile(file("target.img")).size(), kFloppyBytes);
    EXPECT_TRUE(std::filesystem::is_symlink(file("link.img")));
    EXPECT_EQ(run({"target.img", "ls"}).output, listing({"A"}));
    for (const char* refused : {"lost.img", "loop.img"}) {
        const ToolResult r = run({refused, "ls"});
        EXPECT_EQ(r.output, mountFailed(refused));
        EXPECT_EQ(r.exitStatus, 0) << "stopped after its time";
    }
    EXPECT_EQ(names(), (std::set<std::string>{"link.img", "lost.img", "loop.img", "target.img"}));
}

TEST_F(HostSide, FifosThatNobodyServesAreRefusedAtOnce) {
    ASSERT_EQ(runShell("mkfifo " + shellQuote(file("fifo"))).exitStatus, 0);
    ASSERT_EQ(run({"fd.img", "touch", "A"}).output, "");
    struct Row {
        std::vector<std::string> args;
        std::string expected;
    };
    const Row rows[] = {
        {{"fifo", "ls"}, mountFailed("fifo")},
        {{"fd.img", "cp", "'fifo", "X"}, kNoSource},
        {{"fd.img", "cp", "A", "'fifo"}, consoleLine(u8"コピー先のファイルを開けません")},
        {{"fd.img", "write", "fifo"}, kCannotOpenHost},
        {{"fd.img", "write", "fifo", "num=1"}, kCannotOpenHost},
        {{"fd.img", "read", "fifo"}, kCannotOpenHost},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args[1] + " " + (row.args.size() > 2 ? row.args[2] : ""));
        const ToolResult r = run(row.args);
        EXPECT_EQ(r.output, row.expected);
        EXPECT_EQ(r.exitStatus, 0) << "stopped after its time";
    }
    EXPECT_EQ(run({"fd.img", "ls"}).output, listing({"A"}));
}

TEST_F(HostSide, FilesThatMisstateTheirSizeAreReadToTheirEnd) {
    const std::string proc = "/proc/version";
    std::error_code error;
    if (std::filesystem::file_size(proc, error) != 0 || error) {
        GTEST_SKIP() << "no " << proc << " that says it is empty";
    }
    const std::vector<uint8_t> version = readFile(proc);
    ASSERT_FALSE(version.empty());
    EXPECT_EQ(run({"fd.img", "cp", "'" + proc, "V.TXT"}).output, "");
    EXPECT_EQ(run({"fd.img", "cp", "V.TXT", "'v.txt"}).output, "");
    EXPECT_EQ(readFile(file("v.txt")), version);

    // write without num takes the sectors the file really has; a device whose size cannot be
    // known needs num.
    const size_t at = 2000 * 512;
    EXPECT_EQ(run({"fd.img", "write", proc, "lba=2000"}).output, "");
    std::vector<uint8_t> image = readFile(file("fd.img"));
    EXPECT_EQ(bytesAt(image, at, version.size()), version);
    EXPECT_TRUE(allBytesAre(image, at + version.size(), 1024 - version.size(), 0xF8));
    EXPECT_EQ(run({"fd.img", "write", "/dev/urandom", "lba=2100"}).output, kCannotOpenHost);
    EXPECT_EQ(run({"fd.img", "cp", "'/dev/urandom", "R"}).output, kNoSource);
    EXPECT_TRUE(readFile(file("fd.img")) == image);
    EXPECT_EQ(run({"fd.img", "write", "/dev/urandom", "lba=2100", "num=4"}).output, "");
    image = readFile(file("fd.img"));
    for (size_t sector = 2100; sector < 2104; ++sector) {
        EXPECT_FALSE(allBytesAre(image, sector * 512, 512, 0xF8)) << sector;
    }
    EXPECT_TRUE(allBytesAre(image, 2104 * 512, 512, 0xF8));
}

}  // namespace
