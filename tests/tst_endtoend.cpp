// Real processes: the script runner with pkexec stand-ins, the sample node driven from the panel's buttons
// on port 8080, and the built panel ended by a signal. What runs "sudo ./bash" or owns port 8080 needs
// root; CTest gives this suite a network namespace of its own when it can.
#include "app/application.h"
#include "app/sessioninstance.h"
#include "host/nodefiles.h"
#include "host/remotelog.h"
#include "host/scriptrunner.h"
#include "host/utils.h"

#include "testsupport.h"

#include <fcntl.h>
#include <future>
#include <signal.h>

using namespace std::chrono_literals;

namespace {

const bool root = ::geteuid() == 0;

bool writeScript(const QString& path, const QString& text) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\n" + text.toUtf8()) &&
           file.setPermissions(QFileDevice::Permissions(0x7755));
}

// The shell lines as the panel runs them, as root, in the build tree's bundle or another.
int manager(const QString& verb, const QString& bundle = NODEPANEL_BUNDLE_DIR) {
    return QProcess::execute(
        "/bin/sh", {"-c", "cd " + bundle + "/Contents/Resources\nsudo ./bash ./manager.sh " + verb});
}

bool nodeAnswers(const char* address = "127.0.0.1") {
    QTcpSocket socket;
    socket.connectToHost(address, 8080);
    return socket.waitForConnected(2000);
}

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

private:
    TestHttpServer account;

