// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/VLUSBStatusView.hpp"

#include <QEvent>
#include <QHelpEvent>
#include <QToolTip>

#include "ui/Theme.hpp"

namespace velorin {

VLUSBStatusView::VLUSBStatusView(const VLUSBStatusChannel* status, QWidget* parent)
    : QLabel(parent), status_(status) {
    setObjectName(QStringLiteral("vlUSBStatus"));
    setFont(theme::monospacedFont(11, true));
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, theme::dimText);
    setPalette(palette);
    if (status_ != nullptr) subscription_ = status_->observe([this] { refresh(); });
    refresh();
}

VLUSBStatusView::~VLUSBStatusView() = default;

void VLUSBStatusView::refresh() {
    const QString title = status_ != nullptr ? QString::fromStdString(status_->latest()->title)
                                             : QStringLiteral("0 VL USB Devices");
    if (text() != title) setText(title);
    setAccessibleName(title);
}

QString VLUSBStatusView::deviceSummary() const {
    if (status_ == nullptr) return QStringLiteral("No VL USB devices connected");
    QStringList lines;
    const auto status = status_->latest();
    for (const auto& device : status->connectedDevices) {
        QString line = QString::fromStdString(device.name);
        if (const auto& roundTrip = device.lastPingRoundTrip) {
            const double ms = std::chrono::duration<double, std::milli>(*roundTrip).count();
            line += QStringLiteral(": ping %1 ms").arg(ms, 0, 'f', 1);
        } else {
            line += QStringLiteral(": no ping answered yet");
        }
        lines << line;
    }
    if (lines.isEmpty()) return QStringLiteral("No VL USB devices connected");
    return lines.join(QLatin1Char('\n'));
}

bool VLUSBStatusView::event(QEvent* event) {
    // Built on demand from the latest status.
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        QToolTip::showText(help->globalPos(), deviceSummary(), this);
        return true;
    }
    return QLabel::event(event);
}

}  // namespace velorin
