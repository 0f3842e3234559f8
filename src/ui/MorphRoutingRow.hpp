// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFrame>

#include <functional>
#include <string>

#include "engine/MIDIEngineView.hpp"

class QLabel;

namespace velorin {

class FC200UpperPedalStrip;
class LinkLooperInlineStateStrip;
class NeonButton;
class OctaveLayerInlineStateStrip;

// One morph in the routing section's "Morphs" column: its title and detail,
// selectable by click, Space or Return, with the morph's own controls inside —
// the FC-200 options and pedal strip, the Octave Layer and Link Looper strips,
// and "Open" for a morph with a panel. The controls post commands to the
// engine; what they show is the snapshot given to showState().
class MorphRoutingRow final : public QFrame {
    Q_OBJECT
public:
    // `commands` outlives the row.
    MorphRoutingRow(const MIDIEngineCommands& commands, const MorphPresentationMetadata& morph,
                    std::function<void(const std::string&)> onSelect, QWidget* parent = nullptr);
    ~MorphRoutingRow() override;

    const std::string& morphID() const { return morph_.id; }
    const MorphPresentationMetadata& morph() const { return morph_; }
    void setSelected(bool selected);
    bool isSelected() const { return selected_; }
    void setLinkTransportRunning(bool running);
    // Shows the morph's options and state as the snapshot has them.
    void showState(const MIDIEngineSnapshot& engine);

    QLabel& titleLabel() const { return *title_; }
    QLabel& detailLabel() const { return *detail_; }
    // Null where the morph has no such control.
    NeonButton* openButton() const { return open_; }
    NeonButton* upperPedalsToggleButton() const { return togglesUpperPedals_; }
    NeonButton* shareLowerCCsButton() const { return sharesLowerCCs_; }
    FC200UpperPedalStrip* upperPedalStrip() const { return pedalStrip_; }
    OctaveLayerInlineStateStrip* octaveLayerStrip() const { return octaveStrip_; }
    LinkLooperInlineStateStrip* linkLooperStrip() const { return looperStrip_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    const MIDIEngineCommands& commands_;
    MorphPresentationMetadata morph_;
    std::function<void(const std::string&)> onSelect_;
    bool selected_ = false;
    // The FC-200 options as last shown, which the buttons flip.
    bool togglesUpperPedalsOn_ = false;
    bool sharesLowerCCsOn_ = false;
    QLabel* title_ = nullptr;
    QLabel* detail_ = nullptr;
    NeonButton* open_ = nullptr;
    NeonButton* togglesUpperPedals_ = nullptr;
    NeonButton* sharesLowerCCs_ = nullptr;
    FC200UpperPedalStrip* pedalStrip_ = nullptr;
    OctaveLayerInlineStateStrip* octaveStrip_ = nullptr;
    LinkLooperInlineStateStrip* looperStrip_ = nullptr;
};

}  // namespace velorin
