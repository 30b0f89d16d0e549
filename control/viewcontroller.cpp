#include "control/viewcontroller.h"

#include "control/pages.h"
#include "control/statusmonitor.h"
#include "host/scriptrunner.h"
#include "host/utils.h"
#include "platform/desktopnotification.h"
#include "platform/dispatch.h"
#include "platform/systemlog.h"

#include "ui_MainWindow.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QTimer>

#include <thread>

namespace {

const QString checkingStatusLine = QStringLiteral("checking status..");
const QString agreeKey = QStringLiteral("agree");
const QString lastActionKey = QStringLiteral("last_action");

// The uptime clock is held at the size its text needs, measured only when that can change: a text of
// another length (past 99 hours, back to zero), another font or another style. A label free to change
// size makes the whole window lay itself out again for every new text, and measuring lays the text out
// once more; held and unmeasured, a new text costs one repaint of the clock alone.
void fitClock(QLabel* clock) {
    clock->ensurePolished();
    const QSize needed = clock->sizeHint();
    if (needed != clock->minimumSize() || needed != clock->maximumSize())
        clock->setFixedSize(needed);
}

// The clock in the window's own typeface when its digits are all one width, as in most: a face of its own
// for eight characters would keep a second font file, FreeType face and shaping tables resident. Where
// they are not, in a monospaced one, so that no digit shifts from one second to the next.
void chooseClockFace(QLabel* clock) {
    const QFontMetricsF metrics(clock->font());
    for (char digit = '1'; digit <= '9'; ++digit)
        if (metrics.horizontalAdvance(QLatin1Char(digit)) != metrics.horizontalAdvance(QLatin1Char('0'))) {
            QFont monospaced = clock->font();
            monospaced.setFamily(QStringLiteral("monospace"));
            monospaced.setStyleHint(QFont::Monospace);
            clock->setFont(monospaced);
            return;
        }
}

void setClockText(QLabel* clock, const QString& text) {
    const bool resized = text.size() != clock->text().size();
    clock->setText(text);
    if (resized)
        fitClock(clock);
}

// The error and the three state views are notifications to a screen reader: each is announced when it
// appears, which is as close to a live region as the accessibility bus lets a window come. A label among
// them is read as its text.
class Announced : public QAccessibleWidget {
public:
    explicit Announced(QWidget* widget)
        : QAccessibleWidget(widget, QAccessible::Notification) {}

    QString text(QAccessible::Text t) const override {
        const auto* label = qobject_cast<const QLabel*>(widget());
        if (t == QAccessible::Name && label && label->accessibleName().isEmpty())
            return label->text();
        return QAccessibleWidget::text(t);
    }
};

// The screen's widgets that need more than Qt's defaults, known by name: the layout names each widget
// before anything can ask for its accessible face. The line is a separator rather than a frame to read out.
// The window is a window to a screen reader, as a main window would be, not a plain area.
QAccessibleInterface* screenAccessible(const QString& /*className*/, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget || !widget->window()->findChild<ViewController*>())
        return nullptr;
    if (widget->isWindow())
        return new QAccessibleWidget(widget, QAccessible::Window);
    const QString name = widget->objectName();
    if (name == QLatin1String("separator"))
        return new QAccessibleWidget(widget, QAccessible::Separator);
    for (const char* announced : {"errorLabel", "onView", "offView", "middleView"})
        if (name == QLatin1String(announced))
            return new Announced(widget);
    return nullptr;
}

