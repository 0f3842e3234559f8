// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/VelorinServerApplication.hpp"

#include <QApplication>
#include <QCoreApplication>

#include <unistd.h>

#include <cassert>
#include <cstdio>
#include <utility>

#include "app/AutostartEntry.hpp"
#include "app/DesktopNotification.hpp"
#include "core/NullMIDIService.hpp"
#include "core/QueueThread.hpp"
#include "core/WriteBehindSettingsStore.hpp"
#include "engine/MIDIActivityMonitor.hpp"
#include "engine/MIDIEngine.hpp"
#include "engine/MIDILatencyMonitor.hpp"
#include "link/AbletonLinkSession.hpp"
#include "link/LinkBeatScheduler.hpp"
#include "link/LinkClock.hpp"
#include "link/LinkManager.hpp"
#include "log/AppFeatureFlags.hpp"
#include "log/LogStore.hpp"
#include "network/NetworkMIDIService.hpp"
#include "network/NetworkMIDISettings.hpp"
#include "platform/alsa/AlsaMIDIService.hpp"
#include "platform/linux/AvahiNetworkDiscovery.hpp"
#include "platform/linux/CPUWakeLatency.hpp"
#include "platform/linux/RealtimePriority.hpp"
#include "platform/linux/UDPDatagramSocket.hpp"
#include "platform/qt/QSettingsStore.hpp"
#include "platform/qt/QtMainQueue.hpp"
#include "ui/HubTrayIcon.hpp"
#include "ui/MainWindow.hpp"
#include "ui/TerminalLogMirror.hpp"
#include "usb/VLUSBProcessLock.hpp"
#include "usb/VLUSBService.hpp"

namespace velorin {

VelorinServerApplication::VelorinServerApplication() : VelorinServerApplication(Platform{}) {}

VelorinServerApplication::VelorinServerApplication(Platform platform) {
    assert(QCoreApplication::instance() != nullptr);
    buildQueueAndSettings(platform);
    buildLog(platform);
    if (platform.engineOnItsOwnThread) {
        buildEngineThread();
    } else {
        engineQueue_ = queue_;
    }
    // Read by the engine (which records) and the window (which shows it); it
    // reads the system uptime, needs no configuration and is safe from any thread.
    activity_ = std::make_unique<MIDIActivityMonitor>();
    // Recorded by the engine's thread, read by the window's: safe from both.
    latency_ = std::make_unique<MIDILatencyMonitor>();
    if (!platform.cpuWakeLatencyDevice.empty()) {
        // Checked once a second on this thread: the engine's thread opens no file.
        cpuWake_ = std::make_unique<CPUWakeLatency>(platform.cpuWakeLatencyDevice);
        cpuWakeTimer_ = queue_->every(std::chrono::seconds(1), [this] {
            if (auto line = cpuWake_->update(latency_->recordedCount(), CPUWakeLatency::Clock::now())) {
                logStore_->log(std::move(*line));
            }
        });
    }
    // Built on the thread they are confined to.
    onEngineThread([this, &platform] {
        buildLink(platform);
        buildMIDIService(platform);
        buildUSBService(platform);
        buildEngine(platform);
        buildNetworkMIDI(platform);
    });
    // Connected before the window exists, so that at quit the engine stops
    // before the window saves its size on the same notification.
    quitConnection_ = QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit,
                                       [this] { shutDown(); });
    if (platform.withWindow) buildWindow(platform);
}

VelorinServerApplication::~VelorinServerApplication() {
    QObject::disconnect(quitConnection_);
    cpuWakeTimer_.cancel();
    shutDown();
    tray_.reset();
    window_.reset();
    onEngineThread([this] {
        engineStatePublisher_.reset();
        linkStatePublication_.reset();
        usbStatusPublication_.reset();
        networkStatusPublication_.reset();
        if (engine_) engine_->setTransportOutputHandler(NetworkMIDIService::kTransportKind, nullptr);
        networkService_.reset();
        networkDiscovery_.reset();
        networkSockets_.reset();
        networkSettings_.reset();
        engine_.reset();
        usbService_.reset();
        midiService_.reset();
        scheduler_.reset();
        linkClock_.reset();
    });
    // Ends the thread after what it was asked to do; nothing on it remains.
    engineThread_.reset();
    engineState_.reset();
    linkState_.reset();
    usbStatus_.reset();
    networkStatus_.reset();
    activity_.reset();
    latency_.reset();
    // Whatever was appended since the last publication still reaches the
    // terminal, the stop lines included.
    logStore_->flush();
    logStore_->setPublishedEntryHandler(nullptr);
    logStore_.reset();
}

