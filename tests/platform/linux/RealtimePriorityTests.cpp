// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/RealtimePriority.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <future>
#include <thread>

#include "support/ChildProcess.hpp"

namespace velorin {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

// RealtimeKit on the private bus, served while serve() runs: answers its two
// properties, records each MakeThreadRealtimeWithPID with the caller's
// RLIMIT_RTTIME at that moment, and grants it with SCHED_RR as the real one
// does (needs root), or refuses.
class FakeRealtimeKit {
public:
    struct Call {
        std::uint64_t pid = 0, tid = 0;
        std::uint32_t priority = 0;
        rlimit rttime{};
    };
    static constexpr std::int64_t kRTTimeUSecMax = 200'000;

    FakeRealtimeKit(const std::string& address, std::int32_t maxPriority, bool refuse)
        : maxPriority_(maxPriority), refuse_(refuse) {
        sd_bus_new(&bus_);
        sd_bus_set_address(bus_, address.c_str());
        sd_bus_set_bus_client(bus_, 1);
        EXPECT_TRUE(sd_bus_start(bus_) >= 0 &&
                    sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/RealtimeKit1",
                                             "org.freedesktop.RealtimeKit1", kVtable, this) >= 0 &&
                    sd_bus_request_name(bus_, "org.freedesktop.RealtimeKit1", 0) >= 0)
            << "the fake RealtimeKit is not on the bus";
    }
    ~FakeRealtimeKit() { sd_bus_flush_close_unref(bus_); }
    void serve() {
        if (sd_bus_process(bus_, nullptr) == 0) sd_bus_wait(bus_, 10'000);
    }

    std::vector<Call> calls;

private:
    static int property(sd_bus*, const char*, const char*, const char* name, sd_bus_message* reply,
                        void* self, sd_bus_error*) {
        if (std::string_view(name) == "RTTimeUSecMax")
            return sd_bus_message_append(reply, "x", kRTTimeUSecMax);
        return sd_bus_message_append(reply, "i", static_cast<FakeRealtimeKit*>(self)->maxPriority_);
    }
    static int makeRealtime(sd_bus_message* message, void* self, sd_bus_error* error) {
        auto& fake = *static_cast<FakeRealtimeKit*>(self);
        Call call;
        sd_bus_message_read(message, "ttu", &call.pid, &call.tid, &call.priority);
        ::prlimit(static_cast<pid_t>(call.pid), RLIMIT_RTTIME, nullptr, &call.rttime);
        fake.calls.push_back(call);
        if (fake.refuse_) return sd_bus_error_set(error, "org.freedesktop.DBus.Error.AccessDenied", "test");
        sched_param param{};
        param.sched_priority = static_cast<int>(call.priority);
        if (::sched_setscheduler(static_cast<pid_t>(call.tid), SCHED_RR | SCHED_RESET_ON_FORK, &param) != 0) {
            return sd_bus_error_set_errno(error, errno);
        }
        return sd_bus_reply_method_return(message, "");
    }
    static const sd_bus_vtable kVtable[];

    sd_bus* bus_ = nullptr;
    std::int32_t maxPriority_;
    bool refuse_;
};

const sd_bus_vtable FakeRealtimeKit::kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("MaxRealtimePriority", "i", property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("RTTimeUSecMax", "x", property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("MakeThreadRealtimeWithPID", "ttu", "", makeRealtime, 0), SD_BUS_VTABLE_END};

// What a forked child saw of its request for a second thread of its own
// (in memory shared with the parent).
struct ChildOutcome {
    char line[512];    // the outcome's log line, or "setup: " and why the child could not set itself up
    int kernelPolicy;  // the thread's afterwards, SCHED_RESET_ON_FORK included
    pid_t pid, tid;
    long long tookMs;
};

// Gives up CAP_SYS_NICE, so that RLIMIT_RTPRIO alone decides, as for a user.
bool dropSysNice() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2]{};
    if (::syscall(SYS_capget, &header, caps) != 0) return false;
    caps[0].effective &= ~CAP_TO_MASK(CAP_SYS_NICE);
    caps[0].permitted &= ~CAP_TO_MASK(CAP_SYS_NICE);
    caps[0].inheritable &= ~CAP_TO_MASK(CAP_SYS_NICE);
    return ::syscall(SYS_capset, &header, caps) == 0;
}