// Shows a view. A change of view repaints the whole window rather than the state area: the window's frames
// go to the X server through the connection, and Qt sends a whole frame straight from the window's buffer,
// but copies a part into a buffer of its own, which it keeps at the largest size it had (200 kB for the
// state area).
void showView(QWidget* view) {
    if (view->isHidden())
        view->window()->update();
    view->show();
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
    : QWidget(parent) {
    // Before the layout creates the controls; once, as a factory stays installed for the whole process.
    static const bool installed = (QAccessible::installFactory(screenAccessible), true);
    Q_UNUSED(installed);
}

void ViewController::viewDidLoad(const Ui::MainWindow* ui, std::shared_ptr<const HostConfig> config,
                                 const std::function<void()>& whilePaused) {
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
    if (config_->clockPeriod.count() > 0)
        timer_->start(config_->clockPeriod);

    ui_->versionLabel->setText(QLatin1Char('v') + Utils::appVersion());
    setFailureText(QString());
    followPalette();

    if (config_->openSettings()->value(agreeKey, false).toBool()) {
        ui_->agreeButton->setChecked(true);
        lockAgreement();
    } else {
        ui_->agreeButton->setChecked(false);
    }

    showProgress(tr("Checking Service Status.."));
    // The first focus belongs to the state: its button once the first answer shows it, never the
    // agreement box, where one press of Space would give a consent that cannot be taken back.
    ui_->middleView->setFocus();
    // The main thread is held for the pause whatever it does: the questions' icon, which each question
    // would otherwise look up in the icon theme in its own turn, is looked up now, the clock is measured
    // and the window prepares what it asks for; only the rest of the pause is slept.
    const auto pauseEnds = std::chrono::steady_clock::now() + config_->startupPause;
    prepareConfirmation();
    chooseClockFace(ui_->timerLabel);
    fitClock(ui_->timerLabel);
    ui_->timerLabel->installEventFilter(this);
    if (whilePaused)
        whilePaused();
    std::this_thread::sleep_until(pauseEnds);
    queryStatus();
}

void ViewController::timerTick() {
    const TickDecision next =
        decideTick({tick_, stoppedTick_, !ui_->middleView->isHidden(), jobsInFlight_ > 0, checking_});
    tick_ = next.tick;
    stoppedTick_ = next.stoppedTick;
    setClockText(ui_->timerLabel, tick_ < 0 ? QStringLiteral("00:00:00") : uptimeText(tick_));
    if (tick_ >= 0)
        emit uptimeCounted(tick_);
    if (next.query)
        queryStatus();
}

void ViewController::queryStatus() {
    checking_ = true;
    systemLog(checkingStatusLine);
    // Asked and answered on the main thread, which wakes for the clock anyway.
    Utils::queryNodeStatus(
        *config_,
        [this] {
            checking_ = false;
            handleStatus();
        },
        this);
}

void ViewController::handleStatus() {
    const StatusDecision next = decideStatus({currentServiceState(), oldStatus_, tick_,
                                              config_->openSettings()->value(lastActionKey).toString(),
                                              !ui_->middleView->isHidden(), jobsInFlight_ > 0, stopDone_});
    oldStatus_ = next.oldStatus;
    tick_ = next.tick;
    stopDone_ = next.stopDone;
    if (next.changed)
        setFailureText(QString());
    // A stop that this panel did not ask for is news to a user whose window is in the background.
    if (next.notify)
        tellDesktop(tr("The node stopped"), tr("The node on this computer is no longer running."));
    if (!next.logLine.isEmpty())
        systemLog(next.logLine);
    if (next.refresh)
        refreshStateViews();
}

void ViewController::refreshStateViews() {
    postToMain(this, [this] {
        // A start or stop owns the busy view until it hands over: a check from before it must not bring
        // back a Start or Stop button while its script runs.
        if (jobsInFlight_ > 0)
            return;
        const bool running = currentServiceState() == ServiceState::deviceStateUp;
        QWidget* shown = running ? ui_->onView : ui_->offView;
        // The state's button takes over a focus that goes away with the old view, or that is nowhere, and
        // it does so before anything hides: Qt would hand a hidden control's focus on to the next one in
        // line, a link, and a screen reader would read that out, or Return would open the browser.
        const QWidget* focused = window()->focusWidget();
        const bool takeFocus =
            !focused || (ui_->stateArea->isAncestorOf(focused) && !shown->isAncestorOf(focused));
        showView(shown);
        if (takeFocus)
            (running ? ui_->stopButton : ui_->startButton)->setFocus();
        ui_->middleView->hide();
        (running ? ui_->offView : ui_->onView)->hide();
        if (!ui_->errorLabel->isHidden())
            fitWindow();
    });
}

void ViewController::showProgress(const QString& text) {
    ui_->statusLabel->setText(text);
    // A keyboard user who pressed Start or Stop keeps the focus in the state area, so it lands on the
    // next state's button rather than wandering off to the links below.
    const QWidget* focused = window()->focusWidget();
    const bool takeFocus = !focused || ui_->stateArea->isAncestorOf(focused);
    showView(ui_->middleView);
    if (takeFocus)
        ui_->middleView->setFocus();
    ui_->offView->hide();
    ui_->onView->hide();
}

void ViewController::startButtonClick(QObject* sender) {
    clearPageFailure();
    if (ui_->agreeButton->checkState() != Qt::Unchecked) {
        setFailureText(QString());
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
    setFailureText(QString());
    showProgress(tr("Stopping Service.."));
    Utils::uploadLog(*config_, QStringLiteral("run script manager.sh down"));
    runInBackground(scriptJob(QStringLiteral("down"), QStringLiteral("manager.sh down succeeds"),
                              QStringLiteral("stop err: ")));
}

// The job runs on a worker and blocks it through the administrator prompt, the script and the pause. It
// never touches the screen itself: what it hands to the main thread runs only while the screen exists.
// Counted from here until it hands over on the main thread, so that nothing else ends its busy view.
std::function<void()> ViewController::scriptJob(const QString& verb, const QString& successLine,
                                                const QString& errorPrefix) {
    ++jobsInFlight_;
    // Written by the job before it hands a failure over.
    auto failure = std::make_shared<ScriptFailure>();
    return [verb, successLine, errorPrefix, config = config_, failureOut = failure,
            statusCallback = onMainThread(this,
                                          [this, verb] {
                                              --jobsInFlight_;
                                              stopDone_ = stopDone_ || verb == QLatin1String("down");
                                              handleStatus();
                                          }),
            failed = onMainThread(this, [this, verb, failure] {
                --jobsInFlight_;
                showFailure(verb, scriptFailureSentence(*failure));
                refreshStateViews();
            })] {
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
        *failureOut = *failure;
        // The English line: the log and the account server read the same words whatever the desktop's
        // language.
        QString message = scriptFailureLine(*failure);
        if (message.isEmpty())
            message = QStringLiteral("unknown error");
        message.replace(QLatin1Char('\r'), QStringLiteral("\r\n"));
        systemLog(errorPrefix + message);
        Utils::uploadLog(*config, message);
        failed();
    };
}

void ViewController::showFailure(const QString& verb, const QString& message) {
    QString reason = message.trimmed();
    reason.replace(QRegularExpression(QStringLiteral("\r\n?")), QStringLiteral("\n"));
    if (reason.isEmpty())
        reason = tr("No reason was given.");
    const QString what = verb == QLatin1String("up") ? tr("The node could not be started.")
                                                     : tr("The node could not be stopped.");
    setFailureText(what + QLatin1Char('\n') + reason);
    tellDesktop(what, reason);
}

// What the user can see on the screen needs no notice: only a window that is not the active one (with or
// without a question of its own in front), or that is minimised or hidden, has the desktop tell it.
void ViewController::tellDesktop(const QString& summary, const QString& body) {
    const QWidget* active = QApplication::activeWindow();
    while (active && active != window())
        active = active->parentWidget() ? active->parentWidget()->window() : nullptr;
    if (active && !window()->isMinimized() && window()->isVisible())
        return;
    notifyDesktop(summary, body);
}

void ViewController::setFailureText(const QString& text) {
    pageFailureShown_ = false;
    // Hidden while empty, so that a screen reader passes over it; shown afresh for every failure, so that
    // each one is announced.
    ui_->errorLabel->hide();
    ui_->errorLabel->setText(text);
    if (text.isEmpty())
        return;
    ui_->errorLabel->show();
    fitWindow();
}

void ViewController::viewButtonClick(QObject* /*sender*/) {
    openPage(accountPageUrl(*config_));
}

void ViewController::linkClick(QObject* sender) {
    auto* button = qobject_cast<QAbstractButton*>(sender);
    if (!button)
        return;
    QUrl url = accountPageUrl(*config_);
    if (button == ui_->tosButton)
        url = termsOfServiceUrl(*config_);
    else if (button == ui_->ppButton)
        url = privacyPolicyUrl(*config_);
    openPage(url);
}

// Without a browser the desktop opens nothing and says so only on standard error: the screen says it in
// words, with the address to open by hand, until the next action.
void ViewController::openPage(const QUrl& url) {
    clearPageFailure();
    if (QDesktopServices::openUrl(url))
        return;
    setFailureText(tr("%1 could not be opened in a web browser.").arg(url.toString()));
    pageFailureShown_ = true;
}

void ViewController::clearPageFailure() {
    if (std::exchange(pageFailureShown_, false))
        setFailureText(QString());
}

void ViewController::agreeClick(QObject* /*sender*/) {
    clearPageFailure();
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
    followPalette();
}

// Wrapped words need a height that depends on the width, which a window's minimum size does not follow:
// with a failure's words shown, the window grows to fit them rather than squeeze the state above them.
void ViewController::fitWindow() {
    ui_->stateArea->layout()->activate(); // takes in a view just shown
    layout()->activate();
    const int needed = layout()->totalHeightForWidth(width());
    if (needed > height())
        window()->resize(window()->width(), window()->height() + needed - height());
}

bool ViewController::eventFilter(QObject* watched, QEvent* event) {
    // Installed on the clock alone. Measured once the change is whole: a style sheet sets the font and the
    // margins after its event. Not through ui_, which is gone before the window's last events.
    const QEvent::Type type = event->type();
    if (type == QEvent::FontChange || type == QEvent::StyleChange || type == QEvent::ContentsRectChange)
        QMetaObject::invokeMethod(
            this,
            [clock = QPointer<QLabel>(static_cast<QLabel*>(watched))] {
                if (clock)
                    fitClock(clock);
            },
            Qt::QueuedConnection);
    return QWidget::eventFilter(watched, event);
}

void ViewController::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange && ui_)
        followPalette();
}

