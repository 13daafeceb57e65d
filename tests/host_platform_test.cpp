// The program as a process on its host: images that come out the same byte for byte from
// the same commands, host files too large for any transfer, and the console's end of input.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
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

}  // namespace
