#include "app/windowcontroller.h"

#include "app/aboutbox.h"
#include "app/appdelegate.h"
#include "app/logwindow.h"
#include "app/statusicon.h"
#include "control/viewcontroller.h"
#include "host/servicestate.h"
#include "host/utils.h"
#include "platform/dispatch.h"
#include "platform/notificationcenter.h"
#include "platform/systemlog.h"

#include "ui_MainWindow.h"

#include <QCloseEvent>
#include <QLayout>
#include <QPointer>

namespace {

const QString exitNotification = QStringLiteral("exit");

bool nodeRuns() {
    return currentServiceState() == ServiceState::deviceStateUp;
}

} // namespace

WindowController::WindowController(std::shared_ptr<const HostConfig> config, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , ui_(std::make_unique<Ui::MainWindow>())
    , config_(config) {
    ui_->setupUi(this);
    // At the top, outside the content's margins, as a main window places it.
    layout()->setMenuBar(ui_->menuBar);
    // The form's least size is the English one's: a translation that needs more room widens it, so that the
    // window is never narrower than what it shows.
    setMinimumSize(minimumSize().expandedTo(minimumSizeHint()));
    connect(ui_->actionCloseWindow, &QAction::triggered, this, &QWidget::close);
    connect(ui_->actionQuit, &QAction::triggered, this, [] { requestTermination(); });
    connect(ui_->actionShowLog, &QAction::triggered, this, &WindowController::showLog);
    connect(ui_->actionAbout, &QAction::triggered, this, &WindowController::showAbout);
    windowDidLoad();
    // In the pause before the first check: the status icon is made (it appears with the window), and the
    // window is polished and given its native window, as it would be when it shows.
    ui_->viewController->viewDidLoad(ui_.get(), std::move(config), [this] {
        StatusIcon::attach(this, ui_.get());
        ensurePolished();
        create();
    });
}

WindowController::~WindowController() {
    NotificationCenter::defaultCenter().removeObserver(this);
}

ViewController* WindowController::viewController() const {
    return ui_->viewController;
}

void WindowController::windowDidLoad() {
    systemLog(QStringLiteral("window load"));
    NotificationCenter::defaultCenter().addObserver(
        this, exitNotification, [this](const QString& name) { processNotification(name); });
}

void WindowController::processNotification(const QString& name) {
    systemLog(QStringLiteral("recv notification ") + name);
    if (name != exitNotification)
        return;
    // Queued: the delegate is still answering the quit request that posted this.
    postToMain(this, [this] { confirmStopService(); });
}

void WindowController::closeEvent(QCloseEvent* event) {
    event->ignore();
    windowShouldClose();
}

bool WindowController::windowShouldClose() {
    systemLog(QStringLiteral("window close"));
    if (nodeRuns()) {
        postToMain(this, [this] { confirmStopService(); });
        return false;
    }
    Utils::showConfirmation(tr("Confirmation"), tr("Do you want to exit the app?"), this,
                            {tr("NO"), tr("YES")}, [](int response) {
                                if (response == alertSecondButtonReturn)
                                    requestTermination();
                            });
    return false;
}

namespace {

void bringForward(QWidget* window) {
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace

void WindowController::showLog() {
    if (!log_)
        log_ = new LogWindow(this);
    bringForward(log_);
}

void WindowController::showAbout() {
    if (!about_)
        about_ = new AboutBox(*config_, this);
    bringForward(about_);
}

void WindowController::confirmStopService() {
    // Read again: the node may have stopped since the request.
    if (!nodeRuns())
        return;
    Utils::showConfirmation(tr("Do you want to exit?"), tr("The service is running, stop it now?"), this,
                            {tr("NO"), tr("YES")}, [window = QPointer<WindowController>(this)](int response) {
                                if (response != alertSecondButtonReturn || !window)
                                    return;
                                // Stops the node only: the window and the panel stay.
                                window->viewController()->stopButtonClick(window);
                            });
}
