#include "platform/desktopnotification.h"

#include "platform/sessionbus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QVariantMap>

namespace {

// Long enough for a bus that answers to connect, when a notice is the first use of it.
constexpr int connectMs = 2000;

} // namespace

void notifyDesktop(const QString& summary, const QString& body) {
    if (waitForSessionBus(QDeadlineTimer(connectMs)) != SessionBusState::Connected)
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
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
