// cp -r through the built tool: trees in, out and inside the image, checked by the tests'
// own image reader and against the host files; every refusal leaves the image as it was.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/expected_output.hpp"
#include "support/host_tree.hpp"
#include "support/image_builder.hpp"
#include "support/image_tree.hpp"
#include "support/in_process.hpp"
#include "support/run_tool.hpp"
#include "support/tool_workspace.hpp"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

using namespace testimg;

namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::vector<uint8_t>>;

// The image's files and directories as asImagePaths gives a host tree.
Files imageFiles(const std::vector<uint8_t>& img) {
    const ImageTree tree = readTree(img);
    EXPECT_TRUE(tree.problems.empty()) << tree.problems.front();
    Files out;
    for (const auto& [path, node] : tree.nodes) {
        out[node.directory ? path + "\\" : path] = node.content;
    }
    return out;
}

Files treeUnder(const std::string& top, const std::string& image) {
    Files files = asImagePaths(readHostTree(top), image);
    files[image + "\\"] = {};
    return files;
}

TEST(CopyTree, InOutAndInsideTheImageKeepEveryByte) {
    ToolWorkspace w;
    makeHostTree(w.file("tree"), sampleTree());
    ASSERT_EQ(w.run({"cp", "-r", "'tree", "T"}).output, "");
    const Files in = treeUnder(w.file("tree"), "T");
    EXPECT_EQ(treeFilesDifference(imageFiles(w.imageBytes()), in), "");
    if (haveProgram("fsck.fat")) {
        EXPECT_EQ(fsckFindings(w.image()), "");
    }

    ASSERT_EQ(w.run({"cp", "-r", "T", "'back"}).output, "");
    EXPECT_EQ(treeFilesDifference(readHostTree(w.file("back")), readHostTree(w.file("tree"))), "");
    // Into an existing directory, under the source's own name.
    ASSERT_EQ(w.run({"cp", "-r", "T", "'back"}).output, "");
    EXPECT_EQ(treeFilesDifference(readHostTree(w.file("back/T")), readHostTree(w.file("tree"))),
              "");

    // Inside the image, into the tree itself: the source is read as it was.
    ASSERT_EQ(w.run({"mkdir", "T\\SUB"}).output, "");
    ASSERT_EQ(w.run({"cp", "-r", "T", "T\\SUB"}).output, "");
    Files expected = in;
    expected["T\\SUB\\"] = {};
    for (const auto& [path, bytes] : in) {
        expected["T\\SUB\\" + path] = bytes;
    }
    expected["T\\SUB\\T\\SUB\\"] = {};
    EXPECT_EQ(treeFilesDifference(imageFiles(w.imageBytes()), expected), "");
    if (haveProgram("fsck.fat")) {
        EXPECT_EQ(fsckFindings(w.image()), "");
    }

    // A plain file is copied as cp copies it.
    ASSERT_EQ(w.run({"cp", "-r", "T\\ONE", "'one"}).output, "");
    EXPECT_EQ(readFile(w.file("one")), readFile(w.file("tree/ONE")));
}

// Each file's data, each new table and the FAT copies are written once, and the tree's one
// entry last.
TEST(CopyTree, IntoTheImageWritesEachPartOnce) {
    TempDir dir;
    makeHostTree(dir.file("tree"), sampleTree());
    writeFile(dir.file("fd.img"), blankFloppy());
    const InProcessRun r =
        runInProcess(dir.file("fd.img"), {"cp", "-r", "'" + dir.file("tree"), "T"});
    ASSERT_EQ(r.output, "");
    uint32_t expected = 2 + 1;  // the FAT copies (one sector run each), the entry
    for (const auto& [path, bytes] : readHostTree(dir.file("tree"))) {
        // A file's data is one write, a partial last sector included, however long.
        expected += path.back() == '/' || !bytes.empty() ? 1 : 0;
    }
    EXPECT_EQ(r.counts.imageWrites, expected + 1);  // + the top directory's table
}

TEST(CopyTree, TheSameTreeGivesTheSameImageWhateverOrderTheHostKeepsIt) {
    ToolWorkspace w;
    std::vector<HostFile> files = sampleTree();
    makeHostTree(w.file("forward"), files);
    std::reverse(files.begin(), files.end());
    makeHostTree(w.file("backward"), files);
    std::vector<std::vector<uint8_t>> images;
    for (const char* top : {"forward", "backward"}) {
        w.putImage(blankFloppy());
        ASSERT_EQ(w.run({"cp", "-r", std::string("'") + top, "T"}).output, "");
        images.push_back(w.imageBytes());
    }
    EXPECT_TRUE(images[0] == images[1]);
}