// A forked child sets its RLIMIT_RTPRIO (soft and hard) to `rtprio`, drops
// CAP_SYS_NICE when asked, and requests priority 20 for a second thread with
// `busAddress` as the system bus, while `rtkit` (if any) is served here.
ChildOutcome requestInChild(rlim_t rtprio, bool dropNice, const std::string& busAddress,
                            FakeRealtimeKit* rtkit = nullptr) {
    void* memory =
        ::mmap(nullptr, sizeof(ChildOutcome), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    auto& shared = *static_cast<ChildOutcome*>(memory);
    shared = ChildOutcome{};
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit limit{rtprio, rtprio};
        if (::setrlimit(RLIMIT_RTPRIO, &limit) != 0) {
            std::snprintf(shared.line, sizeof shared.line,
                          "setup: RLIMIT_RTPRIO cannot be raised to %lu here", rtprio);
        } else if (dropNice && !dropSysNice()) {
            std::snprintf(shared.line, sizeof shared.line, "setup: CAP_SYS_NICE cannot be dropped here");
        } else {
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress.c_str(), 1);
            std::promise<RealtimeThread> started;
            std::promise<void> done;
            std::thread worker([&] {
                started.set_value(RealtimeThread::current());
                done.get_future().wait();
            });
            const RealtimeThread target = started.get_future().get();
            const auto begin = std::chrono::steady_clock::now();
            const std::string line = RealtimePriority::request(target, 20).logLine("the worker");
            shared.tookMs = (std::chrono::steady_clock::now() - begin) / 1ms;
            line.copy(shared.line, sizeof shared.line - 1);
            shared.kernelPolicy = ::sched_getscheduler(target.tid);
            shared.pid = ::getpid();
            shared.tid = target.tid;
            done.set_value();
            worker.join();
        }
        ::_exit(0);
    }
    while (::waitpid(child, nullptr, rtkit != nullptr ? WNOHANG : 0) == 0) rtkit->serve();
    const ChildOutcome outcome = shared;
    ::munmap(memory, sizeof(ChildOutcome));
    return outcome;
}

// A private dbus-daemon standing in for the system bus.
class RealtimePriorityTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto address = daemon_.nextLine("unix:", 10s);
        ASSERT_TRUE(address) << "dbus-daemon did not start";
        address_ = *address;
    }
    void TearDown() override { daemon_.kill(SIGTERM); }
    static bool root() { return ::geteuid() == 0; }

    testing::ChildProcess daemon_{{"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address"}};
    std::string address_;
};

TEST_F(RealtimePriorityTest, RealtimeKitGrantsAnotherThreadItsMaximumAfterRTTimeIsCapped) {
    if (!root()) GTEST_SKIP() << "the fake RealtimeKit needs root to apply SCHED_RR";
    FakeRealtimeKit rtkit(address_, 15, false);
    const ChildOutcome outcome = requestInChild(0, true, address_, &rtkit);
    EXPECT_STREQ(
        outcome.line,
        "[MIDI] Realtime priority 15 (SCHED_RR) for the worker through RealtimeKit (20 asked, its maximum "
        "is 15)");
    EXPECT_EQ(outcome.kernelPolicy, SCHED_RR | SCHED_RESET_ON_FORK);
    const auto& calls = rtkit.calls;
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(calls[0].pid, static_cast<std::uint64_t>(outcome.pid));
    EXPECT_EQ(calls[0].tid, static_cast<std::uint64_t>(outcome.tid));
    EXPECT_EQ(calls[0].priority, 15U);
    EXPECT_LE(calls[0].rttime.rlim_max, static_cast<rlim_t>(FakeRealtimeKit::kRTTimeUSecMax));
    EXPECT_LE(calls[0].rttime.rlim_cur, calls[0].rttime.rlim_max);
}

TEST_F(RealtimePriorityTest, RealtimeKitRefusalLeavesNormalPriorityAndNamesTheError) {
    FakeRealtimeKit rtkit(address_, 50, true);
    const ChildOutcome outcome = requestInChild(0, root(), address_, &rtkit);
    EXPECT_EQ(outcome.kernelPolicy, SCHED_OTHER);
    EXPECT_EQ(rtkit.calls.size(), 1U);
    EXPECT_THAT(outcome.line, HasSubstr("[MIDI] Normal priority for the worker: RLIMIT_RTPRIO is 0 and "
                                        "RealtimeKit refused (org.freedesktop.DBus.Error.AccessDenied"));
}

