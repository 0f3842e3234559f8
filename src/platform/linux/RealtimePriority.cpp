// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/RealtimePriority.hpp"

#include <sched.h>
#include <sys/resource.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

namespace velorin {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kRealtimeKitName = "org.freedesktop.RealtimeKit1";
constexpr const char* kRealtimeKitObject = "/org/freedesktop/RealtimeKit1";

std::string errnoText(int error) {
    return std::generic_category().message(error);
}

std::string limitText(rlim_t limit) {
    return limit == RLIM_INFINITY ? std::string("unlimited") : std::to_string(limit);
}

std::string policyName(int policy) {
    switch (policy) {
        case SCHED_FIFO:
            return "SCHED_FIFO";
        case SCHED_RR:
            return "SCHED_RR";
        case SCHED_OTHER:
            return "SCHED_OTHER";
        default:
            return "policy " + std::to_string(policy);
    }
}

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
struct MessageReleaser {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct SlotReleaser {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageReleaser>;

// A private connection to the system bus whose calls all end by one deadline.
// sd-bus's own blocking calls first wait, without a limit of ours, for the
// connection to authenticate, so every call is made asynchronously and the
// connection is driven here until its reply comes or the deadline passes.
class SystemBusExchange {
public:
    explicit SystemBusExchange(std::chrono::milliseconds timeout)
        : timeout_(timeout), deadline_(Clock::now() + timeout) {
        sd_bus* bus = nullptr;
        // Connecting a local socket does not block; authentication runs
        // later, inside the first call.
        if (const int status = sd_bus_open_system(&bus); status < 0) {
            failure_ = "RealtimeKit is not reachable: no system bus (" + errnoText(-status) + ")";
            return;
        }
        bus_.reset(bus);
    }

    // A method call to RealtimeKit's object, to fill with arguments.
    MessagePtr newCall(const char* interface, const char* member) {
        if (!bus_) return nullptr;
        sd_bus_message* message = nullptr;
        const int status = sd_bus_message_new_method_call(bus_.get(), &message, kRealtimeKitName,
                                                          kRealtimeKitObject, interface, member);
        if (status < 0) fail("RealtimeKit could not be asked (" + errnoText(-status) + ")");
        return MessagePtr(message);
    }

    // Sends `call` and waits for its answer: the reply, or none with
    // `error` set to the D-Bus error ("name: message") or what went wrong.
    MessagePtr call(const MessagePtr& message, std::string& error) {
        if (!failure_.empty() || !message) {
            error = failure_;
            return nullptr;
        }
        struct Pending {
            MessagePtr reply;
        } pending;
        const auto onReply = [](sd_bus_message* reply, void* context, sd_bus_error*) -> int {
            static_cast<Pending*>(context)->reply.reset(sd_bus_message_ref(reply));
            return 0;
        };
        sd_bus_slot* slot = nullptr;
        int status =
            sd_bus_call_async(bus_.get(), &slot, message.get(), onReply, &pending, remainingMicros());
        // Releasing the slot cancels the call, so its callback never sees `pending` gone.
        const std::unique_ptr<sd_bus_slot, SlotReleaser> slotGuard(slot);
        while (status >= 0 && !pending.reply) {
            status = sd_bus_process(bus_.get(), nullptr);
            if (status != 0 || pending.reply) continue;
            if (Clock::now() >= deadline_) {
                fail("RealtimeKit did not answer within " + std::to_string(timeout_.count()) + " ms");
                error = failure_;
                return nullptr;
            }
            status = sd_bus_wait(bus_.get(), remainingMicros());
            if (status == -EINTR) status = 0;
        }
        if (!pending.reply) {
            fail("RealtimeKit is not reachable: the system bus connection failed (" + errnoText(-status) +
                 ")");
            error = failure_;
            return nullptr;
        }
        if (sd_bus_message_is_method_error(pending.reply.get(), nullptr) > 0) {
            const sd_bus_error* busError = sd_bus_message_get_error(pending.reply.get());
            error = busError != nullptr && busError->name != nullptr ? busError->name : "an unnamed error";
            if (busError != nullptr && busError->message != nullptr && *busError->message != '\0') {
                error += std::string(": ") + busError->message;
            }
            return nullptr;
        }
        return std::move(pending.reply);
    }

private:
    void fail(std::string why) {
        if (failure_.empty()) failure_ = std::move(why);
    }
    std::uint64_t remainingMicros() const {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - Clock::now());
        return static_cast<std::uint64_t>(std::max<std::int64_t>(left.count(), 1));
    }

