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
    // What a plan with `record` kept: the image writes and syncs, in order.
    std::vector<fat12img::faults::ImageEvent> imageEvents;
};

// Runs `fat12img options... image args...` (command-line mode) with the plan armed, then
// forgets all image state, as the end of a process would.
InProcessRun runInProcess(const std::string& image, const std::vector<std::string>& args,
                          const fat12img::faults::Plan& plan = {},
                          const std::vector<std::string>& options = {});
// The same in interactive mode, with `input` typed at the prompt.
InProcessRun runSessionInProcess(const std::string& image, const std::string& input,
                                 const fat12img::faults::Plan& plan = {},
                                 const std::vector<std::string>& options = {});

}  // namespace testimg
