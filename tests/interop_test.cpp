// Images written by fat12img checked by independent FAT tools (fsck.fat, mtools), and
// images written by those tools read and changed by fat12img. Names are plain ASCII: the
// peers treat some Shift_JIS names in their own way.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support/expected_output.hpp"
#include "support/host_tree.hpp"
#include "support/image_builder.hpp"
#include "support/run_tool.hpp"
#include "support/tool_workspace.hpp"

using namespace testimg;

namespace {

bool havePeers() {
    for (const char* tool : {"mdir", "mcopy", "mmd", "fsck.fat", "mkfs.fat"}) {
        if (!haveProgram(tool)) {
            return false;
        }
    }
    return true;
}

#define REQUIRE_PEERS()                                                 \
    do {                                                                \
        if (!havePeers()) {                                             \
            GTEST_SKIP() << "mtools or dosfstools are not on the PATH"; \
        }                                                               \
    } while (0)

// mtools refuses images whose geometry it does not recognise unless told not to check.
ToolResult mtools(const std::string& commandLine) {
    return runShell("MTOOLS_SKIP_CHECK=1 " + commandLine + " 2>&1");
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// fsck.fat in read-only mode. The one finding accepted is the empty volume label in the
// boot sector that fat12img's format writes; every other line beyond the banner and the
// summary counts as a problem.
::testing::AssertionResult fsckClean(const std::string& image) {
    const ToolResult r = runShell("fsck.fat -n " + shellQuote(image) + " 2>&1");
    std::istringstream in(r.output);
    std::string line;
    bool labelFinding = false;
    bool afterLabel = false;
    std::vector<std::string> problems;
    while (std::getline(in, line)) {
        const bool follows = afterLabel;
        afterLabel = false;
        if (line.empty() || startsWith(line, "fsck.fat ") ||
            line == "Leaving filesystem unchanged.") {
            continue;
        }
        if (line == "Label '' stored in boot sector is not valid.") {
            labelFinding = afterLabel = true;
            continue;
        }
        if (follows && line == "  Auto-removing label from boot sector.") {
            continue;
        }
        if (line.find(" files, ") != std::string::npos && endsWith(line, " clusters")) {
            continue;
        }
        problems.push_back(line);
    }
    if (!problems.empty() || !(r.exitStatus == 0 || (r.exitStatus == 1 && labelFinding))) {
        return ::testing::AssertionFailure() << "fsck.fat exit " << r.exitStatus << ":\n"
                                             << r.output;
    }
    return ::testing::AssertionSuccess();
}

// Every path mdir finds, directories with a trailing slash, sorted.
std::vector<std::string> mdirPaths(const std::string& image) {
    const ToolResult r = mtools("mdir -/ -b -i " + shellQuote(image) + " ::");
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    std::vector<std::string> paths;
    std::istringstream in(r.output);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) {
            paths.push_back(line);
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::vector<uint8_t> mcopyOut(const std::string& image, const std::string& path,
                              const TempDir& scratch) {
    const std::string out = scratch.file("mcopy.out");
    const ToolResult r = mtools("mcopy -o -n -i " + shellQuote(image) + " " +
                                shellQuote("::" + path) + " " + shellQuote(out));
    EXPECT_EQ(r.exitStatus, 0) << path << ": " << r.output;
    return readFile(out);
}

void mcopyIn(const std::string& image, const std::string& host, const std::string& path) {
    const ToolResult r = mtools("mcopy -i " + shellQuote(image) + " " + shellQuote(host) + " " +
                                shellQuote("::" + path));
    ASSERT_EQ(r.exitStatus, 0) << path << ": " << r.output;
}

void mmd(const std::string& image, const std::string& path) {
    const ToolResult r = mtools("mmd -i " + shellQuote(image) + " " + shellQuote("::" + path));
    ASSERT_EQ(r.exitStatus, 0) << path << ": " << r.output;
}

// Runs command lines at fat12img's prompt; gives the output after the usage text.
std::string session(const TempDir& dir, const std::string& image,
                    const std::vector<std::string>& lines) {
    std::string input;
    for (const std::string& line : lines) {
        input += line + "\n";
    }
    return afterUsage(runTool(dir.path(), {image}, input).output);
}

}  // namespace

TEST(Interop, SessionOnAFreshImageIsCleanForThePeers) {
    REQUIRE_PEERS();
    TempDir dir;
    const std::string image = dir.file("fd.img");
    const std::vector<uint8_t> a = pattern(5000, 1);
    const std::vector<uint8_t> b = pattern(513, 2);
    const std::vector<uint8_t> c = pattern(1, 3);
    writeFile(dir.file("a.bin"), a);
    writeFile(dir.file("b.bin"), b);
    writeFile(dir.file("c.bin"), c);

    // A missing image is formatted on mount.
    ASSERT_EQ(runTool(dir.path(), {"fd.img", "ls"}).output, "");
    std::vector<std::string> lines = {
        "mkdir docs\\deep",
        "touch empty.txt",
        "cp 'a.bin a.bin",
        "cp 'b.bin docs\\b.txt",
        "cp 'c.bin docs\\deep\\c.dat",
        "cp a.bin 'a.out",
        "mv a.bin docs\\deep\\a.bin",
        "cp docs\\b.txt copy.txt",
        "rm copy.txt",
        "mkdir tmp\\x",
        "cp 'b.bin tmp\\x\\y",
        "rmdir tmp",
        "mv docs\\b.txt 'b.out",
        "mkdir many",
    };
    // Twenty entries make the directory grow past its first cluster.
    for (int i = 0; i < 20; ++i) {
        lines.push_back("cp 'c.bin many\\f" + std::to_string(100 + i));
    }
    lines.push_back("rm many\\f103");
    EXPECT_EQ(session(dir, "fd.img", lines), std::string(lines.size() + 1, '>'));
    EXPECT_EQ(readFile(dir.file("a.out")), a);
    EXPECT_EQ(readFile(dir.file("b.out")), b);
    EXPECT_EQ(runTool(dir.path(), {"fd.img", "ls", "docs\\deep"}).output,
              listing({".", "..", "c.dat", "a.bin"}));

    EXPECT_TRUE(fsckClean(image));
    std::vector<std::string> expected = {"::/docs/",           "::/docs/deep/",
                                         "::/docs/deep/a.bin", "::/docs/deep/c.dat",
                                         "::/empty.txt",       "::/many/"};
    for (int i = 0; i < 20; ++i) {
        if (i != 3) {
            expected.push_back("::/many/f" + std::to_string(100 + i));
        }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(mdirPaths(image), expected);

    TempDir scratch;
    EXPECT_EQ(mcopyOut(image, "/docs/deep/a.bin", scratch), a);
    EXPECT_EQ(mcopyOut(image, "/docs/deep/c.dat", scratch), c);
    EXPECT_TRUE(mcopyOut(image, "/empty.txt", scratch).empty());
    for (int i = 0; i < 20; ++i) {
        if (i != 3) {
            EXPECT_EQ(mcopyOut(image, "/many/f" + std::to_string(100 + i), scratch), c) << i;
        }
    }
}

TEST(Interop, ImagesMadeByMkfsFat) {
    REQUIRE_PEERS();
    struct Format {
        std::string options;
        uint16_t bytesPerSector;
    };
    for (const Format& f : {Format{"1440", 512}, Format{"-f 2 -r 112 -s 2 720", 512},
                            Format{"720", 512}, Format{"2880", 512}, Format{"-S 1024 1232", 1024},
                            Format{"-S 1024 -s 1 -r 192 1232", 1024}}) {
        SCOPED_TRACE(f.options);
        TempDir dir;
        const std::string image = dir.file("f.img");
        const ToolResult made =
            runShell("mkfs.fat -C " + shellQuote(image) + " " + f.options + " 2>&1");
        ASSERT_EQ(made.exitStatus, 0) << made.output;
        const std::vector<uint8_t> boot = readFile(image);
        ASSERT_GE(boot.size(), 512u);
        ASSERT_EQ(std::string(boot.begin() + 54, boot.begin() + 62), "FAT12   ");
        ASSERT_EQ(boot[11] | (boot[12] << 8), f.bytesPerSector);

        const std::vector<uint8_t> top = pattern(7000, 10);
        const std::vector<uint8_t> inner = pattern(4097, 11);
        const std::vector<uint8_t> lng = pattern(300, 12);
        writeFile(dir.file("top"), top);
        writeFile(dir.file("inner"), inner);
        writeFile(dir.file("long"), lng);
        writeFile(dir.file("empty"), std::vector<uint8_t>{});
        mmd(image, "/DIR1");
        mmd(image, "/DIR1/SUB");
        mcopyIn(image, dir.file("top"), "/TOP.DAT");
        mcopyIn(image, dir.file("inner"), "/DIR1/SUB/INNER.BIN");
        mcopyIn(image, dir.file("empty"), "/EMPTY.TXT");
        // A long name leaves long-name slots in front of its short entry.
        mcopyIn(image, dir.file("long"), "/DIR1/longfilename.txt");

        // Image mode: no mode line after the usage text, and the listings show the peers'
        // entries.
        EXPECT_EQ(session(dir, "f.img", {"ls", "ls dir1", "ls dir1\\sub"}),
                  ">" + listing({"DIR1", "TOP.DAT", "EMPTY.TXT"}) + ">" +
                      listing({".", "..", "SUB", "LONGFI~1.TXT"}) + ">" +
                      listing({".", "..", "INNER.BIN"}) + ">");
        for (const auto& [path, bytes] : std::vector<std::pair<std::string, std::vector<uint8_t>>>{
                 {"TOP.DAT", top},
                 {"dir1\\sub\\inner.bin", inner},
                 {"DIR1\\LONGFI~1.TXT", lng},
                 {"EMPTY.TXT", {}}}) {
            SCOPED_TRACE(path);
            EXPECT_EQ(runTool(dir.path(), {"f.img", "cp", path, "'out"}).output, "");
            EXPECT_EQ(readFile(dir.file("out")), bytes);
        }

        const std::vector<uint8_t> mine = pattern(30000, 13);
        const std::vector<uint8_t> small = pattern(1, 14);
        writeFile(dir.file("mine"), mine);
        writeFile(dir.file("small"), small);
        const std::vector<std::string> lines = {
            "cp 'mine DIR1\\MINE.BIN",       "mkdir DIR1\\NEWDIR",
            "cp 'small DIR1\\NEWDIR\\S.BIN", "rm TOP.DAT",
            "rm DIR1\\LONGFI~1.TXT",         "mv EMPTY.TXT DIR1\\SUB\\E.TXT",
        };
        EXPECT_EQ(session(dir, "f.img", lines), std::string(lines.size() + 1, '>'));

        EXPECT_TRUE(fsckClean(image));
        EXPECT_EQ(mdirPaths(image),
                  (std::vector<std::string>{"::/DIR1/", "::/DIR1/MINE.BIN", "::/DIR1/NEWDIR/",
                                            "::/DIR1/NEWDIR/S.BIN", "::/DIR1/SUB/",
                                            "::/DIR1/SUB/E.TXT", "::/DIR1/SUB/INNER.BIN"}));
        TempDir scratch;
        EXPECT_EQ(mcopyOut(image, "/DIR1/MINE.BIN", scratch), mine);
        EXPECT_EQ(mcopyOut(image, "/DIR1/NEWDIR/S.BIN", scratch), small);
        EXPECT_EQ(mcopyOut(image, "/DIR1/SUB/INNER.BIN", scratch), inner);
        EXPECT_TRUE(mcopyOut(image, "/DIR1/SUB/E.TXT", scratch).empty());
    }
}

// cp -r in, read by the peers: mdir lists every path, mcopy -s brings back every byte,
// fsck.fat finds nothing; and a tree that mcopy -s put in comes out of fat12img the same.
TEST(Interop, TreesCopiedEitherWayAgreeWithThePeers) {
    REQUIRE_PEERS();
    TempDir dir;
    const std::string image = dir.file("fd.img");
    makeHostTree(dir.file("tree"), sampleTree());
    ASSERT_EQ(runTool(dir.path(), {image, "cp", "-r", "'tree", "T"}).output, "");
    std::vector<std::string> expected{"::/T/"};
    for (const auto& [path, bytes] : readHostTree(dir.file("tree"))) {
        expected.push_back("::/T/" + path);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(mdirPaths(image), expected);
    EXPECT_TRUE(fsckClean(image));
    const ToolResult out =
        mtools("mcopy -s -n -i " + shellQuote(image) + " ::T " + shellQuote(dir.file("mcopied")));
    ASSERT_EQ(out.exitStatus, 0) << out.output;
    EXPECT_EQ(
        treeFilesDifference(readHostTree(dir.file("mcopied")), readHostTree(dir.file("tree"))), "");

    const std::string peers = dir.file("peers.img");
    ASSERT_EQ(runShell("mkfs.fat -C " + shellQuote(peers) + " 1440 >/dev/null").exitStatus, 0);
    const ToolResult in =
        mtools("mcopy -s -i " + shellQuote(peers) + " " + shellQuote(dir.file("tree")) + " ::T");
    ASSERT_EQ(in.exitStatus, 0) << in.output;
    ASSERT_EQ(runTool(dir.path(), {peers, "cp", "-r", "T", "'back"}).output, "");
    EXPECT_EQ(treeFilesDifference(readHostTree(dir.file("back")), readHostTree(dir.file("tree"))),
              "");
}

// The Linux kernel's vfat and msdos mount every layout format writes, with and without a
// label, read what fat12img wrote and write files that fat12img then reads. The kernel is
// Debian's, booted in QEMU with a busybox initramfs (tests/support/linux_guest.sh).
TEST(Interop, TheLinuxKernelMountsEveryLayoutBothWays) {
    std::string missing;
    for (const char* program : {"qemu-system-x86_64", "busybox", "modprobe", "fsck.fat"}) {
        if (!haveProgram(program)) {
            missing += std::string(" ") + program;
        }
    }
    // runShell is for POSIX hosts only, where haveProgram can find anything at all.
    if (missing.empty() && runShell("ls /boot/vmlinuz-* >/dev/null 2>&1").exitStatus != 0) {
        missing += " a kernel in /boot";
    }
    if (!missing.empty()) {
        GTEST_SKIP() << "needs" << missing
                     << " (packages qemu-system-x86, busybox-static, kmod, dosfstools, "
                        "linux-image-amd64)";
    }
    TempDir dir;
    const std::vector<uint8_t> data = pattern(20000, 21);
    writeFile(dir.file("data.bin"), data);
    writeFile(dir.file("hello.txt"), std::string("hello\n"));
    std::vector<std::string> images;
    std::string arguments;
    for (const char* size :
         {"160", "180", "320", "360", "640", "720", "1200", "1232", "1440", "2880"}) {
        for (const bool labelled : {false, true}) {
            const std::string name = std::string("f") + size + (labelled ? "l" : "") + ".img";
            std::vector<std::string> format = {name, "format", std::string("size=") + size};
            if (labelled) {
                format.push_back("label=LINUX");
            }
            ASSERT_EQ(runTool(dir.path(), format).output, "");
            ASSERT_EQ(session(dir, name,
                              {"mkdir DOCS", "cp 'hello.txt DOCS\\HELLO.TXT",
                               "cp 'data.bin DOCS\\DATA.BIN"}),
                      ">>>>");
            images.push_back(name);
            arguments += " " + shellQuote(dir.file(name));
        }
    }
    const ToolResult guest =
        runShell("sh " + shellQuote(FAT12IMG_SOURCE_DIR) + "/tests/support/linux_guest.sh " +
                 shellQuote(dir.file("guest")) + arguments + " 2>&1");
    ASSERT_NE(guest.output.find("@ done\n"), std::string::npos) << guest.output;
    for (size_t i = 0; i < images.size(); ++i) {
        SCOPED_TRACE(images[i]);
        const std::string disk = std::string("vd") + char('a' + i) + " ";
        // vfat shows the short names as stored; msdos in lower case, and the directory that
        // vfat made before it.
        const std::string expected =
            "@ " + disk + "vfat mounted\n@ " + disk + "vfat file DOCS/DATA.BIN\n@ " + disk +
            "vfat file DOCS/HELLO.TXT\n@ " + disk + "vfat wrote\n@ " + disk + "vfat unmounted\n@ " +
            disk + "msdos mounted\n@ " + disk + "msdos file byvfat/data.bin\n@ " + disk +
            "msdos file byvfat/note.txt\n@ " + disk + "msdos file docs/data.bin\n@ " + disk +
            "msdos file docs/hello.txt\n@ " + disk + "msdos wrote\n@ " + disk + "msdos unmounted\n";
        EXPECT_NE(guest.output.find(expected), std::string::npos) << guest.output;

        const std::string& image = images[i];
        EXPECT_EQ(runTool(dir.path(), {image, "ls", "BYMSDOS"}).output,
                  listing({".", "..", "DATA.BIN", "NOTE.TXT"}));
        const auto note = [](const std::string& fs) {
            const std::string text = "written by " + fs + "\n";
            return std::vector<uint8_t>(text.begin(), text.end());
        };
        const std::pair<std::string, std::vector<uint8_t>> written[] = {
            {"BYVFAT\\DATA.BIN", data},
            {"BYMSDOS\\DATA.BIN", data},
            {"BYVFAT\\NOTE.TXT", note("vfat")},
            {"BYMSDOS\\NOTE.TXT", note("msdos")},
        };
        for (const auto& [path, bytes] : written) {
            SCOPED_TRACE(path);
            ASSERT_EQ(runTool(dir.path(), {image, "cp", path, "'out"}).output, "");
            EXPECT_TRUE(readFile(dir.file("out")) == bytes);
        }
        EXPECT_TRUE(fsckClean(dir.file(image)));
    }
}

// mtools reads what fat12img writes on every layout, labelled or not, and fat12img reads
// what mtools writes there.
TEST(Interop, MtoolsReadsAndWritesEveryLayout) {
    REQUIRE_PEERS();
    TempDir dir;
    const std::vector<uint8_t> mine = pattern(9000, 31);
    const std::vector<uint8_t> theirs = pattern(7000, 32);
    writeFile(dir.file("mine"), mine);
    writeFile(dir.file("theirs"), theirs);
    for (const char* size :
         {"160", "180", "320", "360", "640", "720", "1200", "1232", "1440", "2880"}) {
        for (const char* label : {"", "label=MTOOLS"}) {
            SCOPED_TRACE(std::string(size) + " " + label);
            const std::string image = dir.file("f.img");
            std::remove(image.c_str());
            ASSERT_EQ(session(dir, "f.img",
                              {std::string("format size=") + size + " " + label, "mkdir SUB",
                               "cp 'mine SUB\\MINE.BIN"}),
                      ">>>>");
            mcopyIn(image, dir.file("theirs"), "/SUB/THEIRS.BIN");
            EXPECT_EQ(mdirPaths(image), (std::vector<std::string>{"::/SUB/", "::/SUB/MINE.BIN",
                                                                  "::/SUB/THEIRS.BIN"}));
            EXPECT_TRUE(mcopyOut(image, "/SUB/MINE.BIN", dir) == mine);
            EXPECT_EQ(runTool(dir.path(), {"f.img", "cp", "SUB\\THEIRS.BIN", "'out"}).output, "");
            EXPECT_TRUE(readFile(dir.file("out")) == theirs);
            EXPECT_TRUE(fsckClean(image));
        }
    }
}
