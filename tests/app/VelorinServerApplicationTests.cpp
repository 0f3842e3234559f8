// SPDX-License-Identifier: GPL-3.0-or-later
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/VelorinServerApplication.hpp"
#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "engine/MIDIEndpointRegistration.hpp"
#include "engine/MIDIEngine.hpp"
#include "engine/MIDIRoutingStore.hpp"
#include "link/LinkBeatScheduler.hpp"
#include "link/LinkClock.hpp"
#include "log/LogStore.hpp"
#include "support/FakeLinkSession.hpp"
#include "support/FakeMIDIService.hpp"
#include "ui/HeaderBarView.hpp"
#include "ui/HubTrayIcon.hpp"
#include "ui/MIDIDeviceSettingsView.hpp"
#include "ui/MainWindow.hpp"
#include "ui/NeonControls.hpp"
#include "ui/WindowChromeStyler.hpp"

using namespace velorin;
using ::testing::Contains;
using ::testing::IsSupersetOf;
using ::testing::Not;
using velorin::test::FakeLinkSession;
using velorin::test::FakeMIDIService;

namespace {

// Settings in memory that tell the test about every write as it happens.
class ObservedSettings final : public MemorySettingsStore {
public:
    std::function<void(std::string_view key)> onSet;

    void set(std::string_view key, SettingsValue value) override {
        MemorySettingsStore::set(key, std::move(value));
        if (onSet) onSet(key);
    }
};

BundleInfoLookup lane(const char* name) {
    return [name](std::string_view key) -> std::optional<std::string> {
        if (key == "VLDistributionLane") return std::string(name);
        if (key == "CFBundleName") return std::string("Velorin Server");
        if (key == "CFBundleShortVersionString") return std::string("1.2.3");
        if (key == "CFBundleVersion") return std::string("45");
        return std::nullopt;
    };
}

// Every entry of the log as one line: plain messages as written, typed ones
// as "<category> <source>: <text>".
std::vector<std::string> logLines(LogStore& log) {
    log.flush();
    std::vector<std::string> lines;
    for (const auto& entry : log.entries()) {
        if (const auto* message = std::get_if<LogEntry::Message>(&entry.kind)) {
            lines.push_back(message->text);
        } else if (const auto* typed = std::get_if<LogEntry::TypedMessage>(&entry.kind)) {
            lines.push_back(std::string(rawValue(typed->type)) + " " + typed->source.value_or("") + ": " +
                            typed->text);
        }
    }
    return lines;
}

long countOf(const std::vector<std::string>& lines, const std::string& line) {
    return std::count(lines.begin(), lines.end(), line);
}

// Position of the first line equal to `line` (lines.size() when absent).
std::size_t indexOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

// Runs the application's event loop until the quit requests queued by `requestQuit` end it.
void runUntilQuit(const std::function<void()>& requestQuit) {
    QMetaObject::invokeMethod(qApp, requestQuit, Qt::QueuedConnection);
    QApplication::exec();
}

class VelorinServerApplicationTest : public ::testing::Test {
protected:
    ManualMainQueue queue;
    ObservedSettings settings;
    FakeMIDIService* midi = nullptr;
    FakeLinkSession* link = nullptr;
    std::vector<std::string> notifications;

    // Keys (unique ID 11) → Router → Synth (12), stored as a user would have left it.
    void routeKeysToSynth() {
        MIDIRoutingStore routing(settings);
        routing.setInputAssignment(true, coreMIDIEndpointKey(11, 0), "router", "inputs");
        routing.setOutputAssignment(true, coreMIDIEndpointKey(12, 0), "router", "outputs");
    }

