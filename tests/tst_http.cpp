// The exchanges with real local servers: the node's status over HTTP, the remote log over HTTPS.
#include "testsupport.h"

using namespace std::chrono_literals;
using Mode = TestHttpServer::Mode;

const QString unparsable = "xxoo failed to parse the json result";
const QByteArray ok = "HTTP/1.1 200 OK\r\n";

// How the node answers: a whole raw reply when it starts with "HTTP/", else a body, sent as mode says, then
// flood again and again; the bound of the exchange; the state read; whether the reply is logged as
// unparsable; the least time taken.
struct NodeAnswer {
    QByteArray reply;
    ServiceState state;
    bool logged = false;
    Mode mode = Mode::Respond;
    QByteArray flood = {};
    std::chrono::milliseconds bound = HostConfig().httpTimeout;
    int leastMs = 0;
};

// The identifier as stored (none: a first upload makes one and saves it at once), the account server's
// answer (raw when it starts with "HTTP/"), the line logged for it, the identifier sent.
struct Upload {
    QVariant stored;
    QByteArray answer;
    QString logged, sent;
};

class TestHttp : public QObject {
    Q_OBJECT

private:
    TestHttpServer node, account, impostor;
    HostConfig config;
    QTemporaryDir temp;

    QSettings settings() const { return {config.settingsPath, QSettings::IniFormat}; }

private slots:
    void initTestCase() {
        const auto identity = makeTestCertificate();
        QVERIFY(node.start() && account.start(0, identity) && impostor.start(0, makeTestCertificate()));
        config.extraCaCertificates = {identity.first};
        config.settingsPath = temp.filePath("nodepanel.conf");
        config.statusUrl = node.url("/get_status");
        config.accountBaseUrl = account.url();
    }

    // The status check is bounded whatever the node sends: 64 KiB of body, 16 KiB of header, the whole
    // exchange in time (5 s unless told), following no redirect.
    void queriesTheNode_data() {
        QTest::addColumn<NodeAnswer>("answer");
        const auto row = [](const char* name, const NodeAnswer& answer) { QTest::newRow(name) << answer; };
        const QByteArray full = stateReply(up) + QByteArray(65536 - 11, ' '),
                         chunked = "Transfer-Encoding: chunked";
        row("64 KiB", {full, up});
        row("a byte more, unannounced", {ok + "\r\n" + full + ' ', down, true});
        row("announced oversize", {ok + "Content-Length: 100000000\r\n\r\n{}", down, true});
        row("cut short", {ok + "Content-Length: 99\r\n\r\n" + stateReply(up), down});
        row("chunked", {ok + chunked + "\r\n\r\n4\r\n{\"st\r\n7;x\r\nate\":1}\r\n0\r\n\r\n", up});
        // The body counts whatever the status.
        row("a redirect, not followed",
            {"HTTP/1.1 302 Found\r\nLocation: /up\r\nContent-Length: 11\r\n\r\n" + stateReply(closed),
             closed});
        row("a chunked flood", {ok + chunked + "\r\n\r\n", down, true, Mode::Flood,
                                "1000\r\n" + QByteArray(4096, 'x') + "\r\n"});
        row("endless header lines", {.reply = ok, .state = down, .mode = Mode::Flood, .flood = "X: y\r\n"});
        row("drip past the bound",
            {.reply = stateReply(up), .state = down, .mode = Mode::Drip, .bound = 800ms});
        row("no answer", {.state = down, .mode = Mode::NeverAnswer, .leastMs = 4900});
    }

    // Two queries at once: each calls back exactly once, off the main thread, after storing the state, and
    // hangs up rather than wait for a reply that does not end.
    void queriesTheNode() {
        QFETCH(NodeAnswer, answer);
        config.httpTimeout = answer.bound;
        node.mode = answer.mode;
        node.flood = answer.flood;
        answer.reply.startsWith("HTTP/") ? void(node.reply = answer.reply) : node.setReply(200, answer.reply);
        setCurrentServiceState(answer.state == up ? closed : up);
        const int endedBefore = node.ended;
        std::atomic<int> calls = 0, offMain = 0, stateRead = 0;
        Capture log;
        const QDeadlineTimer least(answer.leastMs);
        for (int i = 0; i < 2; ++i)
            Utils::queryNodeStatus(config, [&] {
                stateRead += currentServiceState() == answer.state;
                offMain += QThread::currentThread() != QCoreApplication::instance()->thread(), ++calls;
            });
        QTRY_COMPARE_WITH_TIMEOUT(calls.load(), 2, 4000 + answer.leastMs);
        QVERIFY(least.hasExpired());
        QTest::qWait(50);
        QCOMPARE(std::tuple(calls.load(), offMain.load(), stateRead.load()), std::tuple(2, 2, 2));
        QCOMPARE(log.lines(), QStringList(answer.logged ? 2 : 0, unparsable));
        QTRY_COMPARE(node.ended - endedBefore, 2);
    }

