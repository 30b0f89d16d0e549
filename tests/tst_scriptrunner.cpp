#include "host/utils.h"
#include "platform/hostconfig.h"

#include "logcapture.h"
#include "stdoutcapture.h"
#include "testhttpserver.h"

#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString upCommand = QStringLiteral("./manager.sh up");
const QString downCommand = QStringLiteral("./manager.sh down");
const QString refusedPrefix = QStringLiteral("Refused to run the node's script as administrator: ");
const QString dismissed = QStringLiteral("The administrator password request was dismissed.");
const QString notAuthorised =
    QStringLiteral("You are not authorised to run the node's script as administrator.");
const QString noAgent =
    QStringLiteral("No authentication agent is running to ask for the administrator password.");
const QString noPolkit = QStringLiteral("The system's authorisation service (polkit) is not available.");
const QString killed = QStringLiteral("manager.sh did not finish: the process running it was killed.");

// pkexec's own words for a dismissed request, as the stand-in prints them.
const QString printDismissed =
    QStringLiteral("echo 'Error executing command as another user: Request dismissed' >&2; exit 126");

// Rows that let the real shell text reach "sudo ./bash" need root: sudo must not ask for a password.
const char* const needsRoot = "needs root: the shell text runs sudo, which must not ask for a password";

// The text as one single-quoted shell word, for the scripts the tests write.
QString shellWord(QString text) {
    text.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

bool writeFile(const QString& path, const QString& content, QFile::Permissions permissions) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content.toUtf8()) < 0)
        return false;
    file.close();
    return file.setPermissions(permissions);
}

