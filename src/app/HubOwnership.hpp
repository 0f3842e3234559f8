// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QSocketNotifier;

namespace velorin {

// One hub per user. The first start of the program owns the hub: it holds the
// well-known name kBusName on the session bus (where there is one) and an
// exclusive lock beside a socket in $XDG_RUNTIME_DIR (where that is set), and
// answers later starts on both. A later start asks the owner to present
// itself and learns its process id and whether it runs headless, then exits.
// The bus drops the name and the kernel the lock when the owner ends, however
// it ends, so a crashed owner never blocks the next start: the stale socket
// file is replaced by whoever takes the lock next.
class HubOwnership final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.velorin.VelorinServer.Hub")
public:
    static constexpr const char* kBusName = "org.velorin.VelorinServer";
    static constexpr const char* kObjectPath = "/org/velorin/VelorinServer";
    static constexpr const char* kLockFileName = "velorin-server.lock";
    static constexpr const char* kSocketFileName = "velorin-server.sock";

    struct Options {
        // Whether this process shows a window (told to later starts).
        bool headless = false;
        // Empty: $XDG_RUNTIME_DIR; absent there too: no socket.
        std::filesystem::path runtimeDirectory;
        // Use the session bus when one is reachable without starting one:
        // DBUS_SESSION_BUS_ADDRESS is set, or $XDG_RUNTIME_DIR/bus exists.
        bool useSessionBus = true;
        // When another process owns the hub: ask it to present itself (a
        // start with --hidden only asks who it is).
        bool presentOwner = true;
    };

    // What a later start learned from the owner.
    struct RunningHub {
        long pid = 0;
        bool headless = false;
    };

    // The result of claiming: this process owns the hub (`ownership`, with
    // `notes` saying where it could not be guarded), or another one does
    // (`running`), or it could not tell (`problem`: the owner did not answer).
    struct Claim {
        std::unique_ptr<HubOwnership> ownership;
        std::optional<RunningHub> running;
        std::string problem;
        std::vector<std::string> notes;
    };

    // Needs a QCoreApplication; on its thread.
    static Claim claim(const Options& options);

    ~HubOwnership() override;
    HubOwnership(const HubOwnership&) = delete;
    HubOwnership& operator=(const HubOwnership&) = delete;

    // Runs on the owner's thread each time a later start asks the hub to
    // present itself (show and raise the window).
    void setPresentHandler(std::function<void()> handler) { present_ = std::move(handler); }
    bool ownsBusName() const { return ownsBusName_; }
    bool ownsSocket() const { return listenFD_ >= 0; }

    // Where a request on the socket was refused (a line for the log).
    void setLogHandler(std::function<void(std::string)> handler) { log_ = std::move(handler); }

public Q_SLOTS:
    // Called over the bus (and for the socket's requests): presents the hub
    // and returns this process's id.
    Q_SCRIPTABLE unsigned int Present();
    // This process's id, without presenting anything.
    Q_SCRIPTABLE unsigned int Pid() const;
    Q_SCRIPTABLE bool IsHeadless() const;

private:
    explicit HubOwnership(bool headless);
    bool claimBusName(Claim& claim, bool presentOwner);
    bool claimSocket(const std::filesystem::path& directory, bool presentOwner, Claim& claim);
    void answerSocket();

    bool headless_;
    bool ownsBusName_ = false;
    int lockFD_ = -1;
    int listenFD_ = -1;
    std::filesystem::path socketPath_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void()> present_;
    std::function<void(std::string)> log_;
};

// Whether a session bus can be reached without starting one: its address is
// in DBUS_SESSION_BUS_ADDRESS, or its socket is $XDG_RUNTIME_DIR/bus.
bool hasSessionBus();

}  // namespace velorin