bool BusyBar::event(QEvent* event) {
    // Accepted whether drawn or not: a frame the bar does not accept stops its animation for good.
    if (event->type() != QEvent::StyleAnimationUpdate || !isVisible() || window()->isMinimized())
        return QProgressBar::event(event);
    event->accept();
    if (++frames_ % 3 == 0)
        update();
    return true;
}

void StateTitle::setMark(const QString& mark) {
    mark_ = mark;
    makeRoom();
    update();
}

void StateTitle::setMarkColor(const QColor& color) {
    markColor_ = color;
    update();
}

void StateTitle::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::LayoutDirectionChange)
        makeRoom();
}

void StateTitle::makeRoom() {
    const int room = mark_.isEmpty() ? 0 : fontMetrics().horizontalAdvance(mark_ + QLatin1Char(' '));
    setContentsMargins(isRightToLeft() ? 0 : room, 0, isRightToLeft() ? room : 0, 0);
}

// The title as a label draws it, and the mark in the room before it, on the title's baseline.
void StateTitle::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    if (mark_.isEmpty())
        return;
    QPainter painter(this);
    painter.setPen(markColor_);
    const QRect text = contentsRect();
    const QRect room = isRightToLeft()
                           ? QRect(text.right() + 1, text.top(), width() - text.right() - 1, text.height())
                           : QRect(0, text.top(), text.left(), text.height());
    painter.drawText(room, Qt::AlignLeading | (alignment() & Qt::AlignVertical_Mask), mark_);
}