TEST_F(RealtimePriorityTest, MissingRealtimeKitOrBusLeavesNormalPriorityAtOnce) {
    const ChildOutcome noName = requestInChild(0, root(), address_);
    const ChildOutcome noBus = requestInChild(0, root(), "unix:path=/nonexistent/velorin-bus");
    EXPECT_EQ(noName.kernelPolicy, SCHED_OTHER);
    EXPECT_THAT(noName.line,
                HasSubstr("Normal priority for the worker: RLIMIT_RTPRIO is 0 and RealtimeKit is "
                          "not available (org.freedesktop.DBus.Error.ServiceUnknown"));
    EXPECT_THAT(noBus.line, HasSubstr("Normal priority for the worker: RLIMIT_RTPRIO is 0 and RealtimeKit is "
                                      "not reachable: no system bus (No such file or directory)"));
    EXPECT_LT(noName.tookMs, 200);
    EXPECT_LT(noBus.tookMs, 200);
}

TEST_F(RealtimePriorityTest, HungBusIsGivenUpAfterTheTimeout) {
    ::kill(daemon_.pid(), SIGSTOP);  // its socket still takes connections, but nothing answers
    const ChildOutcome outcome = requestInChild(0, root(), address_);
    ::kill(daemon_.pid(), SIGCONT);
    EXPECT_GE(outcome.tookMs, 900);
    EXPECT_LT(outcome.tookMs, 1500);
    EXPECT_THAT(outcome.line,
                HasSubstr("Normal priority for the worker: RLIMIT_RTPRIO is 0 and RealtimeKit did "
                          "not answer within 1000 ms"));
}

TEST_F(RealtimePriorityTest, RTPRIOLimitCoveringThePriorityGoesDirectWithoutRealtimeKit) {
    if (!root()) GTEST_SKIP() << "raising RLIMIT_RTPRIO needs root";
    FakeRealtimeKit rtkit(address_, 50, false);
    const ChildOutcome outcome = requestInChild(20, true, address_, &rtkit);
    if (std::string_view(outcome.line).starts_with("setup:"))
        GTEST_SKIP() << outcome.line << " (no CAP_SYS_RESOURCE)";
    EXPECT_STREQ(outcome.line,
                 "[MIDI] Realtime priority 20 (SCHED_FIFO) for the worker through RLIMIT_RTPRIO (20)");
    EXPECT_EQ(outcome.kernelPolicy, SCHED_FIFO | SCHED_RESET_ON_FORK);
    EXPECT_TRUE(rtkit.calls.empty());
}

TEST_F(RealtimePriorityTest, CapSysNiceGoesDirectDespiteAZeroRTPRIOLimit) {
    if (!root()) GTEST_SKIP() << "CAP_SYS_NICE needs root";
    const ChildOutcome outcome = requestInChild(0, false, address_);
    EXPECT_STREQ(
        outcome.line,
        "[MIDI] Realtime priority 20 (SCHED_FIFO) for the worker through CAP_SYS_NICE (RLIMIT_RTPRIO is 0)");
    EXPECT_EQ(outcome.kernelPolicy, SCHED_FIFO | SCHED_RESET_ON_FORK);
}

TEST_F(RealtimePriorityTest, RealtimeKitWithoutAnyPriorityToGiveIsNotAsked) {
    FakeRealtimeKit rtkit(address_, 0, false);
    const ChildOutcome outcome = requestInChild(0, root(), address_, &rtkit);
    EXPECT_TRUE(rtkit.calls.empty());
    EXPECT_EQ(outcome.kernelPolicy, SCHED_OTHER);
    EXPECT_THAT(outcome.line, HasSubstr("RealtimeKit allows no realtime priority"));
}

// The priority asked for is brought into SCHED_FIFO's range before anyone is
// asked, and a limit that covers the priority exactly is named as the way in.
TEST(RealtimePriority, RequestsAreClampedAndAnExactLimitIsNamed) {
    std::thread([] {
        EXPECT_EQ(RealtimePriority::request(RealtimeThread::current(), 500, 0ms).requested,
                  ::sched_get_priority_max(SCHED_FIFO));
        EXPECT_EQ(RealtimePriority::request(RealtimeThread::current(), -3, 0ms).requested,
                  ::sched_get_priority_min(SCHED_FIFO));
    }).join();
    RealtimePriority granted;
    granted.method = RealtimePriority::Method::direct;
    granted.requested = granted.priority = 20;
    granted.policy = SCHED_FIFO;
    granted.rtprioLimit = 20;
    EXPECT_EQ(granted.logLine("the engine thread"),
              "[MIDI] Realtime priority 20 (SCHED_FIFO) for the engine thread through RLIMIT_RTPRIO (20)");
}

}  // namespace
}  // namespace velorin
