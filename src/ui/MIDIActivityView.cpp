// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/MIDIActivityView.hpp"

#include <QHBoxLayout>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

#include "ui/Theme.hpp"

namespace velorin {

// A round lamp with its short label to the right.
class MIDIActivityView::Lamp final : public QWidget {
public:
    Lamp(const QString& label, const QString& help, const QColor& accent, QWidget* parent)
        : QWidget(parent), label_(label), accent_(accent) {
        setAccessibleName(help);
        setToolTip(help);
        setFont(theme::monospacedFont(10, true));
        setFixedSize(12 + QFontMetrics(font()).horizontalAdvance(label) + 2, 18);
    }
    void setLit(bool lit) {
        if (lit_ == lit) return;
        lit_ = lit;
        update();
    }

protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor edge = accent_;
        edge.setAlphaF(lit_ ? 1.0F : 0.4F);
        painter.setPen(QPen(edge, 1));
        painter.setBrush(lit_ ? QBrush(accent_) : QBrush(theme::surface));
        painter.drawEllipse(QRectF(0.5, (height() - 8) / 2.0, 8, 8));
        painter.setPen(lit_ ? theme::text : theme::dimText);
        painter.drawText(QRect(12, 0, width() - 12, height()), Qt::AlignLeft | Qt::AlignVCenter, label_);
    }

private:
    QString label_;
    QColor accent_;
    bool lit_ = false;
};

MIDIActivityView::MIDIActivityView(const MIDIActivityMonitor& monitor, MainQueue& queue,
                                   const MIDILatencyMonitor* latency, QWidget* parent)
    : QWidget(parent), monitor_(monitor), latency_(latency), queue_(queue) {
    setObjectName(QStringLiteral("midiActivity"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    input_ = new Lamp(QStringLiteral("IN"), QStringLiteral("MIDI In"), theme::inputAccent, this);
    output_ = new Lamp(QStringLiteral("OUT"), QStringLiteral("MIDI Out"), theme::outputAccent, this);
    layout->addWidget(input_);
    layout->addWidget(output_);
    if (latency_ != nullptr) {
        input_->installEventFilter(this);
        output_->installEventFilter(this);
    }
}

QString MIDIActivityView::latencySummary() const {
    if (latency_ == nullptr) return {};
    const auto summary = latency_->summary(MIDILatencyMonitor::Clock::now());
    return QStringLiteral("Hub latency, last 10 s: ") +
           QString::fromStdString(MIDILatencyMonitor::describe(summary));
}

bool MIDIActivityView::eventFilter(QObject* watched, QEvent* event) {
    // Built on demand, so the figures are those of the moment.
    if (event->type() == QEvent::ToolTip && (watched == input_ || watched == output_)) {
        auto* help = static_cast<QHelpEvent*>(event);
        auto* lamp = static_cast<QWidget*>(watched);
        QToolTip::showText(help->globalPos(), lamp->toolTip() + QLatin1Char('\n') + latencySummary(), lamp);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

MIDIActivityView::~MIDIActivityView() = default;

QWidget& MIDIActivityView::inputIndicator() const {
    return *input_;
}

QWidget& MIDIActivityView::outputIndicator() const {
    return *output_;
}

void MIDIActivityView::refresh() {
    if (!indicators_.refresh(monitor_)) return;
    input_->setLit(indicators_.isInputActive);
    output_->setLit(indicators_.isOutputActive);
}

void MIDIActivityView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    poll_.cancel();
    refresh();
    poll_ = queue_.every(kPollInterval, [this] { refresh(); });
}

void MIDIActivityView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    poll_.cancel();
}

}  // namespace velorin
