// SPDX-License-Identifier: GPL-3.0-or-later
// velorin-device-sim: runs a fake usbmuxd on a socket path with one or more
// simulated controller devices, prints the MIDI frames they receive and sends
// MIDI given on the command line, read from a file or typed on standard input.
//
//   velorin-device-sim [--socket PATH] [--device NAME]... [--send "90 3C 64"]...
//                      [--send-file FILE] [--behaviour NAME]
//
// Start the server with USBMUXD_SOCKET_ADDRESS=UNIX:PATH to use it.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/PollMainQueue.hpp"
#include "usb/support/FakeControllerDevice.hpp"
#include "usb/support/FakeUSBMuxDaemon.hpp"

namespace {

using velorin::testing::FakeControllerDevice;
using Behaviour = FakeControllerDevice::Behaviour;

std::optional<std::vector<std::uint8_t>> parseHex(const std::string& text) {
    std::vector<std::uint8_t> out;
    std::string token;
    auto flush = [&]() -> bool {
        if (token.empty()) return true;
        if (token.size() > 2) return false;
        for (char c : token) {
            if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        }
        out.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
        token.clear();
        return true;
    };
    for (char c : text) {
        if (c == '#') break;
        if (std::isspace(static_cast<unsigned char>(c)) || c == ',') {
            if (!flush()) return std::nullopt;
        } else {
            token.push_back(c);
        }
    }
    if (!flush()) return std::nullopt;
    return out;
}

std::optional<Behaviour> parseBehaviour(const std::string& name) {
    if (name == "normal") return Behaviour::normal;
    if (name == "silent") return Behaviour::silent;
    if (name == "no-pong") return Behaviour::noPong;
    if (name == "wrong-tag-pong") return Behaviour::wrongTagPong;
    if (name == "malformed-info") return Behaviour::malformedDeviceInfo;
    if (name == "close-after-info") return Behaviour::closeAfterDeviceInfo;
    if (name == "huge-payload") return Behaviour::hugePayload;
    if (name == "refuse") return Behaviour::refuseConnections;
    return std::nullopt;
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        if (i) out += ' ';
        out += buf;
    }
    return out;
}

int usage() {
    std::fprintf(
        stderr,
        "usage: velorin-device-sim [--socket PATH] [--device NAME]... [--send \"90 3C 64\"]...\n"
        "                          [--send-file FILE] [--behaviour normal|silent|no-pong|wrong-tag-pong|\n"
        "                           malformed-info|close-after-info|huge-payload|refuse]\n"
        "Lines typed on standard input are sent as MIDI to every device; \"quit\" ends.\n");
    return 2;
}

// Whether something listens on the socket at `path`: the fake daemon replaces
// whatever is there, which must never be the real usbmuxd's socket.
bool isLiveSocket(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool live = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return live;
}

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath = "/tmp/velorin-usbmuxd.sock";
    std::vector<std::string> names;
    std::vector<std::vector<std::uint8_t>> toSend;
    Behaviour behaviour = Behaviour::normal;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        if (arg == "--socket") {
            auto v = value();
            if (!v) return usage();
            socketPath = *v;
        } else if (arg == "--device") {
            auto v = value();
            if (!v) return usage();
            names.push_back(*v);
        } else if (arg == "--send") {
            auto v = value();
            auto bytes = v ? parseHex(*v) : std::nullopt;
            if (!bytes || bytes->empty()) return usage();
            toSend.push_back(*bytes);
        } else if (arg == "--send-file") {
            auto v = value();
            if (!v) return usage();
            std::ifstream file(*v);
            if (!file) {
                std::fprintf(stderr, "cannot read %s\n", v->c_str());
                return 1;
            }
            std::string line;
            while (std::getline(file, line)) {
                auto bytes = parseHex(line);
                if (bytes && !bytes->empty()) toSend.push_back(*bytes);
            }
        } else if (arg == "--behaviour") {
            auto v = value();
            auto b = v ? parseBehaviour(*v) : std::nullopt;
            if (!b) return usage();
            behaviour = *b;
        } else {
            return usage();
        }
    }
    if (names.empty()) names.push_back("Velorin Sim");

    if (isLiveSocket(socketPath)) {
        std::fprintf(
            stderr,
            "%s is a live socket (a daemon answers there); not replacing it. Choose another path with "
            "--socket.\n",
            socketPath.c_str());
        return 1;
    }
    velorin::PollMainQueue queue;
    velorin::testing::FakeUSBMuxDaemon daemon(queue, socketPath);
    if (!daemon.isListening()) {
        std::fprintf(stderr, "cannot listen on %s\n", socketPath.c_str());
        return 1;
    }
    std::vector<std::unique_ptr<FakeControllerDevice>> devices;
    std::uint32_t deviceID = 1;
    for (const auto& name : names) {
        auto device = std::make_unique<FakeControllerDevice>(queue, name);
        device->behaviour = behaviour;
        auto* raw = device.get();
        device->onMIDI = [raw](const FakeControllerDevice::ReceivedMIDI& m) {
            std::printf("[%s] MIDI port %u ts %llu: %s\n", raw->name.c_str(), m.portIndex,
                        static_cast<unsigned long long>(m.timestamp), hex(m.bytes).c_str());
            std::fflush(stdout);
        };
        daemon.attach(deviceID, raw);
        std::printf("attached device %u \"%s\"\n", deviceID, name.c_str());
        ++deviceID;
        devices.push_back(std::move(device));
    }
    std::printf("fake usbmuxd on %s; run the server with USBMUXD_SOCKET_ADDRESS=UNIX:%s\n",
                socketPath.c_str(), socketPath.c_str());
    std::fflush(stdout);

    auto sendToAll = [&](const std::vector<std::uint8_t>& bytes) {
        for (auto& d : devices) d->sendMIDI(bytes);
        std::printf("sent %s to %zu device(s)\n", hex(bytes).c_str(), devices.size());
        std::fflush(stdout);
    };
    // Messages from the command line go out once every device has a connection.
    std::vector<std::size_t> seenConnections(devices.size(), 0);
    auto poll = queue.every(std::chrono::milliseconds(100), [&] {
        for (std::size_t i = 0; i < devices.size(); ++i) {
            const auto accepted = devices[i]->connectionsAccepted();
            if (accepted == seenConnections[i]) continue;
            seenConnections[i] = accepted;
            std::printf("[%s] connection %zu open\n", devices[i]->name.c_str(), accepted);
            std::fflush(stdout);
            for (const auto& bytes : toSend) devices[i]->sendMIDI(bytes);
        }
    });

    std::string pending;
    velorin::TaskHandle input;
    input = queue.watch(STDIN_FILENO, velorin::IoEvents::readable, [&](velorin::IoEvents) {
        char buf[1024];
        const auto n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            input.cancel();  // end of input: keep serving the devices
            return;
        }
        pending.append(buf, static_cast<std::size_t>(n));
        for (auto pos = pending.find('\n'); pos != std::string::npos; pos = pending.find('\n')) {
            const std::string line = pending.substr(0, pos);
            pending.erase(0, pos + 1);
            if (line == "quit") {
                queue.stop();
                return;
            }
            auto bytes = parseHex(line);
            if (!bytes)
                std::fprintf(stderr, "not hex bytes: %s\n", line.c_str());
            else if (!bytes->empty())
                sendToAll(*bytes);
        }
    });
    queue.run();
    return 0;
}
