// End to end: the build-tree bundle's manager.sh and sample node, run as the panel runs them, on the real
// port 8080, checked through the panel's own status client.

#include "control/servicestate.h"
#include "host/utils.h"
#include "platform/hostconfig.h"

#include "logcapture.h"
#include "port8080lock.h"
#include "screenprobe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>

#include <signal.h>
#include <unistd.h>

namespace {

const QString resourcesDir = QStringLiteral(NODEPANEL_RESOURCES_DIR);
const QString nodeProgram = resourcesDir + QStringLiteral("/sample-node");
// Where manager.sh records the node it started.
const QString pidFile = QStringLiteral("/run/nodepanel-sample-node/sample-node.pid");

constexpr int scriptTimeoutMs = 30000;
constexpr quint16 nodePort = 8080;

// The two shell lines the panel runs: into the Resources folder, then manager.sh under sudo.
QString panelShellText(const QString& folder, const QString& verb, const QString& sudoOptions = QString()) {
    return QStringLiteral("cd '%1'\nsudo %2./bash ./manager.sh %3").arg(folder, sudoOptions, verb);
}

// The same from an unrelated folder, by full paths: manager.sh must not depend on where its caller stands.
QString elsewhereShellText(const QString& verb) {
    return QStringLiteral("cd /\nsudo '%1/bash' '%1/manager.sh' %2").arg(resourcesDir, verb);
}

struct ScriptRun {
    int exitCode = -1;
    QByteArray standardError;
};

// The pid manager.sh recorded, or 0 when there is no readable record.
qint64 recordedPid() {
    QFile file(pidFile);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().trimmed().toLongLong();
}

// Whether pid is a live process running the bundle's node program (a zombie runs nothing).
bool runsTheNode(qint64 pid) {
    return pid > 0 && QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget() ==
                          QFileInfo(nodeProgram).canonicalFilePath();
}

// Whether pid is a process that has not ended.
bool isAlive(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const qsizetype end = text.lastIndexOf(") ");
    return end >= 0 && text.mid(end + 2, 1) != "Z";
}

// How many sockets pid holds open: the node's listener, and one more while it serves a connection. (Qt
// shows the target "socket:[inode]" of such a link as if it were a file in the fd folder.)
int socketCount(qint64 pid) {
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    int sockets = 0;
    for (const QFileInfo& fd : fds.entryInfoList(QDir::Files | QDir::System))
        sockets += fd.symLinkTarget().contains(QLatin1String("socket:[")) ? 1 : 0;
    return sockets;
}

} // namespace

class TestSampleNode : public QObject {
    Q_OBJECT

private:
    bool isRoot_ = false;
    Port8080Lock portLock_;

