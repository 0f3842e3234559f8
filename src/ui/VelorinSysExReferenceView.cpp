// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/VelorinSysExReferenceView.hpp"

#include <QClipboard>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>

#include <variant>

#include "ui/NeonControls.hpp"
#include "ui/ThemedWidgets.hpp"

namespace velorin {

namespace {

constexpr int kTextSize = 12;
constexpr int kDetailSize = 11;

QString qString(const std::string& text) {
    return QString::fromStdString(text);
}

int points(double value) {
    return static_cast<int>(value);
}

QLabel* selectable(QLabel* label) {
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label->setCursor(Qt::IBeamCursor);
    return label;
}

// A small box with the target number above its name.
QWidget* targetCell(const VelorinSysExTargetCell& cell, QWidget* parent) {
    auto* box = new QFrame(parent);
    box->setObjectName(QStringLiteral("sysExTargetCell"));
    box->setStyleSheet(QStringLiteral("#sysExTargetCell { border: 1px solid %1; border-radius: 4px; }")
                           .arg(theme::separator.name()));
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(10, 5, 10, 5);
    layout->setSpacing(1);
    auto* number = themedLabel(qString(cell.number), kTextSize, true, theme::accent, box);
    number->setAlignment(Qt::AlignCenter);
    auto* name = themedLabel(qString(cell.name), kDetailSize, false, theme::text, box);
    name->setAlignment(Qt::AlignCenter);
    layout->addWidget(number);
    layout->addWidget(name);
    box->setAccessibleName(qString(cell.number + " " + cell.name));
    return box;
}

}  // namespace

VelorinSysExReferenceSheetView::VelorinSysExReferenceSheetView(const VelorinSysExReferenceSheet& sheet,
                                                               std::function<void()> onClose, QWidget* parent)
    : QWidget(parent), sheet_(sheet), onClose_(std::move(onClose)) {
    setObjectName(QStringLiteral("sysExReferenceSheet"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 14, 18, 14);
    layout->setSpacing(10);

    auto* header = new QHBoxLayout();
    auto* titles = new QVBoxLayout();
    titles->setSpacing(2);
    titles->addWidget(themedLabel(qString(sheet.title), 14, true, theme::text, this));
    titles->addWidget(themedLabel(QString::fromUtf8(kVelorinSysExReferenceSubtitle), kDetailSize, false,
                                  theme::dimText, this));
    header->addLayout(titles, 1);
    close_ = new NeonButton(QString::fromUtf8(kVelorinSysExReferenceCloseTitle), this);
    close_->setFixedWidth(72);
    connect(close_, &QPushButton::clicked, this, [this] {
        if (onClose_) onClose_();
    });
    header->addWidget(close_, 0, Qt::AlignTop);
    layout->addLayout(header);

    auto* scroll = new QScrollArea(this);
    auto* content = new QWidget(scroll);
    auto* contentLayout = new QVBoxLayout(content);
    contentLayout->setContentsMargins(0, 6, 14, 6);
    contentLayout->setSpacing(16);
    for (const VelorinSysExReferenceSection& section : sheet.sections) {
        contentLayout->addWidget(makeSection(section, content));
    }
    contentLayout->addStretch(1);
    styleScrollArea(*scroll, *content);
    layout->addWidget(scroll, 1);
}

QWidget* VelorinSysExReferenceSheetView::makeSection(const VelorinSysExReferenceSection& section,
                                                     QWidget* parent) {
    auto* box = new TitledGroupBox(qString(section.title).toUpper(), parent);
    box->contentLayout().setSpacing(6);
    for (const VelorinSysExReferenceItem& item : section.items)
        box->contentLayout().addWidget(makeItem(item, box));
    return box;
}

QWidget* VelorinSysExReferenceSheetView::makeItem(const VelorinSysExReferenceItem& item, QWidget* parent) {
    auto* widget = new QWidget(parent);
    if (const auto* row = std::get_if<VelorinSysExReferenceRow>(&item)) {
        auto* layout = new QVBoxLayout(widget);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(2);
        auto* line = new QHBoxLayout();
        line->setSpacing(points(kVelorinSysExRowDetailIndent - kVelorinSysExRowLabelWidth));
        // Label and value share font and top edge, so they share the baseline.
        auto* label = themedLabel(qString(row->label), kTextSize, false, theme::dimText, widget);
        label->setFixedWidth(points(kVelorinSysExRowLabelWidth));
        auto* value = selectable(themedLabel(qString(row->value), kTextSize, true, theme::text, widget));
        line->addWidget(label, 0, Qt::AlignTop);
        line->addWidget(value, 1, Qt::AlignTop);
        layout->addLayout(line);
        auto* detail = themedLabel(qString(row->detail), kDetailSize, false, theme::dimText, widget);
        detail->setWordWrap(true);
        auto* under = new QHBoxLayout();
        under->setSpacing(0);
        under->addSpacing(points(kVelorinSysExRowDetailIndent));
        under->addWidget(detail, 1);
        layout->addLayout(under);
    } else if (const auto* parameter = std::get_if<VelorinSysExParameterRow>(&item)) {
        auto* layout = new QHBoxLayout(widget);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(8);
        auto* number = themedLabel(qString(parameter->parameter), kTextSize, true, theme::accent, widget);
        number->setFixedWidth(points(kVelorinSysExParameterNumberWidth));
        number->setAlignment(Qt::AlignRight | Qt::AlignTop);
        auto* name = themedLabel(qString(parameter->name), kTextSize, false, theme::text, widget);
        name->setFixedWidth(points(kVelorinSysExParameterNameWidth));
        auto* values = themedLabel(qString(parameter->values), kTextSize, false, theme::dimText, widget);
        values->setWordWrap(true);
        layout->addWidget(number, 0, Qt::AlignTop);
        layout->addWidget(name, 0, Qt::AlignTop);
        layout->addWidget(values, 1, Qt::AlignTop);
    } else if (const auto* example = std::get_if<VelorinSysExExample>(&item)) {
        auto* layout = new QHBoxLayout(widget);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(8);
        auto* label = themedLabel(qString(example->label), kTextSize, false, theme::text, widget);
        label->setFixedWidth(170);
        auto* packet =
            selectable(themedLabel(qString(example->packet), kTextSize, true, theme::accent, widget));
        auto* copy = new NeonButton(QString::fromUtf8(kVelorinSysExCopyTitle), widget);
        copy->setFont(theme::monospacedFont(10, true));
        copy->setFixedSize(52, 22);
        copy->setAccessibleName(QStringLiteral("Copy ") + qString(example->label));
        const QString text = qString(example->packet);
        connect(copy, &QPushButton::clicked, this, [text] {
            QClipboard* clipboard = QGuiApplication::clipboard();
            clipboard->clear();
            clipboard->setText(text);
        });
        copyButtons_.push_back(copy);
        layout->addWidget(label);
        layout->addWidget(packet, 1);
        layout->addWidget(copy);
    } else if (const auto* cells = std::get_if<VelorinSysExTargetCells>(&item)) {
        auto* layout = new QHBoxLayout(widget);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(8);
        for (const VelorinSysExTargetCell& cell : cells->cells) layout->addWidget(targetCell(cell, widget));
        layout->addStretch(1);
    } else if (const auto* note = std::get_if<VelorinSysExNote>(&item)) {
        auto* layout = new QVBoxLayout(widget);
        layout->setContentsMargins(0, 0, 0, 0);
        auto* text = themedLabel(qString(note->text), kDetailSize, false, theme::dimText, widget);
        text->setWordWrap(true);
        layout->addWidget(text);
    }
    return widget;
}

LinkLooperSysExReferenceView::LinkLooperSysExReferenceView(std::function<void()> onClose, QWidget* parent)
    : VelorinSysExReferenceSheetView(linkLooperSysExReference(), std::move(onClose), parent) {
    setObjectName(QStringLiteral("linkLooperSysExReference"));
}

OctaveLayerSysExReferenceView::OctaveLayerSysExReferenceView(std::function<void()> onClose, QWidget* parent)
    : VelorinSysExReferenceSheetView(octaveLayerSysExReference(), std::move(onClose), parent) {
    setObjectName(QStringLiteral("octaveLayerSysExReference"));
}

}  // namespace velorin