void VelorinServerApplication::onEngineThread(const std::function<void()>& job) {
    if (engineThread_) {
        engineThread_->runAndWait(job);
    } else {
        job();
    }
}

void VelorinServerApplication::buildEngineThread() {
    RealtimePriority priority;
    engineThread_ = std::make_unique<QueueThread>([&priority] {
        priority = RealtimePriority::request(RealtimeThread::current(), RealtimePriority::kDefaultPriority);
    });
    engineQueue_ = &engineThread_->queue();
    logStore_->log(priority.logLine("the engine thread"));
}

void VelorinServerApplication::buildQueueAndSettings(const Platform& platform) {
    if (platform.queue != nullptr) {
        queue_ = platform.queue;
    } else {
        ownedQueue_ = std::make_unique<QtMainQueue>();
        queue_ = ownedQueue_.get();
    }
    if (platform.settings != nullptr) {
        settings_ = platform.settings;
    } else {
        // The file is written from a writer thread of its own, so that no
        // change made on the MIDI path waits for the disk.
        settingsFile_ = std::make_unique<QSettingsStore>();
        // Asked here: once the writer runs, no other thread touches the file store.
        if (!settingsFile_->isWritable()) unwritableSettingsFile_ = settingsFile_->fileName();
        ownedSettings_ = std::make_unique<WriteBehindSettingsStore>(*settingsFile_);
        settings_ = ownedSettings_.get();
    }
}

void VelorinServerApplication::buildLog(const Platform& platform) {
    logStore_ = LogStore::create(*queue_, *settings_);
    if (platform.mirrorLogToStandardError) {
        logStore_->setPublishedEntryHandler(
            [](const LogEntry& entry) { writeTerminalLogLine(entry, stderr); });
    }
    logStore_->log(startupLogLine(platform.bundleInfo));
    if (unwritableSettingsFile_) {
        logStore_->log("[MIDI] Settings cannot be saved: " + *unwritableSettingsFile_ + " is not writable");
    }
}

void VelorinServerApplication::buildLink(Platform& platform) {
    std::unique_ptr<LinkSession> session = std::move(platform.linkSession);
    if (!session) session = AbletonLinkSession::create(LinkManager::kDefaultTempo);
    // The clock restores "LinkClock.isActive" as it is built.
    linkClock_ = std::make_unique<LinkClock>(std::move(session), *logStore_, *settings_, *engineQueue_);
    scheduler_ = std::make_unique<LinkBeatScheduler>(*linkClock_, *logStore_);
}

void VelorinServerApplication::buildMIDIService(Platform& platform) {
    midiService_ = std::move(platform.midiService);
    if (midiService_) return;
    if (const MIDIStatus status = AlsaMIDIService::probe(); status != 0) {
        // No sequencer here: the engine logs the failure and runs with USB only.
        midiService_ = std::make_unique<NullMIDIService>(status);
        return;
    }
    // With the engine on its own thread, that thread reads the sequencer too:
    // a note then reaches the engine with no hand-over between threads. Else a
    // reader thread of the service's own posts to the engine's queue. The log
    // handler may be called from either; appending is thread-safe.
    midiService_ =
        std::make_unique<AlsaMIDIService>([log = logStore_](std::string line) { log->log(std::move(line)); },
                                          engineThread_ ? engineQueue_ : nullptr);
}

void VelorinServerApplication::buildUSBService(const Platform& platform) {
    if (!platform.usb) return;
    std::filesystem::path lockFile = platform.usb->lockFile;
    if (lockFile.empty()) {
        auto standard = VLUSBProcessLock::defaultLockFilePath();
        if (!standard) {
            logStore_->log("[VL USB] No home directory for the USB lease; running without USB devices");
            return;
        }
        lockFile = std::move(*standard);
    }
    usbService_ =
        VLUSBService::create(*engineQueue_, *logStore_, std::move(lockFile), platform.usb->usbmuxdSocketPath);
}

