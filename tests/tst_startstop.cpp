#include "app/windowcontroller.h"
#include "control/servicestate.h"
#include "control/viewcontroller.h"
#include "host/utils.h"
#include "platform/hostconfig.h"

#include "logcapture.h"
#include "screenprobe.h"
#include "stdoutcapture.h"
#include "testhttpserver.h"

#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QMutex>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace {

const QString checkingLine = QStringLiteral("checking status..");

// The "l" field of an uploaded form body, decoded.
QString uploadedLine(const RecordedRequest& request) {
    for (const QByteArray& field : request.body.split('&'))
        if (field.startsWith("l="))
            return QString::fromUtf8(QByteArray::fromPercentEncoding(field.mid(2)));
    return QString();
}

} // namespace

// Stands in for the privileged runner: records each command and answers as told.
struct StandInRunner {
    QMutex mutex;
    QStringList commands;
    std::optional<ScriptError> result;

    std::function<std::optional<ScriptError>(const QString&)> function() {
        return [this](const QString& command) {
            QMutexLocker lock(&mutex);
            commands.append(command);
            return result;
        };
    }
    QStringList seen() {
        QMutexLocker lock(&mutex);
        return commands;
    }
};

class TestStartStop : public QObject {
    Q_OBJECT

private:
    TestHttpServer node;
    TestHttpServer account;
    StandInRunner runner;
    std::unique_ptr<WindowController> window;
    ViewController* vc = nullptr;
    // What the settings held when each uploaded line reached the account server.
    QList<QPair<QString, QString>> arrivals;

    void load(int nodeState, std::chrono::milliseconds pause = std::chrono::milliseconds(50)) {
        HostConfig config = HostConfig::production();
        config.statusUrl = node.url(QStringLiteral("/get_status"));
        config.accountBaseUrl = account.url(QString());
        config.startupPause = std::chrono::milliseconds(0);
        config.scriptPause = pause;
        config.scriptRunner = runner.function();
        installHostConfig(config);
        node.setReply(200, stateReply(nodeState));
        window = std::make_unique<WindowController>();
        vc = window->viewController();
        vc->findChild<QTimer*>(QStringLiteral("uptimeTimer"))->stop();
        window->show();
        QTRY_COMPARE(screenOf(vc), nodeState == 1 ? QStringLiteral("running") : QStringLiteral("stopped"));
    }

    void agree() {
        auto settings = openSettings();
        settings->setValue(QStringLiteral("agree"), true);
        settings->sync();
    }

    QMessageBox* sheet() const { return window->findChild<QMessageBox*>(); }

    QStringList uploadedLines() const {
        QStringList lines;
        for (const auto& [line, action] : arrivals)
            lines.append(line);
        return lines;
    }

private slots:
    void initTestCase() {
        QVERIFY(node.start());
        QVERIFY(account.start());
        account.setReply(200, "{}");
        connect(&account, &TestHttpServer::requestReceived, this, [this] {
            arrivals.append({uploadedLine(account.requests().last()), storedLastAction()});
        });
    }

    void init() {
        auto settings = openSettings();
        settings->clear();
        settings->sync();
        setCurrentServiceState(ServiceState::deviceStateDown);
        runner.commands.clear();
        runner.result.reset();
        arrivals.clear();
    }

    void cleanup() {
        window.reset();
        vc = nullptr;
    }

    void asksForTheAgreementFirst_data() {
        QTest::addColumn<QString>("answer"); // "NO", "YES"

        QTest::newRow("NO") << "NO";
        QTest::newRow("YES") << "YES";
    }

