#pragma once

#include <string>
#include <vector>

// Runs the built fat12img as a separate process.
namespace testimg {

struct ToolResult {
    std::string output;  // standard output, byte for byte
    int exitStatus = -1;
};

// Runs fat12img with `args` in `workingDirectory`, feeding `input` to its standard input.
ToolResult runTool(const std::string& workingDirectory, const std::vector<std::string>& args,
                   const std::string& input = "");

// Runs a shell command line (for peer tools such as mtools); gives its output and status.
ToolResult runShell(const std::string& commandLine);

// Whether a program is on the PATH.
bool haveProgram(const std::string& name);

// Converts UTF-8 text to the Shift_JIS bytes the tool prints (iconv, code page 932).
std::string sjis(const std::string& utf8);
// The same conversion into any iconv encoding; throws when the text cannot be held.
std::string encodeUtf8As(const std::string& utf8, const char* encoding);

// Quotes one argument for /bin/sh.
std::string shellQuote(const std::string& text);

}  // namespace testimg
