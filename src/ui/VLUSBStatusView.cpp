#include "ui/VLUSBStatusView.hpp"

#include <QEvent>
#include <QHelpEvent>
#include <QToolTip>

#include "ui/Theme.hpp"
#include "usb/VLUSBService.hpp"

namespace velorin {

VLUSBStatusView::VLUSBStatusView(const VLUSBService* service, QWidget* parent)
    : QLabel(parent), service_(service) {
    setObjectName(QStringLiteral("vlUSBStatus"));
    setFont(theme::monospacedFont(11, true));
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, theme::dimText);
    setPalette(palette);
    if (service_ != nullptr) subscription_ = service_->observe([this] { refresh(); });
    refresh();
}

VLUSBStatusView::~VLUSBStatusView() = default;

void VLUSBStatusView::refresh() {
    const QString title = service_ != nullptr ? QString::fromStdString(service_->statusTitle())
                                              : QStringLiteral("0 VL USB Devices");
    if (text() != title) setText(title);
    setAccessibleName(title);
}

QString VLUSBStatusView::deviceSummary() const {
    if (service_ == nullptr) return QStringLiteral("No VL USB devices connected");
    QStringList lines;
    for (const auto& device : service_->devices()) {
        if (!device->isConnected()) continue;
        QString line = QString::fromStdString(device->info().name);
        if (const auto roundTrip = service_->lastPingRoundTrip(device->id())) {
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
    // Built on demand so that the round trips are those of the moment.
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        QToolTip::showText(help->globalPos(), deviceSummary(), this);
        return true;
    }
    return QLabel::event(event);
}

}  // namespace velorin
