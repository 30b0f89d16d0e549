// The panel's rules as plain functions: no server, process or window.
#include "app/application.h"
#include "host/nodefiles.h"
#include "host/remotelog.h"
#include "host/replies.h"
#include "host/scriptrunner.h"

#include "testsupport.h"

using Texts = std::initializer_list<std::pair<const char*, const char*>>;

class TestLogic : public QObject {
    Q_OBJECT

private slots:
    void readsTheReplies() {
        // clang-format off
        const std::initializer_list<std::pair<const char*, int>> states{ // -1: not JSON at all, which is logged
            {R"({"state":0})", 0}, {R"({"a":[1],"state":1})", 1}, {R"({"state":2})", 2}, {R"({"state":3})", 0},
            {R"({"state":-1})", 0}, {R"({"state":9223372036854775807})", 0}, {R"({"state":1e30})", 0},
            {R"({"state":1.0})", 1}, {R"({"state":1.5})", 0}, {R"({"state":"1"})", 0}, {R"({"state":true})", 0},
            {R"([{"state":1}])", 0}, {"", -1}, {"<html>", -1}, {"1", -1}};
        // Plain literals: moc loses track of raw strings that hold backslashes.
        const Texts results{{R"({"succ":0})", "0"}, {R"({"succ":3,"err":"x"})", "3"}, {R"({"succ":-2})", "-2, err = nil"},
            {R"({"succ":-2,"err":5})", "-2, err = nil"},
            {"{\"succ\":-1,\"err\":\"a \\\"b\\\" C:\\\\n\\n\\r\\t\\u0001\\u007f\xc3\xbc\"}",
             "-1, err = Optional(\"a \\\"b\\\" C:\\\\n\\n\\r\\t\\u{1}\\u{7f}\xc3\xbc\")"},
            {R"({"succ":"0"})", nullptr}, {R"({"succ":true})", nullptr}, {R"([{"succ":0}])", nullptr}};
        // clang-format on
        for (const auto& [body, state] : states) {
            const std::optional<ServiceState> read = stateFromStatusBody(body);
            QCOMPARE(std::pair(body, read ? int(rawValue(*read)) : -1), std::pair(body, state));
        }
        for (const auto& [body, line] : results)
            QCOMPARE(uploadResultLine(body),
                     line ? std::optional("xxoo log result = " + QString::fromUtf8(line)) : std::nullopt);
        QCOMPARE(uploadResultLine("<html>"), "xxoo failed to parse the json result");
    }

    void formatsTexts() {
        QCOMPARE(encodedLogLine("-._~!$'()*,:@/?"), "-._~!$'()*,:@/?");
        QCOMPARE(encodedLogLine("a;b c\n%[]#\"<>\\^`{|}&=+\xc3\xbc"),
                 "a,b%20c%0A%25%5B%5D%23%22%3C%3E%5C%5E%60%7B%7C%7D%26%3D%2B%C3%BC");
        for (const auto& [seconds, text] :
             Texts{{"59", "00:00:59"}, {"60", "00:01:00"}, {"3599", "00:59:59"}, {"360061", "100:01:01"}})
            QCOMPARE(uptimeText(QString(seconds).toLongLong()), text);
        for (const auto& [release, text] :
             Texts{{"6.1.0-18-amd64", "Mac 6.1.0"}, {"6.5", "Mac 6.5.0"}, {"6-rc3", "Mac 6.0.0"}})
            QCOMPARE(osVersionFromRelease(release), text);
        QCOMPARE(bundleOfExecutableFolder("/opt/nodepanel/Contents/bin"), "/opt/nodepanel");
        // The bundle quoted for the shell, blanks and all; the command as it is.
        for (const auto& [bundle, quoted] :
             Texts{{"/opt/N P ", "/opt/N P "}, {"/a/'b'\"$H\"", "/a/'\\''b'\\''\"$H\""}})
            QCOMPARE(privilegedShellText(bundle, "./x 'a b' $Y"),
                     "cd '" + QString(quoted) + "/Contents/Resources'\nsudo ./bash ./x 'a b' $Y");
    }

    void classifiesPkexecFailures() {
        const QString as = "Error executing command as another user: ";
        // clang-format off
        const std::initializer_list<std::tuple<int, QString, const char*>> rows{
            {126, as + "Request dismissed", "The administrator password request was dismissed."},
            {127, as + "Not authorized\n\nThis incident has been reported.", "You are not authorised to run the node's script as administrator."},
            {127, as + "No authentication agent found.", "No authentication agent is running to ask for the administrator password."},
            {127, "Error getting authority: Could not connect", "The system's authorisation service (polkit) is not available."},
            {126, as + "Oops", "The administrator password request was dismissed."},
            {126, "bash: ./manager.sh: Permission denied", nullptr}, {1, as + "Request dismissed", nullptr},
            {127, "note\n" + as + "Not authorized", nullptr}};
        // clang-format on
        for (const auto& [status, errors, message] : rows)
            QCOMPARE(pkexecFailureMessage(status, errors),
                     message ? std::optional<QString>(message) : std::nullopt);
        QCOMPARE(pkexecFailureMessage(127, as + "Out of memory"),
                 "The administrator request failed: " + as + "Out of memory");
    }

