// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include <chrono>
#include <optional>

#include "core/MainQueue.hpp"
#include "core/Observable.hpp"
#include "link/LinkClockView.hpp"

class QLabel;

namespace velorin {

// The indicator lit for a beat position: the beat 40 ms ahead of `beat` at
// `tempo` BPM, reduced modulo 4 into [0, 4), rounded down (0 to 3). Looking
// ahead makes the lamp change with the beat as heard rather than after it.
int beatIndicatorIndex(double beat, double tempo);

// The tempo ("%.1f BPM") and four beat indicators. While the Link transport
// runs, the indicators follow the beat at up to 60 frames per second, carried
// on from the latest snapshot's anchor at its tempo; stopped, with Link
// disabled or hidden, none is lit and nothing redraws.
class LinkTempoStatusView final : public QWidget {
    Q_OBJECT
public:
    static constexpr auto kFrameInterval = std::chrono::microseconds(16'667);
    static constexpr int kIndicatorCount = 4;

    LinkTempoStatusView(const LinkStateChannel& link, MainQueue& queue, QWidget* parent = nullptr);
    ~LinkTempoStatusView() override;

    // Re-reads tempo and transport from the latest snapshot; starts or stops the frames.
    void refresh();

    QLabel& tempoLabel() const { return *tempo_; }
    // The lit indicator, none while stopped.
    std::optional<int> litIndicator() const { return lit_; }
    bool isAnimatingBeats() const { return frameTimer_.isActive(); }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    class Indicators;
    void frame();
    void setLit(std::optional<int> lit);

    const LinkStateChannel& link_;
    MainQueue& queue_;
    Subscription linkSubscription_;
    QLabel* tempo_ = nullptr;
    Indicators* indicators_ = nullptr;
    std::optional<int> lit_;
    TaskHandle frameTimer_;
};

}  // namespace velorin
