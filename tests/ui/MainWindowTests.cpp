// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenuBar>

#include <map>

#include "WindowTestRig.hpp"
#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "log/LogStore.hpp"
#include "ui/AboutDialog.hpp"
#include "ui/HeaderBarView.hpp"
#include "ui/MIDIDeviceSettingsView.hpp"
#include "ui/MainWindow.hpp"
#include "ui/NeonControls.hpp"
#include "ui/WindowChromeStyler.hpp"

using namespace std::chrono_literals;
using velorin::MainWindow;
using velorin::WindowChromeStyler;

namespace {

velorin::BundleInfoLookup lane(const char* value) {
    return [value](std::string_view key) -> std::optional<std::string> {
        if (key == "VLDistributionLane") return std::string(value);
        if (key == "CFBundleName") return std::string("Velorin Server");
        return std::nullopt;
    };
}

class MainWindowTest : public ::testing::Test {
protected:
    velorin::test::WindowTestRig rig;
    velorin::ManualMainQueue& queue = rig.queue;
    velorin::MemorySettingsStore& settings = rig.settings;

    std::unique_ptr<MainWindow> makeWindow(const char* laneName = "Beta") {
        return std::make_unique<MainWindow>(queue, settings, rig.log,
                                            MainWindow::Services{.engine = rig.engineState,
                                                                 .engineCommands = rig.engineCommands,
                                                                 .link = rig.linkState,
                                                                 .linkCommands = rig.linkCommands,
                                                                 .activity = rig.activity},
                                            lane(laneName));
    }
};

}  // namespace

TEST_F(MainWindowTest, ShowsTheTitleTheMinimumSizeAndTheBetaChitOnlyInTheBetaLane) {
    auto beta = makeWindow("Beta");
    EXPECT_EQ(beta->windowTitle(), "VELORIN SERVER");
    // The minimum is the content's; the window adds its menu bar.
    EXPECT_EQ(beta->centralWidget()->minimumSize(), QSize(1090, 692));
    EXPECT_EQ(beta->minimumSizeHint().width(), 1090);
    EXPECT_EQ(beta->minimumSizeHint().height(), 692 + beta->menuBar()->sizeHint().height());
    const QLabel& title = beta->headerBar().titleLabel();
    EXPECT_EQ(title.text(), "VELORIN SERVER");
    EXPECT_TRUE(title.font().bold());
    EXPECT_EQ(title.font().pixelSize(), 14);
    EXPECT_EQ(title.font().styleHint(), QFont::Monospace);
    ASSERT_NE(beta->headerBar().betaChit(), nullptr);
    EXPECT_EQ(beta->headerBar().betaChit()->text(), "BETA");
    EXPECT_EQ(beta->headerBar().betaChit()->accessibleName(), "Beta build");

    auto production = makeWindow("Production");
    EXPECT_EQ(production->headerBar().betaChit(), nullptr);
}

