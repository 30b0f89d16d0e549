// The exchanges with real local servers: the node's status over HTTP, the remote log over HTTPS.
#include "host/utils.h"

#include "testsupport.h"

using namespace std::chrono_literals;
using Mode = TestHttpServer::Mode;
using ms = std::chrono::milliseconds;

const QString unparsable = "xxoo failed to parse the json result";
const QByteArray ok = "HTTP/1.1 200 OK\r\n";

class TestHttp : public QObject {
    Q_OBJECT

private:
    TestHttpServer node, account, impostor;
    HostConfig config;

    QSettings settings() const { return {config.settingsPath, QSettings::IniFormat}; }

private slots:
    void initTestCase() {
        const auto identity = makeTestCertificate();
        QVERIFY(node.start());
        QVERIFY(account.start(0, identity));
        QVERIFY(impostor.start(0, makeTestCertificate()));
        config.extraCaCertificates = {identity.first};
        config.settingsPath =
            QDir::temp().filePath(QString("tst_http_%1.conf").arg(QCoreApplication::applicationPid()));
        config.statusUrl = node.url("/get_status");
        config.accountBaseUrl = account.url();
    }

    void cleanupTestCase() { QFile::remove(config.settingsPath); }

    // How the node answers: a whole raw reply, or a body (a reply that starts with "HTTP" is raw), then
    // what it floods on with; the bound of the exchange, the state read, whether the reply is logged as
    // unparsable, and the least time the queries take.
    void queriesTheNode_data() {
        QTest::addColumn<Mode>("mode");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("flood");
        QTest::addColumn<ms>("bound");
        QTest::addColumn<ServiceState>("state");
        QTest::addColumn<bool>("logged");
        QTest::addColumn<int>("leastMs");
        const auto row = [](const char* name, const QByteArray& reply, ServiceState state,
                            bool logged = false, Mode mode = Mode::Respond, const QByteArray& flood = {},
                            ms bound = 5s, int leastMs = 0) {
            QTest::newRow(name) << mode << reply << flood << bound << state << logged << leastMs;
        };
        const QByteArray full = stateReply(up) + QByteArray(65536 - 11, ' '),
                         chunked = "Transfer-Encoding: chunked";
        row("HTTP 500 with a body", "HTTP/1.1 500 No\r\n\r\n" + stateReply(up), up);
        row("64 KiB", full, up);
        row("a byte more", full + ' ', down, true);
        row("a byte more, unannounced", ok + "\r\n" + full + ' ', down, true);
        row("announced oversize", ok + "Content-Length: 100000000\r\n\r\n{}", down, true);
        row("cut short", ok + "Content-Length: 99\r\n\r\n" + stateReply(up), down);
        row("chunked", ok + chunked + "\r\n\r\n4\r\n{\"st\r\n7;x\r\nate\":1}\r\n0\r\n\r\n", up);
        row("a redirect, not followed",
            "HTTP/1.1 302 Found\r\nLocation: /up\r\nContent-Length: 11\r\n\r\n" + stateReply(closed), closed);
        row("refused", "refused", down);
        row("through a dead proxy", "proxy", up);
        row("a chunked flood", ok + chunked + "\r\n\r\n", down, true, Mode::Flood,
            "1000\r\n" + QByteArray(4096, 'x') + "\r\n");
        row("an endless header line", ok + "X: ", down, false, Mode::Flood, QByteArray(4096, 'x'));
        row("endless header lines", ok, down, false, Mode::Flood, "X: y\r\n");
        row("drip past the bound", stateReply(up), down, false, Mode::Drip, {}, 800ms);
        row("no answer", {}, down, false, Mode::NeverAnswer, {}, HostConfig().httpTimeout, 4900);
    }