    void asksForTheAgreementFirst() {
        QFETCH(QString, answer);

        load(0);
        node.setReply(200, stateReply(1));
        const QColor normal = vc->andLabel->palette().color(QPalette::Active, QPalette::WindowText);
        QTest::mouseClick(vc->startButton, Qt::LeftButton);
        QMessageBox* box = sheet();
        QVERIFY(box);
        QCOMPARE(box->text(), QStringLiteral("Confirmation"));
        QCOMPARE(box->informativeText(),
                 QStringLiteral("Do you agree to the Terms of Service and Privacy Policy?"));
        QCOMPARE(box->defaultButton(), buttonTitled(box, QStringLiteral("YES")));
        QCOMPARE(screenOf(vc), QStringLiteral("stopped"));

        QTest::mouseClick(buttonTitled(box, answer), Qt::LeftButton);
        QTRY_VERIFY(!sheet());
        // The box's own click is the only thing that stores the agreement.
        QVERIFY(!openSettings()->contains(QStringLiteral("agree")));
        if (answer == QLatin1String("NO")) {
            QCOMPARE(screenOf(vc), QStringLiteral("stopped"));
            QVERIFY(!vc->agreeButton->isChecked());
            QVERIFY(vc->agreeButton->isEnabled());
            QCOMPARE(vc->andLabel->palette().color(QPalette::Active, QPalette::WindowText), normal);
            QTest::qWait(100);
            QVERIFY(runner.seen().isEmpty());
            QCOMPARE(account.requests().size(), 0);
            // A second click asks again.
            QTest::mouseClick(vc->startButton, Qt::LeftButton);
            QVERIFY(sheet());
            QTest::mouseClick(buttonTitled(sheet(), QStringLiteral("NO")), Qt::LeftButton);
            return;
        }
        QCOMPARE(screenOf(vc), QStringLiteral("busy"));
        QCOMPARE(vc->statusLabel->text(), QStringLiteral("Starting Service.."));
        QVERIFY(vc->agreeButton->isChecked());
        QVERIFY(!vc->agreeButton->isEnabled());
        QCOMPARE(vc->andLabel->palette().color(QPalette::Active, QPalette::WindowText),
                 vc->palette().color(QPalette::Disabled, QPalette::WindowText));
        QTRY_COMPARE(runner.seen(), QStringList{QStringLiteral("./manager.sh up")});
        QTRY_COMPARE(screenOf(vc), QStringLiteral("running"));
    }

    void runsTheScript_data() {
        QTest::addColumn<QString>("action");      // "start" or "stop"
        QTest::addColumn<QVariant>("error");      // absent: the script succeeds
        QTest::addColumn<int>("nodeAfter");       // what the check after the script finds
        QTest::addColumn<QStringList>("uploads"); // in order
        QTest::addColumn<QStringList>("logLines");
        QTest::addColumn<QString>("lastAction"); // afterwards
        QTest::addColumn<QString>("screen");     // afterwards

        const QString runUp = QStringLiteral("run script manager.sh up. auto=false");
        const QString runDown = QStringLiteral("run script manager.sh down");
        const auto message = [](const QString& text) {
            return QVariant(
                ScriptError{{Utils::scriptErrorMessageKey, text}, {Utils::scriptErrorNumberKey, 1}});
        };

        QTest::newRow("start succeeds")
            << "start" << QVariant() << 1
            << QStringList{runUp, QStringLiteral("manager.sh up succeeds. auto=false")}
            << QStringList{checkingLine} << "up"
            << "running";
        QTest::newRow("stop succeeds")
            << "stop" << QVariant() << 0 << QStringList{runDown, QStringLiteral("manager.sh down succeeds")}
            << QStringList{checkingLine} << "down"
            << "stopped";
        QTest::newRow("start fails") << "start" << message("sudo: a password is required") << 0
                                     << QStringList{runUp, QStringLiteral("sudo: a password is required")}
                                     << QStringList{QStringLiteral("start err: sudo: a password is required")}
                                     << QString() << "stopped";
        QTest::newRow("stop fails, two lines")
            << "stop" << message("first\rsecond") << 0
            << QStringList{runDown, QStringLiteral("first\r\nsecond")}
            << QStringList{QStringLiteral("stop err: first\r\nsecond")} << QString() << "running";
        QTest::newRow("start fails without a message")
            << "start" << QVariant(ScriptError{{Utils::scriptErrorNumberKey, 3}}) << 0
            << QStringList{runUp, QStringLiteral("unknown error")}
            << QStringList{QStringLiteral("start err: unknown error")} << QString() << "stopped";
        QTest::newRow("start fails with a message that is no text")
            << "start" << QVariant(ScriptError{{Utils::scriptErrorMessageKey, 42}}) << 0
            << QStringList{runUp, QStringLiteral("unknown error")}
            << QStringList{QStringLiteral("start err: unknown error")} << QString() << "stopped";
        // The node came up closed instead: a new state with "up" stored; it must not stay busy.
        QTest::newRow("start finds the node closed")
            << "start" << QVariant() << 2
            << QStringList{runUp, QStringLiteral("manager.sh up succeeds. auto=false")}
            << QStringList{checkingLine,
                           QStringLiteral("it was caused by error, node would be restarted at once.")}
            << "up"
            << "stopped";
    }

