#include "support/tool_workspace.hpp"

#include <gtest/gtest.h>

#include "support/expected_output.hpp"

namespace testimg {

ToolResult ToolWorkspace::run(const std::vector<std::string>& args,
                              const std::string& input) const {
    std::vector<std::string> all{imageName_};
    all.insert(all.end(), args.begin(), args.end());
    return runTool(path(), all, input);
}

ToolResult ToolWorkspace::type(const std::string& input) const {
    return runTool(path(), {imageName_}, input);
}

std::string ToolWorkspace::session(const std::vector<std::string>& lines) const {
    std::string input;
    for (const std::string& line : lines) {
        input += line + "\n";
    }
    return afterUsage(type(input).output);
}

std::string afterUsage(const std::string& output) {
    const std::string usage = usageOutput();
    EXPECT_EQ(output.substr(0, usage.size()), usage);
    return output.size() < usage.size() ? output : output.substr(usage.size());
}

}  // namespace testimg
