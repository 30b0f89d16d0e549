#include "app/sessioninstance.h"

#include "platform/sessionbus.h"
#include "platform/systemlog.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QWidget>

namespace {

const QString serviceName = QStringLiteral("org.nodepanel.NodePanel");
const QString objectPath = QStringLiteral("/org/nodepanel/NodePanel");

const QString silentBus = QStringLiteral("The session bus does not answer: this panel runs on its own.");

bool timedOut(const QDBusError& error) {
    return error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout ||
           error.type() == QDBusError::TimedOut;
}

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

bool SessionInstance::leaveSilentBus(QDeadlineTimer deadline) {
    if (!sessionBusHangs(deadline))
        return false;
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    systemLog(silentBus);
    return true;
}

// Connecting, claiming the name and asking its owner all fit in the deadline, so that the window shows
// within a second whatever the bus does. The owner's main thread never waits on anything, so it answers at
// once unless it hangs.
std::optional<int> SessionInstance::claim(QDeadlineTimer deadline) {
    const SessionBusState state = waitForSessionBus(deadline);
    if (state == SessionBusState::Connecting)
        systemLog(silentBus);
    if (state != SessionBusState::Connected)
        return std::nullopt;
    QDBusConnection bus = QDBusConnection::sessionBus();
    // The object first, so that a launch that finds the name taken always finds someone to answer.
    bus.registerObject(objectPath, this, QDBusConnection::ExportScriptableSlots);
    QString silence = silentBus;
    // Twice: an owner that quits between our attempt and our call leaves the name to us.
    for (int attempt = 0; attempt < 2 && !deadline.hasExpired(); ++attempt) {
        bus.interface()->setTimeout(int(std::max<qint64>(1, deadline.remainingTime())));
        const auto registered =
            bus.interface()->registerService(serviceName, QDBusConnectionInterface::DontQueueService,
                                             QDBusConnectionInterface::DontAllowReplacement);
        if (registered.isValid() && registered.value() == QDBusConnectionInterface::ServiceRegistered) {
            owner_ = true;
            return std::nullopt;
        }
        // A bus that will not let us hold the name leaves us on our own, as without one.
        if (!registered.isValid() && !timedOut(registered.error())) {
            bus.unregisterObject(objectPath);
            return std::nullopt;
        }
        if (!registered.isValid())
            break;
        const QDBusMessage answer = bus.call(
            QDBusMessage::createMethodCall(serviceName, objectPath, serviceName, QStringLiteral("Activate")),
            QDBus::Block, int(std::max<qint64>(1, deadline.remainingTime())));
        if (answer.type() == QDBusMessage::ReplyMessage)
            return 0;
        if (answer.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown"))
            continue;
        silence = timedOut(QDBusError(answer))
                      ? QStringLiteral("Node Panel is already running, but it does not answer in time: this "
                                       "panel runs on its own.")
                      : QStringLiteral("The owner of ") + serviceName + QStringLiteral(" answered ") +
                            answer.errorName() + QStringLiteral(": this panel runs on its own.");
        break;
    }
    bus.unregisterObject(objectPath);
    systemLog(silence);
    return std::nullopt;
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
