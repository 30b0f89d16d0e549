#include "platform/notificationcenter.h"

#include <algorithm>

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

void NotificationCenter::addObserver(QObject* observer, const QString& name,
                                     std::function<void(const QString& name)> handler) {
    {
        QMutexLocker lock(&mutex_);
        registrations_.push_back({observer, name, std::move(handler)});
    }
    QObject::connect(observer, &QObject::destroyed, [this, observer] { removeObserver(observer); });
}

void NotificationCenter::removeObserver(QObject* observer) {
    QMutexLocker lock(&mutex_);
    std::erase_if(registrations_, [observer](const Registration& r) { return r.observer == observer; });
}

void NotificationCenter::post(const QString& name) {
    std::vector<std::function<void(const QString&)>> handlers;
    {
        // Called outside the lock, so an observer may register or post in turn.
        QMutexLocker lock(&mutex_);
        for (const Registration& registration : registrations_)
            if (registration.name == name)
                handlers.push_back(registration.handler);
    }
    for (const auto& handler : handlers)
        handler(name);
}
