#include "app/appdelegate.h"
#include "app/application.h"
#include "app/windowcontroller.h"
#include "control/servicestate.h"
#include "control/viewcontroller.h"
#include "platform/hostconfig.h"
#include "platform/notificationcenter.h"
#include "platform/output.h"

#include "logcapture.h"
#include "screenprobe.h"
#include "testhttpserver.h"

#include <QLabel>
#include <QMessageBox>
#include <QMutex>
#include <QProcess>
#include <QPushButton>
#include <QSemaphore>
#include <QTimer>
#include <QtTest>

#include <thread>

namespace {

const QString exitLine = QStringLiteral("recv notification exit");
const QString stopTitle = QStringLiteral("Do you want to exit?");
const QString exitQuestion = QStringLiteral("Do you want to exit the app?");

QByteArray stateReply(ServiceState state) {
    return "{\"state\":" + QByteArray::number(rawValue(state)) + '}';
}

// Child mode: the panel as main() runs it, with a start that never comes back from its runner; prints a
// marker when the runner is entered and then asks to quit.
int quitDuringJob(int argc, char* argv[]) {
    QApplication app(argc, argv);
    TestHttpServer node;
    node.start();
    node.setReply(200, stateReply(ServiceState::deviceStateDown));
    auto entered = std::make_shared<QSemaphore>();
    HostConfig config = HostConfig::production();
    config.statusUrl = node.url(QStringLiteral("/get_status"));
    config.accountBaseUrl = QUrl(QStringLiteral("http://127.0.0.1:1"));
    config.startupPause = std::chrono::milliseconds(0);
    config.scriptRunner = [entered](const QString&) -> std::optional<ScriptError> {
        entered->release();
        QSemaphore never;
        never.acquire(); // as a user who never answers the administrator prompt
        return std::nullopt;
    };
    installHostConfig(config);
    auto settings = openSettings();
    settings->setValue(QStringLiteral("agree"), true);
    settings->sync();

    exitProcessNow(runPanel([entered](WindowController& window) {
        window.viewController()->startButton->click();
        entered->acquire();
        writeStdoutLine("quitting");
        requestTermination();
    }));
}

} // namespace

// Stands in for the privileged runner.
struct StandInRunner {
    QMutex mutex;
    QStringList commands;

    std::function<std::optional<ScriptError>(const QString&)> function() {
        return [this](const QString& command) -> std::optional<ScriptError> {
            QMutexLocker lock(&mutex);
            commands.append(command);
            return std::nullopt;
        };
    }
    QStringList seen() {
        QMutexLocker lock(&mutex);
        return commands;
    }
};

class TestAppShell : public QObject {
    Q_OBJECT

private:
    TestHttpServer node;
    StandInRunner runner;
    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<WindowController> window;
    QList<int> loopEnds;

    // The panel as it runs, against a node that reports state; the gate's end of the loop is recorded.
    void launch(ServiceState state) {
        node.setReply(200, stateReply(state));
        delegate = std::make_unique<AppDelegate>();
        delegate->endEventLoop = [this](int status) { loopEnds.append(status); };
        window = std::make_unique<WindowController>();
        window->show();
        QTRY_VERIFY(window->viewController()->middleView->isHidden());
        QCOMPARE(currentServiceState(), state);
    }

    QMessageBox* sheet() const { return window->findChild<QMessageBox*>(); }

    // Answers the newest question and waits until it is gone.
    void answer(const QString& title) {
        const QList<QMessageBox*> open = window->findChildren<QMessageBox*>();
        QVERIFY(!open.isEmpty());
        QPointer<QMessageBox> box = open.last();
        QTest::mouseClick(buttonTitled(box, title), Qt::LeftButton);
        QTRY_VERIFY(!box);
    }

private slots:
    void initTestCase() { QVERIFY(node.start()); }

    void init() {
        HostConfig config = HostConfig::production();
        config.statusUrl = node.url(QStringLiteral("/get_status"));
        config.accountBaseUrl = QUrl(QStringLiteral("http://127.0.0.1:1"));
        config.startupPause = std::chrono::milliseconds(0);
        config.scriptPause = std::chrono::milliseconds(0);
        config.scriptRunner = runner.function();
        installHostConfig(config);
        node.setMode(TestHttpServer::Mode::Respond);
        setCurrentServiceState(ServiceState::deviceStateDown);
        loopEnds.clear();
        QMutexLocker lock(&runner.mutex);
        runner.commands.clear();
    }

    void cleanup() {
        window.reset();
        delegate.reset();
    }

