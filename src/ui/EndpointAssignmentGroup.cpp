// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/EndpointAssignmentGroup.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "ui/NeonControls.hpp"
#include "ui/ThemedWidgets.hpp"

namespace velorin {

namespace {
constexpr int kBadgeFontSize = 9;
const QString kBadgeText = QStringLiteral("Morph destination");
}  // namespace

MorphDestinationBadge::MorphDestinationBadge(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("MorphDestinationBadge"));
    setAccessibleName(kBadgeText);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QString MorphDestinationBadge::text() const {
    return kBadgeText;
}

QSize MorphDestinationBadge::sizeHint() const {
    const QFontMetrics metrics(theme::monospacedFont(kBadgeFontSize, true));
    return {metrics.horizontalAdvance(kBadgeText) + 12, metrics.height() + 4};
}

void MorphDestinationBadge::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor edge = theme::outputAccent;
    edge.setAlphaF(isEnabled() ? 0.8F : 0.3F);
    painter.setPen(QPen(edge, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
    painter.setFont(theme::monospacedFont(kBadgeFontSize, true));
    painter.setPen(isEnabled() ? theme::outputAccent : theme::dimText);
    painter.drawText(rect(), Qt::AlignCenter, kBadgeText);
}

EndpointAssignmentGroup::EndpointAssignmentGroup(const QString& title, Assign onAssign, QWidget* parent)
    : QWidget(parent), onAssign_(std::move(onAssign)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 6);
    layout->setSpacing(0);
    box_ = new TitledGroupBox(title, this);
    box_->contentLayout().setSpacing(0);
    layout->addWidget(box_);
    empty_ = themedLabel(QStringLiteral("No endpoints"), 10, false, theme::dimText, box_);
    box_->contentLayout().addWidget(empty_);
}

QString EndpointAssignmentGroup::title() const {
    return box_->titleLabel().text();
}

bool EndpointAssignmentGroup::setItems(std::vector<EndpointAssignmentItem> items) {
    const bool sameShape = std::equal(items.begin(), items.end(), items_.begin(), items_.end(),
                                      [](const EndpointAssignmentItem& a, const EndpointAssignmentItem& b) {
                                          return a.id == b.id && a.title == b.title && a.detail == b.detail &&
                                                 a.showsMorphBadge == b.showsMorphBadge;
                                      });
    items_ = std::move(items);
    if (!sameShape) {
        rebuild();
        return true;
    }
    for (std::size_t i = 0; i < items_.size(); ++i) {
        toggles_[i]->setChecked(items_[i].isAssigned);
        toggles_[i]->setEnabled(items_[i].isEnabled);
        if (badges_[i]) badges_[i]->setEnabled(items_[i].isEnabled);
    }
    return false;
}

void EndpointAssignmentGroup::rebuild() {
    for (QWidget* row : rows_) {
        row->hide();
        row->deleteLater();  // may be the sender of the click that led here
    }
    rows_.clear();
    toggles_.clear();
    badges_.clear();
    empty_->setVisible(items_.empty());
    for (const EndpointAssignmentItem& item : items_) {
        auto* row = new QWidget(box_);
        auto* rowLayout = new QHBoxLayout(row);
        rowLayout->setContentsMargins(0, 0, 0, 0);
        rowLayout->setSpacing(6);
        auto* toggle =
            new NeonToggle(QString::fromStdString(item.title), QString::fromStdString(item.detail), row);
        toggle->setChecked(item.isAssigned);
        toggle->setEnabled(item.isEnabled);
        toggle->setAccessibleName(QString::fromStdString(item.title));
        const std::string id = item.id;
        connect(toggle, &QAbstractButton::clicked, this, [this, id](bool checked) {
            if (onAssign_) onAssign_(id, checked);
        });
        rowLayout->addWidget(toggle, 1);
        MorphDestinationBadge* badge = nullptr;
        if (item.showsMorphBadge) {
            badge = new MorphDestinationBadge(row);
            badge->setEnabled(item.isEnabled);
            rowLayout->addWidget(badge, 0, Qt::AlignVCenter);
        }
        box_->contentLayout().addWidget(row);
        // On a shown group, show the row now rather than when the layout gets
        // round to it, so the column's size counts it at once.
        if (box_->isVisible()) row->show();
        rows_.push_back(row);
        toggles_.push_back(toggle);
        badges_.push_back(badge);
    }
}

NeonToggle* EndpointAssignmentGroup::toggle(const std::string& id) const {
    for (std::size_t i = 0; i < items_.size() && i < toggles_.size(); ++i) {
        if (items_[i].id == id) return toggles_[i];
    }
    return nullptr;
}

MorphDestinationBadge* EndpointAssignmentGroup::badge(const std::string& id) const {
    for (std::size_t i = 0; i < items_.size() && i < badges_.size(); ++i) {
        if (items_[i].id == id) return badges_[i];
    }
    return nullptr;
}

}  // namespace velorin
