#include "app/sessioninstance.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QWidget>

#include <cstdio>

namespace {

const QString serviceName = QStringLiteral("org.nodepanel.NodePanel");
const QString objectPath = QStringLiteral("/org/nodepanel/NodePanel");

// The owner's main thread never waits on anything, so it answers at once unless it hangs.
constexpr int answerTimeoutMs = 5000;

} // namespace

SessionInstance::SessionInstance(QObject* parent)
    : QObject(parent) {}

SessionInstance::~SessionInstance() {
    if (!owner_)
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterObject(objectPath);
    bus.interface()->unregisterService(serviceName);
}

std::optional<int> SessionInstance::claim() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return std::nullopt;
    // The object first, so that a launch that finds the name taken always finds someone to answer.
    bus.registerObject(objectPath, this, QDBusConnection::ExportScriptableSlots);
    QDBusMessage answer;
    // Twice: an owner that quits between our attempt and our call leaves the name to us.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto registered =
            bus.interface()->registerService(serviceName, QDBusConnectionInterface::DontQueueService,
                                             QDBusConnectionInterface::DontAllowReplacement);
        // A bus that will not let us hold the name leaves us on our own, as without one.
        if (!registered.isValid() || registered.value() == QDBusConnectionInterface::ServiceRegistered) {
            owner_ = registered.isValid();
            return std::nullopt;
        }
        answer = bus.call(
            QDBusMessage::createMethodCall(serviceName, objectPath, serviceName, QStringLiteral("Activate")),
            QDBus::Block, answerTimeoutMs);
        if (answer.type() == QDBusMessage::ReplyMessage)
            return 0;
        if (answer.errorName() != QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown"))
            break;
    }
    bus.unregisterObject(objectPath);
    std::fputs((tr("Node Panel is already running, but it does not answer.") + QLatin1Char('\n'))
                   .toLocal8Bit()
                   .constData(),
               stderr);
    return 1;
}

void SessionInstance::setWindow(QWidget* window) {
    window_ = window;
}

void SessionInstance::Activate() {
    if (!window_)
        return;
    window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    window_->show();
    window_->raise();
    window_->activateWindow();
}
