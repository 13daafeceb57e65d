// The file-system commands driven through the built executable, in command-line and in
// interactive mode. Images are crafted with the independent builder and read back byte by
// byte after each run.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/expected_output.hpp"
#include "support/image_builder.hpp"
#include "support/refused_names.hpp"
#include "support/run_tool.hpp"
#include "support/tool_workspace.hpp"

using namespace testimg;

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

// The output of an interactive session: a prompt before each command's output and one more
// before the end of input.
std::string transcript(const std::vector<std::string>& outputs) {
    std::string out;
    for (const std::string& o : outputs) {
        out += ">" + o;
    }
    return out + ">";
}

// An image of geometry `g` in a scratch directory that also holds the host files of one
// test.
class Disk {
  public:
    explicit Disk(const std::vector<uint8_t>& bytes, const FloppyGeometry& geometry = floppy144())
        : g(geometry) {
        workspace.putImage(bytes);
    }
    std::string image() const { return workspace.image(); }
    std::string host(const std::string& name) const { return workspace.file(name); }
    std::vector<uint8_t> bytes() const { return workspace.imageBytes(); }
    // What one command in command-line mode prints.
    std::string run(const std::vector<std::string>& args) const {
        return workspace.run(args).output;
    }
    // Command lines typed at the prompt; gives what follows the usage text.
    std::string session(const std::vector<std::string>& lines) const {
        return workspace.session(lines);
    }

    FloppyGeometry g;
    ToolWorkspace workspace;
};

// Slot offsets of a directory: the root region for cluster 0, else its whole chain.
std::vector<size_t> slotsOf(const std::vector<uint8_t>& img, const FloppyGeometry& g,
                            uint32_t cluster) {
    std::vector<size_t> slots;
    if (cluster == 0) {
        for (uint32_t i = 0; i < g.rootEntries; ++i) {
            slots.push_back(rootSlotOffset(g, i));
        }
        return slots;
    }
    for (uint32_t c : chainOf(img, g, cluster)) {
        for (uint32_t i = 0; i < g.clusterBytes() / 32; ++i) {
            slots.push_back(clusterSlotOffset(g, c, i));
        }
    }
    return slots;
}

// The in-use entries of a directory as 11-byte fields, in table order.
std::vector<std::string> fieldsOf(const std::vector<uint8_t>& img, const FloppyGeometry& g,
                                  uint32_t cluster) {
    std::vector<std::string> fields;
    for (size_t at : slotsOf(img, g, cluster)) {
        if (img[at] == 0x00) {
            break;
        }
        if (img[at] != 0xE5) {
            fields.push_back(entryName(img, at));
        }
    }
    return fields;
}

size_t findIn(const std::vector<uint8_t>& img, const FloppyGeometry& g, uint32_t cluster,
              const std::string& name) {
    const std::string field = field83(name);
    for (size_t at : slotsOf(img, g, cluster)) {
        if (img[at] == 0x00) {
            break;
        }
        if (img[at] != 0xE5 && entryName(img, at) == field) {
            return at;
        }
    }
    return kNone;
}

std::vector<uint8_t> contentAt(const std::vector<uint8_t>& img, const FloppyGeometry& g,
                               size_t at) {
    return fileBytes(img, g, entryCluster(img, at), entrySize(img, at));
}

// Root: SUB (cluster 2), F.TXT (cluster 3, "0123456789"). SUB: ., .., INNER (cluster 4),
// G.TXT (cluster 5, "abc"). INNER: ., ..
constexpr uint32_t kSub = 2;
constexpr uint32_t kInner = 4;

std::vector<uint8_t> populated(const FloppyGeometry& g = floppy144()) {
    std::vector<uint8_t> img = blankFloppy(g, 0);
    putEntry(img, rootSlotOffset(g, 0), field83("SUB"), 0x10, 2, 0);
    putEntry(img, rootSlotOffset(g, 1), field83("F.TXT"), 0x00, 3, 10);
    putDirectoryCluster(img, g, 2, 0);
    putEntry(img, clusterSlotOffset(g, 2, 2), field83("INNER"), 0x10, 4, 0);
    putEntry(img, clusterSlotOffset(g, 2, 3), field83("G.TXT"), 0x00, 5, 3);
    putDirectoryCluster(img, g, 4, 2);
    const std::string f = "0123456789";
    std::copy(f.begin(), f.end(), img.begin() + long(g.clusterOffset(3)));
    const std::string gtxt = "abc";
    std::copy(gtxt.begin(), gtxt.end(), img.begin() + long(g.clusterOffset(5)));
    for (uint32_t c = 2; c <= 5; ++c) {
        setChain(img, g, {c});
    }
    return img;
}

const std::string kRootListing = listing({"SUB", "F.TXT"});
const std::string kSubListing = listing({".", "..", "INNER", "G.TXT"});
const std::string kInnerListing = listing({".", ".."});

struct Case {
    std::vector<std::string> args;
    std::string expected;
};

