// SPDX-License-Identifier: GPL-3.0-or-later
// velorin-screenshots [OUTPUT_FOLDER]
//
// Builds an engine on a fake Link session with a realistic inventory (three
// USB devices, two ALSA endpoints and the app's port), routes every morph,
// chains the Router into the Octave Layer, and renders at the minimum window
// size (1090 × 692) on Qt's offscreen platform:
//   main-window.png                 the window with the Router selected
//   main-window-link-looper.png     the Link Looper selected, loopers running
//   main-window-midi-clock.png      the MIDI Clock selected, clocking two outputs
//   main-window-many-endpoints.png  fifty endpoints with long names
//   octave-layer-panel.png          the Octave Layer settings panel
//   octave-layer-sysex.png          the Octave Layer SysEx reference
//   link-looper-sysex.png           the Link Looper SysEx reference
// The folder (default build/screenshots) is created when missing. Nothing is
// started: no MIDI client, no USB, no network.

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QVBoxLayout>

#include <cstdio>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "engine/MIDIEngine.hpp"
#include "engine/MIDIEngineView.hpp"
#include "link/LinkBeatScheduler.hpp"
#include "link/LinkClock.hpp"
#include "log/LogStore.hpp"
#include "support/FakeLinkSession.hpp"
#include "ui/MainWindow.hpp"
#include "ui/MorphSheetHost.hpp"
#include "ui/OctaveLayerSettingsView.hpp"
#include "ui/RoutingSectionView.hpp"
#include "ui/Theme.hpp"

using namespace velorin;
using namespace std::chrono_literals;

namespace {

MIDIInputEndpointRegistration source(std::string key, std::string title, std::string detail,
                                     MIDIInputEndpointRoute route) {
    return {{std::move(key), std::move(title), std::move(detail)}, std::move(route)};
}
MIDIOutputEndpointRegistration destination(std::string key, std::string title, std::string detail,
                                           MIDIOutputEndpointRoute route) {
    return {{std::move(key), std::move(title), std::move(detail)}, std::move(route)};
}

struct Device {
    const char* key;
    const char* title;
    const char* detail;
};
const Device kUSBDevices[] = {
    {"velorin-usb:name:Stage iPad", "Velorin USB: Stage iPad", "iPad Pro (12.9-inch) \u00b7 iPadOS 17.5"},
    {"velorin-usb:name:Mira's iPhone", "Velorin USB: Mira's iPhone", "iPhone 15 \u00b7 iOS 17.4"},
    {"velorin-usb:name:Practice iPad", "Velorin USB: Practice iPad", "iPad mini \u00b7 iPadOS 16.7"},
};

MIDIEndpointInventory realisticInventory() {
    const auto app = AppVirtualMIDIPortDescriptor::forNumber(1);
    std::vector<MIDIInputEndpointRegistration> inputs{
        source(app.inputKey, app.displayName, "This app's virtual MIDI input",
               MIDIInputEndpointRoute::coreMIDIVirtualDestination(1))};
    std::vector<MIDIOutputEndpointRegistration> outputs{
        destination(app.outputKey, app.displayName, "This app's virtual MIDI output",
                    MIDIOutputEndpointRoute::coreMIDIVirtualSource(2))};
    for (const Device& d : kUSBDevices) {
        inputs.push_back(source(d.key, d.title, d.detail,
                                MIDIInputEndpointRoute::transportOwned(MIDITransportKind::velorinUSB())));
        outputs.push_back(
            destination(d.key, d.title, d.detail,
                        MIDIOutputEndpointRoute::transportOwned(MIDITransportKind::velorinUSB())));
    }
    inputs.push_back(source("core-midi:1034567", "USB MIDI Keyboard MIDI 1", "External MIDI source",
                            MIDIInputEndpointRoute::coreMIDISource(20)));
    inputs.push_back(source("core-midi:482213", "Midi Through Port-0", "External MIDI source",
                            MIDIInputEndpointRoute::coreMIDISource(21)));
    outputs.push_back(destination("core-midi:1034568", "USB MIDI Keyboard MIDI 1",
                                  "External MIDI destination",
                                  MIDIOutputEndpointRoute::coreMIDIDestination(22)));
    outputs.push_back(destination("core-midi:482214", "Midi Through Port-0", "External MIDI destination",
                                  MIDIOutputEndpointRoute::coreMIDIDestination(23)));
    return std::get<MIDIEndpointInventory>(
        MIDIEndpointInventory::make(std::move(inputs), std::move(outputs)));
}

MIDIEndpointInventory crowdedInventory() {
    std::vector<MIDIInputEndpointRegistration> inputs;
    std::vector<MIDIOutputEndpointRegistration> outputs;
    for (int i = 1; i <= 50; ++i) {
        const std::string n = std::to_string(i);
        inputs.push_back(source("core-midi:" + n, "Rehearsal Room Multiport Interface Port " + n + " In",
                                "External MIDI source",
                                MIDIInputEndpointRoute::coreMIDISource(static_cast<std::uint32_t>(i))));
        outputs.push_back(
            destination("core-midi:" + n + "0", "Rehearsal Room Multiport Interface Port " + n + " Out",
                        "External MIDI destination",
                        MIDIOutputEndpointRoute::coreMIDIDestination(static_cast<std::uint32_t>(100 + i))));
    }
    return std::get<MIDIEndpointInventory>(
        MIDIEndpointInventory::make(std::move(inputs), std::move(outputs)));
}

struct Scene {
    Scene() {
        auto fake = std::make_unique<test::FakeLinkSession>(queue);
        session = fake.get();
        clock = std::make_unique<LinkClock>(std::move(fake), *log, settings, queue);
        clock->startPolling();  // as the running application does
        scheduler = std::make_unique<LinkBeatScheduler>(*clock, *log);
        engine = std::make_unique<MIDIEngine>(
            MIDIEngine::Dependencies{queue, settings, *log, *clock, *scheduler, activity, true});
        engine->setEndpointInventory(realisticInventory());
    }
    ~Scene() {
        window.reset();
        linkPublication.reset();
        enginePublisher.reset();
        engine.reset();
        scheduler.reset();
        clock.reset();
    }

