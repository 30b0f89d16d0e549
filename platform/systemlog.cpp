#include "platform/systemlog.h"

#include "platform/output.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QMutex>

#include <syslog.h>
#include <unistd.h>

namespace {

QMutex observerMutex;
SystemLogObserver observer;

void openJournal() {
    // openlog keeps the identity pointer, so it must stay valid for the whole process.
    static const char* const identity = "nodepanel";
    static const bool opened = [] {
        openlog(identity, LOG_PID, LOG_USER);
        return true;
    }();
    Q_UNUSED(opened);
}

} // namespace

void systemLog(const QString& line) {
    const QByteArray text = line.toUtf8();

    openJournal();
    syslog(LOG_NOTICE, "%s", text.constData());

    const QByteArray stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toUtf8();
    writeWholeLine(STDERR_FILENO, stamp + " nodepanel[" + QByteArray::number(getpid()) + "] " + text);

    SystemLogObserver current;
    {
        QMutexLocker lock(&observerMutex);
        current = observer;
    }
    if (current)
        current(line);
}

SystemLogObserver setSystemLogObserver(SystemLogObserver replacement) {
    QMutexLocker lock(&observerMutex);
    std::swap(observer, replacement);
    return replacement;
}
