// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>

#include <cstdlib>

#include "WindowTestRig.hpp"
#include "ui/HeaderBarView.hpp"
#include "ui/LinkTempoStatusView.hpp"
#include "ui/MIDIActivityView.hpp"
#include "ui/NeonControls.hpp"
#include "ui/VLUSBStatusView.hpp"
#include "usb/UsbUnitHarness.hpp"

using namespace std::chrono_literals;
using velorin::beatIndicatorIndex;
using velorin::HeaderBarView;

namespace {

class HeaderBarViewTest : public ::testing::Test {
protected:
    velorin::test::WindowTestRig rig;
    int settingsOpened = 0;
    HeaderBarView header{false,
                         HeaderBarView::Sources{.queue = rig.queue,
                                                .link = rig.linkState,
                                                .linkCommands = rig.linkCommands,
                                                .panic = rig.engineCommands.panic,
                                                .logStore = *rig.log,
                                                .activity = rig.activity},
                         [this] { ++settingsOpened; }};

    void SetUp() override {
        header.show();
        QApplication::processEvents();
    }
    // One Link poll and a little more.
    void poll() { rig.queue.advance(velorin::LinkClock::kPollInterval); }
    QString linkText() const { return header.linkButton().text(); }
    // A Link button's command reaches the clock, whose snapshot comes back, in one turn of the queue.
    void click(velorin::NeonButton& button) {
        button.click();
        rig.queue.runPending();
    }
};

TEST_F(HeaderBarViewTest, LinkButtonShowsLinkWhenDisabledAndThePeerCountWhenEnabled) {
    EXPECT_EQ(linkText(), "LINK");
    rig.link->peers = 3;  // a disabled session sees none
    poll();
    EXPECT_EQ(linkText(), "LINK");

    click(header.linkButton());
    EXPECT_TRUE(rig.link->enabled);
    EXPECT_EQ(rig.settings.boolValue(velorin::LinkClock::kIsActiveKey), true);
    EXPECT_EQ(linkText(), "3 LINKS");  // at once, not at the next poll
    rig.link->peers = 1;
    poll();
    EXPECT_EQ(linkText(), "1 LINK");
    rig.link->peers = 0;
    poll();
    EXPECT_EQ(linkText(), "0 LINKS");

    // Hidden, the header stops its own redraws; it shows the clock's state when it appears.
    header.hide();
    EXPECT_FALSE(header.isRedrawingLinkState());
    rig.link->peers = 2;
    rig.queue.advance(1s);
    header.show();
    EXPECT_TRUE(header.isRedrawingLinkState());
    EXPECT_EQ(linkText(), "2 LINKS");

    click(header.linkButton());
    EXPECT_FALSE(rig.link->enabled);
    EXPECT_EQ(rig.settings.boolValue(velorin::LinkClock::kIsActiveKey), false);
    EXPECT_EQ(linkText(), "LINK");
}

TEST_F(HeaderBarViewTest, WithPeersResetIsUnavailableAndPlayPulsesUntilTheTransportStarts) {
    EXPECT_TRUE(header.resetButton().isEnabled());
    EXPECT_EQ(header.resetButton().toolTip(), "Reset local Link timeline");
    EXPECT_FALSE(header.isPlayButtonPulsing());  // Link disabled

    click(header.linkButton());
    EXPECT_FALSE(header.isPlayButtonPulsing());  // enabled, but alone
    rig.link->peers = 2;
    poll();
    EXPECT_EQ(linkText(), "2 LINKS");
    EXPECT_FALSE(header.resetButton().isEnabled());
    EXPECT_EQ(header.resetButton().toolTip(), "Unavailable while Link peers are connected");
    EXPECT_TRUE(header.isPlayButtonPulsing());

    click(header.playButton());
    EXPECT_TRUE(rig.link->playing);
    EXPECT_FALSE(header.isPlayButtonPulsing());
    rig.link->playing = false;  // a peer stops the session
    poll();
    EXPECT_TRUE(header.isPlayButtonPulsing());

    ::setenv("VELORIN_REDUCE_MOTION", "1", 1);
    poll();
    const bool pulsedWithReducedMotion = header.isPlayButtonPulsing();
    ::unsetenv("VELORIN_REDUCE_MOTION");
    EXPECT_FALSE(pulsedWithReducedMotion);

    poll();
    EXPECT_TRUE(header.isPlayButtonPulsing());
    rig.link->peers = 0;
    poll();
    EXPECT_FALSE(header.isPlayButtonPulsing());
    EXPECT_TRUE(header.resetButton().isEnabled());
    EXPECT_EQ(header.resetButton().toolTip(), "Reset local Link timeline");
}

TEST_F(HeaderBarViewTest, PlayEnablesLinkFirstStoresItAndStartsTheTransport) {
    ASSERT_FALSE(rig.link->enabled);
    click(header.playButton());
    EXPECT_TRUE(rig.link->enabled);
    EXPECT_TRUE(rig.link->playing);
    EXPECT_EQ(rig.settings.boolValue(velorin::LinkClock::kIsActiveKey), true);
    EXPECT_EQ(linkText(), "0 LINKS");
    EXPECT_EQ(header.playButton().toolTip(), "Stop Link transport");

    click(header.playButton());
    EXPECT_FALSE(rig.link->playing);
    EXPECT_TRUE(rig.link->enabled);
}

TEST(BeatIndicator, LightsTheBeatFortyMillisecondsAheadModuloFour) {
    EXPECT_EQ(beatIndicatorIndex(0.0, 120.0), 0);   // 0.08
    EXPECT_EQ(beatIndicatorIndex(0.93, 120.0), 1);  // 1.01: the next beat shows 40 ms early
    EXPECT_EQ(beatIndicatorIndex(0.91, 120.0), 0);  // 0.99
    EXPECT_EQ(beatIndicatorIndex(3.95, 120.0), 0);  // 4.03 wraps
    EXPECT_EQ(beatIndicatorIndex(6.5, 60.0), 2);    // 6.54
    EXPECT_EQ(beatIndicatorIndex(-0.5, 0.0), 3);    // before the timeline's beat 0
}

TEST_F(HeaderBarViewTest, TempoAndBeatIndicatorsFollowTheClockOnlyWhilePlaying) {
    const velorin::LinkTempoStatusView& tempo = header.tempoView();
    EXPECT_EQ(tempo.tempoLabel().text(), "120.0 BPM");
    EXPECT_EQ(tempo.litIndicator(), std::nullopt);

    click(header.playButton());  // beat 0 now
    ASSERT_TRUE(tempo.isAnimatingBeats());
    EXPECT_EQ(tempo.litIndicator(), 0);
    rig.queue.advance(470ms);  // beat 0.94, 1.02 ahead
    EXPECT_EQ(tempo.litIndicator(), 1);
    rig.link->peerSetsTempo(90.44);
    rig.queue.advance(1s);
    EXPECT_EQ(tempo.tempoLabel().text(), "90.4 BPM");

    click(header.playButton());
    EXPECT_FALSE(tempo.isAnimatingBeats());
    EXPECT_EQ(tempo.litIndicator(), std::nullopt);
}

TEST_F(HeaderBarViewTest, ActivityIndicatorsLightForAHundredMillisecondsAfterTraffic) {
    const velorin::MIDIActivityView& activity = header.activityView();
    EXPECT_EQ(activity.inputIndicator().toolTip(), "MIDI In");
    EXPECT_EQ(activity.outputIndicator().accessibleName(), "MIDI Out");
    EXPECT_FALSE(activity.isInputLit());

    rig.activity.recordInput();
    rig.queue.advance(50ms);
    EXPECT_TRUE(activity.isInputLit());
    EXPECT_FALSE(activity.isOutputLit());
    rig.queue.advance(100ms);
    EXPECT_FALSE(activity.isInputLit());

    header.hide();
    EXPECT_FALSE(activity.isPolling());
}

TEST_F(HeaderBarViewTest, LogAllSettingsAndPanicActOnTheirOwners) {
    EXPECT_FALSE(header.logAllButton().isActive());
    header.logAllButton().click();
    EXPECT_TRUE(rig.log->isLoggingAllMIDIEvents());
    EXPECT_TRUE(header.logAllButton().isActive());
    rig.log->toggleLoggingAllMIDIEvents();  // from elsewhere
    EXPECT_FALSE(header.logAllButton().isActive());

    EXPECT_EQ(header.settingsButton().toolTip(), "Settings");
    header.settingsButton().click();
    EXPECT_EQ(settingsOpened, 1);

    const auto synth = rig.midi.addDestination("Synth", 12);
    rig.engine.start();
    rig.engine.setOutputAssignment(true, velorin::coreMIDIEndpointKey(12, synth), "router", "outputs");
    rig.midi.sent.clear();
    header.panicButton().click();
    rig.settle();
    EXPECT_FALSE(rig.midi.sent.empty());
    EXPECT_EQ(header.linkButton().width(), HeaderBarView::kLinkButtonWidth);
    EXPECT_EQ(header.panicButton().width(), HeaderBarView::kPanicButtonWidth);
}

TEST(MIDIActivityView, TheIndicatorsTooltipsCarryTheHubLatencyOfTheLastTenSeconds) {
    velorin::ManualMainQueue queue;
    velorin::MIDIActivityMonitor activity;
    velorin::MIDILatencyMonitor latency;
    const velorin::MIDIActivityView view(activity, queue, &latency);
    EXPECT_EQ(view.latencySummary(), "Hub latency, last 10 s: no events in 10 s");
    latency.record(250us, velorin::MIDILatencyMonitor::Clock::now());
    EXPECT_TRUE(view.latencySummary().startsWith("Hub latency, last 10 s: p50 0.2"));
    EXPECT_EQ(view.outputIndicator().toolTip(), "MIDI Out");  // the latency is added as the tooltip shows
}

TEST(VLUSBStatusView, CountsConnectedDevicesOrTellsOfAnotherServerAndListsPingRoundTrips) {
    EXPECT_EQ(velorin::VLUSBStatusView(nullptr).text(), "0 VL USB Devices");

    velorin::testing::UsbUnitHarness usb;
    // Published as the application does; the harness's queue carries both sides.
    velorin::VLUSBStatusChannel published(usb.queue, std::make_shared<const velorin::VLUSBStatusSnapshot>());
    const auto publication =
        velorin::publishOnChange(*usb.service, published, [&usb] { return usb.service->statusSnapshot(); });
    velorin::VLUSBStatusView status(&published);
    usb.lock->available = false;
    usb.service->start();
    usb.run();
    EXPECT_EQ(status.text(), "VL USB in Use by Another Server");
    usb.lock->available = true;
    usb.advance(2s);
    EXPECT_EQ(status.text(), "0 VL USB Devices");

    const auto channel = usb.connectDevice(1, "Stage iPad");
    EXPECT_EQ(status.text(), "1 VL USB Device");
    EXPECT_EQ(status.deviceSummary(), "Stage iPad: no ping answered yet");
    usb.advance(10s);  // the heartbeat pings
    const auto tag = usb.session(1).pendingHeartbeatTag;
    ASSERT_TRUE(tag.has_value());
    usb.advance(12500us);
    usb.transport->frame(channel, velorin::VLUSBFrameTypeValue(velorin::VLUSBFrameType::pong), *tag, {});
    usb.run();
    EXPECT_EQ(status.deviceSummary(), "Stage iPad: ping 12.5 ms");

    usb.connectDevice(2, "Phone");
    EXPECT_EQ(status.text(), "2 VL USB Devices");
}

}  // namespace