void VelorinServerApplication::buildEngine(const Platform& platform) {
    engine_ = std::make_unique<MIDIEngine>(MIDIEngine::Dependencies{
        .queue = *engineQueue_,
        .settings = *settings_,
        .log = *logStore_,
        .linkClock = *linkClock_,
        .scheduler = *scheduler_,
        .activity = *activity_,
        .linkLooperEnabled = AppFeatureFlags::isEnabled(AppFeatureFlag::linkLooper,
                                                        AppFeatureFlags::currentTarget(platform.bundleInfo)),
        .midiService = midiService_.get(),
        .usbService = usbService_.get(),
        .latency = latency_.get(),
        .linkControl = linkClock_.get(),
    });
}

void VelorinServerApplication::buildNetworkMIDI(const Platform& platform) {
    if (!platform.network) return;
    char host[256] = {};
    std::string defaultName = "Velorin Server";
    if (gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') defaultName += std::string(" on ") + host;
    networkSettings_ = std::make_unique<NetworkMIDISettings>(*settings_, defaultName);
    networkSockets_ = std::make_unique<UDPDatagramSocketFactory>(*engineQueue_);
    if (platform.network->discovery) {
        auto discovery = std::make_unique<AvahiNetworkDiscovery>(*engineQueue_);
        discovery->onLog = [log = logStore_](std::string line) { log->log(std::move(line)); };
        networkDiscovery_ = std::move(discovery);
    }
    MIDIEngine* engine = engine_.get();
    networkService_ = std::make_unique<NetworkMIDIService>(
        NetworkMIDIService::Dependencies{.queue = *engineQueue_,
                                         .log = *logStore_,
                                         .settings = *networkSettings_,
                                         .sockets = *networkSockets_,
                                         .discovery = networkDiscovery_.get()},
        NetworkMIDIService::Sink{
            .endpointsChanged =
                [engine](MIDITransportRegistrations registrations) {
                    engine->setTransportEndpoints(NetworkMIDIService::kTransportKind,
                                                  std::move(registrations));
                },
            .midiReceived =
                [engine, packet = std::make_shared<MIDIRawPacket>()](
                    std::string_view key, std::string_view sourceName, std::span<const std::uint8_t> bytes) {
                    packet->bytes.assign(bytes.begin(), bytes.end());
                    engine->handleInput(std::span<const MIDIRawPacket>(packet.get(), 1), key, sourceName,
                                        MIDILatencyMonitor::Clock::now());
                }});
    engine->setTransportOutputHandler(
        NetworkMIDIService::kTransportKind,
        [service = networkService_.get()](const MIDIEvent& event, const std::string& key) {
            return service->send(event, key);
        });
}

void VelorinServerApplication::buildWindow(const Platform& platform) {
    // The window's queue takes the notifications; the engine's thread publishes.
    engineState_ =
        std::make_unique<MIDIEngineStateChannel>(*queue_, std::make_shared<const MIDIEngineSnapshot>());
    linkState_ = std::make_unique<LinkStateChannel>(*queue_, std::make_shared<const LinkStateSnapshot>());
    if (usbService_) {
        usbStatus_ = std::make_unique<SnapshotChannel<VLUSBStatusSnapshot>>(
            *queue_, std::make_shared<const VLUSBStatusSnapshot>());
    }
    if (networkService_) {
        networkStatus_ = std::make_unique<NetworkMIDIStatusChannel>(
            *queue_, std::make_shared<const NetworkMIDIStatusSnapshot>());
    }
    // Each publisher subscribes to objects of the engine's thread, so it is
    // made (and later ended) there; each publishes its first value at once.
    onEngineThread([this] {
        engineStatePublisher_ =
            std::make_unique<MIDIEngineStatePublisher>(*engine_, *engineQueue_, *engineState_);
        linkStatePublication_ = publishLinkState(*linkClock_, *linkState_);
        if (usbService_) {
            usbStatusPublication_ = publishOnChange(*usbService_, *usbStatus_, [service = usbService_.get()] {
                return service->statusSnapshot();
            });
        }
        if (networkService_)
            networkStatusPublication_ = publishNetworkMIDIStatus(*networkService_, *networkStatus_);
    });
    window_ = std::make_unique<MainWindow>(
        *queue_, *settings_, logStore_,
        MainWindow::Services{.engine = *engineState_,
                             .engineCommands = engineStatePublisher_->commands(),
                             .link = *linkState_,
                             .linkCommands = makePostedLinkCommands(*engineQueue_, *linkClock_),
                             .activity = *activity_,
                             .latency = latency_.get(),
                             .usbStatus = usbStatus_.get(),
                             .startAtLogin = startAtLoginOption(platform),
                             .networkStatus = networkStatus_.get(),
                             .networkCommands = networkService_ ? makePostedNetworkMIDICommands(
                                                                      *engineQueue_, *networkService_)
                                                                : NetworkMIDICommands{}},
        platform.bundleInfo);
    window_->setAppearAction([this] { start(); });
    window_->setCloseAction([this] { windowClosed(); });
    // Closing the window leaves the hub running; only a quit ends it.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    notify_ = platform.notify ? platform.notify : showDesktopNotification;
    tray_ = std::make_unique<HubTrayIcon>(
        HubTrayIcon::Sources{
            .window = *window_,
            .link = *linkState_,
            .linkCommands = makePostedLinkCommands(*engineQueue_, *linkClock_),
            .panic = engineStatePublisher_->commands().panic,
            // As the menu's Quit: from the event loop, after the menu closed.
            .quit = [] { QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection); },
            .usbStatus = usbStatus_.get()},
        platform.withTray && HubTrayIcon::isTrayAvailable());
}

