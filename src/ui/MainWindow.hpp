#pragma once

#include <QMainWindow>

#include <functional>
#include <memory>

#include "log/BundleInfo.hpp"
#include "log/LogStore.hpp"
#include "core/MainQueue.hpp"
#include "core/SettingsStore.hpp"

class QAction;
class QShowEvent;
class QVBoxLayout;

namespace velorin {

class HeaderBarView;
class LogPaneView;
class WindowChromeStyler;

// The server's one window: the header bar, the content sections, and the log
// pane at the bottom, on the dark theme. Menu items "About Velorin Server…"
// and "Settings…" (Ctrl+,). The window's size is kept across launches.
class MainWindow final : public QMainWindow {
    Q_OBJECT
public:
    MainWindow(MainQueue& queue, SettingsStore& settings, std::shared_ptr<LogStore> logStore,
               BundleInfoLookup bundleInfo = buildBundleInfo(), QWidget* parent = nullptr);
    ~MainWindow() override;

    HeaderBarView& headerBar() const { return *header_; }
    LogPaneView& logPane() const { return *logPane_; }
    WindowChromeStyler& chrome() const { return *chrome_; }
    QAction& aboutAction() const { return *aboutAction_; }
    QAction& settingsAction() const { return *settingsAction_; }

    // The sections between the header and the log pane (routing) go here.
    QVBoxLayout& sectionsLayout() const { return *sections_; }

    // What "Settings…" does; nothing until a settings sheet is installed.
    void setOpenSettingsAction(std::function<void()> action) { openSettings_ = std::move(action); }
    // What runs each time the window appears (the application starts the MIDI
    // engine then; a later appearance finds it running).
    void setAppearAction(std::function<void()> action) { appear_ = std::move(action); }
    void showAboutPanel();

protected:
    void showEvent(QShowEvent* event) override;

private:
    BundleInfoLookup bundleInfo_;
    HeaderBarView* header_ = nullptr;
    LogPaneView* logPane_ = nullptr;
    WindowChromeStyler* chrome_ = nullptr;
    QVBoxLayout* sections_ = nullptr;
    QAction* aboutAction_ = nullptr;
    QAction* settingsAction_ = nullptr;
    std::function<void()> openSettings_;
    std::function<void()> appear_;
};

}  // namespace velorin
