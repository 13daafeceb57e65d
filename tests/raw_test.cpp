// write and read as a process: which sectors move, the parameters and their refusals, and
// the state of the image afterwards.
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

using Bytes = std::vector<uint8_t>;

constexpr size_t kSector = 512;

const std::string kTooLarge =
    consoleLine(u8"32MBより大きいディスクイメージの操作に対応していません");
const std::string kCannotOpen = consoleLine(u8"ファイルを開けませんでした");
const std::string kBadBase = consoleLine(u8"baseの値が不正です");
const std::string kBadLba = consoleLine(u8"lbaの値が不正です");
const std::string kBadNum = consoleLine(u8"numの値が不正です");
const std::string kRootListing = listing({"SUB"});
const std::string kSubListing = listing({".", ".."});

Bytes sectorOf(const Bytes& img, size_t n) {
    if ((n + 1) * kSector > img.size()) {
        return {};
    }
    return Bytes(img.begin() + long(n * kSector), img.begin() + long((n + 1) * kSector));
}

Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// A fresh floppy in fd.img; its data sectors hold 0xF8, so a changed byte stands out.
class Raw : public ::testing::Test {
  protected:
    void SetUp() override {
        floppy_ = blankFloppy();
        disk_.putImage(floppy_);
    }
    ToolResult run(const std::vector<std::string>& commandAndArgs) {
        return disk_.run(commandAndArgs);
    }
    Bytes image() const { return disk_.imageBytes(); }
    std::string path(const std::string& name) const { return disk_.file(name); }

    ToolWorkspace disk_;
    Bytes floppy_;
};

// ---------------------------------------------------------------------------------------
// write: what reaches the image

struct WriteCase {
    const char* what;
    Bytes host;
    std::vector<std::string> params;
    // The image sectors from 100 on as they must be afterwards.
    std::vector<Bytes> sectors;
};

TEST_F(Raw, WriteTransfersWholeAndShortSectors) {
    const Bytes h100 = randomBytes(100, 1);
    const Bytes h600 = randomBytes(600, 2);
    const Bytes h1024 = randomBytes(1024, 3);
    const Bytes untouched(kSector, 0xF8);
    auto filled = [](const Bytes& head, uint8_t fill) {
        Bytes s = head;
        s.resize(kSector, fill);
        return s;
    };
    const WriteCase cases[] = {
        {"100 bytes, no fill: only they change", h100, {}, {filled(h100, 0xF8), untouched}},
        {"100 bytes, ch=0", h100, {"ch=0"}, {filled(h100, 0x00), untouched}},
        {"ch=65 is the letter A", h100, {"ch=65"}, {filled(h100, 'A'), untouched}},
        {"ch=256 keeps the low 8 bits", h100, {"ch=256"}, {filled(h100, 0x00), untouched}},
        {"ch=511", h100, {"ch=511"}, {filled(h100, 0xFF), untouched}},
        {"ch=-1 is no fill", h100, {"ch=-1"}, {filled(h100, 0xF8), untouched}},
        {"num=3 from 600 bytes",
         h600,
         {"num=3"},
         {bytesBetween(h600, 0, 512), filled(bytesBetween(h600, 512, 600), 0xF8), untouched,
          untouched}},
        {"num=3 from 600 bytes with ch=7",
         h600,
         {"num=3", "ch=7"},
         {bytesBetween(h600, 0, 512), filled(bytesBetween(h600, 512, 600), 7), Bytes(kSector, 7),
          untouched}},
        {"base=1 num=1", h1024, {"base=1", "num=1"}, {bytesBetween(h1024, 512, 1024), untouched}},
        // num from the size counts the whole file; base does not shorten it.
        {"base=1, num from the size",
         h1024,
         {"base=1"},
         {bytesBetween(h1024, 512, 1024), untouched}},
        {"num=0 is num from the size",
         h1024,
         {"num=0"},
         {bytesBetween(h1024, 0, 512), bytesBetween(h1024, 512, 1024), untouched}},
        {"empty host file", {}, {}, {untouched}},
        {"a key given twice keeps its last value",
         h100,
         {"lba=5", "ch=1", "ch=0", "lba=100"},
         {filled(h100, 0x00), untouched}},
    };
    for (const WriteCase& c : cases) {
        writeFile(path("fd.img"), floppy_);
        writeFile(path("h.bin"), c.host);
        // lba=100 goes first, so a case can give lba again.
        std::vector<std::string> args = {"write", "h.bin", "lba=100"};
        args.insert(args.end(), c.params.begin(), c.params.end());
        const ToolResult r = run(args);
        EXPECT_EQ(r.output, "") << c.what;
        const Bytes img = image();
        ASSERT_EQ(img.size(), kFloppyBytes) << c.what;
        for (size_t i = 0; i < c.sectors.size(); ++i) {
            EXPECT_EQ(sectorOf(img, 100 + i), c.sectors[i]) << c.what << ", sector " << 100 + i;
        }
        // Nothing outside the written sectors moves.
        EXPECT_EQ(bytesBetween(img, 0, 100 * kSector), bytesBetween(floppy_, 0, 100 * kSector))
            << c.what;
        const size_t after = (100 + c.sectors.size()) * kSector;
        EXPECT_EQ(bytesBetween(img, after, img.size()),
                  bytesBetween(floppy_, after, floppy_.size()))
            << c.what;
    }
}