    void route() {
        MIDIEngine& e = *engine;
        e.setInputAssignment(true, "core-midi:1034567", "router", "inputs");
        e.setInputAssignment(true, "velorin-usb:name:Stage iPad", "router", "inputs");
        e.setOutputAssignment(true, "core-midi:482214", "router", "outputs");
        e.setOutputAssignment(true, "morph:octave-layer", "router", "outputs");
        e.setOutputAssignment(true, "velorin-usb:name:Mira's iPhone", "octave-layer", "outputs");
        e.setInputAssignment(true, "velorin-usb:name:Practice iPad", "link-looper", "inputs");
        e.setInputAssignment(true, "velorin-usb:name:Stage iPad", "link-looper", "control-inputs");
        e.setOutputAssignment(true, "app-virtual-output", "link-looper", "outputs");
        e.setOutputAssignment(true, "velorin-usb:name:Stage iPad", "link-looper", "control-outputs");
        e.setShowsFC200Morph(true);
        e.setInputAssignment(true, "core-midi:1034567", "fc200-sysex", "inputs");
        e.setOutputAssignment(true, "core-midi:1034568", "fc200-sysex", "outputs");
        e.setFC200UpperPedalsToggleEnabled(true);
        e.fc200Settings()->setUpperPedalLatched(7, true);
        e.octaveLayerSettings()->setEnabled(true, OctaveLayerKind::minusOne);
    }

    // The fake session's transport runs (a timeline on the tool's clock, no
    // network); a phrase is played into the looper and two loopers switched on.
    void runLoopers() {
        session->enabled = true;
        session->playing = true;
        session->jumpToBeat(100);
        for (int beat = 0; beat < 8; ++beat) {
            const auto note = static_cast<std::uint8_t>(60 + beat);
            const std::vector<MIDIRawPacket> on{MIDIRawPacket{ByteArray{0x90, note, 100}}};
            engine->handleInput(on, "velorin-usb:name:Practice iPad", "Velorin USB: Practice iPad");
            queue.advance(250ms);
            const std::vector<MIDIRawPacket> off{MIDIRawPacket{ByteArray{0x80, note, 0}}};
            engine->handleInput(off, "velorin-usb:name:Practice iPad", "Velorin USB: Practice iPad");
            queue.advance(250ms);
        }
        engine->setLinkLooper(0, true);
        engine->setLinkLooper(1, true);
        engine->setLinkLooperMute(2, true);
    }

    void makeWindow() {
        linkPublication = publishLinkState(*clock, linkState);
        enginePublisher = std::make_unique<MIDIEngineStatePublisher>(*engine, queue, engineState);
        window = std::make_unique<MainWindow>(
            queue, settings, log,
            MainWindow::Services{
                .engine = engineState,
                .engineCommands = enginePublisher->commands(),
                .link = linkState,
                .linkCommands = makePostedLinkCommands(queue, *clock),
                .activity = activity,
                .usbStatus = nullptr,
                // Shown on, as for a user who starts it at login.
                .startAtLogin = {.isEnabled = [] { return true; }, .setEnabled = [](bool) { return true; }},
                .networkStatus = &networkStatus,
                .networkCommands = {.setEnabled = [](bool) {},
                                    .setSessionName = [](std::string) {},
                                    .setOnlyKnownPeersMayInvite = [](bool) {},
                                    .connect = [](std::string) {},
                                    .disconnect = [](std::string) {}}});
        queue.runPending();  // the first snapshot reaches the window
        routing = &window->routingSection();
        sheets = &window->morphSheets();
        window->resize(1090, 692);
        window->show();
    }

