// The real window offscreen: what the screen shows for the node's answers, the uptime clock and its checks,
// the agreement, the links, the focus, starting and stopping through a stand-in for the administrator
// prompt, and what the desktop is told.
#include "app/application.h"
#include "host/utils.h"
#include "platform/desktopnotification.h"

#include "testsupport.h"

#include <QtDBus>

using namespace std::chrono_literals;

const QString caused = "it was caused by error, node would be restarted at once.";
const QStringList stopNews{"The node stopped\nThe node on this computer is no longer running."};

// Start or stop, the script's failure (null: it succeeds), the node's state then, the second line
// uploaded, the line logged, the last action stored, the view at the end, and the failure in words.
struct ScriptRow {
    bool start;
    QString failure;
    ServiceState nodeAfter;
    QString uploaded, logged, stored;
    View view;
    QString words;
};

// Each line uploaded, with what stood when it arrived.
struct Arrival {
    QString line, lastAction;
    View view;
    qsizetype checks;
};

// Also the desktop's notification service, on the suite's own session bus.
class TestScreen : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

private:
    std::unique_ptr<Panel> panel;
    QList<QUrl> opened;
    // "summary\nbody" of each notice shown.
    QStringList notices;

    // The notices shown since the last call: one sent now arrives after every one sent before.
    QStringList notifications() {
        notifyDesktop("end", {});
        const bool ended = QTest::qWaitFor([this] { return notices.removeOne("end\n"); });
        return ended ? std::exchange(notices, {}) : QStringList{"the notices stopped"};
    }

public slots:
    void open(const QUrl& url) { opened.append(url); }
    void Notify(QString, uint, QString, QString summary, QString body, QStringList, QVariantMap, int) {
        notices.append(summary + '\n' + body);
    }

