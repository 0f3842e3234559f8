// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMainWindow>

#include <functional>
#include <memory>

#include "core/MainQueue.hpp"
#include "core/Observable.hpp"
#include "core/SettingsStore.hpp"
#include "engine/MIDIEngineView.hpp"
#include "link/LinkClockView.hpp"
#include "log/BundleInfo.hpp"
#include "log/LogStore.hpp"
#include "ui/MIDIDeviceSettingsView.hpp"
#include "usb/VLUSBStatusSnapshot.hpp"

class QAction;
class QCloseEvent;
class QShowEvent;
class QVBoxLayout;

namespace velorin {

class HeaderBarView;
class MorphSheetHost;
class RoutingSectionView;
class LogPaneView;
class MIDIActivityMonitor;
class MIDILatencyMonitor;
class MIDIDeviceSettingsView;
class WindowChromeStyler;

// The server's one window: the header bar, the content sections, and the log
// pane at the bottom, on the dark theme, with the settings sheet over them
// while it is presented. Menu items "About Velorin Server…" and "Settings…"
// (Ctrl+,). The window's size is kept across launches.
class MainWindow final : public QMainWindow {
    Q_OBJECT
public:
    // What the window shows and drives; all outlive it.
    struct Services {
        const MIDIEngineStateChannel& engine;
        MIDIEngineCommands engineCommands;
        const LinkStateChannel& link;
        LinkCommands linkCommands;
        const MIDIActivityMonitor& activity;
        // Null: no latency readout.
        const MIDILatencyMonitor* latency = nullptr;
        // Null without USB.
        const SnapshotChannel<VLUSBStatusSnapshot>* usbStatus = nullptr;
        // The settings sheet's "Start at Login"; empty: not offered.
        StartAtLoginOption startAtLogin = {};
        // The network session's status and commands; null: no network MIDI.
        const NetworkMIDIStatusChannel* networkStatus = nullptr;
        NetworkMIDICommands networkCommands = {};
    };

    MainWindow(MainQueue& queue, SettingsStore& settings, std::shared_ptr<LogStore> logStore,
               Services services, BundleInfoLookup bundleInfo = buildBundleInfo(), QWidget* parent = nullptr);
    ~MainWindow() override;

    HeaderBarView& headerBar() const { return *header_; }
    MIDIDeviceSettingsView& settingsSheet() const { return *settingsSheet_; }
    LogPaneView& logPane() const { return *logPane_; }
    WindowChromeStyler& chrome() const { return *chrome_; }
    QAction& aboutAction() const { return *aboutAction_; }
    QAction& settingsAction() const { return *settingsAction_; }

    // The sections between the header and the log pane (routing) go here.
    QVBoxLayout& sectionsLayout() const { return *sections_; }
    RoutingSectionView& routingSection() const { return *routing_; }
    MorphSheetHost& morphSheets() const { return *morphSheets_; }

    // "Settings…" and the header's settings button: presents the settings
    // sheet, unless it is shown already or a morph sheet is shown.
    void openSettings();
    void closeSettings();
    bool isSettingsPresented() const { return isSettingsPresented_; }
    // What runs each time the window appears (the application starts the MIDI
    // engine then; a later appearance finds it running).
    void setAppearAction(std::function<void()> action) { appear_ = std::move(action); }
    // What runs each time the user closes the window (which only hides it:
    // the hub keeps running).
    void setCloseAction(std::function<void()> action) { close_ = std::move(action); }
    QAction& quitAction() const { return *quitAction_; }
    void showAboutPanel();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Handed by reference to the views, which outlive neither it nor this window.
    MIDIEngineCommands engineCommands_;
    BundleInfoLookup bundleInfo_;
    QWidget* central_ = nullptr;
    MIDIDeviceSettingsView* settingsSheet_ = nullptr;
    bool isSettingsPresented_ = false;
    HeaderBarView* header_ = nullptr;
    LogPaneView* logPane_ = nullptr;
    WindowChromeStyler* chrome_ = nullptr;
    QVBoxLayout* sections_ = nullptr;
    RoutingSectionView* routing_ = nullptr;
    MorphSheetHost* morphSheets_ = nullptr;
    Subscription linkSubscription_;
    QAction* aboutAction_ = nullptr;
    QAction* settingsAction_ = nullptr;
    QAction* quitAction_ = nullptr;
    std::function<void()> appear_;
    std::function<void()> close_;
};

}  // namespace velorin