    void runsTheScript() {
        QFETCH(QString, action);
        QFETCH(QVariant, error);
        QFETCH(int, nodeAfter);
        QFETCH(QStringList, uploads);
        QFETCH(QStringList, logLines);
        QFETCH(QString, lastAction);
        QFETCH(QString, screen);

        const bool start = action == QLatin1String("start");
        agree();
        load(start ? 0 : 1);
        if (error.isValid())
            runner.result = error.value<ScriptError>();
        node.setReply(200, stateReply(nodeAfter));
        const qsizetype asked = node.requests().size();

        LogCapture log;
        StdoutCapture out;
        QTest::mouseClick(start ? vc->startButton : vc->stopButton, Qt::LeftButton);
        QCOMPARE(screenOf(vc), QStringLiteral("busy"));
        QCOMPARE(vc->statusLabel->text(),
                 start ? QStringLiteral("Starting Service..") : QStringLiteral("Stopping Service.."));
        QVERIFY(!sheet());

        QTRY_COMPARE(screenOf(vc), screen);
        QTRY_COMPARE(arrivals.size(), uploads.size());
        QCOMPARE(decodedLines(out.stop()), uploads);
        QCOMPARE(log.lines(), logLines);
        QCOMPARE(runner.seen(), QStringList{start ? QStringLiteral("./manager.sh up")
                                                  : QStringLiteral("./manager.sh down")});
        QCOMPARE(storedLastAction(), lastAction);
        // The success line leaves only after the last action is stored.
        for (const auto& [line, storedThen] : arrivals)
            if (line.contains(QLatin1String("succeeds")))
                QCOMPARE(storedThen, lastAction);
        // A failure checks nothing; a success checks once.
        QTest::qWait(100);
        QCOMPARE(node.requests().size(), asked + (error.isValid() ? 0 : 1));
    }

    // Started and stopped from the keyboard, the focus follows to the next state's button.
    void keepsTheKeyboardOnTheStateButton() {
        agree();
        load(0);
        QApplication::setActiveWindow(window.get());
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        node.setReply(200, stateReply(1));
        vc->startButton->setFocus();
        QTest::keyClick(vc->startButton, Qt::Key_Space);
        QTRY_COMPARE(screenOf(vc), QStringLiteral("running"));
        QVERIFY(vc->stopButton->hasFocus());
        node.setReply(200, stateReply(0));
        QTest::keyClick(vc->stopButton, Qt::Key_Space);
        QTRY_COMPARE(screenOf(vc), QStringLiteral("stopped"));
        QVERIFY(vc->startButton->hasFocus());
    }

    // The busy view stays through the pause; the check comes after it.
    void pausesBeforeTheCheck() {
        agree();
        load(0, std::chrono::milliseconds(1500));
        node.setReply(200, stateReply(1));
        const qsizetype asked = node.requests().size();
        LogCapture log;
        QTest::mouseClick(vc->startButton, Qt::LeftButton);
        QTRY_COMPARE(arrivals.size(), 2); // the success line is out: the pause has begun
        QCOMPARE(log.count(checkingLine), 0);
        QCOMPARE(node.requests().size(), asked);
        QCOMPARE(screenOf(vc), QStringLiteral("busy"));
        QTRY_COMPARE_WITH_TIMEOUT(log.count(checkingLine), 1, 5000);
        QTRY_COMPARE(screenOf(vc), QStringLiteral("running"));
    }
};

QTEST_MAIN(TestStartStop)
#include "tst_startstop.moc"
