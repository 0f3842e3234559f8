// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/Theme.hpp"

#include <QApplication>
#include <QFontDatabase>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QStyleFactory>

#include <functional>

namespace velorin::theme {

QFont monospacedFont(int pixelSize, bool bold) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

void applyDarkTheme(QApplication& app) {
    if (auto* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) app.setStyle(fusion);
    QPalette p;
    p.setColor(QPalette::Window, background);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, background);
    p.setColor(QPalette::AlternateBase, surface);
    p.setColor(QPalette::ToolTipBase, surface);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, dimText);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, surface);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Highlight, accent.darker(220));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, accent);
    p.setColor(QPalette::Light, separator.lighter(130));
    p.setColor(QPalette::Midlight, separator);
    p.setColor(QPalette::Mid, separator);
    p.setColor(QPalette::Dark, background.darker(130));
    p.setColor(QPalette::Shadow, Qt::black);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        p.setColor(QPalette::Disabled, role, dimText);
    }
    app.setPalette(p);
}

QIcon drawnIcon(const std::function<void(QPainter&)>& draw, const QColor& ink, double penWidth) {
    QIcon icon;
    for (int size : {16, 32}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(size / 16.0, size / 16.0);
        QPen pen(ink);
        pen.setWidthF(penWidth);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        draw(painter);
        icon.addPixmap(pixmap);
    }
    return icon;
}

QIcon copyIcon() {
    return QIcon::fromTheme(QStringLiteral("edit-copy"), drawnIcon([](QPainter& p) {
                                // Two overlapping sheets.
                                p.drawRoundedRect(QRectF(2.5, 2.5, 8, 9.5), 1.5, 1.5);
                                p.setBrush(background);
                                p.drawRoundedRect(QRectF(5.5, 4.5, 8, 9.5), 1.5, 1.5);
                            }));
}

QIcon trashIcon() {
    return QIcon::fromTheme(QStringLiteral("user-trash"), drawnIcon([](QPainter& p) {
                                p.drawLine(QPointF(2.5, 4), QPointF(13.5, 4));
                                p.drawLine(QPointF(6, 4), QPointF(6.5, 2.5));
                                p.drawLine(QPointF(6.5, 2.5), QPointF(9.5, 2.5));
                                p.drawLine(QPointF(9.5, 2.5), QPointF(10, 4));
                                p.drawRoundedRect(QRectF(4, 5.5, 8, 8.5), 1.2, 1.2);
                                p.drawLine(QPointF(6.8, 7.5), QPointF(6.8, 12));
                                p.drawLine(QPointF(9.2, 7.5), QPointF(9.2, 12));
                            }));
}

}  // namespace velorin::theme
