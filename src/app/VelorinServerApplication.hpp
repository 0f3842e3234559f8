// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMetaObject>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/MIDIService.hpp"
#include "core/MainQueue.hpp"
#include "core/Observable.hpp"
#include "core/SettingsStore.hpp"
#include "engine/MIDIEngineView.hpp"
#include "link/LinkClockView.hpp"
#include "link/LinkSession.hpp"
#include "log/BundleInfo.hpp"
#include "network/NetworkMIDIView.hpp"
#include "ui/MIDIDeviceSettingsView.hpp"
#include "usb/VLUSBStatusSnapshot.hpp"

namespace velorin {

class HubTrayIcon;
class LinkBeatScheduler;
class LinkClock;
class LogStore;
class MainWindow;
class MIDIActivityMonitor;
class MIDIEngine;
class MIDILatencyMonitor;
class CPUWakeLatency;
class QueueThread;
class QSettingsStore;
class VLUSBService;
class NetworkMIDIService;
class NetworkMIDISettings;
class DatagramSocketFactory;
class NetworkMIDIDiscovery;

// The object that builds and owns everything the server runs on, in start-up
// order: the settings store, the log store (mirrored to standard error), the
// Link clock and the beat scheduler, the activity monitor, the operating
// system's MIDI service, the USB service, the MIDI engine and, unless the
// server runs headless, the main window. Each is handed by reference to the
// objects built after it that use it.
//
// start() starts the engine and the Link clock's poll: when the window first
// appears, or at once headless (the caller calls it). Both stop once, when the
// application is about to quit — before the window saves its size on the
// same notification — or, failing that, when this object is destroyed.
// With a window, the application does not quit when the window closes: the
// hub keeps running, reachable through its tray icon (or, without a tray, by
// starting the program again, which the log and a desktop notification say
// once). Teardown runs in reverse order: the window, the engine, the services it
// used, and the log store last.
//
// The Link clock, the scheduler, the MIDI and USB services and the engine are
// built, run and destroyed on the engine's thread (onEngineThread()); the
// window on this object's, reading the snapshots they publish and posting its
// commands to them. This object is the Qt thread's only; a QCoreApplication
// must exist (a QApplication with a window).
class VelorinServerApplication {
public:
    struct USBOptions {
        // Empty: the lock file under the user's data folder.
        std::filesystem::path lockFile;
        // Empty: USBMUXD_SOCKET_ADDRESS when it names a path, else /var/run/usbmuxd.
        std::string usbmuxdSocketPath;
    };

    struct NetworkOptions {
        // Advertise and browse through the system's Avahi daemon.
        bool discovery = true;
    };

    // What the server runs on. The defaults are the real machine; tests
    // replace parts with fakes.
    struct Platform {
        // Borrowed; null: a queue on the Qt event loop.
        MainQueue* queue = nullptr;
        // Borrowed; null: the user's settings file, written behind the
        // callers' backs by a writer thread.
        SettingsStore* settings = nullptr;
        // Null: the ALSA sequencer when it can be opened, else a service that
        // answers every operation with the reason it cannot.
        std::unique_ptr<MIDIService> midiService;
        // Null: a session of the Ableton Link library (it opens sockets only
        // once enabled).
        std::unique_ptr<LinkSession> linkSession;
        // Absent: no USB transport at all.
        std::optional<USBOptions> usb = USBOptions{};
        // Absent: no network MIDI session at all. Present: the session runs
        // when its setting is on.
        std::optional<NetworkOptions> network = NetworkOptions{};
        bool mirrorLogToStandardError = true;
        // False: headless — no widget is created at all.
        bool withWindow = true;
        // True: the MIDI path — the MIDI service's callbacks, the engine, the
        // Link clock and scheduler, the USB service — lives on a thread of its
        // own with its own poll loop, asking for realtime priority, and this
        // object and the window reach it only through that thread's queue and
        // the snapshots it publishes. False: on `queue` (tests on virtual time).
        bool engineOnItsOwnThread = true;
        BundleInfoLookup bundleInfo = buildBundleInfo();
        // With a window: put the hub's icon in the desktop's tray where
        // there is one (its menu and actions exist either way).
        bool withTray = true;
        // How the one-time hint that the hub keeps running with its window
        // closed reaches the desktop; null: a desktop notification.
        std::function<void(const std::string& summary, const std::string& body)> notify;
        // Where "Start at Login" writes its autostart entry; empty: the
        // user's ($XDG_CONFIG_HOME/autostart).
        std::filesystem::path autostartDirectory;
        // The PM QoS device held while MIDI flows, so that no CPU sleeps too
        // deeply to wake at once for the next note; empty: none.
        std::filesystem::path cpuWakeLatencyDevice = "/dev/cpu_dma_latency";
    };

