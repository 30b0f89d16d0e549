#include "platform/dispatch.h"

#include <QMetaObject>
#include <QThreadPool>

void postToMain(QObject* context, std::function<void()> fn) {
    QMetaObject::invokeMethod(context, std::move(fn), Qt::QueuedConnection);
}

void runInBackground(std::function<void()> fn) {
    QThreadPool::globalInstance()->start(std::move(fn));
}
