#include "control/viewcontroller.h"

#include "host/utils.h"
#include "platform/dispatch.h"
#include "platform/hostconfig.h"
#include "platform/systemlog.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <thread>

namespace {

const QString checkingStatusLine = QStringLiteral("checking status..");
const QString agreeKey = QStringLiteral("agree");
const QString lastActionKey = QStringLiteral("last_action");

QUrl pageUrl(QUrl base, const QString& path) {
    base.setPath(path);
    return base;
}

QUrl accountPageURL() {
    return pageUrl(hostConfig()->accountBaseUrl, QStringLiteral("/main"));
}

QUrl privacyPolicyURL() {
    return pageUrl(hostConfig()->websiteBaseUrl, QStringLiteral("/pp"));
}

QUrl termsURL() {
    return pageUrl(hostConfig()->websiteBaseUrl, QStringLiteral("/tos"));
}

// hh:mm:ss; the hours grow past two digits rather than wrap.
QString uptimeText(qint64 seconds) {
    const QChar zero(u'0');
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, zero)
        .arg(seconds % 3600 / 60, 2, 10, zero)
        .arg(seconds % 60, 2, 10, zero);
}

// The uptime clock is held at the size its text needs. A label free to change size makes the whole window
// lay itself out again for every new text, measuring each wrapped and rich text on the screen: once a
// second, that was most of the work of a panel left open. Held, a new text repaints the clock alone.
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

// The layout is part of the program: a missing control is a build fault, not something to run without.
template<typename T> T* outlet(QWidget* root, const char* name) {
    T* found = root->findChild<T*>(QString::fromLatin1(name));
    if (!found)
        qFatal("The main window's layout has no %s named %s", T::staticMetaObject.className(), name);
    return found;
}

} // namespace

ViewController::ViewController(QWidget* parent)
    : QWidget(parent) {}

void ViewController::bindOutlets() {
    versionLabel = outlet<QLabel>(this, "versionLabel");
    agreeButton = outlet<QCheckBox>(this, "agreeButton");
    andLabel = outlet<QLabel>(this, "andLabel");
    viewButton = outlet<QPushButton>(this, "viewButton");
    startButton = outlet<QPushButton>(this, "startButton");
    stopButton = outlet<QPushButton>(this, "stopButton");
    statusLabel = outlet<QLabel>(this, "statusLabel");
    timerLabel = outlet<QLabel>(this, "timerLabel");
    middleView = outlet<QWidget>(this, "middleView");
    onView = outlet<QWidget>(this, "onView");
    offView = outlet<QWidget>(this, "offView");
    errorLabel = outlet<QLabel>(this, "errorLabel");
    ppButton = outlet<QPushButton>(this, "ppButton");
    tosButton = outlet<QPushButton>(this, "tosButton");

    // clicked, not toggled: the code sets the box too, and only the user's click is an agreement.
    connect(startButton, &QPushButton::clicked, this, [this] { startButtonClick(startButton); });
    connect(stopButton, &QPushButton::clicked, this, [this] { stopButtonClick(stopButton); });
    connect(agreeButton, &QCheckBox::clicked, this, [this] { agreeClick(agreeButton); });
    connect(viewButton, &QPushButton::clicked, this, [this] { viewButtonClick(viewButton); });
    connect(ppButton, &QPushButton::clicked, this, [this] { linkClick(ppButton); });
    connect(tosButton, &QPushButton::clicked, this, [this] { linkClick(tosButton); });
}

void ViewController::viewDidLoad() {
    bindOutlets();

    timer_ = new QTimer(this);
    timer_->setObjectName(QStringLiteral("uptimeTimer"));
    timer_->setTimerType(Qt::PreciseTimer); // a clock: no drift from coarse wake-ups
    connect(timer_, &QTimer::timeout, this, &ViewController::timerTick);
    timer_->start(1000);
    fitClock(timerLabel);

    versionLabel->setText(QLatin1Char('v') + Utils::appVersion());

    if (openSettings()->value(agreeKey, false).toBool()) {
        agreeButton->setChecked(true);
        lockAgreement();
    } else {
        agreeButton->setChecked(false);
    }

    showProgress(QStringLiteral("Checking Service Status.."));
    std::this_thread::sleep_for(hostConfig()->startupPause);
    queryStatus();
}

void ViewController::timerTick() {
    if (tick_ < 0) {
        setClockText(timerLabel, QStringLiteral("00:00:00"));
        return;
    }
    const qint64 n = ++tick_;
    setClockText(timerLabel, uptimeText(n));
    // The busy view means a check, start or stop is under way; its own query will follow.
    if (n % 5 == 0 && middleView->isHidden())
        queryStatus();
}

void ViewController::queryStatus() {
    systemLog(checkingStatusLine);
    Utils::queryNodeStatus(onMainThread(this, [this] { handleStatus(); }));
}

