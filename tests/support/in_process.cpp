#include "support/in_process.hpp"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "image/image_state.hpp"
#include "shell/shell.hpp"
#include "support/image_builder.hpp"

namespace testimg {

namespace {

// Sends standard output or standard error to a temporary file while it lives, and gives
// what was written.
class CapturedStream {
  public:
    // A named file in a directory of its own: the C runtime's tmpfile needs rights in the
    // root of the drive on some systems.
    CapturedStream(std::FILE* stream, int descriptor)
        : file_(std::fopen(dir_.file("captured").c_str(), "w+b")),
          stream_(stream),
          descriptor_(descriptor) {
        if (file_ == nullptr) {
            throw std::runtime_error("cannot create the file for a captured stream");
        }
        std::fflush(stream_);
        saved_ = dup(descriptor_);
        dup2(fileno(file_), descriptor_);
    }
    ~CapturedStream() {
        restore();
        std::fclose(file_);
    }
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;

    std::string text() {
        restore();
        std::string out;
        std::rewind(file_);
        char buffer[4096];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) {
            out.append(buffer, n);
        }
        return out;
    }

  private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(stream_);
            dup2(saved_, descriptor_);
            close(saved_);
            saved_ = -1;
        }
    }

    TempDir dir_;
    std::FILE* file_;
    std::FILE* stream_;
    int descriptor_;
    int saved_ = -1;
};

}  // namespace

namespace {

InProcessRun runShellWith(std::vector<std::string> words, std::FILE* input,
                          const fat12img::faults::Plan& plan) {
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    InProcessRun run;
    {
        CapturedStream captured(stdout, STDOUT_FILENO);
        CapturedStream errors(stderr, STDERR_FILENO);
        fat12img::faults::arm(plan);
        fat12img::runShell(static_cast<int>(words.size()), argv.data(), input);
        run.counts = fat12img::faults::counts();
        run.faultFired = fat12img::faults::fired();
        run.imageEvents = fat12img::faults::recordedImageEvents();
        fat12img::faults::disarm();
        run.output = captured.text();
        run.errorOutput = errors.text();
    }
    fat12img::resetImageState();
    return run;
}

}  // namespace

InProcessRun runInProcess(const std::string& image, const std::vector<std::string>& args,
                          const fat12img::faults::Plan& plan,
                          const std::vector<std::string>& options) {
    std::vector<std::string> words{"fat12img"};
    words.insert(words.end(), options.begin(), options.end());
    words.push_back(image);
    words.insert(words.end(), args.begin(), args.end());
    return runShellWith(words, stdin, plan);
}

InProcessRun runSessionInProcess(const std::string& image, const std::string& input,
                                 const fat12img::faults::Plan& plan,
                                 const std::vector<std::string>& options) {
    TempDir dir;
    writeFile(dir.file("stdin"), input);
    std::FILE* typed = std::fopen(dir.file("stdin").c_str(), "rb");
    if (typed == nullptr) {
        throw std::runtime_error("cannot open the typed input");
    }
    std::vector<std::string> words{"fat12img"};
    words.insert(words.end(), options.begin(), options.end());
    words.push_back(image);
    InProcessRun run = runShellWith(words, typed, plan);
    std::fclose(typed);
    return run;
}

}  // namespace testimg
