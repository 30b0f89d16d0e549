#pragma once

#include <QMutex>
#include <QObject>
#include <QString>

#include <functional>
#include <vector>

// In-process notifications by name. A post calls every observer of that name at once, on the posting
// thread, before it returns. An observer is dropped when its object goes away.
class NotificationCenter {
public:
    static NotificationCenter& defaultCenter();

    void addObserver(QObject* observer, const QString& name,
                     std::function<void(const QString& name)> handler);
    // Drops every registration of observer.
    void removeObserver(QObject* observer);
    void post(const QString& name);

private:
    struct Registration {
        QObject* observer;
        QString name;
        std::function<void(const QString&)> handler;
    };

    QMutex mutex_;
    std::vector<Registration> registrations_;
};
