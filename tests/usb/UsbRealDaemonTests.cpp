// SPDX-License-Identifier: GPL-3.0-or-later
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/PollMainQueue.hpp"
#include "support/ChildProcess.hpp"
#include "usb/UsbTestSupport.hpp"
#include "usb/channel/PTUSBHub.hpp"
#include "usb/support/FakeControllerDevice.hpp"
#include "usb/support/FakeUSBMuxDaemon.hpp"

namespace velorin::testing {
namespace {

// The tool's full path in the system folders (children are started without a
// PATH search), or empty when it is not installed.
std::string toolPath(const std::string& tool) {
    for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
        const std::string path = std::string(dir) + "/" + tool;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return {};
}

template <typename Pred>
bool waitReal(PollMainQueue& queue, Pred pred, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        queue.runFor(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(UsbRealDaemon, ListenSucceedsAndConnectToAnUnknownDeviceFails) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to start usbmuxd in a private mount namespace";
    if (toolPath("usbmuxd").empty() || toolPath("unshare").empty())
        GTEST_SKIP() << "usbmuxd or unshare is not installed";
    UsbTempDir dir;
    std::filesystem::create_directories(dir.path() / "run");
    std::filesystem::create_directories(dir.path() / "varlib" / "lockdown");
    const std::string script = "mount --bind '" + dir.file("run") + "' /run && mount --bind '" +
                               dir.file("varlib") + "' /var/lib && exec usbmuxd -f -n -p";
    ChildProcess daemon({toolPath("unshare"), "-m", "sh", "-c", script}, dir.file("usbmuxd.log"));
    ASSERT_TRUE(daemon.started());
    const std::string socketPath = dir.file("run/usbmuxd");
    PollMainQueue queue;
    const bool up = waitReal(
        queue, [&] { return ::access(socketPath.c_str(), F_OK) == 0; }, kUsbWaitLimit);
    if (!up) GTEST_SKIP() << "usbmuxd did not start here (see its log)";

    auto hub = PTUSBHub::create(queue, socketPath);
    std::optional<PTOptionalError> listenResult;
    hub->listen([&](PTOptionalError e) { listenResult = e; }, nullptr);
    ASSERT_TRUE(waitReal(
        queue, [&] { return listenResult.has_value(); }, kUsbWaitLimit));
    EXPECT_FALSE(*listenResult) << (*listenResult)->describe();

    std::optional<PTOptionalError> connectResult;
    hub->connectToDevice(4242, 17036, [&](PTOptionalError e, int fd) {
        connectResult = e;
        if (fd >= 0) ::close(fd);
    });
    ASSERT_TRUE(waitReal(
        queue, [&] { return connectResult.has_value(); }, kUsbWaitLimit));
    ASSERT_TRUE(*connectResult);
    EXPECT_EQ((*connectResult)->domain, PTErrorDomain::usbHub);
    EXPECT_EQ((*connectResult)->code, 2);
    EXPECT_EQ((*connectResult)->description, "unknown device");
    hub->stopListening();
    daemon.kill(SIGTERM);
}

TEST(UsbRealClientTools, InetcatBytesReachTheFakeDeviceAndComeBack) {
    if (toolPath("inetcat").empty()) GTEST_SKIP() << "inetcat (libusbmuxd-tools) is not installed";
    UsbTempDir dir;
    PollMainQueue queue;
    FakeUSBMuxDaemon daemon(queue, dir.file("usbmuxd"));
    FakeControllerDevice device(queue, "Echo");
    device.behaviour = FakeControllerDevice::Behaviour::rawEcho;
    daemon.attach(1, &device, "00008030-0011223344556677");
    ChildProcess inetcat(
        {toolPath("env"), "USBMUXD_SOCKET_ADDRESS=UNIX:" + dir.file("usbmuxd"), "inetcat", "17036"},
        dir.file("inetcat.log"));
    ASSERT_TRUE(inetcat.started());
    ASSERT_TRUE(waitReal(
        queue, [&] { return device.connectionsAccepted() == 1; }, kUsbWaitLimit));
    ASSERT_TRUE(inetcat.write("V"));
    ASSERT_TRUE(waitReal(
        queue, [&] { return inetcat.drain() == "V"; }, kUsbWaitLimit));
    EXPECT_EQ(device.rawReceived, std::vector<std::uint8_t>{'V'});
    // libusbmuxd asked with the same port encoding the server uses.
    bool sawConnect = false;
    for (const auto& r : daemon.requests) {
        if (r.find("MessageType")->string != "Connect") continue;
        sawConnect = true;
        EXPECT_EQ(r.find("PortNumber")->integerValue(), 35906);
    }
    EXPECT_TRUE(sawConnect);
}

TEST(UsbLeaseProcesses, SecondServerWaitsAndTakesOverAfterTheFirstIsKilled) {
    const char* helper = std::getenv("VELORIN_USB_LEASE_HELPER");
    if (!helper) GTEST_SKIP() << "VELORIN_USB_LEASE_HELPER is not set";
    UsbTempDir dir;
    PollMainQueue queue;
    FakeUSBMuxDaemon daemon(queue, dir.file("usbmuxd"));
    const std::string lock = dir.file("data/Velorin Server/vl-usb.lock");
    ChildProcess first({helper, lock, dir.file("usbmuxd")});
    ASSERT_TRUE(waitReal(
        queue, [&] { return first.countOccurrences("[VL USB] Starting device observation") == 1; },
        kUsbWaitLimit));
    ChildProcess second({helper, lock, dir.file("usbmuxd")});
    ASSERT_TRUE(waitReal(
        queue, [&] { return second.countOccurrences("[VL USB] VL USB in Use by Another Server") == 1; },
        kUsbWaitLimit));
    // Two more lease retries go by silently.
    queue.runFor(std::chrono::milliseconds(4200));
    EXPECT_EQ(second.countOccurrences("[VL USB] VL USB in Use by Another Server"), 1u);
    EXPECT_EQ(second.countOccurrences("Starting device observation"), 0u);

    // The waiting server takes over at its next lease retry. How soon that is
    // (one retry interval) is checked on virtual time by the service's lease
    // tests; here the wait only has a deadline, so a loaded machine cannot fail it.
    const auto killedAt = std::chrono::steady_clock::now();
    first.kill(SIGKILL);
    ASSERT_TRUE(waitReal(
        queue,
        [&] { return second.countOccurrences("[VL USB] Lease acquired; starting device observation") == 1; },
        kUsbWaitLimit));
    const auto tookOver =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - killedAt);
    std::printf("Lease take-over after the holder's kill took %lld ms\n",
                static_cast<long long>(tookOver.count()));
    RecordProperty("lease_takeover_ms", static_cast<int>(tookOver.count()));
    EXPECT_EQ(second.countOccurrences("[VL USB] Starting device observation"), 1u);
    EXPECT_EQ(second.countOccurrences("[VL USB] VL USB in Use by Another Server"), 1u);
}

}  // namespace
}  // namespace velorin::testing
