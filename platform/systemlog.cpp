#include "platform/systemlog.h"

#include "platform/logbook.h"
#include "platform/output.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QMutex>

#include <unistd.h>

namespace {

QMutex observerMutex;
SystemLogObserver observer;

} // namespace

void systemLog(const QString& line) {
    const QByteArray text = line.toUtf8();
    writeJournalLine(text);
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    writeWholeLine(STDERR_FILENO,
                   stamp.toUtf8() + " nodepanel[" + QByteArray::number(getpid()) + "] " + text);
    LogBook::append(stamp, line);

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
