// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include <functional>
#include <string>
#include <vector>

class QLabel;
class QVBoxLayout;

namespace velorin {

class NeonToggle;
class TitledGroupBox;

// One switch of an assignment group: an endpoint, or (in a morph's main output
// group) another morph the group may feed.
struct EndpointAssignmentItem {
    std::string id;
    std::string title;
    std::string detail;
    bool isEnabled = true;
    bool showsMorphBadge = false;
    bool isAssigned = false;
    friend bool operator==(const EndpointAssignmentItem&, const EndpointAssignmentItem&) = default;
};

// The small chit "Morph destination" beside an item that is a morph.
class MorphDestinationBadge final : public QWidget {
    Q_OBJECT
public:
    explicit MorphDestinationBadge(QWidget* parent = nullptr);
    QString text() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// One input or output group of the selected morph: its title and one switch
// per item, on while the item is assigned. Switching calls `onAssign` with the
// item's id and the wanted state; the group changes nothing itself and shows
// whatever setItems() gives it next. Items with the same ids in the same order
// are updated in place, so a switch keeps its focus.
class EndpointAssignmentGroup final : public QWidget {
    Q_OBJECT
public:
    using Assign = std::function<void(const std::string& id, bool isAssigned)>;

    EndpointAssignmentGroup(const QString& title, Assign onAssign, QWidget* parent = nullptr);

    // True when the switches were made anew (the caller fixes the tab order).
    bool setItems(std::vector<EndpointAssignmentItem> items);
    const std::vector<EndpointAssignmentItem>& items() const { return items_; }
    QString title() const;
    // Null when no item has that id.
    NeonToggle* toggle(const std::string& id) const;
    MorphDestinationBadge* badge(const std::string& id) const;
    const std::vector<NeonToggle*>& toggles() const { return toggles_; }

private:
    void rebuild();

    TitledGroupBox* box_ = nullptr;
    QLabel* empty_ = nullptr;
    Assign onAssign_;
    std::vector<EndpointAssignmentItem> items_;
    std::vector<QWidget*> rows_;
    std::vector<NeonToggle*> toggles_;
    std::vector<MorphDestinationBadge*> badges_;
};

}  // namespace velorin