TEST_F(Raw, WriteOfABootSectorReplacesSectorZeroAndMountsIt) {
    Bytes boot = sectorOf(floppy_, 0);
    std::copy_n("MYBOOT  ", 8, boot.begin() + 3);
    const Bytes code = randomBytes(448, 9);
    std::copy(code.begin(), code.end(), boot.begin() + 62);
    writeFile(path("boot.bin"), boot);
    EXPECT_EQ(run({"write", "boot.bin"}).output, "");
    EXPECT_EQ(image(), concat(boot, bytesBetween(floppy_, kSector, kFloppyBytes)));
    EXPECT_EQ(run({"mkdir", "SUB"}).output, "");
    EXPECT_EQ(run({"ls"}).output, kRootListing);
}

TEST_F(Raw, WriteOfMinusZeroAndNoNumbers) {
    const Bytes marker = randomBytes(kSector, 4);
    writeFile(path("h.bin"), marker);
    EXPECT_EQ(run({"write", "h.bin", "lba=-0"}).output, "");
    EXPECT_EQ(sectorOf(image(), 0), marker);
    // What is no whole decimal number moves nothing, least of all onto sector 0.
    for (const char* token : {"lba=0x64", "lba= +100x", "LBA=100", "lba", "Ch=1", "num=1x"}) {
        SCOPED_TRACE(token);
        writeFile(path("fd.img"), floppy_);
        EXPECT_EQ(run({"write", "h.bin", "num=1", token, "lba=100"}).output,
                  consoleLine(u8"パラメータが不正です: " + std::string(token)));
        EXPECT_EQ(image(), floppy_);
    }
}

TEST_F(Raw, WritePastTheEndMakesTheImageLonger) {
    const Bytes small = randomBytes(1024, 5);
    writeFile(path("fd.img"), small);
    const Bytes marker = randomBytes(kSector, 6);
    writeFile(path("h.bin"), marker);
    EXPECT_EQ(run({"write", "h.bin", "lba=4"}).output, "");
    EXPECT_EQ(image(), concat(concat(small, Bytes(2 * kSector, 0)), marker));
}

// The image as its own host file: the sectors are copied as they were before the write,
// also where the two ranges overlap.
TEST_F(Raw, WriteFromTheImageItselfCopiesTheRangeAsItWas) {
    Bytes before = floppy_;
    const Bytes marks = randomBytes(8 * kSector, 11);
    std::copy(marks.begin(), marks.end(), before.begin() + 100 * kSector);
    writeFile(path("fd.img"), before);
    EXPECT_EQ(run({"write", "fd.img", "base=100", "lba=103", "num=8"}).output, "");
    Bytes expected = before;
    std::copy(marks.begin(), marks.end(), expected.begin() + 103 * kSector);
    EXPECT_EQ(image(), expected);
    // Backwards over itself, too.
    EXPECT_EQ(run({"write", "fd.img", "base=103", "lba=101", "num=8"}).output, "");
    std::copy(marks.begin(), marks.end(), expected.begin() + 101 * kSector);
    EXPECT_EQ(image(), expected);
}

TEST_F(Raw, WriteAtTheLastSectorBelow32MegabytesIsAccepted) {
    const Bytes marker = randomBytes(kSector, 7);
    writeFile(path("h.bin"), marker);
    EXPECT_EQ(run({"write", "h.bin", "lba=65535", "num=1"}).output, "");
    const Bytes img = image();
    ASSERT_EQ(img.size(), 65536 * kSector);
    EXPECT_EQ(sectorOf(img, 65535), marker);
    EXPECT_EQ(bytesBetween(img, 0, kFloppyBytes), floppy_);
    EXPECT_EQ(sectorOf(img, 2880), Bytes(kSector, 0));
}