    // With a context, the exchange and the answer stay on the asking thread (no hop through the network
    // thread), and the check asks with the host name or address and the path it was given. A context that
    // goes ends its exchange, whose answer never comes.
    void answersWhereAsked() {
        node.mode = Mode::Respond;
        node.requests.clear();
        const int endedBefore = node.ended;
        auto context = std::make_unique<QObject>();
        std::atomic<int> calls = 0, onMain = 0;
        const auto ask = [&](const char* host) {
            HostConfig query = config;
            query.statusUrl.setHost(host);
            Utils::queryNodeStatus(
                query, [&] { onMain += QThread::currentThread() == thread(), ++calls; }, context.get());
        };
        ask("localhost");
        QTRY_COMPARE(std::pair(calls.load(), onMain.load()), std::pair(1, 1));
        node.mode = Mode::NeverAnswer;
        ask("127.0.0.1");
        QTRY_COMPARE(node.requests.size(), 2);
        context.reset();
        QTRY_COMPARE(node.ended - endedBefore, 2);
        QCOMPARE(calls.load(), 1);
        const QString head = "GET /get_status HTTP/1.1\r\nHost: %1:" + QString::number(node.serverPort()) +
                             "\r\nConnection: close";
        QCOMPARE(node.requests[0].head + '|' + node.requests[1].head,
                 head.arg("localhost") + '|' + head.arg("127.0.0.1"));
    }

    // Whatever is stored is sent as it is. An answer of any status counts, up to 64 KiB; a larger one is cut
    // off unread.
    void uploadsTheLine_data() {
        QTest::addColumn<Upload>("upload");
        const auto row = [](const char* name, const Upload& upload) { QTest::newRow(name) << upload; };
        const QByteArray limit = R"({"succ":7})" + QByteArray(65536 - 10, ' ');
        const QString seven = "xxoo log result = 7";
        row("first", {{}, R"({"succ":-1,"err":"x"})", R"(xxoo log result = -1, err = Optional("x"))"});
        row("empty", {"", "busy", unparsable, ""});
        row("form characters", {"a&l=x+y%", "{}", {}, "a&l=x+y%"});
        row("a list", {QStringList{"a", "b"}, "{}", {}, "a, b"});
        row("error status", {"n", "HTTP/1.1 500 No\r\nContent-Length: 10\r\n\r\n{\"succ\":7}", seven, "n"});
        row("announced oversize",
            {"n", ok + "Content-Length: 100000000\r\n\r\n{\"succ\":7}", unparsable, "n"});
        row("64 KiB", {"n", limit, seven, "n"});
        row("a byte more, unannounced",
            {"n", ok + "Connection: close\r\n\r\n" + limit + ' ', unparsable, "n"});
    }

    // Back at once with the line printed; then the line posted as a form with the identifier encoded as the
    // line is, the system version with its space, and this build's version; then the answer logged.
    void uploadsTheLine() {
        QFETCH(Upload, upload);
        upload.answer.startsWith("HTTP/") ? void(account.reply = upload.answer)
                                          : account.setReply(200, upload.answer);
        upload.stored.isValid() ? settings().setValue("uuid", upload.stored) : settings().remove("uuid");
        Capture log(true);
        account.requests.clear();
        Utils::uploadLog(config, "up; [a&b]");
        QCOMPARE(account.requests.size(), 0);
        QCOMPARE(log.printed(), QStringList{"up, [a&b]"});
        QTRY_COMPARE(account.requests.size(), 1);
        QTRY_COMPARE(log.lines(), upload.logged.isEmpty() ? QStringList() : QStringList{upload.logged});
        const RecordedRequest request = account.requests.value(0);
        const QString os = Utils::osVersionString(),
                      sent = upload.stored.isValid() ? upload.sent : settings().value("uuid").toString();
        QCOMPARE(request.line, "POST /api/upload_log HTTP/1.1");
        QVERIFY(request.head.toLower().contains("\r\naccept: application/json\r\n") &&
                request.head.toLower().contains("\r\ncontent-type: application/x-www-form-urlencoded\r\n"));
        QCOMPARE(
            request.fields(),
            (QMap<QString, QString>{{"d", sent}, {"l", "up, [a&b]"}, {"o", os}, {"v", NODEPANEL_VERSION}}));
        QVERIFY(request.body.contains("&o=" + os.toUtf8() + '&'));
        // A made identifier is a UUID in upper case without braces.
        QVERIFY(upload.stored.isValid() ||
                QRegularExpression("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$").match(sent).hasMatch());
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
        for (const QUrl& url : {impostor.url(), slow.url(), account.url()}) {
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
