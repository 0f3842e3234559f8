// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/NeonControls.hpp"

#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "ui/Theme.hpp"

namespace velorin {

namespace {
constexpr int kBox = 16;
constexpr int kFill = 13;
constexpr int kLabelGap = 10;
constexpr int kFontSize = 12;
constexpr int kDetailFontSize = 10;
}  // namespace

NeonToggle::NeonToggle(const QString& label, QWidget* parent) : NeonToggle(label, QString(), parent) {}

NeonToggle::NeonToggle(const QString& label, const QString& detail, QWidget* parent)
    : QAbstractButton(parent), accent_(theme::accent), detail_(detail) {
    setText(label);
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setFont(theme::monospacedFont(kFontSize));
    setToolTip(detail.isEmpty() ? label : label + QStringLiteral("\n") + detail);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void NeonToggle::setAccent(const QColor& accent) {
    accent_ = accent;
    update();
}

QSize NeonToggle::sizeHint() const {
    const QFontMetrics metrics(font());
    int height = std::max(kBox, metrics.height());
    int width = kBox + kLabelGap + metrics.horizontalAdvance(text());
    if (!detail_.isEmpty()) {
        const QFontMetrics detailMetrics(theme::monospacedFont(kDetailFontSize));
        height = std::max(kBox, metrics.height() + detailMetrics.height());
        width = std::max(width, kBox + kLabelGap + detailMetrics.horizontalAdvance(detail_));
    }
    return {width + 4, height + 6};
}

QSize NeonToggle::minimumSizeHint() const {
    const QSize hint = sizeHint();
    return {kBox + kLabelGap + QFontMetrics(font()).horizontalAdvance(QStringLiteral("M")) * 8,
            hint.height()};
}

void NeonToggle::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool enabled = isEnabled();
    QColor outline = accent_;
    outline.setAlphaF(enabled ? 0.65F : 0.25F);
    const QFontMetrics metrics(font());
    const int lineHeight = metrics.height();
    const int boxTop = detail_.isEmpty() ? (height() - kBox) / 2 : std::max(0, (lineHeight - kBox) / 2 + 3);
    const QRectF box(1.0, boxTop + 0.75, kBox - 1.5, kBox - 1.5);
    painter.setPen(QPen(outline, 1.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(box, 3, 3);
    if (isChecked()) {
        QColor fill = accent_;
        if (!enabled) fill.setAlphaF(0.35F);
        const double inset = (kBox - kFill) / 2.0;
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRoundedRect(QRectF(inset + 0.25, boxTop + inset + 0.25, kFill - 0.5, kFill - 0.5), 2, 2);
    }
    if (hasFocus()) {
        painter.setPen(QPen(theme::accent.lighter(130), 1, Qt::DotLine));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(0, boxTop, kBox, kBox).adjusted(-1, -1, 1, 1), 4, 4);
    }

    const int textLeft = kBox + kLabelGap;
    const int textWidth = std::max(0, width() - textLeft - 2);
    painter.setPen(enabled ? theme::text : theme::dimText);
    painter.setFont(font());
    const QString label = metrics.elidedText(text(), Qt::ElideMiddle, textWidth);
    if (detail_.isEmpty()) {
        painter.drawText(QRect(textLeft, 0, textWidth, height()), Qt::AlignVCenter | Qt::AlignLeft, label);
        return;
    }
    painter.drawText(QRect(textLeft, 3, textWidth, lineHeight), Qt::AlignVCenter | Qt::AlignLeft, label);
    const QFont detailFont = theme::monospacedFont(kDetailFontSize);
    painter.setFont(detailFont);
    painter.setPen(theme::dimText);
    const QFontMetrics detailMetrics(detailFont);
    painter.drawText(QRect(textLeft, 3 + lineHeight, textWidth, detailMetrics.height()),
                     Qt::AlignVCenter | Qt::AlignLeft,
                     detailMetrics.elidedText(detail_, Qt::ElideMiddle, textWidth));
}

NeonButton::NeonButton(const QString& text, QWidget* parent)
    : QPushButton(text, parent), accent_(theme::accent) {
    setFont(theme::monospacedFont(11, true));
    setCursor(Qt::PointingHandCursor);
    setMinimumHeight(24);
}

void NeonButton::setAccent(const QColor& accent) {
    accent_ = accent;
    update();
}

void NeonButton::setActive(bool active) {
    if (active_ == active) return;
    active_ = active;
    update();
}

void NeonButton::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool enabled = isEnabled();
    const QRectF frame = QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75);
    QColor edge = accent_;
    edge.setAlphaF(enabled ? (isDown() ? 1.0F : 0.8F) : 0.25F);
    QColor fill = theme::surface;
    if (active_) {
        fill = accent_;
        fill.setAlphaF(enabled ? 0.85F : 0.3F);
    } else if (isDown()) {
        fill = accent_.darker(300);
    } else if (underMouse() && enabled) {
        fill = theme::surface.lighter(135);
    }
    painter.setPen(QPen(edge, 1.5));
    painter.setBrush(fill);
    painter.drawRoundedRect(frame, 4, 4);
    if (hasFocus()) {
        painter.setPen(QPen(theme::text, 1, Qt::DotLine));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(frame.adjusted(2, 2, -2, -2), 3, 3);
    }
    QColor ink = active_ ? theme::background : accent_;
    if (!enabled) ink = theme::dimText;
    if (!icon().isNull()) {
        const QSize size = iconSize();
        const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
        icon().paint(&painter, target, Qt::AlignCenter, enabled ? QIcon::Normal : QIcon::Disabled);
        if (text().isEmpty()) return;
    }
    painter.setPen(ink);
    painter.setFont(font());
    painter.drawText(rect(), Qt::AlignCenter,
                     QFontMetrics(font()).elidedText(text(), Qt::ElideRight, width() - 8));
}

TitledGroupBox::TitledGroupBox(const QString& title, QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    title_ = new QLabel(title, this);
    title_->setFont(theme::monospacedFont(11, true));
    QPalette palette = title_->palette();
    palette.setColor(QPalette::WindowText, theme::dimText);
    title_->setPalette(palette);
    layout->addWidget(title_);
    content_ = new QVBoxLayout();
    content_->setContentsMargins(0, 0, 0, 0);
    content_->setSpacing(4);
    layout->addLayout(content_);
}

}  // namespace velorin
