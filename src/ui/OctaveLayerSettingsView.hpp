// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include <array>
#include <functional>

#include "morphs/OctaveLayerKind.hpp"

class QAbstractButton;
class QStackedLayout;

namespace velorin {

class NeonButton;
class NeonToggle;
class OctaveLayerSysExReferenceView;

// The Octave Layer's panel: the title "OCTAVE LAYER", the line "Add octave
// copies above and below notes" and "Close" (calls `onClose`); the group
// "Layers" with one switch per layer (shown by showLayers(), switched through
// `onSetLayer`); and the row
// "Controlled by Velorin SysEx", whose chevron presents the protocol 02
// reference in place of the panel until that sheet is closed.
class OctaveLayerSettingsView final : public QWidget {
    Q_OBJECT
public:
    using SetLayer = std::function<void(OctaveLayerKind, bool on)>;

    OctaveLayerSettingsView(SetLayer onSetLayer, std::function<void()> onClose, QWidget* parent = nullptr);

    // By OctaveLayerKind.
    void showLayers(const std::array<bool, 4>& enabled);

    bool isSysExReferencePresented() const { return referencePresented_; }
    void setSysExReferencePresented(bool presented);

    NeonButton& closeButton() const { return *close_; }
    NeonToggle& layerToggle(OctaveLayerKind kind) const { return *toggles_[rawValue(kind)]; }
    QAbstractButton& sysExReferenceRow() const { return *referenceRow_; }
    // Null unless the reference is presented.
    OctaveLayerSysExReferenceView* sysExReference() const { return reference_; }

signals:
    void sysExReferencePresentedChanged(bool presented);

private:
    SetLayer onSetLayer_;
    std::function<void()> onClose_;
    bool referencePresented_ = false;
    QStackedLayout* stack_ = nullptr;
    QWidget* panel_ = nullptr;
    NeonButton* close_ = nullptr;
    std::array<NeonToggle*, 4> toggles_{};
    QAbstractButton* referenceRow_ = nullptr;
    OctaveLayerSysExReferenceView* reference_ = nullptr;
};

}  // namespace velorin
