// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include <vector>

#include "core/Observable.hpp"
#include "network/NetworkMIDIView.hpp"

class QLabel;
class QLineEdit;
class QVBoxLayout;

namespace velorin {

class NeonButton;
class NeonToggle;

// The "Network MIDI" part of the settings sheet: the session's switch (its
// status as the second line), its name, who may invite it, the peers found
// and connected with Connect or Disconnect and their latency, and a field to
// connect by host and port. Shows the service's snapshots; every change is
// posted as a command. The GUI thread.
class NetworkMIDISettingsView final : public QWidget {
    Q_OBJECT
public:
    // `status` outlives the view.
    NetworkMIDISettingsView(const NetworkMIDIStatusChannel& status, NetworkMIDICommands commands,
                            QWidget* parent = nullptr);
    ~NetworkMIDISettingsView() override;

    NeonToggle& sessionToggle() const { return *session_; }
    QLineEdit& nameField() const { return *name_; }
    NeonToggle& onlyKnownPeersToggle() const { return *onlyKnown_; }
    QLineEdit& addressField() const { return *address_; }
    NeonButton& connectAddressButton() const { return *connectAddress_; }
    QLabel& statusLabel() const { return *statusLabel_; }
    QLabel& discoveryLabel() const { return *discovery_; }
    // One row per peer in the snapshot's order: its label and its button.
    struct PeerRow {
        QLabel* label = nullptr;
        NeonButton* button = nullptr;
    };
    const std::vector<PeerRow>& peerRows() const { return rows_; }

    void refresh();

private:
    const NetworkMIDIStatusChannel& status_;
    NetworkMIDICommands commands_;
    NeonToggle* session_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QLineEdit* name_ = nullptr;
    NeonToggle* onlyKnown_ = nullptr;
    QLabel* discovery_ = nullptr;
    QVBoxLayout* peers_ = nullptr;
    QLabel* noPeers_ = nullptr;
    std::vector<PeerRow> rows_;
    std::vector<NetworkMIDIStatusSnapshot::Peer> shownPeers_;
    QLineEdit* address_ = nullptr;
    NeonButton* connectAddress_ = nullptr;
    Subscription subscription_;
};

}  // namespace velorin
