#include "ui/MorphRoutingRow.hpp"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>

#include "ui/FC200UpperPedalStrip.hpp"
#include "ui/LinkLooperInlineStateStrip.hpp"
#include "ui/NeonControls.hpp"
#include "ui/OctaveLayerInlineStateStrip.hpp"
#include "ui/ThemedWidgets.hpp"

namespace velorin {

namespace {
QString qString(const std::string& text) {
    return QString::fromStdString(text);
}

NeonButton* smallButton(const QString& text, QWidget* parent) {
    auto* button = new NeonButton(text, parent);
    button->setFont(theme::monospacedFont(10, true));
    button->setFixedHeight(22);
    button->setMinimumHeight(22);
    const int width = QFontMetrics(button->font()).horizontalAdvance(text) + 18;
    button->setFixedWidth(width);
    return button;
}
}  // namespace

MorphRoutingRow::MorphRoutingRow(MIDIEngine& engine, const MorphPresentationMetadata& morph,
                                 std::function<void(const std::string&)> onSelect, QWidget* parent)
    : QFrame(parent), engine_(engine), morph_(morph), onSelect_(std::move(onSelect)) {
    setObjectName(QStringLiteral("morphRow-") + qString(morph.id));
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(qString(morph.title));
    setAccessibleDescription(qString(morph.detail));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 6, 8, 7);
    layout->setSpacing(3);

    auto* heading = new QHBoxLayout();
    heading->setSpacing(6);
    title_ = themedLabel(qString(morph.title), 12, true, theme::text, this);
    heading->addWidget(title_, 1);
    if (morph.hasUI) {
        open_ = smallButton(QStringLiteral("Open"), this);
        open_->setToolTip(QStringLiteral("Open ") + qString(morph.title));
        open_->setAccessibleName(QStringLiteral("Open ") + qString(morph.title));
        connect(open_, &QPushButton::clicked, this, [this] { engine_.openMorphUI(morph_.id); });
        heading->addWidget(open_, 0, Qt::AlignTop);
    }
    layout->addLayout(heading);

    detail_ = themedLabel(qString(morph.detail), 10, false, theme::dimText, this);
    detail_->setWordWrap(true);
    layout->addWidget(detail_);

    if (morph.id == MIDIEngine::kFC200ID) {
        auto* options = new QHBoxLayout();
        options->setSpacing(6);
        togglesUpperPedals_ = smallButton(QStringLiteral("6-10 TOGGLE"), this);
        sharesLowerCCs_ = smallButton(QStringLiteral("SHARE 1-5 CC"), this);
        connect(togglesUpperPedals_, &QPushButton::clicked, this, [this] {
            engine_.setFC200UpperPedalsToggleEnabled(!engine_.fc200Settings()->togglesUpperPedals());
        });
        connect(sharesLowerCCs_, &QPushButton::clicked, this, [this] {
            engine_.setFC200UpperPedalsShareLowerCCsEnabled(
                !engine_.fc200Settings()->upperPedalsShareLowerCCs());
        });
        options->addWidget(togglesUpperPedals_);
        options->addWidget(sharesLowerCCs_);
        options->addStretch(1);
        layout->addLayout(options);
        pedalStrip_ = new FC200UpperPedalStrip(*engine_.fc200Settings(), this);
        layout->addWidget(pedalStrip_);
        fc200Subscription_ = engine_.fc200Settings()->observe([this] { refreshFC200(); });
        refreshFC200();
    } else if (morph.id == MIDIEngine::kOctaveLayerID) {
        octaveStrip_ = new OctaveLayerInlineStateStrip(*engine_.octaveLayerSettings(), this);
        layout->addWidget(octaveStrip_);
    } else if (morph.id == MIDIEngine::kLinkLooperID) {
        looperStrip_ = new LinkLooperInlineStateStrip(
            *engine_.linkLooperSettings(), *engine_.linkLooperStateStore(),
            [this](int index, bool on) { engine_.setLinkLooper(index, on); },
            [this](int index, bool muted) { engine_.setLinkLooperMute(index, muted); }, this);
        layout->addWidget(looperStrip_);
    }
}

MorphRoutingRow::~MorphRoutingRow() = default;

void MorphRoutingRow::refreshFC200() {
    const FC200Settings& settings = *engine_.fc200Settings();
    const bool toggles = settings.togglesUpperPedals();
    togglesUpperPedals_->setActive(toggles);
    togglesUpperPedals_->setAccessibleDescription(toggles ? QStringLiteral("On") : QStringLiteral("Off"));
    togglesUpperPedals_->setToolTip(QStringLiteral("Pedals 6-10 latch: each press flips between 127 and 0"));
    sharesLowerCCs_->setActive(settings.upperPedalsShareLowerCCs());
    sharesLowerCCs_->setAccessibleDescription(settings.upperPedalsShareLowerCCs() ? QStringLiteral("On")
                                                                                  : QStringLiteral("Off"));
    sharesLowerCCs_->setToolTip(QStringLiteral("Toggled pedals 6-10 send the CCs of pedals 1-5"));
    sharesLowerCCs_->setEnabled(toggles);
    pedalStrip_->setVisible(toggles);
}

void MorphRoutingRow::setSelected(bool selected) {
    if (selected_ == selected) return;
    selected_ = selected;
    update();
}

void MorphRoutingRow::setLinkTransportRunning(bool running) {
    if (looperStrip_) looperStrip_->setLinkTransportRunning(running);
}

void MorphRoutingRow::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75);
    QColor edge = selected_ ? theme::accent : theme::separator;
    if (selected_) edge.setAlphaF(0.8F);
    painter.setPen(QPen(edge, selected_ ? 1.5 : 1.0));
    painter.setBrush(selected_ ? theme::surface.lighter(115) : theme::surface);
    painter.drawRoundedRect(frame, 5, 5);
    if (selected_) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(theme::accent);
        painter.drawRoundedRect(QRectF(3, 6, 3, height() - 12), 1.5, 1.5);
    }
    if (hasFocus()) {
        painter.setPen(QPen(theme::accent.lighter(130), 1, Qt::DotLine));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(frame.adjusted(2, 2, -2, -2), 4, 4);
    }
}

void MorphRoutingRow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && onSelect_) {
        onSelect_(morph_.id);
        event->accept();
        return;
    }
    QFrame::mousePressEvent(event);
}

void MorphRoutingRow::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Space || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        onSelect_) {
        onSelect_(morph_.id);
        event->accept();
        return;
    }
    QFrame::keyPressEvent(event);
}

}  // namespace velorin
