#include "control/viewcontroller.h"

#include "host/utils.h"
#include "platform/dispatch.h"
#include "platform/systemlog.h"

#include "ui_MainWindow.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <thread>

namespace {

const QString checkingStatusLine = QStringLiteral("checking status..");
const QString agreeKey = QStringLiteral("agree");
const QString lastActionKey = QStringLiteral("last_action");

// The account page and the legal pages: a fixed path on the configured host.
QUrl pageUrl(QUrl base, const QString& path) {
    base.setPath(path);
    return base;
}

// The uptime clock is held at the size its text needs. A label free to change size makes the whole window
// lay itself out again for every new text, measuring each wrapped and rich text on the screen once a
// second. Held, a new text repaints the clock alone.
void fitClock(QLabel* clock) {
    clock->ensurePolished();
    const QSize needed = clock->sizeHint();
    if (needed != clock->minimumSize() || needed != clock->maximumSize())
        clock->setFixedSize(needed);
}

// A shown clock is measured on every text: that catches another font, and lays the text out before its
// repaint rather than during it, where it would ask for a second repaint. A hidden one is not repainted,
// so only a longer or shorter text (past 99 hours, back to zero) needs measuring.
void setClockText(QLabel* clock, const QString& text) {
    const bool resized = text.size() != clock->text().size();
    clock->setText(text);
    if (resized || clock->isVisible())
        fitClock(clock);
}

} // namespace

QString uptimeText(qint64 seconds) {
    const QChar zero(u'0');
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, zero)
        .arg(seconds % 3600 / 60, 2, 10, zero)
        .arg(seconds % 60, 2, 10, zero);
}

ViewController::ViewController(QWidget* parent)
    : QWidget(parent) {}

void ViewController::viewDidLoad(const Ui::MainWindow* ui, std::shared_ptr<const HostConfig> config) {
    ui_ = ui;
    config_ = std::move(config);
    // clicked, not toggled: the code sets the box too, and only the user's click is an agreement.
    connect(ui_->startButton, &QPushButton::clicked, this, [this] { startButtonClick(ui_->startButton); });
    connect(ui_->stopButton, &QPushButton::clicked, this, [this] { stopButtonClick(ui_->stopButton); });
    connect(ui_->agreeButton, &QCheckBox::clicked, this, [this] { agreeClick(ui_->agreeButton); });
    connect(ui_->viewButton, &QPushButton::clicked, this, [this] { viewButtonClick(ui_->viewButton); });
    connect(ui_->ppButton, &QPushButton::clicked, this, [this] { linkClick(ui_->ppButton); });
    connect(ui_->tosButton, &QPushButton::clicked, this, [this] { linkClick(ui_->tosButton); });

    timer_ = new QTimer(this);
    timer_->setTimerType(Qt::PreciseTimer); // a clock: no drift from coarse wake-ups
    connect(timer_, &QTimer::timeout, this, &ViewController::timerTick);
    timer_->start(1000);
    fitClock(ui_->timerLabel);

    ui_->versionLabel->setText(QLatin1Char('v') + Utils::appVersion());

    if (config_->openSettings()->value(agreeKey, false).toBool()) {
        ui_->agreeButton->setChecked(true);
        lockAgreement();
    } else {
        ui_->agreeButton->setChecked(false);
    }

    showProgress(tr("Checking Service Status.."));
    std::this_thread::sleep_for(config_->startupPause);
    queryStatus();
}

void ViewController::timerTick() {
    if (tick_ < 0) {
        setClockText(ui_->timerLabel, QStringLiteral("00:00:00"));
        return;
    }
    const qint64 n = ++tick_;
    setClockText(ui_->timerLabel, uptimeText(n));
    // The busy view means a check, start or stop is under way; its own query will follow.
    if (n % 5 == 0 && ui_->middleView->isHidden())
        queryStatus();
}

void ViewController::queryStatus() {
    systemLog(checkingStatusLine);
    Utils::queryNodeStatus(*config_, onMainThread(this, [this] { handleStatus(); }));
}

void ViewController::handleStatus() {
    const ServiceState state = currentServiceState();
    if (state != oldStatus_) {
        oldStatus_ = state;
        if (state == ServiceState::deviceStateUp) {
            tick_ = 0;
        } else if (config_->openSettings()->value(lastActionKey).toString() == QLatin1String("up")) {
            // The user started the node and it stopped by itself: keep counting and keep watching,
            // so the next check decides what the screen shows.
            systemLog(QStringLiteral("it was caused by error, node would be restarted at once."));
            // Unless no check will come back: with the clock stopped, or the busy view pausing the
            // watch, the screen would stay as it is for good.
            if (tick_ >= 0 && ui_->middleView->isHidden())
                return;
        } else {
            tick_ = -1;
        }
    }
    refreshStateViews();
}

