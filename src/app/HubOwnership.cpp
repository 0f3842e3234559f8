// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/HubOwnership.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QSocketNotifier>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace velorin {

namespace {

using Clock = std::chrono::steady_clock;

// How long a later start waits for the owner: to listen (it may be starting)
// and to answer.
constexpr auto kConnectPatience = std::chrono::seconds(3);
constexpr int kAnswerTimeoutMs = 5000;
// How long the owner waits for a connected start's request.
constexpr int kRequestTimeoutMs = 500;
// A later start's request: "present" asks the owner to show itself, "pid"
// only asks who it is. The answer is "<pid> <0|1>" (1: headless).
constexpr std::string_view kPresentRequest = "present";
constexpr std::string_view kPidRequest = "pid";

std::string errnoText(int error) {
    return std::strerror(error);
}

std::filesystem::path runtimeDirectoryFromEnvironment() {
    const char* value = std::getenv("XDG_RUNTIME_DIR");
    return value != nullptr && *value != '\0' ? std::filesystem::path(value) : std::filesystem::path();
}

bool makeAddress(const std::filesystem::path& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.size() >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return true;
}

// Reads up to a newline (or `limit` bytes) within `timeoutMs`; empty on
// timeout, error or end of stream before a newline.
std::string readLine(int fd, int timeoutMs, std::size_t limit = 64) {
    std::string line;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (line.size() < limit) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return {};
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return {};
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return {};
        if (c == '\n') return line;
        line.push_back(c);
    }
    return {};
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// "<pid> <0|1>": the owner's process id and whether it runs headless.
std::optional<HubOwnership::RunningHub> parseAnswer(const std::string& answer) {
    char* end = nullptr;
    const long pid = std::strtol(answer.c_str(), &end, 10);
    if (pid <= 0 || end == nullptr || *end != ' ' || (end[1] != '0' && end[1] != '1') || end[2] != '\0') {
        return std::nullopt;
    }
    return HubOwnership::RunningHub{.pid = pid, .headless = end[1] == '1'};
}

// Asks the owner listening on `path` who it is and, when `present`, to present itself.
std::optional<HubOwnership::RunningHub> askOverSocket(const std::filesystem::path& path, bool present,
                                                      std::string& problem) {
    sockaddr_un address{};
    if (!makeAddress(path, address)) {
        problem = "the socket path " + path.string() + " is too long";
        return std::nullopt;
    }
    const auto deadline = Clock::now() + kConnectPatience;
    int lastError = 0;
    while (Clock::now() < deadline) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            problem = "cannot make a socket: " + errnoText(errno);
            return std::nullopt;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
            std::optional<HubOwnership::RunningHub> running;
            const std::string request = std::string(present ? kPresentRequest : kPidRequest) + "\n";
            if (writeAll(fd, request)) running = parseAnswer(readLine(fd, kAnswerTimeoutMs));
            ::close(fd);
            if (!running) problem = "it did not answer on " + path.string();
            return running;
        }
        lastError = errno;
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    problem = "it does not listen on " + path.string() + ": " + errnoText(lastError);
    return std::nullopt;
}

}  // namespace

bool hasSessionBus() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        address != nullptr && *address != '\0') {
        return true;
    }
    const std::filesystem::path runtime = runtimeDirectoryFromEnvironment();
    std::error_code error;
    return !runtime.empty() && std::filesystem::is_socket(runtime / "bus", error);
}

HubOwnership::HubOwnership(bool headless) : headless_(headless) {}

HubOwnership::~HubOwnership() {
    if (ownsBusName_) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.interface()->unregisterService(QString::fromLatin1(kBusName));
        bus.unregisterObject(QString::fromLatin1(kObjectPath));
    }
    notifier_.reset();
    if (listenFD_ >= 0) {
        // Removed while the lock is still held, so never another owner's socket.
        ::unlink(socketPath_.c_str());
        ::close(listenFD_);
    }
    if (lockFD_ >= 0) ::close(lockFD_);
}

HubOwnership::Claim HubOwnership::claim(const Options& options) {
    Claim result;
    std::unique_ptr<HubOwnership> own(new HubOwnership(options.headless));
    if (options.useSessionBus && hasSessionBus()) {
        if (!own->claimBusName(result, options.presentOwner)) return result;
    }
    const std::filesystem::path directory =
        options.runtimeDirectory.empty() ? runtimeDirectoryFromEnvironment() : options.runtimeDirectory;
    if (directory.empty()) {
        if (!own->ownsBusName_)
            result.notes.emplace_back(
                "neither a session bus nor XDG_RUNTIME_DIR; a second hub is not refused");
    } else if (!own->claimSocket(directory, options.presentOwner, result)) {
        // The owner answered there: the bus name, if taken, goes with `own`.
        return result;
    }
    result.ownership = std::move(own);
    return result;
}

