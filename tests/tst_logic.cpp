// The panel's rules as plain functions, no server or window: the status monitor, the replies, the texts,
// the node-file check (and its reader on real files), the output queue.
#include "control/statusmonitor.h"
#include "host/nodefiles.h"
#include "host/remotelog.h"
#include "host/replies.h"
#include "host/scriptrunner.h"

#include "testsupport.h"

#include <fcntl.h>
#include <future>

using Type = FileFacts::Type;
using In = StatusInput;
using Out = StatusDecision;

// Names of a file tree that the node-file check is shown, each with what it looks up.
using Entries = QList<std::pair<QString, FileFacts>>;
const FileFacts folder{Type::Folder, 0, 0, 0755}, file{Type::File, 0, 0, 0755};
const QString r = "/b/Contents/Resources";

const QString caused = "it was caused by error, node would be restarted at once.";

class TestLogic : public QObject {
    Q_OBJECT

    // A data row: its name, then the value of each column in order.
    template<typename... Values> static void row(const char* name, Values... values) {
        (QTest::newRow(name) << ... << values);
    }
    // A decision as one value, so that a failing row shows all of it.
    static auto fields(const StatusDecision& d) {
        return std::tuple(d.tick, d.oldStatus, d.logLine, d.refresh, d.notify, d.changed, d.stopDone);
    }
    static auto fields(const TickDecision& d) { return std::tuple(d.tick, d.stoppedTick, d.query); }

private slots:
    // One row per line of the rule: running against not running is what changes, and a stop is news
    // (logged when the user's last action was exactly "up", told to the desktop unless a stop or job of
    // ours explains it).
    void decidesEachAnswer_data() {
        QTest::addColumn<In>("in");
        QTest::addColumn<Out>("out");
        row("same, running", In{.answer = up, .oldStatus = up, .tick = 7}, Out{.tick = 7, .refresh = true});
        row("down, closed, watching", In{.answer = closed, .oldStatus = down, .tick = 3, .lastAction = "up"},
            Out{.tick = 3, .refresh = true});
        // Running again: the clock starts from zero.
        const Out started{.tick = 0, .refresh = true, .changed = true};
        row("up after our stop", In{.answer = up, .stopDone = true}, started);
        row("closed, then up", In{.answer = up, .oldStatus = closed, .tick = 8, .lastAction = "up"}, started);
        row("stops, last up", In{.answer = down, .oldStatus = up, .tick = 9, .lastAction = "up"},
            Out{.tick = 9, .logLine = caused, .notify = true, .changed = true});
        row("closes, last up, busy view",
            In{.answer = closed, .oldStatus = up, .tick = 0, .lastAction = "up", .busyView = true},
            Out{.tick = 0, .logLine = caused, .refresh = true, .notify = true, .changed = true});
        // Stopped, not by error: the clock stops too.
        for (const char* last : {"down", "", "up ", "Up"})
            QTest::addRow("stops, last '%s'", last)
                << In{.answer = down, .oldStatus = up, .tick = 9, .lastAction = last}
                << Out{.tick = -1, .refresh = true, .notify = true, .changed = true};
        row("stops after a stop of ours", In{.answer = down, .oldStatus = up, .tick = 9, .stopDone = true},
            Out{.tick = -1, .refresh = true, .changed = true, .stopDone = true});
        row("stops while a start runs",
            In{.answer = down, .oldStatus = up, .lastAction = "up", .busyView = true, .jobUnderWay = true},
            Out{.logLine = caused, .refresh = true, .changed = true});
    }

    void decidesEachAnswer() {
        QFETCH(In, in);
        QFETCH(Out, out);
        out.oldStatus = in.answer;
        QCOMPARE(fields(decideStatus(in)), fields(out));
    }

    // A check every five seconds of uptime unless the busy view shows; while stopped, every five seconds
    // of its own count, one at a time, and none while busy or while a start or stop runs.
    void decidesEachSecond_data() {
        QTest::addColumn<TickInput>("in");
        QTest::addColumn<TickDecision>("out");
        using I = TickInput;
        using O = TickDecision;
        row("checks at 5 s", I{.tick = 4}, O{.tick = 5, .query = true});
        row("and at 10 s", I{.tick = 9, .stoppedTick = 2}, O{.tick = 10, .stoppedTick = 2, .query = true});
        row("none while busy", I{.tick = 9, .busyView = true}, O{.tick = 10});
        row("one of its own awaited", I{.tick = 4, .checking = true}, O{.tick = 5, .query = true});
        row("stopped: its own seconds", I{.stoppedTick = 3}, O{.stoppedTick = 4});
        row("stopped: checks at 5 s", I{.stoppedTick = 4}, O{.stoppedTick = 5, .query = true});
        row("stopped: and at 10 s", I{.stoppedTick = 9}, O{.stoppedTick = 10, .query = true});
        row("stopped: none while busy", I{.stoppedTick = 4, .busyView = true}, O{.stoppedTick = 5});
        row("stopped: none while a job runs", I{.stoppedTick = 4, .jobUnderWay = true}, O{.stoppedTick = 5});
        row("stopped: one at a time", I{.stoppedTick = 4, .checking = true}, O{.stoppedTick = 5});
    }

