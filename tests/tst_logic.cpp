// The panel's rules as plain functions, no server or window: the status monitor, the replies, the texts,
// the node-file check (and its reader on real files), the output queue.
#include "app/application.h"
#include "control/statusmonitor.h"
#include "host/nodefiles.h"
#include "host/remotelog.h"
#include "host/replies.h"
#include "host/scriptrunner.h"

#include "testsupport.h"

#include <fcntl.h>
#include <thread>

using Type = FileFacts::Type;

// One name of a file tree that the node-file check is shown.
struct Entry {
    QString path;
    Type type = Type::Folder;
    uint mode = 0755, owner = 0, group = 0;
    QString target = {};
    QList<uint> aclUsers = {}, aclGroups = {};
};
using Entries = QList<Entry>;

const QString caused = "it was caused by error, node would be restarted at once.";

class TestLogic : public QObject {
    Q_OBJECT

private slots:
    // One row per line of the rule, first the answers that change nothing between running and not.
    void decidesEachAnswer_data() {
        QTest::addColumn<StatusInput>("in");
        QTest::addColumn<StatusDecision>("out");
        using In = StatusInput;
        using Out = StatusDecision;
        const auto row = [](const char* name, const In& in, const Out& out) {
            QTest::newRow(name) << in << out;
        };
        row("same, running", {.answer = up, .oldStatus = up, .tick = 7}, {.tick = 7, .refresh = true});
        row("same, stopped", {.answer = down}, {.tick = -1, .refresh = true});
        row("down to closed, watching", {.answer = closed, .oldStatus = down, .tick = 3, .lastAction = "up"},
            {.tick = 3, .refresh = true});
        row("closed to down, last down", {.answer = down, .oldStatus = closed, .lastAction = "down"},
            {.tick = -1, .refresh = true});
        row("comes up after a stop of ours", {.answer = up, .stopDone = true},
            {.tick = 0, .refresh = true, .changed = true});
        row("comes back, watching", {.answer = up, .oldStatus = closed, .tick = 12, .lastAction = "up"},
            {.tick = 0, .refresh = true, .changed = true});
        row("stops, last up", {.answer = down, .oldStatus = up, .tick = 9, .lastAction = "up"},
            {.tick = 9, .logLine = caused, .notify = true, .changed = true});
        row("closes, last up, busy view",
            {.answer = closed, .oldStatus = up, .tick = 0, .lastAction = "up", .busyView = true},
            {.tick = 0, .logLine = caused, .refresh = true, .notify = true, .changed = true});
        const Out stopped{.tick = -1, .refresh = true, .notify = true, .changed = true};
        row("stops, last down", {.answer = down, .oldStatus = up, .tick = 9, .lastAction = "down"}, stopped);
        row("stops, nothing stored", {.answer = down, .oldStatus = up, .tick = 9}, stopped);
        row("stops, last 'up '", {.answer = down, .oldStatus = up, .tick = 9, .lastAction = "up "}, stopped);
        row("stops, last 'Up'", {.answer = down, .oldStatus = up, .tick = 9, .lastAction = "Up"}, stopped);
        row("stops after a stop of ours", {.answer = down, .oldStatus = up, .tick = 9, .stopDone = true},
            {.tick = -1, .refresh = true, .changed = true, .stopDone = true});
        row("stops while a start runs",
            {.answer = down,
             .oldStatus = up,
             .tick = 9,
             .lastAction = "up",
             .busyView = true,
             .jobUnderWay = true},
            {.tick = 9, .logLine = caused, .refresh = true, .changed = true});
    }

    void decidesEachAnswer() {
        QFETCH(StatusInput, in);
        QFETCH(StatusDecision, out);
        const StatusDecision made = decideStatus(in);
        QCOMPARE(made.tick, out.tick);
        QCOMPARE(made.oldStatus, in.answer);
        QCOMPARE(made.logLine, out.logLine);
        QCOMPARE(made.refresh, out.refresh);
        QCOMPARE(made.notify, out.notify);
        QCOMPARE(made.changed, out.changed);
        QCOMPARE(made.stopDone, out.stopDone);
    }