// The text and two pixels on either side.
QSize LinkButton::sizeHint() const {
    return fontMetrics().size(Qt::TextShowMnemonic, text()) + QSize(4, 0);
}

// In the colours of the palette of the moment, the active group's in every state.
void LinkButton::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    QPalette colours = palette();
    colours.setCurrentColorGroup(QPalette::Active);
    if (hasFocus())
        painter.fillRect(rect(), colours.color(QPalette::Highlight));
    QFont underlined = font();
    underlined.setUnderline(true);
    painter.setFont(underlined);
    colours.setColor(QPalette::ButtonText,
                     colours.color(hasFocus() ? QPalette::HighlightedText : QPalette::Link));
    style()->drawItemText(&painter, rect().adjusted(2, 0, -2, 0), Qt::AlignCenter | Qt::TextShowMnemonic,
                          colours, true, text(), QPalette::ButtonText);
}

// The agreement's colours, from the palette of the moment, set again whenever it changes (a switch to a
// dark theme).
void ViewController::followPalette() {
    const QPalette& colours = palette();
    // Greyed once the user has agreed.
    QPalette andColours = ui_->andLabel->palette();
    andColours.setColor(QPalette::WindowText,
                        colours.color(ui_->agreeButton->isEnabled() ? QPalette::Active : QPalette::Disabled,
                                      QPalette::WindowText));
    ui_->andLabel->setPalette(andColours);
}
