// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include <chrono>

#include "core/MainQueue.hpp"
#include "engine/MIDIActivityMonitor.hpp"
#include "engine/MIDILatencyMonitor.hpp"

namespace velorin {

// The "IN" and "OUT" indicators of MIDI traffic. While shown, the view polls
// the activity monitor every 50 ms and lights an indicator while its latest
// stamp is less than 100 ms old; it repaints only when an indicator changes,
// so MIDI traffic alone never redraws the window.
class MIDIActivityView final : public QWidget {
    Q_OBJECT
public:
    static constexpr auto kPollInterval = std::chrono::milliseconds(50);

    // `latency` (may be null): the hub's latency, shown in both indicators' tooltips.
    MIDIActivityView(const MIDIActivityMonitor& monitor, MainQueue& queue,
                     const MIDILatencyMonitor* latency = nullptr, QWidget* parent = nullptr);
    ~MIDIActivityView() override;

    bool isInputLit() const { return indicators_.isInputActive; }
    bool isOutputLit() const { return indicators_.isOutputActive; }
    QWidget& inputIndicator() const;
    QWidget& outputIndicator() const;
    bool isPolling() const { return poll_.isActive(); }
    // The tooltip's latency line as it would show now ("Hub latency, last 10 s: p50 …").
    QString latencySummary() const;

    void refresh();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class Lamp;

    const MIDIActivityMonitor& monitor_;
    const MIDILatencyMonitor* latency_;
    MainQueue& queue_;
    MIDIActivityIndicators indicators_;
    Lamp* input_ = nullptr;
    Lamp* output_ = nullptr;
    TaskHandle poll_;
};

}  // namespace velorin