    // Each entry: path, kind (d folder, f file, l link, - missing), mode, owner, group, link target. The rows
    // change the safe bundle /b.
    void checksTheNodeFiles_data() {
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<QString>("refusal"); // what it names; null: accepted
        const QString r = "/b/Contents/Resources", m = r + "/manager.sh";
        // clang-format off
        QTest::newRow("safe") << QStringList() << QString();
        QTest::newRow("open to all") << QStringList{m + " f 0666"} << m + " is writable by all users, so a program";
        QTest::newRow("its group writes") << QStringList{m + " f 0775 0 100"} << m + " is writable by its group (gid 100)";
        QTest::newRow("root's group writes") << QStringList{m + " f 0775 0 0"} << QString();
        QTest::newRow("another's") << QStringList{m + " f 0755 65534"} << m + " belongs to uid 65534, not to root or uid 1000";
        QTest::newRow("the trusted owner's") << QStringList{m + " f 0755 1000"} << QString();
        QTest::newRow("missing") << QStringList{m + " -"} << m + " cannot be checked (No such file";
        QTest::newRow("a folder") << QStringList{m + " d 0755"} << m + " is not a regular file";
        QTest::newRow("Resources 1777") << QStringList{r + " d 1777"} << r + " is writable by all";
        QTest::newRow("Resources a file") << QStringList{r + " f 0755"} << r + " is not a folder";
        QTest::newRow("a link to an open folder") << QStringList{r + " l 0777 0 0 /e", "/e d 0777"} << "/e is writable";
        QTest::newRow("above 0777") << QStringList{"/b d 0777"} << "/b is writable by all users";
        QTest::newRow("above 1777") << QStringList{"/b d 1777"} << QString();
        QTest::newRow("bash open to all") << QStringList{"/bin/bash f 0777"} << "/bin/bash is writable";
        QTest::newRow("through an open folder") << QStringList{r + "/bash l 0777 0 0 ../../o/bash", "/b/o d 0777"} << "/b/o is";
        QTest::newRow("another's link, sticky") << QStringList{r + "/bash l 0 0 0 /t/b", "/t d 1777", "/t/b l 0 1 0 /bin/bash"} << "/t/b belongs to uid 1,";
        QTest::newRow("own link, sticky") << QStringList{r + "/bash l 0 0 0 /t/b", "/t d 1777", "/t/b l 0 0 0 /bin/bash"} << QString();
        QTest::newRow("the helper, another's") << QStringList{"/b/Contents/libexec d 0755", "/b/Contents/libexec/nodepanel-manager f 0755 1"} << "/b/Contents/libexec/nodepanel-manager belongs to uid 1,";
        QTest::newRow("a loop of links") << QStringList{r + "/bash l 0777 0 0 bash"} << r + "/bash goes through too many";
        QTest::newRow("an ACL lets a user write") << QStringList{m + " f 0755 0 0 - u5"} << m + " is writable by uid 5 through its access";
        QTest::newRow("an ACL lets the trusted owner write") << QStringList{m + " f 0755 0 0 - u1000"} << QString();
        QTest::newRow("an ACL lets a group write") << QStringList{r + " d 0755 0 0 - g100"} << r + " is writable by gid 100 through";
        QTest::newRow("the node's program open to all") << QStringList{r + "/node f 0666"} << r + "/node is writable by all";
        QTest::newRow("a file deeper down") << QStringList{r + "/lib d 0755", r + "/lib/x.so f 0755 7"} << r + "/lib/x.so belongs to uid 7";
        QTest::newRow("a folder in it open to all") << QStringList{r + "/lib d 1777"} << r + "/lib is writable by all";
        QTest::newRow("a device in it") << QStringList{r + "/dev o 0600"} << r + "/dev is not a regular file";
        QTest::newRow("a link in it to an open file") << QStringList{r + "/cfg l 0777 0 0 /etc/n", "/etc d 0755", "/etc/n f 0646"} << "/etc/n is writable";
        // clang-format on
    }

    void checksTheNodeFiles() {
        QFETCH(QStringList, changes);
        QFETCH(QString, refusal);
        const QString r = "/b/Contents/Resources", m = r + "/manager.sh";
        QMap<QString, FileFacts> tree;
        for (const QString& entry :
             QStringList{"/ d 0755", "/b d 0755", "/b/Contents d 0755", r + " d 0755", m + " f 0755",
                         "/bin d 0755", "/bin/bash f 0755", r + "/bash l 0777 0 0 /bin/bash"} +
                 changes) {
            const QStringList part = entry.split(' ');
            FileFacts& facts = tree[part[0]];
            // clang-format off
            facts = {FileFacts::Type(QString("-dflo").indexOf(part[1])), part.value(3).toUInt(), part.value(4).toUInt(),
                     part.value(2).toUInt(nullptr, 8), part.value(5), ENOENT, {}, {}, {}};
            // clang-format on
            (part.value(6).startsWith('u') ? facts.aclUsers : facts.aclGroups) +=
                part.value(6).mid(1).toUInt();
        }
        const auto lookUp = [&tree](const QString& path) {
            FileFacts facts = tree.value(path, {FileFacts::Type::Missing, 0, 0, 0, {}, ENOENT, {}, {}, {}});
            for (const QString& other : tree.keys())
                if (QFileInfo(other).path() == path && other != "/")
                    facts.entries.append(QFileInfo(other).fileName());
            return facts;
        };
        const QString why = untrustedNodeFiles("/b", 1000, lookUp).value_or(QString());
        QVERIFY2(why.isNull() == refusal.isNull() && why.contains(refusal), qPrintable(why));
        QVERIFY(why.isNull() || why.startsWith("Refused to run the node's script as administrator: "));
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
        const QString why = untrustedNodeFiles("/b", 1000, lookUp).value_or(QString());
        QVERIFY2(why.isNull() == refusal.isNull() && why.contains(refusal), qPrintable(why));
    }
};

QTEST_APPLESS_MAIN(TestLogic)
#include "tst_logic.moc"
