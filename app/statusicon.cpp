#include "app/statusicon.h"

#include "app/appdelegate.h"
#include "app/windowcontroller.h"
#include "control/viewcontroller.h"
#include "platform/dispatch.h"

#include "ui_MainWindow.h"

#include <QEvent>
#include <QIconEngine>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>

namespace {

// Drawn from the panel's own picture, known to the desktop by a name: a status area that looks icons up
// by name finds the installed ones, any other takes the pictures sent along.
class NamedIcon : public QIconEngine {
public:
    NamedIcon(const QString& name, const QString& file)
        : name_(name)
        , drawn_(file) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        drawn_.paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return drawn_.pixmap(size, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return drawn_.actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return drawn_.availableSizes(mode, state);
    }
    QString iconName() override { return name_; }
    QIconEngine* clone() const override { return new NamedIcon(*this); }
    QString key() const override { return QStringLiteral("NamedIcon"); }

private:
    QString name_;
    QIcon drawn_;
};

QIcon iconFor(StatusIcon::Shown shown) {
    const char* const files[] = {":/icons/status-busy.svg", ":/icons/status-running.svg",
                                 ":/icons/status-stopped.svg"};
    return QIcon(new NamedIcon(StatusIcon::iconName(shown), QString::fromLatin1(files[int(shown)])));
}

} // namespace

QString StatusIcon::iconName(Shown shown) {
    const char* const states[] = {"busy", "running", "stopped"};
    return QStringLiteral(NODEPANEL_APP_ID "-") + QLatin1String(states[int(shown)]);
}

StatusIcon* StatusIcon::attach(WindowController* window, const Ui::MainWindow* ui) {
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return nullptr;
    return new StatusIcon(window, ui);
}

StatusIcon::StatusIcon(WindowController* window, const Ui::MainWindow* ui)
    : QObject(window)
    , window_(window)
    , ui_(ui)
    , tray_(new QSystemTrayIcon(this)) {
    auto* menu = new QMenu(window);
    menu->addAction(tr("Show &Node Panel"), this, &StatusIcon::showWindow);
    // Only what the window's own button would do at this moment, and through that button.
    start_ = menu->addAction(tr("&Start"), this, [this] {
        showWindow();
        if (!ui_->offView->isHidden() && ui_->startButton->isEnabled())
            ui_->startButton->click();
    });
    stop_ = menu->addAction(tr("St&op"), this, [this] {
        showWindow();
        if (!ui_->onView->isHidden() && ui_->stopButton->isEnabled())
            ui_->stopButton->click();
    });
    menu->addSeparator();
    // The window shows first: while the node runs, the quit gate asks there.
    menu->addAction(tr("&Quit"), this, [this] {
        showWindow();
        requestTermination();
    });
    tray_->setContextMenu(menu);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            showWindow();
    });
    connect(ui_->viewController, &ViewController::uptimeCounted, this, [this](qint64 seconds) {
        if (shown_ == Shown::running && seconds / 60 != minutes_)
            update();
    });
    for (QWidget* view : {ui_->onView, ui_->offView, ui_->middleView})
        view->installEventFilter(this);
    update();
}

bool StatusIcon::eventFilter(QObject* /*watched*/, QEvent* event) {
    if (event->type() == QEvent::ShowToParent || event->type() == QEvent::HideToParent)
        scheduleUpdate();
    return false;
}

void StatusIcon::scheduleUpdate() {
    if (std::exchange(updateScheduled_, true))
        return;
    postToMain(this, [this] {
        updateScheduled_ = false;
        update();
    });
}

void StatusIcon::update() {
    const Shown now = !ui_->middleView->isHidden() ? Shown::busy
                      : !ui_->onView->isHidden()   ? Shown::running
                                                   : Shown::stopped;
    if (now != shown_ || !shownOnce_)
        tray_->setIcon(iconFor(now));
    shown_ = now;
    QString tip;
    if (now == Shown::running) {
        // The uptime as the clock counts it: the clock is still at 00:00:00 right after a start.
        const QStringList clock = ui_->timerLabel->text().split(QLatin1Char(':'));
        const qint64 seconds = clock.size() == 3 ? clock[0].toLongLong() * 3600 + clock[1].toInt() * 60 : 0;
        minutes_ = seconds / 60;
        tip = tr("The node is running") + QLatin1Char('\n') +
              tr("Uptime: %1 h %2 min").arg(minutes_ / 60).arg(minutes_ % 60, 2, 10, QLatin1Char('0'));
    } else {
        minutes_ = -1;
        tip = now == Shown::busy ? ui_->statusLabel->text() : tr("The node is stopped");
    }
    if (tip != tray_->toolTip())
        tray_->setToolTip(tip);
    start_->setEnabled(now == Shown::stopped && ui_->startButton->isEnabled());
    stop_->setEnabled(now == Shown::running && ui_->stopButton->isEnabled());
    if (!std::exchange(shownOnce_, true))
        tray_->show();
}

void StatusIcon::showWindow() {
    window_->setWindowState((window_->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window_->show();
    window_->raise();
    window_->activateWindow();
}
