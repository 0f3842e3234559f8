// SPDX-License-Identifier: GPL-3.0-or-later
// The runtime folder's side of the one-hub guard, in process: the owner answers
// a later start's request on its socket, refuses anything else with a log line,
// and a second claim in the same folder learns about the first.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "app/HubOwnership.hpp"

namespace velorin {
namespace {

namespace fs = std::filesystem;

// Sends `request` on the owner's socket and returns what it answers, running
// the owner's event loop meanwhile.
std::string exchange(const fs::path& socket, const std::string& request) {
    auto answer = std::async(std::launch::async, [socket, request] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket.c_str(), sizeof(address.sun_path) - 1);
        std::string reply;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
            ::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buffer[64];
            ssize_t n = 0;
            while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
                reply.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(fd);
        return reply;
    });
    while (answer.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
        QCoreApplication::processEvents();
    }
    return answer.get();
}

TEST(HubOwnership, TheOwnerAnswersLaterStartsOnItsSocketAndRefusesAnythingElse) {
    std::string pattern = (fs::temp_directory_path() / "velorin-hub-XXXXXX").string();
    const fs::path runtime = ::mkdtemp(pattern.data());
    HubOwnership::Options options;
    options.headless = true;
    options.runtimeDirectory = runtime;
    options.useSessionBus = false;
    HubOwnership::Claim first = HubOwnership::claim(options);
    ASSERT_NE(first.ownership, nullptr);
    EXPECT_TRUE(first.notes.empty());
    EXPECT_TRUE(first.ownership->ownsSocket());
    int presented = 0;
    std::vector<std::string> lines;
    first.ownership->setPresentHandler([&presented] { ++presented; });
    first.ownership->setLogHandler([&lines](std::string line) { lines.push_back(std::move(line)); });
    const fs::path socket = runtime / HubOwnership::kSocketFileName;

    EXPECT_EQ(exchange(socket, "present\n"), std::to_string(::getpid()) + " 1\n");
    EXPECT_EQ(presented, 1);
    EXPECT_EQ(exchange(socket, "pid\n"), std::to_string(::getpid()) + " 1\n");
    EXPECT_EQ(presented, 1);
    // Anything else: no answer, nothing presented, one line in the log.
    EXPECT_EQ(exchange(socket, "GET / HTTP/1.0\r\n\r\n"), "");
    EXPECT_EQ(presented, 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines.front(),
              "[App] Refused a request on " + socket.string() + ": not a start of Velorin Server");

    // A later claim (here from a thread, as another process would) is told about the owner.
    auto later = std::async(std::launch::async, [&options] { return HubOwnership::claim(options); });
    while (later.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
        QCoreApplication::processEvents();
    }
    const HubOwnership::Claim second = later.get();
    EXPECT_EQ(second.ownership, nullptr);
    ASSERT_TRUE(second.running.has_value());
    EXPECT_EQ(second.running->pid, ::getpid());
    EXPECT_TRUE(second.running->headless);
    EXPECT_EQ(presented, 2);

    // Once the owner ends, its socket goes and the next claim owns the hub.
    first.ownership.reset();
    EXPECT_FALSE(fs::exists(socket));
    EXPECT_NE(HubOwnership::claim(options).ownership, nullptr);
    fs::remove_all(runtime);
}

}  // namespace
}  // namespace velorin
