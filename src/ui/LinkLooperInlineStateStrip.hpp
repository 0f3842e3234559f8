// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include <array>
#include <functional>
#include <vector>

#include "morphs/LinkLooperStateStore.hpp"

class QLabel;

namespace velorin {

class NeonButton;

// The Link Looper's strip in its routing row: the caption "Loopers", one cell
// per looper (its looper button, lit while on, and its mute button) and the
// shared loop length ("Beats: N"), which only SysEx changes. Shows what
// showLoopers() gives it; the buttons report the wanted state through the
// callbacks and change nothing themselves.
class LinkLooperInlineStateStrip final : public QWidget {
    Q_OBJECT
public:
    using SetLooper = std::function<void(int index, bool on)>;
    using SetMute = std::function<void(int index, bool muted)>;

    LinkLooperInlineStateStrip(SetLooper onSetLooper, SetMute onSetMute, QWidget* parent = nullptr);

    void showLoopers(const std::vector<LooperState>& loopers, int loopLengthBeats);

    // Only the looper buttons' help text depends on it.
    void setLinkTransportRunning(bool running);
    bool isLinkTransportRunning() const { return transportRunning_; }

    NeonButton& looperButton(int index) const { return *looperButtons_.at(static_cast<std::size_t>(index)); }
    NeonButton& muteButton(int index) const { return *muteButtons_.at(static_cast<std::size_t>(index)); }
    QLabel& loopLengthLabel() const { return *loopLength_; }

private:
    void refresh();

    std::vector<LooperState> loopers_;
    int loopLengthBeats_ = 0;
    SetLooper onSetLooper_;
    SetMute onSetMute_;
    bool transportRunning_ = false;
    std::array<NeonButton*, 4> looperButtons_{};
    std::array<NeonButton*, 4> muteButtons_{};
    std::array<bool, 4> mutedShown_{};
    QLabel* loopLength_ = nullptr;
};

}  // namespace velorin
