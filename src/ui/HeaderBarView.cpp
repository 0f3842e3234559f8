// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/HeaderBarView.hpp"

#include <QApplication>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QSequentialAnimationGroup>
#include <QStyle>

#include <cstdlib>
#include <functional>

#include "log/LogStore.hpp"
#include "ui/LinkTempoStatusView.hpp"
#include "ui/MIDIActivityView.hpp"
#include "ui/NeonControls.hpp"
#include "ui/Theme.hpp"
#include "ui/VLUSBStatusView.hpp"

namespace velorin {

bool systemReducesMotion() {
    if (const char* value = std::getenv("VELORIN_REDUCE_MOTION"); value != nullptr && value[0] == '1') {
        return true;
    }
    if (auto* style = QApplication::style()) {
        return style->styleHint(QStyle::SH_Widget_Animation_Duration) == 0;
    }
    return false;
}

namespace {

// The theme's icon when it has one, else one drawn in the accent colour.
QIcon headerIcon(const char* themeName, const std::function<void(QPainter&)>& draw) {
    return QIcon::fromTheme(QString::fromLatin1(themeName), theme::drawnIcon(draw, theme::accent, 1.4));
}

QIcon playIcon() {
    return headerIcon("media-playback-start", [](QPainter& p) {
        QPainterPath triangle;
        triangle.moveTo(4.5, 3);
        triangle.lineTo(12.5, 8);
        triangle.lineTo(4.5, 13);
        triangle.closeSubpath();
        p.setBrush(theme::accent);
        p.drawPath(triangle);
    });
}

QIcon stopIcon() {
    return headerIcon("media-playback-stop", [](QPainter& p) {
        p.setBrush(theme::accent);
        p.drawRoundedRect(QRectF(4, 4, 8, 8), 1, 1);
    });
}

QIcon resetIcon() {
    // "arrow.counterclockwise": an open circle with its arrow head at the top left.
    return headerIcon("view-refresh", [](QPainter& p) {
        p.drawArc(QRectF(3, 3, 10, 10), 100 * 16, 290 * 16);
        QPainterPath head;
        head.moveTo(4.2, 1.8);
        head.lineTo(7.6, 3.3);
        head.lineTo(4.6, 5.6);
        head.closeSubpath();
        p.setBrush(theme::accent);
        p.drawPath(head);
    });
}

QIcon gearIcon() {
    return headerIcon("preferences-system", [](QPainter& p) {
        p.drawEllipse(QRectF(5.5, 5.5, 5, 5));
        for (int i = 0; i < 8; ++i) {
            p.save();
            p.translate(8, 8);
            p.rotate(i * 45.0);
            p.drawLine(QPointF(0, -4.2), QPointF(0, -6.5));
            p.restore();
        }
        p.drawEllipse(QRectF(3.3, 3.3, 9.4, 9.4));
    });
}

NeonButton* iconButton(const QIcon& icon, const QString& help, QWidget* parent) {
    auto* button = new NeonButton(QString(), parent);
    button->setIcon(icon);
    button->setIconSize(QSize(14, 14));
    button->setFixedSize(30, 24);
    button->setToolTip(help);
    button->setAccessibleName(help);
    return button;
}

}  // namespace

HeaderBarView::HeaderBarView(bool isBetaLane, Sources sources, std::function<void()> openSettings,
                             QWidget* parent)
    : QWidget(parent), sources_(sources), openSettings_(std::move(openSettings)) {
    setObjectName(QStringLiteral("headerBar"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(12, 8, 12, 8);
    layout->setSpacing(8);

    title_ = new QLabel(QStringLiteral("VELORIN SERVER"), this);
    title_->setObjectName(QStringLiteral("headerTitle"));
    title_->setFont(theme::monospacedFont(14, true));
    layout->addWidget(title_);

    if (isBetaLane) {
        betaChit_ = new QLabel(QStringLiteral("BETA"), this);
        betaChit_->setObjectName(QStringLiteral("betaChit"));
        betaChit_->setAccessibleName(QStringLiteral("Beta build"));
        betaChit_->setFont(theme::monospacedFont(9, true));
        betaChit_->setContentsMargins(5, 1, 5, 1);
        betaChit_->setStyleSheet(QStringLiteral("color: %1; border: 1px solid %1; border-radius: 3px;")
                                     .arg(theme::betaAccent.name()));
        layout->addWidget(betaChit_, 0, Qt::AlignVCenter);
    }
    layout->addStretch(1);

    // Link: on/off with the peer count, play/stop, reset, tempo and beat.
    linkButton_ = new NeonButton(QStringLiteral("LINK"), this);
    linkButton_->setFixedWidth(kLinkButtonWidth);
    playButton_ = iconButton(playIcon(), QStringLiteral("Start Link transport"), this);
    playOpacity_ = new QGraphicsOpacityEffect(playButton_);
    playOpacity_->setOpacity(1.0);
    playOpacity_->setEnabled(false);
    playButton_->setGraphicsEffect(playOpacity_);
    pulse_ = new QSequentialAnimationGroup(this);
    for (const auto& [from, to] : {std::pair{1.0, kPulseLowOpacity}, std::pair{kPulseLowOpacity, 1.0}}) {
        auto* fade = new QPropertyAnimation(playOpacity_, "opacity", pulse_);
        fade->setDuration(static_cast<int>(kPulseHalfPeriod.count()));
        fade->setStartValue(from);
        fade->setEndValue(to);
        fade->setEasingCurve(QEasingCurve::InOutSine);
        pulse_->addAnimation(fade);
    }
    pulse_->setLoopCount(-1);
    resetButton_ = iconButton(resetIcon(), QStringLiteral("Reset local Link timeline"), this);
    tempo_ = new LinkTempoStatusView(sources_.link, sources_.queue, this);
    for (QWidget* w : std::initializer_list<QWidget*>{linkButton_, playButton_, resetButton_, tempo_}) {
        layout->addWidget(w, 0, Qt::AlignVCenter);
    }
    layout->addSpacing(8);

    activity_ = new MIDIActivityView(sources_.activity, sources_.queue, sources_.latency, this);
    layout->addWidget(activity_, 0, Qt::AlignVCenter);
    usbStatus_ = new VLUSBStatusView(sources_.usbStatus, this);
    layout->addWidget(usbStatus_, 0, Qt::AlignVCenter);
    layout->addSpacing(8);

    logAll_ = new NeonButton(QStringLiteral("LOG ALL"), this);
    logAll_->setFixedWidth(kPanicButtonWidth);
    settings_ = iconButton(gearIcon(), QStringLiteral("Settings"), this);
    panic_ = new NeonButton(QStringLiteral("PANIC"), this);
    panic_->setFixedWidth(kPanicButtonWidth);
    panic_->setAccent(theme::outputAccent);
    for (QWidget* w : std::initializer_list<QWidget*>{logAll_, settings_, panic_}) {
        layout->addWidget(w, 0, Qt::AlignVCenter);
    }

    connect(linkButton_, &QPushButton::clicked, this,
            [this] { sources_.linkCommands.setActive(!linkState().active); });
    connect(playButton_, &QPushButton::clicked, this, [this] { sources_.linkCommands.togglePlayback(); });
    connect(resetButton_, &QPushButton::clicked, this, [this] { sources_.linkCommands.resetTimeline(); });
    connect(logAll_, &QPushButton::clicked, this, [this] { sources_.logStore.toggleLoggingAllMIDIEvents(); });
    connect(settings_, &QPushButton::clicked, this, [this] {
        if (openSettings_) openSettings_();
    });
    connect(panic_, &QPushButton::clicked, this, [this] {
        if (sources_.panic) sources_.panic();
    });

    linkSubscription_ = sources_.link.observe([this] { showLinkState(); });
    // The store tells of every published batch too; re-reading one flag is all that costs.
    logSubscription_ = sources_.logStore.observe([this] { showLoggingState(); });
    showLinkState();
    showLoggingState();
}

HeaderBarView::~HeaderBarView() = default;

void HeaderBarView::showLinkState() {
    const LinkStateSnapshot link = linkState();
    const bool active = link.active;
    const std::size_t peers = link.peers;
    const bool playing = link.playing;

    const QString linkText = !active      ? QStringLiteral("LINK")
                             : peers == 1 ? QStringLiteral("1 LINK")
                                          : QStringLiteral("%1 LINKS").arg(peers);
    if (linkButton_->text() != linkText) linkButton_->setText(linkText);
    linkButton_->setActive(active);
    linkButton_->setToolTip(active ? QStringLiteral("Disable Link") : QStringLiteral("Enable Link"));

    const QString playHelp =
        playing ? QStringLiteral("Stop Link transport") : QStringLiteral("Start Link transport");
    if (playButton_->toolTip() != playHelp) {
        playButton_->setIcon(playing ? stopIcon() : playIcon());
        playButton_->setToolTip(playHelp);
        playButton_->setAccessibleName(playHelp);
    }
    playButton_->setActive(playing);

    const bool canReset = peers == 0;
    resetButton_->setEnabled(canReset);
    const QString resetHelp = canReset ? QStringLiteral("Reset local Link timeline")
                                       : QStringLiteral("Unavailable while Link peers are connected");
    resetButton_->setToolTip(resetHelp);
    resetButton_->setAccessibleName(resetHelp);

    // Invites a start while others are connected and the transport waits.
    setPulsing(isVisible() && active && peers > 0 && !playing && !systemReducesMotion());
}

void HeaderBarView::showLoggingState() {
    logAll_->setActive(sources_.logStore.isLoggingAllMIDIEvents());
}

void HeaderBarView::setPulsing(bool pulsing) {
    if (pulsing == isPlayButtonPulsing()) return;
    if (pulsing) {
        playOpacity_->setEnabled(true);
        pulse_->start();
    } else {
        pulse_->stop();
        playOpacity_->setOpacity(1.0);
        playOpacity_->setEnabled(false);
    }
}

bool HeaderBarView::isPlayButtonPulsing() const {
    return pulse_->state() == QAbstractAnimation::Running;
}

void HeaderBarView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!linkRedraw_.isActive()) {
        linkRedraw_ = sources_.queue.every(kLinkRedrawInterval, [this] { showLinkState(); });
    }
    showLinkState();
}

void HeaderBarView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    linkRedraw_.cancel();
    setPulsing(false);
}

}  // namespace velorin
