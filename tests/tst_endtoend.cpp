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
// What the pkexec stand-in does when it grants the run.
const QString granted = "exec \"$@\"";

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

// One run: the bundle's folder ("helper": with the installed helper; "open": its manager.sh open to all;
// "acl": with a hidden file that a large access control list lets others write), what the pkexec stand-in
// does with its arguments after the flag ("missing": there is none; empty: the panel runs as root, without
// it), what manager.sh does, the failure's English line (%1: the Resources folder) and exit status.
struct Run {
    QString folder, pkexec, script, message;
    int status = 0;
    QString verb = "up";
};

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

    // The real runner: its command line logged, uploaded and printed before pkexec is asked (from "/", in
    // the C locale); the script run in its own bundle, never a sibling's; its failure in English with its
    // exit status; node files that others could change refused before anything runs, as root too.
    void runsTheScript_data() {
        QTest::addColumn<Run>("run");
        const auto row = [](const char* name, const Run& run) { QTest::newRow(name) << run; };
        const QString refused = "Refused to run the node's script as administrator: %1/%2 is writable by %3, "
                                "so a program without "
                                "administrator rights could change what runs as root.";
        row("granted, a quote, a blank at the end", {"Ann's Panel ", granted, "echo out; echo note >&2"});
        row("error output", {"B", granted, "printf ' port taken\\n\\n' >&2; exit 3", "port taken", 3});
        row("no error output", {"B", granted, "read nothing; exit 4", "manager.sh exited with status 4", 4});
        row("20 MB of error output", {"B", granted, "head -c 20000000 /dev/zero | tr '\\0' x >&2; exit 5",
                                      QString(4096, 'x') + " [cut: more than 4 KiB]", 5});
        row("4 KiB of error output",
            {"B", granted, "head -c 4096 /dev/zero | tr '\\0' x >&2; exit 5", QString(4096, 'x'), 5});
        row("dismissed", {"B",
                          "echo 'Error executing command as another user: Request dismissed' >&2; exit 126",
                          {},
                          "The administrator password request was dismissed.",
                          126});
        row("killed",
            {"B", "kill -KILL $$", {}, "manager.sh did not finish: the process running it was killed.", -1});
        row("missing",
            {"B",
             "missing",
             {},
             "/none is not installed, so the node's script cannot run as administrator: install the "
             "Debian package pkexec.",
             -1});
        row("through the installed helper", {"helper", granted, "echo note >&2"});
        row("another verb, beside the helper", {.folder = "helper", .pkexec = granted, .verb = "status"});
        row("as root, manager.sh open to all",
            {"open", "", {}, refused.arg("%1", "manager.sh", "all users"), -1});
        row("a large access control list on a hidden file",
            {"acl", granted, {}, refused.arg("%1", ".env", "uid 65534 through its access control list"), -1});
    }

    void runsTheScript() {
        QFETCH(Run, run);
        const bool refusal = run.folder == "open" || run.folder == "acl",
                   asked = !run.pkexec.isEmpty() && run.pkexec != "missing" && !refusal,
                   scriptRuns = run.pkexec == granted && !refusal;
        if (scriptRuns && !root)
            QSKIP("needs root: sudo must not ask for a password");
        // tmpfs keeps an access control list of any size.
        QTemporaryDir temp((run.folder == "acl" ? "/dev/shm" : QDir::tempPath()) + "/nodepanel-XXXXXX");
        const QString bundle = temp.filePath(run.folder), here = bundle + "/Contents/Resources",
                      trace = temp.filePath("trace");
        // A sibling without the blank at the end: its script must never run instead.
        for (const QString& resources :
             QSet<QString>{temp.filePath(run.folder.trimmed()) + "/Contents/Resources", here}) {
            QVERIFY(QDir().mkpath(resources) && QFile::link("/bin/bash", resources + "/bash"));
            QVERIFY(
                writeScript(resources + "/manager.sh", "echo \"$*|$PWD\" >> " + trace + "\n" + run.script));
        }
        QVERIFY(run.folder != "helper" || (QDir().mkpath(bundle + "/Contents/libexec") &&
                                           QFile::copy(NODEPANEL_HELPER, nodeHelperPath(bundle))));
        QVERIFY(run.folder != "open" ||
                QFile::setPermissions(here + "/manager.sh", QFileDevice::Permissions(0x7777)));
        // An access control list past any fixed buffer: 1,100 named users who may read, then one who may
        // write.
        QVERIFY(run.folder != "acl" ||
                (writeScript(here + "/.env", "") &&
                 QProcess::execute("sh", {"-c", "setfacl -m $(seq -f u:%g:r -s, 20000 21099),u:65534:w " +
                                                    here + "/.env"}) == 0));
        QVERIFY(writeScript(temp.filePath("pkexec"),
                            "echo \"$PWD|$LC_ALL|$*|$(cat $OUT)\" >> " + trace + "\nshift\n" + run.pkexec));
        const HostConfig config{.accountBaseUrl = account.url(),
                                .bundlePath = bundle,
                                .elevate = !run.pkexec.isEmpty(),
                                .elevationProgram =
                                    run.pkexec == "missing" ? "/none" : temp.filePath("pkexec"),
                                .trustedOwnerUid = ::geteuid()};

        Capture log(true);
        qputenv("OUT", log.file.fileName().toUtf8());
        auto job = std::async(std::launch::async,
                              [&] { return Utils::runPrivilegedScript(config, "./manager.sh " + run.verb); });
        QTRY_VERIFY_WITH_TIMEOUT(job.wait_for(0s) == std::future_status::ready, 20000);
        const std::optional<ScriptFailure> failure = job.get();
        const QString line = "command [./manager.sh " + run.verb + "] path [" + bundle + "]";
        QCOMPARE(log.printed() + log.lines(), QStringList(2, line));
        QTRY_COMPARE(account.requests.value(0).fields()["l"], line);
        account.requests.clear();
        QCOMPARE(failure ? scriptFailureLine(*failure) + '|' + QString::number(failure->exitStatus) : "|0",
                 run.message.arg(here) + '|' + QString::number(run.status));
        // An installed helper is asked for by name, with the verb; otherwise the shell, with its lines.
        const QString elevated =
            run.folder == "helper" && run.verb == "up"
                ? nodeHelperPath(bundle) + " up"
                : "/bin/sh -c " + privilegedShellText(bundle, "./manager.sh " + run.verb);
        QFile traced(trace);
        QCOMPARE(
            traced.open(QIODevice::ReadOnly) ? QString(traced.readAll()) : "",
            (asked ? "/|C|--disable-internal-agent " + elevated + '|' + encodedLogLine(line) + '\n' : "") +
                (scriptRuns ? run.verb + '|' + here + '\n' : ""));
    }

    // manager.sh keeps its word, with the sample node and with one that takes its time to answer and to go:
    // "up" returns only once the node answers, "down" only once it is gone, both idempotent; a stale pid
    // file never gets a bystander signalled; another verb fails. Then the panel drives the sample node from
    // its buttons, through the real runner, and the node answers on the loopback address alone.
    void drivesTheSampleNode() {
        if (!root)
            QSKIP("needs root: the node runs as root on port 8080");
        QTemporaryDir slow;
        const QString resources = slow.filePath("Contents/Resources");
        QVERIFY(QDir().mkpath(resources) && QFile::link("/bin/bash", resources + "/bash") &&
                QFile::copy(NODEPANEL_SOURCE_DIR "/resources/manager.sh", resources + "/manager.sh") &&
                QFile::copy(NODEPANEL_SLOW_NODE, resources + "/sample-node"));
        const auto stopSlow = qScopeGuard([&slow] { manager("down", slow.path()); });
        QProcess bystander;
        bystander.start("sleep", {"30"});
        QVERIFY(bystander.waitForStarted());
        for (const QString& bundle : {QString(NODEPANEL_BUNDLE_DIR), slow.path()}) {
            QFile pidFile("/run/nodepanel-sample-node/sample-node.pid");
            QVERIFY(pidFile.open(QIODevice::WriteOnly) &&
                    pidFile.write(QByteArray::number(bystander.processId())));
            pidFile.close();
            for (const char* verb : {"down", "up", "up"})
                QCOMPARE(manager(verb, bundle), 0);
            QVERIFY2(nodeAnswers(), qPrintable(bundle));
            for (const char* verb : {"down", "down"})
                QCOMPARE(manager(verb, bundle), 0);
            QVERIFY2(!nodeAnswers(), qPrintable(bundle));
        }
        QVERIFY(manager("sideways") != 0 && bystander.state() == QProcess::Running);

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
        QVERIFY(nodeAnswers() && !nodeAnswers("127.0.0.2") && !nodeAnswers("::1"));
        panel.click("stopButton");
        QTRY_COMPARE_WITH_TIMEOUT(panel.view(), View::Stopped, 20000);
    }

    // The helper that root runs takes "up" or "down" and nothing else, before it looks at anything.
    void takesOnlyItsVerbs_data() {
        QTest::addColumn<QStringList>("arguments");
        for (const QStringList& arguments :
             QList<QStringList>{{}, {"up; touch /x"}, {"UP"}, {"dow"}, {"up", "up"}})
            QTest::newRow(qPrintable('[' + arguments.join("] [") + ']')) << arguments;
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
        while (!said.contains("window load") && panel.waitForReadyRead(10000))
            said += panel.readAll();
        QVERIFY2(
            said.contains("Node Panel is already running, but it does not answer in time: this panel runs "
                          "on its own.") &&
                said.contains("window load"),
            said.constData());
    }

    // The command line is answered without a display (where a GUI that started would end at once, loudly),
    // in the user's language, and leaves the panel that runs in the session alone; a launch without
    // arguments brings that panel's window forward and ends. What it prints (%1: its path) goes to standard
    // error when it fails.
    void answersItsCommandLine_data() {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output");
        QTest::newRow("version") << "C" << QStringList{"--version"} << 0
                                 << "nodepanel " NODEPANEL_VERSION "\n";
        QTest::newRow("help")
            << "C" << QStringList{"-h"} << 0
            << "Usage: %1 [options]\nShows whether the network node on this computer runs, "
               "and starts or stops it.\n\nOptions:\n  -h, --help     Displays this help.\n  "
               "-v, --version  Displays version information.\n";
        QTest::newRow("an option, German")
            << "de_DE" << QStringList{"-frob", "xcb"} << 2
            << "nodepanel: Unbekannte Option 'frob'.\nWeitere Informationen mit 'nodepanel --help'.\n";
        QTest::newRow("a second launch") << "C" << QStringList() << 0 << "";
    }

    void answersItsCommandLine() {
        QFETCH(QString, language);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, output);
        QWidget first;
        first.showMinimized();
        SessionInstance instance;
        QCOMPARE(instance.claim(), std::nullopt);
        instance.setWindow(&first);
        QProcess panel;
        panel.start("env",
                    QStringList{"-u", "DISPLAY", "-u", "LANGUAGE", "LC_ALL=" + language + ".UTF-8",
                                arguments.isEmpty() ? "QT_QPA_PLATFORM=offscreen" : "QT_QPA_PLATFORM=xcb",
                                NODEPANEL_EXECUTABLE} +
                        arguments);
        QTRY_COMPARE_WITH_TIMEOUT(panel.state(), QProcess::NotRunning, 10000);
        QCOMPARE(panel.exitCode(), status);
        QCOMPARE(status ? panel.readAllStandardError() : panel.readAllStandardOutput(),
                 output.arg(NODEPANEL_EXECUTABLE));
        QCOMPARE(first.isMinimized(), !arguments.isEmpty());
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
