// The real window offscreen: what the screen shows for each answer of the node, the uptime clock, the
// agreement, the links, and starting and stopping through a stand-in for the administrator prompt.
#include "platform/desktopnotification.h"

#include "testsupport.h"

#include <QtDBus>

using namespace std::chrono_literals;

namespace {

const QString errorStopLine = "it was caused by error, node would be restarted at once.";
const QString runUp = "run script manager.sh up. auto=false", upDone = "manager.sh up succeeds. auto=false";
const QString stopNews = "The node stopped\nThe node on this computer is no longer running.";

QSettings settings() {
    return QSettings("nodepanel", "nodepanel");
}

} // namespace

// The node's state at load (-1: nothing listens), the last action, the next answer after three seconds
// counted (-1: none), then the view, the clock a second later, the unexpected-stop lines logged, and
// whether the desktop was told of a stop.
using AnswerRow = std::tuple<int, QString, int, QString, QString, int, bool>;
// Start or stop, the script's failure (null: it succeeds), the node's state then, the lines uploaded and
// logged, the last action stored, the view at the end, and the failure in words on the screen and desktop.
using ScriptRow = std::tuple<bool, QString, int, QStringList, QStringList, QString, QString, QString>;

// Also the desktop's notification service, on the suite's own session bus.
class TestScreen : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

