// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

#include "core/Observable.hpp"
#include "link/LinkClockView.hpp"
#include "usb/VLUSBStatusSnapshot.hpp"

class QAction;
class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace velorin {

// The hub's icon in the desktop's tray (a StatusNotifierItem on most
// desktops), so the hub stays reachable while its window is closed. Its menu:
// "Show Window"/"Hide Window", "LINK" (checked while Link is on), "PANIC" and
// "Quit"; clicking the icon shows or hides the window. The tooltip names the
// USB status and the Link state. Like the window, it reads the published
// snapshots and posts commands; it never holds an object of the engine's thread.
class HubTrayIcon final : public QObject {
    Q_OBJECT
public:
    // All outlive the icon.
    struct Sources {
        QWidget& window;
        const LinkStateChannel& link;
        LinkCommands linkCommands;
        std::function<void()> panic;
        std::function<void()> quit;
        // Null without USB.
        const SnapshotChannel<VLUSBStatusSnapshot>* usbStatus = nullptr;
    };

    // `showInTray`: put the icon in the tray (where the desktop has one);
    // false keeps the menu and its actions without an icon.
    HubTrayIcon(Sources sources, bool showInTray, QObject* parent = nullptr);
    ~HubTrayIcon() override;

    // Whether the desktop has a tray to show the icon in.
    static bool isTrayAvailable();
    // Whether the icon is in the tray.
    bool isShown() const;

    QMenu& menu() const { return *menu_; }
    QAction& showHideAction() const { return *showHide_; }
    QAction& linkAction() const { return *link_; }
    QAction& panicAction() const { return *panic_; }
    QAction& quitAction() const { return *quit_; }
    QString toolTip() const { return toolTip_; }

    // Shows and raises the window when hidden, hides it when shown.
    void toggleWindow();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refresh();

    Sources sources_;
    std::unique_ptr<QMenu> menu_;
    QAction* showHide_ = nullptr;
    QAction* link_ = nullptr;
    QAction* panic_ = nullptr;
    QAction* quit_ = nullptr;
    QSystemTrayIcon* icon_ = nullptr;
    QString toolTip_;
    Subscription linkSubscription_;
    Subscription usbSubscription_;
};

// Shows the window if hidden or minimised, raises it and asks the window
// manager to give it the focus.
void presentWindow(QWidget& window);

}  // namespace velorin
