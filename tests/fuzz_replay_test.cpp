// Replays the committed fuzz corpus and every crash input found so far through the bodies
// of the fuzz targets, built without libFuzzer. A sanitizer report ends the program, so
// under the sanitizer build any input that once crashed, or any seed that starts to, fails
// this test.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness.hpp"
#include "image/image_state.hpp"

// Under AddressSanitizer one allocation may not exceed what any image of these seeds can
// legitimately need, so an input that makes the tool ask for gigabytes fails here as it
// does under the fuzzer's memory limit, instead of passing slowly. ASAN_OPTIONS given in
// the environment still win.
extern "C" const char* __asan_default_options() {
    return "max_allocation_size_mb=512";
}

namespace {

namespace fs = std::filesystem;
using fat12img::fuzz::QuietStdout;

const fs::path kFuzzDir = fs::path(FAT12IMG_SOURCE_DIR) / "fuzz";

// Every regular file below dir except notes, in a fixed order.
std::vector<fs::path> inputsIn(const fs::path& dir) {
    std::vector<fs::path> found;
    std::error_code error;
    if (!fs::is_directory(dir, error)) {
        return found;
    }
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir, error)) {
        if (e.is_regular_file() && e.path().extension() != ".md") {
            found.push_back(e.path());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<uint8_t> bytesOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

fat12img::fuzz::TourReport tour(const fs::path& path) {
    const std::vector<uint8_t> bytes = bytesOf(path);
    QuietStdout quiet;
    return fat12img::fuzz::runImageTour(bytes.data(), bytes.size());
}

fat12img::fuzz::SessionReport session(const fs::path& path) {
    const std::vector<uint8_t> bytes = bytesOf(path);
    QuietStdout quiet;
    return fat12img::fuzz::runCommandSession(bytes.data(), bytes.size());
}

// The seed names say what each image was made to be (see fuzz/make_corpus.cpp); a seed
// that no longer is what its name says no longer tests what it was made for.
void checkSeedKind(const std::string& name, const fat12img::fuzz::TourReport& r) {
    if (startsWith(name, "ok-") || startsWith(name, "bad-")) {
        EXPECT_TRUE(r.mounted && r.imageMode) << name << " should mount a file system";
        EXPECT_GE(r.directories, 1) << name;
    } else if (startsWith(name, "bin-")) {
        EXPECT_TRUE(r.mounted) << name;
        EXPECT_FALSE(r.imageMode) << name << " should mount in binary mode";
    } else if (startsWith(name, "fail-")) {
        EXPECT_FALSE(r.mounted) << name << " should not mount";
    } else {
        ADD_FAILURE() << name << ": image seeds are named ok-, bad-, bin- or fail-";
    }
}

TEST(FuzzReplay, ImageCorpus) {
    const std::vector<fs::path> inputs = inputsIn(kFuzzDir / "corpus" / "image");
    // An empty or missing corpus must not pass as a replay of it.
    ASSERT_GE(inputs.size(), 40u);
    int withFiles = 0;
    int withSubdirectories = 0;
    for (const fs::path& path : inputs) {
        SCOPED_TRACE(path.string());
        const fat12img::fuzz::TourReport r = tour(path);
        EXPECT_TRUE(r.stateClean) << "the tour left image state behind";
        checkSeedKind(path.filename().string(), r);
        withFiles += r.files > 0 ? 1 : 0;
        withSubdirectories += r.directories > 1 ? 1 : 0;
    }
    // The survey must really reach into the seeds' trees.
    EXPECT_GE(withFiles, 20);
    EXPECT_GE(withSubdirectories, 20);
}

TEST(FuzzReplay, WellFormedSeedSurveyFindsTheWholeTree) {
    const fs::path seed = kFuzzDir / "corpus" / "image" / "ok-512-spc1";
    ASSERT_TRUE(fs::is_regular_file(seed));
    const fat12img::fuzz::TourReport r = tour(seed);
    ASSERT_TRUE(r.imageMode);
    // \, \SUB and \SUB\DEEP; HELLO.TXT, EMPTY, SUB\INNER.DAT and SUB\DEEP\LEAF.
    EXPECT_EQ(r.directories, 3);
    EXPECT_EQ(r.files, 4);
}

TEST(FuzzReplay, CommandCorpus) {
    const std::vector<fs::path> inputs = inputsIn(kFuzzDir / "corpus" / "commands");
    ASSERT_GE(inputs.size(), 15u);
    for (const fs::path& path : inputs) {
        SCOPED_TRACE(path.string());
        const fat12img::fuzz::SessionReport r = session(path);
        // A committed seed that the session refuses would test nothing.
        EXPECT_TRUE(r.ran) << "seed refused by the session";
        EXPECT_TRUE(r.stateClean) << "the session left image state behind";
    }
}

TEST(FuzzReplay, SessionRefusesHostPathsOutsideItsDirectory) {
    const std::string line = "read ../escaped.bin lba=0\n";
    QuietStdout quiet;
    const fat12img::fuzz::SessionReport r = fat12img::fuzz::runCommandSession(
        reinterpret_cast<const uint8_t*>(line.data()), line.size());
    EXPECT_FALSE(r.ran);
    EXPECT_FALSE(
        fs::exists(fs::path(fat12img::fuzz::workspaceDir()).parent_path() / "escaped.bin"));
}

TEST(FuzzReplay, SessionWorksInItsOwnDirectoryAndCleansUp) {
    const fs::path before = fs::current_path();
    const std::string line = "read here.bin lba=0\ncp 'a.txt A.TXT\n";
    {
        QuietStdout quiet;
        const fat12img::fuzz::SessionReport r = fat12img::fuzz::runCommandSession(
            reinterpret_cast<const uint8_t*>(line.data()), line.size());
        EXPECT_TRUE(r.ran);
        EXPECT_TRUE(r.stateClean);
    }
    EXPECT_EQ(fs::current_path(), before);
    EXPECT_FALSE(fs::exists(before / "here.bin"));
    EXPECT_TRUE(fs::is_empty(fat12img::fuzz::workspaceDir()));
}

TEST(FuzzReplay, CrashInputs) {
    // Crash inputs are kept by target: crashes/image/* and crashes/commands/*. None found
    // yet is fine; whatever is there must replay cleanly.
    const std::vector<fs::path> images = inputsIn(kFuzzDir / "crashes" / "image");
    const std::vector<fs::path> sessions = inputsIn(kFuzzDir / "crashes" / "commands");
    for (const fs::path& path : images) {
        SCOPED_TRACE(path.string());
        EXPECT_TRUE(tour(path).stateClean);
    }
    for (const fs::path& path : sessions) {
        SCOPED_TRACE(path.string());
        EXPECT_TRUE(session(path).stateClean);
    }
    // Nothing else may sit there unreplayed.
    const std::vector<fs::path> all = inputsIn(kFuzzDir / "crashes");
    EXPECT_EQ(all.size(), images.size() + sessions.size());
}

}  // namespace
