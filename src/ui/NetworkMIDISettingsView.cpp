// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/NetworkMIDISettingsView.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include <cstdio>

#include "ui/NeonControls.hpp"
#include "ui/Theme.hpp"

namespace velorin {
namespace {

QString qText(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

std::string peerLine(const NetworkMIDIStatusSnapshot::Peer& peer) {
    using State = NetworkMIDIStatusSnapshot::Peer::State;
    std::string line = peer.name + "  ·  " + peer.address + "  ·  ";
    switch (peer.state) {
        case State::discovered:
            line += "found on the network";
            break;
        case State::inviting:
            line += "inviting…";
            break;
        case State::connected:
            line += "connected";
            break;
    }
    if (peer.latencyMilliseconds) {
        char text[32];
        std::snprintf(text, sizeof text, ", latency %.1f ms", *peer.latencyMilliseconds);
        line += text;
    }
    return line;
}

}  // namespace

NetworkMIDISettingsView::NetworkMIDISettingsView(const NetworkMIDIStatusChannel& status,
                                                 NetworkMIDICommands commands, QWidget* parent)
    : QWidget(parent), status_(status), commands_(std::move(commands)) {
    setObjectName(QStringLiteral("networkMIDISettings"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* group = new TitledGroupBox(QStringLiteral("Network MIDI"), this);
    outer->addWidget(group);
    QVBoxLayout& layout = group->contentLayout();

    session_ =
        new NeonToggle(QStringLiteral("Network MIDI Session"),
                       QStringLiteral("Sessions with other computers, iPads and phones (RTP-MIDI)."), group);
    session_->setToolTip(
        QStringLiteral("Other computers, iPads and phones reach this hub over the network "
                       "(UDP ports 5004 and 5005, discovery on mDNS port 5353)."));
    layout.addWidget(session_);
    statusLabel_ = new QLabel(group);
    layout.addWidget(statusLabel_);

    auto* nameRow = new QHBoxLayout();
    auto* nameLabel = new QLabel(QStringLiteral("Session name"), group);
    nameRow->addWidget(nameLabel);
    name_ = new QLineEdit(group);
    name_->setMaxLength(63);
    nameRow->addWidget(name_, 1);
    layout.addLayout(nameRow);

    onlyKnown_ =
        new NeonToggle(QStringLiteral("Only Peers Connected Before May Invite"),
                       QStringLiteral("When off, anyone on the local network may invite this hub."), group);
    layout.addWidget(onlyKnown_);

    discovery_ = new QLabel(group);
    discovery_->setWordWrap(true);
    QPalette dim = discovery_->palette();
    dim.setColor(QPalette::WindowText, theme::dimText);
    discovery_->setPalette(dim);
    layout.addWidget(discovery_);

    peers_ = new QVBoxLayout();
    peers_->setSpacing(4);
    noPeers_ = new QLabel(QStringLiteral("No peers found yet"), group);
    noPeers_->setPalette(dim);
    peers_->addWidget(noPeers_);
    layout.addLayout(peers_);

    auto* addressRow = new QHBoxLayout();
    address_ = new QLineEdit(group);
    address_->setPlaceholderText(QStringLiteral("host or host:port"));
    addressRow->addWidget(address_, 1);
    connectAddress_ = new NeonButton(QStringLiteral("Connect"), group);
    addressRow->addWidget(connectAddress_);
    layout.addLayout(addressRow);

    connect(session_, &QAbstractButton::clicked, this, [this](bool on) { commands_.setEnabled(on); });
    connect(onlyKnown_, &QAbstractButton::clicked, this,
            [this](bool on) { commands_.setOnlyKnownPeersMayInvite(on); });
    connect(name_, &QLineEdit::editingFinished, this, [this] {
        const QByteArray text = name_->text().toUtf8();
        commands_.setSessionName(std::string(text.constData(), static_cast<std::size_t>(text.size())));
    });
    auto connectTyped = [this] {
        const QByteArray text = address_->text().trimmed().toUtf8();
        if (text.isEmpty()) return;
        commands_.connect(std::string(text.constData(), static_cast<std::size_t>(text.size())));
        address_->clear();
    };
    connect(connectAddress_, &QPushButton::clicked, this, connectTyped);
    connect(address_, &QLineEdit::returnPressed, this, connectTyped);

    subscription_ = status_.observe([this] { refresh(); });
    refresh();
}

NetworkMIDISettingsView::~NetworkMIDISettingsView() = default;

void NetworkMIDISettingsView::refresh() {
    const std::shared_ptr<const NetworkMIDIStatusSnapshot> status = status_.latest();
    session_->setChecked(status->isEnabled);
    statusLabel_->setText(qText(status->status));
    if (!name_->hasFocus()) name_->setText(qText(status->sessionName));
    onlyKnown_->setChecked(status->onlyKnownPeersMayInvite);
    discovery_->setText(
        !status->isEnabled ? QString()
        : status->discoveryAvailable
            ? QStringLiteral("Advertised on the local network as “%1”.").arg(qText(status->sessionName))
            : QStringLiteral("Discovery is off: the Avahi daemon is not "
                             "running. Connect by address below."));
    discovery_->setVisible(status->isEnabled);

    if (status->peers != shownPeers_) {
        for (const PeerRow& row : rows_) {
            row.label->hide();
            row.button->hide();
            row.label->deleteLater();
            row.button->deleteLater();
        }
        rows_.clear();
        // The row layouts go with their widgets' removal.
        while (peers_->count() > 1) {
            QLayoutItem* item = peers_->takeAt(1);
            delete item;
        }
        for (const auto& peer : status->peers) {
            auto* row = new QHBoxLayout();
            PeerRow shown;
            shown.label = new QLabel(qText(peerLine(peer)), this);
            shown.label->setToolTip(shown.label->text());
            const bool isPeer = peer.state != NetworkMIDIStatusSnapshot::Peer::State::discovered;
            shown.button =
                new NeonButton(isPeer ? QStringLiteral("Disconnect") : QStringLiteral("Connect"), this);
            shown.button->setFixedWidth(96);
            const std::string name = peer.name;
            connect(shown.button, &QPushButton::clicked, this, [this, name, isPeer] {
                if (isPeer) {
                    commands_.disconnect(name);
                } else {
                    commands_.connect(name);
                }
            });
            row->addWidget(shown.label, 1);
            row->addWidget(shown.button);
            peers_->addLayout(row);
            rows_.push_back(shown);
        }
        shownPeers_ = status->peers;
    }
    noPeers_->setVisible(status->isEnabled && rows_.empty());
    address_->setEnabled(status->isEnabled);
    connectAddress_->setEnabled(status->isEnabled);
}

}  // namespace velorin
