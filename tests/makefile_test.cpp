// The tool as a Makefile uses it: every step with -e, so that make stops at the first step
// that fails, and the tool's message is all that it says.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/expected_output.hpp"
#include "support/image_builder.hpp"
#include "support/run_tool.hpp"
#include "support/tool_workspace.hpp"

using namespace testimg;

namespace {

// Formats, installs a boot sector, makes directories and copies files in. The variables
// let a test spoil one step: a missing source, a file too big for the floppy, a misspelt
// parameter, a missing argument, a session script that fails.
const char* const kMakefile = R"MAKE(IMG := floppy.img
SOURCE := kernel.bin
BIG :=
BOOTPARAMS := num=1
DIRS := 'SYSTEM\BOOT'

$(IMG): boot.bin kernel.bin
	rm -f $@
	$(TOOL) -e $@ format
	$(TOOL) -e $@ write boot.bin $(BOOTPARAMS)
	$(TOOL) -e $@ mkdir $(DIRS)
	$(TOOL) -e $@ cp "'$(SOURCE)" 'SYSTEM\KERNEL.BIN'
	$(if $(BIG),$(TOOL) -e $@ cp "'$(BIG)" BIG.BIN)
	$(TOOL) -e $@ ls SYSTEM

session: $(IMG)
	$(TOOL) -e $(IMG) < script.txt
)MAKE";

struct MakeRun {
    std::string output;  // make -s prints only what the recipes print
    std::string errors;
    int status;
};

class Makefile : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef _WIN32
        GTEST_SKIP() << "no make and no POSIX shell on Windows";
#else
        if (!haveProgram("make") || !haveProgram("fsck.fat")) {
            GTEST_SKIP() << "make or fsck.fat is not on the PATH";
        }
        writeFile(dir_.file("Makefile"), std::string(kMakefile));
        boot_ = bootSector(floppy144());
        const std::vector<uint8_t> code = {0xEB, 0xFE};  // jump to itself
        std::copy(code.begin(), code.end(), boot_.begin() + 62);
        writeFile(dir_.file("boot.bin"), boot_);
        writeFile(dir_.file("kernel.bin"), pattern(5000, 1));
#endif
    }

    // Always from scratch (-B): each run rebuilds the floppy.
    MakeRun make(const std::string& arguments = "") const {
        const ToolResult r = runShell("cd " + shellQuote(dir_.path()) +
                                      " && make -s -B TOOL=" + shellQuote(FAT12IMG_BINARY) + " " +
                                      arguments + " 2>make.err");
        const std::vector<uint8_t> errors = readFile(dir_.file("make.err"));
        return {r.output, std::string(errors.begin(), errors.end()), r.exitStatus};
    }

    std::string image() const {
        return dir_.file("floppy.img");
    }

    TempDir dir_;
    std::vector<uint8_t> boot_;
};

TEST_F(Makefile, BuildsAFloppyThatFsckAccepts) {
    const MakeRun r = make();
    EXPECT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(r.output, listing({".", "..", "BOOT", "KERNEL.BIN"}));
    const std::vector<uint8_t> img = readFile(image());
    EXPECT_EQ(bytesAt(img, 0, 512), boot_);
    EXPECT_EQ(fsckFindings(image()), "");
}

TEST_F(Makefile, EachSpoiltStepStopsMakeWithTheToolsMessageAlone) {
    writeFile(dir_.file("big.bin"), pattern(1500000, 2));
    struct Row {
        std::string arguments;
        std::string message;
        int status;
    };
    const Row rows[] = {
        {"SOURCE=missing.bin", consoleLine(u8"コピー元のファイルが見つかりません"), 1},
        {"BIG=big.bin", consoleLine(u8"ファイルを作成できません"), 1},
        {"BOOTPARAMS=LBA=0", consoleLine(u8"パラメータが不正です: LBA=0"), 2},
        {"DIRS=", consoleLine(u8"引数が足りません"), 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arguments);
        const MakeRun r = make(row.arguments);
        EXPECT_NE(r.status, 0);
        // The steps after the failing one never ran: no listing follows the message.
        EXPECT_EQ(r.output, row.message);
        EXPECT_NE(r.errors.find("Error " + std::to_string(row.status)), std::string::npos)
            << r.errors;
    }
    // A boot sector written with a misspelt parameter never reached sector 0.
    make("BOOTPARAMS=LBA=0");
    EXPECT_NE(bytesAt(readFile(image()), 0, 512), boot_);
}

TEST_F(Makefile, ASessionScriptStopsAtItsFirstFailingLine) {
    writeFile(dir_.file("script.txt"),
              std::string("mkdir FIRST\nrm NOPE\nmkdir AFTER\ncp 'kernel.bin AFTER.BIN\n"));
    const MakeRun r = make("session");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.errors.find("Error 1"), std::string::npos) << r.errors;
    EXPECT_EQ(afterUsage(r.output.substr(r.output.find(usageOutput()))),
              ">>" + consoleLine(u8"存在しない名前です"));
    const ToolResult ls = runTool(dir_.path(), {"floppy.img", "ls"});
    EXPECT_EQ(ls.output, listing({"SYSTEM", "FIRST"}));
}

}  // namespace
