// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/FC200UpperPedalStrip.hpp"

#include <QHBoxLayout>
#include <QPainter>

#include "ui/ThemedWidgets.hpp"

namespace velorin {

FC200UpperPedalCell::FC200UpperPedalCell(int pedalNumber, QWidget* parent)
    : QWidget(parent), pedalNumber_(pedalNumber) {
    setFixedSize(sizeHint());
    setOn(false);
}

void FC200UpperPedalCell::setOn(bool on) {
    on_ = on;
    const QString number = QString::number(pedalNumber_);
    setAccessibility(
        *this, QStringLiteral("Pedal ") + number, on ? QStringLiteral("On") : QStringLiteral("Off"),
        QStringLiteral("Pedal %1 %2").arg(number, on ? QStringLiteral("on") : QStringLiteral("off")));
    update();
}

void FC200UpperPedalCell::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setFont(theme::monospacedFont(10, true));
    painter.setPen(on_ ? theme::text : theme::dimText);
    painter.drawText(QRect(0, 0, width(), 14), Qt::AlignCenter, QString::number(pedalNumber_));
    QColor edge = theme::accent;
    edge.setAlphaF(0.65F);
    painter.setPen(QPen(edge, 1.5));
    painter.setBrush(on_ ? theme::accent : QColor(Qt::transparent));
    painter.drawEllipse(QRectF(width() / 2.0 - 5, 17, 10, 10));
}

FC200UpperPedalStrip::FC200UpperPedalStrip(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    auto* caption = themedLabel(QStringLiteral("Pedals"), 10, false, theme::dimText, this);
    caption->setFixedWidth(56);
    layout->addWidget(caption);
    for (int pedal = 6; pedal <= 10; ++pedal) {
        auto* cell = new FC200UpperPedalCell(pedal, this);
        cells_[static_cast<std::size_t>(pedal - 6)] = cell;
        layout->addWidget(cell);
    }
    layout->addStretch(1);
}

void FC200UpperPedalStrip::showPedals(const std::array<bool, 5>& on) {
    for (std::size_t i = 0; i < on.size(); ++i) {
        if (cells_[i]->isOn() != on[i]) cells_[i]->setOn(on[i]);
    }
}

}  // namespace velorin
