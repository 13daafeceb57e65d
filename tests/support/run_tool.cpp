#include "support/run_tool.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "support/image_builder.hpp"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <iconv.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace testimg {

namespace {

// What the tool said on its error stream reaches the test's own too, where the sanitizer
// reports of an instrumented build are looked for.
void forwardErrors(const std::string& errors) {
    std::fwrite(errors.data(), 1, errors.size(), stderr);
}

}  // namespace

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

#ifdef _WIN32

namespace {

// One argument as the C runtime's command-line parser splits it again: in double quotes,
// a quote escaped with a backslash, and backslashes doubled only where a quote follows.
std::string quoteArgument(const std::string& arg) {
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            quoted.append(backslashes * 2 + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

HANDLE openInheritable(const std::string& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE handle = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot open " + path);
    }
    return handle;
}

// The tool's standard output is in text mode on Windows, so every line end reaches us as
// CR LF. The tests compare against LF line ends: each CR LF becomes LF, and a bare LF
// (output that skipped text mode) is a failure of its own.
std::string fromConsoleLineEnds(const std::string& raw) {
    std::string text;
    text.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') {
            continue;
        }
        if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r')) {
            ADD_FAILURE() << "line end without CR at byte " << i << " of the tool's output";
        }
        text += raw[i];
    }
    return text;
}

}  // namespace

ToolResult runShell(const std::string& commandLine) {
    throw std::runtime_error("no POSIX shell on Windows for: " + commandLine);
}

ToolResult runTool(const std::string& workingDirectory, const std::vector<std::string>& args,
                   const std::string& input) {
    TempDir scratch;
    const std::string inputPath = scratch.file("stdin");
    const std::string outputPath = scratch.file("stdout");
    const std::string errorPath = scratch.file("stderr");
    writeFile(inputPath, input);
    std::string binary = FAT12IMG_BINARY;
    std::string commandLine = quoteArgument(binary);
    for (const std::string& arg : args) {
        commandLine += " " + quoteArgument(arg);
    }

    HANDLE in = openInheritable(inputPath, GENERIC_READ, OPEN_EXISTING);
    HANDLE out = openInheritable(outputPath, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE err = openInheritable(errorPath, GENERIC_WRITE, CREATE_ALWAYS);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessA(binary.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        0, nullptr, workingDirectory.c_str(), &startup, &process);
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    if (!started) {
        throw std::runtime_error("cannot start " + binary);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    ToolResult result;
    if (GetExitCodeProcess(process.hProcess, &exitCode)) {
        result.exitStatus = int(exitCode);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const std::vector<uint8_t> raw = readFile(outputPath);
    result.output = fromConsoleLineEnds(std::string(raw.begin(), raw.end()));
    const std::vector<uint8_t> rawErrors = readFile(errorPath);
    result.errors = fromConsoleLineEnds(std::string(rawErrors.begin(), rawErrors.end()));
    forwardErrors(result.errors);
    return result;
}

bool haveProgram(const std::string&) {
    // The peer tools (mtools, dosfstools) and the shell that runs them are POSIX programs.
    return false;
}

ToolResult runToolUnder(const std::string&, const std::vector<std::string>&, const ShellRun&) {
    throw std::runtime_error("no POSIX shell on Windows");
}

std::string whyNoUnprivilegedRuns() {
    return "no setpriv on Windows";
}

long peakMemoryKiB(const std::string&, const std::vector<std::string>&) {
    throw std::runtime_error("no wait4 on Windows");
}

std::string encodeUtf8As(const std::string& utf8, const char* encoding) {
    // Windows knows Shift_JIS as code page 932 only, under either name.
    const std::string name = encoding;
    if (name != "CP932" && name != "SHIFT_JIS") {
        throw std::runtime_error("no code page for " + name);
    }
    if (utf8.empty()) {
        return {};
    }
    const int wideLength = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                               int(utf8.size()), nullptr, 0);
    std::wstring wide(size_t(wideLength), L'\0');
    if (wideLength == 0 || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                               int(utf8.size()), wide.data(), wideLength) == 0) {
        throw std::runtime_error("not UTF-8: " + utf8);
    }
    BOOL lossy = FALSE;
    const int length = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength,
                                           nullptr, 0, nullptr, &lossy);
    std::string out(size_t(length), '\0');
    if (length == 0 ||
        WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength, out.data(), length,
                            nullptr, &lossy) == 0 ||
        lossy) {
        throw std::runtime_error("code page 932 cannot hold " + utf8);
    }
    return out;
}

