// SPDX-License-Identifier: GPL-3.0-or-later
// A minimal MIDI clock program on the ALSA sequencer, written directly against
// libasound, for the black-box clock test and its figures.
//
//   velorin-test-alsa-clock send CLIENT:PORT BPM SECONDS [start]
//       Sends clock ticks (and Start before the first, with "start") straight
//       to the port and to the subscribers of its own port "Clock Peer
//       Send:0" (only to those with "-" for CLIENT:PORT), each at its
//       absolute time on the monotonic clock, from half a second after it starts.
//   velorin-test-alsa-clock send-queued - BPM SECONDS
//       The same ticks to its subscribers ("Clock Peer Queue:0"), each put on
//       a sequencer queue 5 ms ahead, stamped with its real time: the kernel
//       delivers it, whatever this program does then.
//   velorin-test-alsa-clock listen CLIENT:PORT SECONDS
//       Subscribes to the port and prints what arrived in SECONDS: ticks per
//       second, Start/Stop counts, and the tick intervals' deviation from
//       their median (p50/p99/max, µs) as arrival times on the monotonic clock.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void sleepUntil(double seconds) {
    timespec until{static_cast<time_t>(seconds), static_cast<long>((seconds - std::floor(seconds)) * 1e9)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

int fail(const char* what, int status) {
    std::fprintf(stderr, "%s: %s\n", what, snd_strerror(status));
    return 1;
}

int send(snd_seq_t* seq, std::optional<snd_seq_addr_t> target, double bpm, double seconds, bool withStart) {
    const int port =
        snd_seq_create_simple_port(seq, "Clock Out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                   SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0) return fail("create port", port);
    auto emit = [&](snd_seq_event_type_t type) {
        snd_seq_event_t event{};
        snd_seq_ev_clear(&event);
        event.type = type;
        event.source.port = static_cast<unsigned char>(port);
        snd_seq_ev_set_direct(&event);
        if (target) {
            snd_seq_ev_set_dest(&event, target->client, target->port);
            const int status = snd_seq_event_output_direct(seq, &event);
            if (status < 0) return status;
        }
        snd_seq_ev_set_subs(&event);
        return snd_seq_event_output_direct(seq, &event);
    };
    const double interval = 60.0 / bpm / 24.0;
    const double t0 = monotonicSeconds() + 0.5;
    const auto ticks = static_cast<long>(seconds / interval);
    for (long n = 0; n < ticks; ++n) {
        sleepUntil(t0 + static_cast<double>(n) * interval);
        if (n == 0 && withStart) {
            if (const int status = emit(SND_SEQ_EVENT_START); status < 0) return fail("send start", status);
        }
        if (const int status = emit(SND_SEQ_EVENT_CLOCK); status < 0) return fail("send clock", status);
    }
    return 0;
}

int sendQueued(snd_seq_t* seq, double bpm, double seconds) {
    const int port =
        snd_seq_create_simple_port(seq, "Clock Out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                   SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0) return fail("create port", port);
    const int queue = snd_seq_alloc_named_queue(seq, "Clock Peer");
    if (queue < 0) return fail("allocate queue", queue);
    if (const int status = snd_seq_start_queue(seq, queue, nullptr); status < 0)
        return fail("start queue", status);
    snd_seq_drain_output(seq);
    const double queueStart = monotonicSeconds();  // the queue's real time 0, near enough
    const double interval = 60.0 / bpm / 24.0;
    const double t0 = queueStart + 0.5;
    const auto ticks = static_cast<long>(seconds / interval);
    for (long n = 0; n < ticks; ++n) {
        const double at = t0 + static_cast<double>(n) * interval;
        sleepUntil(at - 0.005);
        const double sinceStart = at - queueStart;
        snd_seq_real_time_t time{static_cast<unsigned int>(sinceStart),
                                 static_cast<unsigned int>((sinceStart - std::floor(sinceStart)) * 1e9)};
        snd_seq_event_t event{};
        snd_seq_ev_clear(&event);
        event.type = SND_SEQ_EVENT_CLOCK;
        event.source.port = static_cast<unsigned char>(port);
        snd_seq_ev_set_subs(&event);
        // What snd_seq_ev_schedule_real() sets, written out (its macro trips -Wconversion).
        event.flags =
            static_cast<unsigned char>(event.flags | SND_SEQ_TIME_STAMP_REAL | SND_SEQ_TIME_MODE_ABS);
        event.time.time = time;
        event.queue = static_cast<unsigned char>(queue);
        if (const int status = snd_seq_event_output_direct(seq, &event); status < 0)
            return fail("queue clock", status);
    }
    sleepUntil(t0 + static_cast<double>(ticks) * interval + 0.05);
    snd_seq_free_queue(seq, queue);
    return 0;
}

int listen(snd_seq_t* seq, const snd_seq_addr_t& source, double seconds) {
    const int port =
        snd_seq_create_simple_port(seq, "Clock In", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                   SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0) return fail("create port", port);
    if (const int status = snd_seq_connect_from(seq, port, source.client, source.port); status < 0)
        return fail("subscribe", status);
    snd_seq_nonblock(seq, 1);
    std::vector<pollfd> fds(static_cast<std::size_t>(snd_seq_poll_descriptors_count(seq, POLLIN)));
    snd_seq_poll_descriptors(seq, fds.data(), static_cast<unsigned int>(fds.size()), POLLIN);
    std::vector<double> ticks;
    int starts = 0;
    int stops = 0;
    const double end = monotonicSeconds() + seconds;
    while (monotonicSeconds() < end) {
        const int wait = static_cast<int>(std::max(1.0, (end - monotonicSeconds()) * 1000.0));
        if (poll(fds.data(), fds.size(), wait) <= 0) continue;
        snd_seq_event_t* event = nullptr;
        while (snd_seq_event_input(seq, &event) >= 0 && event != nullptr) {
            const double at = monotonicSeconds();
            if (event->type == SND_SEQ_EVENT_CLOCK) ticks.push_back(at);
            if (event->type == SND_SEQ_EVENT_START) ++starts;
            if (event->type == SND_SEQ_EVENT_STOP) ++stops;
        }
    }
    std::vector<double> intervals;
    for (std::size_t i = 1; i < ticks.size(); ++i) intervals.push_back(ticks[i] - ticks[i - 1]);
    double median = 0;
    std::vector<double> deviations;
    if (!intervals.empty()) {
        std::vector<double> sorted = intervals;
        std::sort(sorted.begin(), sorted.end());
        median = sorted[sorted.size() / 2];
        for (const double d : intervals) deviations.push_back(std::abs(d - median) * 1e6);
        std::sort(deviations.begin(), deviations.end());
    }
    auto rank = [&](double p) {
        if (deviations.empty()) return 0.0;
        const auto index = static_cast<std::size_t>(std::ceil(p * static_cast<double>(deviations.size())));
        return deviations[std::max<std::size_t>(index, 1) - 1];
    };
    const double span = ticks.size() > 1 ? ticks.back() - ticks.front() : 0;
    std::printf(
        "ticks %zu starts %d stops %d ticks_per_second %.2f median_interval_ms %.3f "
        "deviation_p50_us %.0f deviation_p99_us %.0f deviation_max_us %.0f\n",
        ticks.size(), starts, stops, span > 0 ? static_cast<double>(ticks.size() - 1) / span : 0.0,
        median * 1e3, rank(0.5), rank(0.99), deviations.empty() ? 0.0 : deviations.back());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fputs(
            "usage: velorin-test-alsa-clock send CLIENT:PORT BPM SECONDS [start] | listen CLIENT:PORT "
            "SECONDS\n",
            stderr);
        return 2;
    }
    const std::string mode = argv[1];
    snd_seq_t* seq = nullptr;
    if (const int status = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0); status < 0)
        return fail("open sequencer", status);
    snd_seq_set_client_name(seq, mode == "send"          ? "Clock Peer Send"
                                 : mode == "send-queued" ? "Clock Peer Queue"
                                                         : "Clock Peer Listen");
    std::optional<snd_seq_addr_t> address;
    if (std::string(argv[2]) != "-") {
        address.emplace();
        if (const int status = snd_seq_parse_address(seq, &*address, argv[2]); status < 0)
            return fail("parse address", status);
    } else if (mode != "send" && mode != "send-queued") {
        return 2;
    }
    int result = 2;
    if (mode == "send" && argc >= 5) {
        result = send(seq, address, std::atof(argv[3]), std::atof(argv[4]),
                      argc >= 6 && std::string(argv[5]) == "start");
    } else if (mode == "send-queued" && argc >= 5) {
        result = sendQueued(seq, std::atof(argv[3]), std::atof(argv[4]));
    } else if (mode == "listen") {
        result = listen(seq, *address, std::atof(argv[3]));
    }
    snd_seq_close(seq);
    return result;
}