    std::chrono::milliseconds timeout_;
    Clock::time_point deadline_;
    std::unique_ptr<sd_bus, BusCloser> bus_;
    std::string failure_;
};

// One of RealtimeKit's properties, read as `type` ("i" or "x") into `value`;
// on failure `error` says why.
template <typename T>
std::optional<T> readProperty(SystemBusExchange& bus, const char* property, const char* type,
                              std::string& error) {
    const MessagePtr request = bus.newCall("org.freedesktop.DBus.Properties", "Get");
    if (request && sd_bus_message_append(request.get(), "ss", kRealtimeKitName, property) < 0) {
        error = "RealtimeKit could not be asked";
        return std::nullopt;
    }
    const MessagePtr reply = bus.call(request, error);
    if (!reply) return std::nullopt;
    T value{};
    if (sd_bus_message_read(reply.get(), "v", type, &value) < 0) {
        error = std::string("its ") + property + " is not of type " + type;
        return std::nullopt;
    }
    return value;
}

// Lowers the process's RLIMIT_RTTIME, soft and hard, to at most `maxMicros`;
// empty, or why it could not.
std::string capRealtimeCPUTime(std::int64_t maxMicros) {
    if (maxMicros <= 0)
        return "RealtimeKit allows no realtime CPU time (RTTimeUSecMax " + std::to_string(maxMicros) + ")";
    rlimit limit{};
    if (::getrlimit(RLIMIT_RTTIME, &limit) != 0) return "RLIMIT_RTTIME unreadable (" + errnoText(errno) + ")";
    const rlimit capped{std::min(limit.rlim_cur, static_cast<rlim_t>(maxMicros)),
                        std::min(limit.rlim_max, static_cast<rlim_t>(maxMicros))};
    if (capped.rlim_cur == limit.rlim_cur && capped.rlim_max == limit.rlim_max) return {};
    if (::setrlimit(RLIMIT_RTTIME, &capped) != 0) {
        return "RLIMIT_RTTIME could not be lowered to " + std::to_string(maxMicros) + " microseconds (" +
               errnoText(errno) + ")";
    }
    return {};
}

// Asks RealtimeKit for the thread; fills the outcome either way.
void requestFromRealtimeKit(const RealtimeThread& thread, std::chrono::milliseconds timeout,
                            RealtimePriority& outcome) {
    SystemBusExchange bus(timeout);
    std::string error;
    const auto maxPriority = readProperty<std::int32_t>(bus, "MaxRealtimePriority", "i", error);
    const auto maxMicros =
        maxPriority ? readProperty<std::int64_t>(bus, "RTTimeUSecMax", "x", error) : std::nullopt;
    if (!maxPriority || !maxMicros) {
        outcome.realtimeKitFailure =
            error.starts_with("RealtimeKit") ? error : "RealtimeKit is not available (" + error + ")";
        return;
    }
    if (*maxPriority < 1) {
        outcome.realtimeKitFailure = "RealtimeKit allows no realtime priority";
        return;
    }
    if (std::string why = capRealtimeCPUTime(*maxMicros); !why.empty()) {
        outcome.realtimeKitFailure = std::move(why);
        return;
    }
    const int priority = std::min(outcome.requested, *maxPriority);
    const MessagePtr request = bus.newCall(kRealtimeKitName, "MakeThreadRealtimeWithPID");
    if (request && sd_bus_message_append(request.get(), "ttu", static_cast<std::uint64_t>(::getpid()),
                                         static_cast<std::uint64_t>(thread.tid),
                                         static_cast<std::uint32_t>(priority)) < 0) {
        outcome.realtimeKitFailure = "RealtimeKit could not be asked";
        return;
    }
    if (!bus.call(request, error)) {
        outcome.realtimeKitFailure =
            error.starts_with("RealtimeKit") ? error : "RealtimeKit refused (" + error + ")";
        return;
    }
    outcome.method = RealtimePriority::Method::realtimeKit;
    outcome.priority = priority;
    const int policy = ::sched_getscheduler(thread.tid);
    outcome.policy = policy < 0 ? SCHED_RR : (policy & ~SCHED_RESET_ON_FORK);
}

}  // namespace

RealtimeThread RealtimeThread::current() {
    return {::gettid(), ::pthread_self()};
}

RealtimePriority RealtimePriority::request(const RealtimeThread& thread, int priority,
                                           std::chrono::milliseconds busTimeout) noexcept {
    RealtimePriority outcome;
    try {
        outcome.requested =
            std::clamp(priority, ::sched_get_priority_min(SCHED_FIFO), ::sched_get_priority_max(SCHED_FIFO));
        rlimit rtprio{};
        if (::getrlimit(RLIMIT_RTPRIO, &rtprio) == 0) outcome.rtprioLimit = rtprio.rlim_cur;

        // The kernel decides: RLIMIT_RTPRIO or CAP_SYS_NICE.
        sched_param param{};
        param.sched_priority = outcome.requested;
        const int refused = ::pthread_setschedparam(thread.handle, SCHED_FIFO | SCHED_RESET_ON_FORK, &param);
        if (refused == 0) {
            outcome.method = Method::direct;
            outcome.priority = outcome.requested;
            outcome.policy = SCHED_FIFO;
            return outcome;
        }
        outcome.directFailure = refused == EPERM ? "RLIMIT_RTPRIO is " + limitText(outcome.rtprioLimit)
                                                 : "SCHED_FIFO refused (" + errnoText(refused) + ")";
        requestFromRealtimeKit(thread, busTimeout, outcome);
    } catch (...) {
        // Only an allocation can fail in there; the thread keeps what it has.
        outcome.method = Method::none;
        outcome.priority = 0;
        if (outcome.realtimeKitFailure.empty()) outcome.realtimeKitFailure = "RealtimeKit could not be asked";
    }
    return outcome;
}

std::string RealtimePriority::logLine(std::string_view thread) const {
    const std::string granted = "[MIDI] Realtime priority " + std::to_string(priority) + " (" +
                                policyName(policy) + ") for " + std::string(thread);
    switch (method) {
        case Method::direct:
            return granted +
                   (rtprioLimit >= static_cast<std::uint64_t>(priority)
                        ? " through RLIMIT_RTPRIO (" + limitText(rtprioLimit) + ")"
                        : " through CAP_SYS_NICE (RLIMIT_RTPRIO is " + limitText(rtprioLimit) + ")");
        case Method::realtimeKit:
            return granted + " through RealtimeKit" +
                   (priority < requested ? " (" + std::to_string(requested) + " asked, its maximum is " +
                                               std::to_string(priority) + ")"
                                         : "");
        case Method::none:
            break;
    }
    return "[MIDI] Normal priority for " + std::string(thread) + ": " + directFailure + " and " +
           realtimeKitFailure;
}

}  // namespace velorin
