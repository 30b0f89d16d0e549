// The built panel as a user starts it: its launch line, its first check of the node, and a clean end on
// a signal, with the node running or not.
#include "port8080lock.h"
#include "testhttpserver.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

class TestPanelBinary : public QObject {
    Q_OBJECT

private:
    Port8080Lock portLock;

private slots:
    void initTestCase() { QVERIFY2(portLock.tryLock(), "port 8080 stayed taken by another test run"); }

    // A shut-down sends SIGTERM, a terminal Ctrl+C SIGINT, a closed terminal SIGHUP: each ends the panel
    // cleanly, without asking, even while the node runs.
    void launchesAndEndsOnASignal_data() {
        QTest::addColumn<bool>("nodeRuns");
        QTest::addColumn<int>("signal");
        QTest::newRow("node stopped, SIGTERM") << false << SIGTERM;
        QTest::newRow("node running, SIGTERM") << true << SIGTERM;
        QTest::newRow("node running, SIGINT") << true << SIGINT;
        QTest::newRow("node running, SIGHUP") << true << SIGHUP;
    }

    void launchesAndEndsOnASignal() {
        QFETCH(bool, nodeRuns);
        QFETCH(int, signal);

        TestHttpServer node;
        if (nodeRuns) {
            QVERIFY2(node.startOnPort(8080), "port 8080 is taken");
            node.setReply(200, R"({"state":1})");
        }
        QTemporaryDir config;
        QProcess panel;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        panel.setProcessEnvironment(environment);
        panel.start(QStringLiteral(NODEPANEL_EXECUTABLE), QStringList());
        QVERIFY(panel.waitForStarted());

        QByteArray errors;
        QTRY_VERIFY_WITH_TIMEOUT((errors += panel.readAllStandardError()).contains("checking status..\n"),
                                 10000);
        if (nodeRuns)
            QTRY_COMPARE_WITH_TIMEOUT(node.requests().size(), 1, 10000);
        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT((output += panel.readAllStandardOutput()).contains('\n'), 10000);

        ::kill(panel.processId(), signal);
        QVERIFY(panel.waitForFinished(10000));
        output += panel.readAllStandardOutput();
        QCOMPARE(panel.exitStatus(), QProcess::NormalExit);
        QCOMPARE(panel.exitCode(), 0);
        // Exactly one line: the launch line with the system's version.
        QVERIFY2(QRegularExpression(QStringLiteral("^sys Mac \\d+\\.\\d+\\.\\d+\\n$"))
                     .match(QString::fromUtf8(output))
                     .hasMatch(),
                 output.constData());
    }
};

QTEST_GUILESS_MAIN(TestPanelBinary)
#include "tst_panelbinary.moc"
