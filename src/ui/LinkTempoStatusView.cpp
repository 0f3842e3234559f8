// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/LinkTempoStatusView.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

#include <algorithm>
#include <cmath>

#include "ui/Theme.hpp"

namespace velorin {

int beatIndicatorIndex(double beat, double tempo) {
    constexpr double kLookAheadSeconds = 0.04;
    const double ahead = beat + (tempo / 60.0) * kLookAheadSeconds;
    if (!std::isfinite(ahead)) return 0;
    double position = std::fmod(ahead, 4.0);
    if (position < 0) position += 4.0;
    // A tiny negative remainder can round up to exactly 4 when shifted.
    if (position >= 4.0) position = 0;
    return std::clamp(static_cast<int>(std::floor(position)), 0, 3);
}

// Four small squares; the lit one filled with the accent.
class LinkTempoStatusView::Indicators final : public QWidget {
public:
    static constexpr int kSide = 8;
    static constexpr int kGap = 4;

    explicit Indicators(const LinkTempoStatusView& owner, QWidget* parent) : QWidget(parent), owner_(owner) {
        setFixedSize(kIndicatorCount * kSide + (kIndicatorCount - 1) * kGap, kSide + 2);
        setAccessibleName(QStringLiteral("Beat"));
    }

protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        for (int i = 0; i < kIndicatorCount; ++i) {
            const QRectF square(i * (kSide + kGap) + 0.5, 1.5, kSide - 1, kSide - 1);
            const bool lit = owner_.litIndicator() == i;
            QColor edge = theme::accent;
            edge.setAlphaF(lit ? 1.0F : 0.35F);
            painter.setPen(QPen(edge, 1));
            painter.setBrush(lit ? QBrush(theme::accent) : QBrush(theme::surface));
            painter.drawRoundedRect(square, 1.5, 1.5);
        }
    }

private:
    const LinkTempoStatusView& owner_;
};

LinkTempoStatusView::LinkTempoStatusView(const LinkStateChannel& link, MainQueue& queue, QWidget* parent)
    : QWidget(parent), link_(link), queue_(queue) {
    setObjectName(QStringLiteral("linkTempoStatus"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    tempo_ = new QLabel(this);
    tempo_->setFont(theme::monospacedFont(12, true));
    // Room for "999.9 BPM", so the indicators do not move with the tempo.
    tempo_->setMinimumWidth(QFontMetrics(tempo_->font()).horizontalAdvance(QStringLiteral("999.9 BPM")));
    tempo_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    layout->addWidget(tempo_);
    indicators_ = new Indicators(*this, this);
    layout->addWidget(indicators_, 0, Qt::AlignVCenter);
    linkSubscription_ = link_.observe([this] { refresh(); });
    refresh();
}

LinkTempoStatusView::~LinkTempoStatusView() = default;

void LinkTempoStatusView::refresh() {
    const auto link = link_.latest();
    tempo_->setText(QString::asprintf("%.1f BPM", link->tempo));
    const bool running = link->isTransportRunning() && isVisible();
    if (!running) {
        frameTimer_.cancel();
        setLit(std::nullopt);
        return;
    }
    if (!frameTimer_.isActive()) {
        frameTimer_ = queue_.every(kFrameInterval, [this] { frame(); });
        frame();
    }
}

void LinkTempoStatusView::frame() {
    const auto link = link_.latest();
    if (!link->isTransportRunning()) {
        refresh();
        return;
    }
    setLit(beatIndicatorIndex(link->beatAt(queue_.now()), link->tempo));
}

void LinkTempoStatusView::setLit(std::optional<int> lit) {
    if (lit_ == lit) return;
    lit_ = lit;
    indicators_->update();
}

void LinkTempoStatusView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refresh();
}

void LinkTempoStatusView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    frameTimer_.cancel();
    setLit(std::nullopt);
}

}  // namespace velorin
