// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/OctaveLayerInlineStateStrip.hpp"

#include <QHBoxLayout>

#include "ui/NeonControls.hpp"
#include "ui/ThemedWidgets.hpp"

namespace velorin {

OctaveLayerInlineStateStrip::OctaveLayerInlineStateStrip(SetLayer onSetLayer, QWidget* parent)
    : QWidget(parent), onSetLayer_(std::move(onSetLayer)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    auto* caption = themedLabel(QStringLiteral("Octaves"), 10, false, theme::dimText, this);
    caption->setFixedWidth(56);
    layout->addWidget(caption);
    for (const OctaveLayerKind kind : kAllOctaveLayerKinds) {
        auto* cell =
            new NeonButton(QString::fromUtf8(label(kind).data(), static_cast<int>(label(kind).size())), this);
        cell->setFont(theme::monospacedFont(10, true));
        cell->setFixedSize(54, 22);
        cell->setMinimumHeight(22);
        connect(cell, &QPushButton::clicked, this, [this, kind] {
            if (onSetLayer_) onSetLayer_(kind, !enabled_[rawValue(kind)]);
        });
        cells_[rawValue(kind)] = cell;
        layout->addWidget(cell);
    }
    layout->addStretch(1);
    showLayers(enabled_);
}

void OctaveLayerInlineStateStrip::showLayers(const std::array<bool, 4>& enabled) {
    enabled_ = enabled;
    for (const OctaveLayerKind kind : kAllOctaveLayerKinds) {
        NeonButton& button = *cells_[rawValue(kind)];
        const bool on = enabled_[rawValue(kind)];
        const QString text = button.text();
        button.setActive(on);
        setAccessibility(
            button, text, on ? QStringLiteral("On") : QStringLiteral("Off"),
            QStringLiteral("Turn %1 %2").arg(text, on ? QStringLiteral("off") : QStringLiteral("on")));
    }
}

}  // namespace velorin
