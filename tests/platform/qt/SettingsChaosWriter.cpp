// A writer process for the settings kill test, changing settings through the
// real file-backed store as fast as it can (see SettingsChaosScript.hpp):
//
//   velorin-settings-chaos-writer first FILE
//     Routing and options. Reads which step the file shows, prints
//     "resuming after <t>", then runs steps t+1, t+2, … until killed, printing
//     "<step>" after each completed one. Exits 3 when the file shows no state
//     it could have left.
//   velorin-settings-chaos-writer second FILE
//     Other keys, from step 0. Prints "ready", then writes; "p" on standard
//     input pauses it after the step in progress, printing "paused <step>";
//     "r" resumes; end of input ends it.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "SettingsChaosScript.hpp"
#include "platform/qt/QSettingsStore.hpp"

namespace {

using namespace velorin::testing::settingschaos;

void say(const std::string& line) {
    const std::string text = line + "\n";
    [[maybe_unused]] const auto n = ::write(1, text.data(), text.size());
}

int runFirst(const std::string& file) {
    velorin::QSettingsStore store(file);
    velorin::MIDIRoutingStore routing(store);
    const auto shown = firstWriterStepShown(store);
    if (!shown) {
        say("inconsistent");
        return 3;
    }
    say("resuming after " + std::to_string(*shown));
    for (std::int64_t t = *shown + 1;; ++t) {
        applyFirstWriterStep(store, routing, t);
        say(std::to_string(t));
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