    static void runShell(const QString& shellText, ScriptRun& run) {
        QProcess shell;
        QSignalSpy finished(&shell, &QProcess::finished);
        shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), shellText});
        QVERIFY2(shell.waitForStarted(), qPrintable(shell.errorString()));
        QVERIFY2(finished.wait(scriptTimeoutMs), qPrintable(shellText));
        QCOMPARE(shell.exitStatus(), QProcess::NormalExit);
        run.exitCode = shell.exitCode();
        run.standardError = shell.readAllStandardError();
    }

    static void runManager(const QString& verb, ScriptRun& run) {
        runShell(panelShellText(resourcesDir, verb), run);
    }

    // A successful run: status 0 and nothing to complain about.
    static void expectSuccess(const QString& shellText) {
        ScriptRun run;
        RETURN_IF_FAILED(runShell(shellText, run));
        QVERIFY2(run.exitCode == 0 && run.standardError.isEmpty(),
                 qPrintable(QStringLiteral("%1 => %2: %3")
                                .arg(shellText)
                                .arg(run.exitCode)
                                .arg(QString::fromLocal8Bit(run.standardError))));
    }

    // A failed run: non-zero status and exactly one line on standard error that holds fragment.
    static void expectFailure(const ScriptRun& run, const QString& fragment) {
        const QString error = QString::fromLocal8Bit(run.standardError);
        QVERIFY2(run.exitCode != 0, qPrintable(error));
        QVERIFY2(error.endsWith(QLatin1Char('\n')) && error.count(QLatin1Char('\n')) == 1, qPrintable(error));
        QVERIFY2(error.contains(fragment), qPrintable(error));
    }

    // One real status query through the panel's client, which must call back once. A failed query writes a
    // log line only when a reply came that it could not read; a refused connection writes none.
    static void expectQueryResult(ServiceState expected) {
        // A value the sample node never reports, so the query must overwrite it either way.
        setCurrentServiceState(ServiceState::deviceStateClosed);
        LogCapture log;
        const auto calls = std::make_shared<std::atomic<int>>(0);
        Utils::queryNodeStatus([calls] { ++*calls; });
        QTRY_COMPARE_WITH_TIMEOUT(calls->load(), 1, 8000);
        QCOMPARE(currentServiceState(), expected);
        QCOMPARE(log.lines(), QStringList());
    }

    // The node manager.sh started: a live sample node in a session of its own, reading nothing.
    static void expectDetachedNode(qint64& pid) {
        pid = recordedPid();
        QVERIFY2(runsTheNode(pid), qPrintable(QString::number(pid)));
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        QVERIFY(stat.open(QIODevice::ReadOnly));
        const QByteArray text = stat.readAll();
        // After "(comm) ": state, parent, process group, session.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(") ") + 2).split(' ');
        QVERIFY(fields.size() > 3);
        QCOMPARE(fields.at(3).toLongLong(), pid);
        QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/fd/0").arg(pid)).symLinkTarget(),
                 QStringLiteral("/dev/null"));
    }

    // The script and its bash in a folder of their own, with nodeScript as the node program (none when
    // empty).
    static void makeBundle(const QTemporaryDir& dir, const QByteArray& nodeScript) {
        QVERIFY(QFile::copy(resourcesDir + QStringLiteral("/manager.sh"),
                            dir.filePath(QStringLiteral("manager.sh"))));
        QVERIFY(QFile::link(QStringLiteral("/bin/bash"), dir.filePath(QStringLiteral("bash"))));
        if (nodeScript.isEmpty())
            return;
        QFile node(dir.filePath(QStringLiteral("sample-node")));
        QVERIFY(node.open(QIODevice::WriteOnly));
        QCOMPARE(node.write(nodeScript), nodeScript.size());
        node.close();
        QVERIFY(node.setPermissions(node.permissions() | QFileDevice::ExeOwner));
    }

    // Runs a node program as a child of the test and waits until it listens. Its own word for that is the
    // proof: the port accepting could still be a listener from before.
    static void startByHand(QProcess& node, const QString& program) {
        node.start(program, {});
        QVERIFY2(node.waitForStarted(), qPrintable(node.errorString()));
        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT(
            (output += node.readAllStandardError()).contains("listening on 127.0.0.1:8080") ||
                node.state() == QProcess::NotRunning,
            5000);
        QVERIFY2(node.state() == QProcess::Running, output.constData());
    }

    static bool portAccepts() {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, nodePort);
        return socket.waitForConnected(1000);
    }