    // On its own thread the engine gets the real Link library (never enabled,
    // so it opens no socket): the fake session would read the test's queue.
    std::unique_ptr<VelorinServerApplication> makeServer(const char* laneName = "Beta",
                                                         bool withWindow = true,
                                                         bool engineOnItsOwnThread = false) {
        VelorinServerApplication::Platform platform;
        platform.withWindow = withWindow;
        platform.engineOnItsOwnThread = engineOnItsOwnThread;
        platform.queue = &queue;
        platform.settings = &settings;
        auto fakeMIDI = std::make_unique<FakeMIDIService>();
        midi = fakeMIDI.get();
        platform.midiService = std::move(fakeMIDI);
        if (!engineOnItsOwnThread) {
            auto fakeLink = std::make_unique<FakeLinkSession>(queue);
            link = fakeLink.get();
            platform.linkSession = std::move(fakeLink);
        }
        platform.usb = std::nullopt;
        platform.mirrorLogToStandardError = false;
        platform.bundleInfo = lane(laneName);
        platform.notify = [this](const std::string& summary, const std::string& body) {
            notifications.push_back(summary + ": " + body);
        };
        return std::make_unique<VelorinServerApplication>(std::move(platform));
    }
};

TEST_F(VelorinServerApplicationTest, BuildsEverythingAtOnceButStartsTheEngineOnlyWhenTheWindowAppears) {
    auto server = makeServer();
    midi->addSource("Keys", 11);
    midi->addDestination("Synth", 12);

    // Built: the engine runs on this server's scheduler and is idle.
    EXPECT_EQ(&server->engine().scheduler(), &server->scheduler());
    EXPECT_FALSE(server->engine().isStarted());
    EXPECT_EQ(midi->client, 0u);
    const auto beforeShow = logLines(server->logStore());
    ASSERT_FALSE(beforeShow.empty());
    EXPECT_EQ(beforeShow.front(), "[MIDI] Velorin Server 1.2.3 (build 45, Beta lane) starting");
    EXPECT_THAT(beforeShow, Not(Contains("[MIDI] Inputs: 1, Outputs: 1")));

    server->showWindow();
    EXPECT_TRUE(server->engine().isStarted());
    EXPECT_EQ(midi->clientName, "Velorin Server");
    const auto lines = logLines(server->logStore());
    const std::size_t summary = indexOf(lines, "[MIDI] Inputs: 1, Outputs: 1");
    ASSERT_LT(summary, lines.size());
    EXPECT_LT(indexOf(lines, "[MIDI] Virtual source and destination ready"), summary);
    // The morphs' start-up lines follow the inventory summary (the Octave
    // Layer's only while every MIDI event is logged).
    const std::vector<std::string> afterSummary(lines.begin() + static_cast<std::ptrdiff_t>(summary) + 1,
                                                lines.end());
    EXPECT_THAT(
        afterSummary,
        IsSupersetOf({"Morph Link Looper: Controlled by Velorin SysEx",
                      "Morph FC-200 SysEx: translating Roland FC-200 SysEx controls to channel 15 CC64+; "
                      "pedals 1-10 use CC64-73, expression uses CC77; pedals 6-10 toggle when enabled and "
                      "can share pedals 1-5 CCs"}));

    // A second appearance finds the engine running.
    server->window().hide();
    server->showWindow();
    EXPECT_EQ(countOf(logLines(server->logStore()), "[MIDI] Inputs: 1, Outputs: 1"), 1);
}

TEST_F(VelorinServerApplicationTest, QuitStopsTheEngineOnceSilencingItsNotesBeforeTheWindowSavesItsSize) {
    routeKeysToSynth();
    auto server = makeServer();
    const MIDIObjectRef keys = midi->addSource("Keys", 11);
    const MIDIObjectRef synth = midi->addDestination("Synth", 12);
    std::optional<bool> engineRanWhenSizeSaved;
    settings.onSet = [&](std::string_view key) {
        if (key == WindowChromeStyler::kContentWidthKey)
            engineRanWhenSizeSaved = server->engine().isStarted();
    };
    server->showWindow();
    ASSERT_TRUE(midi->deliverFromSource(keys, {{0x90, 0x3C, 0x64}}));
    queue.runPending();
    ASSERT_EQ(midi->sent.size(), 1u);
    EXPECT_EQ(midi->sent.back(), (FakeMIDIService::Sent{synth, {0x90, 0x3C, 0x64}, false}));

    runUntilQuit([] {
        QCoreApplication::quit();
        QCoreApplication::quit();
    });
    EXPECT_FALSE(server->engine().isStarted());
    EXPECT_EQ(engineRanWhenSizeSaved, false);
    const auto silenced = std::any_of(midi->sent.begin() + 1, midi->sent.end(), [&](const auto& sent) {
        const bool noteOff = sent.bytes == std::vector<std::uint8_t>{0x80, 0x3C, 0x00} ||
                             sent.bytes == std::vector<std::uint8_t>{0x90, 0x3C, 0x00};
        return sent.destination == synth && noteOff;
    });
    EXPECT_TRUE(silenced);
    EXPECT_EQ(midi->disposedClients, 1);

    // A second quit, a reappearing window and the teardown stop nothing again.
    runUntilQuit([] { QCoreApplication::quit(); });
    server->showWindow();
    EXPECT_FALSE(server->engine().isStarted());
    const std::shared_ptr<LogStore> log = server->logStore().shared_from_this();
    settings.onSet = nullptr;
    server.reset();
    const auto lines = logLines(*log);
    EXPECT_EQ(countOf(lines, "[MIDI] Stopping: sending all-notes-off and clearing scheduled events"), 1);
    EXPECT_EQ(countOf(lines, "[MIDI] Stopped"), 1);
}

TEST_F(VelorinServerApplicationTest, ClosingTheWindowKeepsMIDIFlowingAndSaysOnceHowToGetItBack) {
    routeKeysToSynth();
    auto server = makeServer();
    const MIDIObjectRef keys = midi->addSource("Keys", 11);
    const MIDIObjectRef synth = midi->addDestination("Synth", 12);
    server->showWindow();
    ASSERT_TRUE(server->window().isVisible());

    // The window closes inside the running event loop, as a user closes it;
    // a note played afterwards still passes, and only Quit ends the loop.
    std::size_t sentAfterClose = 0;
    bool engineRanAfterClose = false;
    runUntilQuit([&] {
        server->window().close();
        QTimer::singleShot(50, [&] {
            engineRanAfterClose = server->engine().isStarted();
            midi->deliverFromSource(keys, {{0x90, 0x3C, 0x64}});
            queue.runPending();
            sentAfterClose = midi->sent.size();
            // Shown again (as a later start does) and closed again: no second hint.
            server->presentForAnotherStart();
            server->window().close();
            server->tray().quitAction().trigger();
        });
    });
    EXPECT_TRUE(engineRanAfterClose);
    ASSERT_EQ(sentAfterClose, 1u);
    EXPECT_EQ(midi->sent.front(), (FakeMIDIService::Sent{synth, {0x90, 0x3C, 0x64}, false}));
    EXPECT_FALSE(server->engine().isStarted());

    // Offscreen there is no tray: the log and a notification say once how to get the window back.
    const auto lines = logLines(server->logStore());
    const auto hint = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.starts_with(
            "[App] The window is closed; Velorin Server keeps running. Start Velorin Server "
            "again to show its window");
    });
    EXPECT_EQ(hint, 1);
    EXPECT_EQ(countOf(lines, "[App] Started again: showing the window"), 1);
    ASSERT_EQ(notifications.size(), 1u);
    EXPECT_TRUE(notifications.front().starts_with("Velorin Server keeps running: MIDI keeps flowing."));
    EXPECT_EQ(countOf(lines, "[MIDI] Stopped"), 1);
}

