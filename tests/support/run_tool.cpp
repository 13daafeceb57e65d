#include "support/run_tool.hpp"

#include <iconv.h>
#include <sys/wait.h>

#include <cstdio>
#include <stdexcept>

#include "support/image_builder.hpp"

namespace testimg {

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

ToolResult runShell(const std::string& commandLine) {
    ToolResult result;
    std::FILE* pipe = popen(commandLine.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("popen failed");
    }
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.output.append(buffer, n);
    }
    const int status = pclose(pipe);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

ToolResult runTool(const std::string& workingDirectory, const std::vector<std::string>& args,
                   const std::string& input) {
    TempDir scratch;
    const std::string inputPath = scratch.file("stdin");
    writeFile(inputPath, input);
    std::string command =
        "cd " + shellQuote(workingDirectory) + " && " + shellQuote(FAT12IMG_BINARY);
    for (const std::string& arg : args) {
        command += " " + shellQuote(arg);
    }
    command += " < " + shellQuote(inputPath);
    return runShell(command);
}

bool haveProgram(const std::string& name) {
    return runShell("command -v " + shellQuote(name) + " >/dev/null 2>&1").exitStatus == 0;
}

std::string sjis(const std::string& utf8) {
    return encodeUtf8As(utf8, "CP932");
}

std::string encodeUtf8As(const std::string& utf8, const char* encoding) {
    iconv_t cd = iconv_open(encoding, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        throw std::runtime_error("iconv_open failed");
    }
    std::string in = utf8;
    std::string out(in.size() * 2 + 8, '\0');
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (rc == size_t(-1)) {
        throw std::runtime_error("iconv failed for " + utf8);
    }
    out.resize(out.size() - outLeft);
    return out;
}

}  // namespace testimg
