#pragma once

#include <QObject>

#include <functional>

// Decides every quit request: while the node runs, quitting is refused and the window is asked, through
// the "exit" notification, to offer to stop it; otherwise the panel quits at once. It watches the
// application for quit requests from any source (the Quit command, the exit question, Qt's own quit()).
class AppDelegate : public QObject {
    Q_OBJECT

public:
    enum TerminateReply { terminateCancel = 0, terminateNow = 1 };

    explicit AppDelegate(QObject* parent = nullptr);
    ~AppDelegate() override;

    // Once launch is complete: the launch line on standard output.
    void applicationDidFinishLaunching();
    // The quit gate.
    TerminateReply applicationShouldTerminate();
    // How the event loop is ended once the gate lets a quit through; tests watch it.
    std::function<void(int status)> endEventLoop;

    // A log-out or shut-down asks too: it is cancelled while the node runs, where the session lets the
    // panel ask. Manager: QSessionManager, or a stand-in where no session manager runs (tests).
    template<typename Manager> void commitData(Manager& manager) {
        if (!manager.allowsInteraction())
            return;
        if (applicationShouldTerminate() == terminateCancel)
            manager.cancel();
        manager.release();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// A quit request, as the Quit command and the exit question make it: it reaches the gate like every other.
void requestTermination();
