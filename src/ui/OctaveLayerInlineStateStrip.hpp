#pragma once

#include <QWidget>

#include <array>

#include "core/Observable.hpp"
#include "morphs/OctaveLayerSettings.hpp"

namespace velorin {

class NeonButton;

// The Octave Layer's strip in its routing row: the caption "Octaves" and one
// small button per layer in case order, lit while the layer is enabled;
// pressing one toggles that layer in the shared settings. Follows the settings.
class OctaveLayerInlineStateStrip final : public QWidget {
    Q_OBJECT
public:
    explicit OctaveLayerInlineStateStrip(OctaveLayerSettings& settings, QWidget* parent = nullptr);

    NeonButton& cell(OctaveLayerKind kind) const { return *cells_[rawValue(kind)]; }

private:
    void refresh();

    OctaveLayerSettings& settings_;
    std::array<NeonButton*, 4> cells_{};
    Subscription subscription_;
};

}  // namespace velorin
