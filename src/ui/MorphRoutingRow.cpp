// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/MorphRoutingRow.hpp"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>

#include "ui/FC200UpperPedalStrip.hpp"
#include "ui/LinkLooperInlineStateStrip.hpp"
#include "ui/NeonControls.hpp"
#include "ui/OctaveLayerInlineStateStrip.hpp"
#include "ui/ThemedWidgets.hpp"

namespace velorin {

namespace {
QString qString(const std::string& text) {
    return QString::fromStdString(text);
}

NeonButton* smallButton(const QString& text, QWidget* parent) {
    auto* button = new NeonButton(text, parent);
    button->setFont(theme::monospacedFont(10, true));
    button->setFixedHeight(22);
    button->setMinimumHeight(22);
    const int width = QFontMetrics(button->font()).horizontalAdvance(text) + 18;
    button->setFixedWidth(width);
    return button;
}
}  // namespace

MorphRoutingRow::MorphRoutingRow(const MIDIEngineCommands& commands, const MorphPresentationMetadata& morph,
                                 std::function<void(const std::string&)> onSelect, QWidget* parent)
    : QFrame(parent), commands_(commands), morph_(morph), onSelect_(std::move(onSelect)) {
    setObjectName(QStringLiteral("morphRow-") + qString(morph.id));
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(qString(morph.title));
    setAccessibleDescription(qString(morph.detail));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 6, 8, 7);
    layout->setSpacing(3);

    auto* heading = new QHBoxLayout();
    heading->setSpacing(6);
    title_ = themedLabel(qString(morph.title), 12, true, theme::text, this);
    heading->addWidget(title_, 1);
    if (morph.hasUI) {
        open_ = smallButton(QStringLiteral("Open"), this);
        open_->setToolTip(QStringLiteral("Open ") + qString(morph.title));
        open_->setAccessibleName(QStringLiteral("Open ") + qString(morph.title));
        connect(open_, &QPushButton::clicked, this, [this] { commands_.openMorphUI(morph_.id); });
        heading->addWidget(open_, 0, Qt::AlignTop);
    }
    layout->addLayout(heading);

    detail_ = themedLabel(qString(morph.detail), 10, false, theme::dimText, this);
    detail_->setWordWrap(true);
    layout->addWidget(detail_);

    if (morph.id == MorphRegistry::kFC200ID) {
        auto* options = new QHBoxLayout();
        options->setSpacing(6);
        togglesUpperPedals_ = smallButton(QStringLiteral("6-10 TOGGLE"), this);
        togglesUpperPedals_->setToolTip(
            QStringLiteral("Pedals 6-10 latch: each press flips between 127 and 0"));
        sharesLowerCCs_ = smallButton(QStringLiteral("SHARE 1-5 CC"), this);
        sharesLowerCCs_->setToolTip(QStringLiteral("Toggled pedals 6-10 send the CCs of pedals 1-5"));
        connect(togglesUpperPedals_, &QPushButton::clicked, this,
                [this] { commands_.setFC200UpperPedalsToggleEnabled(!togglesUpperPedalsOn_); });
        connect(sharesLowerCCs_, &QPushButton::clicked, this,
                [this] { commands_.setFC200UpperPedalsShareLowerCCsEnabled(!sharesLowerCCsOn_); });
        options->addWidget(togglesUpperPedals_);
        options->addWidget(sharesLowerCCs_);
        options->addStretch(1);
        layout->addLayout(options);
        pedalStrip_ = new FC200UpperPedalStrip(this);
        layout->addWidget(pedalStrip_);
    } else if (morph.id == MorphRegistry::kOctaveLayerID) {
        octaveStrip_ = new OctaveLayerInlineStateStrip(commands_.setOctaveLayerEnabled, this);
        layout->addWidget(octaveStrip_);
    } else if (morph.id == MorphRegistry::kLinkLooperID) {
        looperStrip_ =
            new LinkLooperInlineStateStrip(commands_.setLinkLooper, commands_.setLinkLooperMute, this);
        layout->addWidget(looperStrip_);
    }
}

MorphRoutingRow::~MorphRoutingRow() = default;

void MorphRoutingRow::showState(const MIDIEngineSnapshot& engine) {
    if (pedalStrip_) {
        togglesUpperPedalsOn_ = engine.fc200TogglesUpperPedals;
        sharesLowerCCsOn_ = engine.fc200UpperPedalsShareLowerCCs;
        const auto onOff = [](bool on) { return on ? QStringLiteral("On") : QStringLiteral("Off"); };
        togglesUpperPedals_->setActive(togglesUpperPedalsOn_);
        togglesUpperPedals_->setAccessibleDescription(onOff(togglesUpperPedalsOn_));
        sharesLowerCCs_->setActive(sharesLowerCCsOn_);
        sharesLowerCCs_->setAccessibleDescription(onOff(sharesLowerCCsOn_));
        sharesLowerCCs_->setEnabled(togglesUpperPedalsOn_);
        pedalStrip_->setVisible(togglesUpperPedalsOn_);
        pedalStrip_->showPedals(engine.fc200UpperPedalsOn);
    }
    if (octaveStrip_) octaveStrip_->showLayers(engine.octaveLayersEnabled);
    if (looperStrip_) looperStrip_->showLoopers(engine.loopers, engine.loopLengthBeats);
}

void MorphRoutingRow::setSelected(bool selected) {
    if (selected_ == selected) return;
    selected_ = selected;
    update();
}

void MorphRoutingRow::setLinkTransportRunning(bool running) {
    if (looperStrip_) looperStrip_->setLinkTransportRunning(running);
}

void MorphRoutingRow::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75);
    QColor edge = selected_ ? theme::accent : theme::separator;
    if (selected_) edge.setAlphaF(0.8F);
    painter.setPen(QPen(edge, selected_ ? 1.5 : 1.0));
    painter.setBrush(selected_ ? theme::surface.lighter(115) : theme::surface);
    painter.drawRoundedRect(frame, 5, 5);
    if (selected_) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(theme::accent);
        painter.drawRoundedRect(QRectF(3, 6, 3, height() - 12), 1.5, 1.5);
    }
    if (hasFocus()) {
        painter.setPen(QPen(theme::accent.lighter(130), 1, Qt::DotLine));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(frame.adjusted(2, 2, -2, -2), 4, 4);
    }
}

void MorphRoutingRow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && onSelect_) {
        onSelect_(morph_.id);
        event->accept();
        return;
    }
    QFrame::mousePressEvent(event);
}

void MorphRoutingRow::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Space || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        onSelect_) {
        onSelect_(morph_.id);
        event->accept();
        return;
    }
    QFrame::keyPressEvent(event);
}

}  // namespace velorin
