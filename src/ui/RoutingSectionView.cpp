// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/RoutingSectionView.hpp"

#include <QFrame>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>

#include "ui/MorphRoutingRow.hpp"
#include "ui/NeonControls.hpp"
#include "ui/ThemedWidgets.hpp"

namespace velorin {

namespace {

constexpr std::string_view kMainOutputGroup = "outputs";
constexpr double kPlaceholderOpacity = 0.45;

QString perMorphTitle(const std::string& groupTitle) {
    return QString::fromStdString(groupTitle) + QStringLiteral(" per Morph");
}

TitledGroupBox* makePlaceholder(const QString& title, QWidget* parent) {
    auto* box = new TitledGroupBox(title, parent);
    auto* effect = new QGraphicsOpacityEffect(box);
    effect->setOpacity(kPlaceholderOpacity);
    box->setGraphicsEffect(effect);
    box->setEnabled(false);
    return box;
}

QFrame* verticalRule(QWidget* parent) {
    auto* rule = new QFrame(parent);
    rule->setFixedWidth(1);
    rule->setAutoFillBackground(true);
    QPalette palette = rule->palette();
    palette.setColor(QPalette::Window, theme::separator);
    rule->setPalette(palette);
    return rule;
}

std::vector<EndpointAssignmentItem> inputItems(const MIDIEngineSnapshot& engine, const std::string& morphKey,
                                               const std::string& groupKey) {
    std::vector<EndpointAssignmentItem> items;
    for (const MIDIInputRoutingEndpoint& endpoint : engine.routingInputs) {
        items.push_back({endpoint.id, endpoint.title, endpoint.detail, true, false,
                         engine.isInputAssigned(morphKey, groupKey, endpoint.id)});
    }
    return items;
}

std::vector<EndpointAssignmentItem> outputItems(const MIDIEngineSnapshot& engine, const std::string& morphKey,
                                                const std::string& groupKey) {
    std::vector<EndpointAssignmentItem> items;
    for (const MIDIOutputRoutingEndpoint& endpoint : engine.routingOutputs) {
        items.push_back({endpoint.id, endpoint.title, endpoint.detail, true, false,
                         engine.isOutputAssigned(morphKey, groupKey, endpoint.id)});
    }
    if (groupKey == kMainOutputGroup) {
        for (const auto& choice : engine.destinationChoicesOf(morphKey)) {
            items.push_back({choice.id, choice.title, choice.detail, choice.isEnabled, true,
                             engine.isOutputAssigned(morphKey, groupKey, choice.id)});
        }
    }
    return items;
}

}  // namespace

RoutingSectionView::RoutingSectionView(const MIDIEngineStateChannel& engine,
                                       const MIDIEngineCommands& commands, QWidget* parent)
    : QWidget(parent), engine_(engine), commands_(commands) {
    setObjectName(QStringLiteral("routingSection"));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(12, 8, 12, 8);
    layout->setSpacing(10);

    morphsColumn_ = makeColumn(QStringLiteral("Morphs"));
    layout->addWidget(morphsColumn_.scroll->parentWidget(), 11);
    layout->addWidget(verticalRule(this));
    inputsColumn_ = makeColumn(QString());
    layout->addWidget(inputsColumn_.scroll->parentWidget(), 8);
    layout->addWidget(verticalRule(this));
    outputsColumn_ = makeColumn(QString());
    layout->addWidget(outputsColumn_.scroll->parentWidget(), 9);

    inputPlaceholder_ = makePlaceholder(QStringLiteral("Inputs per Morph"), inputsColumn_.scroll->widget());
    inputsColumn_.layout->insertWidget(0, inputPlaceholder_);
    outputPlaceholder_ =
        makePlaceholder(QStringLiteral("Outputs per Morph"), outputsColumn_.scroll->widget());
    outputsColumn_.layout->insertWidget(0, outputPlaceholder_);

    subscription_ = engine_.observe([this] { refresh(); });
    refresh();
}

RoutingSectionView::~RoutingSectionView() = default;

QSize RoutingSectionView::sizeHint() const {
    return {1090, kPreferredHeight};
}

RoutingSectionView::Column RoutingSectionView::makeColumn(const QString& heading) {
    auto* holder = new QWidget(this);
    auto* holderLayout = new QVBoxLayout(holder);
    holderLayout->setContentsMargins(0, 0, 0, 0);
    holderLayout->setSpacing(6);
    if (!heading.isEmpty()) {
        auto* title = themedLabel(heading, 11, true, theme::dimText, holder);
        holderLayout->addWidget(title);
    }
    Column column;
    column.scroll = new QScrollArea(holder);
    auto* content = new QWidget(column.scroll);
    column.layout = new QVBoxLayout(content);
    column.layout->setContentsMargins(0, 0, 10, 0);
    column.layout->setSpacing(6);
    column.layout->addStretch(1);
    styleScrollArea(*column.scroll, *content);
    holderLayout->addWidget(column.scroll, 1);
    return column;
}

void RoutingSectionView::setSelectedMorphKey(const std::string& key) {
    if (selectedMorphKey_ == key) return;
    selectedMorphKey_ = key;
    refresh();
}

void RoutingSectionView::setLinkTransportRunning(bool running) {
    if (transportRunning_ == running) return;
    transportRunning_ = running;
    for (MorphRoutingRow* row : rows_) row->setLinkTransportRunning(running);
}

MorphRoutingRow* RoutingSectionView::morphRow(std::string_view id) const {
    for (MorphRoutingRow* row : rows_) {
        if (row->morphID() == id) return row;
    }
    return nullptr;
}

void RoutingSectionView::refresh() {
    if (refreshing_) return;
    refreshing_ = true;
    // Held for the whole refresh: the widgets read from it.
    const std::shared_ptr<const MIDIEngineSnapshot> engine = engine_.latest();
    const auto& morphs = engine->morphs;
    const bool selectionListed = std::any_of(morphs.begin(), morphs.end(),
                                             [this](const auto& m) { return m.id == selectedMorphKey_; });
    if (!selectionListed) selectedMorphKey_ = morphs.empty() ? std::string() : morphs.front().id;
    refreshMorphs(*engine);
    refreshGroups(*engine);
    refreshing_ = false;
}

void RoutingSectionView::refreshMorphs(const MIDIEngineSnapshot& engine) {
    const auto& morphs = engine.morphs;
    const bool sameRows =
        std::equal(morphs.begin(), morphs.end(), rows_.begin(), rows_.end(),
                   [](const auto& morph, const MorphRoutingRow* row) { return row->morph() == morph; });
    if (!sameRows) {
        for (MorphRoutingRow* row : rows_) {
            row->hide();
            row->deleteLater();
        }
        rows_.clear();
        QWidget* content = morphsColumn_.scroll->widget();
        for (const MorphPresentationMetadata& morph : morphs) {
            auto* row = new MorphRoutingRow(
                commands_, morph, [this](const std::string& id) { setSelectedMorphKey(id); }, content);
            row->setLinkTransportRunning(transportRunning_);
            // Before the trailing stretch.
            morphsColumn_.layout->insertWidget(morphsColumn_.layout->count() - 1, row);
            if (row->parentWidget()->isVisible()) row->show();  // counted by the layout at once
            rows_.push_back(row);
        }
    }
    for (MorphRoutingRow* row : rows_) {
        row->setSelected(row->morphID() == selectedMorphKey_);
        row->showState(engine);
    }
    if (!sameRows) updateTabOrder();
}

void RoutingSectionView::refreshGroups(const MIDIEngineSnapshot& engine) {
    const auto& morphs = engine.morphs;
    const auto selected = std::find_if(morphs.begin(), morphs.end(),
                                       [this](const auto& m) { return m.id == selectedMorphKey_; });
    std::vector<RoutingInputGroupDescriptor> inputs;
    std::vector<RoutingOutputGroupDescriptor> outputs;
    if (selected != morphs.end()) {
        inputs = selected->inputGroups;
        outputs = selected->outputGroups;
    }
    const std::string morphKey = selectedMorphKey_;

    // The widgets are rebuilt only when the morph or its groups change, so a
    // switch that was just used keeps its focus.
    std::vector<std::string> inputShape{morphKey};
    for (const auto& g : inputs) inputShape.insert(inputShape.end(), {g.key, g.title});
    std::vector<std::string> outputShape{morphKey};
    for (const auto& g : outputs) outputShape.insert(outputShape.end(), {g.key, g.title});
    bool rebuilt = false;

    if (inputShape != inputGroupShape_) {
        rebuilt = true;
        inputGroupShape_ = inputShape;
        for (EndpointAssignmentGroup* group : inputGroups_) {
            group->hide();
            group->deleteLater();
        }
        inputGroups_.clear();
        for (const auto& descriptor : inputs) {
            const std::string groupKey = descriptor.key;
            auto* group = new EndpointAssignmentGroup(
                perMorphTitle(descriptor.title),
                [this, morphKey, groupKey](const std::string& id, bool isAssigned) {
                    commands_.setInputAssignment(isAssigned, id, morphKey, groupKey);
                },
                inputsColumn_.scroll->widget());
            inputsColumn_.layout->insertWidget(inputsColumn_.layout->count() - 1, group);
            if (group->parentWidget()->isVisible()) group->show();  // counted by the layout at once
            inputGroups_.push_back(group);
        }
        inputPlaceholder_->setVisible(inputs.empty());
    }
    if (outputShape != outputGroupShape_) {
        rebuilt = true;
        outputGroupShape_ = outputShape;
        for (EndpointAssignmentGroup* group : outputGroups_) {
            group->hide();
            group->deleteLater();
        }
        outputGroups_.clear();
        for (const auto& descriptor : outputs) {
            const std::string groupKey = descriptor.key;
            auto* group = new EndpointAssignmentGroup(
                perMorphTitle(descriptor.title),
                [this, morphKey, groupKey](const std::string& id, bool isAssigned) {
                    commands_.setOutputAssignment(isAssigned, id, morphKey, groupKey);
                },
                outputsColumn_.scroll->widget());
            outputsColumn_.layout->insertWidget(outputsColumn_.layout->count() - 1, group);
            if (group->parentWidget()->isVisible()) group->show();  // counted by the layout at once
            outputGroups_.push_back(group);
        }
        outputPlaceholder_->setVisible(outputs.empty());
    }

    for (std::size_t i = 0; i < inputs.size() && i < inputGroups_.size(); ++i) {
        rebuilt |= inputGroups_[i]->setItems(inputItems(engine, morphKey, inputs[i].key));
    }
    for (std::size_t i = 0; i < outputs.size() && i < outputGroups_.size(); ++i) {
        rebuilt |= outputGroups_[i]->setItems(outputItems(engine, morphKey, outputs[i].key));
    }
    if (rebuilt) updateTabOrder();
}

// Keyboard focus moves through the morph rows and their controls, then the
// input switches, then the output switches. Qt puts a new widget at the end of
// the window's focus chain, so after any rebuild the order is set again.
void RoutingSectionView::updateTabOrder() {
    std::vector<QWidget*> chain;
    for (const Column* column : {&morphsColumn_, &inputsColumn_, &outputsColumn_}) {
        QWidget* content = column->scroll->widget();
        for (QWidget* widget : content->findChildren<QWidget*>()) {
            if ((widget->focusPolicy() & Qt::TabFocus) == 0) continue;
            if (!widget->isVisibleTo(content)) continue;
            chain.push_back(widget);
        }
    }
    for (std::size_t i = 1; i < chain.size(); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
}

}  // namespace velorin