    ManualMainQueue queue;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log = LogStore::create(queue, settings);
    test::FakeLinkSession* session = nullptr;
    std::unique_ptr<LinkClock> clock;
    std::unique_ptr<LinkBeatScheduler> scheduler;
    LinkStateChannel linkState{queue, std::make_shared<const LinkStateSnapshot>()};
    Subscription linkPublication;
    MIDIEngineStateChannel engineState{queue, std::make_shared<const MIDIEngineSnapshot>()};
    std::unique_ptr<MIDIEngineStatePublisher> enginePublisher;
    // A network session with one peer connected and another found on the network.
    NetworkMIDIStatusChannel networkStatus{
        queue, std::make_shared<const NetworkMIDIStatusSnapshot>(NetworkMIDIStatusSnapshot{
                   .isEnabled = true,
                   .sessionName = "Velorin Server on stage-laptop",
                   .controlPort = 5004,
                   .onlyKnownPeersMayInvite = false,
                   .status = "Listening on UDP 5004 and 5005",
                   .discoveryAvailable = true,
                   .peers = {{"Practice iPad", "192.168.1.23:5004",
                              NetworkMIDIStatusSnapshot::Peer::State::connected, 2.4},
                             {"Studio Mac", "192.168.1.40:5004",
                              NetworkMIDIStatusSnapshot::Peer::State::discovered, std::nullopt}}})};
    MIDIActivityMonitor activity{[this] { return queue.uptimeSeconds(); }};
    std::unique_ptr<MIDIEngine> engine;
    std::unique_ptr<MainWindow> window;
    RoutingSectionView* routing = nullptr;
    MorphSheetHost* sheets = nullptr;
};

// Lets the engine's latest snapshot reach the window, then saves it.
bool save(Scene& scene, const QDir& folder, const char* name) {
    scene.queue.advance(MIDIEngineStatePublisher::kMinInterval);
    QWidget& widget = *scene.window;
    QApplication::processEvents();
    const QString path = folder.filePath(QString::fromUtf8(name));
    if (!widget.grab().save(path)) {
        std::fprintf(stderr, "velorin-screenshots: cannot write %s\n", path.toUtf8().constData());
        return false;
    }
    std::printf("%s\n", path.toUtf8().constData());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    theme::applyDarkTheme(app);
    const QStringList arguments = QApplication::arguments();
    const QString folderPath = arguments.size() > 1 ? arguments.at(1) : QStringLiteral("build/screenshots");
    QDir folder(folderPath);
    if (!folder.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "velorin-screenshots: cannot create %s\n", folderPath.toUtf8().constData());
        return 1;
    }

    bool ok = true;
    {
        Scene scene;
        scene.route();
        scene.log->log("[MIDI] Inventory: 6 inputs, 6 outputs");
        scene.log->log("[USB] Velorin USB: Stage iPad connected");
        scene.log->log("[Morphs] FC-200 pedals 6-10 toggle enabled");
        scene.makeWindow();
        scene.log->flush();
        ok &= save(scene, folder, "main-window.png");

        scene.runLoopers();
        scene.routing->setLinkTransportRunning(true);
        scene.routing->setSelectedMorphKey("link-looper");
        scene.log->flush();
        ok &= save(scene, folder, "main-window-link-looper.png");

        scene.engine->setOutputAssignment(true, "core-midi:482214", "midi-clock", "clock-outputs");
        scene.engine->setOutputAssignment(true, "app-virtual-output", "midi-clock", "clock-outputs-running");
        scene.engine->setInputAssignment(true, "core-midi:1034567", "midi-clock", "inputs");
        scene.routing->setSelectedMorphKey("midi-clock");
        scene.log->flush();
        ok &= save(scene, folder, "main-window-midi-clock.png");

        scene.engine->openMorphUI("octave-layer");
        ok &= save(scene, folder, "octave-layer-panel.png");
        scene.sheets->octaveLayerSettingsView()->setSysExReferencePresented(true);
        ok &= save(scene, folder, "octave-layer-sysex.png");
        scene.engine->dismissMorphUI();
        scene.engine->openMorphUI("link-looper");
        ok &= save(scene, folder, "link-looper-sysex.png");
        scene.engine->dismissMorphUI();
    }
    {
        Scene scene;
        scene.engine->setEndpointInventory(crowdedInventory());
        scene.engine->setInputAssignment(true, "core-midi:3", "router", "inputs");
        scene.engine->setOutputAssignment(true, "core-midi:70", "router", "outputs");
        scene.makeWindow();
        ok &= save(scene, folder, "main-window-many-endpoints.png");
        scene.window->openSettings();
        ok &= save(scene, folder, "settings-sheet.png");
    }
    return ok ? 0 : 1;
}