// Names with a 0x5C second byte, a 0xE5 first byte and lower-case ASCII letters.
TEST(CopyTree, ShiftJisNamesGoInAndOutByteForByte) {
#if defined(_WIN32)
    GTEST_SKIP() << "host file names in Shift_JIS need the ANSI code page 932, which the test "
                    "host does not have";
#endif
    ToolWorkspace w;
    const std::string soft = sjis(u8"ソフト");
    const std::string display = sjis(u8"表示.TXT");
    const std::string ability = sjis(u8"能力.dat");
    const std::string leadE5 = sjis(u8"藹");
    makeHostTree(w.file("tree"), {{soft + "/" + display, pattern(700, 1)},
                                  {ability, pattern(10, 2)},
                                  {leadE5 + "/" + sjis(u8"予定"), {}, true}});
    ASSERT_EQ(w.run({"cp", "-r", "'tree", "T"}).output, "");
    const std::string upperAbility = sjis(u8"能力.DAT");
    const Files expected = {{"T\\", {}},
                            {"T\\" + soft + "\\", {}},
                            {"T\\" + soft + "\\" + display, pattern(700, 1)},
                            {"T\\" + upperAbility, pattern(10, 2)},
                            {"T\\" + leadE5 + "\\", {}},
                            {"T\\" + leadE5 + "\\" + sjis(u8"予定") + "\\", {}}};
    EXPECT_EQ(treeFilesDifference(imageFiles(w.imageBytes()), expected), "");
    ASSERT_EQ(w.run({"cp", "-r", "T", "'back"}).output, "");
    const Files back = {{soft + "/", {}},
                        {soft + "/" + display, pattern(700, 1)},
                        {upperAbility, pattern(10, 2)},
                        {leadE5 + "/", {}},
                        {leadE5 + "/" + sjis(u8"予定") + "/", {}}};
    EXPECT_EQ(treeFilesDifference(readHostTree(w.file("back")), back), "");
}

// The lines as the tool prints them; the host paths (those under tree/ and out/) with the
// host's own separator.
std::string lines(const std::vector<std::string>& utf8) {
    std::string out;
    for (std::string line : utf8) {
#if defined(_WIN32)
        const size_t path = line.find(": ") + 2;
        if (line.compare(path, 5, "tree/") == 0 || line.compare(path, 4, "out/") == 0) {
            std::replace(line.begin() + long(path), line.end(), '/', '\\');
        }
#endif
        out += consoleLine(line);
    }
    return out;
}

struct Refusal {
    const char* what;
    std::function<void(const ToolWorkspace&)> setUp;  // the host tree "tree" and the image
    std::vector<std::string> command;
    std::vector<std::string> said;  // UTF-8
};

void addHostFile(const ToolWorkspace& w, const std::string& path, size_t size = 10) {
    fs::create_directories(fs::path(w.file(path)).parent_path());
    writeFile(w.file(path), pattern(size, 1));
}

