#include "app/statusicon.h"

#include "app/appdelegate.h"
#include "app/windowcontroller.h"
#include "control/viewcontroller.h"
#include "platform/dispatch.h"

#include "ui_MainWindow.h"

#include <QEvent>
#include <QIconEngine>
#include <QImageReader>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>

namespace {

// Drawn from the panel's own picture, known to the desktop by a name: a status area that looks icons up
// by name finds the installed ones, any other takes the pictures sent along. Those are asked at 16 and 22
// pixels on an ordinary screen, and come from bitmaps of the SVG as Qt draws it at those sizes
// (resources/status), read as what they are, by Qt itself rather than the PNG library: the SVG icon engine
// is loaded only for any other size, a denser screen or a status area that draws the icon itself.
class NamedIcon : public QIconEngine {
public:
    NamedIcon(const QString& name, const QString& state)
        : name_(name)
        , state_(state) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        scalable().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        if (!drawn(size, mode))
            return scalable().pixmap(size, mode, state);
        QImageReader picture(QStringLiteral(":/icons/status-%1-%2.bmp").arg(state_).arg(size.width()), "bmp");
        picture.setAutoDetectImageFormat(false);
        return QPixmap::fromImage(picture.read());
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return drawn(size, mode) ? size : scalable().actualSize(size, mode, state);
    }
    // None, as the SVG has none: the status area asks for the sizes it needs.
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return {}; }
    QString iconName() override { return name_; }
    QIconEngine* clone() const override { return new NamedIcon(*this); }
    QString key() const override { return QStringLiteral("NamedIcon"); }

private:
    static bool drawn(const QSize& size, QIcon::Mode mode) {
        return mode == QIcon::Normal && (size == QSize(16, 16) || size == QSize(22, 22));
    }
    const QIcon& scalable() {
        if (scalable_.isNull())
            scalable_ = QIcon(QStringLiteral(":/icons/status-%1.svg").arg(state_));
        return scalable_;
    }

    QString name_, state_;
    QIcon scalable_;
};

QIcon iconFor(StatusIcon::Shown shown) {
    const char* const states[] = {"busy", "running", "stopped"};
    return QIcon(new NamedIcon(StatusIcon::iconName(shown), QLatin1String(states[int(shown)])));
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
    for (QWidget* view : {ui_->onView, ui_->offView, ui_->middleView, static_cast<QWidget*>(window_)})
        view->installEventFilter(this);
    update();
}

bool StatusIcon::eventFilter(QObject* watched, QEvent* event) {
    // Shown in the status area together with the window, the first time the window shows.
    if (watched == window_) {
        if (event->type() == QEvent::Show && !shownOnce_)
            update();
    } else if (event->type() == QEvent::ShowToParent || event->type() == QEvent::HideToParent) {
        scheduleUpdate();
    }
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
    if (window_->isVisible() && !std::exchange(shownOnce_, true))
        tray_->show();
}

void StatusIcon::showWindow() {
    window_->setWindowState((window_->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window_->show();
    window_->raise();
    window_->activateWindow();
}