private:
    std::unique_ptr<Panel> panel;
    QList<QUrl> opened;
    // Each uploaded line, with the last action stored and the view shown when it reached the account server.
    QStringList arrivals;
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
        settings().clear();
        setCurrentServiceState(ServiceState::deviceStateDown);
        opened.clear();
        arrivals.clear();
        notifications();
        panel = std::make_unique<Panel>();
        connect(&panel->account, &TestHttpServer::requestReceived, this, [this] {
            arrivals.append(panel->account.requests.last().fields()["l"] + '|' +
                            settings().value("last_action").toString() + '|' + panel->view() +
                            QString::number(panel->node.requests.size()));
        });
    }

    void followsTheNode_data() {
        QTest::addColumn<AnswerRow>("row");
        // clang-format off
        QTest::newRow("load: up") << AnswerRow{1, "", -1, "running", "00:00:04", 0, false};
        QTest::newRow("load: down, last up") << AnswerRow{0, "up", -1, "stopped", "00:00:00", 0, false};
        QTest::newRow("load: not listening, last up") << AnswerRow{-1, "up", -1, "stopped", "00:00:00", 0, false};
        QTest::newRow("load: closed, last down") << AnswerRow{2, "down", -1, "stopped", "00:00:00", 0, false};
        // Not running at load is no stop, whatever the last action.
        QTest::newRow("load: closed, last up") << AnswerRow{2, "up", -1, "stopped", "00:00:00", 0, false};
        QTest::newRow("up again") << AnswerRow{1, "up", 1, "running", "00:00:04", 0, false};
        QTest::newRow("down, last up") << AnswerRow{1, "up", 0, "running", "00:00:04", 1, true};
        QTest::newRow("closed, last up") << AnswerRow{1, "up", 2, "running", "00:00:04", 1, true};
        QTest::newRow("down, last down") << AnswerRow{1, "down", 0, "stopped", "00:00:00", 0, true};
        QTest::newRow("down, none") << AnswerRow{1, "", 0, "stopped", "00:00:00", 0, true};
        QTest::newRow("down, last Up") << AnswerRow{1, "Up", 0, "stopped", "00:00:00", 0, true};
        QTest::newRow("down, last 'up '") << AnswerRow{1, "up ", 0, "stopped", "00:00:00", 0, true};
        QTest::newRow("stopped: closed") << AnswerRow{0, "down", 2, "stopped", "00:00:00", 0, false};
        QTest::newRow("stopped: up") << AnswerRow{0, "down", 1, "running", "00:00:01", 0, false};
        QTest::newRow("stopped: closed, last up") << AnswerRow{0, "up", 2, "stopped", "00:00:00", 0, false};
        // clang-format on
    }

    void followsTheNode() {
        QFETCH(AnswerRow, row);
        const auto& [loaded, lastAction, next, view, clock, errorLines, news] = row;
        LogCapture log;
        settings().setValue("last_action", next < 0 ? lastAction : "");
        if (loaded < 0)
            panel->config.statusUrl.setPort(closedPort());
        panel->open(loaded);
        panel->tick(3);
        settings().setValue("last_action", lastAction);
        if (next >= 0)
            panel->report(next);
        QCOMPARE(panel->view(), view);
        panel->tick(1);
        QCOMPARE(panel->text("timerLabel") + panel->text("versionLabel"), clock + "v" NODEPANEL_VERSION);
        QCOMPARE(log.count(errorStopLine), errorLines);
        QCOMPARE(log.count("checking status.."), 1);
        QCOMPARE(notifications(), news ? QStringList{stopNews} : QStringList());
    }

    // After an unexpected stop the clock keeps counting and the node is still checked every five seconds;
    // the next answer decides, another answer of not running too. A busy screen would never be checked
    // again, so it shows stopped at once, unless a stop under way keeps it until its own check.
    void watchesAfterAnUnexpectedStop() {
        settings().setValue("last_action", "up");
        for (const auto& [then, view, clock] :
             {std::tuple(0, "stopped", "00:00:06"), std::tuple(2, "stopped", "00:00:06"),
              std::tuple(1, "running", "00:00:01")}) {
            LogCapture log;
            panel->open(1);
            panel->report(0);
            panel->node.setReply(200, stateReply(then));
            panel->tick(5);
            QTRY_COMPARE(panel->node.requests.size(), 2);
            QTRY_COMPARE(currentServiceState(), ServiceState(then));
            panel->report(then);
            panel->tick(1);
            QCOMPARE(panel->view() + panel->text("timerLabel"), view + QString(clock));
            QCOMPARE(log.count(errorStopLine), 1);
            panel->node.requests.clear();
        }
        panel->screen()->showProgress("Starting Service..");
        panel->report(0);
        QCOMPARE(panel->view(), "stopped");
        auto script = std::make_shared<QSemaphore>();
        panel->config.scriptRunner = [script](const QString&) {
            return script->tryAcquire(1, 10000), std::optional<ScriptFailure>();
        };
        panel->open(1);
        panel->click("stopButton");
        panel->report(0);
        QCOMPARE(panel->view(), "busy");
        panel->node.setReply(200, stateReply(0));
        script->release();
        QTRY_COMPARE(panel->view(), "stopped");
    }

    // Checks at 5, 10 and 15 seconds of uptime, and while stopped every five seconds too, one at a time
    // (none is answered before the end here); none while busy. A node started elsewhere shows as running.
    void checksEveryFiveSeconds() {
        for (const auto& [loaded, busy, checks] :
             {std::tuple(1, false, 3), std::tuple(1, true, 0), std::tuple(0, false, 1)}) {
            panel->open(loaded);
            if (busy)
                panel->screen()->showProgress("Stopping Service..");
            LogCapture log;
            panel->node.requests.clear();
            for (int second = 1; second <= 16; ++second) {
                panel->tick(1);
                QCOMPARE(log.count("checking status.."), std::min(second / 5, checks));
            }
            QTRY_COMPARE(panel->node.requests.size(), checks);
            QCOMPARE(panel->text("timerLabel"), loaded ? "00:00:16" : "00:00:00");
        }
        panel->node.setReply(200, stateReply(1));
        QTRY_COMPARE((panel->tick(1), panel->view()), "running");
    }

    // Restored at load; only the user's click stores it, at once. Start asks first while the box is off:
    // YES ticks and locks the box for this start without storing it.
    void keepsTheAgreement() {
        for (const QVariant& stored : {QVariant(true), QVariant(false)}) {
            settings().setValue("agree", stored);
            panel->open(0);
            const QColor greyed =
                panel->widget("agreeButton")->palette().color(QPalette::Disabled, QPalette::WindowText);
            QCOMPARE(panel->widget<QCheckBox>("agreeButton")->isChecked(), stored.toBool());
            QCOMPARE(panel->widget("agreeButton")->isEnabled(), !stored.toBool());
            QCOMPARE(panel->widget("andLabel")->palette().color(QPalette::WindowText) == greyed,
                     stored.toBool());
        }
        LogCapture log;
        panel->widget<QCheckBox>("agreeButton")->setChecked(true);
        panel->widget<QCheckBox>("agreeButton")->setChecked(false);
        for (const QString reply : {"NO", "YES"}) {
            panel->node.setReply(200, stateReply(1));
            panel->click("startButton");
            QCOMPARE(panel->asked(), "Confirmation/Do you agree to the Terms of Service and Privacy Policy?");
            QCOMPARE(panel->sheet()->defaultButton()->text(), "YES");
            panel->answer(reply);
            QCOMPARE(panel->widget("agreeButton")->isEnabled(), reply == "NO");
        }
        QCOMPARE(panel->view(), "busy");
        QTRY_COMPARE(panel->view(), "running");
        QCOMPARE(panel->commands(), QStringList{"./manager.sh up"});
        QCOMPARE(settings().value("agree"), false);
        settings().remove("agree");
        panel->open(0);
        panel->click("agreeButton");
        QCOMPARE(QSettings("nodepanel", "nodepanel").value("agree").toString(), "true");
        QCOMPARE(log.lines().filter("agree"), QStringList{"agree changed true"});
        QVERIFY(!panel->widget("agreeButton")->isEnabled());
    }

    void opensThePages() {
        panel->open(0);
        for (const char* name : {"tosButton", "ppButton", "viewButton"})
            panel->click(name);
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
        const QString checking = "checking status..";
        // clang-format off
        QTest::newRow("start") << ScriptRow{true, {}, 1, {runUp, upDone}, {checking}, "up", "running", ""};
        QTest::newRow("stop") << ScriptRow{false, {}, 0, {"run script manager.sh down", "manager.sh down succeeds"}, {checking}, "down", "stopped", ""};
        QTest::newRow("start fails") << ScriptRow{true, "no sudo", 0, {runUp, "no sudo"}, {"start err: no sudo"}, "", "stopped", "The node could not be started.\nno sudo"};
        QTest::newRow("stop fails, two lines") << ScriptRow{false, "1\r2", 0, {"run script manager.sh down", "1\r\n2"}, {"stop err: 1\r\n2"}, "", "running", "The node could not be stopped.\n1\n2"};
        QTest::newRow("no message") << ScriptRow{true, "", 0, {runUp, "unknown error"}, {"start err: unknown error"}, "", "stopped", "The node could not be started.\nNo reason was given."};
        // Not running before, not running after: no stop, and no busy view left up.
        QTest::newRow("start finds the node closed") << ScriptRow{true, {}, 2, {runUp, upDone}, {checking}, "up", "stopped", ""};
        // clang-format on
    }

    // The busy view from the click on; after a success the last action is stored, the success line sent,
    // and the node checked once after the pause; after a failure the view comes back at once, with the
    // failure in words until the node starts or stops.
    void runsTheScript() {
        QFETCH(ScriptRow, row);
        const auto& [start, failure, nodeAfter, uploads, logLines, lastAction, view, words] = row;
        settings().setValue("agree", true);
        panel->config.scriptPause = 300ms;
        panel->open(!start);
        if (!failure.isNull())
            panel->failure = ScriptFailure{failure, 1};
        panel->node.setReply(200, stateReply(nodeAfter));
        LogCapture log;
        StdoutCapture out;
        QElapsedTimer clock;
        clock.start();
        panel->click(start ? "startButton" : "stopButton");
        QCOMPARE(panel->view() + ' ' + panel->text("statusLabel"),
                 start ? "busy Starting Service.." : "busy Stopping Service..");
        QTRY_COMPARE(panel->view(), view);
        QVERIFY(clock.elapsed() >= (failure.isNull() ? 300 : 0));
        QTRY_COMPARE(arrivals.size(), 2);
        QCOMPARE(out.stop(), uploads);
        QCOMPARE(log.lines(), logLines);
        QCOMPARE(panel->commands(), QStringList{start ? "./manager.sh up" : "./manager.sh down"});
        QCOMPARE(settings().value("last_action").toString(), lastAction);
        QCOMPARE(arrivals[1].section('|', 0, failure.isNull() ? 2 : 1),
                 uploads[1] + '|' + lastAction + (failure.isNull() ? "|busy1" : ""));
        QTest::qWait(50);
        QCOMPARE(panel->node.requests.size(), 1 + failure.isNull());
        QCOMPARE(panel->text("errorLabel") + '|' + notifications().join('|'), words + '|' + words);
        // The node starts or stops: the words go.
        QVERIFY((panel->report(start), panel->widget("errorLabel")->isHidden()));
    }

    // The first focus is on the state's button. Started with Return and stopped with Space, the focus
    // follows to the next state's button.
    void keepsTheFocusOnTheStateButton() {
        settings().setValue("agree", true);
        panel->open(0);
        QApplication::setActiveWindow(panel->window.get());
        QVERIFY(QTest::qWaitForWindowActive(panel->window.get()));
        QVERIFY(panel->widget("startButton")->hasFocus());
        for (const auto& [from, to, state, key] :
             {std::tuple("startButton", "stopButton", 1, Qt::Key_Return),
              std::tuple("stopButton", "startButton", 0, Qt::Key_Space)}) {
            panel->node.setReply(200, stateReply(state));
            QTest::keyClick(panel->widget(from), key);
            QTRY_COMPARE(panel->view(), state ? "running" : "stopped");
            QVERIFY(panel->widget(to)->hasFocus());
        }
    }
};

QTEST_MAIN(TestScreen)
#include "tst_screen.moc"
