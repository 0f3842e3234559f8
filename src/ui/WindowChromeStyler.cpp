// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/WindowChromeStyler.hpp"

#include <QCoreApplication>
#include <QEvent>
#include <QSize>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace velorin {

WindowChromeStyler::WindowChromeStyler(QWidget& window, QWidget& content, MainQueue& queue,
                                       SettingsStore& settings)
    : QObject(&window), window_(window), content_(content), queue_(queue), settings_(settings) {
    // The window's own minimum follows from its layout: this plus the menu bar.
    content_.setMinimumSize(kMinimumContentWidth, kMinimumContentHeight);
    window_.installEventFilter(this);
    if (auto* app = QCoreApplication::instance()) {
        connect(app, &QCoreApplication::aboutToQuit, this, &WindowChromeStyler::saveSize);
    }
}

WindowChromeStyler::~WindowChromeStyler() = default;

void WindowChromeStyler::restoreSize() {
    const auto width = settings_.doubleValue(kContentWidthKey);
    const auto height = settings_.doubleValue(kContentHeightKey);
    if (!width || !height) return;
    // Stored values are untrusted: keep them within what a screen can hold.
    static constexpr double kLargest = 100000;
    const auto clampedSide = [](double stored, int minimum) {
        if (!std::isfinite(stored)) stored = minimum;
        return static_cast<int>(std::lround(std::clamp(stored, static_cast<double>(minimum), kLargest)));
    };
    window_.resize(
        QSize(clampedSide(*width, kMinimumContentWidth), clampedSide(*height, kMinimumContentHeight)) +
        frameExtra());
}

QSize WindowChromeStyler::frameExtra() const {
    // The layout's minimum is the content's minimum plus what surrounds it;
    // known before the window is first shown.
    const QSize extra = window_.minimumSizeHint() - content_.minimumSize();
    return extra.expandedTo(QSize(0, 0));
}

void WindowChromeStyler::saveSize() {
    saveWorkItem_.cancel();
    // Before the first layout the content has no size of its own yet.
    const QSize content = content_.testAttribute(Qt::WA_WState_Created) && content_.isVisible()
                              ? content_.size()
                              : window_.size() - frameExtra();
    settings_.set(kContentWidthKey, static_cast<double>(content.width()));
    settings_.set(kContentHeightKey, static_cast<double>(content.height()));
}

bool WindowChromeStyler::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &window_) {
        if (event->type() == QEvent::Resize) {
            saveWorkItem_ = queue_.postAfter(kSaveDelay, [this] { saveSize(); });
        } else if (event->type() == QEvent::Close) {
            saveSize();
        }
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace velorin