    void decidesEachSecond_data() {
        QTest::addColumn<TickInput>("in");
        QTest::addColumn<TickDecision>("out");
        const auto row = [](const char* name, const TickInput& in, const TickDecision& out) {
            QTest::newRow(name) << in << out;
        };
        row("counts", {.tick = 3}, {.tick = 4});
        row("checks at 5 s", {.tick = 4}, {.tick = 5, .query = true});
        row("and at 10 s", {.tick = 9, .stoppedTick = 2}, {.tick = 10, .stoppedTick = 2, .query = true});
        row("none while busy", {.tick = 9, .busyView = true}, {.tick = 10});
        row("one of its own awaited", {.tick = 4, .checking = true}, {.tick = 5, .query = true});
        row("stopped: its own seconds", {.stoppedTick = 3}, {.stoppedTick = 4});
        row("stopped: checks at 5 s", {.stoppedTick = 4}, {.stoppedTick = 5, .query = true});
        row("stopped: and at 10 s", {.stoppedTick = 9}, {.stoppedTick = 10, .query = true});
        row("stopped: none while busy", {.stoppedTick = 4, .busyView = true}, {.stoppedTick = 5});
        row("stopped: none while a job runs", {.stoppedTick = 4, .jobUnderWay = true}, {.stoppedTick = 5});
        row("stopped: one at a time", {.stoppedTick = 4, .checking = true}, {.stoppedTick = 5});
    }

    void decidesEachSecond() {
        QFETCH(TickInput, in);
        QFETCH(TickDecision, out);
        const TickDecision made = decideTick(in);
        QCOMPARE(made.tick, out.tick);
        QCOMPARE(made.stoppedTick, out.stoppedTick);
        QCOMPARE(made.query, out.query);
    }