TEST_F(VelorinServerApplicationTest, TheWindowShowsAndDrivesTheServersOwnClockEngineAndLog) {
    settings.set(LinkClock::kIsActiveKey, true);
    auto server = makeServer();
    midi->addSource("Keys", 11);
    server->showWindow();
    HeaderBarView& header = server->window().headerBar();
    link->peers = 2;
    queue.advance(LinkClock::kPollInterval);
    EXPECT_EQ(header.linkButton().text(), "2 LINKS");
    EXPECT_EQ(countOf(logLines(server->logStore()), "[Link] Peers: 2"), 1);

    header.logAllButton().click();
    EXPECT_TRUE(server->logStore().isLoggingAllMIDIEvents());
    server->window().settingsAction().trigger();
    ASSERT_TRUE(server->window().isSettingsPresented());
    ASSERT_EQ(server->window().settingsSheet().inputToggles().size(), 1u);
    server->window().settingsSheet().inputToggles().front()->click();
    queue.advance(MIDIEngineStatePublisher::kMinInterval);
    EXPECT_TRUE(server->engine().routingStore().isInputUnavailable(coreMIDIEndpointKey(11, 0)));
    EXPECT_FALSE(server->window().settingsSheet().inputToggles().front()->isChecked());

    // The clock's poll is the application's: the log follows Link with the window hidden.
    server->window().hide();
    link->peers = 3;
    queue.advance(std::chrono::seconds(1));
    EXPECT_EQ(countOf(logLines(server->logStore()), "[Link] Peers: 3"), 1);
}

