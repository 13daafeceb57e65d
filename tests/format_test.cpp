// format as a process: the exact image it writes, whatever was in the file before, and how
// an independent checker sees that image.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/expected_output.hpp"
#include "support/image_builder.hpp"
#include "support/in_process.hpp"
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

namespace {

// Every floppy format writes, as the drives define them (written out here apart from the
// code's table): 1 reserved sector and 2 FATs each.
struct Layout {
    uint32_t kb;
    uint32_t bytesPerSector;
    uint32_t sectorsPerCluster;
    uint32_t rootEntries;
    uint32_t sectorsPerFat;
    uint32_t totalSectors;
    uint32_t media;
    uint32_t sectorsPerTrack;
    uint32_t heads;
    // How mformat makes it (empty: mformat has no such layout), and mkfs.fat's -g.
    std::string mformat;
};

const Layout kLayouts[] = {
    {160, 512, 1, 64, 1, 320, 0xFE, 8, 1, "-f 160"},
    {180, 512, 1, 64, 2, 360, 0xFC, 9, 1, "-f 180"},
    {320, 512, 2, 112, 1, 640, 0xFF, 8, 2, "-f 320"},
    {360, 512, 2, 112, 2, 720, 0xFD, 9, 2, "-f 360"},
    {640, 512, 2, 112, 2, 1280, 0xFB, 8, 2, "-t 80 -h 2 -s 8"},
    {720, 512, 2, 112, 3, 1440, 0xF9, 9, 2, "-f 720"},
    {1200, 512, 1, 224, 7, 2400, 0xF9, 15, 2, "-f 1200"},
    // mformat -t 77 -h 2 -s 8 -S 3 makes 2 sectors a cluster, 448 root entries and media
    // 0xF0: a generic layout, not the PC-98's, which no mformat option gives.
    {1232, 1024, 1, 192, 2, 1232, 0xFE, 8, 2, ""},
    {1440, 512, 1, 224, 9, 2880, 0xF0, 18, 2, "-f 1440"},
    {2880, 512, 2, 240, 9, 5760, 0xF0, 36, 2, "-f 2880"},
};

// Offsets 11-27 of the boot sector as the layout has them, in field order.
std::vector<uint32_t> parameterBlock(const Layout& l) {
    return {
        l.bytesPerSector, l.sectorsPerCluster, 1,      2, l.rootEntries, l.totalSectors, l.media,
        l.sectorsPerFat,  l.sectorsPerTrack,   l.heads};
}

std::vector<uint32_t> parameterBlock(const std::vector<uint8_t>& b) {
    return {le16(b, 11), b[13], le16(b, 14), b[16],       le16(b, 17),
            le16(b, 19), b[21], le16(b, 22), le16(b, 24), le16(b, 26)};
}

std::vector<uint8_t> formatted(const std::vector<std::string>& args) {
    ToolWorkspace disk;
    disk.putImage(std::vector<uint8_t>(10, 0x41));
    EXPECT_EQ(disk.run(args).output, "");
    return disk.imageBytes();
}

// The bytes that are not the parameter block: the jump, the OEM name, the code and message.
bool sameBootCode(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    return bytesAt(a, 0, 11) == bytesAt(b, 0, 11) && bytesAt(a, 62, 450) == bytesAt(b, 62, 450);
}

// fsck.fat -n on an image: its output and exit status, and what fsckFindings makes of it.
ToolResult fsckOf(const std::vector<uint8_t>& image, std::string* findings) {
    TempDir dir;
    writeFile(dir.file("fd.img"), image);
    *findings = fsckFindings(dir.file("fd.img"));
    return runShell("fsck.fat -n " + shellQuote(dir.file("fd.img")) + " 2>&1");
}

TEST(FormatLayouts, EveryLayoutByteForByteWithAndWithoutALabel) {
    const std::vector<uint8_t> plain = formatted({"format"});
    for (const Layout& l : kLayouts) {
        SCOPED_TRACE(l.kb);
        const std::string size = "size=" + std::to_string(l.kb);
        const std::vector<uint8_t> b = formatted({"format", size});
        ASSERT_EQ(b.size(), size_t(l.totalSectors) * l.bytesPerSector);
        EXPECT_EQ(parameterBlock(b), parameterBlock(l));
        EXPECT_TRUE(allBytesAre(b, 28, 38 - 28 + 5, 0x00));  // up to the serial number
        EXPECT_EQ(text(b, 43, 11), "NO NAME    ");
        EXPECT_EQ(text(b, 54, 8), "FAT12   ");
        EXPECT_TRUE(sameBootCode(b, plain));
        EXPECT_TRUE(allBytesAre(b, 512, l.bytesPerSector - 512, 0x00));
        const size_t fatBytes = size_t(l.sectorsPerFat) * l.bytesPerSector;
        for (size_t copy = 0; copy < 2; ++copy) {
            const size_t at = l.bytesPerSector + copy * fatBytes;
            EXPECT_EQ(bytesAt(b, at, 3), (std::vector<uint8_t>{uint8_t(l.media), 0xFF, 0xFF}));
            EXPECT_TRUE(allBytesAre(b, at + 3, fatBytes - 3, 0x00));
        }
        const size_t root = l.bytesPerSector + 2 * fatBytes;
        const size_t data = root + l.rootEntries * 32;
        EXPECT_TRUE(allBytesAre(b, root, data - root, 0x00));
        EXPECT_TRUE(allBytesAre(b, data, b.size() - data, 0xF8));

        // The same image with a label: the extended boot signature, the serial number, the
        // label in the boot sector and as the first root entry, nothing else.
        const std::vector<uint8_t> labelled =
            formatted({"format", size, "label=Disk " + std::to_string(l.kb), "serial=1a2B3c"});
        ASSERT_EQ(labelled.size(), b.size());
        std::vector<uint8_t> expected = b;
        expected[38] = 0x29;
        const uint8_t serial[] = {0x3C, 0x2B, 0x1A, 0x00};
        std::copy(std::begin(serial), std::end(serial), expected.begin() + 39);
        std::string label = "DISK " + std::to_string(l.kb);
        label.resize(11, ' ');
        std::copy(label.begin(), label.end(), expected.begin() + 43);
        std::copy(label.begin(), label.end(), expected.begin() + long(root));
        expected[root + 11] = 0x08;
        for (size_t date : {16, 18, 24}) {
            expected[root + date] = 0x41;
        }
        EXPECT_TRUE(labelled == expected);

        if (haveProgram("fsck.fat")) {
            std::string findings;
            const ToolResult checked = fsckOf(labelled, &findings);
            EXPECT_EQ(checked.exitStatus, 0) << checked.output;
            EXPECT_EQ(findings, "");
            fsckOf(b, &findings);
            EXPECT_EQ(findings, "");
        }
    }
}

// mformat (where it has the layout) and mkfs.fat given the layout's geometry write the
// same parameter block and the same first FAT bytes.
TEST(FormatLayouts, MatchWhatThePeersMake) {
    if (!haveProgram("mformat") || !haveProgram("mkfs.fat")) {
        GTEST_SKIP() << "mtools or dosfstools are not installed";
    }
    for (const Layout& l : kLayouts) {
        SCOPED_TRACE(l.kb);
        TempDir dir;
        const std::vector<uint8_t> mine = formatted({"format", "size=" + std::to_string(l.kb)});
        std::vector<std::string> commands = {
            "mkfs.fat -C -F 12 -R 1 -f 2 -g " + std::to_string(l.heads) + "/" +
            std::to_string(l.sectorsPerTrack) + " -S " + std::to_string(l.bytesPerSector) + " -s " +
            std::to_string(l.sectorsPerCluster) + " -r " + std::to_string(l.rootEntries) + " -M " +
            std::to_string(l.media) + " %s " + std::to_string(l.kb)};
        if (!l.mformat.empty()) {
            commands.push_back("MTOOLS_SKIP_CHECK=1 mformat " + l.mformat + " -C -i %s ::");
        }
        for (std::string command : commands) {
            SCOPED_TRACE(command);
            const std::string image = dir.file("peer.img");
            std::remove(image.c_str());
            command.replace(command.find("%s"), 2, shellQuote(image));
            const ToolResult made = runShell(command + " 2>&1");
            ASSERT_EQ(made.exitStatus, 0) << made.output;
            const std::vector<uint8_t> theirs = readFile(image);
            ASSERT_EQ(theirs.size(), mine.size());
            EXPECT_EQ(parameterBlock(theirs), parameterBlock(mine));
            EXPECT_EQ(bytesAt(theirs, l.bytesPerSector, 3), bytesAt(mine, l.bytesPerSector, 3));
        }
    }
}

// Each refused parameter prints its token and formats nothing.
TEST(FormatParameters, RefusedTokensLeaveTheImageAsItWas) {
    std::vector<uint8_t> used = blankFloppy();
    putEntry(used, rootSlotOffset(floppy144(), 0), "HELLO   TXT", 0x20, 2, 5);
    setChain(used, floppy144(), {2});
    const std::string lone = sjis(u8"ソ").substr(0, 1);
    const std::vector<std::vector<std::string>> refused = {
        {"720"},
        {"size"},
        {"size=999"},
        {"size=0"},
        {"size="},
        {"size=720k"},
        {"size=0x2D0"},
        {"size=-720"},
        {"size= 720"},
        {"SIZE=720"},
        {"=720"},
        {"lba=0"},
        {"label="},
        {"label= LEADING"},
        {"label=TWELVE_CHARS"},
        {"label=A*B"},
        {"label=A.B"},
        {"label=A\\B"},
        {"label=A?B"},
        {"label=A\tB"},
        {"label=" + std::string("AB") + lone},
        {"serial="},
        {"serial=123456789"},
        {"serial=12G4"},
        {"serial=-1"},
        {"serial=1234_ABCD"},
        {"size=720", "now"},
        {"label=OK", "size=721"},
    };
    for (const std::vector<std::string>& tokens : refused) {
        SCOPED_TRACE(tokens.back());
        ToolWorkspace disk;
        disk.putImage(used);
        std::vector<std::string> args = {"format"};
        args.insert(args.end(), tokens.begin(), tokens.end());
        std::string bad;
        for (const std::string& token : tokens) {
            const bool takes = token == "size=720" || token == "label=OK";
            if (!takes && bad.empty()) {
                bad = token;
            }
        }
        EXPECT_EQ(disk.run(args).output, sjis(u8"パラメータが不正です: ") + bad + "\n");
        EXPECT_TRUE(disk.imageBytes() == used);
    }
}

TEST(FormatParameters, AcceptedForms) {
    const std::vector<uint8_t> size720 = formatted({"format", "size=720"});
    EXPECT_TRUE(formatted({"format", "size=+720"}) == size720);
    EXPECT_TRUE(formatted({"format", "size=1440", "size=720"}) == size720) << "the last counts";
    EXPECT_TRUE(formatted({"format", "size=1440"}) == formatted({"format"}));

    struct Case {
        std::string label;
        std::string field;  // as stored
    };
    // ASCII letters go up; the second byte of a Shift_JIS character stays, 0x5C and
    // lower-case letters included (ヂ is 83 61, ソ 83 5C).
    const Case cases[] = {
        {"boot disk", "BOOT DISK  "},
        {"x", "X          "},
        {"ELEVEN_CHAR", "ELEVEN_CHAR"},
        {sjis(u8"ソフトa"), sjis(u8"ソフト") + "A    "},
        {sjis(u8"ヂ"), sjis(u8"ヂ") + "         "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        const std::vector<uint8_t> b = formatted({"format", "label=" + c.label});
        EXPECT_EQ(text(b, 43, 11), c.field);
        EXPECT_EQ(text(b, 19 * kSector, 11), c.field);
        EXPECT_EQ(b[38], 0x29);
        EXPECT_EQ(le32(b, 39), 0u) << "no clock is read";
    }
    // The serial number alone: the signature, no label anywhere.
    for (const char* serial : {"1234-abcd", "1234ABCD"}) {
        const std::vector<uint8_t> b = formatted({"format", std::string("serial=") + serial});
        EXPECT_EQ(b[38], 0x29);
        EXPECT_EQ(le32(b, 39), 0x1234ABCDu);
        EXPECT_EQ(text(b, 43, 11), "NO NAME    ");
        EXPECT_TRUE(allBytesAre(b, 19 * kSector, 14 * kSector, 0x00));
        if (haveProgram("fsck.fat")) {
            std::string findings;
            EXPECT_EQ(fsckOf(b, &findings).exitStatus, 0);
        }
    }
}

// A missing image that the command formats is written once, in the layout asked for;
// an image that exists takes the same writes for the same bytes.
TEST(FormatParameters, AMissingImageIsWrittenOnce) {
    TempDir dir;
    const std::string image = dir.file("new.img");
    const InProcessRun created = runInProcess(image, {"format", "size=720", "label=NEW"});
    EXPECT_EQ(created.output, "");
    const std::vector<uint8_t> bytes = readFile(image);
    EXPECT_TRUE(bytes == formatted({"format", "size=720", "label=NEW"}));
    const InProcessRun again = runInProcess(image, {"format", "size=720", "label=NEW"});
    EXPECT_EQ(created.counts.imageWrites, again.counts.imageWrites);
    EXPECT_TRUE(readFile(image) == bytes);

    // A format that cannot run still finds the image that every command finds.
    const std::string other = dir.file("other.img");
    EXPECT_EQ(runInProcess(other, {"format", "size=721"}).output,
              sjis(u8"パラメータが不正です: size=721\n"));
    EXPECT_TRUE(readFile(other) == formatted({"format"}));
}

}  // namespace
