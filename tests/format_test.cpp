// format as a process: the exact image it writes, whatever was in the file before, and how
// an independent checker sees that image.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "support/expected_output.hpp"
#include "support/image_builder.hpp"
#include "support/run_tool.hpp"
#include "support/tool_workspace.hpp"

using namespace testimg;

namespace {

constexpr size_t kSector = 512;

uint32_t le16(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8);
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return le16(b, at) | (le16(b, at + 2) << 16);
}

std::string text(const std::vector<uint8_t>& b, size_t at, size_t n) {
    return std::string(reinterpret_cast<const char*>(b.data() + at), n);
}

// Runs format on a file holding `before` and gives the file afterwards.
std::vector<uint8_t> formatOver(const std::vector<uint8_t>& before, std::string* output) {
    ToolWorkspace disk;
    disk.putImage(before);
    const ToolResult r = disk.run({"format"});
    EXPECT_EQ(r.exitStatus, 0);
    if (output != nullptr) {
        *output = r.output;
    }
    return disk.imageBytes();
}

const uint8_t kBootCode[40] = {0xFA, 0xFC, 0x31, 0xC0, 0x8E, 0xD8, 0x8E, 0xC0, 0x8E, 0xD0,
                               0xBC, 0x00, 0x7C, 0xFB, 0xBE, 0x66, 0x7C, 0xE8, 0x06, 0x00,
                               0x31, 0xC0, 0xCD, 0x16, 0xCD, 0x19, 0x31, 0xDB, 0xB4, 0x0E,
                               0xAC, 0x3C, 0x00, 0x74, 0x04, 0xCD, 0x10, 0xEB, 0xF7, 0xC3};

class FormattedImage : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::string output;
        image_ = new std::vector<uint8_t>(formatOver(std::vector<uint8_t>(10, 0x41), &output));
        output_ = new std::string(output);
    }
    static void TearDownTestSuite() {
        delete image_;
        delete output_;
    }
    static std::vector<uint8_t>* image_;
    static std::string* output_;
};

std::vector<uint8_t>* FormattedImage::image_ = nullptr;
std::string* FormattedImage::output_ = nullptr;

TEST_F(FormattedImage, IsExactlyOneFloppyLongAndFormatPrintsNothing) {
    EXPECT_EQ(image_->size(), kFloppyBytes);
    EXPECT_EQ(*output_, "");
}

TEST_F(FormattedImage, BootSectorFields) {
    const std::vector<uint8_t>& b = *image_;
    ASSERT_EQ(b.size(), kFloppyBytes);
    EXPECT_EQ(b[0], 0xEB);
    EXPECT_EQ(b[1], 0x3C);
    EXPECT_EQ(b[2], 0x90);
    EXPECT_EQ(text(b, 3, 8), "OEM NAME");
    struct Field {
        size_t offset;
        size_t size;
        uint32_t value;
    };
    const Field fields[] = {
        {11, 2, 512},  {13, 1, 1}, {14, 2, 1},  {16, 1, 2}, {17, 2, 224}, {19, 2, 2880},
        {21, 1, 0xF0}, {22, 2, 9}, {24, 2, 18}, {26, 2, 2}, {28, 4, 0},   {32, 4, 0},
        {36, 1, 0},    {37, 1, 0}, {38, 1, 0},  {39, 4, 0},
    };
    for (const Field& f : fields) {
        const uint32_t actual = f.size == 1   ? b[f.offset]
                                : f.size == 2 ? le16(b, f.offset)
                                              : le32(b, f.offset);
        EXPECT_EQ(actual, f.value) << "offset " << f.offset;
    }
    EXPECT_EQ(text(b, 43, 11), "NO NAME    ");
    EXPECT_EQ(text(b, kTypeFieldOffset, 8), "FAT12   ");
    EXPECT_EQ(std::memcmp(b.data() + 62, kBootCode, sizeof kBootCode), 0);
    EXPECT_EQ(text(b, 102, 14), "Invalid Disk\r\n");
    EXPECT_TRUE(allBytesAre(b, 116, 510 - 116, 0x00));
    EXPECT_EQ(b[510], 0x55);
    EXPECT_EQ(b[511], 0xAA);
}

// The code prints the text at 0x7C66: that must be offset 102 of the sector.
TEST_F(FormattedImage, BootCodePointsAtItsMessage) {
    const std::vector<uint8_t>& b = *image_;
    ASSERT_EQ(b[62 + 14], 0xBE);  // mov si, imm16
    EXPECT_EQ(le16(b, 62 + 15) - 0x7C00, 102u);
    // The jump at offset 0 lands on the first byte of the boot code.
    EXPECT_EQ(2 + b[1], 62);
}