private slots:
    void initTestCase() {
        isRoot_ = ::geteuid() == 0;
        if (!isRoot_)
            QSKIP("needs root: manager.sh runs as root and its node owns port 8080");
        QVERIFY2(portLock_.tryLock(), "another test run kept port 8080 for too long");

        QVERIFY(QFileInfo(resourcesDir + QStringLiteral("/manager.sh")).isExecutable());
        QCOMPARE(QFileInfo(resourcesDir + QStringLiteral("/bash")).symLinkTarget(),
                 QStringLiteral("/bin/bash"));
        QVERIFY(QFileInfo(nodeProgram).isExecutable());
        // The panel's own status address is the one the node serves.
        QCOMPARE(hostConfig()->statusUrl, QUrl(QStringLiteral("http://localhost:8080/get_status")));

        // A node left running by an earlier run would hide every fault below.
        RETURN_IF_FAILED(expectSuccess(panelShellText(resourcesDir, QStringLiteral("down"))));
        QTcpServer probe;
        QVERIFY2(probe.listen(QHostAddress::LocalHost, nodePort),
                 "port 8080 is taken by another program; these tests need it free");
    }

    // Every case starts with no node running.
    void init() { RETURN_IF_FAILED(expectSuccess(panelShellText(resourcesDir, QStringLiteral("down")))); }

    void cleanupTestCase() {
        if (isRoot_)
            expectSuccess(panelShellText(resourcesDir, QStringLiteral("down")));
    }

    void upAndDownDriveTheNode_data() {
        QTest::addColumn<QString>("upText");
        QTest::addColumn<QString>("downText");

        QTest::newRow("the panel's command line") << panelShellText(resourcesDir, QStringLiteral("up"))
                                                  << panelShellText(resourcesDir, QStringLiteral("down"));
        QTest::newRow("full paths from another folder")
            << elsewhereShellText(QStringLiteral("up")) << elsewhereShellText(QStringLiteral("down"));
    }

    void upAndDownDriveTheNode() {
        QFETCH(QString, upText);
        QFETCH(QString, downText);

        RETURN_IF_FAILED(expectQueryResult(ServiceState::deviceStateDown));

        RETURN_IF_FAILED(expectSuccess(upText));
        RETURN_IF_FAILED(expectQueryResult(ServiceState::deviceStateUp));
        qint64 pid = 0;
        RETURN_IF_FAILED(expectDetachedNode(pid));

        // Already up: the same node keeps running.
        RETURN_IF_FAILED(expectSuccess(upText));
        QCOMPARE(recordedPid(), pid);
        QVERIFY(runsTheNode(pid));
        RETURN_IF_FAILED(expectQueryResult(ServiceState::deviceStateUp));

        RETURN_IF_FAILED(expectSuccess(downText));
        QVERIFY(!runsTheNode(pid));
        RETURN_IF_FAILED(expectQueryResult(ServiceState::deviceStateDown));

        // Already down.
        RETURN_IF_FAILED(expectSuccess(downText));
        RETURN_IF_FAILED(expectQueryResult(ServiceState::deviceStateDown));
    }

    void rejectsAnUnknownCommand_data() {
        QTest::addColumn<QString>("verb");

        QTest::newRow("unknown verb") << QStringLiteral("restart");
        QTest::newRow("no verb") << QString();
        QTest::newRow("verb in upper case") << QStringLiteral("UP");
        QTest::newRow("a second word") << QStringLiteral("up now");
        QTest::newRow("verb with a line break") << QStringLiteral("'up\nnow'");
    }

    void rejectsAnUnknownCommand() {
        QFETCH(QString, verb);

        ScriptRun run;
        RETURN_IF_FAILED(runManager(verb, run));
        RETURN_IF_FAILED(expectFailure(run, QStringLiteral("up")));
        // Nothing was started.
        QVERIFY(!portAccepts());
    }

    void upFailsWithAClearReason_data() {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<QString>("reason");

        QTest::newRow("port taken on 127.0.0.1")
            << QStringLiteral("listener on 127.0.0.1") << QStringLiteral("8080");
        QTest::newRow("port taken on every address")
            << QStringLiteral("listener on any") << QStringLiteral("8080");
        // It answers like a node, but it is another bundle's: this manager.sh could not stop it.
        QTest::newRow("port taken by another bundle's node")
            << QStringLiteral("foreign node") << QStringLiteral("8080");
        QTest::newRow("node program missing")
            << QStringLiteral("no program") << QStringLiteral("sample-node");
        QTest::newRow("node stops at start")
            << QStringLiteral("stops at start") << QStringLiteral("no licence for this node");
        QTest::newRow("node never answers") << QStringLiteral("never answers") << QStringLiteral("answer");
        QTest::newRow("not root") << QStringLiteral("not root") << QStringLiteral("root");
    }

    void upFailsWithAClearReason() {
        QFETCH(QString, obstacle);
        QFETCH(QString, reason);

        QTcpServer listener;
        QProcess foreignNode;
        QTemporaryDir bundleCopy;
        QVERIFY(bundleCopy.isValid());
        // Where a stand-in node that keeps running notes its pid.
        const QString standInPid = bundleCopy.filePath(QStringLiteral("started"));
        // Stand-ins for a node that fails; they pass a probe on to the real node program, which reports
        // that nothing listens on the port.
        const QByteArray standInStart =
            "#!/bin/sh\n[ \"$1\" = probe ] && exec '" + nodeProgram.toUtf8() + "' probe\n";
        QString shellText = panelShellText(resourcesDir, QStringLiteral("up"));
        if (obstacle == QStringLiteral("listener on 127.0.0.1")) {
            QVERIFY(listener.listen(QHostAddress::LocalHost, nodePort));
        } else if (obstacle == QStringLiteral("listener on any")) {
            QVERIFY(listener.listen(QHostAddress::Any, nodePort));
        } else if (obstacle == QStringLiteral("foreign node")) {
            const QString otherProgram = bundleCopy.filePath(QStringLiteral("sample-node"));
            QVERIFY(QFile::copy(nodeProgram, otherProgram));
            RETURN_IF_FAILED(startByHand(foreignNode, otherProgram));
        } else if (obstacle == QStringLiteral("no program")) {
            // The bundle's own node must not be picked up instead.
            RETURN_IF_FAILED(makeBundle(bundleCopy, QByteArray()));
            shellText = panelShellText(bundleCopy.path(), QStringLiteral("up"));
        } else if (obstacle == QStringLiteral("stops at start")) {
            RETURN_IF_FAILED(
                makeBundle(bundleCopy, standInStart + "echo 'no licence for this node' >&2\nexit 3\n"));
            shellText = panelShellText(bundleCopy.path(), QStringLiteral("up"));
        } else if (obstacle == QStringLiteral("never answers")) {
            RETURN_IF_FAILED(makeBundle(bundleCopy, standInStart + "echo $$ >'" + standInPid.toUtf8() +
                                                        "'\nexec sleep 300\n"));
            shellText = panelShellText(bundleCopy.path(), QStringLiteral("up"));
        } else if (obstacle == QStringLiteral("not root")) {
            shellText = panelShellText(resourcesDir, QStringLiteral("up"), QStringLiteral("-u nobody "));
        }

        ScriptRun run;
        RETURN_IF_FAILED(runShell(shellText, run));
        RETURN_IF_FAILED(expectFailure(run, reason));
        QVERIFY(!runsTheNode(recordedPid()));
        if (obstacle == QStringLiteral("never answers")) {
            // Given up on, and stopped.
            QFile file(standInPid);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const qint64 pid = file.readAll().trimmed().toLongLong();
            QVERIFY(pid > 0);
            QTRY_VERIFY_WITH_TIMEOUT(!isAlive(pid), 5000);
        }

        // Once the obstacle is gone, nothing of the failed start is left listening.
        listener.close();
        if (foreignNode.state() != QProcess::NotRunning) {
            QCOMPARE(foreignNode.state(), QProcess::Running); // the script left it alone
            foreignNode.terminate();
            QVERIFY(foreignNode.waitForFinished(5000));
        }
        RETURN_IF_FAILED(expectQueryResult(ServiceState::deviceStateDown));
    }

    // down returns only once the node has ended, also when it is busy or does not react to SIGTERM.
    void downWaitsUntilTheNodeHasEnded_data() {
        QTest::addColumn<bool>("busy"); // else halted with SIGSTOP, so SIGTERM never takes effect

        QTest::newRow("busy with a slow client") << true;
        QTest::newRow("not reacting to SIGTERM") << false;
    }

    void downWaitsUntilTheNodeHasEnded() {
        QFETCH(bool, busy);

        RETURN_IF_FAILED(expectSuccess(panelShellText(resourcesDir, QStringLiteral("up"))));
        const qint64 pid = recordedPid();
        QVERIFY(runsTheNode(pid));
        QTcpSocket slow;
        if (busy) {
            // Idle first: whatever connected before has been let go.
            QTRY_COMPARE_WITH_TIMEOUT(socketCount(pid), 1, 5000);
            slow.connectToHost(QHostAddress::LocalHost, nodePort);
            QVERIFY(slow.waitForConnected(5000));
            // The node has taken the connection on and is busy with it.
            QTRY_COMPARE_WITH_TIMEOUT(socketCount(pid), 2, 5000);
        } else {
            QCOMPARE(::kill(pid_t(pid), SIGSTOP), 0);
        }
        // Should down give up, the node must not stay halted for the next case.
        const auto resume = qScopeGuard([pid] {
            if (runsTheNode(pid))
                ::kill(pid_t(pid), SIGCONT);
        });

        RETURN_IF_FAILED(expectSuccess(panelShellText(resourcesDir, QStringLiteral("down"))));
        QVERIFY(!runsTheNode(pid));
        RETURN_IF_FAILED(expectQueryResult(ServiceState::deviceStateDown));
    }

    // A pid file left behind may name any process by now; manager.sh must neither signal it nor take it for
    // the node.
    void ignoresAStalePidFile_data() {
        QTest::addColumn<QString>("verb");
        QTest::addColumn<bool>("recordBystander"); // else the record is not a pid at all

        QTest::newRow("down, pid of an unrelated process") << QStringLiteral("down") << true;
        QTest::newRow("up, pid of an unrelated process") << QStringLiteral("up") << true;
        QTest::newRow("down, unreadable record") << QStringLiteral("down") << false;
        QTest::newRow("up, unreadable record") << QStringLiteral("up") << false;
    }

    void ignoresAStalePidFile() {
        QFETCH(QString, verb);
        QFETCH(bool, recordBystander);

        QProcess bystander;
        bystander.start(QStringLiteral("/bin/sleep"), {QStringLiteral("300")});
        QVERIFY(bystander.waitForStarted());
        const qint64 bystanderPid = bystander.processId();

        QVERIFY(QDir().mkpath(QFileInfo(pidFile).path()));
        QFile record(pidFile);
        QVERIFY(record.open(QIODevice::WriteOnly | QIODevice::Truncate));
        record.write(recordBystander ? QByteArray::number(bystanderPid) + '\n' : QByteArray("sample-node\n"));
        record.close();

        RETURN_IF_FAILED(expectSuccess(panelShellText(resourcesDir, verb)));
        QVERIFY(isAlive(bystanderPid));
        if (verb == QStringLiteral("up")) {
            QVERIFY(runsTheNode(recordedPid()));
            RETURN_IF_FAILED(expectQueryResult(ServiceState::deviceStateUp));
        } else {
            RETURN_IF_FAILED(expectQueryResult(ServiceState::deviceStateDown));
        }
        QCOMPARE(bystander.state(), QProcess::Running);
        bystander.kill();
        QVERIFY(bystander.waitForFinished(5000));
    }

    // A node of this bundle that runs without a record (started by hand, or its record was lost) is the
    // node: up takes it on instead of failing on the port, and down stops it.
};

QTEST_GUILESS_MAIN(TestSampleNode)
#include "tst_samplenode.moc"
