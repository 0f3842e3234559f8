// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include <optional>

#include "core/Observable.hpp"
#include "engine/MIDIEngineView.hpp"

class QFrame;
class QVBoxLayout;

namespace velorin {

class LinkLooperSysExReferenceView;
class OctaveLayerSettingsView;

// Shows a morph's sheet over the window's content while the engine presents a
// morph UI: the Octave Layer settings panel or the Link Looper SysEx reference,
// centred on a dimmed backdrop that covers (and blocks) the content below.
// Closing the sheet — its "Close" button or Escape — asks the engine to
// dismiss it. Follows the engine's snapshots, so a sheet opened elsewhere
// shows here too.
//
// Created as a child of the widget it covers and kept at that widget's size.
class MorphSheetHost final : public QWidget {
    Q_OBJECT
public:
    // `engine` and `commands` outlive the host.
    MorphSheetHost(const MIDIEngineStateChannel& engine, const MIDIEngineCommands& commands,
                   QWidget* covered);
    ~MorphSheetHost() override;

    bool isPresenting() const { return route_.has_value(); }
    std::optional<MorphUIRoute> presentedRoute() const { return route_; }
    // Null unless that sheet is shown.
    OctaveLayerSettingsView* octaveLayerSettingsView() const { return octaveLayer_; }
    LinkLooperSysExReferenceView* linkLooperSysExReferenceView() const { return linkLooper_; }
    QFrame& panel() const { return *panel_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool focusNextPrevChild(bool next) override;

private:
    void sync();
    void layoutPanel();

    const MIDIEngineStateChannel& engine_;
    const MIDIEngineCommands& commands_;
    std::optional<MorphUIRoute> route_;
    QFrame* panel_ = nullptr;
    QVBoxLayout* panelLayout_ = nullptr;
    QWidget* sheet_ = nullptr;
    OctaveLayerSettingsView* octaveLayer_ = nullptr;
    LinkLooperSysExReferenceView* linkLooper_ = nullptr;
    Subscription subscription_;
};

}  // namespace velorin
