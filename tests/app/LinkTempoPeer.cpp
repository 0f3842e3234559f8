// SPDX-License-Identifier: GPL-3.0-or-later
// A real Link peer for the black-box clock test: joins the session (only where
// the loopback interface is the only network interface), and prints what it
// sees once a second, "peers N tempo T playing P", for at most SECONDS or
// until its parent process ends.
//
//   velorin-test-link-peer SECONDS
#include <ableton/Link.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <unistd.h>

#include "link/NetworkIsolation.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: velorin-test-link-peer SECONDS\n", stderr);
        return 2;
    }
    velorin::test::bringLoopbackUp();
    if (const auto refusal = velorin::test::isolationRefusal()) {
        std::fprintf(stderr, "not enabling Link: %s\n", refusal->c_str());
        return 77;
    }
    ableton::Link link(120.0);  // the tempo the server starts with
    link.enableStartStopSync(true);
    link.enable(true);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(std::atof(argv[1]));
    const pid_t parent = getppid();
    while (std::chrono::steady_clock::now() < end && getppid() == parent) {
        const auto state = link.captureAppSessionState();
        std::printf("peers %zu tempo %.1f playing %d\n", link.numPeers(), state.tempo(),
                    state.isPlaying() ? 1 : 0);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    link.enable(false);
    return 0;
}
