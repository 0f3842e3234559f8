// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/DesktopNotification.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QStringList>
#include <QVariantMap>

#include "app/HubOwnership.hpp"

namespace velorin {

void showDesktopNotification(const std::string& summary, const std::string& body) {
    // Never start a bus for this.
    if (!hasSessionBus()) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout (-1: the server's
    // default).
    notify << QStringLiteral("Velorin Server") << 0U << QStringLiteral("velorin-server")
           << QString::fromStdString(summary) << QString::fromStdString(body) << QStringList()
           << QVariantMap() << -1;
    // The reply (or the error where no service answers) is not awaited.
    notify.setAutoStartService(true);
    bus.asyncCall(notify);
}

}  // namespace velorin
