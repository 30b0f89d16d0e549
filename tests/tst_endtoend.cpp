// Real processes: the script runner with pkexec stand-ins, the sample node driven from the panel's buttons
// on port 8080, and the built panel: its command line, and its run ended by a signal. What runs "sudo ./bash"
// or owns port 8080 needs root; CTest gives this suite a network namespace of its own when it can.
#include "app/sessioninstance.h"
#include "host/nodefiles.h"
#include "host/remotelog.h"
#include "host/scriptrunner.h"

#include "testsupport.h"

#include <QLocalServer>

#include <fcntl.h>
#include <future>
#include <signal.h>

using namespace std::chrono_literals;

namespace {

const bool root = ::geteuid() == 0;
// What the pkexec stand-in does when it grants the run.
const QString granted = "exec \"$@\"";

bool writeScript(const QString& path, const QString& text, int permissions = 0x7755) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\n" + text.toUtf8()) &&
           file.setPermissions(QFileDevice::Permissions(permissions));
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

// One run: what manager.sh does, the failure's English line (%1: the Resources folder) and exit status, the
// bundle's folder ("helper": with the installed helper; "open": its manager.sh open to all; "acl": with a
// hidden file that a large access control list lets others write), what the pkexec stand-in does with its
// arguments after the flag ("missing": there is none; empty: the panel runs as root, without it).
struct Run {
    QString script, message = {};
    int status = 0;
    QString folder = "B", pkexec = granted, verb = "up";
};

// A command line and what it is answered with (%1: the panel's path), in the user's language, by the panel
// or by the helper that root runs.
struct Answer {
    QStringList arguments;
    int status;
    QString output, language = "C";
    bool helper = false;
};

// A launch that starts the panel (with arguments: beside a silent session bus), the signal that ends it,
// what else it meets, and the line it says of that.
struct Launch {
    int signal;
    QStringList arguments = {};
    bool nodeRuns = false, silentPanel = false, stuck = false;
    QString said = {};
};

class TestEndToEnd : public QObject {
    Q_OBJECT

private:
    TestHttpServer account;
    // A session bus that accepts and never speaks, at its address.
    QTemporaryDir temp;
    QLocalServer bus;
    QString silent;

    // The built panel, offscreen, in the language given. With arguments, without a display and with a silent
    // session bus: only an option can give it its platform, and no answer may wait for the bus.
    void launch(QProcess& panel, const QStringList& arguments, const QString& language = "C",
                const QString& program = NODEPANEL_EXECUTABLE) {
        panel.start("env", QStringList{"-u", "DISPLAY", "-u", "LANGUAGE", "LC_ALL=" + language + ".UTF-8"} +
                               (arguments.isEmpty() ? QStringList{"QT_QPA_PLATFORM=offscreen"}
                                                    : QStringList{"QT_QPA_PLATFORM=xcb",
                                                                  "DBUS_SESSION_BUS_ADDRESS=" + silent}) +
                               QStringList{program} + arguments);
    }

private slots:
    void initTestCase() {
        QVERIFY(account.start() && bus.listen(temp.filePath("bus")));
        silent = "unix:path=" + bus.fullServerName();
        QVERIFY(!root || manager("down") == 0);
    }

    void cleanupTestCase() { QVERIFY(!root || manager("down") == 0); }

    // The real runner: its command line logged, uploaded and printed before pkexec is asked (from "/", in
    // the C locale); the script run in its own bundle, never a sibling's; its failure in English with its
    // exit status; node files that others could change refused before anything runs, as root too.
    void runsTheScript_data() {
        QTest::addColumn<Run>("run");
        const auto row = [](const char* name, const Run& run) { QTest::newRow(name) << run; };
        const QString refused =
            "Refused to run the node's script as administrator: %1/%2 is writable by %3, so "
            "a program without administrator rights could change what runs as root.";
        const QString errors = "head -c %1 /dev/zero | tr '\\0' x >&2; exit 5";
        const QString dismiss =
            "echo 'Error executing command as another user: Request dismissed' >&2; exit 126";
        const QString noPkexec = "/none is not installed, so the node's script cannot run as administrator: "
                                 "install the Debian package pkexec.";
        row("granted, a quote, a blank at the end", {"echo out; echo note >&2", {}, 0, "Ann's Panel "});
        row("error output", {"printf ' port taken\\n\\n' >&2; exit 3", "port taken", 3});
        row("no error output", {"read nothing; exit 4", "manager.sh exited with status 4", 4});
        row("20 MB of error output",
            {errors.arg(20000000), QString(4096, 'x') + " [cut: more than 4 KiB]", 5});
        row("4 KiB of error output", {errors.arg(4096), QString(4096, 'x'), 5});
        row("dismissed", {{}, "The administrator password request was dismissed.", 126, "B", dismiss});
        row("killed",
            {{}, "manager.sh did not finish: the process running it was killed.", -1, "B", "kill -KILL $$"});
        row("missing", {{}, noPkexec, -1, "B", "missing"});
        row("through the installed helper", {"echo note >&2", {}, 0, "helper"});
        row("another verb, beside the helper", {.folder = "helper", .verb = "status"});
        row("as root, manager.sh open to all",
            {{}, refused.arg("%1", "manager.sh", "all users"), -1, "open", ""});
        row("a large access control list on a hidden file",
            {{}, refused.arg("%1", ".env", "uid 65534 through its access control list"), -1, "acl"});
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
            QVERIFY(QDir().mkpath(resources) && QFile::link("/bin/bash", resources + "/bash") &&
                    writeScript(resources + "/manager.sh", "echo \"$*|$PWD\" >> " + trace + "\n" + run.script,
                                run.folder == "open" ? 0x7777 : 0x7755));
        }
        QVERIFY(run.folder != "helper" || (QDir().mkpath(bundle + "/Contents/libexec") &&
                                           QFile::copy(NODEPANEL_HELPER, nodeHelperPath(bundle))));
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
                 QString(run.message).replace("%1", here) + '|' + QString::number(run.status));
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

