// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file under SIGKILL: a writer process changing routing and
// options through the server's write-behind store, many times a millisecond,
// is killed at a random moment, again and again, while a second process
// changes other keys of the same file through the file store directly. After
// every kill the file loads and shows exactly the state after one of the
// killed writer's steps, no later than the one in progress and no earlier
// than the last one its writer reported on disk; a fresh writer reads that
// same state; the second writer's keys all hold its last values; and the
// second writer was never held up by a lock the killed one left behind. The
// run prints how long changes waited to reach the file (the window a kill can
// lose) and how many steps each kill lost.
// Rounds: VELORIN_CHAOS_ROUNDS (see ChaosRun.hpp).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QSettings>
#include <QString>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "SettingsChaosScript.hpp"
#include "platform/qt/QSettingsStore.hpp"
#include "support/ChaosRun.hpp"
#include "support/ChildProcess.hpp"

namespace velorin::testing {
namespace {

using namespace std::chrono_literals;
using namespace settingschaos;
using Clock = std::chrono::steady_clock;

// A private folder for the file, in memory when the machine offers one: writes
// there take microseconds, so the two writers overlap far more often than on a
// disk that syncs every write.
class ScratchFolder {
public:
    ScratchFolder() {
        const std::array<const char*, 3> bases{"/dev/shm", std::getenv("TMPDIR"), "/tmp"};
        for (const char* base : bases) {
            if (base == nullptr || ::access(base, W_OK) != 0) continue;
            std::string pattern = std::string(base) + "/velorin-settings-kill-XXXXXX";
            if (::mkdtemp(pattern.data()) != nullptr) {
                path_ = pattern;
                return;
            }
        }
    }
    ~ScratchFolder() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

constexpr std::string_view kDurable = "durable ";

std::int64_t numberAfter(const std::string& line, std::string_view prefix) {
    return std::strtoll(line.c_str() + prefix.size(), nullptr, 10);
}

// Files beside the settings file other than its write lock and the writers'
// logs: what a writer killed in the middle of saving left behind.
std::vector<std::string> strayFiles(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name != "settings.conf" && name != "settings.conf.writelock" && !name.ends_with(".log"))
            names.push_back(name);
    }
    return names;
}

TEST(QSettingsStoreKill, AKilledWriterLeavesALoadableFileAndTheOtherWriterLosesNothing) {
    const std::string writer =
        chaosHelperProgram("VELORIN_SETTINGS_CHAOS_WRITER", "velorin-settings-chaos-writer");
    ASSERT_FALSE(writer.empty()) << "velorin-settings-chaos-writer not found";
    const std::size_t rounds = chaosRounds(10);
    const std::uint64_t seed = chaosSeed();
    std::mt19937_64 random(seed);
    ScratchFolder folder;
    ASSERT_FALSE(folder.path().empty());
    const std::string file = (folder.path() / "settings.conf").string();
    std::printf("[settings kill] %zu kills, seed %llu, file %s\n", rounds,
                static_cast<unsigned long long>(seed), file.c_str());

    ChildProcess second({writer, "second", file}, (folder.path() / "second.log").string());
    ASSERT_TRUE(second.nextLine("ready", 10s));

    std::int64_t shownBefore = -1;  // the step the file showed after the previous kill
    std::int64_t firstSteps = 0;
    std::int64_t secondSteps = -1;
    std::vector<Clock::duration> pauseWaits;
    std::vector<Clock::duration> diskWindows;  // from a change to its batch reaching the file
    std::vector<std::int64_t> stepsLost;       // finished steps the file did not show after a kill
    const auto started = Clock::now();
    for (std::size_t round = 1; round <= rounds; ++round) {
        SCOPED_TRACE("kill " + std::to_string(round));
        ChildProcess first({writer, "first", file});
        const auto resumed = first.nextLine("resuming after ", 10s);
        ASSERT_TRUE(resumed) << first.drain();
        // A fresh writer reads exactly the state the check below read last time.
        ASSERT_EQ(numberAfter(*resumed, "resuming after "), shownBefore);

        std::int64_t finished = shownBefore;  // the last step the killed writer reported done
        std::int64_t durable = shownBefore;   // the last step it reported on disk
        auto take = [&](const std::string& line) {
            if (line.starts_with(kDurable)) {
                char* end = nullptr;
                durable = std::strtoll(line.c_str() + kDurable.size(), &end, 10);
                diskWindows.push_back(std::chrono::microseconds(std::strtoll(end, nullptr, 10)));
            } else {
                finished = std::strtoll(line.c_str(), nullptr, 10);
            }
        };
        // After a random number of the writer's steps, up to a few times what fits
        // in its coalescing window, so that kills land before its first batch,
        // between batches and while one is written. Counted in steps, not timed:
        // a loaded machine slows the writer down but moves no kill before its batches.
        const auto stepsBeforeKill = std::uniform_int_distribution<std::int64_t>(0, 1000)(random);
        while (finished - shownBefore < stepsBeforeKill) {
            const auto line = first.nextLine("", 30s);
            ASSERT_TRUE(line) << "the writer stopped stepping after step " << finished;
            take(*line);
        }
        first.kill(SIGKILL);
        while (const auto line = first.nextLine("", 0ms)) take(*line);

        const auto pausedAt = Clock::now();
        ASSERT_TRUE(second.write("p"));
        const auto paused = second.nextLine("paused ", 60s);
        ASSERT_TRUE(paused);
        pauseWaits.push_back(Clock::now() - pausedAt);
        secondSteps = numberAfter(*paused, "paused ");

        // Checked on a copy: this process's own QSettings would trust what it
        // read of the file before if the size and timestamp looked the same.
        const std::string copy = (folder.path() / ("check-" + std::to_string(round) + ".conf")).string();
        std::filesystem::copy_file(file, copy);
        {
            QSettings raw(QString::fromStdString(copy), QSettings::IniFormat);
            EXPECT_EQ(raw.status(), QSettings::NoError);
            QSettingsStore loaded(copy);
            const auto shown = firstWriterStepShown(loaded);
            ASSERT_TRUE(shown) << "the file shows no state the killed writer ever left";
            EXPECT_GE(*shown, durable) << "a step the killed writer reported on disk is lost";
            EXPECT_LE(*shown, finished + 1);
            stepsLost.push_back(std::max<std::int64_t>(0, finished - *shown));
            const auto lost = secondWriterKeysLost(loaded, secondSteps);
            EXPECT_TRUE(lost.empty()) << "the second writer lost " << ::testing::PrintToString(lost)
                                      << " after its step " << secondSteps;
            firstSteps += *shown - shownBefore;
            shownBefore = *shown;
        }
        std::filesystem::remove(copy);
        ASSERT_TRUE(second.write("r"));
        if (::testing::Test::HasFailure()) break;
    }
    second.closeInput();
    EXPECT_EQ(second.waitForExit(10s), 0);

    const auto strays = strayFiles(folder.path());
    const auto waits = summarize(pauseWaits);
    const auto windows = summarize(diskWindows);
    std::sort(stepsLost.begin(), stepsLost.end());
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf(
        "[settings kill] %zu kills in %.1f s: killed writer finished %lld steps in all, second writer %lld; "
        "second writer paused within: %s; stray files left beside the settings: %zu; load %s\n",
        rounds, seconds, static_cast<long long>(firstSteps), static_cast<long long>(secondSteps + 1),
        describe(waits).c_str(), strays.size(), loadAverages().c_str());
    std::printf(
        "[settings kill] change to disk (oldest change of each batch written): %s; finished steps lost per "
        "kill: median %lld, max %lld\n",
        describe(windows).c_str(),
        static_cast<long long>(stepsLost.empty() ? 0 : stepsLost[stepsLost.size() / 2]),
        static_cast<long long>(stepsLost.empty() ? 0 : stepsLost.back()));
    std::fflush(stdout);
    // The writer did write behind: batches reached the file while it ran.
    EXPECT_FALSE(diskWindows.empty());
    // A lock file left by a killed writer holds the next one up for 30 s unless it is cleared.
    EXPECT_LT(waits.maxMs, 5000.0);
}

}  // namespace
}  // namespace velorin::testing
