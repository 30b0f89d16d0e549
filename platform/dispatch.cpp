#include "platform/dispatch.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThreadPool>

void postToMain(QObject* context, std::function<void()> fn) {
    QMetaObject::invokeMethod(context, std::move(fn), Qt::QueuedConnection);
}

void runInBackground(std::function<void()> fn) {
    QThreadPool::globalInstance()->start(std::move(fn));
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