// Runs each case on a fresh copy of the image; none of them may change it.
void runCases(const std::vector<uint8_t>& img, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        std::string label;
        for (const std::string& a : c.args) {
            label += a + " ";
        }
        SCOPED_TRACE(label);
        Disk disk(img);
        EXPECT_EQ(disk.run(c.args), c.expected);
        EXPECT_TRUE(disk.bytes() == img) << "the image changed";
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Paths

TEST(Paths, WalksFromRootOrCurrentDirectoryComponentByComponent) {
    const std::string notFound = consoleLine(u8"ディレクトリが見つかりません");
    const std::string cannotGet = consoleLine(u8"ディレクトリが取得できません");
    runCases(populated(),
             {
                 {{"ls", "\\"}, kRootListing},
                 {{"ls", ""}, kRootListing},
                 {{"ls", "\\\\x"}, notFound},  // the empty component behind the root mark
                 {{"ls", "\\\\"}, notFound},
                 {{"ls", "sub\\\\inner"}, notFound},
                 {{"ls", "sub\\"}, kSubListing},
                 {{"ls", "SUB\\Inner\\"}, kInnerListing},
                 {{"ls", "\\sub\\inner"}, kInnerListing},
                 {{"ls", "."}, notFound},  // the root has no dot entries
                 {{"ls", ".."}, notFound},
                 {{"ls", "..."}, notFound},
                 {{"ls", "sub\\."}, kSubListing},
                 {{"ls", "sub\\.."}, kRootListing},
                 {{"ls", "sub\\..."}, kRootListing},
                 {{"ls", "sub\\inner\\..\\..\\sub"}, kSubListing},
                 {{"ls", "nothere"}, notFound},
                 {{"ls", "sub\\nothere\\inner"}, notFound},
                 {{"ls", "f.txt"}, cannotGet},
                 {{"ls", "f.txt\\"}, cannotGet},
                 {{"ls", "sub\\g.txt\\x"}, cannotGet},
                 {{"ls", "sub/inner"}, notFound},  // the slash is an ordinary name byte
             });
}

TEST(Paths, DotComponentsInSubdirectory) {
    Disk disk(populated());
    EXPECT_EQ(disk.session({"cd sub\\inner", "ls .", "ls ..", "ls ...", "ls ..\\..", "cd .", "ls",
                            "cd ...", "ls", "cd ..", "ls"}),
              transcript({"", kInnerListing, kSubListing, kSubListing, kRootListing, "",
                          kInnerListing, "", kSubListing, "", kRootListing}));
}

TEST(Paths, WalkThroughTheCurrentDirectoryReplacesItsObject) {
    // Each walk passes through another object of the current directory, which then takes
    // the old one's place; the listings after it go on from the new object.
    Disk disk(populated());
    EXPECT_EQ(
        disk.session({"ls \\sub\\inner", "ls", "ls sub\\inner\\..\\..\\sub", "ls", "cd sub",
                      "ls ..\\sub\\inner", "ls", "ls \\sub\\.", "ls", "cd \\sub\\inner",
                      "ls \\sub\\inner\\..\\inner", "ls"}),
        transcript({kInnerListing, kRootListing, kSubListing, kRootListing, "", kInnerListing,
                    kSubListing, kSubListing, kSubListing, "", kInnerListing, kInnerListing}));
}

TEST(Paths, ChangesThroughAnotherPathReachTheCurrentDirectory) {
    Disk disk(populated());
    // Each change goes through a second object of the current directory; the next command
    // working on the current directory must see it, or y would take x's slot. d reuses the
    // slot that x freed.
    EXPECT_EQ(disk.session({"cd sub", "touch \\sub\\x", "ls", "touch y", "cp \\f.txt \\sub\\z",
                            "ls", "rm \\sub\\x", "mkdir \\sub\\d", "ls", "rmdir \\sub\\d", "ls"}),
              transcript({"", "", listing({".", "..", "INNER", "G.TXT", "x"}), "", "",
                          listing({".", "..", "INNER", "G.TXT", "x", "y", "z"}), "", "",
                          listing({".", "..", "INNER", "G.TXT", "d", "y", "z"}), "",
                          listing({".", "..", "INNER", "G.TXT", "y", "z"})}));
    const std::vector<uint8_t> img = disk.bytes();
    EXPECT_EQ(fieldsOf(img, disk.g, kSub),
              (std::vector<std::string>{kDotField, kDotDotField, field83("INNER"), field83("G.TXT"),
                                        field83("y"), field83("z")}));
    const size_t z = findIn(img, disk.g, kSub, "z");
    ASSERT_NE(z, kNone);
    const std::string expected = "0123456789";
    EXPECT_EQ(contentAt(img, disk.g, z), std::vector<uint8_t>(expected.begin(), expected.end()));
    EXPECT_EQ(freeClusterCount(img, disk.g), freeClusterCount(populated(), disk.g) - 1);
}

TEST(Paths, FinalNameResolutionMessages) {
    const std::string missing = consoleLine(u8"ディレクトリが存在しません");
    const std::string cannotGet = consoleLine(u8"ディレクトリが取得できません");
    runCases(populated(),
             {
                 {{"touch", "nodir\\x"}, missing},
                 {{"touch", "sub\\nodir\\x"}, missing},
                 {{"touch", "\\\\\\x"}, missing},  // \\ then \x: the empty component is missing
                 {{"touch", "f.txt\\x"}, cannotGet},
                 {{"touch", "sub\\g.txt\\x"}, cannotGet},
                 {{"rm", "nodir\\x"}, missing},
                 {{"rm", "f.txt\\x"}, cannotGet},
                 {{"cp", "nodir\\x", "y"}, missing},
                 {{"cp", "f.txt\\x", "y"}, cannotGet},
                 {{"cp", "f.txt", "nodir\\y"}, missing},
                 {{"cp", "f.txt", "f.txt\\y"}, cannotGet},
                 {{"mv", "f.txt", "nodir\\y"}, missing},
                 {{"mv", "nodir\\f.txt", "y"}, missing},
             });
    // A final name behind a trailing-separator directory part lands where the part leads.
    Disk disk(populated());
    EXPECT_EQ(disk.run({"touch", "sub\\\\x"}), "");
    EXPECT_EQ(disk.run({"touch", "\\\\r"}), "");
    EXPECT_EQ(disk.run({"touch", "\\sub\\inner\\i"}), "");
    const std::vector<uint8_t> img = disk.bytes();
    EXPECT_NE(findIn(img, disk.g, kSub, "x"), kNone);
    EXPECT_NE(findIn(img, disk.g, 0, "r"), kNone);
    EXPECT_NE(findIn(img, disk.g, kInner, "i"), kNone);
}

TEST(Paths, EntriesThatCannotBeOpenedAsDirectories) {
    const FloppyGeometry g = floppy144();
    std::vector<uint8_t> img = blankFloppy(g, 0);
    // The image file ends before CUT's cluster: its storage cannot be read.
    putEntry(img, rootSlotOffset(g, 0), field83("CUT"), 0x10, 400, 0);
    setChain(img, g, {400});
    putEntry(img, rootSlotOffset(g, 1), field83("MYDISK"), 0x08, 0, 0);
    // A first cluster past the data area names no chain: an empty directory.
    putEntry(img, rootSlotOffset(g, 2), field83("FAR"), 0x10, 0xFF0, 0);
    putEntry(img, rootSlotOffset(g, 3), field83("ONE"), 0x10, 1, 0);
    img.resize(200 * 512);
    const std::string cannotGet = consoleLine(u8"ディレクトリが取得できません");
    runCases(img, {
                      {{"ls", "cut"}, cannotGet},
                      {{"cd", "cut"}, cannotGet},
                      {{"mkdir", "cut\\x"}, cannotGet},
                      {{"rmdir", "cut\\x"}, cannotGet},
                      {{"touch", "cut\\x"}, cannotGet},
                      {{"cp", "cut\\x", "y"}, cannotGet},
                      {{"ls", "mydisk"}, cannotGet},
                      {{"rmdir", "mydisk"}, cannotGet},
                      {{"cp", "mydisk", "y"}, consoleLine(u8"ファイルを開けません")},
                      {{"ls", "far"}, ""},
                      {{"ls", "one"}, ""},
                      {{"cd", "far"}, ""},
                      {{"mkdir", "far\\x"}, consoleLine(u8"ディレクトリを作成できません")},
                      {{"touch", "far\\x"}, consoleLine(u8"ファイルを作成できません")},
                      {{"cp", "far\\x", "y"}, consoleLine(u8"コピー元のファイルが見つかりません")},
                      {{"rmdir", "far\\x"}, consoleLine(u8"ディレクトリが見つかりません")},
                  });
}

// ---------------------------------------------------------------------------------------
// ls

TEST(Ls, ColumnsOfThirteenSixToALine) {
    std::vector<uint8_t> img = blankFloppy(floppy144(), 0);
    const FloppyGeometry g = floppy144();
    const char* names[] = {"ABCDEFGH.TXT", "B", "C.D", "EEEEEEEE", "F", "G"};
    for (uint32_t i = 0; i < 6; ++i) {
        putEntry(img, rootSlotOffset(g, i), field83(names[i]), 0x00, 0, 0);
    }
    Disk six(img);
    EXPECT_EQ(six.run({"ls"}),
              "ABCDEFGH.TXT B            C.D          EEEEEEEE     F            G            \n");
    putEntry(img, rootSlotOffset(g, 6), field83("H"), 0x00, 0, 0);
    Disk seven(img);
    EXPECT_EQ(seven.run({"ls"}),
              "ABCDEFGH.TXT B            C.D          EEEEEEEE     F            G            \n"
              "H            \n");
}

TEST(Ls, EmptyRootAndDirectoryOfOnlyDots) {
    Disk disk(blankFloppy());
    EXPECT_EQ(disk.run({"ls"}), "");
    EXPECT_EQ(disk.run({"mkdir", "d"}), "");
    EXPECT_EQ(disk.run({"ls", "d"}), ".            ..           \n");
    Disk crafted(populated());
    EXPECT_EQ(crafted.run({"ls", "sub\\inner"}), ".            ..           \n");
}

TEST(Ls, UsesOnlyTheFirstArgument) {
    Disk disk(populated());
    EXPECT_EQ(disk.run({"ls", "sub", "nothere"}), kSubListing);
    EXPECT_EQ(disk.run({"ls", "nothere", "sub"}), consoleLine(u8"ディレクトリが見つかりません"));
}

TEST(Ls, SlotKindsAndBlankHeadedColumn) {
    const FloppyGeometry g = floppy144();
    std::vector<uint8_t> img = blankFloppy(g, 0);
    putEntry(img, rootSlotOffset(g, 0), field83("MYDISK"), 0x08, 0, 0);
    putEntry(img, rootSlotOffset(g, 1), field83("A"), 0x00, 0, 0);
    putEntry(img, rootSlotOffset(g, 2), " HIDDEN    ", 0x00, 0, 0);
    putEntry(img, rootSlotOffset(g, 3), field83("GONE"), 0x00, 0, 0);
    img[rootSlotOffset(g, 3)] = 0xE5;
    putEntry(img, rootSlotOffset(g, 4), "Alongname  ", 0x0F, 0, 0);
    putEntry(img, rootSlotOffset(g, 5), field83("B"), 0x10, 0, 0);
    putEntry(img, rootSlotOffset(g, 6), field83("Mixed.Txt"), 0x00, 0, 0);
    putEntry(img, rootSlotOffset(g, 7), field83("D"), 0x00, 0, 0);
    putEntry(img, rootSlotOffset(g, 8), field83("E"), 0x00, 0, 0);
    putEntry(img, rootSlotOffset(g, 10), field83("AFTEREND"), 0x00, 0, 0);
    Disk disk(img);
    // The blank-headed slot takes the third column but shows nothing; the freed and
    // long-name slots take none; nothing past the end marker is listed.
    EXPECT_EQ(disk.run({"ls"}),
              "MYDISK       A            B            Mixed.Txt    D            \nE            \n");
}

// ---------------------------------------------------------------------------------------
// cd

TEST(Cd, FailuresKeepTheCurrentDirectory) {
    Disk disk(populated());
    const std::string notFound = consoleLine(u8"ディレクトリが見つかりません");
    const std::string cannotGet = consoleLine(u8"ディレクトリが取得できません");
    EXPECT_EQ(disk.session({"cd f.txt", "ls",       "cd nothere", "ls",       "cd ..",
                            "ls",       "cd sub",   "cd g.txt",   "ls",       "cd nothere",
                            "ls",       "cd \\\\x", "ls",         "cd inner", "ls",
                            "cd \\",    "ls",       "cd \\",      "ls",       "cd sub\\inner\\..",
                            "ls"}),
              transcript({cannotGet,    kRootListing, notFound,    kRootListing, notFound,
                          kRootListing, "",           cannotGet,   kSubListing,  notFound,
                          kSubListing,  notFound,     kSubListing, "",           kInnerListing,
                          "",           kRootListing, "",          kRootListing, "",
                          kSubListing}));
}

// ---------------------------------------------------------------------------------------
// mkdir

TEST(Mkdir, CreatesEveryMissingLevel) {
    const FloppyGeometry g = floppy144();
    const std::vector<uint8_t> fresh = blankFloppy(g);  // data area full of 0xF8
    Disk disk(fresh);
    EXPECT_EQ(disk.run({"mkdir", "a\\b\\c"}), "");
    const std::vector<uint8_t> img = disk.bytes();
    const size_t a = findIn(img, g, 0, "a");
    ASSERT_NE(a, kNone);
    const uint32_t ca = entryCluster(img, a);
    const size_t b = findIn(img, g, ca, "b");
    ASSERT_NE(b, kNone);
    const uint32_t cb = entryCluster(img, b);
    const size_t c = findIn(img, g, cb, "c");
    ASSERT_NE(c, kNone);
    const uint32_t cc = entryCluster(img, c);
    struct Level {
        uint32_t cluster, parent;
        std::vector<std::string> fields;
    };
    for (const Level& level : {Level{ca, 0, {kDotField, kDotDotField, field83("b")}},
                               Level{cb, ca, {kDotField, kDotDotField, field83("c")}},
                               Level{cc, cb, {kDotField, kDotDotField}}}) {
        SCOPED_TRACE(level.cluster);
        EXPECT_EQ(chainOf(img, g, level.cluster).size(), 1u);
        // The new cluster is cleared: the old 0xF8 bytes would read as entries.
        EXPECT_EQ(fieldsOf(img, g, level.cluster), level.fields);
        EXPECT_EQ(entryCluster(img, clusterSlotOffset(g, level.cluster, 0)), level.cluster);
        EXPECT_EQ(entryCluster(img, clusterSlotOffset(g, level.cluster, 1)), level.parent);
        EXPECT_EQ(entryAttribute(img, clusterSlotOffset(g, level.cluster, 1)), 0x10);
    }
    EXPECT_EQ(entryAttribute(img, a), 0x10);
    EXPECT_EQ(entrySize(img, a), 0u);
    EXPECT_EQ(freeClusterCount(img, g), freeClusterCount(fresh, g) - 3);
    const std::string exists = consoleLine(u8"すでに存在する名前です");
    EXPECT_EQ(disk.run({"mkdir", "a\\b\\c"}), exists);
    EXPECT_EQ(disk.run({"mkdir", "A\\B"}), exists);
    EXPECT_EQ(disk.run({"mkdir", "\\"}), exists);
    EXPECT_TRUE(disk.bytes() == img);
}

TEST(Mkdir, EdgeCases) {
    const std::string exists = consoleLine(u8"すでに存在する名前です");
    const std::string cannotCreate = consoleLine(u8"ディレクトリを作成できません");
    const std::string cannotGet = consoleLine(u8"ディレクトリが取得できません");
    // Nothing of these may change the image. The names no entry may take are in
    // RefusedNames below.
    runCases(populated(), {
                              {{"mkdir", "f.txt"}, cannotGet},
                              {{"mkdir", "f.txt\\x"}, cannotGet},
                              {{"mkdir", "sub"}, exists},
                              {{"mkdir", "\\\\x"}, cannotCreate},
                          });

    struct Partial {
        std::string path;
        std::string created;  // the directory that stays, in the root or in SUB
        uint32_t in;
    };
    for (const Partial& p :
         {Partial{"n\\\\b", "n", 0}, Partial{"sub\\new\\.", "new", kSub},
          Partial{"sub\\new\\..", "new", kSub}, Partial{"sub\\new\\...", "new", kSub}}) {
        SCOPED_TRACE(p.path);
        Disk disk(populated());
        EXPECT_EQ(disk.run({"mkdir", p.path}), cannotCreate);
        const std::vector<uint8_t> img = disk.bytes();
        const size_t at = findIn(img, disk.g, p.in, p.created);
        ASSERT_NE(at, kNone);
        EXPECT_EQ(fieldsOf(img, disk.g, entryCluster(img, at)),
                  (std::vector<std::string>{kDotField, kDotDotField}));
        EXPECT_EQ(freeClusterCount(img, disk.g), freeClusterCount(populated(), disk.g) - 1);
    }

    Disk trailing(populated());
    EXPECT_EQ(trailing.run({"mkdir", "a\\"}), "");
    EXPECT_EQ(fieldsOf(trailing.bytes(), trailing.g, 0),
              (std::vector<std::string>{field83("SUB"), field83("F.TXT"), field83("a")}));

    Disk inSub(populated());
    EXPECT_EQ(inSub.session({"cd sub", "mkdir .", "mkdir ..", "mkdir inner\\..\\x", "ls x"}),
              transcript({"", exists, exists, "", kInnerListing}));
}

TEST(Mkdir, FullRootTakesNoCluster) {
    const FloppyGeometry g = floppy144();
    std::vector<uint8_t> img = blankFloppy(g, 0);
    for (uint32_t i = 0; i < g.rootEntries; ++i) {
        putEntry(img, rootSlotOffset(g, i), field83("F" + std::to_string(i)), 0x00, 0, 0);
    }
    Disk disk(img);
    writeFile(disk.host("h"), pattern(10, 1));
    EXPECT_EQ(disk.run({"mkdir", "x"}), consoleLine(u8"ディレクトリを作成できません"));
    EXPECT_EQ(disk.run({"touch", "x"}), consoleLine(u8"ファイルを作成できません"));
    EXPECT_EQ(disk.run({"cp", "'h", "x"}), consoleLine(u8"ファイルを作成できません"));
    EXPECT_TRUE(disk.bytes() == img);
}

TEST(Mkdir, FullSubdirectoryOnAFullDiskStaysAsItWas) {
    const FloppyGeometry g = floppy144();
    std::vector<uint8_t> img = blankFloppy(g, 0);
    putEntry(img, rootSlotOffset(g, 0), field83("D"), 0x10, 2, 0);
    putDirectoryCluster(img, g, 2, 0);
    for (uint32_t i = 2; i < 16; ++i) {
        putEntry(img, clusterSlotOffset(g, 2, i), field83("F" + std::to_string(i)), 0x00, 0, 0);
    }
    // No free cluster is left for the directory to grow into.
    for (uint32_t c = 2; c < g.clusterLimit(); ++c) {
        setFatEntry(img, g, c, 0xFFF);
    }
    Disk disk(img);
    EXPECT_EQ(disk.run({"mkdir", "d\\x"}), consoleLine(u8"ディレクトリを作成できません"));
    EXPECT_EQ(disk.run({"touch", "d\\x"}), consoleLine(u8"ファイルを作成できません"));
    EXPECT_EQ(disk.run({"mv", "d\\f2", "d\\x"}), consoleLine(u8"ファイルを作成できません"));
    EXPECT_TRUE(disk.bytes() == img);
    EXPECT_EQ(disk.run({"mv", "d\\f2", "f2"}), "");  // a root slot needs no cluster
    EXPECT_EQ(disk.run({"touch", "d\\x"}), "");      // the freed slot is taken again
    EXPECT_EQ(entryName(disk.bytes(), clusterSlotOffset(g, 2, 2)), field83("x"));
}

// ---------------------------------------------------------------------------------------
// rmdir

TEST(Rmdir, RemovesTheWholeTreeAndFreesEveryCluster) {
    const FloppyGeometry g = floppy144();
    const std::vector<uint8_t> fresh = blankFloppy(g);
    Disk disk(fresh);
    writeFile(disk.host("h1"), pattern(1300, 1));
    writeFile(disk.host("h2"), pattern(513, 2));
    std::vector<std::string> lines = {"mkdir t\\a\\b",    "cp 'h1 t\\x", "cp 'h2 t\\a\\y",
                                      "touch t\\a\\b\\z", "mkdir t\\c",  "touch keep"};
    // Fifteen files overflow the first cluster of t\c (sixteen slots, two of them dots).
    for (int i = 0; i < 15; ++i) {
        lines.push_back("cp 'h2 t\\c\\f" + std::to_string(i));
    }
    lines.push_back("rmdir t");
    lines.push_back("ls");
    std::vector<std::string> outputs(lines.size(), "");
    outputs.back() = listing({"keep"});
    EXPECT_EQ(disk.session(lines), transcript(outputs));
    const std::vector<uint8_t> img = disk.bytes();
    EXPECT_EQ(img[rootSlotOffset(g, 0)], 0xE5);
    EXPECT_EQ(fieldsOf(img, g, 0), std::vector<std::string>{field83("keep")});
    EXPECT_EQ(freeClusterCount(img, g), freeClusterCount(fresh, g));
}

TEST(Rmdir, RefusesCurrentRootAndEmptyNames) {
    const std::vector<uint8_t> img = populated();
    Disk disk(img);
    const std::string current = consoleLine(u8"カレントディレクトリです。");
    const std::string root = consoleLine(u8"ルートディレクトリです");
    const std::string failed = consoleLine(u8"ディレクトリの削除に失敗しました");
    EXPECT_EQ(
        disk.session({"cd sub", "rmdir .", "rmdir \\sub", "rmdir ..\\SUB", "rmdir \\", "rmdir ..",
                      "rmdir ...", "cd \\", "rmdir \\", "rmdir sub\\", "rmdir sub\\inner\\..",
                      "rmdir f.txt", "rmdir nothere", "rmdir sub\\\\inner", "ls"}),
        transcript({"", current, current, current, root, root, root, "", current, failed, failed,
                    consoleLine(u8"ディレクトリが取得できません"),
                    consoleLine(u8"ディレクトリが見つかりません"),
                    consoleLine(u8"ディレクトリが見つかりません"), kRootListing}));
    EXPECT_TRUE(disk.bytes() == img);
}

TEST(Rmdir, RefusesAncestorsOfTheCurrentDirectory) {
    const FloppyGeometry g = floppy144();
    const std::vector<uint8_t> fresh = blankFloppy(g);
    Disk disk(fresh);
    EXPECT_EQ(disk.run({"mkdir", "a\\b\\c"}), "");
    EXPECT_EQ(disk.run({"mkdir", "a\\sib"}), "");
    const std::vector<uint8_t> before = disk.bytes();
    const std::string current = consoleLine(u8"カレントディレクトリです。");
    EXPECT_EQ(disk.session({"cd a\\b", "rmdir ..", "rmdir ...", "rmdir \\a", "cd c", "rmdir \\a\\b",
                            "rmdir ..\\..", "rmdir \\a", "ls \\a"}),
              transcript({"", current, current, current, "", current, current, current,
                          listing({".", "..", "b", "sib"})}));
    EXPECT_TRUE(disk.bytes() == before);
    // A sibling of an ancestor is no ancestor.
    EXPECT_EQ(disk.session({"cd a\\b\\c", "rmdir \\a\\sib", "ls \\a", "cd \\", "rmdir a", "ls"}),
              transcript({"", "", listing({".", "..", "b"}), "", "", ""}));
    EXPECT_EQ(freeClusterCount(disk.bytes(), g), freeClusterCount(fresh, g));
}

TEST(Rmdir, LoopOfParentEntriesEndsTheAncestorWalk) {
    const FloppyGeometry g = floppy144();
    std::vector<uint8_t> img = blankFloppy(g, 0);
    // A's ".." leads to B and B's back to A: a damaged image must not make rmdir spin.
    putEntry(img, rootSlotOffset(g, 0), field83("A"), 0x10, 2, 0);
    putEntry(img, rootSlotOffset(g, 1), field83("X"), 0x10, 4, 0);
    putDirectoryCluster(img, g, 2, 3);
    putDirectoryCluster(img, g, 3, 2);
    putDirectoryCluster(img, g, 4, 0);
    for (uint32_t c = 2; c <= 4; ++c) {
        setChain(img, g, {c});
    }
    Disk disk(img);
    EXPECT_EQ(disk.session({"cd a", "rmdir \\x", "ls \\"}), transcript({"", "", listing({"A"})}));
    EXPECT_EQ(fatEntry(disk.bytes(), g, 4), 0u);
}

TEST(Rmdir, SubdirectoryOfCurrentIsGoneFromTheListing) {
    Disk disk(populated());
    EXPECT_EQ(disk.session({"rmdir sub", "ls", "mkdir sub", "ls sub"}),
              transcript({"", listing({"F.TXT"}), "", kInnerListing}));
    const std::vector<uint8_t> img = disk.bytes();
    EXPECT_EQ(fatEntry(img, disk.g, 4), 0u);
    EXPECT_EQ(fatEntry(img, disk.g, 5), 0u);
}

// ---------------------------------------------------------------------------------------
// touch, rm, mv

TEST(Touch, CreatesEmptyEntries) {
    Disk disk(populated());
    EXPECT_EQ(disk.run({"touch", "a.txt"}), "");
    const std::vector<uint8_t> img = disk.bytes();
    const size_t at = rootSlotOffset(disk.g, 2);
    EXPECT_EQ(entryName(img, at), "a       txt");
    EXPECT_EQ(entryAttribute(img, at), 0x00);
    EXPECT_EQ(entryCluster(img, at), 0u);
    EXPECT_EQ(entrySize(img, at), 0u);
    for (size_t dateAt : {16u, 18u, 24u}) {
        EXPECT_EQ(img[at + dateAt], 0x41);
        EXPECT_EQ(img[at + dateAt + 1], 0x00);
    }
    EXPECT_EQ(img[at + 14] | img[at + 15] | img[at + 22] | img[at + 23], 0);
    EXPECT_EQ(freeClusterCount(img, disk.g), freeClusterCount(populated(), disk.g));
    EXPECT_EQ(disk.run({"ls"}), listing({"SUB", "F.TXT", "a.txt"}));
}

TEST(Touch, ExistingNamesAreRefused) {
    const std::string exists = consoleLine(u8"すでに存在する名前です");
    runCases(populated(), {
                              {{"touch", "f.txt"}, exists},
                              {{"touch", "F.TxT"}, exists},
                              {{"touch", "sub"}, exists},
                              {{"touch", "sub\\INNER"}, exists},
                              {{"touch", "sub\\g.txt"}, exists},
                          });
}

TEST(Touch, LeadByteE5IsStoredEscaped) {
    const std::string name = "\xE5\x41.txt";  // a double-byte character that opens with 0xE5
    Disk disk(blankFloppy());
    EXPECT_EQ(disk.session({"touch " + name, "ls", "touch " + name, "rm " + name, "ls"}),
              transcript({"", listing({name}), consoleLine(u8"すでに存在する名前です"), "", ""}));
    const std::vector<uint8_t> img = disk.bytes();
    EXPECT_EQ(img[rootSlotOffset(disk.g, 0)], 0xE5);  // removed
    EXPECT_EQ(entryName(img, rootSlotOffset(disk.g, 0)).substr(1), "A      txt");
}

TEST(Touch, LongNamesAreCut) {
    Disk disk(blankFloppy());
    EXPECT_EQ(disk.session({"touch verylongname.text", "ls", "touch verylongXYZ.tex",
                            "touch readme.txt.bak", "ls"}),
              transcript({"", listing({"verylong.tex"}), consoleLine(u8"すでに存在する名前です"),
                          "", listing({"verylong.tex", "readme.t.bak"})}));
    EXPECT_EQ(entryName(disk.bytes(), rootSlotOffset(disk.g, 0)), "verylongtex");
}

TEST(Touch, SubdirectoryGrowsByAClearedCluster) {
    const FloppyGeometry g = floppy144();
    Disk disk(blankFloppy(g));  // 0xF8 in every unused data byte
    std::vector<std::string> lines = {"mkdir d"};
    std::vector<std::string> names = {".", ".."};
    for (int i = 0; i < 15; ++i) {
        lines.push_back("touch d\\n" + std::to_string(i));
        names.push_back("n" + std::to_string(i));
    }
    lines.push_back("ls d");
    std::vector<std::string> outputs(lines.size(), "");
    outputs.back() = listing(names);
    EXPECT_EQ(disk.session(lines), transcript(outputs));
    const std::vector<uint8_t> img = disk.bytes();
    const uint32_t d = entryCluster(img, rootSlotOffset(g, 0));
    const std::vector<uint32_t> chain = chainOf(img, g, d);
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_EQ(entryName(img, clusterSlotOffset(g, chain[1], 0)), field83("n14"));
    for (uint32_t i = 1; i < 16; ++i) {
        EXPECT_EQ(img[clusterSlotOffset(g, chain[1], i)], 0x00) << i;
    }
    EXPECT_EQ(fieldsOf(img, g, d).size(), 17u);
}

TEST(Rm, Messages) {
    std::vector<uint8_t> img = populated();
    putEntry(img, rootSlotOffset(floppy144(), 2), field83("MYDISK"), 0x08, 0, 0);
    const std::string isDir = consoleLine(u8"ディレクトリです");
    const std::string noName = consoleLine(u8"存在しない名前です");
    runCases(img, {
                      {{"rm", "sub"}, isDir},
                      {{"rm", "sub\\inner"}, isDir},
                      {{"rm", "sub\\.."}, isDir},  // finds the "." entry
                      {{"rm", ".."}, noName},      // the root has none
                      {{"rm", "nothere"}, noName},
                      {{"rm", "sub\\"}, noName},
                      {{"rm", ""}, noName},
                      {{"rm", "mydisk"}, consoleLine(u8"ファイルではありません")},
                  });
    Disk disk(populated());
    EXPECT_EQ(disk.session({"cd sub", "rm ..", "rm ...", "rm g.txt", "rm \\f.txt", "ls \\"}),
              transcript({"", isDir, isDir, "", "", listing({"SUB"})}));
    const std::vector<uint8_t> after = disk.bytes();
    EXPECT_EQ(after[rootSlotOffset(disk.g, 1)], 0xE5);
    EXPECT_EQ(after[clusterSlotOffset(disk.g, kSub, 3)], 0xE5);
    EXPECT_EQ(fatEntry(after, disk.g, 3), 0u);
    EXPECT_EQ(fatEntry(after, disk.g, 5), 0u);
    EXPECT_EQ(freeClusterCount(after, disk.g), freeClusterCount(populated(), disk.g) + 2);
}

TEST(Mv, RenamesAndMovesInsideTheImage) {
    const std::vector<uint8_t> fresh = populated();
    const std::string ten = "0123456789";
    const std::vector<uint8_t> tenBytes(ten.begin(), ten.end());
    struct Move {
        std::string destination;
        uint32_t in;
        std::string name;
    };
    for (const Move& m :
         {Move{"b.txt", 0, "b.txt"}, Move{"sub\\inner\\moved.txt", kInner, "moved.txt"},
          Move{"\\sub\\F.TXT", kSub, "F.TXT"}}) {
        SCOPED_TRACE(m.destination);
        Disk disk(fresh);
        EXPECT_EQ(disk.run({"mv", "f.txt", m.destination}), "");
        const std::vector<uint8_t> img = disk.bytes();
        EXPECT_EQ(findIn(img, disk.g, 0, "F.TXT"), kNone);
        const size_t at = findIn(img, disk.g, m.in, m.name);
        ASSERT_NE(at, kNone);
        EXPECT_EQ(contentAt(img, disk.g, at), tenBytes);
        EXPECT_EQ(fatEntry(img, disk.g, 3), 0u);  // the source's cluster
        EXPECT_EQ(freeClusterCount(img, disk.g), freeClusterCount(fresh, disk.g));
    }
}

TEST(Mv, RefusalsKeepTheSource) {
    const std::string exists = consoleLine(u8"コピー先のファイルは既に存在します");
    runCases(populated(),
             {
                 {{"mv", "f.txt", "sub"}, exists},
                 {{"mv", "f.txt", "F.TXT"}, exists},
                 {{"mv", "f.txt", "sub\\G.TXT"}, exists},
                 {{"mv", "sub", "x"}, consoleLine(u8"ファイルを開けません")},
                 {{"mv", "nothere", "x"}, consoleLine(u8"コピー元のファイルが見つかりません")},
                 {{"mv", "f.txt", ".abc"}, consoleLine(u8"ファイルを作成できません")},
                 {{"mv", "f.txt", "sub\\"}, consoleLine(u8"ファイルを作成できません")},
                 {{"mv", "f.txt", "'"}, consoleLine(u8"コピー先のファイルを開けません")},
                 {{"mv", "f.txt", "'fd.img"}, consoleLine(u8"コピー先のファイルを開けません")},
             });
}

TEST(Mv, HostSidesAndAFailedHostWrite) {
    Disk disk(populated());
    const std::vector<uint8_t> data = pattern(700, 7);
    writeFile(disk.host("in.bin"), data);
    EXPECT_EQ(disk.run({"mv", "'in.bin", "x.bin"}), "");
    EXPECT_EQ(readFile(disk.host("in.bin")), data);  // a host source is never removed
    EXPECT_EQ(disk.run({"mv", "x.bin", "'out.bin"}), "");
    EXPECT_EQ(readFile(disk.host("out.bin")), data);
    EXPECT_EQ(findIn(disk.bytes(), disk.g, 0, "x.bin"), kNone);

    // Writing to the full device fails only when the data is flushed.
    if (!std::filesystem::is_character_file("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    const std::vector<uint8_t> before = disk.bytes();
    EXPECT_EQ(disk.run({"mv", "f.txt", "'/dev/full"}), consoleLine(u8"書き込みに失敗しました"));
    EXPECT_TRUE(disk.bytes() == before);
    EXPECT_EQ(disk.run({"ls"}), kRootListing);
}

// ---------------------------------------------------------------------------------------
// cp

TEST(Cp, WholeFilesByteForByteInEveryDirection) {
    struct Size {
        FloppyGeometry g;
        uint32_t size;
    };
    std::vector<Size> sizes;
    for (uint32_t s : {0u, 1u, 511u, 512u, 513u, 100000u}) {
        sizes.push_back({floppy144(), s});
    }
    for (uint32_t s : {1023u, 1024u, 1025u, 100000u}) {
        sizes.push_back({floppy720(), s});
    }
    for (uint32_t s : {1024u, 1025u, 100000u}) {
        sizes.push_back({floppy1232(), s});
    }
    for (const Size& s : sizes) {
        SCOPED_TRACE(std::to_string(s.g.bytesPerSector * s.g.sectorsPerCluster) +
                     " byte clusters, " + std::to_string(s.size) + " bytes");
        const std::vector<uint8_t> fresh = blankFloppy(s.g);
        Disk disk(fresh, s.g);
        const std::vector<uint8_t> data = pattern(s.size, s.size);
        writeFile(disk.host("h.bin"), data);
        EXPECT_EQ(disk.run({"cp", "'h.bin", "f.bin"}), "");
        EXPECT_EQ(disk.run({"cp", "f.bin", "'out.bin"}), "");
        EXPECT_EQ(disk.run({"cp", "f.bin", "g.bin"}), "");
        EXPECT_EQ(disk.run({"cp", "'h.bin", "'h2.bin"}), "");
        EXPECT_EQ(readFile(disk.host("out.bin")), data);
        EXPECT_EQ(readFile(disk.host("h2.bin")), data);
        const std::vector<uint8_t> img = disk.bytes();
        const size_t f = rootSlotOffset(s.g, 0);
        const size_t copy = rootSlotOffset(s.g, 1);
        EXPECT_EQ(entryName(img, copy), field83("g.bin"));
        for (size_t at : {f, copy}) {
            EXPECT_EQ(entrySize(img, at), s.size);
            EXPECT_EQ(chainOf(img, s.g, entryCluster(img, at)).size(), s.g.clustersFor(s.size));
            EXPECT_EQ(contentAt(img, s.g, at), data);
        }
        if (s.size == 0) {
            EXPECT_EQ(entryCluster(img, f), 0u);
            EXPECT_EQ(entryCluster(img, copy), 0u);
        } else {
            EXPECT_NE(entryCluster(img, f), entryCluster(img, copy));
        }
        EXPECT_EQ(freeClusterCount(img, s.g),
                  freeClusterCount(fresh, s.g) - 2 * s.g.clustersFor(s.size));
    }
}

TEST(Cp, FreeSpaceIsTheLimit) {
    const FloppyGeometry g = floppy144();
    const std::vector<uint8_t> fresh = blankFloppy(g);
    const uint32_t freeClusters = freeClusterCount(fresh, g);
    Disk disk(fresh);
    writeFile(disk.host("big"), pattern(freeClusters * 512 + 1, 3));
    EXPECT_EQ(disk.run({"cp", "'big", "big"}), consoleLine(u8"ファイルを作成できません"));
    EXPECT_TRUE(disk.bytes() == fresh);
    const std::vector<uint8_t> exact = pattern(freeClusters * 512, 4);
    writeFile(disk.host("exact"), exact);
    EXPECT_EQ(disk.run({"cp", "'exact", "exact"}), "");
    const std::vector<uint8_t> img = disk.bytes();
    EXPECT_EQ(freeClusterCount(img, g), 0u);
    EXPECT_EQ(contentAt(img, g, rootSlotOffset(g, 0)), exact);
    EXPECT_EQ(disk.run({"cp", "'big", "x"}), consoleLine(u8"ファイルを作成できません"));
    EXPECT_EQ(disk.run({"touch", "empty"}), "");  // no cluster needed
}

TEST(Cp, OverwritePolicy) {
    Disk disk(populated());
    writeFile(disk.host("out"), pattern(50, 5));
    EXPECT_EQ(disk.run({"cp", "f.txt", "'out"}), "");
    EXPECT_EQ(disk.run({"cp", "f.txt", "'out"}), "");
    const std::string ten = "0123456789";
    EXPECT_EQ(readFile(disk.host("out")), std::vector<uint8_t>(ten.begin(), ten.end()));

    writeFile(disk.host("h"), pattern(600, 6));
    EXPECT_EQ(disk.run({"cp", "'h", "n.bin"}), "");
    const std::vector<uint8_t> once = disk.bytes();
    writeFile(disk.host("h"), pattern(10, 9));
    const std::string exists = consoleLine(u8"コピー先のファイルは既に存在します");
    EXPECT_EQ(disk.run({"cp", "'h", "n.bin"}), exists);
    EXPECT_EQ(disk.run({"cp", "f.txt", "f.txt"}), exists);
    EXPECT_EQ(disk.run({"cp", "f.txt", "sub"}), exists);
    EXPECT_EQ(disk.run({"cp", "f.txt", "SUB\\G.TXT"}), exists);
    EXPECT_TRUE(disk.bytes() == once);
    EXPECT_EQ(contentAt(once, disk.g, rootSlotOffset(disk.g, 2)), pattern(600, 6));
}

TEST(Cp, IntoSubdirectories) {
    Disk disk(populated());
    const std::vector<uint8_t> data = pattern(2000, 8);
    writeFile(disk.host("h"), data);
    EXPECT_EQ(disk.run({"cp", "'h", "sub\\x"}), "");
    EXPECT_EQ(disk.run({"cp", "sub\\x", "\\sub\\inner\\y"}), "");
    EXPECT_EQ(disk.run({"cp", "sub\\inner\\y", "'back"}), "");
    EXPECT_EQ(disk.run({"cp", "'h", "sub\\inner\\"}), consoleLine(u8"ファイルを作成できません"));
    EXPECT_EQ(readFile(disk.host("back")), data);
    const std::vector<uint8_t> img = disk.bytes();
    const size_t x = findIn(img, disk.g, kSub, "x");
    const size_t y = findIn(img, disk.g, kInner, "y");
    ASSERT_NE(x, kNone);
    ASSERT_NE(y, kNone);
    EXPECT_EQ(contentAt(img, disk.g, x), data);
    EXPECT_EQ(contentAt(img, disk.g, y), data);
    EXPECT_EQ(fieldsOf(img, disk.g, kInner).size(), 3u);
}

TEST(Cp, HostSideFailures) {
    const std::string noSource = consoleLine(u8"コピー元のファイルが見つかりません");
    const std::string noDestination = consoleLine(u8"コピー先のファイルを開けません");
    Disk disk(populated());
    const bool haveSymlink = makeSymlinkIfAllowed(disk.image(), disk.host("symlink.img"));
    std::filesystem::create_hard_link(disk.image(), disk.host("hardlink.img"));
    const std::vector<uint8_t> img = disk.bytes();
    struct HostCase {
        std::string source, destination, expected;
    };
    // The image itself as destination would be emptied by opening it for writing.
    for (const HostCase& c : {
             HostCase{"f.txt", "'fd.img", noDestination},
             HostCase{"f.txt", "'./fd.img", noDestination},
             HostCase{"f.txt", "'symlink.img", noDestination},
             HostCase{"f.txt", "'hardlink.img", noDestination},
             HostCase{"f.txt", "'" + disk.image(), noDestination},
             HostCase{"f.txt", "'", noDestination},
             HostCase{"f.txt", "'nodir/x", noDestination},
             HostCase{"f.txt", "'.", noDestination},
             HostCase{"'", "x", noSource},
             HostCase{"'.", "x", noSource},
             HostCase{"'" + disk.workspace.path(), "x", noSource},
             HostCase{"'nothere", "x", noSource},
             HostCase{"'nothere", "'y", noSource},
             HostCase{"nothere", "x", noSource},
             HostCase{"nothere", "'y", noSource},
             HostCase{"sub", "x", consoleLine(u8"ファイルを開けません")},
             HostCase{"sub", "'y", consoleLine(u8"ファイルを開けません")},
         }) {
        if (c.destination == "'symlink.img" && !haveSymlink) {
            continue;
        }
        SCOPED_TRACE(c.source + " " + c.destination);
        EXPECT_EQ(disk.run({"cp", c.source, c.destination}), c.expected);
        EXPECT_TRUE(disk.bytes() == img);
    }
    EXPECT_FALSE(std::ifstream(disk.host("y")).good());
}

TEST(Cp, HostReadOfTheImageSeesEarlierChanges) {
    Disk disk(blankFloppy());
    EXPECT_EQ(disk.session({"touch seen", "cp 'fd.img 'snapshot.img"}), transcript({"", ""}));
    const std::vector<uint8_t> snapshot = readFile(disk.host("snapshot.img"));
    EXPECT_TRUE(snapshot == disk.bytes());
    EXPECT_EQ(entryName(snapshot, rootSlotOffset(disk.g, 0)), field83("seen"));
}

TEST(Cp, HostSourceOfFourGibibytesIsRefused) {
    Disk disk(populated());
    const std::string huge = disk.host("huge");
    writeFile(huge, std::vector<uint8_t>{});
    std::error_code error;
    std::filesystem::resize_file(huge, uint64_t(1) << 32, error);  // sparse: nothing is written
    if (error) {
        GTEST_SKIP() << "no sparse file of 4 GiB here: " << error.message();
    }
    EXPECT_EQ(disk.run({"cp", "'huge", "x"}), consoleLine(u8"メモリが確保できません"));
    EXPECT_EQ(disk.run({"cp", "'huge", "'copy"}), consoleLine(u8"メモリが確保できません"));
    EXPECT_TRUE(disk.bytes() == populated());
    EXPECT_FALSE(std::ifstream(disk.host("copy")).good());
}

// An image cut short inside its data area: a copy into it makes the file longer, and the
// part of its last sector past the file's end holds zeros where the image had nothing.
TEST(Cp, IntoAnImageCutShortExtendsIt) {
    const FloppyGeometry g = floppy144();
    std::vector<uint8_t> img = blankFloppy(g);
    img.resize(g.clusterOffset(2));
    for (const size_t size : {size_t(1), size_t(512), size_t(700)}) {
        SCOPED_TRACE(size);
        Disk disk(img);
        const std::vector<uint8_t> data = pattern(size, uint32_t(size));
        writeFile(disk.host("in.bin"), data);
        EXPECT_EQ(disk.run({"cp", "'in.bin", "IN.BIN"}), "");
        const std::vector<uint8_t> after = disk.bytes();
        ASSERT_EQ(after.size(), g.clusterOffset(2) + (size + 511) / 512 * 512);
        EXPECT_EQ(fileBytes(after, g, entryCluster(after, rootSlotOffset(g, 0)), uint32_t(size)),
                  data);
        EXPECT_TRUE(std::all_of(after.begin() + long(g.clusterOffset(2) + size), after.end(),
                                [](uint8_t b) { return b == 0; }));
    }
}

TEST(Cp, RecordedSizeBeyondTheChainIsAReadFailure) {
    const FloppyGeometry g = floppy144();
    std::vector<uint8_t> img = blankFloppy(g, 0);
    putEntry(img, rootSlotOffset(g, 0), field83("BIG.BIN"), 0x00, 2, 3000);
    putEntry(img, rootSlotOffset(g, 1), field83("EDGE.BIN"), 0x00, 3, 513);
    putEntry(img, rootSlotOffset(g, 2), field83("HUGE.BIN"), 0x00, 4, 0xFFFFFFFF);
    for (uint32_t c = 2; c <= 4; ++c) {
        setChain(img, g, {c});
    }
    const std::string failed = consoleLine(u8"読み込みに失敗しました");
    for (const std::string name : {"big.bin", "edge.bin", "huge.bin"}) {
        SCOPED_TRACE(name);
        Disk disk(img);
        EXPECT_EQ(disk.run({"cp", name, "'out"}), failed);
        EXPECT_EQ(disk.run({"cp", name, "copy"}), failed);
        EXPECT_EQ(disk.run({"mv", name, "'out"}), failed);
        EXPECT_EQ(disk.run({"mv", name, "moved"}), failed);
        EXPECT_FALSE(std::ifstream(disk.host("out")).good());
        EXPECT_TRUE(disk.bytes() == img);
    }
}

// ---------------------------------------------------------------------------------------
// Names no new entry may take: every command that creates one refuses them before any slot
// or cluster is taken.

TEST(RefusedNames, EveryCreatingCommandSaysWhyAndChangesNothing) {
    Disk disk(populated());
    writeFile(disk.host("h"), pattern(100, 1));
    const std::vector<uint8_t> img = disk.bytes();
    for (const RefusedName& row : refusedNames()) {
        SCOPED_TRACE(std::string("name '") + row.name + "'");
        EXPECT_EQ(disk.run({"mkdir", row.name}), consoleLine(row.mkdir));
        EXPECT_TRUE(disk.bytes() == img) << "mkdir changed the image";
        EXPECT_EQ(disk.run({"touch", row.name}), consoleLine(row.touch));
        EXPECT_TRUE(disk.bytes() == img) << "touch changed the image";
        EXPECT_EQ(disk.run({"cp", "'h", row.name}), consoleLine(row.cp));
        EXPECT_EQ(disk.run({"cp", "f.txt", row.name}), consoleLine(row.cp));
        EXPECT_TRUE(disk.bytes() == img) << "cp changed the image";
    }
}

// ---------------------------------------------------------------------------------------
// The mode gate and argument counts

TEST(Gate, FileSystemCommandsAreRefusedInBinaryMode) {
    const std::vector<uint8_t> zeros(kFloppyBytes, 0);
    const std::string refused = consoleLine(u8"バイナリモードでは実行できないコマンドです。");
    Disk disk(zeros);
    writeFile(disk.host("h"), std::string("host"));
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"ls"},
             {"ls", "x"},
             {"cd"},
             {"cd", "x"},
             {"mkdir", "x"},
             {"rmdir", "x"},
             {"touch", "x"},
             {"rm", "x"},
             {"mv", "'h", "x"},
             {"cp", "'h", "x"},
             {"cp", "'h", "'h2"},
             {"frobnicate"},
         }) {
        SCOPED_TRACE(args[0]);
        EXPECT_EQ(disk.run(args), refused);
    }
    EXPECT_EQ(disk.session({"ls", "mkdir a"}),
              consoleLine(u8"FATを読み込めません。バイナリモードです。") +
                  transcript({refused, refused}));
    EXPECT_TRUE(disk.bytes() == zeros);
    EXPECT_FALSE(std::ifstream(disk.host("h2")).good());
}

