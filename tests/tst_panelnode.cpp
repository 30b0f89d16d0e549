// End to end from the panel's own buttons: the offscreen window starts and stops the build-tree bundle's
// sample node on the real port 8080, through the real script runner, as root. Uploads go to a local
// account server, so nothing leaves the machine.

#include "app/windowcontroller.h"
#include "control/servicestate.h"
#include "control/viewcontroller.h"
#include "platform/hostconfig.h"

#include "logcapture.h"
#include "port8080lock.h"
#include "screenprobe.h"
#include "stdoutcapture.h"
#include "testhttpserver.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThreadPool>
#include <QTimer>
#include <QtTest>

#include <cstdio>
#include <memory>

#include <unistd.h>

namespace {

const QString bundleDir = QStringLiteral(NODEPANEL_BUNDLE_DIR);
const QString resourcesDir = bundleDir + QStringLiteral("/Contents/Resources");
const QString checkingLine = QStringLiteral("checking status..");

constexpr quint16 nodePort = 8080;
constexpr int scriptTimeoutMs = 30000;
// Generous: sudo, manager.sh, the node's start and the pause all lie between a click and its view.
constexpr int viewTimeoutMs = 20000;

// The line the real runner logs and uploads before it runs a node command.
QString commandLine(const QString& verb) {
    return QStringLiteral("command [./manager.sh %1] path [%2]").arg(verb, bundleDir);
}

// The "l" field of an uploaded form body, decoded.
QString uploadedLine(const RecordedRequest& request) {
    for (const QByteArray& field : request.body.split('&'))
        if (field.startsWith("l="))
            return QString::fromUtf8(QByteArray::fromPercentEncoding(field.mid(2)));
    return QString();
}

QStringList sorted(QStringList lines) {
    lines.sort();
    return lines;
}

} // namespace

class TestPanelNode : public QObject {
    Q_OBJECT

private:
    bool isRoot_ = false;
    Port8080Lock portLock_;
    TestHttpServer account;
    std::unique_ptr<WindowController> window;

    // manager.sh down, run by hand the way the panel runs it: no node of this bundle is left running.
    static void bringNodeDown() {
        const QString shellText = QStringLiteral("cd '%1'\nsudo ./bash ./manager.sh down").arg(resourcesDir);
        QProcess shell;
        QSignalSpy finished(&shell, &QProcess::finished);
        shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), shellText});
        QVERIFY2(shell.waitForStarted(), qPrintable(shell.errorString()));
        QVERIFY2(finished.wait(scriptTimeoutMs), qPrintable(shellText));
        const QByteArray errorOutput = shell.readAllStandardError();
        QVERIFY2(shell.exitStatus() == QProcess::NormalExit && shell.exitCode() == 0,
                 errorOutput.constData());
    }

    // The node's answer to a status query that the test sends itself, not through the panel's client.
    static void askNodeState(int& state) {
        QNetworkAccessManager manager;
        manager.setProxy(QNetworkProxy::NoProxy);
        std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(hostConfig()->statusUrl)));
        QSignalSpy finished(reply.get(), &QNetworkReply::finished);
        QVERIFY(finished.wait(5000));
        QVERIFY2(reply->error() == QNetworkReply::NoError, qPrintable(reply->errorString()));
        const QByteArray body = reply->readAll();
        const QJsonValue value = QJsonDocument::fromJson(body).object().value(QLatin1String("state"));
        QVERIFY2(value.isDouble(), body.constData());
        state = value.toInt();
    }

    static void expectPortRefuses() {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, nodePort);
        QVERIFY(!socket.waitForConnected(5000));
        QCOMPARE(socket.error(), QAbstractSocket::ConnectionRefusedError);
    }

    // The lines that reached the account server from the given request on, checked as a set: concurrent
    // uploads may arrive in any order.
    void expectUploadsFrom(qsizetype first, const QStringList& expected) {
        QTRY_COMPARE_WITH_TIMEOUT(account.requests().size(), first + expected.size(), 10000);
        QStringList arrived;
        for (const RecordedRequest& request : account.requests().mid(first)) {
            QCOMPARE(request.method, QByteArray("POST"));
            QCOMPARE(request.target, QByteArray("/api/upload_log"));
            arrived.append(uploadedLine(request));
        }
        QCOMPARE(sorted(arrived), sorted(expected));
    }

