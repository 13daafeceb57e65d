// What a host crash or power cut may leave on the disk. The host's cache may put a run's
// writes on the disk in any order, except that a sync (--sync's barrier) puts everything
// before it there first. Each command's image writes and syncs are recorded, and the disk
// states a crash allows are rebuilt from them: everything before a sync, plus any subset of
// the 512-byte sectors written after it, for each sync in turn. With --sync every such state
// is the old tree, the new one (or the one between two operations of the command), plus at
// most lost clusters or a lagging FAT copy. Without it the states show what the README
// says a host crash may leave. A sync that fails is a failed write that is undone.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/expected_output.hpp"
#include "support/host_tree.hpp"
#include "support/image_builder.hpp"
#include "support/image_tree.hpp"
#include "support/in_process.hpp"
#include "support/run_tool.hpp"

namespace {

using fat12img::FileRole;
using fat12img::faults::ImageEvent;
using fat12img::faults::Kind;
using fat12img::faults::Plan;
using Command = std::vector<std::string>;

const std::vector<std::string> kSync = {"--sync"};
// The unit that a disk writes whole.
constexpr size_t kUnitBytes = 512;
// A phase of at most this many units has every subset built; a larger one a sample.
constexpr size_t kAllSubsetsUpTo = 10;
constexpr int kSampledSubsets = 200;

// What a crash state holds, beyond a sound tree.
enum class Damage {
    None,
    FreeClusters,  // an entry that reaches clusters the FAT marks free (or too few)
    NeverWritten,  // a tree that was never on the image: a file or table holding bytes
                   // never written to it (and whatever entries such a table seems to hold),
                   // or a directory emptied while its entry stays
};

struct CrashCase {
    const char* name;
    Command command;
    // Command lists from the set-up image to a tree between two operations of the command.
    std::vector<std::vector<Command>> stages;
    std::vector<std::string> failures;  // what the command may say when a sync fails
    // The barriers it needs with --sync, and what a host crash may leave without it.
    uint32_t syncs;
    std::set<Damage> withoutSync;
};

void PrintTo(const CrashCase& c, std::ostream* os) {
    *os << c.name;
}

const std::vector<std::pair<std::string, size_t>> kHostFiles = {
    {"small.bin", 700}, {"mid.bin", 5000}, {"big.bin", 21000}, {"junk.bin", 30000}};

// A root with room, a subdirectory whose one-cluster table is full (so that a new entry
// grows it), a file in pieces and a tree of two levels; the free clusters that new chains
// take first still hold a removed file's bytes, as on a used disk.
std::vector<Command> setupCommands() {
    std::vector<Command> setup = {{"mkdir", "SUB"},
                                  {"mkdir", "OTHER"},
                                  {"cp", "'small.bin", "HOLE"},
                                  {"cp", "'mid.bin", "KEEP"},
                                  {"cp", "'small.bin", "HOLE2"},
                                  {"rm", "HOLE"},
                                  {"rm", "HOLE2"},
                                  {"cp", "'big.bin", "OTHER\\DATA.BIN"},
                                  {"mkdir", "T\\X"},
                                  {"cp", "'mid.bin", "T\\A"},
                                  {"cp", "'small.bin", "T\\X\\B"},
                                  {"cp", "'junk.bin", "JUNK"}};
    // With its dot entries, the 16 slots of one cluster.
    for (int i = 0; i < 14; ++i) {
        setup.push_back({"touch", "SUB\\T" + std::to_string(i)});
    }
    setup.push_back({"rm", "JUNK"});
    return setup;
}

const std::vector<testimg::HostFile> kHostTree = {{"SMALL.BIN", testimg::pattern(700, 1)},
                                                  {"ZERO", {}},
                                                  {"EMPTY", {}, true},
                                                  {"SUB/MID.BIN", testimg::pattern(5000, 2)}};

const std::string kWriteFailed = testimg::consoleLine(u8"書き込みに失敗しました");
const std::string kRemoveFailed = testimg::consoleLine(u8"ファイルの削除に失敗しました");

const CrashCase kCases[] = {
    {"CpIn",
     {"cp", "'big.bin", "NEW.BIN"},
     {},
     {kWriteFailed},
     2,
     {Damage::NeverWritten, Damage::FreeClusters}},
    {"CpInGrowingATable",
     {"cp", "'mid.bin", "SUB\\NEW.BIN"},
     {},
     {kWriteFailed},
     3,
     {Damage::NeverWritten}},
    {"Mkdir",
     {"mkdir", "NEWDIR"},
     {},
     {testimg::consoleLine(u8"ディレクトリを作成できません")},
     2,
     {Damage::NeverWritten, Damage::FreeClusters}},
    {"TouchGrowingATable",
     {"touch", "SUB\\NEW.TXT"},
     {},
     {testimg::consoleLine(u8"ファイルを作成できません")},
     3,
     {Damage::NeverWritten}},
    {"Rm", {"rm", "OTHER\\DATA.BIN"}, {}, {kRemoveFailed}, 3, {Damage::FreeClusters}},
    {"RmdirOfATree",
     {"rmdir", "T"},
     {},
     {testimg::consoleLine(u8"ディレクトリの削除に失敗しました")},
     3,
     {Damage::FreeClusters, Damage::NeverWritten}},
    {"MvBetweenDirectories",
     {"mv", "OTHER\\DATA.BIN", "SUB\\MOVED.BIN"},
     {{{"cp", "OTHER\\DATA.BIN", "SUB\\MOVED.BIN"}}},
     {kWriteFailed, kRemoveFailed},
     6,
     {Damage::NeverWritten, Damage::FreeClusters}},
    {"CpTreeIn",
     {"cp", "-r", "'tree", "NEWTREE"},
     {},
     {kWriteFailed},
     2,
     {Damage::NeverWritten, Damage::FreeClusters}},
};

// The sectors written between two syncs, in the order they were written.
struct Unit {
    uint64_t offset;
    const uint8_t* bytes;
    size_t length;
};
using Phase = std::vector<Unit>;

// Phases split at the syncs; the last one holds what was written after the last sync.
std::vector<Phase> phasesOf(const std::vector<ImageEvent>& events) {
    std::vector<Phase> phases(1);
    for (const ImageEvent& e : events) {
        if (e.sync) {
            phases.emplace_back();
            continue;
        }
        for (size_t at = 0; at < e.bytes.size(); at += kUnitBytes) {
            phases.back().push_back(
                {e.offset + at, e.bytes.data() + at, std::min(kUnitBytes, e.bytes.size() - at)});
        }
    }
    return phases;
}

void apply(std::vector<uint8_t>& image, const Unit& unit) {
    if (image.size() < unit.offset + unit.length) {
        image.resize(unit.offset + unit.length);
    }
    std::copy_n(unit.bytes, unit.length, image.begin() + long(unit.offset));
}

// Which units of a phase of n reach the disk: every subset of a small phase; of a large
// one the empty and the whole set and a seeded sample of densities in between.
std::vector<std::vector<bool>> subsetsOf(size_t n, std::mt19937& random) {
    std::vector<std::vector<bool>> subsets;
    if (n <= kAllSubsetsUpTo) {
        for (uint32_t bits = 0; bits < (1u << n); ++bits) {
            std::vector<bool> chosen(n);
            for (size_t i = 0; i < n; ++i) {
                chosen[i] = ((bits >> i) & 1u) != 0;
            }
            subsets.push_back(chosen);
        }
        return subsets;
    }
    subsets.push_back(std::vector<bool>(n, false));
    subsets.push_back(std::vector<bool>(n, true));
    std::uniform_real_distribution<double> density(0.0, 1.0);
    for (int k = 0; k < kSampledSubsets; ++k) {
        std::bernoulli_distribution taken(density(random));
        std::vector<bool> chosen(n);
        for (size_t i = 0; i < n; ++i) {
            chosen[i] = taken(random);
        }
        subsets.push_back(chosen);
    }
    return subsets;
}

class CrashOrder : public ::testing::TestWithParam<CrashCase> {
  protected:
    void SetUp() override {
        for (size_t i = 0; i < kHostFiles.size(); ++i) {
            testimg::writeFile(host(kHostFiles[i].first),
                               testimg::pattern(kHostFiles[i].second, uint32_t(i + 1)));
        }
        testimg::makeHostTree(host("tree"), kHostTree);
        const std::vector<Command> setup = setupCommands();
        base_ = imageAfter(setup);
        allowed_.push_back(testimg::readTree(base_));
        ASSERT_TRUE(allowed_.back().problems.empty());
        for (const auto& stage : GetParam().stages) {
            std::vector<Command> commands = setup;
            commands.insert(commands.end(), stage.begin(), stage.end());
            allowed_.push_back(testimg::readTree(imageAfter(commands)));
        }
        testimg::writeFile(image(), base_);
    }