TEST(Gate, MissingArgumentsAreSaidAndChangeNothing) {
    const std::string tooFew = consoleLine(u8"引数が足りません");
    runCases(populated(), {
                              {{"cd"}, tooFew},
                              {{"mkdir"}, tooFew},
                              {{"rmdir"}, tooFew},
                              {{"touch"}, tooFew},
                              {{"rm"}, tooFew},
                              {{"mv", "f.txt"}, tooFew},
                              {{"cp", "f.txt"}, tooFew},
                              {{"LS"}, consoleLine(u8"無効なコマンドです。")},
                          });
}

// ---------------------------------------------------------------------------------------
// Japanese names whose second byte is 0x5C: part of the name, never a separator, as
// Japanese DOS has it. fsck.fat calls every such name a bad short name (it reads the 0x5C
// as a backslash), so its other findings count and the names are checked by their bytes;
// mtools reads them in code page 932.

namespace {

struct ShiftJisName {
    const char* utf8;
    std::string field;  // the 11 bytes stored
};

const std::vector<ShiftJisName>& shiftJisNames() {
    static const std::vector<ShiftJisName> names = {
        {u8"ソフト", std::string("\x83\\\x83t\x83g     ", 11)},
        {u8"表示.TXT", std::string("\x95\\\x8E\xA6    TXT", 11)},
        {u8"能力", std::string("\x94\\\x97\xCD       ", 11)},
        {u8"予定.DAT", std::string("\x97\\\x92\xE8    DAT", 11)},
        // 0xE5 0x5C: its lead byte is stored as 0x05.
        {u8"藹.BIN", std::string("\x05\\      BIN", 11)},
    };
    return names;
}

// fsck.fat's findings but the names it cannot read.
std::string fsckFindingsBeyondShiftJisNames(const std::string& image) {
    std::istringstream lines(fsckFindings(image));
    std::string findings;
    for (std::string line; std::getline(lines, line);) {
        const bool aboutAName = line.rfind("/", 0) == 0 || line == "  Auto-renaming it." ||
                                line.rfind("  Bad short file name (", 0) == 0 ||
                                line.rfind("  Renamed to FSCK", 0) == 0;
        if (!aboutAName) {
            findings += line + "\n";
        }
    }
    return findings;
}

bool havePeers() {
    return haveProgram("fsck.fat") && haveProgram("mtype") && haveProgram("mdir");
}

}  // namespace