void ViewController::refreshStateViews() {
    postToMain(this, [this] {
        const bool running = currentServiceState() == ServiceState::deviceStateUp;
        const bool busyHadFocus = ui_->middleView->hasFocus();
        ui_->offView->setHidden(running);
        ui_->middleView->hide();
        ui_->onView->setVisible(running);
        if (busyHadFocus)
            (running ? ui_->stopButton : ui_->startButton)->setFocus();
    });
}

void ViewController::showProgress(const QString& text) {
    ui_->statusLabel->setText(text);
    // A keyboard user who pressed Start or Stop keeps the focus in the state area, so it lands on the
    // next state's button rather than wandering off to the links below.
    const bool actionHadFocus = ui_->startButton->hasFocus() || ui_->stopButton->hasFocus();
    ui_->middleView->show();
    if (actionHadFocus)
        ui_->middleView->setFocus();
    ui_->offView->hide();
    ui_->onView->hide();
}

void ViewController::startButtonClick(QObject* sender) {
    if (ui_->agreeButton->checkState() != Qt::Unchecked) {
        showProgress(tr("Starting Service.."));
        startService();
        return;
    }
    Utils::showConfirmation(
        tr("Confirmation"), tr("Do you agree to the Terms of Service and Privacy Policy?"), window(),
        {tr("YES"), tr("NO")},
        [this, guard = QPointer<ViewController>(this), sender = QPointer<QObject>(sender)](int response) {
            if (!guard || response != alertFirstButtonReturn)
                return;
            // Agreed for this start only: the setting is the box's own business.
            ui_->agreeButton->setChecked(true);
            lockAgreement();
            startButtonClick(sender);
        });
}

void ViewController::startService() {
    Utils::uploadLog(*config_, QStringLiteral("run script manager.sh up. auto=false"));
    runInBackground(scriptJob(QStringLiteral("up"), QStringLiteral("manager.sh up succeeds. auto=false"),
                              QStringLiteral("start err: ")));
}

void ViewController::stopButtonClick(QObject* /*sender*/) {
    showProgress(tr("Stopping Service.."));
    Utils::uploadLog(*config_, QStringLiteral("run script manager.sh down"));
    runInBackground(scriptJob(QStringLiteral("down"), QStringLiteral("manager.sh down succeeds"),
                              QStringLiteral("stop err: ")));
}

// The job runs on a worker and blocks it through the administrator prompt, the script and the pause. It
// never touches the screen itself: what it hands to the main thread runs only while the screen exists.
std::function<void()> ViewController::scriptJob(const QString& verb, const QString& successLine,
                                                const QString& errorPrefix) {
    return [verb, successLine, errorPrefix, config = config_,
            statusCallback = onMainThread(this, [this] { handleStatus(); }),
            refresh = onMainThread(this, [this] { refreshStateViews(); })] {
        const QString command = QStringLiteral("./manager.sh ") + verb;
        const std::optional<ScriptFailure> failure = config->scriptRunner
                                                         ? config->scriptRunner(command)
                                                         : Utils::runPrivilegedScript(*config, command);
        if (!failure) {
            // Stored before anything else happens, so the check that follows knows the user asked for it.
            auto settings = config->openSettings();
            settings->setValue(lastActionKey, verb);
            settings->sync();
            Utils::uploadLog(*config, successLine);
            std::this_thread::sleep_for(config->scriptPause);
            systemLog(checkingStatusLine);
            Utils::queryNodeStatus(*config, statusCallback);
            return;
        }
        QString message = failure->message.isEmpty() ? QStringLiteral("unknown error") : failure->message;
        message.replace(QLatin1Char('\r'), QStringLiteral("\r\n"));
        systemLog(errorPrefix + message);
        Utils::uploadLog(*config, message);
        refresh();
    };
}

void ViewController::viewButtonClick(QObject* /*sender*/) {
    QDesktopServices::openUrl(pageUrl(config_->accountBaseUrl, QStringLiteral("/main")));
}

void ViewController::linkClick(QObject* sender) {
    auto* button = qobject_cast<QAbstractButton*>(sender);
    if (!button)
        return;
    QUrl url = pageUrl(config_->accountBaseUrl, QStringLiteral("/main"));
    if (button == ui_->tosButton)
        url = pageUrl(config_->websiteBaseUrl, QStringLiteral("/tos"));
    else if (button == ui_->ppButton)
        url = pageUrl(config_->websiteBaseUrl, QStringLiteral("/pp"));
    QDesktopServices::openUrl(url);
}

void ViewController::agreeClick(QObject* /*sender*/) {
    const bool agreed = ui_->agreeButton->checkState() == Qt::Checked;
    auto settings = config_->openSettings();
    settings->setValue(agreeKey, agreed);
    settings->sync();
    systemLog(QStringLiteral("agree changed ") + (agreed ? QStringLiteral("true") : QStringLiteral("false")));
    if (agreed)
        lockAgreement();
}

void ViewController::lockAgreement() {
    ui_->agreeButton->setEnabled(false);
    QPalette palette = ui_->andLabel->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::Disabled, QPalette::WindowText));
    ui_->andLabel->setPalette(palette);
}