    std::string host(const std::string& name) const { return dir_.file(name); }
    std::string image() const { return dir_.file("disk.img"); }

    testimg::InProcessRun run(const Command& command, const Plan& plan = {},
                              const std::vector<std::string>& options = {}) {
        Command words;
        for (const std::string& word : command) {
            words.push_back(word[0] == '\'' ? "'" + host(word.substr(1)) : word);
        }
        return testimg::runInProcess(image(), words, plan, options);
    }

    std::vector<uint8_t> imageAfter(const std::vector<Command>& commands) {
        std::remove(image().c_str());
        for (const Command& c : commands) {
            EXPECT_EQ(run(c).output, "") << c[0];
        }
        return testimg::readFile(image());
    }

    // Runs the command on the set-up image with its writes recorded; the new tree joins
    // the allowed ones.
    std::vector<ImageEvent> recordCommand(const std::vector<std::string>& options) {
        testimg::writeFile(image(), base_);
        Plan recording;
        recording.record = true;
        const testimg::InProcessRun r = run(GetParam().command, recording, options);
        EXPECT_EQ(r.output, "");
        const std::vector<uint8_t> after = testimg::readFile(image());
        allowed_.push_back(testimg::readTree(after));
        // Every write was recorded: the recorded ones give the image the command left.
        std::vector<uint8_t> rebuilt = base_;
        for (const Phase& phase : phasesOf(r.imageEvents)) {
            for (const Unit& unit : phase) {
                apply(rebuilt, unit);
            }
        }
        EXPECT_TRUE(rebuilt == after) << "a write of the image was not recorded";
        return r.imageEvents;
    }