TEST_F(Raw, WriteInBinaryMode) {
    const Bytes noise = randomBytes(4096, 8);
    writeFile(path("fd.img"), noise);
    const Bytes marker = randomBytes(kSector, 9);
    writeFile(path("h.bin"), marker);
    EXPECT_EQ(run({"write", "h.bin", "lba=2"}).output, "");
    Bytes expected = noise;
    std::copy(marker.begin(), marker.end(), expected.begin() + 2 * kSector);
    EXPECT_EQ(image(), expected);
}

// ---------------------------------------------------------------------------------------
// write and read: refusals leave both files as they were

struct RefusalCase {
    std::vector<std::string> args;
    std::string output;
};

TEST_F(Raw, RefusedTransfersPrintTheirMessageAndChangeNothing) {
    std::filesystem::create_directory(path("adir"));
    const RefusalCase cases[] = {
        {{"write", "h.bin", "lba=65535", "num=2"}, kTooLarge},
        {{"write", "h.bin", "lba=65536"}, kTooLarge},
        {{"write", "h.bin", "base=65536"}, kTooLarge},
        {{"write", "h.bin", "base=65000", "num=537"}, kTooLarge},
        {{"write", "h.bin", "num=99999999999"}, kTooLarge},
        {{"write", "h.bin", "lba=99999999999", "num=1"}, kTooLarge},
        {{"write", "h.bin", "lba=2147483647"}, kTooLarge},
        {{"write", "h.bin", "num=-99999999999"}, kBadNum},
        {{"write", "h.bin", "base=-1", "lba=-1", "num=-1"}, kBadBase},
        {{"write", "h.bin", "num=-1", "lba=-1", "base=-1"}, kBadBase},
        {{"write", "h.bin", "num=-1", "lba=-1"}, kBadLba},
        {{"write", "h.bin", "num=-1", "lba=5"}, kBadNum},
        {{"write", "h.bin", "lba=-1", "ch=-5"}, kBadLba},
        {{"write", "missing.bin"}, kCannotOpen},
        {{"write", "missing.bin", "num=1"}, kCannotOpen},
        {{"write", "adir"}, kCannotOpen},
        {{"write", "adir", "num=1"}, kCannotOpen},
        {{"read", "out.bin", "base=65536"}, kTooLarge},
        {{"read", "out.bin", "lba=65535", "num=2"}, kTooLarge},
        {{"read", "out.bin", "num=2147483647"}, kTooLarge},
        {{"read", "out.bin", "base=-2", "lba=-3"}, kBadBase},
        {{"read", "out.bin", "lba=-3", "num=-1"}, kBadLba},
        {{"read", "out.bin", "num=-1"}, kBadNum},
        {{"read", "missing/out.bin"}, kCannotOpen},
        {{"read", "adir"}, kCannotOpen},
    };
    const Bytes host = randomBytes(700, 10);
    for (const RefusalCase& c : cases) {
        writeFile(path("h.bin"), host);
        std::string line;
        for (const std::string& a : c.args) {
            line += a + " ";
        }
        EXPECT_EQ(run(c.args).output, c.output) << line;
        EXPECT_EQ(image(), floppy_) << line;
        EXPECT_EQ(readFile(path("h.bin")), host) << line;
        EXPECT_FALSE(std::filesystem::exists(path("out.bin"))) << line;
    }
    EXPECT_TRUE(std::filesystem::is_directory(path("adir")));
}

// A refused write leaves the image mounted: the next command on the same line of work runs.
TEST_F(Raw, RefusedWriteKeepsTheCurrentDirectory) {
    std::filesystem::create_directory(path("adir"));
    writeFile(path("h.bin"), randomBytes(kSector, 15));
    const ToolResult r = disk_.type("mkdir SUB\ncd SUB\nwrite adir\nwrite h.bin lba=70000\nls\n");
    EXPECT_EQ(r.output,
              usageOutput() + ">>>" + kCannotOpen + ">" + kTooLarge + ">" + kSubListing + ">");
    EXPECT_EQ(bytesBetween(image(), 2000 * kSector, kFloppyBytes),
              bytesBetween(floppy_, 2000 * kSector, kFloppyBytes));
}

