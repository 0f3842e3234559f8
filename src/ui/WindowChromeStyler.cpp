#include "ui/WindowChromeStyler.hpp"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace velorin {

WindowChromeStyler::WindowChromeStyler(QWidget& window, MainQueue& queue, SettingsStore& settings)
    : QObject(&window), window_(window), queue_(queue), settings_(settings) {
    window_.setMinimumSize(kMinimumContentWidth, kMinimumContentHeight);
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
    window_.resize(clampedSide(*width, kMinimumContentWidth), clampedSide(*height, kMinimumContentHeight));
}

void WindowChromeStyler::saveSize() {
    saveWorkItem_.cancel();
    settings_.set(kContentWidthKey, static_cast<double>(window_.width()));
    settings_.set(kContentHeightKey, static_cast<double>(window_.height()));
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