    // The state a status reply reports; -1: not JSON at all, which is logged.
    void readsTheState_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("state");
        const QList<std::pair<int, QByteArrayList>> rows{
            {0,
             {R"({"state":0})", R"({"state":3})", R"({"state":-1})", R"({"state":1e30})", R"({"state":1.5})",
              R"({"state":"1"})", R"({"state":true})", R"([{"state":1}])",
              R"({"state":9223372036854775807})"}},
            {1, {R"({"a":[1],"state":1})", R"({"state":1.0})"}},
            {2, {R"({"state":2})"}},
            {-1, {"", "<html>", "1"}}};
        for (const auto& [state, bodies] : rows)
            for (const QByteArray& body : bodies)
                QTest::newRow(body) << body << state;
    }

    void readsTheState() {
        QFETCH(QByteArray, body);
        QFETCH(int, state);
        const std::optional<ServiceState> read = stateFromStatusBody(body);
        QCOMPARE(read ? int(rawValue(*read)) : -1, state);
    }

    // The log line for the account server's answer; null: none.
    void readsTheUploadAnswer_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("line");
        const auto row = [](const QByteArray& body, const QString& line) {
            QTest::newRow(body) << body << line;
        };
        const QString result = "xxoo log result = ";
        row(R"({"succ":0})", result + "0");
        row(R"({"succ":3,"err":"x"})", result + "3");
        row(R"({"succ":-2})", result + "-2, err = nil");
        row(R"({"succ":-2,"err":5})", result + "-2, err = nil");
        // Plain literals: moc loses track of raw strings that hold backslashes.
        row("{\"succ\":-1,\"err\":\"a \\\"b\\\" C:\\\\n\\n\\r\\t\\u0001\\u007f\xc3\xbc\"}",
            result + "-1, err = Optional(\"a \\\"b\\\" C:\\\\n\\n\\r\\t\\u{1}\\u{7f}\xc3\xbc\")");
        row(R"({"succ":"0"})", {});
        row(R"({"succ":true})", {});
        row(R"([{"succ":0}])", {});
        row("<html>", "xxoo failed to parse the json result");
    }

    void readsTheUploadAnswer() {
        QFETCH(QByteArray, body);
        QFETCH(QString, line);
        QCOMPARE(uploadResultLine(body).value_or(QString()), line);
    }

    void formatsTexts() {
        QCOMPARE(encodedLogLine("-._~!$'()*,:@/?"), "-._~!$'()*,:@/?");
        QCOMPARE(encodedLogLine("a;b c\n%[]#\"<>\\^`{|}&=+\xc3\xbc"),
                 "a,b%20c%0A%25%5B%5D%23%22%3C%3E%5C%5E%60%7B%7C%7D%26%3D%2B%C3%BC");
        QCOMPARE(uptimeText(59), "00:00:59");
        QCOMPARE(uptimeText(60), "00:01:00");
        QCOMPARE(uptimeText(3599), "00:59:59");
        QCOMPARE(uptimeText(360061), "100:01:01");
        QCOMPARE(osVersionFromRelease("6.1.0-18-amd64"), "Mac 6.1.0");
        QCOMPARE(osVersionFromRelease("6.5"), "Mac 6.5.0");
        QCOMPARE(osVersionFromRelease("6-rc3"), "Mac 6.0.0");
        QCOMPARE(bundleOfExecutableFolder("/opt/nodepanel/Contents/bin"), "/opt/nodepanel");
        // The bundle quoted for the shell, blanks and all; the command as it is.
        QCOMPARE(privilegedShellText("/opt/N P ", "./x 'a b' $Y"),
                 "cd '/opt/N P /Contents/Resources'\nsudo ./bash ./x 'a b' $Y");
        QCOMPARE(privilegedShellText("/a/'b'\"$H\"", "./x"),
                 "cd '/a/'\\''b'\\''\"$H\"/Contents/Resources'\nsudo ./bash ./x");
    }

    // What pkexec said and what the user reads; null: the script's own failure.
    void classifiesPkexecFailures_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("errors");
        QTest::addColumn<QString>("message");
        const auto row = [](const char* name, int status, const QString& errors, const QString& message) {
            QTest::newRow(name) << status << errors << message;
        };
        const QString as = "Error executing command as another user: ",
                      dismissed = "The administrator password request was dismissed.";
        row("dismissed", 126, as + "Request dismissed", dismissed);
        row("not authorised", 127, as + "Not authorized\n\nThis incident has been reported.",
            "You are not authorised to run the node's script as administrator.");
        row("no agent", 127, as + "No authentication agent found.",
            "No authentication agent is running to ask for the administrator password.");
        row("no polkit", 127, "Error getting authority: Could not connect",
            "The system's authorisation service (polkit) is not available.");
        row("126, other words", 126, as + "Oops", dismissed);
        row("127, other words", 127, as + "Out of memory",
            "The administrator request failed: " + as + "Out of memory");
        row("the script's 126", 126, "bash: ./manager.sh: Permission denied", {});
        row("another status", 1, as + "Request dismissed", {});
        row("not first", 127, "note\n" + as + "Not authorized", {});
    }

    void classifiesPkexecFailures() {
        QFETCH(int, status);
        QFETCH(QString, errors);
        QFETCH(QString, message);
        const std::optional<ScriptFailure> failure = pkexecFailure(status, errors);
        QCOMPARE(failure ? scriptFailureLine(*failure) : QString(), message);
    }

    // What each row changes in a safe bundle /b, and what the refusal names (null: accepted). Files beyond
    // the script and bash fill the Resources folder.
    void checksTheNodeFiles_data() {
        QTest::addColumn<Entries>("changes");
        QTest::addColumn<int>("files");
        QTest::addColumn<QString>("refusal");
        const QString r = "/b/Contents/Resources", m = r + "/manager.sh", lib = r + "/lib";
        const Type f = Type::File, l = Type::Link;
        const auto row = [](const char* name, const Entries& changes, const QString& refusal) {
            QTest::newRow(name) << changes << 0 << refusal;
        };
        row("safe", {}, {});
        row("open to all", {{m, f, 0666}}, m + " is writable by all users, so a program");
        row("its group writes", {{m, f, 0775, 0, 100}}, m + " is writable by its group (gid 100)");
        row("root's group writes", {{m, f, 0775}}, {});
        row("another's", {{m, f, 0755, 65534}}, m + " belongs to uid 65534, not to root or uid 1000");
        row("the trusted owner's", {{m, f, 0755, 1000}}, {});
        row("missing", {{m, Type::Missing}}, m + " cannot be checked (No such file");
        row("a folder", {{m}}, m + " is not a regular file");
        row("Resources 1777", {{r, Type::Folder, 01777}}, r + " is writable by all");
        row("Resources a file", {{r, f}}, r + " is not a folder");
        row("a link to an open folder", {{r, l, 0777, 0, 0, "/e"}, {"/e", Type::Folder, 0777}},
            "/e is writable");
        row("above 0777", {{"/b", Type::Folder, 0777}}, "/b is writable by all users");
        row("above 1777", {{"/b", Type::Folder, 01777}}, {});
        row("above 1777, another's", {{"/b", Type::Folder, 01777, 5}}, "/b belongs to uid 5");
        row("bash open to all", {{"/bin/bash", f, 0777}}, "/bin/bash is writable");
        row("through an open folder",
            {{r + "/bash", l, 0777, 0, 0, "../../o/bash"}, {"/b/o", Type::Folder, 0777}}, "/b/o is");
        row("another's link, sticky",
            {{r + "/bash", l, 0, 0, 0, "/t/b"},
             {"/t", Type::Folder, 01777},
             {"/t/b", l, 0, 1, 0, "/bin/bash"}},
            "/t/b belongs to uid 1,");
        row("own link, sticky",
            {{r + "/bash", l, 0, 0, 0, "/t/b"},
             {"/t", Type::Folder, 01777},
             {"/t/b", l, 0, 0, 0, "/bin/bash"}},
            {});
        row("the helper, another's",
            {{"/b/Contents/libexec"}, {"/b/Contents/libexec/nodepanel-manager", f, 0755, 1}},
            "/b/Contents/libexec/nodepanel-manager belongs to uid 1,");
        row("a loop of links", {{r + "/bash", l, 0777, 0, 0, "bash"}}, r + "/bash goes through too many");
        row("an ACL lets a user write", {{.path = m, .type = f, .aclUsers = {5}}},
            m + " is writable by uid 5 through its access");
        row("an ACL lets the trusted owner write", {{.path = m, .type = f, .aclUsers = {1000}}}, {});
        row("an ACL lets a group write", {{.path = r, .aclGroups = {100}}},
            r + " is writable by gid 100 through");
        row("the node's program open to all", {{r + "/node", f, 0666}}, r + "/node is writable by all");
        row("a file deeper down", {{lib}, {lib + "/x.so", f, 0755, 7}}, lib + "/x.so belongs to uid 7");
        row("a folder in it open to all", {{lib, Type::Folder, 01777}}, lib + " is writable by all");
        row("a device in it", {{r + "/dev", Type::Other, 0600}}, r + "/dev is not a regular file");
        row("a link in it to an open file",
            {{r + "/cfg", l, 0777, 0, 0, "/etc/n"}, {"/etc"}, {"/etc/n", f, 0646}}, "/etc/n is writable");
        QTest::newRow("as many files as it checks") << Entries() << 9998 << QString();
        QTest::newRow("one more") << Entries() << 9999 << r + " holds too many files to check";
    }

    void checksTheNodeFiles() {
        QFETCH(Entries, changes);
        QFETCH(int, files);
        QFETCH(QString, refusal);
        const QString r = "/b/Contents/Resources";
        QHash<QString, FileFacts> tree;
        const Entries safe{{"/"},
                           {"/b"},
                           {"/b/Contents"},
                           {r},
                           {r + "/manager.sh", Type::File},
                           {"/bin"},
                           {"/bin/bash", Type::File},
                           {r + "/bash", Type::Link, 0777, 0, 0, "/bin/bash"}};
        for (const Entry& entry : safe + changes)
            tree[entry.path] = {entry.type, entry.owner,    entry.group,     entry.mode, entry.target,
                                ENOENT,     entry.aclUsers, entry.aclGroups, {}};
        for (int i = 0; i < files; ++i)
            tree[r + "/f" + QString::number(i)] = {Type::File, 0, 0, 0644, {}, 0, {}, {}, {}};
        for (const QString& path : tree.keys())
            if (path != "/" && tree.contains(QFileInfo(path).path()))
                tree[QFileInfo(path).path()].entries.append(QFileInfo(path).fileName());
        const auto lookUp = [&tree](const QString& path) {
            return tree.value(path, {Type::Missing, 0, 0, 0, {}, ENOENT, {}, {}, {}});
        };
        const std::optional<FileRefusal> refused = untrustedNodeFiles("/b", 1000, lookUp);
        const QString why = refused ? refusalText(*refused) : QString();
        QVERIFY2(why.isNull() == refusal.isNull() && why.contains(refusal), qPrintable(why));
        QVERIFY(why.isNull() || why.startsWith("Refused to run the node's script as administrator: "));
    }

    // The reader on a real file: the users and groups an access control list lets write, within its mask.
    void readsTheAccessControlList_data() {
        QTest::addColumn<QString>("acl");
        QTest::addColumn<QList<uint>>("users");
        QTest::addColumn<QList<uint>>("groups");
        QTest::newRow("a user") << "u:65534:w" << QList<uint>{65534} << QList<uint>();
        QTest::newRow("a user, masked") << "u:65534:w,m::r" << QList<uint>() << QList<uint>();
        QTest::newRow("a group") << "g:100:rwx" << QList<uint>() << QList<uint>{100};
        QTest::newRow("two, reading") << "u:1:w,u:2:r,g:3:x" << QList<uint>{1} << QList<uint>();
    }

    void readsTheAccessControlList() {
        QFETCH(QString, acl);
        QFETCH(QList<uint>, users);
        QFETCH(QList<uint>, groups);
        QTemporaryFile file;
        QVERIFY(file.open());
        QCOMPARE(QProcess::execute("setfacl", {"-m", acl, file.fileName()}), 0);
        const FileFacts facts = lookUpFile(file.fileName());
        QCOMPARE(facts.aclUsers, users);
        QCOMPARE(facts.aclGroups, groups);
    }

    // The output queue is bounded in what waits, not in what passes through over time.
    void writesPastTheQueueBound() {
        Capture capture(true);
        for (int i = 0; i < 320; ++i) {
            writeStdoutLine(QByteArray(1024, 'x') + QByteArray::number(i));
            QVERIFY(i % 32 != 31 || flushOutput(std::chrono::seconds(5)));
        }
        const QStringList printed = capture.printed();
        QCOMPARE(printed.size(), 320);
        QCOMPARE(printed.last(), QString(1024, 'x') + "319");
    }

    // Qt's own options start the panel, with their values, in either spelling; "--" ends the options.
    // Anything else is answered instead.
    void decidesWhatALaunchDoes_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("starts");
        QTest::newRow("nothing") << QStringList{} << true;
        QTest::newRow("--") << QStringList{"--"} << true;
        QTest::newRow("restored") << QStringList{"-session", "1a2b_3", "--"} << true;
        QTest::newRow("Qt's options")
            << QStringList{"--platform", "xcb", "-style=fusion", "-reverse"} << true;
        QTest::newRow("a Qt option without its value") << QStringList{"-session"} << false;
        QTest::newRow("a value of its own") << QStringList{"-reverse", "x"} << false;
        QTest::newRow("an argument after --") << QStringList{"--", "x"} << false;
        QTest::newRow("version") << QStringList{"-platform", "xcb", "-v"} << false;
        QTest::newRow("help") << QStringList{"--help"} << false;
        QTest::newRow("unknown") << QStringList{"-sessions"} << false;
    }

    void decidesWhatALaunchDoes() {
        QFETCH(QStringList, arguments);
        QFETCH(bool, starts);
        QCOMPARE(commandLineStartsPanel(QStringList{"nodepanel"} + arguments), starts);
    }

    // A list that cannot be read may let anyone write: whatever it guards is refused, even a sticky folder
    // on the way, which other writers could not otherwise use.
    void refusesAnUnreadableAccessControlList_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("refusal"); // null: accepted
        const QString m = "/b/Contents/Resources/manager.sh";
        QTest::newRow("none") << m << 0 << QString();
        QTest::newRow("manager.sh") << m << EIO << m + " has an access control list that cannot be read (";
        QTest::newRow("a sticky folder above") << "/b" << E2BIG << "/b has an access control list that";
    }

    void refusesAnUnreadableAccessControlList() {
        QFETCH(QString, path);
        QFETCH(int, error);
        QFETCH(QString, refusal);
        const auto lookUp = [&](const QString& name) {
            FileFacts facts;
            facts.type = name.endsWith(".sh") || name.endsWith("/bash") ? FileFacts::Type::File
                                                                        : FileFacts::Type::Folder;
            facts.mode = name == "/b" ? 01777 : 0755;
            facts.aclError = name == path ? error : 0;
            facts.error = ENOENT;
            if (name.endsWith("/nodepanel-manager"))
                facts.type = FileFacts::Type::Missing;
            if (name.endsWith("/Resources"))
                facts.entries = QStringList{"manager.sh", "bash"};
            return facts;
        };
        const std::optional<FileRefusal> refused = untrustedNodeFiles("/b", 1000, lookUp);
        const QString why = refused ? refusalText(*refused) : QString();
        QVERIFY2(why.isNull() == refusal.isNull() && why.contains(refusal), qPrintable(why));
    }

    // A reader that stops reading holds back only what fits the bound; the lines after it are dropped.
    void dropsWhatAStuckReaderCannotTake() {
        int pipe[2];
        QVERIFY(::pipe(pipe) == 0);
        QCOMPARE(::fcntl(pipe[1], F_SETPIPE_SZ, 4096), 4096);
        QCOMPARE(::write(pipe[1], QByteArray(4096, 'x').constData(), 4096), 4096);
        for (int i = 0; i < 600; ++i)
            writeWholeLine(pipe[1], QByteArray(1024, 'y'));
        QByteArray read;
        std::thread reader([&read, end = pipe[0]] {
            char part[65536];
            for (ssize_t got; (got = ::read(end, part, sizeof part)) > 0;)
                read.append(part, got);
        });
        QVERIFY(flushOutput(std::chrono::seconds(10)));
        ::close(pipe[1]);
        reader.join();
        ::close(pipe[0]);
        QCOMPARE_GE(read.count('\n'), 255);
        QCOMPARE_LE(read.count('\n'), 256);
    }
};

QTEST_APPLESS_MAIN(TestLogic)
#include "tst_logic.moc"
