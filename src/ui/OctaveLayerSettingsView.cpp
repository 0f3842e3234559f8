// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/OctaveLayerSettingsView.hpp"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QPainter>
#include <QStackedLayout>
#include <QVBoxLayout>

#include "ui/NeonControls.hpp"
#include "ui/ThemedWidgets.hpp"
#include "ui/VelorinSysExReferenceView.hpp"

namespace velorin {

namespace {

// A full-width row with its text on the left and a right-pointing chevron.
class DisclosureRow final : public QAbstractButton {
public:
    DisclosureRow(const QString& text, QWidget* parent) : QAbstractButton(parent) {
        setText(text);
        setFont(theme::monospacedFont(12));
        setFocusPolicy(Qt::StrongFocus);
        setCursor(Qt::PointingHandCursor);
        setAccessibleName(text);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    QSize sizeHint() const override {
        return {QFontMetrics(font()).horizontalAdvance(text()) + 48, QFontMetrics(font()).height() + 16};
    }

protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        painter.setPen(QPen(hasFocus() ? theme::accent : theme::separator, 1));
        painter.setBrush(isDown() ? theme::surface.lighter(130) : theme::surface);
        painter.drawRoundedRect(frame, 5, 5);
        painter.setPen(theme::text);
        painter.setFont(font());
        painter.drawText(rect().adjusted(12, 0, -32, 0), Qt::AlignVCenter | Qt::AlignLeft, text());
        QPen chevron(theme::dimText, 1.6);
        chevron.setCapStyle(Qt::RoundCap);
        chevron.setJoinStyle(Qt::RoundJoin);
        painter.setPen(chevron);
        const double x = width() - 18.0;
        const double y = height() / 2.0;
        painter.drawPolyline(QPolygonF({QPointF(x - 3, y - 5), QPointF(x + 2, y), QPointF(x - 3, y + 5)}));
    }
};

}  // namespace

OctaveLayerSettingsView::OctaveLayerSettingsView(SetLayer onSetLayer, std::function<void()> onClose,
                                                 QWidget* parent)
    : QWidget(parent), onSetLayer_(std::move(onSetLayer)), onClose_(std::move(onClose)) {
    setObjectName(QStringLiteral("octaveLayerSettings"));
    stack_ = new QStackedLayout(this);

    panel_ = new QWidget(this);
    auto* layout = new QVBoxLayout(panel_);
    layout->setContentsMargins(18, 14, 18, 18);
    layout->setSpacing(12);
    auto* header = new QHBoxLayout();
    auto* titles = new QVBoxLayout();
    titles->setSpacing(2);
    titles->addWidget(themedLabel(QStringLiteral("OCTAVE LAYER"), 14, true, theme::text, panel_));
    titles->addWidget(themedLabel(QStringLiteral("Add octave copies above and below notes"), 11, false,
                                  theme::dimText, panel_));
    header->addLayout(titles, 1);
    close_ = new NeonButton(QStringLiteral("Close"), panel_);
    close_->setFixedWidth(72);
    connect(close_, &QPushButton::clicked, this, [this] {
        if (onClose_) onClose_();
    });
    header->addWidget(close_, 0, Qt::AlignTop);
    layout->addLayout(header);

    auto* layers = new TitledGroupBox(QStringLiteral("Layers"), panel_);
    for (const OctaveLayerKind kind : kAllOctaveLayerKinds) {
        auto* toggle = new NeonToggle(
            QString::fromUtf8(label(kind).data(), static_cast<int>(label(kind).size())), layers);
        connect(toggle, &QAbstractButton::clicked, this, [this, kind](bool checked) {
            if (onSetLayer_) onSetLayer_(kind, checked);
        });
        toggles_[rawValue(kind)] = toggle;
        layers->contentLayout().addWidget(toggle);
    }
    layout->addWidget(layers);

    referenceRow_ = new DisclosureRow(QStringLiteral("Controlled by Velorin SysEx"), panel_);
    referenceRow_->setToolTip(QStringLiteral("Show the Octave Layer SysEx reference"));
    connect(referenceRow_, &QAbstractButton::clicked, this, [this] { setSysExReferencePresented(true); });
    layout->addWidget(referenceRow_);
    layout->addStretch(1);
    stack_->addWidget(panel_);
    showLayers({});
}

void OctaveLayerSettingsView::showLayers(const std::array<bool, 4>& enabled) {
    for (const OctaveLayerKind kind : kAllOctaveLayerKinds) {
        NeonToggle& toggle = *toggles_[rawValue(kind)];
        const bool on = enabled[rawValue(kind)];
        toggle.setChecked(on);
        toggle.setAccessibleDescription(on ? QStringLiteral("On") : QStringLiteral("Off"));
    }
}

void OctaveLayerSettingsView::setSysExReferencePresented(bool presented) {
    if (referencePresented_ == presented) return;
    referencePresented_ = presented;
    if (presented) {
        reference_ = new OctaveLayerSysExReferenceView([this] { setSysExReferencePresented(false); }, this);
        stack_->addWidget(reference_);
        stack_->setCurrentWidget(reference_);
        reference_->closeButton().setFocus();
    } else {
        stack_->setCurrentWidget(panel_);
        stack_->removeWidget(reference_);
        reference_->hide();
        reference_->deleteLater();  // its Close button is the sender
        reference_ = nullptr;
        referenceRow_->setFocus();
    }
    emit sysExReferencePresentedChanged(presented);
}

}  // namespace velorin