std::string fromSjis(const std::string& bytes) {
    if (bytes.empty()) {
        return {};
    }
    const int wideLength =
        MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), nullptr, 0);
    std::wstring wide(size_t(wideLength), L'\0');
    if (wideLength == 0 || MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes.data(),
                                               int(bytes.size()), wide.data(), wideLength) == 0) {
        throw std::runtime_error("not Shift_JIS");
    }
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    std::string out(size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, out.data(), length, nullptr, nullptr);
    return out;
}

#else

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
    const std::string errorPath = scratch.file("stderr");
    writeFile(inputPath, input);
    std::string command =
        "cd " + shellQuote(workingDirectory) + " && " + shellQuote(FAT12IMG_BINARY);
    for (const std::string& arg : args) {
        command += " " + shellQuote(arg);
    }
    command += " < " + shellQuote(inputPath) + " 2> " + shellQuote(errorPath);
    ToolResult result = runShell(command);
    const std::vector<uint8_t> errors = readFile(errorPath);
    result.errors.assign(errors.begin(), errors.end());
    forwardErrors(result.errors);
    return result;
}

bool haveProgram(const std::string& name) {
    return runShell("command -v " + shellQuote(name) + " >/dev/null 2>&1").exitStatus == 0;
}

namespace {

const char kUnprivileged[] = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

}  // namespace

ToolResult runToolUnder(const std::string& dir, const std::vector<std::string>& args,
                        const ShellRun& how) {
    std::string command =
        "cd " + shellQuote(dir) + " && " + (how.before.empty() ? "" : how.before + " && ") +
        "exec timeout " + std::to_string(how.timeLimitSeconds) + " " +
        (how.unprivileged && geteuid() == 0 ? kUnprivileged : "") + shellQuote(FAT12IMG_BINARY);
    for (const std::string& a : args) {
        command += " " + shellQuote(a);
    }
    return runShell("bash -c " + shellQuote(command) + " </dev/null");
}

std::string whyNoUnprivilegedRuns() {
    if (geteuid() != 0) {
        return "";
    }
    if (!haveProgram("setpriv")) {
        return "setpriv is missing";
    }
    if (runShell(kUnprivileged + std::string("test -x ") + shellQuote(FAT12IMG_BINARY))
            .exitStatus != 0) {
        return "uid 65534 cannot reach the built tool";
    }
    return "";
}

long peakMemoryKiB(const std::string& dir, const std::vector<std::string>& args) {
    std::vector<std::string> words{FAT12IMG_BINARY};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int quiet = open("/dev/null", O_RDWR);
        dup2(quiet, STDIN_FILENO);
        dup2(quiet, STDOUT_FILENO);
        if (chdir(dir.c_str()) == 0) {
            execv(argv[0], argv.data());
        }
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        throw std::runtime_error("the run of fat12img failed");
    }
    return usage.ru_maxrss;
}

namespace {

std::string convert(const std::string& text, const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        throw std::runtime_error("iconv_open failed");
    }
    std::string in = text;
    std::string out(in.size() * 3 + 8, '\0');
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (rc == size_t(-1)) {
        throw std::runtime_error("iconv failed for " + text);
    }
    out.resize(out.size() - outLeft);
    return out;
}

}  // namespace

std::string encodeUtf8As(const std::string& utf8, const char* encoding) {
    return convert(utf8, encoding, "UTF-8");
}

std::string fromSjis(const std::string& bytes) {
    return convert(bytes, "UTF-8", "CP932");
}

#endif

std::string fsckFindings(const std::string& image, bool allowLostClusters) {
    const ToolResult r = runShell("fsck.fat -n " + shellQuote(image) + " 2>&1");
    std::istringstream lines(r.output);
    std::string findings;
    for (std::string l; std::getline(lines, l);) {
        const bool lost = l.rfind("FATs differ", 0) == 0 || l.rfind("  Using first FAT", 0) == 0 ||
                          l.rfind("Reclaimed ", 0) == 0;
        const bool expected =
            (allowLostClusters && lost) || l.empty() || l.rfind("fsck.fat ", 0) == 0 ||
            l.rfind("Label '' stored", 0) == 0 || l.rfind("  Auto-removing label", 0) == 0 ||
            l.rfind("Leaving filesystem unchanged", 0) == 0 || l.rfind(image, 0) == 0;
        if (!expected) {
            findings += l + "\n";
        }
    }
    return findings;
}

ToolResult runMtoolsShiftJis(const std::string& commandLine) {
    TempDir dir;
    writeFile(dir.file("mtoolsrc"), std::string("default_codepage=932\n"));
    return runShell("MTOOLSRC=" + shellQuote(dir.file("mtoolsrc")) +
                    " MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 " + commandLine + " 2>&1");
}

std::string sjis(const std::string& utf8) {
    return encodeUtf8As(utf8, "CP932");
}

}  // namespace testimg
