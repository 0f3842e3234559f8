// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include <array>
#include <functional>

#include "morphs/OctaveLayerKind.hpp"

namespace velorin {

class NeonButton;

// The Octave Layer's strip in its routing row: the caption "Octaves" and one
// small button per layer in case order, lit while the layer is enabled;
// pressing one asks for the opposite of what it shows through `onSetLayer`.
class OctaveLayerInlineStateStrip final : public QWidget {
    Q_OBJECT
public:
    using SetLayer = std::function<void(OctaveLayerKind, bool on)>;

    explicit OctaveLayerInlineStateStrip(SetLayer onSetLayer, QWidget* parent = nullptr);

    // By OctaveLayerKind.
    void showLayers(const std::array<bool, 4>& enabled);
    NeonButton& cell(OctaveLayerKind kind) const { return *cells_[rawValue(kind)]; }

private:
    SetLayer onSetLayer_;
    std::array<bool, 4> enabled_{};
    std::array<NeonButton*, 4> cells_{};
};

}  // namespace velorin