    void decidesEachSecond() {
        QFETCH(TickInput, in);
        QFETCH(TickDecision, out);
        QCOMPARE(fields(decideTick(in)), fields(out));
    }

    // The state a status reply reports: only an integral 0, 1 or 2 counts, anything else is down;
    // -1: not JSON at all, which is logged.
    void readsTheState() {
        const QList<std::pair<int, QByteArrayList>> rows{
            {0,
             {R"({"state":3})", R"({"state":-1})", R"({"state":1e30})", R"({"state":1.5})",
              R"({"state":"1"})", R"({"state":true})", R"([{"state":1}])",
              R"({"state":9223372036854775807})"}},
            {1, {R"({"a":[1],"state":1})", R"({"state":1.0})"}},
            {2, {R"({"state":2})"}},
            {-1, {"", "<html>", "1"}}};
        for (const auto& [state, bodies] : rows)
            for (const QByteArray& body : bodies) {
                const std::optional<ServiceState> read = stateFromStatusBody(body);
                QVERIFY2((read ? int(rawValue(*read)) : -1) == state, "[" + body + "]");
            }
    }

    // The log line for the account server's answer: its "succ", and for a negative one its "err" quoted
    // on one line, or nil; null: none. The uploaded line can never become extra form fields; the clock
    // just short of an hour and past 99 hours; the system version from any kernel release; the shell
    // lines take the bundle as it is, quoted (no variable in it expands), and the command as it is.
    void formatsTexts() {
        const auto line = [](const QByteArray& body) { return uploadResultLine(body).value_or(QString()); };
        const QString result = "xxoo log result = ";
        QCOMPARE(line(R"({"succ":0,"err":"x"})"), result + "0");
        QCOMPARE(line(R"({"succ":-2})"), result + "-2, err = nil");
        QCOMPARE(line(R"({"succ":-2,"err":5})"), result + "-2, err = nil");
        // Plain literals: moc loses track of raw strings that hold backslashes.
        QCOMPARE(line("{\"succ\":-1,\"err\":\"a \\\"b\\\" C:\\\\n\\n\\r\\t\\u0001\\u007f\xc3\xbc\"}"),
                 result + "-1, err = Optional(\"a \\\"b\\\" C:\\\\n\\n\\r\\t\\u{1}\\u{7f}\xc3\xbc\")");
        QCOMPARE(line(R"({"succ":"0"})"), QString());
        QCOMPARE(encodedLogLine("-._~!$'()*,:@/?"), "-._~!$'()*,:@/?");
        QCOMPARE(encodedLogLine("a;b c\n%[]#\"<>\\^`{|}&=+\xc3\xbc"),
                 "a,b%20c%0A%25%5B%5D%23%22%3C%3E%5C%5E%60%7B%7C%7D%26%3D%2B%C3%BC");
        QCOMPARE(uptimeText(3599), "00:59:59");
        QCOMPARE(uptimeText(360061), "100:01:01");
        QCOMPARE(osVersionFromRelease("6.5"), "Mac 6.5.0");
        QCOMPARE(osVersionFromRelease("6-rc3"), "Mac 6.0.0");
        QCOMPARE(bundleOfExecutableFolder("/opt/nodepanel/Contents/bin"), "/opt/nodepanel");
        QCOMPARE(privilegedShellText("/a/'b' \"$H\" ", "./x 'a b' $Y"),
                 "cd '/a/'\\''b'\\'' \"$H\" /Contents/Resources'\nsudo ./bash ./x 'a b' $Y");
    }