private slots:
    void initTestCase() {
        isRoot_ = ::geteuid() == 0;
        if (!isRoot_)
            QSKIP("needs root: the panel runs manager.sh as root and its node owns port 8080");
        QVERIFY2(portLock_.tryLock(), "another test run kept port 8080 for too long");

        QVERIFY(QFileInfo(resourcesDir + QStringLiteral("/manager.sh")).isExecutable());
        QVERIFY(QFileInfo(resourcesDir + QStringLiteral("/sample-node")).isExecutable());

        QVERIFY(account.start());
        account.setReply(200, "{}");

        HostConfig config = HostConfig::production();
        // The panel's own status address is the one the node serves.
        QCOMPARE(config.statusUrl, QUrl(QStringLiteral("http://localhost:8080/get_status")));
        config.accountBaseUrl = account.url(QString());
        config.websiteBaseUrl = account.url(QString());
        config.bundlePath = bundleDir;
        // Root already: the real runner runs the shell lines itself.
        config.elevate = false;
        config.scriptRunner = nullptr;
        config.startupPause = std::chrono::milliseconds(0);
        config.scriptPause = std::chrono::milliseconds(500);
        installHostConfig(config);

        auto settings = openSettings();
        settings->clear();
        settings->sync();
        setCurrentServiceState(ServiceState::deviceStateDown);

        // A node left running by an earlier run would hide every fault below.
        RETURN_IF_FAILED(bringNodeDown());
        QTcpServer probe;
        QVERIFY2(probe.listen(QHostAddress::LocalHost, nodePort),
                 "port 8080 is taken by another program; this test needs it free");
    }

    void cleanup() { window.reset(); }

    void cleanupTestCase() {
        if (!isRoot_)
            return;
        // A start or stop still under way would otherwise run its script after the down below.
        const bool jobsDone = QThreadPool::globalInstance()->waitForDone(2 * scriptTimeoutMs);
        bringNodeDown();
        QVERIFY(jobsDone);
    }

    void startsAndStopsTheNodeFromItsButtons() {
        // Agreed before: no sheet comes between the click and the start.
        {
            auto settings = openSettings();
            settings->setValue(QStringLiteral("agree"), true);
            settings->sync();
        }
        window = std::make_unique<WindowController>();
        ViewController* vc = window->viewController();
        // The real clock ticks once a second; the test ticks it itself, so the uptime it sees is exact.
        auto* uptimeTimer = vc->findChild<QTimer*>(QStringLiteral("uptimeTimer"));
        QVERIFY(uptimeTimer);
        QVERIFY(uptimeTimer->isActive());
        QCOMPARE(uptimeTimer->interval(), 1000);
        uptimeTimer->stop();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QTRY_COMPARE_WITH_TIMEOUT(screenOf(vc), QStringLiteral("stopped"), 10000);
        QVERIFY(vc->agreeButton->isChecked());

        LogCapture log;
        StdoutCapture out;
        // Test failures are written to standard output too: show them once it is back.
        const auto replay = qScopeGuard([&out] {
            const QList<QByteArray> captured = out.stop();
            if (QTest::currentTestFailed())
                for (const QByteArray& line : captured)
                    std::printf("%s\n", line.constData());
            std::fflush(stdout);
        });

        // Start.
        QTest::mouseClick(vc->startButton, Qt::LeftButton);
        QVERIFY(!window->findChild<QMessageBox*>());
        QCOMPARE(screenOf(vc), QStringLiteral("busy"));
        QCOMPARE(vc->statusLabel->text(), QStringLiteral("Starting Service.."));
        QTRY_COMPARE_WITH_TIMEOUT(screenOf(vc), QStringLiteral("running"), viewTimeoutMs);
        QCOMPARE(storedLastAction(), QStringLiteral("up"));

        // The uptime counts from the start.
        QCOMPARE(vc->tick(), 0);
        vc->timerTick();
        QCOMPARE(vc->timerLabel->text(), QStringLiteral("00:00:01"));

        int state = -1;
        RETURN_IF_FAILED(askNodeState(state));
        QCOMPARE(state, 1);

        const QStringList startUploads{QStringLiteral("run script manager.sh up. auto=false"),
                                       commandLine(QStringLiteral("up")),
                                       QStringLiteral("manager.sh up succeeds. auto=false")};
        RETURN_IF_FAILED(expectUploadsFrom(0, startUploads));

        // Stop.
        QTest::mouseClick(vc->stopButton, Qt::LeftButton);
        QCOMPARE(screenOf(vc), QStringLiteral("busy"));
        QCOMPARE(vc->statusLabel->text(), QStringLiteral("Stopping Service.."));
        QTRY_COMPARE_WITH_TIMEOUT(screenOf(vc), QStringLiteral("stopped"), viewTimeoutMs);
        QCOMPARE(storedLastAction(), QStringLiteral("down"));
        RETURN_IF_FAILED(expectPortRefuses());

        // The clock stopped with the node.
        QCOMPARE(vc->tick(), -1);
        vc->timerTick();
        QCOMPARE(vc->timerLabel->text(), QStringLiteral("00:00:00"));

        const QStringList stopUploads{QStringLiteral("run script manager.sh down"),
                                      commandLine(QStringLiteral("down")),
                                      QStringLiteral("manager.sh down succeeds")};
        RETURN_IF_FAILED(expectUploadsFrom(startUploads.size(), stopUploads));

        // Each action writes its lines in order before it uploads them.
        QCOMPARE(decodedLines(out.stop()), startUploads + stopUploads);
        QCOMPARE(log.lines(), (QStringList{commandLine(QStringLiteral("up")), checkingLine,
                                           commandLine(QStringLiteral("down")), checkingLine}));
    }
};

QTEST_MAIN(TestPanelNode)
#include "tst_panelnode.moc"