TEST_F(FormattedImage, FatCopiesRootAndDataArea) {
    const std::vector<uint8_t>& b = *image_;
    ASSERT_EQ(b.size(), kFloppyBytes);
    for (size_t copy = 0; copy < 2; ++copy) {
        const size_t at = (1 + 9 * copy) * kSector;
        EXPECT_EQ(b[at], 0xF0) << "FAT copy " << copy;
        EXPECT_EQ(b[at + 1], 0xFF) << "FAT copy " << copy;
        EXPECT_EQ(b[at + 2], 0xFF) << "FAT copy " << copy;
        EXPECT_TRUE(allBytesAre(b, at + 3, 9 * kSector - 3, 0x00)) << "FAT copy " << copy;
    }
    EXPECT_TRUE(allBytesAre(b, 19 * kSector, 14 * kSector, 0x00)) << "root directory";
    EXPECT_TRUE(allBytesAre(b, 33 * kSector, kFloppyBytes - 33 * kSector, 0xF8)) << "data area";
}

TEST_F(FormattedImage, IndependentCheckerFindsOnlyTheMissingLabel) {
    if (!haveProgram("fsck.fat")) {
        GTEST_SKIP() << "fsck.fat is not installed";
    }
    TempDir dir;
    writeFile(dir.file("fd.img"), *image_);
    const ToolResult r = runShell("fsck.fat -n " + shellQuote(dir.file("fd.img")) + " 2>&1");
    std::istringstream lines(r.output);
    std::vector<std::string> findings;
    bool sawSummary = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line.rfind("fsck.fat ", 0) == 0 ||
            line == "Leaving filesystem unchanged.") {
            continue;
        }
        if (line.find(": 0 files, 0/2847 clusters") != std::string::npos) {
            sawSummary = true;
            continue;
        }
        findings.push_back(line);
    }
    EXPECT_TRUE(sawSummary) << r.output;
    // No extended boot signature, so the checker reads the label as empty.
    const std::vector<std::string> labelFinding = {
        "Label '' stored in boot sector is not valid.",
        "  Auto-removing label from boot sector.",
    };
    if (r.exitStatus == 0) {
        EXPECT_TRUE(findings.empty()) << r.output;
    } else {
        EXPECT_EQ(r.exitStatus, 1) << r.output;
        EXPECT_EQ(findings, labelFinding) << r.output;
    }
}

// Whatever was in the file and however long it was, the result is the same image.
TEST(Format, OverwritesAnyPreviousContent) {
    const std::vector<uint8_t> reference = formatOver(std::vector<uint8_t>(10, 0x41), nullptr);
    ASSERT_EQ(reference.size(), kFloppyBytes);
    std::vector<uint8_t> big(2 * kFloppyBytes, 0x5A);
    EXPECT_EQ(formatOver(big, nullptr), reference) << "2.88 MB file";
    EXPECT_EQ(formatOver({}, nullptr), reference) << "empty file";
    std::vector<uint8_t> used = blankFloppy();
    putEntry(used, rootSlotOffset(floppy144(), 0), "HELLO   TXT", 0x20, 2, 5);
    setChain(used, floppy144(), {2});
    EXPECT_EQ(formatOver(used, nullptr), reference) << "image with a file";

    TempDir dir;
    runTool(dir.path(), {"new.img"}, "exit\n");
    EXPECT_EQ(readFile(dir.file("new.img")), reference) << "image created at start";
}

TEST(Format, LeavesTheNewRootCurrentInImageMode) {
    ToolWorkspace disk;
    disk.putImage(blankFloppy());
    const ToolResult r = disk.type("mkdir SUB\ncd SUB\nformat\nls\nmkdir X\n");
    EXPECT_EQ(r.output, usageOutput() + ">>>>>>");
    const std::vector<uint8_t> img = disk.imageBytes();
    ASSERT_EQ(img.size(), kFloppyBytes);
    const FloppyGeometry g = floppy144();
    EXPECT_EQ(entryName(img, rootSlotOffset(g, 0)), "X          ");
    EXPECT_EQ(entryAttribute(img, rootSlotOffset(g, 0)), 0x10);
    EXPECT_EQ(entryCluster(img, rootSlotOffset(g, 0)), 2);
}

}  // namespace
