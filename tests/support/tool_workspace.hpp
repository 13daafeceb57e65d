#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/image_builder.hpp"
#include "support/run_tool.hpp"

// A scratch directory for runs of the built tool: the image file that every run is given
// and the host files of one test.
namespace testimg {

class ToolWorkspace {
  public:
    explicit ToolWorkspace(std::string imageName = "fd.img") : imageName_(std::move(imageName)) {}

    const std::string& path() const { return dir_.path(); }
    // A host file in the directory.
    std::string file(const std::string& name) const { return dir_.file(name); }
    std::string image() const { return dir_.file(imageName_); }
    void putImage(const std::vector<uint8_t>& bytes) const { writeFile(image(), bytes); }
    std::vector<uint8_t> imageBytes() const { return readFile(image()); }

    // `fat12img <image> args...`: one command in command-line mode, with `input` on its
    // standard input.
    ToolResult run(const std::vector<std::string>& args, const std::string& input = "") const;
    // `fat12img <image>` with `input` typed at the prompt.
    ToolResult type(const std::string& input) const;
    // The lines typed at the prompt, one a line; gives what the session printed after the
    // usage text, which must come first.
    std::string session(const std::vector<std::string>& lines) const;

  private:
    TempDir dir_;
    std::string imageName_;
};

// What an interactive session printed after the usage text; a failure when the output does
// not start with it.
std::string afterUsage(const std::string& output);

}  // namespace testimg
