#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The bodies of the fuzz targets, free of any libFuzzer dependency, so that the committed
// corpus can be replayed by an ordinary test program built with any compiler.
//
// Both bodies work in one private directory per process and reset the process-wide image
// state before and after each input: nothing one input does can reach the next.
namespace fat12img::fuzz {

// What a tour saw; the fuzz targets ignore it, the replay test checks it against what a
// seed was made to be.
struct TourReport {
    bool mounted = false;     // mountImage gave true
    bool imageMode = false;   // and a volume with a current directory came of it
    int directories = 0;      // directories found by the survey, the root included
    int files = 0;            // files found by the survey
    bool stateClean = false;  // no image, volume or directory was left behind
};

// The input is an image file of any length: mount it, list and enter every directory the
// survey finds (bounded), copy every file out, create, copy in, move and remove entries,
// move raw sectors both ways, and close.
TourReport runImageTour(const uint8_t* data, size_t size);

struct SessionReport {
    bool ran = false;  // false for an input that is refused before the shell runs
    bool stateClean = false;
};

// The input is what is typed at the prompt of an interactive run on a freshly formatted
// image. An input holding a '/' byte, or more than a few raw transfers, is refused (see
// command_session.cpp).
SessionReport runCommandSession(const uint8_t* data, size_t size);

// Sends the tool's standard output to /dev/null for the rest of the process; the fuzz
// targets call it once at start.
void silenceToolOutput();

// Sends standard output to /dev/null for the lifetime of the object and puts it back
// afterwards, for a program that has output of its own to keep.
class QuietStdout {
  public:
    QuietStdout();
    ~QuietStdout();
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

  private:
    int saved_ = -1;
};

// The private directory of this process, created on first use and removed at exit.
// Host files written by either body land here.
const std::string& workspaceDir();
// Removes everything inside the private directory.
void clearWorkspace();
// Writes a whole host file; false when it could not be written in full.
bool writeHostBytes(const std::string& path, const uint8_t* data, size_t size);

}  // namespace fat12img::fuzz