    // Two queries at once: each calls back exactly once, off the main thread, after storing the state.
    void queriesTheNode() {
        QFETCH(Mode, mode);
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, flood);
        QFETCH(ms, bound);
        QFETCH(ServiceState, state);
        QFETCH(bool, logged);
        QFETCH(int, leastMs);
        HostConfig query = config;
        query.httpTimeout = bound;
        node.mode = mode;
        node.flood = flood;
        node.setReply(200, reply.size() > 10 ? reply : stateReply(up));
        if (reply.startsWith("HTTP"))
            node.reply = reply;
        if (reply == "refused")
            query.statusUrl.setPort(closedPort());
        if (reply == "proxy")
            QNetworkProxy::setApplicationProxy(
                QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", closedPort()));
        setCurrentServiceState(state == up ? closed : up);
        const int endedBefore = node.ended;
        std::atomic<int> calls = 0, offMain = 0;
        QList<ServiceState> states(2, down);
        Capture log;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 2; ++i)
            Utils::queryNodeStatus(query, [&, i] {
                states[i] = currentServiceState();
                offMain += QThread::currentThread() != QCoreApplication::instance()->thread();
                ++calls;
            });
        QTRY_COMPARE_WITH_TIMEOUT(calls.load(), 2, 4000 + leastMs);
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        QVERIFY(clock.elapsed() >= leastMs);
        QTest::qWait(50);
        QCOMPARE(calls.load(), 2);
        QCOMPARE(offMain.load(), 2);
        QCOMPARE(states, QList<ServiceState>(2, state));
        QCOMPARE(log.lines(), QStringList(logged ? 2 : 0, unparsable));
        // The panel hangs up on a reply that does not end, rather than wait for it.
        QTRY_COMPARE(node.ended - endedBefore, reply == "refused" ? 0 : 2);
        node.mode = Mode::Respond;
    }

    // One identifier per installation, made once: kept for the whole run when the settings cannot keep it.
    void keepsOneIdentifier() {
        HostConfig unsaved = config;
        unsaved.settingsPath = "/proc/nodepanel/nodepanel.conf";
        const QString made = Utils::deviceUUID(unsaved);
        QVERIFY(QRegularExpression("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$").match(made).hasMatch());
        QCOMPARE(Utils::deviceUUID(unsaved), made);
    }

    // The identifier as stored (none: a first upload makes one and saves it at once), the account
    // server's answer (raw when it starts with "HTTP/"), the line logged for it, the identifier sent.
    void uploadsTheLine_data() {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<QString>("sent");
        const QByteArray limit = R"({"succ":7})" + QByteArray(65536 - 10, ' ');
        QTest::newRow("first") << QVariant() << QByteArray(R"({"succ":-1,"err":"x"})")
                               << R"(xxoo log result = -1, err = Optional("x"))" << QString();
        QTest::newRow("as stored") << QVariant("node 7") << QByteArray("{}") << QString() << "node 7";
        QTest::newRow("empty") << QVariant("") << QByteArray("busy") << unparsable << "";
        QTest::newRow("form characters")
            << QVariant("a&l=x+y%") << QByteArray("{}") << QString() << "a&l=x+y%";
        QTest::newRow("a list") << QVariant(QStringList{"a", "b"}) << QByteArray("{}") << QString() << "a, b";
        // An error status with a body is an answer; one larger than the bound is cut off unread.
        QTest::newRow("error status")
            << QVariant("n") << QByteArray("HTTP/1.1 500 No\r\nContent-Length: 10\r\n\r\n{\"succ\":7}")
            << "xxoo log result = 7"
            << "n";
        QTest::newRow("announced oversize")
            << QVariant("n") << ok + "Content-Length: 100000000\r\n\r\n{\"succ\":7}" << unparsable << "n";
        QTest::newRow("64 KiB") << QVariant("n") << limit << "xxoo log result = 7"
                                << "n";
        QTest::newRow("a byte more, unannounced")
            << QVariant("n") << ok + "Connection: close\r\n\r\n" + limit + ' ' << unparsable << "n";
    }

    // The line printed, then posted with the tags: the identifier encoded as the line is, the system
    // version with its space, this build's version; then the answer logged.
    void uploadsTheLine() {
        QFETCH(QVariant, stored);
        QFETCH(QByteArray, answer);
        QFETCH(QString, logged);
        QFETCH(QString, sent);
        account.setReply(200, answer);
        if (answer.startsWith("HTTP/"))
            account.reply = answer;
        settings().remove("uuid");
        if (stored.isValid())
            settings().setValue("uuid", stored);
        Capture log(true);
        account.requests.clear();
        Utils::uploadLog(config, "up; [a&b]");
        // Back, and printed, before the request has even arrived.
        QCOMPARE(account.requests.size(), 0);
        QCOMPARE(log.printed(), QStringList{"up, [a&b]"});
        QTRY_COMPARE(account.requests.size(), 1);
        QTRY_COMPARE(log.lines(), logged.isEmpty() ? QStringList() : QStringList{logged});
        const RecordedRequest request = account.requests.value(0);
        QCOMPARE(request.line, "POST /api/upload_log HTTP/1.1");
        QVERIFY(request.head.toLower().contains("\r\naccept: application/json\r\n"));
        QVERIFY(request.head.toLower().contains("\r\ncontent-type: application/x-www-form-urlencoded\r\n"));
        QCOMPARE(request.fields().keys(), (QStringList{"d", "l", "o", "v"}));
        QCOMPARE(request.fields()["d"], stored.isValid() ? sent : settings().value("uuid").toString());
        QCOMPARE(request.fields()["l"], "up, [a&b]");
        QCOMPARE(request.fields()["o"], Utils::osVersionString());
        QCOMPARE(request.fields()["v"], NODEPANEL_VERSION);
        QVERIFY(request.body.contains("&o=" + Utils::osVersionString().toUtf8() + '&'));
    }

    // A line that cannot be delivered is lost without a word; an untrusted server never sees it, and an
    // answer that drips past the bound is given up. Exchanges end one at a time on the network thread:
    // once the last answer is in, the others are done.
    void losesTheLineQuietly() {
        Capture log;
        HostConfig upload = config;
        upload.httpTimeout = 1s;
        TestHttpServer slow;
        QVERIFY(slow.start());
        slow.mode = Mode::Drip;
        slow.setReply(200, R"({"succ":5})" + QByteArray(1000, ' '));
        account.setReply(200, R"({"succ":7})");
        for (const QUrl& url : {impostor.url(), QUrl(QString("https://127.0.0.1:%1").arg(closedPort())),
                                slow.url(), account.url()}) {
            upload.accountBaseUrl = url;
            Utils::uploadLog(upload, "line");
        }
        QTRY_COMPARE(log.lines(), QStringList{"xxoo log result = 7"});
        QCOMPARE(impostor.connections, 1);
        QCOMPARE(impostor.requests.size(), 0);
        QTRY_COMPARE(slow.ended, 1);
        QCOMPARE(log.lines(), QStringList{"xxoo log result = 7"});
    }
};

QTEST_GUILESS_MAIN(TestHttp)
#include "tst_http.moc"
