// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include <chrono>
#include <functional>

#include "core/MainQueue.hpp"
#include "core/Observable.hpp"
#include "link/LinkClockView.hpp"
#include "usb/VLUSBStatusSnapshot.hpp"

class QGraphicsOpacityEffect;
class QHBoxLayout;
class QLabel;
class QSequentialAnimationGroup;

namespace velorin {

class LinkTempoStatusView;
class LogStore;
class MIDIActivityMonitor;
class MIDIActivityView;
class MIDILatencyMonitor;
class NeonButton;
class VLUSBStatusView;

// Whether the user asked for less motion: VELORIN_REDUCE_MOTION=1, or a style
// that turns widget animations off.
bool systemReducesMotion();

// The window's header bar: the title "VELORIN SERVER" (and the "BETA" chit in
// the beta lane), then the Link controls (Link on/off with the peer count,
// play/stop, reset of the local timeline, tempo and beat), the MIDI activity
// indicators, the USB status and the global actions "LOG ALL", settings and
// "PANIC".
//
// Everything it shows is read from its sources: the Link controls show the
// latest Link snapshot (the clock publishes one after each change and each
// 0.1 s poll while the transport runs) and give their commands to the clock
// without waiting for it; "LOG ALL" follows the log store and the USB status
// the USB service.
class HeaderBarView final : public QWidget {
    Q_OBJECT
public:
    struct Sources {
        MainQueue& queue;
        const LinkStateChannel& link;
        LinkCommands linkCommands;
        // The panic button's command to the engine.
        std::function<void()> panic;
        LogStore& logStore;
        const MIDIActivityMonitor& activity;
        // Null: no latency readout.
        const MIDILatencyMonitor* latency = nullptr;
        // Null without USB.
        const SnapshotChannel<VLUSBStatusSnapshot>* usbStatus = nullptr;
    };

    // The Link button's and the panic button's widths; other buttons of the
    // header share them so that the row lines up.
    static constexpr int kLinkButtonWidth = 60;
    static constexpr int kPanicButtonWidth = 72;
    // While shown, the Link controls are re-read this often (the clock tells
    // of its own changes; this follows settings such as reduced motion).
    static constexpr auto kLinkRedrawInterval = std::chrono::milliseconds(100);
    static constexpr auto kPulseHalfPeriod = std::chrono::milliseconds(650);
    static constexpr double kPulseLowOpacity = 0.4;

    HeaderBarView(bool isBetaLane, Sources sources, std::function<void()> openSettings,
                  QWidget* parent = nullptr);
    ~HeaderBarView() override;

    QLabel& titleLabel() const { return *title_; }
    // Null outside the beta lane.
    QLabel* betaChit() const { return betaChit_; }
    NeonButton& linkButton() const { return *linkButton_; }
    NeonButton& playButton() const { return *playButton_; }
    NeonButton& resetButton() const { return *resetButton_; }
    LinkTempoStatusView& tempoView() const { return *tempo_; }
    MIDIActivityView& activityView() const { return *activity_; }
    VLUSBStatusView& usbStatusView() const { return *usbStatus_; }
    NeonButton& logAllButton() const { return *logAll_; }
    NeonButton& settingsButton() const { return *settings_; }
    NeonButton& panicButton() const { return *panic_; }

    bool isRedrawingLinkState() const { return linkRedraw_.isActive(); }
    bool isPlayButtonPulsing() const;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void showLinkState();
    LinkStateSnapshot linkState() const { return *sources_.link.latest(); }
    void showLoggingState();
    void setPulsing(bool pulsing);

    Sources sources_;
    std::function<void()> openSettings_;
    QLabel* title_ = nullptr;
    QLabel* betaChit_ = nullptr;
    NeonButton* linkButton_ = nullptr;
    NeonButton* playButton_ = nullptr;
    NeonButton* resetButton_ = nullptr;
    LinkTempoStatusView* tempo_ = nullptr;
    MIDIActivityView* activity_ = nullptr;
    VLUSBStatusView* usbStatus_ = nullptr;
    NeonButton* logAll_ = nullptr;
    NeonButton* settings_ = nullptr;
    NeonButton* panic_ = nullptr;
    QGraphicsOpacityEffect* playOpacity_ = nullptr;
    QSequentialAnimationGroup* pulse_ = nullptr;
    TaskHandle linkRedraw_;
    Subscription linkSubscription_;
    Subscription logSubscription_;
};

}  // namespace velorin
