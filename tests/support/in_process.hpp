#pragma once

#include <string>
#include <vector>

#include "platform/file_io.hpp"

// Runs the tool's shell inside the test process, where its transfers can be made to fail.
namespace testimg {

struct InProcessRun {
    std::string output;       // standard output, byte for byte
    std::string errorOutput;  // standard error
    fat12img::faults::Counts counts;
    bool faultFired = false;
};

// Runs `fat12img image args...` (command-line mode) with the plan armed, then forgets all
// image state, as the end of a process would.
InProcessRun runInProcess(const std::string& image, const std::vector<std::string>& args,
                          const fat12img::faults::Plan& plan = {});
// The same in interactive mode, with `input` typed at the prompt.
InProcessRun runSessionInProcess(const std::string& image, const std::string& input,
                                 const fat12img::faults::Plan& plan = {});

}  // namespace testimg