    // manager.sh keeps its word with a node that takes its time to answer and to go: "up" returns only once
    // the node answers, "down" only once it is gone, both idempotent; a stale pid file never gets a
    // bystander signalled; another verb fails. Then the panel drives the sample node from its buttons,
    // through the real runner, and the node answers on the loopback address alone.
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
        QFile pidFile("/run/nodepanel-sample-node/sample-node.pid");
        QVERIFY(pidFile.open(QIODevice::WriteOnly) &&
                pidFile.write(QByteArray::number(bystander.processId())));
        pidFile.close();
        for (const QString verb : {"down", "up", "up", "down", "down"})
            QVERIFY2(manager(verb, slow.path()) == 0 && nodeAnswers() == (verb == "up"), qPrintable(verb));
        QVERIFY(manager("sideways") != 0 && bystander.state() == QProcess::Running);

        Panel panel;
        panel.config = productionConfig();
        panel.config.accountBaseUrl = account.url();
        panel.config.bundlePath = NODEPANEL_BUNDLE_DIR;
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

    // The command line is answered before anything else, so without a display (where a GUI that started
    // would end at once, loudly) and without a word to a silent session bus, in the user's language: Qt's
    // options are Qt's, "--" ends the options, any other argument is refused with its control characters
    // escaped, and a version that cannot be written fails. A launch without arguments brings the window of
    // the panel that runs in the session forward and ends. What it prints (%1: its path) goes to standard
    // error when it fails. The helper that root runs takes "up" or "down" and nothing else, before it looks
    // at anything.
    void answersItsCommandLine_data() {
        QTest::addColumn<Answer>("row");
        const auto row = [](const char* name, const Answer& row) { QTest::newRow(name) << row; };
        row("version", {{"--version"}, 0, "nodepanel " NODEPANEL_VERSION "\n"});
        row("help",
            {{"-h"},
             0,
             "Usage: %1 [options]\nShows whether the network node on this computer runs, and starts or "
             "stops it.\n\nOptions:\n  -h, --help     Displays this help.\n  -v, --version  Displays "
             "version information.\n"});
        row("an option, German",
            {{"-frob", "xcb"},
             2,
             "nodepanel: Unbekannte Option 'frob'.\nWeitere Informationen mit 'nodepanel --help'.\n",
             "de_DE"});
        row("after --, escaped",
            {{"--", QString("--version\x1b]0;x\x07") + QChar(0x9b)},
             2,
             "nodepanel: Unexpected argument '--version\\x1B]0;x\\x07\\x9B'.\nTry 'nodepanel "
             "--help' for more information.\n"});
        row("a full disk",
            {{"--version"}, 1, "nodepanel: Cannot write to standard output: No space left on device\n"});
        row("a second launch", {{}, 0, ""});
        for (const QStringList& arguments :
             QList<QStringList>{{}, {"up; touch /x"}, {"UP"}, {"dow"}, {"up", "up"}})
            QTest::addRow("helper, '%s'", qPrintable(arguments.join(' ')))
                << Answer{arguments, 2, "Usage: nodepanel-manager up|down\n", "C", true};
    }

