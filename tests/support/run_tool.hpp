#pragma once

#include <string>
#include <vector>

// Runs the built fat12img as a separate process.
namespace testimg {

struct ToolResult {
    std::string output;  // standard output, byte for byte
    std::string errors;  // standard error of runTool, byte for byte (runShell leaves it alone)
    int exitStatus = -1;
};

// Runs fat12img with `args` in `workingDirectory`, feeding `input` to its standard input.
// On Windows the tool's CR LF line ends come back as LF (a bare LF fails the test).
ToolResult runTool(const std::string& workingDirectory, const std::vector<std::string>& args,
                   const std::string& input = "");

// Runs a shell command line (for peer tools such as mtools); gives its output and status.
// POSIX only: on Windows it throws, and haveProgram is false for every program.
ToolResult runShell(const std::string& commandLine);

// What fsck.fat -n finds in `image` beyond its banner, its summary and the empty label in
// the boot sector (which every image that format writes has); with `allowLostClusters`,
// unused clusters and a FAT copy that lags behind are no finding either. POSIX only.
std::string fsckFindings(const std::string& image, bool allowLostClusters = false);

// Runs an mtools command line (say "mdir -/ -b -i fd.img ::") that reads and writes names
// in code page 932, with its arguments and output in UTF-8; gives its output (standard
// error included) and status. POSIX only.
ToolResult runMtoolsShiftJis(const std::string& commandLine);

// Whether a program is on the PATH.
bool haveProgram(const std::string& name);

// How runToolUnder sets up a run of fat12img under the POSIX shell.
struct ShellRun {
    std::string before;         // shell commands run first, such as "ulimit -f 100"
    bool unprivileged = false;  // as uid 65534 (through setpriv) when the tests run as root
    int timeLimitSeconds = 30;  // a run that hangs is stopped (exit status 124)
};
// Runs fat12img with `args` in `dir`, standard input empty. POSIX only.
ToolResult runToolUnder(const std::string& dir, const std::vector<std::string>& args,
                        const ShellRun& how);
// Why runs cannot be unprivileged here; empty when they can (as root with setpriv, or
// when the tests run unprivileged already). The run's directory must be open to them.
std::string whyNoUnprivilegedRuns();
// The peak resident memory of one run of fat12img with `args` in `dir`, in KiB, as the
// host accounts it to the child (wait4). POSIX only.
long peakMemoryKiB(const std::string& dir, const std::vector<std::string>& args);

// Converts UTF-8 text to the Shift_JIS bytes the tool prints (iconv, code page 932).
std::string sjis(const std::string& utf8);
// The same conversion into any iconv encoding (on Windows: CP932 and SHIFT_JIS, both code
// page 932); throws when the text cannot be held.
std::string encodeUtf8As(const std::string& utf8, const char* encoding);

// The reverse: Shift_JIS bytes as UTF-8 text; throws on bytes that are no Shift_JIS.
std::string fromSjis(const std::string& bytes);

// Quotes one argument for /bin/sh.
std::string shellQuote(const std::string& text);

}  // namespace testimg