// Every offender gets its line; nothing is written, to the image or to the host.
TEST(CopyTree, RefusalsNameEveryOffenderAndChangeNothing) {
    const std::vector<std::string> in = {"cp", "-r", "'tree", "T"};
    std::vector<Refusal> rows = {
        {"names that are no 8.3 name",
         [](const ToolWorkspace& w) {
             for (const char* name :
                  {"LONGNAME9.TXT", "A.TEXT", "A.B.C", ".gitignore", "A+B", "OK.TXT", "SUB/A;B"}) {
                 addHostFile(w, std::string("tree/") + name);
             }
         },
         in,
         {u8"8.3形式の名前ではありません: tree/.gitignore",
          u8"8.3形式の名前ではありません: tree/A+B", u8"8.3形式の名前ではありません: tree/A.B.C",
          u8"8.3形式の名前ではありません: tree/A.TEXT",
          u8"8.3形式の名前ではありません: tree/LONGNAME9.TXT",
          u8"8.3形式の名前ではありません: tree/SUB/A;B"}},
#if !defined(_WIN32)  // a host that folds case cannot hold these names together
        {"names that become one",
         [](const ToolWorkspace& w) {
             addHostFile(w, "tree/readme.txt");
             addHostFile(w, "tree/README.TXT");
             addHostFile(w, "tree/ReadMe.Txt");
         },
         in,
         {u8"名前が重複します: tree/ReadMe.Txt", u8"名前が重複します: tree/readme.txt"}},
#endif
        {"an entry where the tree lands",
         [](const ToolWorkspace& w) {
             addHostFile(w, "tree/A");
             ASSERT_EQ(w.run({"mkdir", "T\\TREE"}).output, "");
         },
         in,
         {u8"コピー先のファイルは既に存在します: T\\TREE"}},
        {"a file where the tree would land",
         [](const ToolWorkspace& w) {
             addHostFile(w, "tree/A");
             ASSERT_EQ(w.run({"touch", "T"}).output, "");
         },
         in,
         {u8"コピー先のファイルは既に存在します: T"}},
        {"more than the free clusters",
         [](const ToolWorkspace& w) {
             addHostFile(w, "tree/A", 700000);
             addHostFile(w, "tree/B", 800000);
         },
         in,
         {u8"ファイルを作成できません: T"}},
        {"a full root",
         [](const ToolWorkspace& w) {
             addHostFile(w, "tree/A");
             std::vector<uint8_t> img = blankFloppy();
             for (uint32_t i = 0; i < 224; ++i) {
                 putEntry(img, rootSlotOffset(floppy144(), i), field83("F" + std::to_string(i)), 0,
                          0, 0);
             }
             w.putImage(img);
         },
         in,
         {u8"ファイルを作成できません: T"}},
        {"out onto something that exists",
         [](const ToolWorkspace& w) {
             addHostFile(w, "out/T");
             ASSERT_EQ(w.run({"mkdir", "T\\A"}).output, "");
         },
         {"cp", "-r", "T", "'out"},
         {u8"コピー先のファイルは既に存在します: out/T"}},
        {"names the host cannot take, a file longer than its chain, a directory met twice",
         [](const ToolWorkspace& w) {
             const FloppyGeometry g = floppy144();
             std::vector<uint8_t> img = blankFloppy(g);
             putEntry(img, rootSlotOffset(g, 0), field83("T"), 0x10, 2, 0);
             putDirectoryCluster(img, g, 2, 0);
             setChain(img, g, {2});
             putEntry(img, clusterSlotOffset(g, 2, 2), "A/B        ", 0, 0, 0);
             putEntry(img, clusterSlotOffset(g, 2, 3), field83("BIG"), 0, 3, 5000);
             setChain(img, g, {3});
             putEntry(img, clusterSlotOffset(g, 2, 4), field83("X"), 0x10, 4, 0);
             putEntry(img, clusterSlotOffset(g, 2, 5), field83("Y"), 0x10, 4, 0);
             putDirectoryCluster(img, g, 4, 2);
             setChain(img, g, {4});
             w.putImage(img);
         },
         {"cp", "-r", "T", "'out"},
         {u8"ホストで使えない名前です: T\\A/B", u8"読み込みに失敗しました: T\\BIG",
          u8"リンクが循環しています: T\\Y"}},
    };
#if !defined(_WIN32)
    rows.push_back(
        {"a FIFO, a dangling link and links that loop",
         [](const ToolWorkspace& w) {
             addHostFile(w, "tree/SUB/OK");
             ASSERT_EQ(mkfifo(w.file("tree/PIPE").c_str(), 0600), 0);
             ASSERT_TRUE(makeSymlinkIfAllowed("nowhere", w.file("tree/GONE")));
             ASSERT_TRUE(makeSymlinkIfAllowed("..", w.file("tree/SUB/UP")));
             ASSERT_TRUE(makeSymlinkIfAllowed("SELF", w.file("tree/SELF")));
             // Links to a file and to a directory elsewhere are followed.
             addHostFile(w, "elsewhere/F");
             ASSERT_TRUE(makeSymlinkIfAllowed("../elsewhere", w.file("tree/DIR")));
             ASSERT_TRUE(makeSymlinkIfAllowed("../elsewhere/F", w.file("tree/FILE")));
         },
         in,
         {u8"リンク先が存在しません: tree/GONE", u8"通常のファイルではありません: tree/PIPE",
          u8"リンクが循環しています: tree/SELF", u8"リンクが循環しています: tree/SUB/UP"}});
#endif
    for (const Refusal& row : rows) {
        SCOPED_TRACE(row.what);
        ToolWorkspace w;
        w.putImage(blankFloppy());
        fs::create_directories(w.file("tree"));
        row.setUp(w);
        const std::vector<uint8_t> before = w.imageBytes();
        const auto hostBefore = readHostTree(w.path());
        EXPECT_EQ(fromSjis(w.run(row.command).output), fromSjis(lines(row.said)));
        EXPECT_TRUE(w.imageBytes() == before);
        EXPECT_EQ(treeFilesDifference(readHostTree(w.path()), hostBefore), "");
    }
}

}  // namespace

namespace {

// Under -e a copy that did nothing is a failure, and a cp -r without both paths a wrong
// command line.
TEST(CopyTree, ExitStatusesUnderErrexit) {
    ToolWorkspace w;
    w.putImage(blankFloppy());
    makeHostTree(w.file("tree"), {{"A.TXT", pattern(10, 1)}, {"bad+name", {}}});
    const struct {
        std::vector<std::string> words;
        std::string said;
        int status;
    } rows[] = {
        {{"cp", "-r", "'nothere", "T"}, consoleLine(u8"コピー元のファイルが見つかりません"), 1},
        {{"cp", "-r", "'tree", "T"}, lines({u8"8.3形式の名前ではありません: tree/bad+name"}), 1},
        {{"cp", "-R", "T"}, consoleLine(u8"引数が足りません"), 2},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args{"-e", w.image()};
        args.insert(args.end(), row.words.begin(), row.words.end());
        const ToolResult r = runTool(w.path(), args);
        EXPECT_EQ(fromSjis(r.output), fromSjis(row.said)) << row.words[2];
        EXPECT_EQ(r.exitStatus, row.status) << row.words[2];
    }
    fs::remove(w.file("tree/bad+name"));
    const ToolResult r = runTool(w.path(), {"-e", w.image(), "cp", "-R", "'tree", "T"});
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(r.exitStatus, 0);
}

}  // namespace
