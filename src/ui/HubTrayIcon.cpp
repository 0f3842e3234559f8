// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/HubTrayIcon.hpp"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>

namespace velorin {

namespace {

QString linkStateText(const LinkStateSnapshot& link) {
    if (!link.active) return QStringLiteral("Link off");
    return link.peers == 1 ? QStringLiteral("Link on, 1 LINK")
                           : QStringLiteral("Link on, %1 LINKS").arg(link.peers);
}

}  // namespace

void presentWindow(QWidget& window) {
    window.setWindowState((window.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window.show();
    window.raise();
    window.activateWindow();
}

HubTrayIcon::HubTrayIcon(Sources sources, bool showInTray, QObject* parent)
    : QObject(parent), sources_(std::move(sources)), menu_(std::make_unique<QMenu>()) {
    menu_->setObjectName(QStringLiteral("trayMenu"));
    showHide_ = menu_->addAction(QStringLiteral("Show Window"));
    connect(showHide_, &QAction::triggered, this, &HubTrayIcon::toggleWindow);
    menu_->addSeparator();
    link_ = menu_->addAction(QStringLiteral("LINK"));
    link_->setCheckable(true);
    // The switch shows the published state, not the click: the next snapshot
    // (within 0.1 s) sets the check mark.
    connect(link_, &QAction::triggered, this, [this] {
        sources_.linkCommands.setActive(!sources_.link.latest()->active);
        refresh();
    });
    panic_ = menu_->addAction(QStringLiteral("PANIC"));
    connect(panic_, &QAction::triggered, this, [this] {
        if (sources_.panic) sources_.panic();
    });
    menu_->addSeparator();
    quit_ = menu_->addAction(QStringLiteral("Quit"));
    connect(quit_, &QAction::triggered, this, [this] {
        if (sources_.quit) sources_.quit();
    });

    sources_.window.installEventFilter(this);
    linkSubscription_ = sources_.link.observe([this] { refresh(); });
    if (sources_.usbStatus != nullptr) usbSubscription_ = sources_.usbStatus->observe([this] { refresh(); });

    if (showInTray) {
        icon_ = new QSystemTrayIcon(this);
        QIcon image = QIcon::fromTheme(QStringLiteral("velorin-server"), QApplication::windowIcon());
        if (image.isNull()) image = QIcon::fromTheme(QStringLiteral("audio-card"));
        icon_->setIcon(image);
        icon_->setContextMenu(menu_.get());
        connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) toggleWindow();
        });
    }
    refresh();
    if (icon_ != nullptr) icon_->show();
}

HubTrayIcon::~HubTrayIcon() {
    sources_.window.removeEventFilter(this);
}

bool HubTrayIcon::isTrayAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

bool HubTrayIcon::isShown() const {
    return icon_ != nullptr && icon_->isVisible();
}

void HubTrayIcon::toggleWindow() {
    if (sources_.window.isVisible() && !sources_.window.isMinimized()) {
        sources_.window.close();
    } else {
        presentWindow(sources_.window);
    }
    refresh();
}

bool HubTrayIcon::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &sources_.window && (event->type() == QEvent::Show || event->type() == QEvent::Hide ||
                                        event->type() == QEvent::WindowStateChange)) {
        refresh();
    }
    return QObject::eventFilter(watched, event);
}

void HubTrayIcon::refresh() {
    const bool windowShown = sources_.window.isVisible() && !sources_.window.isMinimized();
    showHide_->setText(windowShown ? QStringLiteral("Hide Window") : QStringLiteral("Show Window"));
    const std::shared_ptr<const LinkStateSnapshot> link = sources_.link.latest();
    link_->setChecked(link->active);
    const QString usb = sources_.usbStatus != nullptr
                            ? QString::fromStdString(sources_.usbStatus->latest()->title)
                            : QStringLiteral("No VL USB");
    toolTip_ = QStringLiteral("Velorin Server\n%1\n%2").arg(usb, linkStateText(*link));
    if (icon_ != nullptr && icon_->toolTip() != toolTip_) icon_->setToolTip(toolTip_);
}

}  // namespace velorin