void ViewController::handleStatus() {
    const ServiceState state = currentServiceState();
    if (state != oldStatus_) {
        oldStatus_ = state;
        if (state == ServiceState::deviceStateUp) {
            tick_ = 0;
        } else if (openSettings()->value(lastActionKey).toString() == QLatin1String("up")) {
            // The user started the node and it stopped by itself: keep counting and keep watching,
            // so the next check decides what the screen shows.
            systemLog(QStringLiteral("it was caused by error, node would be restarted at once."));
            // Unless no check will come back: with the clock stopped, or the busy view pausing the
            // watch, the screen would stay as it is for good.
            if (tick_ >= 0 && middleView->isHidden())
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
        const bool busyHadFocus = middleView->hasFocus();
        offView->setHidden(running);
        middleView->hide();
        onView->setVisible(running);
        if (busyHadFocus)
            (running ? stopButton : startButton)->setFocus();
    });
}

void ViewController::showProgress(const QString& text) {
    statusLabel->setText(text);
    // A keyboard user who pressed Start or Stop keeps the focus in the state area, so it lands on the
    // next state's button rather than wandering off to the links below.
    const bool actionHadFocus = startButton->hasFocus() || stopButton->hasFocus();
    middleView->show();
    if (actionHadFocus)
        middleView->setFocus();
    offView->hide();
    onView->hide();
}

void ViewController::startButtonClick(QObject* sender) {
    if (agreeButton->checkState() != Qt::Unchecked) {
        showProgress(QStringLiteral("Starting Service.."));
        startService();
        return;
    }
    Utils::showConfirmation(
        QStringLiteral("Confirmation"),
        QStringLiteral("Do you agree to the Terms of Service and Privacy Policy?"), window(),
        {QStringLiteral("YES"), QStringLiteral("NO")},
        [this, guard = QPointer<ViewController>(this), sender = QPointer<QObject>(sender)](int response) {
            if (!guard || response != 1000)
                return;
            // Agreed for this start only: the setting is the box's own business.
            agreeButton->setChecked(true);
            lockAgreement();
            startButtonClick(sender);
        });
}

void ViewController::startService() {
    Utils::uploadLog(QStringLiteral("run script manager.sh up. auto=false"));
    runInBackground(startJob());
}

void ViewController::stopButtonClick(QObject* /*sender*/) {
    showProgress(QStringLiteral("Stopping Service.."));
    Utils::uploadLog(QStringLiteral("run script manager.sh down"));
    runInBackground(stopJob());
}

std::function<void()> ViewController::startJob() {
    return scriptJob(QStringLiteral("up"), QStringLiteral("manager.sh up succeeds. auto=false"),
                     QStringLiteral("start err: "));
}

std::function<void()> ViewController::stopJob() {
    return scriptJob(QStringLiteral("down"), QStringLiteral("manager.sh down succeeds"),
                     QStringLiteral("stop err: "));
}

// The job runs on a worker and blocks it through the administrator prompt, the script and the pause. It
// never touches the screen itself: what it hands to the main thread runs only while the screen exists.
std::function<void()> ViewController::scriptJob(const QString& verb, const QString& successLine,
                                                const QString& errorPrefix) {
    return [verb, successLine, errorPrefix, statusCallback = onMainThread(this, [this] { handleStatus(); }),
            refresh = onMainThread(this, [this] { refreshStateViews(); })] {
        const QString command = QStringLiteral("./manager.sh ") + verb;
        const auto config = hostConfig();
        const std::optional<ScriptError> error =
            config->scriptRunner ? config->scriptRunner(command) : Utils::runPrivilegedScript(command);
        if (!error) {
            // Stored before anything else happens, so the check that follows knows the user asked for it.
            auto settings = openSettings();
            settings->setValue(lastActionKey, verb);
            settings->sync();
            Utils::uploadLog(successLine);
            std::this_thread::sleep_for(config->scriptPause);
            systemLog(checkingStatusLine);
            Utils::queryNodeStatus(statusCallback);
            return;
        }
        const QVariant text = error->value(Utils::scriptErrorMessageKey);
        QString message =
            text.typeId() == QMetaType::QString ? text.toString() : QStringLiteral("unknown error");
        message.replace(QLatin1Char('\r'), QStringLiteral("\r\n"));
        systemLog(errorPrefix + message);
        Utils::uploadLog(message);
        refresh();
    };
}

void ViewController::viewButtonClick(QObject* /*sender*/) {
    QDesktopServices::openUrl(accountPageURL());
}

void ViewController::linkClick(QObject* sender) {
    auto* button = qobject_cast<QAbstractButton*>(sender);
    if (!button)
        return;
    QUrl url = accountPageURL();
    if (tosButton && button == tosButton)
        url = termsURL();
    else if (ppButton && button == ppButton)
        url = privacyPolicyURL();
    QDesktopServices::openUrl(url);
}

void ViewController::agreeClick(QObject* /*sender*/) {
    const bool agreed = agreeButton->checkState() == Qt::Checked;
    auto settings = openSettings();
    settings->setValue(agreeKey, agreed);
    settings->sync();
    systemLog(QStringLiteral("agree changed ") + (agreed ? QStringLiteral("true") : QStringLiteral("false")));
    if (agreed)
        lockAgreement();
}

void ViewController::lockAgreement() {
    agreeButton->setEnabled(false);
    QPalette palette = andLabel->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::Disabled, QPalette::WindowText));
    andLabel->setPalette(palette);
}