private slots:
    void initTestCase() {
        QVERIFY(account.start());
        QVERIFY(!root || manager("down") == 0);
    }

    void cleanupTestCase() { QVERIFY(!root || manager("down") == 0); }

    // The runner in a bundle whose manager.sh notes its words and folder, through a stand-in for pkexec
    // that notes its folder, its locale, its arguments, and what was printed when it started.
    // The bundle's folder, what the pkexec stand-in does with its arguments after the flag ("missing": there
    // is none; empty: the panel runs as root, without it), what manager.sh does, and the failure's message
    // (%1: the Resources folder) and exit status. Both note in one trace what they were given.
    void runsTheScript_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("pkexec");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("verb");
        const auto row = [](const char* name, const QString& folder, const QString& pkexec,
                            const QString& script, const QString& message, int status,
                            const QString& verb = "up") {
            QTest::newRow(name) << folder << pkexec << script << message << status << verb;
        };
        const QString runs = "exec \"$@\"", as = "Error executing command as another user: ",
                      refused =
                          "Refused to run the node's script as administrator: %1/%2 is writable by %3, so a "
                          "program without administrator rights could change what runs as root.";
        row("granted, a quote, a blank at the end", "Ann's Panel ", runs, "echo out; echo note >&2", {}, 0);
        row("error output", "B", runs, "printf ' port taken\\n\\n' >&2; exit 3", "port taken", 3);
        row("no error output", "B", runs, "read nothing; exit 4", "manager.sh exited with status 4", 4);
        row("20 MB of error output", "B", runs, "head -c 20000000 /dev/zero | tr '\\0' x >&2; exit 5",
            QString(4096, 'x') + " [cut: more than 4 KiB]", 5);
        row("dismissed", "B", "echo '" + as + "Request dismissed' >&2; exit 126", {},
            "The administrator password request was dismissed.", 126);
        row("killed", "B", "kill -KILL $$", {},
            "manager.sh did not finish: the process running it was killed.", -1);
        row("missing", "B", "missing", {},
            "/none is not installed, so the node's script cannot run as administrator: install the Debian "
            "package pkexec.",
            -1);
        row("4 KiB of error output", "B", runs, "head -c 4096 /dev/zero | tr '\\0' x >&2; exit 5",
            QString(4096, 'x'), 5);
        row("through the installed helper", "helper", runs, "echo note >&2", {}, 0);
        row("another verb, beside the helper", "helper", runs, "", {}, 0, "status");
        row("manager.sh open to all", "open", runs, {}, refused.arg("%1", "manager.sh", "all users"), -1);
        row("as root, manager.sh open to all", "open", "", {}, refused.arg("%1", "manager.sh", "all users"),
            -1);
        row("an access control list on a hidden file lets nobody write", "acl", runs, {},
            refused.arg("%1", ".env", "uid 65534 through its access control list"), -1);
    }

    void runsTheScript() {
        QFETCH(QString, folder);
        QFETCH(QString, pkexec);
        QFETCH(QString, script);
        QFETCH(QString, message);
        QFETCH(int, status);
        QFETCH(QString, verb);
        const bool refusal = folder == "open" || folder == "acl",
                   scriptRuns = pkexec == "exec \"$@\"" && !refusal,
                   asked = !pkexec.isEmpty() && pkexec != "missing" && !refusal;
        if (scriptRuns && !root)
            QSKIP("needs root: sudo must not ask for a password");
        QTemporaryDir temp;
        const QString bundle = temp.filePath(folder), here = bundle + "/Contents/Resources",
                      trace = temp.filePath("trace");
        // A sibling without the blank at the end: its script must never run instead.
        for (const QString& resources :
             QSet<QString>{temp.filePath(folder.trimmed()) + "/Contents/Resources", here}) {
            QVERIFY(QDir().mkpath(resources) && QFile::link("/bin/bash", resources + "/bash"));
            QVERIFY(writeScript(resources + "/manager.sh", "echo \"$*|$PWD\" >> " + trace + "\n" + script));
        }
        QVERIFY(folder != "helper" || (QDir().mkpath(bundle + "/Contents/libexec") &&
                                       QFile::copy(NODEPANEL_HELPER, nodeHelperPath(bundle))));
        QVERIFY(folder != "open" ||
                QFile::setPermissions(here + "/manager.sh", QFileDevice::Permissions(0x7777)));
        QVERIFY(folder != "acl" || (writeScript(here + "/.env", "") &&
                                    QProcess::execute("setfacl", {"-m", "u:65534:w", here + "/.env"}) == 0));
        QVERIFY(writeScript(temp.filePath("pkexec"),
                            "echo \"$PWD|$LC_ALL|$*|$(cat $OUT)\" >> " + trace + "\nshift\n" + pkexec));
        HostConfig config;
        config.accountBaseUrl = account.url();
        config.bundlePath = bundle;
        config.elevate = !pkexec.isEmpty();
        config.trustedOwnerUid = ::geteuid();
        config.elevationProgram = pkexec == "missing" ? "/none" : temp.filePath("pkexec");

        Capture log(true);
        qputenv("OUT", log.file.fileName().toUtf8());
        auto job = std::async(std::launch::async,
                              [&] { return Utils::runPrivilegedScript(config, "./manager.sh " + verb); });
        QTRY_VERIFY_WITH_TIMEOUT(job.wait_for(0s) == std::future_status::ready, 20000);
        const std::optional<ScriptFailure> failure = job.get();
        const QString line = "command [./manager.sh " + verb + "] path [" + bundle + "]";
        QCOMPARE(log.printed() + log.lines(), QStringList(2, line));
        QTRY_COMPARE(account.requests.value(0).fields()["l"], line);
        account.requests.clear();
        QCOMPARE(failure ? scriptFailureLine(*failure) + '|' + QString::number(failure->exitStatus) : "|0",
                 message.arg(here) + '|' + QString::number(status));
        // An installed helper is asked for by name, with the verb; otherwise the shell, with its lines.
        const QString run = folder == "helper" && verb == "up"
                                ? nodeHelperPath(bundle) + " up"
                                : "/bin/sh -c " + privilegedShellText(bundle, "./manager.sh " + verb);
        QFile traced(trace);
        QCOMPARE(traced.open(QIODevice::ReadOnly) ? QString(traced.readAll()) : "",
                 (asked ? "/|C|--disable-internal-agent " + run + '|' + encodedLogLine(line) + '\n' : "") +
                     (scriptRuns ? verb + '|' + here + '\n' : ""));
    }

    // An access control list of any size is read whole: on tmpfs, 1,101 named users past any fixed
    // buffer, the last of whom may write manager.sh.
    void refusesALargeAccessControlList() {
        QTemporaryDir temp("/dev/shm/nodepanel-XXXXXX");
        const QString here = temp.filePath("Contents/Resources"), script = here + "/manager.sh";
        QVERIFY(QDir().mkpath(here) && QFile::link("/bin/bash", here + "/bash") && writeScript(script, ""));
        QStringList entries;
        for (int uid = 20000; uid < 21100; ++uid)
            entries.append(QString("u:%1:r").arg(uid));
        entries.append("u:65534:w");
        QCOMPARE(QProcess::execute("setfacl", {"-m", entries.join(','), script}), 0);
        const std::optional<FileRefusal> refused = untrustedNodeFiles(temp.path(), ::geteuid());
        QCOMPARE(refused ? refusalText(*refused) : QString(),
                 "Refused to run the node's script as administrator: " + script +
                     " is writable by uid 65534 through its access control list, so a program without "
                     "administrator rights could change what runs as root.");
    }

    // manager.sh keeps its word: both verbs idempotent, and a stale pid file never gets a bystander
    // signalled. Then the panel drives the node from its buttons, through the real runner.
    void drivesTheSampleNode() {
        if (!root)
            QSKIP("needs root: the node runs as root on port 8080");
        QProcess bystander;
        bystander.start("sleep", {"30"});
        QVERIFY(bystander.waitForStarted());
        QFile pidFile("/run/nodepanel-sample-node/sample-node.pid");
        QVERIFY(pidFile.open(QIODevice::WriteOnly) &&
                pidFile.write(QByteArray::number(bystander.processId())));
        pidFile.close();
        for (const char* verb : {"down", "up", "up"})
            QCOMPARE(manager(verb), 0);
        QVERIFY(nodeAnswers());
        for (const char* verb : {"down", "down"})
            QCOMPARE(manager(verb), 0);
        QVERIFY(!nodeAnswers() && manager("sideways") != 0 && bystander.state() == QProcess::Running);

        Panel panel;
        panel.config = productionConfig();
        panel.config.accountBaseUrl = account.url();
        panel.config.bundlePath = NODEPANEL_BUNDLE_DIR;
        panel.config.elevate = false;
        panel.config.scriptPause = 500ms;
        panel.config.clockPeriod = 0ms;
        panel.settings.setValue("agree", true);
        QVERIFY(panel.openAsConfigured());
        panel.click("startButton");
        QTRY_COMPARE_WITH_TIMEOUT(panel.view(), View::Running, 20000);
        QVERIFY(nodeAnswers());
        // On the loopback address alone: nothing else on this computer reaches it.
        QVERIFY(!nodeAnswers("127.0.0.2"));
        QVERIFY(!nodeAnswers("::1"));
        panel.click("stopButton");
        QTRY_COMPARE_WITH_TIMEOUT(panel.view(), View::Stopped, 20000);
        QVERIFY(!nodeAnswers());
    }

    // With a node that takes its time, "up" returns only once it answers, "down" only once it is gone.
    void waitsForASlowNode() {
        if (!root)
            QSKIP("needs root: the node runs as root on port 8080");
        QTemporaryDir bundle;
        const QString resources = bundle.filePath("Contents/Resources");
        QVERIFY(QDir().mkpath(resources));
        QVERIFY(QFile::copy(NODEPANEL_SOURCE_DIR "/resources/manager.sh", resources + "/manager.sh"));
        QVERIFY(QFile::copy(NODEPANEL_SLOW_NODE, resources + "/sample-node"));
        QVERIFY(QFile::link("/bin/bash", resources + "/bash"));
        QCOMPARE(manager("up", bundle.path()), 0);
        QVERIFY(nodeAnswers());
        QCOMPARE(manager("down", bundle.path()), 0);
        QVERIFY(!nodeAnswers());
    }

    // The helper that root runs takes "up" or "down" and nothing else, before it looks at anything.
    void takesOnlyItsVerbs_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("none") << QStringList();
        QTest::newRow("more") << QStringList{"up; touch /x"};
        QTest::newRow("another case") << QStringList{"UP"};
        QTest::newRow("a prefix") << QStringList{"dow"};
        QTest::newRow("two") << QStringList{"up", "up"};
    }

    void takesOnlyItsVerbs() {
        QFETCH(QStringList, arguments);
        QProcess helper;
        helper.start(NODEPANEL_HELPER, arguments);
        QVERIFY(helper.waitForFinished(10000));
        QCOMPARE(helper.exitCode(), 2);
        QCOMPARE(helper.readAllStandardError(), "Usage: nodepanel-manager up|down\n");
    }

    // The built panel: its launch line, its first check at the node's own address after its pause, and a
    // clean end on a signal (Ctrl+C, a closed terminal, a shut-down) whether the node runs or not; also with
    // standard output and error a full pipe that nobody reads.
    void endsOnASignal() {
        for (const int signal : {SIGINT, SIGHUP, SIGTERM}) {
            TestHttpServer node;
            const bool nodeRuns = signal != SIGINT && root && node.start(8080), stuck = signal == SIGTERM;
            node.setReply(200, stateReply(up));
            // A pipe of one page, full before the panel starts.
            int pipe[2];
            QVERIFY(::pipe(pipe) == 0 && ::fcntl(pipe[1], F_SETPIPE_SZ, 4096) == 4096);
            QVERIFY(!stuck || ::write(pipe[1], QByteArray(4096, 'x').constData(), 4096) == 4096);
            QProcess panel;
            if (stuck)
                panel.setChildProcessModifier([pipe] { ::dup2(pipe[1], 1), ::dup2(pipe[1], 2); });
            panel.start(NODEPANEL_EXECUTABLE);
            QByteArray errors;
            QTRY_VERIFY_WITH_TIMEOUT(stuck || (errors += panel.readAllStandardError()).contains("checking"),
                                     10000);
            QTRY_COMPARE_WITH_TIMEOUT(node.requests.value(0).line, nodeRuns ? "GET /get_status HTTP/1.1" : "",
                                      10000);
            ::kill(panel.processId(), signal);
            QVERIFY(panel.waitForFinished(2000) && panel.exitStatus() == QProcess::NormalExit &&
                    panel.exitCode() == 0);
            const QString out = panel.readAllStandardOutput();
            QVERIFY2(stuck || QRegularExpression("^sys Mac \\d+\\.\\d+\\.\\d+\\n$").match(out).hasMatch(),
                     qPrintable(out));
            // The pause before the first check, as the timestamps of the lines show.
            const QStringList lines = QString::fromUtf8(errors).split('\n');
            const auto at = [&lines](const char* text) {
                return QTime::fromString(lines.filter(text).value(0).mid(11, 12), "HH:mm:ss.zzz")
                    .msecsSinceStartOfDay();
            };
            QVERIFY(stuck || at("checking status..") - at("window load") >= 190);
            ::close(pipe[0]), ::close(pipe[1]);
        }
    }

    // A panel that holds the session's name but does not answer in time is told apart from one that
    // answers: the new launch runs on its own and says so. This process holds the name, and reads the
    // launch without running its event loop, so it never answers.
    void runsBesideASilentPanel() {
        SessionInstance holder;
        QCOMPARE(holder.claim(), std::nullopt);
        QProcess panel;
        panel.setProcessChannelMode(QProcess::MergedChannels);
        panel.start("env", {"QT_QPA_PLATFORM=offscreen", NODEPANEL_EXECUTABLE});
        QByteArray said;
        const QDeadlineTimer deadline(10000);
        while (!said.contains("window load") && panel.waitForReadyRead(int(deadline.remainingTime())))
            said += panel.readAll();
        ::kill(panel.processId(), SIGTERM);
        QVERIFY(panel.waitForFinished(10000));
        said += panel.readAll();
        QCOMPARE(panel.exitCode(), 0);
        QVERIFY2(
            said.contains("Node Panel is already running, but it does not answer in time: this panel runs on "
                          "its own.") &&
                said.contains("window load"),
            said.constData());
    }

    // The command line is answered without a display, in the user's language, and leaves the panel that
    // runs in the session alone; a launch without arguments brings that panel's window forward and ends.
    // The environment (without a display, a GUI that started would end at once, loudly), the arguments, the
    // exit status, and what the launch prints (%1: its path), on standard error when it fails.
    void answersItsCommandLine_data() {
        QTest::addColumn<QString>("environment");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output");
        const auto row = [](const char* name, const char* environment, const QStringList& arguments,
                            int status, const QString& output) {
            QTest::newRow(name) << QString(environment) << arguments << status << output;
        };
        const char* c = "LC_ALL=C.UTF-8 QT_QPA_PLATFORM=xcb";
        row("version", c, {"--version"}, 0, "nodepanel " NODEPANEL_VERSION "\n");
        row("help", c, {"-h"}, 0,
            "Usage: %1 [options]\nShows whether the network node on this computer runs, and starts or stops "
            "it.\n\nOptions:\n  -h, --help     Displays this help.\n  -v, --version  Displays version "
            "information.\n");
        row("an argument", c, {"--version", "up"}, 2,
            "nodepanel: Unexpected argument 'up'.\nTry 'nodepanel --help' for more information.\n");
        row("an option, German", "LC_ALL=de_DE.UTF-8 QT_QPA_PLATFORM=xcb", {"-frob", "xcb"}, 2,
            "nodepanel: Unbekannte Option 'frob'.\nWeitere Informationen mit 'nodepanel --help'.\n");
        row("a second launch", "LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen", {}, 0, "");
    }

    void answersItsCommandLine() {
        QFETCH(QString, environment);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, output);
        Panel first;
        QVERIFY(first.open(down));
        SessionInstance instance;
        QCOMPARE(instance.claim(), std::nullopt);
        instance.setWindow(first.window.get());
        first.window->showMinimized();
        QProcess panel;
        panel.start("env", QStringList{"-u", "DISPLAY", "-u", "LANGUAGE"} + environment.split(' ') +
                               QStringList{NODEPANEL_EXECUTABLE} + arguments);
        QTRY_COMPARE_WITH_TIMEOUT(panel.state(), QProcess::NotRunning, 10000);
        QCOMPARE(panel.exitCode(), status);
        QCOMPARE(status ? panel.readAllStandardError() : panel.readAllStandardOutput(),
                 output.arg(NODEPANEL_EXECUTABLE));
        QCOMPARE(first.window->isMinimized(), !arguments.isEmpty());
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
