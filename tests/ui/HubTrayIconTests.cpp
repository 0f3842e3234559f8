// SPDX-License-Identifier: GPL-3.0-or-later
// The tray icon's menu as the user drives it, through its QActions: show and
// hide the window, Link on and off, panic and quit; and its tooltip following
// the USB status and the Link state.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QWidget>

#include "WindowTestRig.hpp"
#include "engine/MIDIEndpointRegistration.hpp"
#include "ui/HubTrayIcon.hpp"

namespace {

using velorin::HubTrayIcon;

TEST(HubTrayIcon, MenuActionsShowAndHideTheWindowSwitchLinkPanicAndQuit) {
    velorin::test::WindowTestRig rig;
    velorin::SnapshotChannel<velorin::VLUSBStatusSnapshot> usb(
        rig.queue, std::make_shared<const velorin::VLUSBStatusSnapshot>());
    QWidget window;
    int quits = 0;
    HubTrayIcon tray(HubTrayIcon::Sources{.window = window,
                                          .link = rig.linkState,
                                          .linkCommands = rig.linkCommands,
                                          .panic = rig.engineCommands.panic,
                                          .quit = [&quits] { ++quits; },
                                          .usbStatus = &usb},
                     false);
    EXPECT_FALSE(tray.isShown());
    const QList<QAction*> actions = tray.menu().actions();
    ASSERT_TRUE(actions.contains(&tray.showHideAction()));
    ASSERT_TRUE(actions.contains(&tray.linkAction()));
    ASSERT_TRUE(actions.contains(&tray.panicAction()));
    ASSERT_TRUE(actions.contains(&tray.quitAction()));

    // Show/Hide follows the window, whoever shows or hides it.
    EXPECT_EQ(tray.showHideAction().text(), "Show Window");
    tray.showHideAction().trigger();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(tray.showHideAction().text(), "Hide Window");
    tray.showHideAction().trigger();
    EXPECT_FALSE(window.isVisible());
    window.show();
    EXPECT_EQ(tray.showHideAction().text(), "Hide Window");
    window.close();
    EXPECT_EQ(tray.showHideAction().text(), "Show Window");

    // LINK posts to the clock; the check mark and tooltip follow what it publishes.
    EXPECT_FALSE(tray.linkAction().isChecked());
    EXPECT_EQ(tray.toolTip(), "Velorin Server\n0 VL USB Devices\nLink off");
    tray.linkAction().trigger();
    rig.settle();
    EXPECT_TRUE(rig.clock->isActive());
    EXPECT_TRUE(tray.linkAction().isChecked());
    rig.link->peers = 3;
    rig.queue.advance(velorin::LinkClock::kPollInterval);
    usb.publish(std::make_shared<const velorin::VLUSBStatusSnapshot>(
        velorin::VLUSBStatusSnapshot{.title = "VL USB in Use by Another Server", .connectedDevices = {}}));
    rig.settle();
    EXPECT_EQ(tray.toolTip(), "Velorin Server\nVL USB in Use by Another Server\nLink on, 3 LINKS");
    tray.linkAction().trigger();
    rig.settle();
    EXPECT_FALSE(rig.clock->isActive());
    EXPECT_FALSE(tray.linkAction().isChecked());

    // PANIC reaches the routed outputs through the engine's commands.
    const auto synth = rig.midi.addDestination("Synth", 12);
    rig.engine.start();
    rig.engine.setOutputAssignment(true, velorin::coreMIDIEndpointKey(12, synth), "router", "outputs");
    rig.midi.sent.clear();
    tray.panicAction().trigger();
    rig.settle();
    EXPECT_EQ(rig.midi.sent.size(), 2048U);

    tray.quitAction().trigger();
    EXPECT_EQ(quits, 1);
}

}  // namespace
