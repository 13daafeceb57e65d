// Copies between the host and the image stream: the buffer that stands in where the host
// cannot copy between two files itself gives the same bytes, and a copy takes no more
// memory for a larger file.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "support/host_tree.hpp"
#include "support/image_builder.hpp"
#include "support/in_process.hpp"
#include "support/run_tool.hpp"

using namespace testimg;

// The heap this test program holds, counted through its own operator new: what a run in
// the process takes on top is exactly what it allocates.
namespace {

size_t heapInUse = 0;
size_t heapPeak = 0;
constexpr size_t kHeader = alignof(std::max_align_t);

void* allocate(size_t size) noexcept {
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (block == nullptr) {
        return nullptr;
    }
    std::memcpy(block, &size, sizeof size);
    heapInUse += size;
    heapPeak = std::max(heapPeak, heapInUse);
    return block + kHeader;
}

void release(void* pointer) noexcept {
    if (pointer != nullptr) {
        auto* block = static_cast<unsigned char*>(pointer) - kHeader;
        size_t size = 0;
        std::memcpy(&size, block, sizeof size);
        heapInUse -= size;
        std::free(block);
    }
}

}  // namespace

void* operator new(size_t size) {
    void* pointer = allocate(size);
    if (pointer == nullptr) {
        throw std::bad_alloc();
    }
    return pointer;
}
void* operator new[](size_t size) {
    return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* pointer) noexcept {
    release(pointer);
}
void operator delete[](void* pointer) noexcept {
    release(pointer);
}
void operator delete(void* pointer, size_t) noexcept {
    release(pointer);
}
void operator delete[](void* pointer, size_t) noexcept {
    release(pointer);
}

namespace {

TEST(StreamedCopy, TheBufferGivesWhatTheHostsOwnCopyGives) {
    // Several of the buffer's blocks, ending inside a sector of a two-sector cluster.
    const std::vector<uint8_t> big = pattern(300007, 1);
    const std::vector<std::vector<std::string>> commands = {
        {"format", "size=2880"},          {"cp", "'big.bin", "BIG.BIN"},
        {"cp", "BIG.BIN", "'out.bin"},    {"cp", "-r", "'tree", "T"},
        {"cp", "-r", "T", "'outtree"},    {"mv", "'big.bin", "T\\MOVED.BIN"},
        {"cp", "T\\MOVED.BIN", "'moved"}, {"cp", "-r", "'tree", "'hosttree"}};
    struct Outcome {
        std::vector<uint8_t> image;
        uint32_t transfers = 0;
    };
    Outcome outcomes[2];
    for (const bool buffered : {false, true}) {
        SCOPED_TRACE(buffered ? "through the buffer" : "the host's own copy");
        TempDir dir;
        writeFile(dir.file("big.bin"), big);
        makeHostTree(dir.file("tree"), sampleTree());
        Outcome& outcome = outcomes[buffered ? 1 : 0];
        for (std::vector<std::string> command : commands) {
            for (std::string& word : command) {
                word = word[0] == '\'' ? "'" + dir.file(word.substr(1)) : word;
            }
            const fat12img::faults::Plan plan{fat12img::faults::Kind::None,
                                              fat12img::FileRole::Image, 0, buffered};
            const InProcessRun run = runInProcess(dir.file("fd.img"), command, plan);
            EXPECT_EQ(run.output, "") << command[0];
            outcome.transfers += run.counts.hostReads + run.counts.imageWrites +
                                 run.counts.imageReads + run.counts.hostWrites;
        }
        outcome.image = readFile(dir.file("fd.img"));
        EXPECT_EQ(readFile(dir.file("out.bin")), big);
        EXPECT_EQ(readFile(dir.file("moved")), big);
        for (const char* copy : {"outtree", "hosttree"}) {
            EXPECT_EQ(
                treeFilesDifference(readHostTree(dir.file(copy)), readHostTree(dir.file("tree"))),
                "")
                << copy;
        }
    }
    EXPECT_TRUE(outcomes[0].image == outcomes[1].image);
#if defined(__linux__)
    // The buffer moves 64 KiB a call where the host moves a run.
    EXPECT_GT(outcomes[1].transfers, outcomes[0].transfers);
#endif
}

TEST(StreamedCopy, MemoryDoesNotGrowWithTheFile) {
    TempDir dir;
    size_t peaks[2][2] = {};                     // cp in, cp out; per size
    const size_t sizes[2] = {1400000, 2800000};  // half and nearly all of a 2.88 MB floppy
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(sizes[i]);
        writeFile(dir.file("in.bin"), pattern(sizes[i], uint32_t(i + 1)));
        ASSERT_EQ(
            runInProcess(dir.file(std::to_string(i) + ".img"), {"format", "size=2880"}).output, "");
        const std::vector<std::string> copies[2] = {{"cp", "'" + dir.file("in.bin"), "F"},
                                                    {"cp", "F", "'" + dir.file("out.bin")}};
        for (int direction = 0; direction < 2; ++direction) {
            heapPeak = heapInUse;
            const size_t before = heapInUse;
            EXPECT_EQ(runInProcess(dir.file(std::to_string(i) + ".img"), copies[direction]).output,
                      "");
            peaks[direction][i] = heapPeak - before;
        }
        EXPECT_TRUE(readFile(dir.file("out.bin")) == pattern(sizes[i], uint32_t(i + 1)));
    }
    // A whole-file copy would take 1,400,000 bytes more for the larger file.
    EXPECT_LT(peaks[0][1], peaks[0][0] + 16 * 1024);
    EXPECT_LT(peaks[1][1], peaks[1][0] + 16 * 1024);
}

}  // namespace
