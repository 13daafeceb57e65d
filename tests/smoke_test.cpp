#include <gtest/gtest.h>

#include "support/image_builder.hpp"
#include "support/run_tool.hpp"

using namespace testimg;

TEST(Smoke, MissingImageIsFormattedAndListsNothing) {
    TempDir dir;
    const ToolResult r = runTool(dir.path(), {"fd.img", "ls"});
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(readFile(dir.file("fd.img")).size(), kFloppyBytes);
}