    void closeRequest_data() {
        QTest::addColumn<ServiceState>("state");
        QTest::addColumn<QString>("reply"); // a button, or "Return"
        QTest::addColumn<bool>("stops");
        QTest::addColumn<bool>("quits");

        const auto up = ServiceState::deviceStateUp;
        QTest::newRow("running: YES stops") << up << "YES" << true << false;
        QTest::newRow("running: NO") << up << "NO" << false << false;
        QTest::newRow("running: Return is NO") << up << "Return" << false << false;
        QTest::newRow("stopped: YES quits") << ServiceState::deviceStateDown << "YES" << false << true;
        QTest::newRow("closed: YES quits") << ServiceState::deviceStateClosed << "YES" << false << true;
        QTest::newRow("stopped: NO") << ServiceState::deviceStateDown << "NO" << false << false;
        QTest::newRow("stopped: Return is NO") << ServiceState::deviceStateDown << "Return" << false << false;
    }

    // The title bar's close button and Ctrl+W never close the window: they ask.
    void closeRequest() {
        QFETCH(ServiceState, state);
        QFETCH(QString, reply);
        QFETCH(bool, stops);
        QFETCH(bool, quits);

        launch(state);
        LogCapture log;
        QVERIFY(!window->close());
        QCOMPARE(log.count(QStringLiteral("window close")), 1);
        const bool running = state == ServiceState::deviceStateUp;
        // The stop question is queued; the exit question comes at once.
        QCOMPARE(sheet() != nullptr, !running);
        QTRY_VERIFY(sheet());
        QCOMPARE(sheet()->text(), running ? stopTitle : QStringLiteral("Confirmation"));
        QCOMPARE(sheet()->informativeText(),
                 running ? QStringLiteral("The service is running, stop it now?") : exitQuestion);
        if (reply == QLatin1String("Return")) {
            QTest::keyClick(sheet(), Qt::Key_Return);
            QTRY_VERIFY(!sheet());
        } else {
            answer(reply);
        }
        QCOMPARE(loopEnds, quits ? QList<int>{0} : QList<int>{});
        QVERIFY(window->isVisible());
        if (stops) {
            QCOMPARE(window->viewController()->statusLabel->text(), QStringLiteral("Stopping Service.."));
            QTRY_COMPARE(runner.seen(), QStringList{QStringLiteral("./manager.sh down")});
        }
        QTest::qWait(50);
        if (!stops)
            QVERIFY(runner.seen().isEmpty());
    }

