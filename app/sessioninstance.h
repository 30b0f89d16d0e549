#pragma once

#include <QObject>
#include <QPointer>

#include <optional>

class QWidget;

// One panel per desktop session. The first launch owns the name org.nodepanel.NodePanel on the session bus;
// a later launch asks that owner to bring its window forward, and ends, so that two panels never poll and
// start the same node. Without a session bus each launch runs on its own.
class SessionInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.nodepanel.NodePanel")

public:
    explicit SessionInstance(QObject* parent = nullptr);
    // Gives the name back, so that a later launch runs the panel itself.
    ~SessionInstance() override;

    // Nothing when this launch is to run the panel: the name is now ours, or there is no session bus to
    // hold it. Otherwise the exit status to end with: 0 once the owner has been asked to show its window,
    // 1 when it did not answer (told on standard error).
    std::optional<int> claim();

    // The window that Activate brings forward.
    void setWindow(QWidget* window);

public slots:
    // Called over the bus by a later launch: shows the window, restored, raised and active.
    Q_SCRIPTABLE void Activate();

private:
    QPointer<QWidget> window_;
    bool owner_ = false;
};
