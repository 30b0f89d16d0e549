// The exchanges with real local servers: the node's status over HTTP, the remote log over HTTPS.
#include "host/utils.h"

#include "testsupport.h"

#include <thread>

using namespace std::chrono_literals;
using Mode = TestHttpServer::Mode;
// How the node answers (a raw reply when it starts with "HTTP", else a body; "refused" and "proxy" are
// obstacles on the way) and what it floods on with, the bound, the state read, whether the parse failure
// is logged, and the least time the two queries take.
using QueryRow = std::tuple<Mode, QByteArray, QByteArray, std::chrono::milliseconds, int, bool, int>;

class TestHttp : public QObject {
    Q_OBJECT

private:
    TestHttpServer node, account, impostor;
    HostConfig config;

private slots:
    void initTestCase() {
        const auto identity = makeTestCertificate();
        QVERIFY(node.start() && account.start(0, identity) && impostor.start(0, makeTestCertificate()));
        config.extraCaCertificates = {identity.first};
        config.settingsPath =
            QDir::temp().filePath(QString("tst_http_%1.conf").arg(QCoreApplication::applicationPid()));
        config.statusUrl = node.url("/get_status");
        config.accountBaseUrl = account.url();
    }

    void cleanupTestCase() { QFile::remove(config.settingsPath); }

    // Two queries at once: each calls back exactly once, off the main thread, after storing the state.
    void queriesTheNode_data() {
        QTest::addColumn<QueryRow>("row");
        const QByteArray full = stateReply(1) + QByteArray(65536 - 11, ' ');
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        // clang-format off
        QTest::newRow("HTTP 500 with a body") << QueryRow{Mode::Respond, "HTTP/1.1 500 No\r\n\r\n" + stateReply(1), {}, 5s, 1, false, 0};
        QTest::newRow("64 KiB") << QueryRow{Mode::Respond, full, {}, 5s, 1, false, 0};
        QTest::newRow("a byte more") << QueryRow{Mode::Respond, full + ' ', {}, 5s, 0, true, 0};
        QTest::newRow("a byte more, unannounced") << QueryRow{Mode::Respond, ok + "\r\n" + full + ' ', {}, 5s, 0, true, 0};
        QTest::newRow("announced oversize") << QueryRow{Mode::Respond, ok + "Content-Length: 100000000\r\n\r\n{}", {}, 5s, 0, true, 0};
        QTest::newRow("cut short") << QueryRow{Mode::Respond, ok + "Content-Length: 99\r\n\r\n" + stateReply(1), {}, 5s, 0, false, 0};
        QTest::newRow("chunked") << QueryRow{Mode::Respond, ok + "Transfer-Encoding: chunked\r\n\r\n4\r\n{\"st\r\n7;x\r\nate\":1}\r\n0\r\n\r\n", {}, 5s, 1, false, 0};
        QTest::newRow("a redirect, not followed") << QueryRow{Mode::Respond, "HTTP/1.1 302 Found\r\nLocation: /up\r\nContent-Length: 11\r\n\r\n" + stateReply(2), {}, 5s, 2, false, 0};
        QTest::newRow("a chunked flood") << QueryRow{Mode::Flood, ok + "Transfer-Encoding: chunked\r\n\r\n", "1000\r\n" + QByteArray(4096, 'x') + "\r\n", 5s, 0, true, 0};
        QTest::newRow("an endless header line") << QueryRow{Mode::Flood, ok + "X: ", QByteArray(4096, 'x'), 5s, 0, false, 0};
        QTest::newRow("endless header lines") << QueryRow{Mode::Flood, ok, "X: y\r\n", 5s, 0, false, 0};
        QTest::newRow("refused") << QueryRow{Mode::Respond, "refused", {}, 5s, 0, false, 0};
        QTest::newRow("through a dead proxy") << QueryRow{Mode::Respond, "proxy", {}, 5s, 1, false, 0};
        QTest::newRow("drip past the bound") << QueryRow{Mode::Drip, stateReply(1), {}, 800ms, 0, false, 0};
        QTest::newRow("no answer") << QueryRow{Mode::NeverAnswer, {}, {}, HostConfig().httpTimeout, 0, false, 4900};
        // clang-format on
    }