private slots:
    void initTestCase() {
        QDesktopServices::setUrlHandler("https", this, "open");
        QDesktopServices::setUrlHandler("http", this, "open");
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "notices");
        QVERIFY(bus.registerObject("/org/freedesktop/Notifications", this, QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService("org.freedesktop.Notifications"));
    }

    void init() {
        QSettings("nodepanel", "nodepanel").clear();
        notifications();
        panel.reset();
        panel = std::make_unique<Panel>();
        // The desktop hears only of what the user cannot see: the stories keep another window in front.
        panel->inFront = false;
    }

    // The first answer, whatever the last action: not running at load is no stop. Then the clock, and
    // the checks of 16 seconds: every 5 s of uptime, and one at a time while stopped, none of them
    // answered here.
    void showsTheFirstAnswer_data() {
        QTest::addColumn<std::optional<ServiceState>>("answer"); // none: nothing listens
        QTest::addColumn<View>("view");
        QTest::addColumn<QString>("clock");
        QTest::addColumn<int>("checks");
        QTest::newRow("up") << std::optional(up) << View::Running << "00:00:16" << 3;
        QTest::newRow("down") << std::optional(down) << View::Stopped << "00:00:00" << 1;
        QTest::newRow("closed") << std::optional(closed) << View::Stopped << "00:00:00" << 1;
        QTest::newRow("nothing listens") << std::optional<ServiceState>() << View::Stopped << "00:00:00" << 0;
    }

    void showsTheFirstAnswer() {
        QFETCH(std::optional<ServiceState>, answer);
        QFETCH(View, view);
        QFETCH(QString, clock);
        QFETCH(int, checks);
        panel->settings.setValue("last_action", "up");
        panel->nodeSays(answer.value_or(up));
        if (!answer)
            panel->config.statusUrl.setPort(closedPort());
        QVERIFY(panel->openAsConfigured());
        QCOMPARE(panel->view(), view);
        QCOMPARE(panel->text("versionLabel"), "v" NODEPANEL_VERSION);
        panel->tick(16);
        QCOMPARE(panel->text("timerLabel"), clock);
        QTRY_COMPARE(panel->checks(), checks);
        QTest::qWait(100); // a check too many may still be on its way
        QCOMPARE(panel->checks(), checks);
        QCOMPARE(notifications(), QStringList());
    }

    // Stopped by itself after the user's start: the clock and the view stay, and the next answer decides.
    void followsAnUnexpectedStop_data() {
        QTest::addColumn<ServiceState>("stop");
        QTest::addColumn<ServiceState>("then");
        QTest::addColumn<View>("view");
        QTest::addColumn<QString>("clock"); // a second after the second answer
        QTest::newRow("down, down") << down << down << View::Stopped << "00:00:05";
        QTest::newRow("closed, closed") << closed << closed << View::Stopped << "00:00:05";
        QTest::newRow("down, closed: not up either") << down << closed << View::Stopped << "00:00:05";
        QTest::newRow("down, up") << down << up << View::Running << "00:00:01";
    }

    void followsAnUnexpectedStop() {
        QFETCH(ServiceState, stop);
        QFETCH(ServiceState, then);
        QFETCH(View, view);
        QFETCH(QString, clock);
        panel->settings.setValue("last_action", "up");
        QVERIFY(panel->open(up));
        panel->tick(3);
        panel->answer(stop);
        QCOMPARE(panel->logged(), QStringList{caused});
        QTest::qWait(20);
        QCOMPARE(panel->view(), View::Running);
        panel->tick();
        QCOMPARE(panel->text("timerLabel"), "00:00:04");
        QCOMPARE(notifications(), stopNews);
        panel->answer(then);
        QTRY_COMPARE(panel->view(), view);
        QCOMPARE(panel->logged(), QStringList());
        panel->tick();
        QCOMPARE(panel->text("timerLabel"), clock);
    }

    // A node that comes up while the stopped view shows is found by the stopped view's own check.
    void findsANodeStartedElsewhere() {
        QVERIFY(panel->open(down));
        panel->nodeSays(up);
        panel->tick(5);
        QTRY_COMPARE(panel->view(), View::Running);
    }

    // A stop owns its busy view until its own check: no periodic check, and an answer from before it
    // does not bring back a button while its script runs.
    void keepsTheBusyViewOfAStop() {
        panel->settings.setValue("agree", true);
        QVERIFY(panel->open(up));
        panel->hold();
        panel->click("stopButton");
        panel->tick(16);
        panel->answer(down);
        QTest::qWait(20);
        QCOMPARE(panel->view(), View::Busy);
        QCOMPARE(panel->checks(), 0);
        panel->nodeSays(down);
        panel->release();
        QTRY_COMPARE(panel->view(), View::Stopped);
        QCOMPARE(panel->commands(), QStringList{"./manager.sh down"});
        QCOMPARE(notifications(), QStringList());
    }

    // Restored at load; only the user's click stores it, at once, and locks it. Start asks first while the
    // box is off: YES, the default, ticks and locks the box for this start without storing it.
    void asksForTheAgreement() {
        panel->settings.setValue("agree", true);
        QVERIFY(panel->open(down));
        QVERIFY(panel->agreementGiven());
        panel->settings.remove("agree");
        QVERIFY(panel->open(down));
        QVERIFY(!panel->agreementGiven());
        panel->nodeSays(up);
        panel->click("startButton");
        QCOMPARE(panel->question(), "Confirmation/Do you agree to the Terms of Service and Privacy Policy?");
        QVERIFY(panel->reply("NO"));
        QCOMPARE(panel->view(), View::Stopped);
        QVERIFY(!panel->agreementGiven());
        panel->hold();
        panel->click("startButton");
        QVERIFY(panel->replyWithReturn());
        QVERIFY(panel->agreementGiven());
        QCOMPARE(panel->view(), View::Busy);
        panel->release();
        QTRY_COMPARE(panel->view(), View::Running);
        QCOMPARE(panel->commands(), QStringList{"./manager.sh up"});
        QVERIFY(!panel->settings.contains("agree"));
        QVERIFY(panel->open(down));
        panel->click("agreeButton");
        QCOMPARE(panel->settings.value("agree"), true);
        QVERIFY(panel->agreementGiven());
        QCOMPARE(panel->logged(), QStringList{"agree changed true"});
    }

    // The links open their pages; none of them reports anything.
    void opensThePages() {
        QVERIFY(panel->open(down));
        panel->click("tosButton");
        panel->click("ppButton");
        panel->click("viewButton");
        panel->screen()->linkClick(panel->widget("startButton"));
        panel->screen()->linkClick(panel->widget("versionLabel"));
        const QUrl account = panel->account.url("/main");
        QCOMPARE(opened,
                 (QList<QUrl>{QUrl("https://www.test/tos"), QUrl("https://www.test/pp"), account, account}));
        QTest::qWait(100);
        QCOMPARE(panel->account.connections, 0);
    }

    // The first focus is on the state's button. When the views change, the new view's button takes over a
    // focus that leaves with the old view or is nowhere, never a link: each widget the focus passes.
    void keepsTheFocusOnTheState_data() {
        QTest::addColumn<ServiceState>("atLoad");
        QTest::addColumn<QByteArray>("focusedOn"); // empty: nowhere
        QTest::addColumn<Qt::Key>("key");          // pressed there to start or stop; else the node changes
        QTest::addColumn<ServiceState>("after");
        QTest::addColumn<QStringList>("visits");
        const Qt::Key alone = Qt::Key_unknown;
        QTest::newRow("start with Return") << down << QByteArray("startButton") << Qt::Key_Return << up
                                           << QStringList{"middleView", "stopButton"};
        QTest::newRow("stop with Space") << up << QByteArray("stopButton") << Qt::Key_Space << down
                                         << QStringList{"middleView", "startButton"};
        QTest::newRow("stops by itself")
            << up << QByteArray("stopButton") << alone << down << QStringList{"startButton"};
        QTest::newRow("comes up, focus nowhere")
            << down << QByteArray() << alone << up << QStringList{"stopButton"};
        QTest::newRow("comes up, focus on a link")
            << down << QByteArray("ppButton") << alone << up << QStringList{};
    }

    void keepsTheFocusOnTheState() {
        QFETCH(ServiceState, atLoad);
        QFETCH(QByteArray, focusedOn);
        QFETCH(Qt::Key, key);
        QFETCH(ServiceState, after);
        QFETCH(QStringList, visits);
        panel->settings.setValue("agree", true);
        panel->inFront = true;
        QVERIFY(panel->open(atLoad));
        QApplication::setActiveWindow(panel->window.get());
        QVERIFY(QTest::qWaitForWindowActive(panel->window.get()));
        QCOMPARE(panel->focus(), atLoad == up ? "stopButton" : "startButton");
        if (focusedOn.isEmpty())
            QApplication::focusWidget()->clearFocus();
        else
            panel->widget(focusedOn.constData())->setFocus();
        QStringList visited;
        QObject scope;
        connect(qApp, &QApplication::focusChanged, &scope,
                [&visited](QWidget*, QWidget* now) { visited.append(now ? now->objectName() : "nowhere"); });
        panel->nodeSays(after);
        key == Qt::Key_unknown ? panel->answer(after) : panel->press(key);
        QTRY_COMPARE(panel->view(), after == up ? View::Running : View::Stopped);
        QCOMPARE(visited, visits);
    }

    // The desktop is told of a stop or a failure only when the user does not have the window in front.
    void noticesOnlyWhenAway_data() {
        QTest::addColumn<bool>("inFront");
        QTest::addColumn<bool>("minimised");
        QTest::addColumn<bool>("question"); // a question of its own in front
        QTest::addColumn<bool>("failure");  // a stop that fails; else the node stops by itself
        QTest::addColumn<bool>("noticed");
        QTest::newRow("in front, stops") << true << false << false << false << false;
        QTest::newRow("in front, fails") << true << false << false << true << false;
        QTest::newRow("under its own question") << true << false << true << false << false;
        QTest::newRow("behind another, stops") << false << false << false << false << true;
        QTest::newRow("behind another, fails") << false << false << false << true << true;
        QTest::newRow("minimised") << true << true << false << false << true;
    }

    void noticesOnlyWhenAway() {
        QFETCH(bool, inFront);
        QFETCH(bool, minimised);
        QFETCH(bool, question);
        QFETCH(bool, failure);
        QFETCH(bool, noticed);
        panel->inFront = inFront;
        QVERIFY(panel->open(up));
        QVERIFY(!inFront || QTest::qWaitForWindowActive(panel->window.get()));
        if (minimised)
            panel->window->showMinimized();
        if (question) {
            Utils::showConfirmation("Title", "Text", panel->window.get(), {"OK"}, [](int) {});
            QVERIFY(QTest::qWaitForWindowActive(panel->sheet()));
        }
        if (failure) {
            panel->failure = ScriptFailure(ScriptFailure::Kind::ScriptSaid, "no sudo", 1);
            panel->screen()->stopButtonClick(panel->window.get());
        } else {
            panel->answer(down);
        }
        QTRY_COMPARE(panel->view(), failure ? View::Running : View::Stopped);
        QCOMPARE(notifications().size(), qsizetype(noticed));
    }

    // A page that no browser opens is named under the state, and stays named until the next action.
    void saysWhenAPageDoesNotOpen_data() {
        QTest::addColumn<QByteArray>("link");
        QTest::addColumn<bool>("account"); // the page is on the account server; else on the web site
        QTest::addColumn<QString>("path");
        QTest::newRow("Terms of Service") << QByteArray("tosButton") << false << "/tos";
        QTest::newRow("My Account") << QByteArray("viewButton") << true << "/main";
    }

    void saysWhenAPageDoesNotOpen() {
        QFETCH(QByteArray, link);
        QFETCH(bool, account);
        QFETCH(QString, path);
        const QString address = (account ? panel->account.url() : QUrl("https://www.test")).toString() + path;
        QVERIFY(panel->open(down));
        const auto* words = panel->widget<QLabel>("errorLabel");
        // Without a handler the offscreen desktop opens nothing, as a desktop without a browser.
        QDesktopServices::unsetUrlHandler("https");
        QDesktopServices::unsetUrlHandler("http");
        const auto handle = [this] {
            QDesktopServices::setUrlHandler("https", this, "open");
            QDesktopServices::setUrlHandler("http", this, "open");
        };
        auto handledAfterwards = qScopeGuard(handle);
        panel->click(link.constData());
        QCOMPARE(words->isVisible() ? words->text() : "hidden",
                 address + " could not be opened in a web browser.");
        panel->answer(down);
        QVERIFY(words->isVisible());
        handle();
        panel->click(link.constData());
        QCOMPARE(opened.value(opened.size() - 1), QUrl(address));
        QVERIFY(words->isHidden());
    }

    // A failure in the user's language on the screen and the desktop, while the log and the account server
    // keep its English line.
    void saysWhyInTheUsersLanguage_data() {
        QTest::addColumn<ScriptFailure>("failure");
        QTest::addColumn<QString>("line");  // logged and uploaded
        QTest::addColumn<QString>("shown"); // on the screen and the desktop, after the first line
        using Kind = ScriptFailure::Kind;
        const QString m = "/n/Contents/Resources/manager.sh";
        ScriptFailure refused(Kind::Refused);
        refused.refusal = {m, "belongs to uid %1, not to root", {"7"}, true};
        QTest::newRow("dismissed") << ScriptFailure(Kind::Dismissed, {}, 126)
                                   << "The administrator password request was dismissed."
                                   << "Die Abfrage des Administratorpassworts wurde abgebrochen.";
        QTest::newRow("exit status") << ScriptFailure(Kind::ExitStatus, {}, 3)
                                     << "manager.sh exited with status 3"
                                     << "manager.sh wurde mit dem Status 3 beendet";
        QTest::newRow("refused") << refused
                                 << "Refused to run the node's script as administrator: " + m +
                                        " belongs to uid 7, not to root, so a program without administrator "
                                        "rights could change what runs as root."
                                 << "Das Skript des Knotens wird nicht als Administrator ausgeführt: " + m +
                                        " gehört der UID 7, nicht root, daher könnte ein Programm ohne "
                                        "Administratorrechte ändern, was als root läuft.";
    }

    void saysWhyInTheUsersLanguage() {
        QFETCH(ScriptFailure, failure);
        QFETCH(QString, line);
        QFETCH(QString, shown);
        installTranslations(QLocale(QLocale::German, QLocale::Germany));
        auto english = qScopeGuard([] {
            for (QTranslator* translator : qApp->findChildren<QTranslator*>())
                QCoreApplication::removeTranslator(translator), delete translator;
        });
        panel->settings.setValue("agree", true);
        panel->failure = failure;
        QVERIFY(panel->open(down));
        Capture log;
        panel->screen()->startButtonClick(panel->window.get());
        const QString words = "Der Knoten konnte nicht gestartet werden.\n" + shown;
        QTRY_COMPARE(panel->widget<QLabel>("errorLabel")->text(), words);
        QCOMPARE(notifications(), QStringList{words});
        QTRY_COMPARE(panel->account.requests.size(), 2);
        QCOMPARE(panel->account.requests[1].fields()["l"], line);
        QCOMPARE(log.lines(), QStringList{"start err: " + line});
    }

    void runsTheScript_data() {
        QTest::addColumn<ScriptRow>("row");
        const QString checking = "checking status..", upDone = "manager.sh up succeeds. auto=false",
                      notStarted = "The node could not be started.\n",
                      notStopped = "The node could not be stopped.\n";
        const auto row = [](const char* name, const ScriptRow& row) { QTest::newRow(name) << row; };
        row("start", {true, {}, up, upDone, checking, "up", View::Running, ""});
        row("stop", {false, {}, down, "manager.sh down succeeds", checking, "down", View::Stopped, ""});
        row("start fails", {true, "no <sudo>", down, "no <sudo>", "start err: no <sudo>", "", View::Stopped,
                            notStarted + "no <sudo>"});
        row("stop fails, two lines",
            {false, "1\r2", down, "1\r\n2", "stop err: 1\r\n2", "", View::Running, notStopped + "1\n2"});
        row("no message", {true, "", down, "unknown error", "start err: unknown error", "", View::Stopped,
                           notStarted + "No reason was given."});
        // Not running before, not running after: no stop, and no busy view left up.
        row("start finds the node closed", {true, {}, closed, upDone, checking, "up", View::Stopped, ""});
    }

    // The busy view from the click on; after a success the last action is stored before the success line
    // leaves, and the node is checked once, after the pause; after a failure the view comes back at once,
    // with the failure in words, on the screen and the desktop, until the node starts or stops.
    void runsTheScript() {
        QFETCH(ScriptRow, row);
        const QString verb = row.start ? "up" : "down";
        const bool succeeds = row.failure.isNull();
        panel->config.scriptPause = 300ms;
        panel->failure = succeeds
                             ? std::nullopt
                             : std::optional(ScriptFailure(ScriptFailure::Kind::ScriptSaid, row.failure, 1));
        panel->settings.setValue("agree", true);
        QVERIFY(panel->open(row.start ? down : up));
        panel->nodeSays(row.nodeAfter);
        QList<Arrival> arrivals;
        QObject scope;
        connect(&panel->account, &TestHttpServer::requestReceived, &scope, [&] {
            arrivals.append({panel->account.requests.last().fields()["l"],
                             panel->settings.value("last_action").toString(), panel->view(),
                             panel->checks()});
        });
        Capture log(true);
        QElapsedTimer clock;
        clock.start();
        panel->click(row.start ? "startButton" : "stopButton");
        QCOMPARE(panel->text("statusLabel"), row.start ? "Starting Service.." : "Stopping Service..");
        QCOMPARE(panel->view(), View::Busy);
        QTRY_COMPARE(panel->view(), row.view);
        QVERIFY(clock.elapsed() >= (succeeds ? 300 : 0)); // the pause before the check
        QCOMPARE(panel->commands(), QStringList{"./manager.sh " + verb});
        QTRY_COMPARE(arrivals.size(), 2);
        QCOMPARE(arrivals[0].line, "run script manager.sh " + verb + (row.start ? ". auto=false" : ""));
        QCOMPARE(arrivals[1].line, row.uploaded);
        QCOMPARE(arrivals[1].lastAction, row.stored);
        if (succeeds)
            QCOMPARE(arrivals[1].view, View::Busy);
        QCOMPARE(arrivals[1].checks, 0);
        QCOMPARE(log.printed(), (QStringList{arrivals[0].line, row.uploaded}));
        QCOMPARE(log.lines(), QStringList{row.logged});
        QTRY_COMPARE(panel->checks(), succeeds ? 1 : 0);
        QCOMPARE(panel->widget<QLabel>("errorLabel")->text(), row.words);
        // The notice's body escaped for services that read markup; a screen reader reads the words.
        QCOMPARE(notifications(),
                 row.words.isEmpty() ? QStringList() : QStringList{row.words.toHtmlEscaped()});
        const QAccessibleInterface* error =
            QAccessible::queryAccessibleInterface(panel->widget("errorLabel"));
        QCOMPARE(error->role(), QAccessible::Notification);
        QCOMPARE(error->text(QAccessible::Name), row.words);
        panel->answer(row.start ? up : down);
        QVERIFY(panel->widget("errorLabel")->isHidden());
    }
};

QTEST_MAIN(TestScreen)
#include "tst_screen.moc"