TEST_F(VelorinServerApplicationTest, HeadlessItBuildsNoWidgetAndRunsEngineAndLinkUntilQuit) {
    settings.set(LinkClock::kIsActiveKey, true);
    const auto widgetsBefore = QApplication::allWidgets().size();
    auto server = makeServer("Beta", false);
    EXPECT_FALSE(server->hasWindow());
    EXPECT_EQ(QApplication::allWidgets().size(), widgetsBefore);
    midi->addSource("Keys", 11);
    server->showWindow();  // nothing to show
    EXPECT_FALSE(server->engine().isStarted());

    server->start();
    EXPECT_TRUE(server->engine().isStarted());
    EXPECT_EQ(countOf(logLines(server->logStore()), "[MIDI] Inputs: 1, Outputs: 0"), 1);
    link->peers = 2;
    queue.advance(LinkClock::kPollInterval);
    EXPECT_EQ(countOf(logLines(server->logStore()), "[Link] Peers: 2"), 1);

    runUntilQuit([] { QCoreApplication::quit(); });
    EXPECT_FALSE(server->engine().isStarted());
    EXPECT_FALSE(server->linkClock().isPolling());
    server->start();  // after quit nothing starts again
    EXPECT_FALSE(server->engine().isStarted());
    EXPECT_FALSE(settings.contains(WindowChromeStyler::kContentWidthKey));
}

TEST_F(VelorinServerApplicationTest, OnItsOwnThreadTheMIDIPathRoutesAndStopsThereSilencingItsNotes) {
    routeKeysToSynth();
    auto server = makeServer("Beta", false, true);
    MIDIObjectRef keys = 0;
    MIDIObjectRef synth = 0;
    std::thread::id engineThread;
    server->onEngineThread([&] {
        engineThread = std::this_thread::get_id();
        keys = midi->addSource("Keys", 11);
        synth = midi->addDestination("Synth", 12);
    });
    EXPECT_NE(engineThread, std::this_thread::get_id());
    server->start();

    // The reader's delivery is posted to the engine's queue and sent from its thread.
    server->onEngineThread([&] { ASSERT_TRUE(midi->deliverFromSource(keys, {{0x90, 0x3C, 0x64}})); });
    std::size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sent == 0 && std::chrono::steady_clock::now() < deadline) {
        server->onEngineThread([&] { sent = midi->sent.size(); });
    }
    ASSERT_EQ(sent, 1u);

    runUntilQuit([] { QCoreApplication::quit(); });
    std::vector<FakeMIDIService::Sent> sentAtStop;
    server->onEngineThread([&] { sentAtStop = midi->sent; });
    const bool silenced = std::any_of(sentAtStop.begin() + 1, sentAtStop.end(), [&](const auto& s) {
        return s.destination == synth && (s.bytes == std::vector<std::uint8_t>{0x80, 0x3C, 0x00} ||
                                          s.bytes == std::vector<std::uint8_t>{0x90, 0x3C, 0x00});
    });
    EXPECT_TRUE(silenced);
    const auto lines = logLines(server->logStore());
    const auto priorityLine = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("priority") != std::string::npos &&
               line.find("the engine thread") != std::string::npos;
    });
    EXPECT_NE(priorityLine, lines.end());
    EXPECT_EQ(countOf(lines, "[MIDI] Stopped"), 1);
}

TEST_F(VelorinServerApplicationTest, LinkIsActiveAtStartExactlyWhenStoredSo) {
    settings.set(LinkClock::kIsActiveKey, true);
    auto server = makeServer();
    EXPECT_TRUE(link->enabled);
    EXPECT_TRUE(server->linkClock().isActive());
    server.reset();

    settings.set(LinkClock::kIsActiveKey, false);
    server = makeServer();
    EXPECT_FALSE(link->enabled);
    EXPECT_FALSE(server->linkClock().isActive());
}

TEST_F(VelorinServerApplicationTest, TheLinkLooperFollowsTheBuildsDistributionLane) {
    const auto hasLinkLooper = [](const MIDIEngine& engine) {
        const auto& registrations = engine.morphRegistrations();
        return std::any_of(registrations.begin(), registrations.end(),
                           [](const MorphRegistration& r) { return r.id == MIDIEngine::kLinkLooperID; });
    };
    EXPECT_TRUE(hasLinkLooper(makeServer("Beta")->engine()));
    EXPECT_FALSE(hasLinkLooper(makeServer("Production")->engine()));
}

}  // namespace