StartAtLoginOption VelorinServerApplication::startAtLoginOption(const Platform& platform) {
    const std::optional<std::filesystem::path> directory = platform.autostartDirectory.empty()
                                                               ? AutostartEntry::defaultDirectory()
                                                               : platform.autostartDirectory;
    // Without a home folder there is nowhere to keep the entry: not offered.
    if (!directory) return {};
    auto entry = std::make_shared<const AutostartEntry>(*directory, AutostartEntry::currentExecutable());
    return StartAtLoginOption{
        .isEnabled = [entry] { return entry->isEnabled(); },
        .setEnabled =
            [entry, log = logStore_](bool enabled) {
                if (const auto problem = entry->setEnabled(enabled)) {
                    log->log("[App] Start at Login: " + *problem);
                    return false;
                }
                log->log(enabled ? "[App] Start at Login on: " + entry->path().string() + " starts it hidden"
                                 : "[App] Start at Login off: " + entry->path().string() + " removed");
                return true;
            },
    };
}

void VelorinServerApplication::windowClosed() {
    if (!window_ || isShutDown_ || (tray_ && tray_->isShown()) || hasGivenClosedWindowHint_) return;
    hasGivenClosedWindowHint_ = true;
    // Without a tray icon the way back is not visible: say it once.
    const std::string howTo =
        "Start Velorin Server again to show its window; quit it there (Ctrl+Q), or end "
        "process " +
        std::to_string(QCoreApplication::applicationPid()) + " with SIGTERM.";
    // Closing: still visible while its close event runs; --hidden: never shown.
    logStore_->log(
        std::string(window_->isVisible() ? "[App] The window is closed" : "[App] The window is hidden") +
        "; Velorin Server keeps running. " + howTo);
    notify_("Velorin Server keeps running", "MIDI keeps flowing. " + howTo);
}

void VelorinServerApplication::startWithWindowHidden() {
    start();
    windowClosed();
}

void VelorinServerApplication::presentForAnotherStart() {
    if (!window_) {
        logStore_->log("[App] Started again: this hub runs headless and has no window to show");
        return;
    }
    logStore_->log("[App] Started again: showing the window");
    presentWindow(*window_);
}

void VelorinServerApplication::showWindow() {
    if (window_) window_->show();
}

void VelorinServerApplication::start() {
    if (isShutDown_ || isStarted_) return;
    isStarted_ = true;
    onEngineThread([this] {
        engine_->start();
        if (networkService_) networkService_->start();
        linkClock_->startPolling();
    });
}

void VelorinServerApplication::shutDown() {
    if (isShutDown_) return;
    isShutDown_ = true;
    onEngineThread([this] {
        linkClock_->stopPolling();
        // The engine's panic reaches the network peers too; then the goodbyes.
        engine_->stop();
        if (networkService_) networkService_->stop();
    });
}

}  // namespace velorin