    Damage damageOf(const testimg::ImageTree& tree) const {
        for (const std::string& problem : tree.problems) {
            const bool unlinked = problem.find(" is free") != std::string::npos ||
                                  problem.find("size beyond its chain") != std::string::npos;
            if (!unlinked) {
                return Damage::NeverWritten;
            }
        }
        if (!tree.problems.empty()) {
            return Damage::FreeClusters;
        }
        for (const testimg::ImageTree& good : allowed_) {
            if (testimg::treeDifference(tree, good).empty()) {
                return Damage::None;
            }
        }
        return Damage::NeverWritten;
    }

    // Builds every crash state of the recorded run and calls `check` with each.
    template <typename Check>
    size_t forEachCrashState(const std::vector<ImageEvent>& events, Check check) {
        std::mt19937 random(20);
        std::vector<uint8_t> synced = base_;
        size_t built = 0;
        for (const Phase& phase : phasesOf(events)) {
            for (const std::vector<bool>& chosen : subsetsOf(phase.size(), random)) {
                std::vector<uint8_t> state = synced;
                for (size_t i = 0; i < phase.size(); ++i) {
                    if (chosen[i]) {
                        apply(state, phase[i]);
                    }
                }
                ++built;
                check(state);
            }
            for (const Unit& unit : phase) {
                apply(synced, unit);
            }
        }
        return built;
    }

