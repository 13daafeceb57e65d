// boot as a process: which bytes it installs and keeps, what it refuses, what a failed
// write leaves; and floppies that a PC (QEMU) boots, with format's own code and with code
// that boot installed and that reads the parameter block.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/expected_output.hpp"
#include "support/image_builder.hpp"
#include "support/in_process.hpp"
#include "support/run_tool.hpp"
#include "support/tool_workspace.hpp"

using namespace testimg;

namespace {

using Bytes = std::vector<uint8_t>;
using fat12img::FileRole;
using fat12img::faults::Kind;
using fat12img::faults::Plan;

// A test boot sector (GNU as, .code16, loaded at 0x7C00). It reads the parameter block
// that boot keeps, computes the root directory's first sector from it (reserved sectors +
// FATs x sectors per FAT), reads that sector through int 13h by CHS and prints "ROOT:"
// and the first root entry's 11-byte name through int 10h.
// clang-format off
const uint8_t kProbeCode[] = {
    0xFA,                          // cli
    0x31, 0xC0,                    // xor ax, ax
    0x8E, 0xD8,                    // mov ds, ax
    0x8E, 0xC0,                    // mov es, ax
    0x8E, 0xD0,                    // mov ss, ax
    0xBC, 0x00, 0x7C,              // mov sp, 0x7C00
    0xFB,                          // sti
    0x88, 0x16, 0xC3, 0x7C,        // mov [drive], dl
    0xA0, 0x10, 0x7C,              // mov al, [0x7C10]      number of FATs
    0x30, 0xE4,                    // xor ah, ah
    0xF7, 0x26, 0x16, 0x7C,        // mul word [0x7C16]     times sectors per FAT
    0x03, 0x06, 0x0E, 0x7C,        // add ax, [0x7C0E]      plus reserved sectors
    0x31, 0xD2,                    // xor dx, dx
    0xF7, 0x36, 0x18, 0x7C,        // div word [0x7C18]     by sectors per track
    0x42,                          // inc dx
    0x88, 0xD1,                    // mov cl, dl            sector, from 1
    0x31, 0xD2,                    // xor dx, dx
    0xF7, 0x36, 0x1A, 0x7C,        // div word [0x7C1A]     by heads
    0x88, 0xC5,                    // mov ch, al            cylinder
    0x88, 0xD6,                    // mov dh, dl            head
    0x8A, 0x16, 0xC3, 0x7C,        // mov dl, [drive]
    0xBB, 0x00, 0x80,              // mov bx, 0x8000
    0xB8, 0x01, 0x02,              // mov ax, 0x0201        read one sector
    0xCD, 0x13,                    // int 0x13
    0x72, 0x1A,                    // jc fail
    0xBE, 0xAD, 0x7C,              // mov si, tag
    0xE8, 0x1C, 0x00,              // call print
    0xBE, 0x00, 0x80,              // mov si, 0x8000
    0xC6, 0x06, 0x0B, 0x80, 0x00,  // mov byte [0x800B], 0  end the name
    0xE8, 0x11, 0x00,              // call print
    0xBE, 0xB3, 0x7C,              // mov si, eol
    0xE8, 0x0B, 0x00,              // call print
    0xF4,                          // hang: hlt
    0xEB, 0xFD,                    // jmp hang
    0xBE, 0xB6, 0x7C,              // fail: mov si, err
    0xE8, 0x02, 0x00,              // call print
    0xEB, 0xF5,                    // jmp hang
    0x31, 0xDB,                    // print: xor bx, bx
    0xB4, 0x0E,                    // mov ah, 0x0E
    0xAC,                          // next: lodsb
    0x3C, 0x00,                    // cmp al, 0
    0x74, 0x04,                    // je done
    0xCD, 0x10,                    // int 0x10
    0xEB, 0xF7,                    // jmp next
    0xC3,                          // done: ret
    'R', 'O', 'O', 'T', ':', 0,    // tag
    0x0D, 0x0A, 0,                 // eol
    'R', 'E', 'A', 'D', ' ', 'E', 'R', 'R', 'O', 'R', 0x0D, 0x0A, 0,  // err
    0,                             // drive
};
// clang-format on

// A boot sector file: the short jump to offset 62 and a NOP, zeros over the parameter block
// (which boot does not take from the file), the code, 55 AA.
Bytes probeSector() {
    Bytes b(512, 0);
    b[0] = 0xEB;
    b[1] = 0x3C;
    b[2] = 0x90;
    std::copy(std::begin(kProbeCode), std::end(kProbeCode), b.begin() + 62);
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

// What boot makes of an image and a file: the file's bytes but 11 to 61.
Bytes installed(const Bytes& image, const Bytes& code) {
    Bytes out = image;
    std::copy(code.begin(), code.begin() + 11, out.begin());
    std::copy(code.begin() + 62, code.end(), out.begin() + 62);
    return out;
}

const std::string kWriteFailed = consoleLine(u8"書き込みに失敗しました");
const std::string kReadFailed = consoleLine(u8"読み込みに失敗しました");
const std::string kNeedsVolume =
    consoleLine(u8"バイナリモードでは boot は使えません。write を使ってください");

TEST(Boot, InstallsTheCodeAndKeepsTheParameterBlock) {
    Bytes longer = pattern(1536, 7);
    longer[0] = 0xE9;
    longer[510] = 0x55;
    longer[511] = 0xAA;
    FloppyGeometry threeReserved = floppy144();
    threeReserved.reservedSectors = 3;
    struct Case {
        const char* name;
        FloppyGeometry g;
        Bytes code;
    };
    const Case cases[] = {
        {"a sector on 1.44 MB", floppy144(), probeSector()},
        {"a sector on 1,024-byte sectors", floppy1232(), probeSector()},
        {"the whole of a 1,024-byte sector", floppy1232(),
         Bytes(longer.begin(), longer.begin() + 1024)},
        {"three reserved sectors", threeReserved, longer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ToolWorkspace disk;
        Bytes image = blankFloppy(c.g);
        putEntry(image, rootSlotOffset(c.g, 0), "HELLO   TXT", 0x20, 0, 0);
        disk.putImage(image);
        writeFile(disk.file("code.bin"), c.code);
        // The image is mounted again afterwards, with the root current.
        EXPECT_EQ(disk.session({"mkdir SUB", "cd SUB", "boot code.bin", "ls"}),
                  ">>>>" + listing({"HELLO.TXT", "SUB"}) + ">");
        Bytes expected = disk.imageBytes();
        ASSERT_EQ(expected.size(), image.size());
        std::copy(image.begin(), image.begin() + 512, expected.begin());  // before boot
        EXPECT_TRUE(disk.imageBytes() == installed(expected, c.code));
        // Installing the same code again changes nothing.
        EXPECT_EQ(disk.run({"boot", "code.bin"}).output, "");
        EXPECT_TRUE(disk.imageBytes() == installed(expected, c.code));
    }
}

// Each refusal prints its message and writes nothing.
TEST(Boot, RefusalsLeaveTheImageAsItWas) {
    const Bytes good = probeSector();
    Bytes noSignature = good;
    noSignature[511] = 0x00;
    Bytes noJump = good;
    noJump[0] = 0x90;
    Bytes tooLong = good;
    tooLong.resize(1025, 0);
    struct Case {
        const char* name;
        Bytes image;
        std::vector<std::string> args;
        Bytes file;  // empty: no file at all
        std::string output;
    };
    const Case cases[] = {
        {"binary mode", randomBytes(4096, 5), {"boot", "code.bin"}, good, kNeedsVolume},
        {"no file",
         blankFloppy(),
         {"boot", "missing.bin"},
         {},
         consoleLine(u8"ファイルを開けませんでした")},
        {"a directory",
         blankFloppy(),
         {"boot", "."},
         {},
         consoleLine(u8"ファイルを開けませんでした")},
        {"511 bytes",
         blankFloppy(),
         {"boot", "code.bin"},
         Bytes(good.begin(), good.end() - 1),
         consoleLine(u8"ブートセクタが512バイトに足りません")},
        {"no 55 AA",
         blankFloppy(),
         {"boot", "code.bin"},
         noSignature,
         consoleLine(u8"ブートセクタの末尾に 55 AA がありません")},
        {"no jump",
         blankFloppy(),
         {"boot", "code.bin"},
         noJump,
         consoleLine(u8"ブートセクタの先頭がジャンプ命令 (EB または E9) ではありません")},
        {"past the reserved sector",
         blankFloppy(),
         {"boot", "code.bin"},
         tooLong,
         consoleLine(u8"ブートコードが予約セクタに収まりません")},
        {"past the reserved 1,024 bytes",
         blankFloppy(floppy1232()),
         {"boot", "code.bin"},
         tooLong,
         consoleLine(u8"ブートコードが予約セクタに収まりません")},
        {"no argument", blankFloppy(), {"boot"}, good, consoleLine(u8"引数が足りません")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ToolWorkspace disk;
        disk.putImage(c.image);
        if (!c.file.empty()) {
            writeFile(disk.file("code.bin"), c.file);
        }
        EXPECT_EQ(disk.run(c.args).output, c.output);
        EXPECT_TRUE(disk.imageBytes() == c.image);
    }
}

// Every transfer of boot made to fail in turn: a failure is said, and the image holds its
// old bytes (or, where it stopped taking writes, the process ended or the close failed
// after the write, the new ones).
TEST(Boot, AFailedTransferIsSaidAndTheOldSectorsAreBack) {
    TempDir dir;
    const std::string image = dir.file("fd.img");
    const std::string code = dir.file("code.bin");
    const Bytes before = blankFloppy();
    const Bytes after = installed(before, probeSector());
    writeFile(code, probeSector());
    writeFile(image, before);
    const fat12img::faults::Counts clean = runInProcess(image, {"boot", code}).counts;
    ASSERT_TRUE(readFile(image) == after);
    ASSERT_EQ(clean.imageWrites, 1u);
    struct Target {
        Kind kind;
        FileRole role;
        uint32_t count;
    };
    const Target targets[] = {
        {Kind::FailOnce, FileRole::Image, clean.imageWrites},
        {Kind::ShortWrite, FileRole::Image, clean.imageWrites},
        {Kind::StayFull, FileRole::Image, clean.imageWrites},
        {Kind::PowerCut, FileRole::Image, clean.imageWrites},
        {Kind::FailRead, FileRole::Image, clean.imageReads},
        {Kind::FailClose, FileRole::Image, clean.imageCloses},
        {Kind::FailRead, FileRole::Host, clean.hostReads},
        {Kind::FailClose, FileRole::Host, clean.hostCloses},
    };
    int runs = 0;
    for (const Target& t : targets) {
        for (uint32_t at = 1; at <= t.count; ++at, ++runs) {
            SCOPED_TRACE(::testing::Message()
                         << "kind " << int(t.kind) << " role " << int(t.role) << " at " << at);
            writeFile(image, before);
            const InProcessRun r = runInProcess(image, {"boot", code}, Plan{t.kind, t.role, at});
            const Bytes now = readFile(image);
            if (t.kind == Kind::PowerCut) {
                EXPECT_TRUE(now == after);
                continue;
            }
            EXPECT_TRUE(r.output == kWriteFailed || r.output == kReadFailed ||
                        r.output == kNeedsVolume ||  // the mount's read
                        r.output == image + consoleLine(u8" の読み込みに失敗") ||
                        (t.kind == Kind::FailRead && r.output.empty()))  // after the work
                << fromSjis(r.output);
            const bool putBack = t.kind == Kind::FailOnce || t.kind == Kind::ShortWrite;
            EXPECT_TRUE(now == before || (!putBack && now == after));
        }
    }
    EXPECT_GT(runs, 6);
}

bool haveQemu() {
    return haveProgram("qemu-system-i386");
}

// Boots a floppy image in QEMU, with no screen: SeaBIOS then shows the teletype output of
// int 10h on the serial port (named by the two bytes F8 03, port 0x3F8). Gives what the
// port said once `wanted` (one line) appeared or ten seconds passed; QEMU is stopped then.
// It runs without KVM: on this kind of machine a KVM guest stalls after the BIOS.
std::string bootOutput(const std::string& image, const std::string& wanted) {
    TempDir dir;
    writeFile(dir.file("port.bin"), Bytes{0xF8, 0x03});
    const std::string out = dir.file("serial.txt");
    const std::string script =
        "qemu-system-i386 -machine accel=tcg -drive file=" + shellQuote(image) +
        ",if=floppy,format=raw -boot a -display none -vga none -nic none -serial file:" +
        shellQuote(out) + " -fw_cfg name=etc/sercon-port,file=" + shellQuote(dir.file("port.bin")) +
        " >/dev/null 2>&1 & pid=$!\n" + "for i in $(seq 100); do grep -qF " + shellQuote(wanted) +
        " " + shellQuote(out) + " 2>/dev/null && break; sleep 0.1; done\n" +
        "kill $pid 2>/dev/null; wait $pid 2>/dev/null; cat " + shellQuote(out);
    return runShell(script).output;
}

TEST(BootInQemu, EveryPcLayoutShowsFormatsMessage) {
    if (!haveQemu()) {
        GTEST_SKIP() << "qemu-system-i386 is not installed";
    }
    // 640 KB and 1,232 KB are the PC-98's; a PC's drive does not read them.
    for (const char* size : {"160", "180", "320", "360", "720", "1200", "1440", "2880"}) {
        SCOPED_TRACE(size);
        ToolWorkspace disk;
        ASSERT_EQ(disk.run({"format", std::string("size=") + size}).output, "");
        EXPECT_NE(bootOutput(disk.image(), "Invalid Disk").find("Invalid Disk"), std::string::npos);
    }
}

// The installed code reads the parameter block that boot kept: only through it can it
// find the root directory and print the name in its first entry.
TEST(BootInQemu, InstalledCodeFindsTheRootThroughTheParameterBlock) {
    if (!haveQemu()) {
        GTEST_SKIP() << "qemu-system-i386 is not installed";
    }
    struct Case {
        const char* size;
        std::vector<std::string> first;  // what puts the first root entry there
        std::string name;
    };
    const Case cases[] = {
        {"720", {"cp", "'hello.txt", "HELLO.TXT"}, "HELLO   TXT"},
        {"1440", {"mkdir", "SYSTEM"}, "SYSTEM     "},
        {"2880", {"format", "size=2880", "label=PROBE 2880"}, "PROBE 2880 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        ToolWorkspace disk;
        writeFile(disk.file("hello.txt"), std::string("hello"));
        writeFile(disk.file("probe.bin"), probeSector());
        ASSERT_EQ(disk.run({"format", std::string("size=") + c.size}).output, "");
        ASSERT_EQ(disk.run(c.first).output, "");
        ASSERT_EQ(disk.run({"boot", "probe.bin"}).output, "");
        const std::string wanted = "ROOT:" + c.name;
        EXPECT_NE(bootOutput(disk.image(), wanted).find(wanted), std::string::npos);
    }
}

}  // namespace
