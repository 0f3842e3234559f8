// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QSize>

#include "core/MainQueue.hpp"
#include "core/SettingsStore.hpp"

class QWidget;

namespace velorin {

// Keeps the main window's minimum size and remembers its size across launches.
// The size is restored only when both keys are stored (raised to the minimum),
// saved 0.35 s after the last resize (so a drag writes once, shortly after it
// ends) and at once when the window closes or the application quits. The
// sizes are the content's (the central widget), without the menu bar or
// anything else the window adds around it: the content is at least
// 1090 × 692, and the stored size is the content's.
class WindowChromeStyler final : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kContentWidthKey = "mainWindow.contentWidth";
    static constexpr const char* kContentHeightKey = "mainWindow.contentHeight";
    static constexpr int kMinimumContentWidth = 1090;
    static constexpr int kMinimumContentHeight = 692;
    static constexpr std::chrono::milliseconds kSaveDelay{350};

    WindowChromeStyler(QWidget& window, QWidget& content, MainQueue& queue, SettingsStore& settings);
    ~WindowChromeStyler() override;

    void restoreSize();
    void saveSize();
    bool hasPendingSave() const { return saveWorkItem_.isActive(); }
    // What the window adds around the content (the menu bar's height).
    QSize frameExtra() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget& window_;
    QWidget& content_;
    MainQueue& queue_;
    SettingsStore& settings_;
    TaskHandle saveWorkItem_;
};

}  // namespace velorin
