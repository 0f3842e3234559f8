// SPDX-License-Identifier: GPL-3.0-or-later
// A writer process for the settings kill test, changing settings through the
// real file-backed store (see SettingsChaosScript.hpp):
//
//   velorin-settings-chaos-writer first FILE
//     Routing and options, through the write-behind store the server uses.
//     Reads which step the file shows, prints "resuming after <t>", then runs
//     steps t+1, t+2, … (one every 200 µs, far faster than anyone changes
//     settings, so that most kills find changes still waiting for the writer)
//     until killed, printing "<step>" after each completed one. Each time a
//     batch reaches the file it prints "durable <step> <µs>": the last step
//     now on disk, and how long the oldest change of the batch waited for it.
//     Exits 3 when the file shows no state it could have left.
//   velorin-settings-chaos-writer second FILE
//     Other keys, from step 0. Prints "ready", then writes; "p" on standard
//     input pauses it after the step in progress, printing "paused <step>";
//     "r" resumes; end of input ends it.
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "SettingsChaosScript.hpp"
#include "core/WriteBehindSettingsStore.hpp"
#include "platform/qt/QSettingsStore.hpp"

namespace {

using namespace velorin::testing::settingschaos;

void say(const std::string& line) {
    const std::string text = line + "\n";
    [[maybe_unused]] const auto n = ::write(1, text.data(), text.size());
}

// The steps not yet known to be on disk, with the change count after each
// and when it finished; shared by the stepping thread and the store's writer.
class StepsInFlight {
public:
    void finished(std::int64_t step, std::uint64_t changesMade) {
        const std::lock_guard lock(mutex_);
        steps_.push_back({step, changesMade, Clock::now()});
    }
    // Called by the writer after a batch: reports the steps it carried.
    void persisted(std::uint64_t changesPersisted) {
        std::optional<Step> oldest;
        std::optional<Step> newest;
        {
            const std::lock_guard lock(mutex_);
            while (!steps_.empty() && steps_.front().changesMade <= changesPersisted) {
                if (!oldest) oldest = steps_.front();
                newest = steps_.front();
                steps_.pop_front();
            }
        }
        if (!newest) return;
        const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - oldest->at);
        say("durable " + std::to_string(newest->step) + " " + std::to_string(waited.count()));
    }

private:
    using Clock = std::chrono::steady_clock;
    struct Step {
        std::int64_t step;
        std::uint64_t changesMade;
        Clock::time_point at;
    };
    std::mutex mutex_;
    std::deque<Step> steps_;
};

int runFirst(const std::string& file) {
    velorin::QSettingsStore fileStore(file);
    StepsInFlight inFlight;
    velorin::WriteBehindSettingsStore store(
        fileStore, {.onPersisted = [steps = &inFlight](std::uint64_t n) { steps->persisted(n); }});
    velorin::MIDIRoutingStore routing(store);
    const auto shown = firstWriterStepShown(store);
    if (!shown) {
        say("inconsistent");
        return 3;
    }
    say("resuming after " + std::to_string(*shown));
    for (std::int64_t t = *shown + 1;; ++t) {
        applyFirstWriterStep(store, routing, t);
        inFlight.finished(t, store.changesMade());
        say(std::to_string(t));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

// Returns the command waiting on standard input ('\0' for none, 'q' at its end).
char pendingCommand(int timeoutMs) {
    pollfd p{0, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return '\0';
    char c = 0;
    return ::read(0, &c, 1) == 1 ? c : 'q';
}

int runSecond(const std::string& file) {
    velorin::QSettingsStore store(file);
    say("ready");
    std::int64_t done = -1;
    for (;;) {
        char command = pendingCommand(0);
        if (command == 'p') {
            say("paused " + std::to_string(done));
            while (command != 'r' && command != 'q') command = pendingCommand(-1);
        }
        if (command == 'q') return 0;
        applySecondWriterStep(store, done + 1);
        ++done;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "first") != 0 && std::strcmp(argv[1], "second") != 0)) {
        std::fprintf(stderr, "usage: velorin-settings-chaos-writer first|second FILE\n");
        return 2;
    }
    return std::strcmp(argv[1], "first") == 0 ? runFirst(argv[2]) : runSecond(argv[2]);
}