// mkdir -p, each new folder with the mode given (not the umask's, which may let the group write).
bool makeFolders(const QString& path, mode_t mode = 0755) {
    if (!QDir().mkpath(path))
        return false;
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

bool setMode(const QString& path, mode_t mode) {
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

const QFile::Permissions executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                      QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;

// What the account server received in its "l" field, decoded.
QStringList uploadedLines(const TestHttpServer& server) {
    QStringList lines;
    for (const RecordedRequest& request : server.requests()) {
        for (const QByteArray& field : request.body.split('&')) {
            if (field.startsWith("l="))
                lines.append(QString::fromUtf8(QByteArray::fromPercentEncoding(field.mid(2))));
        }
    }
    return lines;
}

QString commandLine(const QString& command, const QString& bundle) {
    return QStringLiteral("command [") + command + QStringLiteral("] path [") + bundle + QLatin1Char(']');
}

} // namespace

class TestScriptRunner : public QObject {
    Q_OBJECT

private:
    TestHttpServer server;
    QTemporaryDir settingsDir;
    // A fresh folder for each test row: bundles, stand-ins and markers.
    std::unique_ptr<QTemporaryDir> rowDir;
    QString row;
    bool root = false;

    void configure(const QString& bundlePath, bool elevate, const QString& elevationProgram = QString()) {
        HostConfig config = HostConfig::production();
        config.accountBaseUrl = server.url(QString());
        config.settingsPath = settingsDir.filePath(QStringLiteral("nodepanel.conf"));
        config.bundlePath = bundlePath;
        config.elevate = elevate;
        if (!elevationProgram.isEmpty())
            config.elevationProgram = elevationProgram;
        config.trustedOwnerUid = ::geteuid();
        installHostConfig(config);
    }

    QString marker() const { return row + QStringLiteral("/marker"); }
    QString standInArguments() const { return row + QStringLiteral("/pkexec.args"); }

    // <bundle>/Contents/Resources with a manager.sh that notes its arguments and the folder it runs in,
    // then runs body, and with bash linked to the system's.
    bool makeBundle(const QString& bundle, const QString& body = QString()) {
        const QString resources = bundle + QStringLiteral("/Contents/Resources");
        const QString script = QStringLiteral("printf '%s\\n' \"$*\" \"$(pwd -P)\" > ") +
                               shellWord(marker()) + QLatin1Char('\n') + body + QLatin1Char('\n');
        return makeFolders(bundle) && makeFolders(bundle + QStringLiteral("/Contents")) &&
               makeFolders(resources) &&
               writeFile(resources + QStringLiteral("/manager.sh"), script, executable) &&
               QFile::link(QStringLiteral("/bin/bash"), resources + QStringLiteral("/bash"));
    }

    // A stand-in for pkexec: it notes its arguments, insists on the flag and the locale the panel must
    // pass, then does what behaviour says with the arguments after the flag.
    QString makeStandIn(const QString& behaviour) {
        const QString path = row + QStringLiteral("/pkexec");
        const QString script =
            QStringLiteral("#!/bin/sh\n"
                           "for a in \"$@\"; do printf '%s\\036' \"$a\"; done > ") +
            shellWord(standInArguments()) +
            QStringLiteral("\n"
                           "if [ \"$1\" != --disable-internal-agent ]; then\n"
                           "    echo \"stand-in pkexec: first argument is '$1'\" >&2; exit 99\n"
                           "fi\n"
                           "if [ \"${LC_ALL-}\" != C ]; then\n"
                           "    echo \"stand-in pkexec: LC_ALL is '${LC_ALL-}'\" >&2; exit 98\n"
                           "fi\n"
                           "shift\n") +
            behaviour + QLatin1Char('\n');
        return writeFile(path, script, executable) ? path : QString();
    }

    // The arguments the stand-in was started with; nothing when it never ran.
    std::optional<QStringList> standInRun() const {
        QFile file(standInArguments());
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        QStringList arguments = QString::fromUtf8(file.readAll()).split(QChar(0x1e));
        arguments.removeLast();
        return arguments;
    }

    QStringList markerLines() const {
        QFile file(marker());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // Runs the command on a worker thread, as the start and stop jobs do, while this thread's event loop
    // serves the uploads.
    static void runOnWorker(const QString& command, std::optional<ScriptError>& result) {
        struct Outcome {
            std::atomic<bool> done{false};
            std::optional<ScriptError> result;
        };
        auto outcome = std::make_shared<Outcome>();
        std::thread([outcome, command] {
            outcome->result = Utils::runPrivilegedScript(command);
            outcome->done = true;
        }).detach();
        QTRY_VERIFY_WITH_TIMEOUT(outcome->done.load(), 60000);
        result = outcome->result;
    }

    // Runs the command and checks that its line went, once each, to the system log, to standard output and
    // to the account server. alsoSee sees the system log's lines as they are written.
    void runAnnounced(const QString& command, const QString& expectedLine, std::optional<ScriptError>& result,
                      StdoutCapture* capture = nullptr, const SystemLogObserver& alsoSee = {}) {
        const qsizetype uploadsBefore = uploadedLines(server).count(expectedLine);
        LogCapture log;
        if (alsoSee) {
            const SystemLogObserver capturing = setSystemLogObserver({});
            setSystemLogObserver([alsoSee, capturing](const QString& line) {
                alsoSee(line);
                capturing(line);
            });
        }
        std::unique_ptr<StdoutCapture> ownCapture;
        if (!capture) {
            ownCapture = std::make_unique<StdoutCapture>();
            capture = ownCapture.get();
        }
        runOnWorker(command, result);
        if (QTest::currentTestFailed())
            return;
        // Nothing the script printed reaches the panel's standard output.
        QCOMPARE(decodedLines(capture->stop()), QStringList{expectedLine});
        QCOMPARE(log.count(expectedLine), 1);
        QTRY_COMPARE_WITH_TIMEOUT(uploadedLines(server).count(expectedLine), uploadsBefore + 1, 5000);
    }

    static void expectFailure(const std::optional<ScriptError>& result, const QString& message, int status) {
        QVERIFY2(result, "the run reported success");
        // Exactly these two entries, under the names the start and stop jobs know.
        QCOMPARE(result->keys(), (QStringList{QStringLiteral("NSAppleScriptErrorMessage"),
                                              QStringLiteral("NSAppleScriptErrorNumber")}));
        QCOMPARE(result->value(Utils::scriptErrorMessageKey).typeId(), int(QMetaType::QString));
        QCOMPARE(result->value(Utils::scriptErrorMessageKey).toString(), message);
        QCOMPARE(result->value(Utils::scriptErrorNumberKey).typeId(), int(QMetaType::Int));
        QCOMPARE(result->value(Utils::scriptErrorNumberKey).toInt(), status);
    }

    static QString describe(const std::optional<ScriptError>& result) {
        return result ? result->value(Utils::scriptErrorMessageKey).toString() : QString();
    }

private slots:
    void initTestCase() {
        QVERIFY(settingsDir.isValid());
        QVERIFY(server.start());
        // An answer that the upload's completion does not log, so that only the runner's lines are seen.
        server.setReply(200, "{}");
        root = ::geteuid() == 0;
    }

    void init() {
        rowDir = std::make_unique<QTemporaryDir>();
        QVERIFY(rowDir->isValid());
        // The refusal messages name folders as the kernel finds them.
        row = QFileInfo(rowDir->path()).canonicalFilePath();
        QVERIFY(!row.isEmpty());
    }

    void cleanup() { rowDir.reset(); }

    void buildsTheShellText_data() {
        QTest::addColumn<QString>("bundlePath");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("expected");

        QTest::newRow("plain") << QStringLiteral("/opt/NodePanel") << upCommand
                               << QStringLiteral(
                                      "cd '/opt/NodePanel/Contents/Resources'\nsudo ./bash ./manager.sh up");
        QTest::newRow("blanks")
            << QStringLiteral("/opt/Node Panel 2") << upCommand
            << QStringLiteral("cd '/opt/Node Panel 2/Contents/Resources'\nsudo ./bash ./manager.sh up");
        QTest::newRow("single quote")
            << QStringLiteral("/home/ann/Ann's Panel") << upCommand
            << QStringLiteral(
                   "cd '/home/ann/Ann'\\''s Panel/Contents/Resources'\nsudo ./bash ./manager.sh up");
        QTest::newRow("quotes at both ends")
            << QStringLiteral("/srv/'x'") << upCommand
            << QStringLiteral("cd '/srv/'\\''x'\\''/Contents/Resources'\nsudo ./bash ./manager.sh up");
        QTest::newRow("double quote and dollar")
            << QStringLiteral("/srv/\"$HOME\"") << upCommand
            << QStringLiteral("cd '/srv/\"$HOME\"/Contents/Resources'\nsudo ./bash ./manager.sh up");
        QTest::newRow("trailing line feed")
            << QStringLiteral("/opt/NodePanel\n") << upCommand
            << QStringLiteral("cd '/opt/NodePanel/Contents/Resources'\nsudo ./bash ./manager.sh up");
        QTest::newRow("blanks and line breaks around")
            << QStringLiteral(" \t/opt/NodePanel \r\n") << upCommand
            << QStringLiteral("cd '/opt/NodePanel/Contents/Resources'\nsudo ./bash ./manager.sh up");
        QTest::newRow("down") << QStringLiteral("/opt/NodePanel") << downCommand
                              << QStringLiteral(
                                     "cd '/opt/NodePanel/Contents/Resources'\nsudo ./bash ./manager.sh down");
        QTest::newRow("command as it is")
            << QStringLiteral("/opt/NodePanel") << QStringLiteral("./manager.sh up 'a b' $X")
            << QStringLiteral("cd '/opt/NodePanel/Contents/Resources'\nsudo ./bash ./manager.sh up 'a b' $X");
    }

    void buildsTheShellText() {
        QFETCH(QString, bundlePath);
        QFETCH(QString, command);
        QFETCH(QString, expected);

        QCOMPARE(Utils::privilegedShellText(bundlePath, command), expected);
    }

    // As root the two shell lines run directly: from the Resources folder, with the command's words, and
    // only the script's exit status and error output count.
    void runsDirectlyAsRoot_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("reportedAround");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("body");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("status");

        const QString ok = QStringLiteral("echo 'node started'");
        QTest::newRow("plain path") << QStringLiteral("NodePanel") << QString() << upCommand << ok << true
                                    << QString() << 0;
        QTest::newRow("path with blanks")
            << QStringLiteral("My Node Panel") << QString() << upCommand << ok << true << QString() << 0;
        QTest::newRow("path with a single quote")
            << QStringLiteral("Ann's Panel") << QString() << upCommand << ok << true << QString() << 0;
        QTest::newRow("path reported with a trailing line feed")
            << QStringLiteral("NodePanel") << QStringLiteral("\n") << upCommand << ok << true << QString()
            << 0;
        QTest::newRow("down") << QStringLiteral("NodePanel") << QString() << downCommand << ok << true
                              << QString() << 0;
        QTest::newRow("output on both channels, status 0")
            << QStringLiteral("NodePanel") << QString() << upCommand
            << QStringLiteral("echo 'all fine'; echo 'a warning' >&2; exit 0") << true << QString() << 0;
        QTest::newRow("error output")
            << QStringLiteral("NodePanel") << QString() << upCommand
            << QStringLiteral("echo 'progress'; printf '  port 8080 is taken\\n\\n' >&2; exit 3") << false
            << QStringLiteral("port 8080 is taken") << 3;
        QTest::newRow("error output of two lines") << QStringLiteral("NodePanel") << QString() << downCommand
                                                   << QStringLiteral("printf 'first\\nsecond\\n' >&2; exit 2")
                                                   << false << QStringLiteral("first\nsecond") << 2;
        QTest::newRow("no error output") << QStringLiteral("NodePanel") << QString() << upCommand
                                         << QStringLiteral("echo 'only this'; exit 4") << false
                                         << QStringLiteral("manager.sh exited with status 4") << 4;
        QTest::newRow("126 without output")
            << QStringLiteral("NodePanel") << QString() << upCommand << QStringLiteral("exit 126") << false
            << QStringLiteral("manager.sh exited with status 126") << 126;
        // Without elevation there is no pkexec whose words these could be.
        QTest::newRow("pkexec's words from the script")
            << QStringLiteral("NodePanel") << QString() << upCommand
            << QStringLiteral("echo 'Error executing command as another user: Not authorized' >&2; exit 127")
            << false << QStringLiteral("Error executing command as another user: Not authorized") << 127;
    }

    void runsDirectlyAsRoot() {
        QFETCH(QString, folder);
        QFETCH(QString, reportedAround);
        QFETCH(QString, command);
        QFETCH(QString, body);
        QFETCH(bool, succeeds);
        QFETCH(QString, message);
        QFETCH(int, status);
        if (!root)
            QSKIP(needsRoot);

        const QString bundle = row + QLatin1Char('/') + folder;
        QVERIFY(makeBundle(bundle, body));
        configure(bundle + reportedAround, false);

        std::optional<ScriptError> result;
        runAnnounced(command, commandLine(command, bundle), result);
        if (QTest::currentTestFailed())
            return;
        if (succeeds)
            QVERIFY2(!result, qPrintable(describe(result)));
        else
            expectFailure(result, message, status);
        // The script ran once, in its own folder, with the command's words after its name.
        const QString resources =
            QFileInfo(bundle + QStringLiteral("/Contents/Resources")).canonicalFilePath();
        QCOMPARE(markerLines(), (QStringList{command.section(QLatin1Char(' '), 1), resources}));
    }

    // A bundle that is not there must not let "sudo ./bash" run a bash from wherever the panel started.
    void neverRunsABashFromThePanelsFolder() {
        if (!root)
            QSKIP(needsRoot);
        const QString decoy = row + QStringLiteral("/bash");
        QVERIFY(writeFile(decoy,
                          QStringLiteral("#!/bin/sh\ntouch ") + shellWord(marker()) + QLatin1Char('\n'),
                          executable));
        const QString missing = row + QStringLiteral("/No Bundle");
        configure(missing, false);

        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(row));
        std::optional<ScriptError> result;
        runAnnounced(upCommand, commandLine(upCommand, missing), result);
        QVERIFY(QDir::setCurrent(before));
        if (QTest::currentTestFailed())
            return;

        QVERIFY2(result, "the run reported success");
        QVERIFY(!QFile::exists(marker()));
        // The shell's own words about the cd that failed.
        QVERIFY2(describe(result).contains(missing + QStringLiteral("/Contents/Resources")),
                 qPrintable(describe(result)));
        QVERIFY(result->value(Utils::scriptErrorNumberKey).toInt() > 0);
    }

    // Not root: through pkexec (a stand-in here) with the flag, LC_ALL=C and the same shell text; its own
    // failures are told apart from the script's by what it writes.
    void runsThroughTheElevationProgram_data() {
        QTest::addColumn<QString>("behaviour");
        QTest::addColumn<QString>("body");
        QTest::addColumn<bool>("scriptRuns");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("status");

        const QString runs = QStringLiteral("exec \"$@\"");
        QTest::newRow("granted, script succeeds")
            << runs << QStringLiteral("echo 'node started'; echo 'a note' >&2") << true << true << QString()
            << 0;
        QTest::newRow("granted, script fails with error output")
            << runs << QStringLiteral("echo 'port 8080 is taken' >&2; exit 1") << true << false
            << QStringLiteral("port 8080 is taken") << 1;
        QTest::newRow("granted, script's own 126")
            << runs << QStringLiteral("echo 'sample-node: Permission denied' >&2; exit 126") << true << false
            << QStringLiteral("sample-node: Permission denied") << 126;
        QTest::newRow("granted, script's own 127 without output")
            << runs << QStringLiteral("exit 127") << true << false
            << QStringLiteral("manager.sh exited with status 127") << 127;
        QTest::newRow("dismissed") << printDismissed << QString() << false << false << dismissed << 126;
        QTest::newRow("not authorised")
            << QStringLiteral("printf 'Error executing command as another user: Not "
                              "authorized\\n\\nThis incident has been reported.\\n' >&2; "
                              "exit 127")
            << QString() << false << false << notAuthorised << 127;
        QTest::newRow("no authentication agent")
            << QStringLiteral(
                   "echo 'Error executing command as another user: No authentication agent found.' >&2; "
                   "exit 127")
            << QString() << false << false << noAgent << 127;
        QTest::newRow("polkit unavailable")
            << QStringLiteral(
                   "echo 'Error getting authority: Error initializing authority: Could not connect: No "
                   "such file or directory' >&2; exit 127")
            << QString() << false << false << noPolkit << 127;
        QTest::newRow("pkexec failing for a reason it names")
            << QStringLiteral("echo 'Error executing command as another user: Out of memory' >&2; exit 127")
            << QString() << false << false
            << QStringLiteral(
                   "The administrator request failed: Error executing command as another user: Out of "
                   "memory")
            << 127;
        QTest::newRow("126 without pkexec's words")
            << QStringLiteral("echo 'bash: ./manager.sh: Permission denied' >&2; exit 126") << QString()
            << false << false << QStringLiteral("bash: ./manager.sh: Permission denied") << 126;
        QTest::newRow("127 without any words") << QStringLiteral("exit 127") << QString() << false << false
                                               << QStringLiteral("manager.sh exited with status 127") << 127;
        QTest::newRow("killed") << QStringLiteral("kill -KILL $$") << QString() << false << false << killed
                                << -1;
    }

    void runsThroughTheElevationProgram() {
        QFETCH(QString, behaviour);
        QFETCH(QString, body);
        QFETCH(bool, scriptRuns);
        QFETCH(bool, succeeds);
        QFETCH(QString, message);
        QFETCH(int, status);
        if (scriptRuns && !root)
            QSKIP(needsRoot);

        const QString bundle = row + QStringLiteral("/My Bundle");
        QVERIFY(makeBundle(bundle, body));
        const QString pkexec = makeStandIn(behaviour);
        QVERIFY(!pkexec.isEmpty());
        configure(bundle, true, pkexec);

        std::optional<ScriptError> result;
        runAnnounced(upCommand, commandLine(upCommand, bundle), result);
        if (QTest::currentTestFailed())
            return;
        if (succeeds)
            QVERIFY2(!result, qPrintable(describe(result)));
        else
            expectFailure(result, message, status);
        QCOMPARE(standInRun(),
                 (QStringList{QStringLiteral("--disable-internal-agent"), QStringLiteral("/bin/sh"),
                              QStringLiteral("-c"),
                              QStringLiteral("cd '") + bundle +
                                  QStringLiteral("/Contents/Resources'\nsudo ./bash ./manager.sh up")}));
        QCOMPARE(QFile::exists(marker()), scriptRuns);
    }

    // pkexec runs the shell as given; a shell that finds no sudo says so with 127, which is no pkexec
    // failure.
    void missingSudoIsTheShellsOwnFailure() {
        const QString bundle = row + QStringLiteral("/My Bundle");
        QVERIFY(makeBundle(bundle));
        const QString pkexec = makeStandIn(QStringLiteral("PATH=/nonexistent exec \"$@\""));
        QVERIFY(!pkexec.isEmpty());
        configure(bundle, true, pkexec);

        std::optional<ScriptError> result;
        runAnnounced(upCommand, commandLine(upCommand, bundle), result);
        if (QTest::currentTestFailed())
            return;
        QVERIFY2(result, "the run reported success");
        QCOMPARE(result->value(Utils::scriptErrorNumberKey).toInt(), 127);
        QVERIFY2(describe(result).contains(QLatin1String("sudo: not found")), qPrintable(describe(result)));
        QVERIFY(!QFile::exists(marker()));
    }

    void reportsAMissingElevationProgram_data() {
        QTest::addColumn<bool>("byPath");
        QTest::newRow("absolute path") << true;
        QTest::newRow("name not on PATH") << false;
    }

    void reportsAMissingElevationProgram() {
        QFETCH(bool, byPath);
        const QString bundle = row + QStringLiteral("/My Bundle");
        QVERIFY(makeBundle(bundle));
        const QString program =
            byPath ? row + QStringLiteral("/pkexec") : QStringLiteral("nodepanel-test-no-such-pkexec");
        configure(bundle, true, program);

        std::optional<ScriptError> result;
        runAnnounced(upCommand, commandLine(upCommand, bundle), result);
        if (QTest::currentTestFailed())
            return;
        expectFailure(
            result,
            program + QStringLiteral(" is not installed, so the node's script cannot run as administrator: "
                                     "install the Debian package pkexec."),
            -1);
        QVERIFY(!QFile::exists(marker()));
    }

    // Before asking for administrator rights the panel checks that nobody but root (here: the test's own
    // user) can change what would run as root. The stand-in answers "dismissed" whenever it is asked.
    void refusesNodeFilesOthersCanChange_data() {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("refused");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("onlyAsRoot");

        const QString resources = QStringLiteral("/B/Contents/Resources");
        const QString allUsers = QStringLiteral("is writable by all users");
        QTest::newRow("safe bundle") << QStringLiteral("safe") << QString() << QString() << false;
        QTest::newRow("manager.sh writable by all")
            << QStringLiteral("manager 0666") << resources + QStringLiteral("/manager.sh") << allUsers
            << false;
        QTest::newRow("manager.sh writable by another group")
            << QStringLiteral("manager group") << resources + QStringLiteral("/manager.sh")
            << QStringLiteral("is writable by its group (gid %1)") << false;
        QTest::newRow("manager.sh writable by the root group")
            << QStringLiteral("manager root group") << QString() << QString() << true;
        QTest::newRow("manager.sh owned by another user")
            << QStringLiteral("manager nobody") << resources + QStringLiteral("/manager.sh")
            << QStringLiteral("belongs to uid 65534") << true;
        QTest::newRow("manager.sh missing")
            << QStringLiteral("manager missing") << resources + QStringLiteral("/manager.sh")
            << QStringLiteral("cannot be checked (") + qt_error_string(ENOENT) + QLatin1Char(')') << false;
        QTest::newRow("Resources writable by all")
            << QStringLiteral("resources 0777") << resources << allUsers << false;
        // Others could add names where the script runs, even if they cannot replace its files.
        QTest::newRow("Resources writable by all, sticky")
            << QStringLiteral("resources 1777") << resources << allUsers << false;
        QTest::newRow("Resources a link to a folder writable by all")
            << QStringLiteral("resources link") << QStringLiteral("/elsewhere") << allUsers << false;
        QTest::newRow("folder above writable by all")
            << QStringLiteral("above 0777") << QStringLiteral("/shared") << allUsers << false;
        // Like /tmp: nobody can rename or remove the names below it that they do not own.
        QTest::newRow("folder above writable by all, sticky")
            << QStringLiteral("above 1777") << QString() << QString() << false;
        QTest::newRow("bash a link to a file writable by all")
            << QStringLiteral("bash target 0777") << QStringLiteral("/tools/bash") << allUsers << false;
        QTest::newRow("bash a link through a folder writable by all")
            << QStringLiteral("bash via open folder") << QStringLiteral("/open") << allUsers << false;
        // In a sticky folder the owner of a link may still replace it.
        QTest::newRow("bash a link of another user's in a sticky folder")
            << QStringLiteral("bash via sticky folder, other's link") << QStringLiteral("/sticky/bash")
            << QStringLiteral("belongs to uid 65534") << true;
        QTest::newRow("bash a link of our own in a sticky folder")
            << QStringLiteral("bash via sticky folder, own link") << QString() << QString() << false;
    }

    void refusesNodeFilesOthersCanChange() {
        QFETCH(QString, setup);
        QFETCH(QString, refused);
        QFETCH(QString, reason);
        QFETCH(bool, onlyAsRoot);
        if (onlyAsRoot && !root)
            QSKIP("needs root: only root can give a file to another user or to the root group");

        const bool aboveShared = setup.startsWith(QLatin1String("above"));
        const QString bundle = row + (aboveShared ? QStringLiteral("/shared/B") : QStringLiteral("/B"));
        if (aboveShared)
            QVERIFY(makeFolders(row + QStringLiteral("/shared"),
                                setup.endsWith(QLatin1String("1777")) ? 01777 : 0777));
        QVERIFY(makeBundle(bundle));
        const QString resources = bundle + QStringLiteral("/Contents/Resources");
        const QString managerPath = resources + QStringLiteral("/manager.sh");
        const QByteArray manager = QFile::encodeName(managerPath);

        if (setup == QLatin1String("manager 0666")) {
            QVERIFY(setMode(managerPath, 0666));
        } else if (setup == QLatin1String("manager group")) {
            // As root: a group that is not root's. Otherwise the file has the user's own group.
            if (root)
                QCOMPARE(::chown(manager.constData(), uid_t(-1), 65534), 0);
            QVERIFY(setMode(managerPath, 0775));
            const gid_t group = QFileInfo(managerPath).groupId();
            if (group == 0)
                QSKIP("the test user's group is root's");
            reason = reason.arg(group);
        } else if (setup == QLatin1String("manager root group")) {
            QCOMPARE(::chown(manager.constData(), uid_t(-1), 0), 0);
            QVERIFY(setMode(managerPath, 0775));
        } else if (setup == QLatin1String("manager nobody")) {
            QCOMPARE(::chown(manager.constData(), 65534, uid_t(-1)), 0);
        } else if (setup == QLatin1String("manager missing")) {
            QVERIFY(QFile::remove(managerPath));
        } else if (setup == QLatin1String("resources 0777")) {
            QVERIFY(setMode(resources, 0777));
        } else if (setup == QLatin1String("resources 1777")) {
            QVERIFY(setMode(resources, 01777));
        } else if (setup == QLatin1String("resources link")) {
            const QString elsewhere = row + QStringLiteral("/elsewhere");
            QVERIFY(QDir(resources).removeRecursively());
            QVERIFY(makeFolders(elsewhere, 0777));
            QVERIFY(QFile::link(elsewhere, resources));
        } else if (setup == QLatin1String("bash target 0777")) {
            const QString target = row + QStringLiteral("/tools/bash");
            QVERIFY(makeFolders(row + QStringLiteral("/tools")));
            QVERIFY(QFile::copy(QStringLiteral("/bin/bash"), target));
            QVERIFY(setMode(target, 0777));
            QVERIFY(QFile::remove(resources + QStringLiteral("/bash")));
            QVERIFY(QFile::link(target, resources + QStringLiteral("/bash")));
        } else if (setup.startsWith(QLatin1String("bash via sticky folder"))) {
            const QString link = row + QStringLiteral("/sticky/bash");
            QVERIFY(makeFolders(row + QStringLiteral("/sticky"), 01777));
            QVERIFY(QFile::link(QStringLiteral("/bin/bash"), link));
            if (setup.endsWith(QLatin1String("other's link")))
                QCOMPARE(::lchown(QFile::encodeName(link).constData(), 65534, gid_t(-1)), 0);
            QVERIFY(QFile::remove(resources + QStringLiteral("/bash")));
            QVERIFY(QFile::link(link, resources + QStringLiteral("/bash")));
        } else if (setup == QLatin1String("bash via open folder")) {
            // The link's own folder is open, so its target is anyone's choice.
            QVERIFY(makeFolders(row + QStringLiteral("/open"), 0777));
            QVERIFY(QFile::link(QStringLiteral("/bin/bash"), row + QStringLiteral("/open/bash")));
            QVERIFY(QFile::remove(resources + QStringLiteral("/bash")));
            QVERIFY(QFile::link(row + QStringLiteral("/open/bash"), resources + QStringLiteral("/bash")));
        }

        const QString pkexec = makeStandIn(printDismissed);
        QVERIFY(!pkexec.isEmpty());
        configure(bundle, true, pkexec);

        std::optional<ScriptError> result;
        runAnnounced(upCommand, commandLine(upCommand, bundle), result);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(!QFile::exists(marker()));
        if (refused.isEmpty()) {
            // Let through: the request reached pkexec.
            expectFailure(result, dismissed, 126);
            QVERIFY(standInRun());
            return;
        }
        QVERIFY2(result, "the run reported success");
        const QString text = describe(result);
        QVERIFY2(text.startsWith(refusedPrefix), qPrintable(text));
        const QString named = row + refused + QLatin1Char(' ') + reason;
        QVERIFY2(text.contains(named), qPrintable(text + QStringLiteral(" does not say: ") + named));
        QCOMPARE(result->value(Utils::scriptErrorNumberKey).toInt(), -1);
        QVERIFY2(!standInRun(), "pkexec was asked although the files were refused");
    }

    // The command line is logged and on standard output before anything starts, so it goes out even when
    // the user dismisses the prompt or the run never ends.
    void announcesBeforeTheAttempt_data() {
        QTest::addColumn<bool>("elevate");
        QTest::newRow("through pkexec") << true;
        QTest::newRow("directly as root") << false;
    }

    void announcesBeforeTheAttempt() {
        QFETCH(bool, elevate);
        if (!elevate && !root)
            QSKIP(needsRoot);

        StdoutCapture capture;
        const QString seen = row + QStringLiteral("/stdout seen");
        // What the attempt finds on standard output when it starts.
        const QString look = QStringLiteral("cp ") + shellWord(capture.fileName()) + QLatin1Char(' ') +
                             shellWord(seen) + QStringLiteral("; touch ") + shellWord(marker());
        const QString bundle = row + QStringLiteral("/B");
        QVERIFY(makeBundle(bundle, elevate ? QString() : look));
        if (elevate) {
            const QString pkexec = makeStandIn(look + QStringLiteral("\n") + printDismissed);
            QVERIFY(!pkexec.isEmpty());
            configure(bundle, true, pkexec);
        } else {
            configure(bundle, false);
        }

        const QString line = commandLine(upCommand, bundle);
        const QString started = marker();
        auto startedWhenLogged = std::make_shared<std::atomic<int>>(-1);
        const auto notice = [line, started, startedWhenLogged](const QString& logged) {
            if (logged == line)
                *startedWhenLogged = QFile::exists(started) ? 1 : 0;
        };

        std::optional<ScriptError> result;
        runAnnounced(upCommand, line, result, &capture, notice);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(QFile::exists(marker()));
        QCOMPARE(startedWhenLogged->load(), 0);
        QFile seenFile(seen);
        QVERIFY(seenFile.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(QByteArray::fromPercentEncoding(seenFile.readAll().trimmed())), line);
    }

    // Without a bundle path in the configuration the bundle is the folder two levels above the executable.
    void findsTheBundleAroundTheExecutable() {
        const QString pkexec = makeStandIn(printDismissed);
        QVERIFY(!pkexec.isEmpty());
        configure(QString(), true, pkexec);
        QDir executableFolder(QCoreApplication::applicationDirPath());
        QVERIFY(executableFolder.cdUp() && executableFolder.cdUp());
        const QString bundle = executableFolder.absolutePath();

        std::optional<ScriptError> result;
        runAnnounced(upCommand, commandLine(upCommand, bundle), result);
        if (QTest::currentTestFailed())
            return;
        // The test's build folder has no node files.
        QVERIFY2(result, "the run reported success");
        QVERIFY2(describe(result).contains(bundle + QStringLiteral("/Contents")),
                 qPrintable(describe(result)));
    }
};

QTEST_GUILESS_MAIN(TestScriptRunner)
#include "tst_scriptrunner.moc"
