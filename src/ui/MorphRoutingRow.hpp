#pragma once

#include <QFrame>

#include <functional>
#include <string>

#include "core/Observable.hpp"
#include "engine/MIDIEngine.hpp"

class QLabel;

namespace velorin {

class FC200UpperPedalStrip;
class LinkLooperInlineStateStrip;
class NeonButton;
class OctaveLayerInlineStateStrip;

// One morph in the routing section's "Morphs" column: its title and detail,
// selectable by click, Space or Return, with the morph's own controls inside —
// the FC-200 options and pedal strip, the Octave Layer and Link Looper strips,
// and "Open" for a morph with a panel. The controls call the engine; what they
// show follows the engine's settings objects.
class MorphRoutingRow final : public QFrame {
    Q_OBJECT
public:
    MorphRoutingRow(MIDIEngine& engine, const MorphPresentationMetadata& morph,
                    std::function<void(const std::string&)> onSelect, QWidget* parent = nullptr);
    ~MorphRoutingRow() override;

    const std::string& morphID() const { return morph_.id; }
    const MorphPresentationMetadata& morph() const { return morph_; }
    void setSelected(bool selected);
    bool isSelected() const { return selected_; }
    void setLinkTransportRunning(bool running);

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
    void refreshFC200();

    MIDIEngine& engine_;
    MorphPresentationMetadata morph_;
    std::function<void(const std::string&)> onSelect_;
    bool selected_ = false;
    QLabel* title_ = nullptr;
    QLabel* detail_ = nullptr;
    NeonButton* open_ = nullptr;
    NeonButton* togglesUpperPedals_ = nullptr;
    NeonButton* sharesLowerCCs_ = nullptr;
    FC200UpperPedalStrip* pedalStrip_ = nullptr;
    OctaveLayerInlineStateStrip* octaveStrip_ = nullptr;
    LinkLooperInlineStateStrip* looperStrip_ = nullptr;
    Subscription fc200Subscription_;
};

}  // namespace velorin
