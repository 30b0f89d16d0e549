#pragma once

#include <QObject>

class QAction;
class QSystemTrayIcon;
class WindowController;
namespace Ui {
class MainWindow;
}

// The node's state in the desktop's status area (StatusNotifierItem on D-Bus), made only where the desktop
// has one. It follows the window's views, so it adds no check and no timer of its own; it changes only
// when what it shows changes, and never shows notices of its own (the window's are enough). Its menu acts
// through the window: the same buttons, the same questions and the same quit gate.
class StatusIcon : public QObject {
    Q_OBJECT

public:
    enum class Shown { busy, running, stopped };

    // Null where the desktop offers no status area: no icon, and nothing said about it.
    static StatusIcon* attach(WindowController* window, const Ui::MainWindow* ui);

    // What the icon names: running, stopped or busy, as the icon theme knows it.
    static QString iconName(Shown shown);

    QSystemTrayIcon* trayIcon() const { return tray_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    StatusIcon(WindowController* window, const Ui::MainWindow* ui);
    // Once the event that changed a view is through: a start shows one view and hides another, and only
    // the state they leave is shown.
    void scheduleUpdate();
    void update();
    void showWindow();

    WindowController* window_;
    const Ui::MainWindow* ui_;
    QSystemTrayIcon* tray_;
    QAction* start_;
    QAction* stop_;
    bool updateScheduled_ = false;
    bool shownOnce_ = false;
    Shown shown_ = Shown::busy;
    // Whole minutes of uptime that the tooltip names: the tooltip changes once a minute, not every second.
    qint64 minutes_ = -1;
};