TEST(ShiftJisNames, CreatedListedWalkedCopiedMovedAndRemoved) {
    const std::vector<uint8_t> content = pattern(1500, 7);
    for (const ShiftJisName& row : shiftJisNames()) {
        SCOPED_TRACE(row.utf8);
        const std::string name = sjis(row.utf8);
        const std::string twoLevels = name + "\\" + name;
        const std::string file = twoLevels + "\\" + name;
        Disk disk(blankFloppy());
        writeFile(disk.host("h"), content);
        EXPECT_EQ(disk.run({"mkdir", twoLevels}), "");
        EXPECT_EQ(disk.run({"cp", "'h", file}), "");
        EXPECT_EQ(disk.run({"ls"}), listing({name}));
        EXPECT_EQ(disk.run({"ls", twoLevels}), listing({".", "..", name}));
        EXPECT_EQ(disk.session({"cd " + twoLevels, "ls", "cd ..", "ls"}),
                  transcript({"", listing({".", "..", name}), "", listing({".", "..", name})}));
        EXPECT_EQ(disk.run({"cp", file, "'out"}), "");
        EXPECT_EQ(readFile(disk.host("out")), content);

        std::vector<uint8_t> img = disk.bytes();
        const size_t top = rootSlotOffset(disk.g, 0);
        EXPECT_EQ(entryName(img, top), row.field);
        const uint32_t middle =
            entryCluster(img, clusterSlotOffset(disk.g, entryCluster(img, top), 2));
        EXPECT_EQ(fieldsOf(img, disk.g, entryCluster(img, top)),
                  (std::vector<std::string>{kDotField, kDotDotField, row.field}));
        EXPECT_EQ(fieldsOf(img, disk.g, middle),
                  (std::vector<std::string>{kDotField, kDotDotField, row.field}));
        if (havePeers()) {
            EXPECT_EQ(fsckFindingsBeyondShiftJisNames(disk.image()), "");
            const std::string utf8Path = std::string(row.utf8) + "/" + row.utf8 + "/" + row.utf8;
            const ToolResult typed = runMtoolsShiftJis("mtype -i " + shellQuote(disk.image()) +
                                                       " " + shellQuote("::" + utf8Path));
            EXPECT_EQ(typed.output, std::string(content.begin(), content.end()));
        }

        // Renamed out of the deep directory and back under its own name.
        EXPECT_EQ(disk.run({"mv", file, name + "\\MOVED.BIN"}), "");
        EXPECT_EQ(disk.run({"ls", name}), listing({".", "..", name, "MOVED.BIN"}));
        EXPECT_EQ(disk.run({"mv", name + "\\MOVED.BIN", file}), "");
        EXPECT_EQ(disk.run({"cp", file, "'back"}), "");
        EXPECT_EQ(readFile(disk.host("back")), content);

        EXPECT_EQ(disk.run({"rm", file}), "");
        EXPECT_EQ(disk.run({"ls", twoLevels}), listing({".", ".."}));
        EXPECT_EQ(disk.run({"rmdir", name}), "");
        EXPECT_EQ(disk.run({"ls"}), "");
        img = disk.bytes();
        EXPECT_EQ(freeClusterCount(img, disk.g), freeClusterCount(blankFloppy(), disk.g));
    }
}

