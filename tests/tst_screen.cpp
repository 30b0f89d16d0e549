// The real window offscreen: what the screen shows for each answer of the node, the uptime clock, the
// agreement, the links, starting and stopping through a stand-in for the administrator prompt, and what
// the desktop is told.
#include "platform/desktopnotification.h"

#include "testsupport.h"

#include <QtDBus>

using namespace std::chrono_literals;

const QString unexpected = "logged it was caused by error, node would be restarted at once.";

// Start or stop, the script's failure (null: it succeeds), the node's state then, the line uploaded after
// the run, the lines logged, the last action stored, the view at the end, and the failure in words.
using ScriptRow = std::tuple<bool, QString, int, QString, QStringList, QString, QString, QString>;

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
        QVERIFY(bus.registerObject("/org/freedesktop/Notifications", this, QDBusConnection::ExportAllSlots) &&
                bus.registerService("org.freedesktop.Notifications"));
    }

    void init() {
        QSettings("nodepanel", "nodepanel").clear();
        notifications();
        panel.reset();
        panel = std::make_unique<Panel>();
    }

    // A story of the window (see Panel), and whether the desktop was told the node stopped.
    void followsTheNode_data() {
        QTest::addColumn<QString>("story");
        QTest::addColumn<bool>("news");
        const QString stopped = "view stopped | tick 4 | text timerLabel 00:00:00 | logged -";
        // clang-format off
        QTest::newRow("load: up") << "open 1 | view running | tick 1 | text timerLabel 00:00:01 | text versionLabel v" NODEPANEL_VERSION << false;
        QTest::newRow("load: down, last up") << "last up | open 0 | " + stopped << false;
        QTest::newRow("load: not listening, last up") << "last up | unreachable | open -1 | " + stopped << false;
        // Not running at load is no stop, whatever the last action.
        QTest::newRow("load: closed, last up") << "last up | open 2 | " + stopped << false;
        QTest::newRow("up again") << "open 1 | tick 3 | last up | report 1 | view running | tick 1 | text timerLabel 00:00:04" << false;
        // Stopped with "up" stored: the clock and the checks go on, and the next answer decides.
        QTest::newRow("down, last up") << "open 1 | tick 3 | last up | report 0 | view running | tick 1 | text timerLabel 00:00:04 | " + unexpected << true;
        QTest::newRow("closed, last up") << "open 1 | tick 3 | last up | report 2 | view running | " + unexpected << true;
        QTest::newRow("down, last down") << "open 1 | tick 3 | last down | report 0 | " + stopped << true;
        QTest::newRow("down, last 'up '") << "open 1 | last up  | report 0 | " + stopped << true;
        QTest::newRow("stopped: closed, last up") << "open 0 | last up | report 2 | " + stopped << false;
        QTest::newRow("stopped: up") << "open 0 | report 1 | view running | tick 1 | text timerLabel 00:00:01" << false;
        QTest::newRow("then down again") << "open 1 | last up | report 0 | " + unexpected + " | node 0 | tick 5 | checked 1 | report 0 | view stopped | tick 1 | text timerLabel 00:00:06 | logged checking status.." << true;
        QTest::newRow("then closed: not up either") << "open 1 | last up | report 0 | node 2 | tick 5 | checked 1 | report 2 | view stopped" << true;
        QTest::newRow("then back up") << "open 1 | last up | report 0 | node 1 | tick 5 | checked 1 | report 1 | view running | tick 1 | text timerLabel 00:00:01" << true;
        // A busy screen would never be checked again, so it shows stopped, unless a stop under way keeps it
        // until its own check.
        QTest::newRow("busy") << "open 1 | last up | busy Starting Service.. | report 0 | view stopped" << true;
        QTest::newRow("a stop under way") << "agree true | open 1 | hold | click stopButton | report 0 | wait | view busy | node 0 | release | view stopped" << false;
        // Checks at 5, 10 and 15 seconds of uptime, and while stopped too (the first at 5 s), one at a time
        // (none is answered before the end here); none while busy. A node started elsewhere shows running.
        QTest::newRow("checks") << "open 1 | tick 16 | checked 3 | text timerLabel 00:00:16" << false;
        QTest::newRow("no checks while busy") << "open 1 | busy Stopping Service.. | tick 16 | checked 0" << false;
        QTest::newRow("checks while stopped") << "open 0 | tick 16 | checked 1 | view stopped" << false;
        QTest::newRow("comes up while stopped") << "open 0 | node 1 | tick 5 | checked 1 | view running" << false;
        // The agreement is restored at load; only the user's click stores it, at once, and locks it. Start
        // asks first while the box is off: YES, the default, ticks and locks the box for this start without
        // storing it.
        QTest::newRow("agreement") << "agree true | open 0 | agreement given | agree - | open 0 | agreement open | node 1 | click startButton | asked Confirmation/Do you agree to the Terms of Service and Privacy Policy? | answer NO | view stopped | agreement open | click startButton | answer Return | agreement given | view busy | view running | ran ./manager.sh up | stored agree - | open 0 | click agreeButton | stored agree true | agreement given | logged agree changed true" << false;
        // The first focus is on the state's button. Started with Return and stopped with Space, the focus
        // follows to the next state's button.
        QTest::newRow("focus") << "agree true | open 0 | activate | focus startButton | node 1 | key Return | view running | focus stopButton | node 0 | key Space | view stopped | focus startButton" << false;
        // clang-format on
    }

    void followsTheNode() {
        QFETCH(QString, story);
        QFETCH(bool, news);
        panel->play(story);
        QCOMPARE(notifications(),
                 news ? QStringList{"The node stopped\nThe node on this computer is no longer running."}
                      : QStringList());
    }

    // The links open their pages; none of them reports anything.
    void opensThePages() {
        panel->play("open 0 | click tosButton | click ppButton | click viewButton");
        panel->screen()->linkClick(panel->widget("startButton"));
        panel->screen()->linkClick(panel->widget("versionLabel"));
        const QUrl account = panel->account.url("/main");
        QCOMPARE(opened,
                 (QList<QUrl>{QUrl("https://www.test/tos"), QUrl("https://www.test/pp"), account, account}));
        QTest::qWait(100);
        QCOMPARE(panel->account.connections, 0);
    }

    void runsTheScript_data() {
        QTest::addColumn<ScriptRow>("row");
        const QString checking = "checking status..", upDone = "manager.sh up succeeds. auto=false";
        // clang-format off
        QTest::newRow("start") << ScriptRow{true, {}, 1, upDone, {checking}, "up", "running", ""};
        QTest::newRow("stop") << ScriptRow{false, {}, 0, "manager.sh down succeeds", {checking}, "down", "stopped", ""};
        QTest::newRow("start fails") << ScriptRow{true, "no sudo", 0, "no sudo", {"start err: no sudo"}, "", "stopped", "The node could not be started.\nno sudo"};
        QTest::newRow("stop fails, two lines") << ScriptRow{false, "1\r2", 0, "1\r\n2", {"stop err: 1\r\n2"}, "", "running", "The node could not be stopped.\n1\n2"};
        QTest::newRow("no message") << ScriptRow{true, "", 0, "unknown error", {"start err: unknown error"}, "", "stopped", "The node could not be started.\nNo reason was given."};
        // Not running before, not running after: no stop, and no busy view left up.
        QTest::newRow("start finds the node closed") << ScriptRow{true, {}, 2, upDone, {checking}, "up", "stopped", ""};
        // clang-format on
    }

    // The busy view from the click on; after a success the last action is stored before the success line
    // leaves, and the node is checked once, after the pause; after a failure the view comes back at once,
    // with the failure in words, on the screen and the desktop, until the node starts or stops.
    void runsTheScript() {
        QFETCH(ScriptRow, row);
        const auto& [start, failure, nodeAfter, second, logLines, lastAction, view, words] = row;
        const QString verb = start ? "up" : "down";
        panel->config.scriptPause = 300ms;
        panel->failure = failure.isNull() ? std::nullopt : std::optional(ScriptFailure{failure, 1});
        panel->play(QString("agree true | open %1 | node %2").arg(!start).arg(nodeAfter));
        QStringList
            arrivals; // each uploaded line, with the last action, the view and the checks at its arrival
        QObject scope;
        connect(&panel->account, &TestHttpServer::requestReceived, &scope, [&] {
            arrivals.append(panel->account.requests.last().fields()["l"] + '|' +
                            panel->settings.value("last_action").toString() + '|' + panel->view() +
                            QString::number(panel->node.requests.size()));
        });
        Capture log(true);
        QElapsedTimer clock;
        clock.start();
        panel->play((start ? "click startButton | text statusLabel Starting"
                           : "click stopButton | text statusLabel Stopping") +
                    QString(" Service.. | view busy | view %1 | ran ./manager.sh %2").arg(view, verb));
        QVERIFY(clock.elapsed() >= (failure.isNull() ? 300 : 0));
        QTRY_COMPARE(arrivals.size(), 2);
        QCOMPARE(log.printed() + log.lines(),
                 QStringList({"run script manager.sh " + verb + (start ? ". auto=false" : ""), second}) +
                     logLines);
        QCOMPARE(arrivals[1].section('|', 0, failure.isNull() ? 2 : 1),
                 second + '|' + lastAction + (failure.isNull() ? "|busy1" : ""));
        panel->play(QString("wait | checked %1").arg(failure.isNull()));
        QCOMPARE(panel->widget<QLabel>("errorLabel")->text() + '|' + notifications().join('|'),
                 words + '|' + words);
        QVERIFY((panel->play(QString("report %1").arg(start)), panel->widget("errorLabel")->isHidden()));
    }
};

QTEST_MAIN(TestScreen)
#include "tst_screen.moc"