    // On the real machine.
    VelorinServerApplication();
    explicit VelorinServerApplication(Platform platform);
    ~VelorinServerApplication();
    VelorinServerApplication(const VelorinServerApplication&) = delete;
    VelorinServerApplication& operator=(const VelorinServerApplication&) = delete;

    // Does nothing headless.
    void showWindow();
    // Starts without showing the window (--hidden); without a tray icon the
    // log and a notification say once how to show it.
    void startWithWindowHidden();
    // Another start of the program asked this hub to show itself: shows and
    // raises the window (with a log line), or says that it runs headless.
    void presentForAnotherStart();
    // Starts the engine and the Link poll; later calls, and calls after
    // shutDown(), do nothing.
    void start();
    // Stops the engine and the Link poll, the first time only (later
    // appearances of the window no longer start them). Runs when the
    // application is about to quit.
    void shutDown();
    bool isShutDown() const { return isShutDown_; }

    MainQueue& queue() const { return *queue_; }
    // The queue of the thread the MIDI path runs on (queue() unless it has its own).
    MainQueue& engineQueue() const { return *engineQueue_; }
    SettingsStore& settings() const { return *settings_; }
    LogStore& logStore() const { return *logStore_; }
    LinkClock& linkClock() const { return *linkClock_; }
    LinkBeatScheduler& scheduler() const { return *scheduler_; }
    MIDIService& midiService() const { return *midiService_; }
    // Null without USB.
    VLUSBService* usbService() const { return usbService_.get(); }
    // Null without network MIDI.
    NetworkMIDIService* networkService() const { return networkService_.get(); }
    MIDIEngine& engine() const { return *engine_; }
    bool hasWindow() const { return window_ != nullptr; }
    // Only with a window.
    MainWindow& window() const { return *window_; }
    // Only with a window.
    HubTrayIcon& tray() const { return *tray_; }

    // Runs `job` on the engine's thread and returns after it ran: for
    // start-up, shutdown and tests, when the caller may wait.
    void onEngineThread(const std::function<void()>& job);

private:
    void buildEngineThread();
    void buildQueueAndSettings(const Platform& platform);
    void buildLog(const Platform& platform);
    void buildLink(Platform& platform);
    void buildMIDIService(Platform& platform);
    void buildUSBService(const Platform& platform);
    void buildEngine(const Platform& platform);
    void buildNetworkMIDI(const Platform& platform);
    void buildWindow(const Platform& platform);
    void windowClosed();
    StartAtLoginOption startAtLoginOption(const Platform& platform);

    std::unique_ptr<MainQueue> ownedQueue_;
    MainQueue* queue_ = nullptr;
    // The user's file, written only through ownedSettings_ (which it outlives).
    std::unique_ptr<QSettingsStore> settingsFile_;
    // The file's name when it cannot be written.
    std::optional<std::string> unwritableSettingsFile_;
    std::unique_ptr<QueueThread> engineThread_;
    MainQueue* engineQueue_ = nullptr;
    std::unique_ptr<SettingsStore> ownedSettings_;
    SettingsStore* settings_ = nullptr;
    std::shared_ptr<LogStore> logStore_;
    std::unique_ptr<LinkClock> linkClock_;
    std::unique_ptr<LinkBeatScheduler> scheduler_;
    std::unique_ptr<MIDIActivityMonitor> activity_;
    std::unique_ptr<MIDILatencyMonitor> latency_;
    std::unique_ptr<CPUWakeLatency> cpuWake_;
    TaskHandle cpuWakeTimer_;
    std::unique_ptr<MIDIService> midiService_;
    std::unique_ptr<VLUSBService> usbService_;
    std::unique_ptr<MIDIEngine> engine_;
    std::unique_ptr<NetworkMIDISettings> networkSettings_;
    std::unique_ptr<DatagramSocketFactory> networkSockets_;
    std::unique_ptr<NetworkMIDIDiscovery> networkDiscovery_;
    std::unique_ptr<NetworkMIDIService> networkService_;
    QMetaObject::Connection quitConnection_;
    // With a window: the snapshots it reads, published on the engine's thread
    // by the engine, the clock and the USB service.
    std::unique_ptr<MIDIEngineStateChannel> engineState_;
    std::unique_ptr<MIDIEngineStatePublisher> engineStatePublisher_;
    std::unique_ptr<LinkStateChannel> linkState_;
    Subscription linkStatePublication_;
    std::unique_ptr<SnapshotChannel<VLUSBStatusSnapshot>> usbStatus_;
    Subscription usbStatusPublication_;
    std::unique_ptr<NetworkMIDIStatusChannel> networkStatus_;
    Subscription networkStatusPublication_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<HubTrayIcon> tray_;
    std::function<void(const std::string&, const std::string&)> notify_;
    bool hasGivenClosedWindowHint_ = false;
    bool isStarted_ = false;
    bool isShutDown_ = false;
};

}  // namespace velorin