// An image that Japanese DOS wrote: ソフト\能力\予定.DAT, 表示.TXT and 藹.BIN in the root.
TEST(ShiftJisNames, ReachedOnAnImageThatAlreadyHoldsThem) {
    const std::vector<ShiftJisName>& names = shiftJisNames();
    const std::string soft = sjis(names[0].utf8);
    const std::string hyoji = sjis(names[1].utf8);
    const std::string noryoku = sjis(names[2].utf8);
    const std::string yotei = sjis(names[3].utf8);
    const std::string ai = sjis(names[4].utf8);
    const FloppyGeometry g = floppy144();
    std::vector<uint8_t> img = blankFloppy(g, 0);
    putEntry(img, rootSlotOffset(g, 0), names[0].field, 0x10, 2, 0);
    putEntry(img, rootSlotOffset(g, 1), names[1].field, 0x20, 5, 300);
    putEntry(img, rootSlotOffset(g, 2), names[4].field, 0x20, 6, 20);
    putDirectoryCluster(img, g, 2, 0);
    putEntry(img, clusterSlotOffset(g, 2, 2), names[2].field, 0x10, 3, 0);
    putDirectoryCluster(img, g, 3, 2);
    putEntry(img, clusterSlotOffset(g, 3, 2), names[3].field, 0x20, 4, 100);
    const std::vector<uint8_t> a = pattern(100, 1);
    const std::vector<uint8_t> b = pattern(300, 2);
    const std::vector<uint8_t> c = pattern(20, 3);
    std::copy(a.begin(), a.end(), img.begin() + long(g.clusterOffset(4)));
    std::copy(b.begin(), b.end(), img.begin() + long(g.clusterOffset(5)));
    std::copy(c.begin(), c.end(), img.begin() + long(g.clusterOffset(6)));
    for (uint32_t cluster = 2; cluster <= 6; ++cluster) {
        setChain(img, g, {cluster});
    }
    Disk disk(img);
    const std::string deep = soft + "\\" + noryoku;
    EXPECT_EQ(disk.run({"ls"}), listing({soft, hyoji, ai}));
    EXPECT_EQ(disk.run({"ls", deep}), listing({".", "..", yotei}));
    EXPECT_EQ(disk.session({"cp " + deep + "\\" + yotei + " 'a", "cp " + hyoji + " 'b",
                            "cp " + ai + " 'c", "cd " + deep, "cp \\" + ai + " " + ai, "ls",
                            "rm " + yotei, "cd \\", "mv " + hyoji + " " + deep + "\\" + hyoji,
                            "mv " + ai + " " + soft + "\\" + ai}),
              transcript({"", "", "", "", "", listing({".", "..", yotei, ai}), "", "", "", ""}));
    EXPECT_EQ(readFile(disk.host("a")), a);
    EXPECT_EQ(readFile(disk.host("b")), b);
    EXPECT_EQ(readFile(disk.host("c")), c);
    const std::vector<uint8_t> after = disk.bytes();
    EXPECT_EQ(fieldsOf(after, g, 0), (std::vector<std::string>{names[0].field}));
    EXPECT_EQ(fieldsOf(after, g, 2),
              (std::vector<std::string>{kDotField, kDotDotField, names[2].field, names[4].field}));
    EXPECT_EQ(fieldsOf(after, g, 3),
              (std::vector<std::string>{kDotField, kDotDotField, names[1].field, names[4].field}));
    if (havePeers()) {
        EXPECT_EQ(fsckFindingsBeyondShiftJisNames(disk.image()), "");
        const ToolResult listed =
            runMtoolsShiftJis("mdir -/ -b -i " + shellQuote(disk.image()) + " ::");
        EXPECT_EQ(listed.output, std::string(u8"::/ソフト/\n::/ソフト/能力/\n::/ソフト/藹.BIN\n") +
                                     u8"::/ソフト/能力/表示.TXT\n::/ソフト/能力/藹.BIN\n");
    }
    EXPECT_EQ(disk.run({"rmdir", soft}), "");
    EXPECT_EQ(disk.run({"ls"}), "");
    EXPECT_EQ(freeClusterCount(disk.bytes(), g), freeClusterCount(blankFloppy(g, 0), g));
}