TEST_F(MainWindowTest, MenuOffersAboutAndSettingsWithItsShortcut) {
    auto window = makeWindow();
    EXPECT_EQ(window->aboutAction().text(), QString::fromUtf8("About Velorin Server\u2026"));
    EXPECT_EQ(window->settingsAction().text(), QString::fromUtf8("Settings\u2026"));
    EXPECT_EQ(window->settingsAction().shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
}

TEST_F(MainWindowTest, SettingsSheetOpensFromMenuAndHeaderButNotOverAMorphSheet) {
    auto window = makeWindow();
    window->show();
    const velorin::MIDIDeviceSettingsView& sheet = window->settingsSheet();
    EXPECT_FALSE(sheet.isVisible());

    rig.engine.openMorphUI(velorin::MIDIEngine::kOctaveLayerID);
    rig.settle();
    ASSERT_TRUE(rig.engine.presentedMorphUI().has_value());
    window->settingsAction().trigger();
    window->headerBar().settingsButton().click();
    EXPECT_FALSE(window->isSettingsPresented());
    EXPECT_FALSE(sheet.isVisible());

    rig.engine.dismissMorphUI();
    rig.settle();
    window->settingsAction().trigger();
    EXPECT_TRUE(window->isSettingsPresented());
    EXPECT_TRUE(sheet.isVisible());
    EXPECT_EQ(sheet.geometry(), window->centralWidget()->rect());
    EXPECT_EQ(sheet.titleLabel().text(), "SETTINGS");
    EXPECT_EQ(sheet.closeButton().text(), "Close");
    sheet.closeButton().click();
    EXPECT_FALSE(window->isSettingsPresented());
    EXPECT_FALSE(sheet.isVisible());
    window->headerBar().settingsButton().click();
    EXPECT_TRUE(window->isSettingsPresented());
}

TEST_F(MainWindowTest, AvailabilitySwitchesFollowAndEditTheRoutingStoreForFiftyEndpoints) {
    const std::string longName =
        "A very long synthesizer name that cannot fit in the column " + std::string(40, 'x');
    rig.midi.addSource(longName, 100);
    for (int i = 1; i < 50; ++i) rig.midi.addSource("Keys " + std::to_string(i), 100 + i);
    rig.midi.addDestination("Synth", 300);
    rig.engine.start();
    rig.settle();
    const std::string firstKey = rig.engine.externalInputEndpoints().front().id;
    rig.engine.setInputAvailable(false, firstKey);
    rig.settle();

    auto window = makeWindow();
    window->show();
    window->openSettings();
    QApplication::processEvents();
    const auto& sheet = window->settingsSheet();
    const auto inputs = sheet.inputToggles();
    ASSERT_EQ(inputs.size(), 50u);
    ASSERT_EQ(sheet.outputToggles().size(), rig.engine.externalOutputEndpoints().size());
    EXPECT_FALSE(inputs.front()->isChecked());
    EXPECT_TRUE(inputs.back()->isChecked());
    // Every switch fits in the list; the long name is whole in the tooltip.
    for (const auto* toggle : inputs) EXPECT_LE(toggle->width(), sheet.width());
    const auto longToggle = std::find_if(
        inputs.begin(), inputs.end(), [&](auto* t) { return t->text() == QString::fromStdString(longName); });
    ASSERT_NE(longToggle, inputs.end());
    EXPECT_TRUE((*longToggle)->toolTip().contains(QString::fromStdString(longName)));

    inputs.front()->click();
    rig.settle();
    EXPECT_FALSE(rig.engine.routingStore().isInputUnavailable(firstKey));
    inputs.front()->click();
    rig.settle();
    EXPECT_TRUE(rig.engine.routingStore().isInputUnavailable(firstKey));
    const std::string outputKey = rig.engine.externalOutputEndpoints().front().id;
    sheet.outputToggles().front()->click();
    rig.settle();
    EXPECT_TRUE(rig.engine.routingStore().isOutputUnavailable(outputKey));

    // A source that appears while the sheet is shown joins its list.
    rig.midi.addSource("Late Keys", 200);
    rig.engine.refreshInventory();
    rig.settle();
    EXPECT_EQ(sheet.inputToggles().size(), 51u);
}

TEST_F(MainWindowTest, OtherSettingsSwitchesShowAndSetTheirOptions) {
    rig.engine.start();
    rig.settle();
    auto window = makeWindow();
    window->show();
    window->openSettings();
    const auto& sheet = window->settingsSheet();
    velorin::NeonToggle& usb = sheet.showIndividualUSBDevicesToggle();
    velorin::NeonToggle& fc200 = sheet.showFC200MorphToggle();
    velorin::NeonToggle& ports = sheet.additionalPortsToggle();
    EXPECT_EQ(usb.text(), "Show Individual USB Devices");
    EXPECT_EQ(usb.toolTip(),
              "When off, routing uses one Velorin USB All input and output for every connected device.");
    EXPECT_EQ(fc200.text(), "Show FC-200 Morph");
    EXPECT_EQ(fc200.toolTip(), "When on, the FC-200 SysEx morph appears in Morphs.");
    EXPECT_EQ(ports.text(), "Add Additional Velorin Server Ports");
    EXPECT_EQ(ports.toolTip(), "Enables Velorin Server ports 2 and 3 together. Port 1 stays available.");

    EXPECT_FALSE(usb.isChecked());
    usb.click();
    rig.settle();
    EXPECT_TRUE(rig.engine.usbPresentationSettings().showsIndividualUSBDevices());
    EXPECT_EQ(settings.boolValue("vlUSBShowsIndividualUSBDevices"), true);

    const bool fc200Shown = rig.engine.fc200Settings()->showsMorph();
    EXPECT_EQ(fc200.isChecked(), fc200Shown);
    fc200.click();
    rig.settle();
    EXPECT_EQ(rig.engine.fc200Settings()->showsMorph(), !fc200Shown);
    rig.engine.setShowsFC200Morph(fc200Shown);  // from elsewhere
    rig.settle();
    EXPECT_EQ(fc200.isChecked(), fc200Shown);

    EXPECT_FALSE(ports.isChecked());
    ports.click();
    rig.settle();
    EXPECT_TRUE(rig.engine.additionalPortsActive());
    EXPECT_TRUE(ports.isChecked());
    // When the ports cannot be made, the switch shows what is.
    ports.click();
    rig.settle();
    rig.midi.fail(velorin::test::FakeMIDIService::Op::createVirtualSource, -12);
    ports.click();
    rig.settle();
    EXPECT_FALSE(rig.engine.additionalPortsActive());
    EXPECT_FALSE(ports.isChecked());
}

TEST_F(MainWindowTest, StoredContentSizeIsRestoredRaisedToTheMinimumOnlyWhenBothKeysExist) {
    // The content's size once the window is laid out, as shown.
    const auto shownContentSize = [](MainWindow& window) {
        window.show();
        QApplication::processEvents();
        return window.centralWidget()->size();
    };
    settings.set("mainWindow.contentWidth", 800.0);
    settings.set("mainWindow.contentHeight", 600.0);
    EXPECT_EQ(shownContentSize(*makeWindow()), QSize(1090, 692));

    settings.set("mainWindow.contentWidth", 1300.0);
    settings.set("mainWindow.contentHeight", 900.5);
    auto window = makeWindow();
    EXPECT_EQ(shownContentSize(*window), QSize(1300, 901));
    EXPECT_EQ(window->height(), 901 + window->menuBar()->height());

    settings.remove("mainWindow.contentHeight");
    settings.set("mainWindow.contentWidth", 1500.0);
    EXPECT_NE(makeWindow()->size().width(), 1500);

    // Values of the wrong type count as not stored.
    settings.set("mainWindow.contentHeight", std::string("900"));
    EXPECT_NE(makeWindow()->size().width(), 1500);
}

TEST_F(MainWindowTest, ContentSizeIsSavedShortlyAfterResizingAndAtOnceOnClose) {
    auto window = makeWindow();
    window->show();
    QApplication::processEvents();
    queue.advance(1s);  // let the save from showing pass
    settings.remove("mainWindow.contentWidth");
    settings.remove("mainWindow.contentHeight");
    const int menuBar = window->menuBar()->height();
    ASSERT_GT(menuBar, 0);

    window->resize(1200, 800 + menuBar);
    QApplication::processEvents();
    window->resize(1250, 810 + menuBar);
    QApplication::processEvents();
    queue.advance(349ms);
    EXPECT_FALSE(settings.contains("mainWindow.contentWidth"));
    queue.advance(1ms);
    EXPECT_EQ(settings.doubleValue("mainWindow.contentWidth"), 1250.0);
    EXPECT_EQ(settings.doubleValue("mainWindow.contentHeight"), 810.0);

    window->resize(1300, 820 + menuBar);
    QApplication::processEvents();
    window->close();
    EXPECT_EQ(settings.doubleValue("mainWindow.contentWidth"), 1300.0);
    EXPECT_EQ(settings.doubleValue("mainWindow.contentHeight"), 820.0);
    EXPECT_FALSE(window->chrome().hasPendingSave());

    // Saved again at quit with the window closed: still the content's size.
    window->chrome().saveSize();
    EXPECT_EQ(settings.doubleValue("mainWindow.contentHeight"), 820.0);
}

TEST(AboutDialog, ShowsVersionBuildTheCreditsInASmallMonospacedFontAndTheLicence) {
    const velorin::AboutPanelContent content{"Velorin Server", "0.1.0", "Build 42",
                                             "Lane: Production\nCommit: 1a2b3c4"};
    velorin::AboutDialog dialog(content);
    const auto* version = dialog.findChild<QLabel*>(QStringLiteral("aboutVersion"));
    const auto* credits = dialog.findChild<QLabel*>(QStringLiteral("aboutCredits"));
    ASSERT_NE(version, nullptr);
    ASSERT_NE(credits, nullptr);
    EXPECT_EQ(version->text(), "Version 0.1.0 (Build 42)");
    EXPECT_EQ(credits->text(), "Lane: Production\nCommit: 1a2b3c4");
    EXPECT_EQ(credits->font().pixelSize(), 11);
    EXPECT_TRUE(credits->alignment() & Qt::AlignHCenter);
    const auto* licence = dialog.findChild<QLabel*>(QStringLiteral("aboutLicence"));
    ASSERT_NE(licence, nullptr);
    for (const char* part :
         {"GPL-3.0-or-later", "Ableton Link (GPL-2.0-or-later)", "asio (BSL-1.0)", "Qt 6 (LGPL-3.0)"}) {
        EXPECT_TRUE(licence->text().contains(QString::fromUtf8(part))) << part;
    }
}
