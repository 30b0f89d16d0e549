#pragma once

#include "control/servicestate.h"

#include <QPointer>
#include <QWidget>

#include <functional>

class QAbstractButton;
class QCheckBox;
class QLabel;
class QPushButton;
class QTimer;

// The service-control screen: the window's content. It shows whether the node runs (busy, running and
// stopped views), counts its uptime, starts and stops it, and opens the account and legal pages.
class ViewController : public QWidget {
    Q_OBJECT

public:
    explicit ViewController(QWidget* parent = nullptr);

    // Called once the layout has created the controls: finds the outlets, starts the clock, restores the
    // agreement and issues the first status query.
    void viewDidLoad();

    // Actions. sender is the control that triggered them.
    void startButtonClick(QObject* sender);
    void stopButtonClick(QObject* sender);
    void viewButtonClick(QObject* sender);
    void linkClick(QObject* sender);
    void agreeClick(QObject* sender);

    // Once a second: advances the uptime clock and, every five seconds of uptime, checks the node.
    void timerTick();

    // The status monitor. handleStatus reacts to the state the last query stored; every query hands it
    // over to the main thread. refreshStateViews may be called from any thread and changes the views on
    // the main thread; showProgress runs on the main thread.
    void handleStatus();
    void refreshStateViews();
    void showProgress(const QString& text);

    // Reports the start and runs it in the background; the busy view is already up.
    void startService();

    qint64 tick() const { return tick_; }
    ServiceState oldStatus() const { return oldStatus_; }

    // The outlets: filled in from the layout, owned by it.
    QPointer<QLabel> versionLabel;
    QPointer<QCheckBox> agreeButton;
    QPointer<QLabel> andLabel;
    QPointer<QPushButton> viewButton;
    QPointer<QPushButton> startButton;
    QPointer<QPushButton> stopButton;
    QPointer<QLabel> statusLabel;
    QPointer<QLabel> timerLabel;
    QPointer<QWidget> middleView;
    QPointer<QWidget> onView;
    QPointer<QWidget> offView;
    QPointer<QLabel> errorLabel;
    QPointer<QPushButton> ppButton;
    QPointer<QPushButton> tosButton;

private:
    void bindOutlets();
    void queryStatus();
    void lockAgreement();
    std::function<void()> startJob();
    std::function<void()> stopJob();
    std::function<void()> scriptJob(const QString& verb, const QString& successLine,
                                    const QString& errorPrefix);

    QTimer* timer_ = nullptr;
    // Only touched on the main thread, so the clock and the status monitor never interleave.
    qint64 tick_ = -1;
    ServiceState oldStatus_ = ServiceState::deviceStateDown;
};