TEST_F(Raw, WriteRemountsWithTheRootCurrentAndReadDoesNot) {
    writeFile(path("h.bin"), randomBytes(kSector, 11));
    writeFile(path("empty.bin"), std::string());
    const ToolResult r = disk_.type(
        "mkdir SUB\ncd SUB\nwrite h.bin lba=2000\nls\n"
        "cd SUB\nwrite empty.bin\nls\n"
        "cd SUB\nread out.bin\nls\n");
    EXPECT_EQ(r.output, usageOutput() + ">>>>" + kRootListing + ">>>" + kRootListing + ">>>" +
                            kSubListing + ">");
}

// ---------------------------------------------------------------------------------------
// read: what reaches the host file

struct ReadCase {
    const char* what;
    std::vector<std::string> params;
    Bytes expected;  // the host file afterwards
};

TEST_F(Raw, ReadCopiesSectorsIntoANewHostFile) {
    Bytes img = floppy_;
    const Bytes pattern = randomBytes(40 * kSector, 12);
    std::copy(pattern.begin(), pattern.end(), img.begin());
    writeFile(path("fd.img"), img);
    auto sectors = [&](size_t first, size_t count) {
        return bytesBetween(img, first * kSector, (first + count) * kSector);
    };
    const ReadCase cases[] = {
        {"default: sector 0", {}, sectors(0, 1)},
        {"num=0 is one sector", {"num=0", "lba=7"}, sectors(7, 1)},
        {"lba=19 num=14", {"lba=19", "num=14"}, sectors(19, 14)},
        {"base=2 puts two zero sectors first",
         {"base=2", "lba=3"},
         concat(Bytes(2 * kSector, 0), sectors(3, 1))},
        {"any order",
         {"num=14", "base=2", "lba=19"},
         concat(Bytes(2 * kSector, 0), sectors(19, 14))},
        {"ch is ignored by read", {"lba=5", "ch=0"}, sectors(5, 1)},
        {"past the end of the image: zeros", {"lba=3000", "num=2"}, Bytes(2 * kSector, 0)},
        {"last sector below 32 MB", {"lba=65535"}, Bytes(kSector, 0)},
        {"across the end of the image",
         {"lba=2879", "num=2"},
         concat(sectors(2879, 1), Bytes(kSector, 0))},
    };
    for (const ReadCase& c : cases) {
        writeFile(path("out.bin"), Bytes(5000, 0x11));  // discarded by every read
        std::vector<std::string> args = {"read", "out.bin"};
        args.insert(args.end(), c.params.begin(), c.params.end());
        EXPECT_EQ(run(args).output, "") << c.what;
        EXPECT_EQ(readFile(path("out.bin")), c.expected) << c.what;
        EXPECT_EQ(image(), img) << c.what;
    }
}

TEST_F(Raw, ReadOfAPartialLastSectorFillsWithZeros) {
    const Bytes small = randomBytes(700, 13);
    writeFile(path("fd.img"), small);
    EXPECT_EQ(run({"read", "out.bin", "lba=1", "num=2"}).output, "");
    EXPECT_EQ(readFile(path("out.bin")),
              concat(bytesBetween(small, 512, 700), Bytes(324 + kSector, 0)));
    EXPECT_EQ(image(), small);
}

TEST_F(Raw, ReadOntoTheImageItselfIsRefused) {
    std::vector<std::string> targets = {"fd.img", "./fd.img"};
    if (makeSymlinkIfAllowed("fd.img", path("link.img"))) {
        targets.push_back("link.img");
    }
    for (const std::string& target : targets) {
        EXPECT_EQ(run({"read", target, "lba=40"}).output, kCannotOpen) << target;
        EXPECT_EQ(image(), floppy_) << target;
    }
    // The image is still mounted and intact afterwards.
    const ToolResult r = disk_.type("read fd.img\nmkdir SUB\nls\n");
    EXPECT_EQ(r.output, usageOutput() + ">" + kCannotOpen + ">>" + kRootListing + ">");
}

TEST_F(Raw, ReadInBinaryMode) {
    const Bytes noise = randomBytes(4096, 14);
    writeFile(path("fd.img"), noise);
    EXPECT_EQ(run({"read", "out.bin", "lba=3", "num=2"}).output, "");
    EXPECT_EQ(readFile(path("out.bin")), bytesBetween(noise, 3 * kSector, 5 * kSector));
    EXPECT_EQ(image(), noise);
}

}  // namespace
