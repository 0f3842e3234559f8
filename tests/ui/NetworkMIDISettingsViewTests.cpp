// SPDX-License-Identifier: GPL-3.0-or-later
// The "Network MIDI" part of the settings sheet: it shows the session's
// snapshot and posts what the user does as commands.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>

#include "core/ManualMainQueue.hpp"
#include "ui/NeonControls.hpp"
#include "ui/NetworkMIDISettingsView.hpp"

namespace velorin {
namespace {

TEST(NetworkMIDISettingsViewTest, ShowsTheSessionAndItsPeersAndPostsWhatTheUserDoes) {
    ManualMainQueue queue;
    NetworkMIDIStatusChannel channel(queue, std::make_shared<const NetworkMIDIStatusSnapshot>());
    std::vector<std::string> posted;
    NetworkMIDICommands commands{
        .setEnabled = [&](bool on) { posted.push_back(on ? "on" : "off"); },
        .setSessionName = [&](std::string name) { posted.push_back("name " + name); },
        .setOnlyKnownPeersMayInvite = [&](bool only) { posted.push_back(only ? "only known" : "anyone"); },
        .connect = [&](std::string target) { posted.push_back("connect " + target); },
        .disconnect = [&](std::string name) { posted.push_back("disconnect " + name); },
    };
    NetworkMIDISettingsView view(channel, commands);
    view.resize(640, 400);
    view.show();
    EXPECT_FALSE(view.sessionToggle().isChecked());
    EXPECT_TRUE(view.peerRows().empty());
    EXPECT_FALSE(view.addressField().isEnabled());

    NetworkMIDIStatusSnapshot status;
    status.isEnabled = true;
    status.sessionName = "Stage";
    status.status = "Listening on UDP 5004 and 5005";
    status.discoveryAvailable = false;
    using State = NetworkMIDIStatusSnapshot::Peer::State;
    status.peers = {{"iPad", "192.168.1.9:5004", State::connected, 2.34},
                    {"Studio Mac", "192.168.1.20:5004", State::discovered, std::nullopt}};
    channel.publish(std::make_shared<const NetworkMIDIStatusSnapshot>(status));
    queue.runPending();

    EXPECT_TRUE(view.sessionToggle().isChecked());
    EXPECT_EQ(view.statusLabel().text(), QStringLiteral("Listening on UDP 5004 and 5005"));
    EXPECT_EQ(view.nameField().text(), QStringLiteral("Stage"));
    EXPECT_TRUE(view.discoveryLabel().text().contains(QStringLiteral("Avahi daemon is not running")));
    ASSERT_EQ(view.peerRows().size(), 2u);
    EXPECT_EQ(view.peerRows()[0].label->text().toStdString(),
              "iPad  ·  192.168.1.9:5004  ·  connected, latency 2.3 ms");
    EXPECT_EQ(view.peerRows()[0].button->text(), QStringLiteral("Disconnect"));
    EXPECT_EQ(view.peerRows()[1].button->text(), QStringLiteral("Connect"));

    view.peerRows()[0].button->click();
    view.peerRows()[1].button->click();
    view.addressField().setText(QStringLiteral(" 10.0.0.5:6000 "));
    view.connectAddressButton().click();
    EXPECT_TRUE(view.addressField().text().isEmpty());
    view.connectAddressButton().click();  // nothing typed: nothing posted
    view.onlyKnownPeersToggle().click();
    view.sessionToggle().click();
    view.nameField().setText(QStringLiteral("Front of House"));
    emit view.nameField().editingFinished();
    EXPECT_EQ(posted,
              (std::vector<std::string>{"disconnect iPad", "connect Studio Mac", "connect 10.0.0.5:6000",
                                        "only known", "off", "name Front of House"}));
    QApplication::processEvents();
    EXPECT_TRUE(view.peerRows()[1].button->isVisible());
    if (const char* path = std::getenv("VELORIN_SCREENSHOT")) view.grab().save(QString::fromUtf8(path));
}

}  // namespace
}  // namespace velorin
