#include "platform/dispatch.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThreadPool>

void postToMain(QObject* context, std::function<void()> fn) {
    QMetaObject::invokeMethod(context, std::move(fn), Qt::QueuedConnection);
}

void runInBackground(std::function<void()> fn) {
    // A pool of the panel's own: Qt's raster paint engine hands large fills to the global pool and waits
    // for them, so jobs blocked there on a script would freeze the window. Never destroyed, as a job may
    // sit at the administrator prompt when the panel ends.
    static QThreadPool* const jobs = [] {
        auto* pool = new QThreadPool;
        pool->setMaxThreadCount(16);
        return pool;
    }();
    jobs->start(std::move(fn));
}

std::function<void()> onMainThread(QObject* guard, std::function<void()> fn) {
    return [guard = QPointer<QObject>(guard), fn = std::move(fn)] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [guard, fn] {
                if (guard)
                    fn();
            },
            Qt::QueuedConnection);
    };
}