    void queriesTheNode() {
        QFETCH(QueryRow, row);
        const auto& [mode, reply, flood, timeout, state, unparsable, minMs] = row;
        HostConfig query = config;
        query.httpTimeout = timeout;
        node.mode = mode;
        node.flood = flood;
        node.setReply(200, reply.size() > 10 ? reply : stateReply(1));
        if (reply.startsWith("HTTP"))
            node.reply = reply;
        if (reply == "refused")
            query.statusUrl.setPort(closedPort());
        if (reply == "proxy")
            QNetworkProxy::setApplicationProxy(
                QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", closedPort()));
        setCurrentServiceState(state == 1 ? ServiceState::deviceStateClosed : ServiceState::deviceStateUp);
        std::atomic<int> calls = 0, right = 0;
        Capture log;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 2; ++i)
            Utils::queryNodeStatus(query, [&] {
                right += rawValue(currentServiceState()) == state &&
                         QThread::currentThread() != QCoreApplication::instance()->thread();
                ++calls;
            });
        QTRY_COMPARE_WITH_TIMEOUT(calls.load(), 2, 4000 + minMs);
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        QVERIFY(clock.elapsed() >= minMs);
        QTest::qWait(50);
        QCOMPARE(calls * 10 + right, 22);
        QCOMPARE(log.lines(), QStringList(unparsable ? 2 : 0, "xxoo failed to parse the json result"));
    }

    // One identifier per installation, made once: kept for the whole run when the settings cannot keep it.
    void keepsOneIdentifier() {
        HostConfig unsaved = config;
        unsaved.settingsPath = "/proc/nodepanel/nodepanel.conf";
        const QString made = Utils::deviceUUID(unsaved);
        QVERIFY(QRegularExpression("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$").match(made).hasMatch());
        QCOMPARE(Utils::deviceUUID(unsaved), made);
    }

    // The line printed, then posted with the tags: the identifier as stored, whatever it is, encoded as the
    // line is (a first upload makes one and saves it at once), the system version with its space, this
    // build's version; then the answer logged (a raw reply when it starts with "HTTP/").
    void uploadsTheLine() {
        for (const auto& [stored, reply, logged, sent] :
             {std::tuple(QVariant(), R"({"succ":-1,"err":"x"})",
                         R"(xxoo log result = -1, err = Optional("x"))", ""),
              std::tuple(QVariant("node 7"), "{}", "", "node 7"),
              std::tuple(QVariant(""), "busy", "xxoo failed to parse the json result", ""),
              std::tuple(QVariant("a&l=x+y%"), "{}", "", "a&l=x+y%"),
              std::tuple(QVariant(QStringList{"a", "b"}), "{}", "", "a, b"),
              // An error status with a body is an answer; one announced too large is cut off unread.
              std::tuple(QVariant("n"), "HTTP/1.1 500 No\r\nContent-Length: 10\r\n\r\n{\"succ\":7}",
                         "xxoo log result = 7", "n"),
              std::tuple(QVariant("n"), "HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n{\"succ\":7}",
                         "xxoo failed to parse the json result", "n")}) {
            account.setReply(200, reply);
            if (QByteArray(reply).startsWith("HTTP/"))
                account.reply = reply;
            QSettings(config.settingsPath, QSettings::IniFormat).remove("uuid");
            if (stored.isValid())
                QSettings(config.settingsPath, QSettings::IniFormat).setValue("uuid", stored);
            Capture log(true);
            account.requests.clear();
            Utils::uploadLog(config, "up; [a&b]");
            // Back, and printed, before the request has even arrived.
            QCOMPARE(log.printed() + QStringList{QString::number(account.requests.size())},
                     QStringList({"up, [a&b]", "0"}));
            QTRY_COMPARE(account.requests.size(), 1);
            QTRY_COMPARE(log.lines(), QString(logged).isEmpty() ? QStringList() : QStringList{logged});
            const RecordedRequest request = account.requests.value(0);
            QCOMPARE(request.line, "POST /api/upload_log HTTP/1.1");
            QVERIFY(
                request.head.toLower().contains("\r\naccept: application/json\r\n") &&
                request.head.toLower().contains("\r\ncontent-type: application/x-www-form-urlencoded\r\n"));
            QCOMPARE(request.fields().keys(), (QStringList{"d", "l", "o", "v"}));
            QCOMPARE(request.fields().values(),
                     (QStringList{
                         stored.isValid()
                             ? QString(sent)
                             : QSettings(config.settingsPath, QSettings::IniFormat).value("uuid").toString(),
                         "up, [a&b]", Utils::osVersionString(), NODEPANEL_VERSION}));
            QVERIFY(request.body.contains("&o=" + Utils::osVersionString().toUtf8() + '&'));
        }
    }

    // A line that cannot be delivered is lost without a word; an untrusted server never sees it. Exchanges
    // end one at a time on the network thread: once the last answer is in, the others are done.
    void losesTheLineQuietly() {
        Capture log;
        HostConfig upload = config;
        account.setReply(200, R"({"succ":7})");
        for (const QUrl& url :
             {impostor.url(), QUrl(QString("https://127.0.0.1:%1").arg(closedPort())), account.url()}) {
            upload.accountBaseUrl = url;
            Utils::uploadLog(upload, "line");
        }
        QTRY_COMPARE(log.lines(), QStringList{"xxoo log result = 7"});
        QCOMPARE(impostor.connections * 10 + impostor.requests.size(), 10);
    }
};

QTEST_GUILESS_MAIN(TestHttp)
#include "tst_http.moc"
