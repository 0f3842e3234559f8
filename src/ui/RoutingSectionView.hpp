// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include <string>
#include <vector>

#include "core/Observable.hpp"
#include "engine/MIDIEngineView.hpp"
#include "ui/EndpointAssignmentGroup.hpp"

class QScrollArea;
class QVBoxLayout;

namespace velorin {

class MorphRoutingRow;
class TitledGroupBox;

// The routing section between the header and the log pane: three columns —
// the morphs (one selectable row each, FC-200 left out while hidden), the
// input groups of the selected morph and its output groups, each group a
// switch per endpoint (and, for the main output group, per other morph).
//
// It keeps no routing state of its own: every switch posts a command to the
// engine, and the view shows each snapshot the engine publishes. Each column
// scrolls on its own.
class RoutingSectionView final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kPreferredHeight = 300;

    // Both outlive the view.
    RoutingSectionView(const MIDIEngineStateChannel& engine, const MIDIEngineCommands& commands,
                       QWidget* parent = nullptr);
    ~RoutingSectionView() override;

    // The registration id of the selected morph; the first listed morph until
    // the user picks one, and again when the selected one leaves the list.
    const std::string& selectedMorphKey() const { return selectedMorphKey_; }
    void setSelectedMorphKey(const std::string& key);

    // Whether the Link transport runs (the window's Link polling sets it); the
    // looper buttons' help text depends on it.
    void setLinkTransportRunning(bool running);
    bool isLinkTransportRunning() const { return transportRunning_; }

    // Shows the latest snapshot.
    void refresh();

    const std::vector<MorphRoutingRow*>& morphRows() const { return rows_; }
    MorphRoutingRow* morphRow(std::string_view id) const;
    const std::vector<EndpointAssignmentGroup*>& inputGroups() const { return inputGroups_; }
    const std::vector<EndpointAssignmentGroup*>& outputGroups() const { return outputGroups_; }
    // Shown, dimmed and disabled, while the column has no group.
    TitledGroupBox& inputPlaceholder() const { return *inputPlaceholder_; }
    TitledGroupBox& outputPlaceholder() const { return *outputPlaceholder_; }

    QSize sizeHint() const override;

private:
    struct Column {
        QScrollArea* scroll = nullptr;
        QVBoxLayout* layout = nullptr;
    };
    Column makeColumn(const QString& heading);
    void refreshMorphs(const MIDIEngineSnapshot& engine);
    void refreshGroups(const MIDIEngineSnapshot& engine);
    void updateTabOrder();

    const MIDIEngineStateChannel& engine_;
    const MIDIEngineCommands& commands_;
    std::string selectedMorphKey_;
    bool transportRunning_ = false;
    bool refreshing_ = false;

    Column morphsColumn_;
    Column inputsColumn_;
    Column outputsColumn_;
    std::vector<MorphRoutingRow*> rows_;
    std::vector<EndpointAssignmentGroup*> inputGroups_;
    std::vector<EndpointAssignmentGroup*> outputGroups_;
    // The (morph, group keys) the group widgets were built for.
    std::vector<std::string> inputGroupShape_;
    std::vector<std::string> outputGroupShape_;
    TitledGroupBox* inputPlaceholder_ = nullptr;
    TitledGroupBox* outputPlaceholder_ = nullptr;

    Subscription subscription_;
};

}  // namespace velorin
