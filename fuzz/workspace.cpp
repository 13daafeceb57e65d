#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "harness.hpp"

namespace fat12img::fuzz {

namespace {

// Inputs may ask for transfers of up to 32 MB per command (write lba=65535, read
// num=65535) and for any number of them. Capping every host file keeps one input from
// filling the disk or running for minutes; a write past the cap fails like a full disk,
// which the tool must handle anyway.
constexpr rlim_t kMaxHostFileBytes = 4u << 20;

std::string makeWorkspace() {
    std::string base;
    // Images are rewritten for every input and the tool flushes each sector it writes:
    // memory-backed storage keeps that cheap where there is some.
    std::error_code error;
    if (std::filesystem::is_directory("/dev/shm", error) && access("/dev/shm", W_OK) == 0) {
        base = "/dev/shm";
    } else if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0') {
        base = tmp;
    } else {
        base = "/tmp";
    }
    std::string pattern = base + "/fat12img-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("fat12img fuzz: mkdtemp");
        std::abort();
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 &&
        (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > kMaxHostFileBytes)) {
        limit.rlim_cur = kMaxHostFileBytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    // Past the cap a write must fail with EFBIG instead of killing the process.
    signal(SIGXFSZ, SIG_IGN);
    return pattern;
}

void removeWorkspace() {
    std::error_code error;
    std::filesystem::remove_all(workspaceDir(), error);
}

}  // namespace

const std::string& workspaceDir() {
    static const std::string dir = makeWorkspace();
    // Registered after dir is built, so it runs before dir is destroyed.
    static const bool registered = std::atexit(removeWorkspace) == 0;
    (void)registered;
    return dir;
}

void clearWorkspace() {
    std::error_code error;
    for (std::filesystem::directory_iterator it(workspaceDir(), error), end; !error && it != end;
         it.increment(error)) {
        std::error_code ignored;
        std::filesystem::remove_all(it->path(), ignored);
    }
}

bool writeHostBytes(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool whole = size == 0 || std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && whole;
}

void silenceToolOutput() {
    std::fflush(stdout);
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) {
        dup2(devNull, STDOUT_FILENO);
        close(devNull);
    }
}

QuietStdout::QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    silenceToolOutput();
}

QuietStdout::~QuietStdout() {
    std::fflush(stdout);
    if (saved_ >= 0) {
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
}

}  // namespace fat12img::fuzz