bool HubOwnership::claimBusName(Claim& claim, bool presentOwner) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        claim.notes.push_back("the session bus cannot be reached: " +
                              bus.lastError().message().toStdString());
        return true;
    }
    // The object first, so that whoever sees the name can call it.
    if (!bus.registerObject(QString::fromLatin1(kObjectPath), this, QDBusConnection::ExportScriptableSlots)) {
        claim.notes.push_back("the hub object cannot be put on the session bus: " +
                              bus.lastError().message().toStdString());
        return true;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus.interface()->registerService(
        QString::fromLatin1(kBusName), QDBusConnectionInterface::DontQueueService,
        QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        ownsBusName_ = true;
        return true;
    }
    bus.unregisterObject(QString::fromLatin1(kObjectPath));
    if (!reply.isValid()) {
        claim.notes.push_back("the name " + std::string(kBusName) +
                              " cannot be taken: " + reply.error().message().toStdString());
        return true;
    }
    // Another process holds the name: it is the hub.
    QDBusInterface hub(QString::fromLatin1(kBusName), QString::fromLatin1(kObjectPath),
                       QStringLiteral("org.velorin.VelorinServer.Hub"), bus);
    hub.setTimeout(kAnswerTimeoutMs);
    const QDBusReply<bool> headless = hub.call(QStringLiteral("IsHeadless"));
    const QDBusReply<unsigned int> pid =
        hub.call(presentOwner ? QStringLiteral("Present") : QStringLiteral("Pid"));
    if (headless.isValid() && pid.isValid()) {
        claim.running = RunningHub{.pid = static_cast<long>(pid.value()), .headless = headless.value()};
    } else {
        const QDBusError& error = headless.isValid() ? pid.error() : headless.error();
        claim.problem = "it holds " + std::string(kBusName) +
                        " on the session bus but did not answer: " + error.message().toStdString();
    }
    return false;
}

bool HubOwnership::claimSocket(const std::filesystem::path& directory, bool presentOwner, Claim& claim) {
    const std::filesystem::path lockPath = directory / kLockFileName;
    const std::filesystem::path socketPath = directory / kSocketFileName;
    const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0) {
        claim.notes.push_back("cannot open " + lockPath.string() + ": " + errnoText(errno));
        return true;
    }
    if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(lock);
        if (error != EWOULDBLOCK) {
            claim.notes.push_back("cannot lock " + lockPath.string() + ": " + errnoText(error));
            return true;
        }
        claim.running = askOverSocket(socketPath, presentOwner, claim.problem);
        return false;
    }
    lockFD_ = lock;
    sockaddr_un address{};
    if (!makeAddress(socketPath, address)) {
        claim.notes.push_back("the socket path " + socketPath.string() + " is too long");
        return true;
    }
    // A file left by an owner that crashed: the lock says nobody listens there.
    ::unlink(socketPath.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, 8) != 0) {
        claim.notes.push_back("cannot listen on " + socketPath.string() + ": " + errnoText(errno));
        if (fd >= 0) ::close(fd);
        return true;
    }
    listenFD_ = fd;
    socketPath_ = socketPath;
    notifier_ = std::make_unique<QSocketNotifier>(listenFD_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { answerSocket(); });
    return true;
}

void HubOwnership::answerSocket() {
    const int client = ::accept4(listenFD_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    const std::string request = readLine(client, kRequestTimeoutMs);
    if (request == kPresentRequest || request == kPidRequest) {
        const unsigned int pid = request == kPresentRequest ? Present() : Pid();
        writeAll(client, std::to_string(pid) + (headless_ ? " 1\n" : " 0\n"));
    } else if (log_) {
        log_("[App] Refused a request on " + socketPath_.string() + ": not a start of Velorin Server");
    }
    ::close(client);
}

unsigned int HubOwnership::Present() {
    if (present_) present_();
    return static_cast<unsigned int>(::getpid());
}

unsigned int HubOwnership::Pid() const {
    return static_cast<unsigned int>(::getpid());
}

bool HubOwnership::IsHeadless() const {
    return headless_;
}

}  // namespace velorin
