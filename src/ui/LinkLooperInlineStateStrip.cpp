// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/LinkLooperInlineStateStrip.hpp"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "ui/NeonControls.hpp"
#include "ui/ThemedWidgets.hpp"

namespace velorin {

namespace {

// The speaker symbols: the icon theme's when it has them, else a drawn speaker
// with a slash (muted) or one sound wave (not muted).
QIcon speakerIcon(bool muted) {
    const QString themeName =
        muted ? QStringLiteral("audio-volume-muted") : QStringLiteral("audio-volume-low");
    if (QIcon::hasThemeIcon(themeName)) return QIcon::fromTheme(themeName);
    QIcon icon;
    for (const int size : {14, 28}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(size / 14.0, size / 14.0);
        QPainterPath speaker;
        speaker.moveTo(1.5, 5);
        speaker.lineTo(4, 5);
        speaker.lineTo(7.5, 2);
        speaker.lineTo(7.5, 12);
        speaker.lineTo(4, 9);
        speaker.lineTo(1.5, 9);
        speaker.closeSubpath();
        painter.setPen(Qt::NoPen);
        painter.setBrush(theme::text);
        painter.drawPath(speaker);
        QPen pen(theme::text, 1.3);
        pen.setCapStyle(Qt::RoundCap);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        if (muted) {
            painter.drawLine(QPointF(9.5, 5), QPointF(13, 9));
            painter.drawLine(QPointF(13, 5), QPointF(9.5, 9));
        } else {
            painter.drawArc(QRectF(6.5, 4, 5, 6), -60 * 16, 120 * 16);
        }
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace

LinkLooperInlineStateStrip::LinkLooperInlineStateStrip(SetLooper onSetLooper, SetMute onSetMute,
                                                       QWidget* parent)
    : QWidget(parent), onSetLooper_(std::move(onSetLooper)), onSetMute_(std::move(onSetMute)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    auto* caption = themedLabel(QStringLiteral("Loopers"), 10, false, theme::dimText, this);
    caption->setFixedWidth(56);
    layout->addWidget(caption);
    for (int index = 0; index < 4; ++index) {
        auto* cell = new QWidget(this);
        auto* cellLayout = new QHBoxLayout(cell);
        cellLayout->setContentsMargins(0, 0, 6, 0);
        cellLayout->setSpacing(2);
        auto* looper = new NeonButton(QString::number(index + 1), cell);
        looper->setFont(theme::monospacedFont(10, true));
        looper->setFixedSize(24, 22);
        auto* mute = new NeonButton(QString(), cell);
        mute->setFixedSize(24, 22);
        mute->setIconSize(QSize(14, 14));
        connect(looper, &QPushButton::clicked, this, [this, index] {
            if (onSetLooper_)
                onSetLooper_(index, !looperButtons_[static_cast<std::size_t>(index)]->isActive());
        });
        connect(mute, &QPushButton::clicked, this, [this, index] {
            if (onSetMute_) onSetMute_(index, !mutedShown_[static_cast<std::size_t>(index)]);
        });
        cellLayout->addWidget(looper);
        cellLayout->addWidget(mute);
        looperButtons_[static_cast<std::size_t>(index)] = looper;
        muteButtons_[static_cast<std::size_t>(index)] = mute;
        layout->addWidget(cell);
    }
    loopLength_ = themedLabel(QString(), 10, false, theme::text, this);
    loopLength_->setAccessibleName(QStringLiteral("Loop length"));
    loopLength_->setToolTip(QStringLiteral("Shared loop length set by Velorin SysEx"));
    layout->addWidget(loopLength_);
    layout->addStretch(1);
    refresh();
}

void LinkLooperInlineStateStrip::showLoopers(const std::vector<LooperState>& loopers, int loopLengthBeats) {
    if (loopers == loopers_ && loopLengthBeats == loopLengthBeats_) return;
    loopers_ = loopers;
    loopLengthBeats_ = loopLengthBeats;
    refresh();
}

void LinkLooperInlineStateStrip::setLinkTransportRunning(bool running) {
    if (transportRunning_ == running) return;
    transportRunning_ = running;
    refresh();
}

void LinkLooperInlineStateStrip::refresh() {
    for (const LooperState& state : loopers_) {
        const auto slot = static_cast<std::size_t>(state.index);
        if (slot >= looperButtons_.size()) continue;
        const QString number = QString::number(state.index + 1);
        NeonButton& looper = *looperButtons_[slot];
        looper.setActive(state.isOn);
        QString help;
        if (state.isOn) {
            help = QStringLiteral("Turn Looper %1 off").arg(number);
        } else if (transportRunning_) {
            help = QStringLiteral("Turn Looper %1 on").arg(number);
        } else {
            help = QStringLiteral("Start Link transport to turn Looper %1 on").arg(number);
        }
        setAccessibility(looper, QStringLiteral("Looper ") + number,
                         state.isOn ? QStringLiteral("On") : QStringLiteral("Off"), help);

        NeonButton& mute = *muteButtons_[slot];
        mutedShown_[slot] = state.isMuted;
        mute.setIcon(speakerIcon(state.isMuted));
        setAccessibility(
            mute, QStringLiteral("Looper %1 mute").arg(number),
            state.isMuted ? QStringLiteral("Muted") : QStringLiteral("Unmuted"),
            (state.isMuted ? QStringLiteral("Unmute Looper ") : QStringLiteral("Mute Looper ")) + number);
    }
    loopLength_->setText(QStringLiteral("Beats: %1").arg(loopLengthBeats_));
}

}  // namespace velorin
