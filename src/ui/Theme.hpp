// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>

#include <functional>

class QApplication;
class QPainter;

namespace velorin::theme {

// The window's dark theme: near-black surfaces, light monospaced text and
// bright accents. Sizes are in device-independent pixels.
inline const QColor background{0x0e, 0x10, 0x14};
inline const QColor surface{0x16, 0x1a, 0x21};
inline const QColor separator{0x2a, 0x30, 0x3a};
inline const QColor text{0xd8, 0xde, 0xe9};
inline const QColor dimText{0x7d, 0x86, 0x95};
inline const QColor accent{0x39, 0xd0, 0xff};
inline const QColor inputAccent{0x4d, 0xe3, 0x9a};   // "IN" sources in the log
inline const QColor outputAccent{0xff, 0x9f, 0x43};  // "OUT" sources in the log
inline const QColor betaAccent{0xff, 0x5c, 0xa8};

// The monospaced family used throughout, at `pixelSize`.
QFont monospacedFont(int pixelSize, bool bold = false);

// Fusion style with the dark palette, for the whole application.
void applyDarkTheme(QApplication& app);

// A 16 × 16 icon (also at 32) drawn by `draw` on a 16-unit canvas with a pen of `ink`.
QIcon drawnIcon(const std::function<void(QPainter&)>& draw, const QColor& ink = text, double penWidth = 1.3);

// Icons: the freedesktop theme's when it has one, else a small drawn one.
QIcon copyIcon();
QIcon trashIcon();

}  // namespace velorin::theme