    testimg::TempDir dir_;
    std::vector<uint8_t> base_;
    std::vector<testimg::ImageTree> allowed_;  // the old tree, the stages, the new tree
};

TEST_P(CrashOrder, WithSyncEveryCrashStateIsTheOldOrTheNewTree) {
    const std::vector<ImageEvent> events = recordCommand(kSync);
    const std::vector<Phase> phases = phasesOf(events);
    EXPECT_EQ(phases.size() - 1, GetParam().syncs) << "syncs of the command";
    // Before it reports success, everything it wrote is on the disk.
    EXPECT_TRUE(phases.back().empty());
    const bool haveFsck = testimg::haveProgram("fsck.fat");
    const std::string stateFile = dir_.file("state.img");
    size_t checked = 0;
    const size_t built = forEachCrashState(events, [&](const std::vector<uint8_t>& state) {
        const testimg::ImageTree tree = testimg::readTree(state);
        EXPECT_EQ(damageOf(tree), Damage::None)
            << (tree.problems.empty() ? "a tree that was never written" : tree.problems.front());
        if (haveFsck) {
            testimg::writeFile(stateFile, state);
            EXPECT_EQ(testimg::fsckFindings(stateFile, true), "");
            ++checked;
        }
    });
    std::cout << "[ crash states ] " << GetParam().name << " with --sync: " << GetParam().syncs
              << " syncs, " << built << " states built and read, " << checked
              << " checked by fsck.fat\n";
}

TEST_P(CrashOrder, WithoutSyncTheStatesAreTheOnesTheReadmeNames) {
    const std::vector<ImageEvent> events = recordCommand({});
    EXPECT_EQ(phasesOf(events).size(), 1u) << "a sync without --sync";
    std::set<Damage> seen;
    size_t damaged = 0;
    const size_t built = forEachCrashState(events, [&](const std::vector<uint8_t>& state) {
        const Damage damage = damageOf(testimg::readTree(state));
        damaged += damage == Damage::None ? 0 : 1;
        if (damage != Damage::None) {
            seen.insert(damage);
        }
    });
    EXPECT_EQ(seen, GetParam().withoutSync);
    std::cout << "[ crash states ] " << GetParam().name << " without --sync: " << built
              << " states built and read, " << damaged << " damaged\n";
}

TEST_P(CrashOrder, WithSyncAFailedSyncIsReportedAndUndone) {
    const bool haveFsck = testimg::haveProgram("fsck.fat");
    for (uint32_t at = 1; at <= GetParam().syncs; ++at) {
        SCOPED_TRACE(::testing::Message() << "sync " << at);
        testimg::writeFile(image(), base_);
        const testimg::InProcessRun r =
            run(GetParam().command, Plan{Kind::FailSync, FileRole::Image, at}, kSync);
        ASSERT_TRUE(r.faultFired);
        const auto& failures = GetParam().failures;
        EXPECT_NE(std::find(failures.begin(), failures.end(), r.output), failures.end())
            << "said: [" << testimg::fromSjis(r.output) << "]";
        // The old tree, or the one after the operations that completed before.
        const testimg::ImageTree tree = testimg::readTree(testimg::readFile(image()));
        EXPECT_TRUE(tree.problems.empty()) << tree.problems.front();
        const bool kept =
            std::any_of(allowed_.begin(), allowed_.end(), [&tree](const testimg::ImageTree& t) {
                return testimg::treeDifference(tree, t).empty();
            });
        EXPECT_TRUE(kept) << testimg::treeDifference(tree, allowed_.front());
        if (haveFsck) {
            EXPECT_EQ(testimg::fsckFindings(image()), "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, CrashOrder, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<CrashCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace

// format, write, boot and a new image wait once for the disk with --sync; a wait that
// fails is a failed write, and boot puts the old sector back.
TEST(CrashOrderOfRawCommands, WithSyncEachWaitsOnceAndAFailedWaitIsAFailedWrite) {
    testimg::TempDir dir;
    const std::string image = dir.file("disk.img");
    const std::string bootFile = dir.file("boot.bin");
    testimg::runInProcess(image, {"ls"});
    std::vector<uint8_t> boot = testimg::readFile(image);
    boot.resize(512);
    boot[100] ^= 0xFF;  // inside the boot code: boot has something to write
    testimg::writeFile(bootFile, boot);
    const Command commands[] = {{"format"}, {"boot", bootFile}, {"write", bootFile}, {}};
    for (const Command& command : commands) {
        SCOPED_TRACE(command.empty() ? "a new image" : command[0]);
        for (const bool fail : {true, false}) {
            if (command.empty()) {
                std::remove(image.c_str());
            }
            const std::vector<uint8_t> before =
                command.empty() ? std::vector<uint8_t>() : testimg::readFile(image);
            const Plan plan = fail ? Plan{Kind::FailSync, FileRole::Image, 1} : Plan{};
            const Command args = command.empty() ? Command{"ls"} : command;
            const testimg::InProcessRun r = testimg::runInProcess(image, args, plan, kSync);
            if (!fail) {
                EXPECT_EQ(r.counts.imageSyncs, 1u);
                EXPECT_TRUE(command.empty() || r.output.empty()) << testimg::fromSjis(r.output);
            } else if (command.empty()) {
                // No image is created: nothing of it takes the name.
                EXPECT_EQ(r.output, image + testimg::consoleLine(u8" の読み込みに失敗"));
                EXPECT_FALSE(std::filesystem::exists(image));
            } else {
                EXPECT_EQ(r.output, kWriteFailed);
                if (command[0] == "boot") {
                    EXPECT_TRUE(testimg::readFile(image) == before);
                }
            }
        }
    }
}