    void keysCloseAndQuit() {
        launch(ServiceState::deviceStateDown);
        QApplication::setActiveWindow(window.get());
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        QTest::keyClick(window.get(), Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(loopEnds, QList<int>{0});
        QTest::keyClick(window.get(), Qt::Key_W, Qt::ControlModifier);
        QTRY_VERIFY(sheet());
        QCOMPARE(sheet()->informativeText(), exitQuestion);
        answer(QStringLiteral("NO"));
        QVERIFY(window->isVisible());
    }

    void quitRequest_data() {
        QTest::addColumn<ServiceState>("state");
        QTest::addColumn<bool>("quits");

        QTest::newRow("stopped") << ServiceState::deviceStateDown << true;
        QTest::newRow("closed") << ServiceState::deviceStateClosed << true;
        QTest::newRow("running") << ServiceState::deviceStateUp << false;
    }

    void quitRequest() {
        QFETCH(ServiceState, state);
        QFETCH(bool, quits);

        launch(state);
        LogCapture log;
        requestTermination();
        QCOMPARE(loopEnds, quits ? QList<int>{0} : QList<int>{});
        QCOMPARE(log.count(exitLine), quits ? 0 : 1);
        // The stop question comes only after the gate has answered.
        QVERIFY(!sheet());
        if (quits) {
            QTest::qWait(50);
            QVERIFY(!sheet());
            return;
        }
        QTRY_VERIFY(sheet());
        QCOMPARE(sheet()->text(), stopTitle);
        // Every further request posts "exit" again.
        requestTermination();
        QCOMPARE(log.count(exitLine), 2);
        QTRY_COMPARE(window->findChildren<QMessageBox*>().size(), 2);
        answer(QStringLiteral("NO"));
        answer(QStringLiteral("NO"));
        QVERIFY(loopEnds.isEmpty());
    }

    // With nothing answered yet, the node counts as stopped.
    void quitsBeforeTheFirstAnswer() {
        node.setMode(TestHttpServer::Mode::NeverAnswer);
        delegate = std::make_unique<AppDelegate>();
        delegate->endEventLoop = [this](int status) { loopEnds.append(status); };
        window = std::make_unique<WindowController>();
        requestTermination();
        QCOMPARE(loopEnds, QList<int>{0});
    }

    // The node stops before the queued question: no question at all.
    void asksNothingOnceTheNodeStopped_data() {
        QTest::addColumn<bool>("byClose");
        QTest::newRow("close") << true;
        QTest::newRow("quit") << false;
    }

    void asksNothingOnceTheNodeStopped() {
        QFETCH(bool, byClose);

        launch(ServiceState::deviceStateUp);
        if (byClose)
            window->close();
        else
            requestTermination();
        setCurrentServiceState(ServiceState::deviceStateDown);
        QTest::qWait(50);
        QVERIFY(!sheet());
        QVERIFY(loopEnds.isEmpty());
    }

    // The exit question's YES goes through the gate, which reads the state as it is then.
    void exitAnsweredAfterTheNodeCameUp() {
        launch(ServiceState::deviceStateDown);
        window->close();
        QVERIFY(sheet());
        setCurrentServiceState(ServiceState::deviceStateUp);
        LogCapture log;
        answer(QStringLiteral("YES"));
        QVERIFY(loopEnds.isEmpty());
        QCOMPARE(log.count(exitLine), 1);
        QTRY_VERIFY(sheet());
        QCOMPARE(sheet()->text(), stopTitle);
        answer(QStringLiteral("NO"));
    }

    // The stop question's YES stops even if the node stopped meanwhile, and quits nothing.
    void stopAnsweredAfterTheNodeStopped() {
        launch(ServiceState::deviceStateUp);
        requestTermination();
        QTRY_VERIFY(sheet());
        setCurrentServiceState(ServiceState::deviceStateDown);
        answer(QStringLiteral("YES"));
        QTRY_COMPARE(runner.seen(), QStringList{QStringLiteral("./manager.sh down")});
        QVERIFY(loopEnds.isEmpty());
        QVERIFY(window->isVisible());
    }

    // Qt's own quit() would close windows first; it goes through the gate instead.
    void qtQuitGoesThroughTheGate_data() {
        QTest::addColumn<ServiceState>("state");
        QTest::addColumn<bool>("quits");

        QTest::newRow("stopped") << ServiceState::deviceStateDown << true;
        QTest::newRow("running") << ServiceState::deviceStateUp << false;
    }

    void qtQuitGoesThroughTheGate() {
        QFETCH(ServiceState, state);
        QFETCH(bool, quits);

        launch(state);
        delegate->endEventLoop = [this](int status) {
            loopEnds.append(status);
            QCoreApplication::exit(status);
        };
        QTimer::singleShot(0, [] { QCoreApplication::quit(); });
        // Ends the loop if the gate does not, so a wrong answer fails instead of hanging.
        QTimer::singleShot(1000, [] { QCoreApplication::exit(7); });
        const int status = QCoreApplication::exec();
        QCOMPARE(status, quits ? 0 : 7);
        QCOMPARE(loopEnds, quits ? QList<int>{0} : QList<int>{});
        if (quits)
            QVERIFY(!sheet());
        else
            QCOMPARE(sheet()->text(), stopTitle);
        QVERIFY(window->isVisible());
        if (sheet())
            answer(QStringLiteral("NO"));
    }

    // The panel ends without waiting for a start that sits at the administrator prompt.
    void quitsWhileAStartWaits() {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           QDir::temp().filePath(QStringLiteral("np-child")));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--quit-during-job")});
        QVERIFY(child.waitForStarted());
        QByteArray printed;
        QTRY_VERIFY_WITH_TIMEOUT((printed += child.readAllStandardOutput()).contains("quitting\n") ||
                                     child.state() == QProcess::NotRunning,
                                 20000);
        // From the quit request on, nothing may wait for the job, which never ends.
        QVERIFY(child.state() == QProcess::NotRunning || child.waitForFinished(2000));
        printed += child.readAllStandardOutput();
        QVERIFY2(printed.contains("quitting\n"), child.readAllStandardError().constData());
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
    }

    void deliversNotificationsOnThePostingThread() {
        NotificationCenter& center = NotificationCenter::defaultCenter();
        auto observer = std::make_unique<QObject>();
        QList<std::thread::id> calls;
        center.addObserver(observer.get(), QStringLiteral("ping"),
                           [&calls](const QString&) { calls.append(std::this_thread::get_id()); });
        std::thread::id poster;
        std::thread other([&] {
            poster = std::this_thread::get_id();
            center.post(QStringLiteral("ping"));
        });
        other.join();
        center.post(QStringLiteral("pong"));
        QCOMPARE(calls, QList<std::thread::id>{poster});
        observer.reset();
        center.post(QStringLiteral("ping"));
        QCOMPARE(calls.size(), 1);
    }
};

int main(int argc, char* argv[]) {
    if (argc > 1 && qstrcmp(argv[1], "--quit-during-job") == 0)
        return quitDuringJob(argc, argv);
    QApplication app(argc, argv);
    TestAppShell test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_appshell.moc"
