// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace velorin {

// A thread to raise: its kernel thread ID (for RealtimeKit, which works on
// thread IDs) and its pthread handle (for pthread_setschedparam). The thread
// must still be running when it is raised.
struct RealtimeThread {
    pid_t tid = 0;
    pthread_t handle{};

    // The calling thread. Another thread's values are its own current() handed over.
    static RealtimeThread current();
};

// Realtime scheduling for a thread that must keep time, the Linux way:
//
//  1. directly: SCHED_FIFO through pthread_setschedparam, which the kernel
//     allows when RLIMIT_RTPRIO covers the priority (the audio group's limits)
//     or the process has CAP_SYS_NICE. SCHED_RESET_ON_FORK keeps children of
//     the process (helpers it starts) at normal priority.
//  2. else RealtimeKit on the system bus (org.freedesktop.RealtimeKit1), which
//     grants realtime to a user's thread without privileges: the priority is
//     clamped to its MaxRealtimePriority, and the process's RLIMIT_RTTIME is
//     lowered to its RTTimeUSecMax first, as it requires (a realtime thread
//     that runs that long without blocking gets SIGXCPU, then SIGKILL).
//  3. else normal priority.
//
// The answer is a value saying which of these held and why the others did
// not; logLine() words it for the log. request() is thread-safe, works for
// any thread of this process, never throws, and waits for the bus at most
// `busTimeout` in all (connecting included), so a missing or hung bus cannot
// hold up start-up. The system bus is the one DBUS_SYSTEM_BUS_ADDRESS names,
// else the standard one.
struct RealtimePriority {
    enum class Method { direct, realtimeKit, none };

    // The engine thread's priority; the ALSA reader takes one above it.
    static constexpr int kDefaultPriority = 20;
    static constexpr std::chrono::milliseconds kDefaultBusTimeout{1000};

    Method method = Method::none;
    // The priority asked for, brought into SCHED_FIFO's range 1..99.
    int requested = 0;
    // The priority obtained; 0 at normal priority.
    int priority = 0;
    // The policy the kernel reports for the thread afterwards (SCHED_FIFO
    // directly, SCHED_RR through RealtimeKit), without SCHED_RESET_ON_FORK.
    int policy = 0;
    // The process's RLIMIT_RTPRIO (soft limit) when asked.
    std::uint64_t rtprioLimit = 0;
    // Why the direct way failed (empty when it worked), e.g. "RLIMIT_RTPRIO is 0".
    std::string directFailure;
    // Why RealtimeKit did not grant it (empty when it did or was not asked),
    // with the D-Bus error name or the errno text.
    std::string realtimeKitFailure;

    static RealtimePriority request(const RealtimeThread& thread, int priority = kDefaultPriority,
                                    std::chrono::milliseconds busTimeout = kDefaultBusTimeout) noexcept;

    // One log line for the outcome, e.g. "[MIDI] Realtime priority 20
    // (SCHED_FIFO) for the engine thread through RLIMIT_RTPRIO (95)";
    // `thread` names the thread ("the engine thread").
    std::string logLine(std::string_view thread) const;
};

}  // namespace velorin