    void answersItsCommandLine() {
        QFETCH(Answer, row);
        QWidget first;
        first.showMinimized();
        SessionInstance instance;
        QCOMPARE(instance.claim(), std::nullopt);
        instance.setWindow(&first);
        QProcess panel;
        if (row.status == 1)
            panel.setStandardOutputFile("/dev/full");
        launch(panel, row.arguments, row.language, row.helper ? NODEPANEL_HELPER : NODEPANEL_EXECUTABLE);
        QTRY_COMPARE_WITH_TIMEOUT(panel.state(), QProcess::NotRunning, 10000);
        QCOMPARE(std::pair(panel.exitCode(),
                           row.status ? panel.readAllStandardError() : panel.readAllStandardOutput()),
                 std::pair(row.status, QString(row.output).replace("%1", NODEPANEL_EXECUTABLE).toUtf8()));
        QCOMPARE(first.isMinimized(), !row.arguments.isEmpty() || row.helper);
    }

    // The built panel: a silent session bus, or a panel that holds the session's name and does not answer
    // in time, holds up no window and is named once; the launch line, the first check at the node's own
    // address after its pause, and a clean end on a signal (Ctrl+C, a closed terminal, a shut-down),
    // whether the node runs or not; also with standard output and error a full pipe that nobody reads.
    void endsOnASignal_data() {
        QTest::addColumn<Launch>("row");
        const auto row = [](const char* name, const Launch& row) { QTest::newRow(name) << row; };
        row("SIGINT, Qt's options, a silent bus",
            {.signal = SIGINT,
             .arguments = {"-session", "1a2b", "-platform", "offscreen", "--"},
             .said = "The session bus does not answer: this panel runs on its own."});
        row("SIGHUP, beside a silent panel", {.signal = SIGHUP,
                                              .nodeRuns = true,
                                              .silentPanel = true,
                                              .said = "Node Panel is already running, but it does not answer "
                                                      "in time: this panel runs on its own."});
        row("SIGTERM, output a full pipe", {.signal = SIGTERM, .nodeRuns = true, .stuck = true});
    }

    void endsOnASignal() {
        QFETCH(Launch, row);
        TestHttpServer node;
        const bool nodeRuns = row.nodeRuns && root && node.start(8080);
        node.setReply(200, stateReply(up));
        // This process holds the name, and reads the launch without running its event loop: it never answers.
        std::optional<SessionInstance> holder;
        QVERIFY(!row.silentPanel || holder.emplace().claim() == std::nullopt);
        // A pipe of one page, full before the panel starts.
        int pipe[2];
        QVERIFY(::pipe(pipe) == 0 && ::fcntl(pipe[1], F_SETPIPE_SZ, 4096) == 4096);
        QVERIFY(!row.stuck || ::write(pipe[1], QByteArray(4096, 'x').constData(), 4096) == 4096);
        QProcess panel;
        if (row.stuck)
            panel.setChildProcessModifier([pipe] { ::dup2(pipe[1], 1), ::dup2(pipe[1], 2); });
        panel.setReadChannel(QProcess::StandardError);
        launch(panel, row.arguments);
        QByteArray errors;
        // Without the event loop, in which the name's holder would answer.
        while (!row.stuck && !errors.contains("checking status..") && panel.waitForReadyRead(10000))
            errors += panel.readAllStandardError();
        QTRY_COMPARE_WITH_TIMEOUT(node.requests.value(0).line, nodeRuns ? "GET /get_status HTTP/1.1" : "",
                                  10000);
        // Nothing holds on to a silent bus, so nothing in the panel waits on it: every call has hung up.
        const auto calls = [this] { return bus.findChildren<QLocalSocket*>(); };
        QTRY_VERIFY(calls().isEmpty() == row.arguments.isEmpty() &&
                    std::ranges::all_of(
                        calls(), [](auto* call) { return call->state() == QLocalSocket::UnconnectedState; }));
        while (bus.hasPendingConnections())
            delete bus.nextPendingConnection();
        ::kill(panel.processId(), row.signal);
        QVERIFY(panel.waitForFinished(2000));
        QCOMPARE(std::pair(panel.exitStatus(), panel.exitCode()), std::pair(QProcess::NormalExit, 0));
        const QString out = panel.readAllStandardOutput();
        QVERIFY2(row.stuck || QRegularExpression("^sys Mac \\d+\\.\\d+\\.\\d+\\n$").match(out).hasMatch(),
                 qPrintable(out));
        // The pause before the first check, as the timestamps of the lines show.
        const QStringList lines = QString::fromUtf8(errors + panel.readAllStandardError()).split('\n');
        const auto at = [&lines](const char* text) {
            return QTime::fromString(lines.filter(text).value(0).mid(11, 12), "HH:mm:ss.zzz")
                .msecsSinceStartOfDay();
        };
        QVERIFY(row.stuck || at("checking status..") - at("window load") >= 190);
        QCOMPARE(lines.filter("on its own").join('\n').section("] ", 1), row.said);
        ::close(pipe[0]), ::close(pipe[1]);
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
