#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>

#include <map>

#include "log/LogStore.hpp"
#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "ui/AboutDialog.hpp"
#include "ui/HeaderBarView.hpp"
#include "ui/MainWindow.hpp"
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
    velorin::ManualMainQueue queue;
    velorin::MemorySettingsStore settings;
    std::shared_ptr<velorin::LogStore> store = velorin::LogStore::create(queue, settings);

    std::unique_ptr<MainWindow> makeWindow(const char* laneName = "Beta") {
        return std::make_unique<MainWindow>(queue, settings, store, lane(laneName));
    }
};

}  // namespace

TEST_F(MainWindowTest, ShowsTheTitleTheMinimumSizeAndTheBetaChitOnlyInTheBetaLane) {
    auto beta = makeWindow("Beta");
    EXPECT_EQ(beta->windowTitle(), "VELORIN SERVER");
    EXPECT_EQ(beta->minimumSize(), QSize(1090, 692));
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
    window->settingsAction().trigger();  // nothing installed yet: does nothing
    int opened = 0;
    window->setOpenSettingsAction([&] { ++opened; });
    window->settingsAction().trigger();
    EXPECT_EQ(opened, 1);
}

TEST_F(MainWindowTest, StoredSizeIsRestoredRaisedToTheMinimumOnlyWhenBothKeysExist) {
    settings.set("mainWindow.contentWidth", 800.0);
    settings.set("mainWindow.contentHeight", 600.0);
    EXPECT_EQ(makeWindow()->size(), QSize(1090, 692));

    settings.set("mainWindow.contentWidth", 1300.0);
    settings.set("mainWindow.contentHeight", 900.5);
    EXPECT_EQ(makeWindow()->size(), QSize(1300, 901));

    settings.remove("mainWindow.contentHeight");
    settings.set("mainWindow.contentWidth", 1500.0);
    EXPECT_NE(makeWindow()->size().width(), 1500);

    // Values of the wrong type count as not stored.
    settings.set("mainWindow.contentHeight", std::string("900"));
    EXPECT_NE(makeWindow()->size().width(), 1500);
}

TEST_F(MainWindowTest, SizeIsSavedShortlyAfterResizingAndAtOnceOnClose) {
    auto window = makeWindow();
    window->show();
    QApplication::processEvents();
    queue.advance(1s);  // let the save from showing pass
    settings.remove("mainWindow.contentWidth");
    settings.remove("mainWindow.contentHeight");

    window->resize(1200, 800);
    QApplication::processEvents();
    window->resize(1250, 810);
    QApplication::processEvents();
    queue.advance(349ms);
    EXPECT_FALSE(settings.contains("mainWindow.contentWidth"));
    queue.advance(1ms);
    EXPECT_EQ(settings.doubleValue("mainWindow.contentWidth"), 1250.0);
    EXPECT_EQ(settings.doubleValue("mainWindow.contentHeight"), 810.0);

    window->resize(1300, 820);
    QApplication::processEvents();
    window->close();
    EXPECT_EQ(settings.doubleValue("mainWindow.contentWidth"), 1300.0);
    EXPECT_FALSE(window->chrome().hasPendingSave());
}

TEST(AboutDialog, ShowsVersionBuildAndTheCreditsInASmallMonospacedFont) {
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
}