    // Only pkexec's own complaint, first in its error output with its status 126 or 127, is pkexec's
    // failure, told by its words; null: the script's own failure.
    void classifiesPkexecFailures_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("errors");
        QTest::addColumn<QString>("message");
        const QString as = "Error executing command as another user: ";
        row("not authorised", 127, as + "Not authorized\n\nThis incident has been reported.",
            "You are not authorised to run the node's script as administrator.");
        row("no agent", 127, as + "No authentication agent found.",
            "No authentication agent is running to ask for the administrator password.");
        row("no polkit", 127, "Error getting authority: Could not connect",
            "The system's authorisation service (polkit) is not available.");
        row("126, other words", 126, as + "Oops", "The administrator password request was dismissed.");
        row("127, other words", 127, as + "Out of memory",
            "The administrator request failed: " + as + "Out of memory");
        row("the script's 126", 126, "bash: ./manager.sh: Permission denied", QString());
        row("another status", 1, as + "Request dismissed", QString());
        row("not first", 127, "note\n" + as + "Not authorized", QString());
    }

    void classifiesPkexecFailures() {
        QFETCH(int, status);
        QFETCH(QString, errors);
        QFETCH(QString, message);
        const std::optional<ScriptFailure> failure = pkexecFailure(status, errors);
        QCOMPARE(failure ? scriptFailureLine(*failure) : QString(), message);
    }

    // What each row changes in a safe bundle /b, and what the refusal names (null: accepted). Files beyond
    // the script and bash fill the Resources folder. Only root and uid 1000 may be able to change anything
    // on the way to what runs as root, by mode, owner or access control list, one that cannot be read
    // included; a sticky folder will do above the Resources folder, not in it.
    void checksTheNodeFiles_data() {
        QTest::addColumn<Entries>("changes");
        QTest::addColumn<QString>("refusal");
        const QString m = r + "/manager.sh", lib = r + "/lib";
        const Type d = Type::Folder, f = Type::File, l = Type::Link;
        const auto row = [](const char* name, const Entries& changes, const QString& refusal) {
            QTest::newRow(name) << changes << refusal;
        };
        row("its group writes", {{m, {f, 0, 100, 0775}}}, m + " is writable by its group (gid 100)");
        row("root's group writes", {{m, {f, 0, 0, 0775}}}, {});
        row("the trusted owner's", {{m, {f, 1000, 0, 0755}}}, {});
        row("missing", {{m, {.error = ENOENT}}}, m + " cannot be checked (No such file");
        row("a folder", {{m, folder}}, m + " is not a regular file");
        row("Resources 1777", {{r, {d, 0, 0, 01777}}}, r + " is writable by all");
        row("Resources a file", {{r, {f}}}, r + " is not a folder");
        row("above 0777", {{"/b", {d, 0, 0, 0777}}}, "/b is writable by all users");
        row("above 1777", {{"/b", {d, 0, 0, 01777}}}, {});
        row("above 1777, another's", {{"/b", {d, 5, 0, 01777}}}, "/b belongs to uid 5");
        row("bash open to all", {{"/bin/bash", {f, 0, 0, 0777}}}, "/bin/bash is writable");
        row("via open folder", {{r + "/bash", {l, 0, 0, 0777, "../../o/bash"}}, {"/b/o", {d, 0, 0, 0777}}},
            "/b/o is");
        const Entries sticky{{r + "/bash", {l, 0, 0, 0, "/t/b"}}, {"/t", {d, 0, 0, 01777}}};
        row("another's link, sticky", sticky + Entries{{"/t/b", {l, 1, 0, 0, "/bin/bash"}}},
            "/t/b belongs to uid 1,");
        row("own link, sticky", sticky + Entries{{"/t/b", {l, 0, 0, 0, "/bin/bash"}}}, {});
        const QString h = "/b/Contents/libexec/nodepanel-manager";
        row("the helper, another's", {{"/b/Contents/libexec", folder}, {h, {f, 1, 0, 0755}}},
            h + " belongs to uid 1,");
        row("a loop of links", {{r + "/bash", {l, 0, 0, 0777, "bash"}}}, r + "/bash goes through too many");
        row("ACL, a user writes", {{m, {.type = f, .aclUsers = {5}}}}, m + " is writable by uid 5");
        row("ACL, the trusted owner writes", {{m, {.type = f, .aclUsers = {1000}}}}, {});
        row("ACL, a group writes", {{r, {.type = d, .aclGroups = {100}}}}, r + " is writable by gid 100");
        row("ACL unreadable", {{m, {.type = f, .aclError = EIO}}}, m + " has an access control list");
        row("sticky, ACL unreadable", {{"/b", {.type = d, .mode = 01777, .aclError = E2BIG}}},
            "/b has an access");
        row("a file deeper down", {{lib, folder}, {lib + "/x.so", {f, 7, 0, 0755}}},
            lib + "/x.so belongs to uid 7, not to root or uid 1000");
        row("a folder in it open to all", {{lib, {d, 0, 0, 01777}}}, lib + " is writable by all");
        row("a device in it", {{r + "/dev", {Type::Other, 0, 0, 0600}}}, r + "/dev is not a regular file");
        row("a link in it", {{r + "/c", {l, 0, 0, 0, "/bin/n"}}, {"/bin/n", {f, 0, 0, 0646}}}, "/bin/n is");
        Entries many;
        for (int i = 0; i < 9998; ++i)
            many.append({r + "/f" + QString::number(i), {f}});
        row("as many files as it checks", many, {});
        row("one more", many + Entries{{r + "/g", {f}}}, r + " holds too many files to check");
    }

    void checksTheNodeFiles() {
        QFETCH(Entries, changes);
        QFETCH(QString, refusal);
        QHash<QString, FileFacts> tree{{r + "/bash", {Type::Link, 0, 0, 0777, "/bin/bash"}}};
        for (const QString& path : QStringList{"/", "/b", "/b/Contents", r, "/bin"})
            tree[path] = folder;
        tree[r + "/manager.sh"] = tree["/bin/bash"] = file;
        for (const auto& [path, facts] : changes)
            tree[path] = facts;
        for (const QString& path : tree.keys())
            if (path != "/" && tree.contains(QFileInfo(path).path()))
                tree[QFileInfo(path).path()].entries.append(QFileInfo(path).fileName());
        const std::optional<FileRefusal> refused = untrustedNodeFiles(
            "/b", 1000, [&tree](const QString& path) { return tree.value(path, {.error = ENOENT}); });
        const QString why = refused ? refusalText(*refused) : QString();
        QVERIFY2(why.isNull() == refusal.isNull() && why.contains(refusal), qPrintable(why));
    }

    // The reader on a real file: the users and groups an access control list lets write, within its mask.
    void readsTheAccessControlList() {
        QTemporaryFile file;
        QVERIFY(file.open());
        const auto writers = [&file](const QString& acl) {
            QProcess::execute("setfacl", {"-b", "-m", acl, file.fileName()});
            const FileFacts facts = lookUpFile(file.fileName());
            return std::pair(facts.aclUsers, facts.aclGroups);
        };
        QCOMPARE(writers("u:1:w,u:2:r,g:100:rwx,g:3:x"), std::pair(QList<uint>{1}, QList<uint>{100}));
        QCOMPARE(writers("u:65534:w,g:100:w,m::r"), std::pair(QList<uint>(), QList<uint>()));
    }

    // The output queue is bounded in what waits, not in what passes through over time: a reader that
    // stops reading holds back only the lines that fit its 256 KiB (255, and one on its way to the pipe),
    // the rest are dropped; once it reads again, every line gets through.
    void boundsWhatWaitsNotWhatPasses() {
        int pipe[2];
        QVERIFY(::pipe(pipe) == 0 && ::fcntl(pipe[1], F_SETPIPE_SZ, 4096) == 4096);
        QCOMPARE(::write(pipe[1], QByteArray(4096, 'x').constData(), 4096), 4096);
        for (int i = 0; i < 600; ++i)
            writeWholeLine(pipe[1], QByteArray(1024, 'y'));
        auto reader = std::async(std::launch::async, [end = pipe[0]] {
            QFile in;
            in.open(end, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
            return in.readAll();
        });
        for (int i = 0; i < 320; ++i) {
            QVERIFY(i % 32 != 0 || flushOutput(std::chrono::seconds(10)));
            writeWholeLine(pipe[1], QByteArray(1024, 'z'));
        }
        QVERIFY(flushOutput(std::chrono::seconds(10)));
        ::close(pipe[1]);
        const QByteArray read = reader.get();
        QCOMPARE(read.count("z\n"), 320);
        QVERIFY2(read.count("y\n") == 255 || read.count("y\n") == 256, QByteArray::number(read.count("y\n")));
    }

    // Qt's own options start the panel, with their values, in either spelling, and a flag takes none.
    void decidesWhatALaunchDoes() {
        QVERIFY(commandLineStartsPanel({"nodepanel", "--platform", "xcb", "-style=fusion", "-reverse"}));
        QVERIFY(!commandLineStartsPanel({"nodepanel", "-reverse", "x"}));
    }
};

QTEST_APPLESS_MAIN(TestLogic)
#include "tst_logic.moc"
