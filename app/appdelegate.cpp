#include "app/appdelegate.h"

#include "host/servicestate.h"
#include "host/utils.h"
#include "platform/notificationcenter.h"
#include "platform/output.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QSessionManager>

AppDelegate::AppDelegate(QObject* parent)
    : QObject(parent)
    , endEventLoop([](int status) { QCoreApplication::exit(status); }) {
    // Qt's quit() first tries to close every window, and the main window never closes by itself: so every
    // Quit event is taken here and decided by the gate instead.
    QCoreApplication::instance()->installEventFilter(this);
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        connect(gui, &QGuiApplication::commitDataRequest, this, &AppDelegate::commitData<QSessionManager>,
                Qt::DirectConnection);
}

AppDelegate::~AppDelegate() {
    QCoreApplication::instance()->removeEventFilter(this);
}

void AppDelegate::applicationDidFinishLaunching() {
    writeStdoutLine("sys " + Utils::osVersionString().toUtf8());
}

AppDelegate::TerminateReply AppDelegate::applicationShouldTerminate() {
    if (currentServiceState() != ServiceState::deviceStateUp)
        return terminateNow;
    // The window's observer only queues its question, so it appears after this refusal.
    NotificationCenter::defaultCenter().post(QStringLiteral("exit"));
    return terminateCancel;
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::Quit || watched != QCoreApplication::instance())
        return false;
    if (applicationShouldTerminate() == terminateNow)
        endEventLoop(0);
    return true;
}

void requestTermination() {
    QEvent quit(QEvent::Quit);
    QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
}
