// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QColor>
#include <QLabel>
#include <QPalette>
#include <QScrollArea>
#include <QScrollBar>
#include <QString>

#include "ui/Theme.hpp"

namespace velorin {

// A label in the monospaced family at `pixelSize`, drawn in `color`.
inline QLabel* themedLabel(const QString& text, int pixelSize, bool bold, const QColor& color,
                           QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(theme::monospacedFont(pixelSize, bold));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}

// Accessibility for small state buttons: the label is the accessible name, the
// state ("On"/"Off", "Muted"/"Unmuted") the accessible description, since Qt
// buttons expose no value of their own; the help text is the tooltip.
inline void setAccessibility(QWidget& widget, const QString& label, const QString& value,
                             const QString& help) {
    widget.setAccessibleName(label);
    widget.setAccessibleDescription(value);
    widget.setToolTip(help);
}

// A frameless scroll area on the surface below it, scrolling vertically with a
// slim bar and no arrow buttons; `content` becomes its (resizable) widget.
inline void styleScrollArea(QScrollArea& scroll, QWidget& content) {
    scroll.setFrameShape(QFrame::NoFrame);
    scroll.setWidgetResizable(true);
    scroll.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll.setFocusPolicy(Qt::NoFocus);
    scroll.viewport()->setAutoFillBackground(false);
    scroll.verticalScrollBar()->setStyleSheet(
        QStringLiteral("QScrollBar:vertical { background: transparent; width: 8px; margin: 0; }"
                       "QScrollBar::handle:vertical { background: %1; border-radius: 4px; min-height: 24px; }"
                       "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
                       "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }")
            .arg(theme::separator.lighter(140).name()));
    scroll.setWidget(&content);
    content.setAutoFillBackground(false);  // setWidget() turned it on
}

}  // namespace velorin
