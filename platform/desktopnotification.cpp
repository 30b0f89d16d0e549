#include "platform/desktopnotification.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QVariantMap>

void notifyDesktop(const QString& summary, const QString& body) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // The desktop entry names the panel and its icon; the body is escaped for services that read markup.
    const QString entry = QGuiApplication::desktopFileName();
    notify << QGuiApplication::applicationDisplayName() << 0u << entry << summary << body.toHtmlEscaped()
           << QStringList() << QVariantMap{{QStringLiteral("desktop-entry"), entry}} << -1;
    // Sent without waiting: the answer, or the bus's word that no such service runs, is of no use.
    bus.send(notify);
}
