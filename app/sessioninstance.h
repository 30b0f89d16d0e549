#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QPointer>

#include <optional>

class QWidget;

// One panel per desktop session. The first launch owns the name org.nodepanel.NodePanel on the session bus;
// a later launch asks that owner to bring its window forward, and ends, so that two panels never poll and
// start the same node. Without a session bus each launch runs on its own, and so does one whose bus, or
// whose owner of the name, does not answer in time (it says so in the log).
class SessionInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.nodepanel.NodePanel")

public:
    explicit SessionInstance(QObject* parent = nullptr);
    // Gives the name back, so that a later launch runs the panel itself.
    ~SessionInstance() override;

    // Nothing when this launch is to run the panel: the name is now ours, there is no session bus to hold
    // it, or the bus or the owner did not answer by the deadline. Otherwise the exit status to end
    // with: 0 once the owner has shown its window.
    std::optional<int> claim(QDeadlineTimer deadline = QDeadlineTimer(500));

    // Before the application object exists: a session bus that does not answer by the deadline is taken
    // out of the environment, so that nothing in the process waits on it (Qt's menu bar and accessibility
    // would, for as long as the bus library waits), and the log says so. Returns whether it was.
    static bool leaveSilentBus(QDeadlineTimer deadline);

    // The window that Activate brings forward.
    void setWindow(QWidget* window);

public slots:
    // Called over the bus by a later launch: shows the window, restored, raised and active.
    Q_SCRIPTABLE void Activate();

private:
    QPointer<QWidget> window_;
    bool owner_ = false;
};
