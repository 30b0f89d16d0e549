#include "control/servicestate.h"
#include "host/utils.h"
#include "platform/hostconfig.h"
#include "platform/httpexchange.h"

#include "logcapture.h"
#include "testhttpserver.h"

#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QtTest>

#include <atomic>

namespace {

const QString parseFailure = QStringLiteral("xxoo failed to parse the json result");

// Counts the calls of one query's callback and whether any ran on the main thread.
struct CallbackProbe {
    std::atomic<int> calls{0};
    std::atomic<bool> onMainThread{false};
    std::atomic<int> stateSeen{-1};

    std::function<void()> callback() {
        return [this] {
            stateSeen = int(rawValue(currentServiceState()));
            if (QThread::currentThread() == QCoreApplication::instance()->thread())
                onMainThread = true;
            ++calls;
        };
    }
};

QByteArray padded(const QByteArray& json, qsizetype size) {
    return json + QByteArray(size - json.size(), ' ');
}

} // namespace

class TestStatusClient : public QObject {
    Q_OBJECT

private:
    TestHttpServer server;

    void pointAt(const QUrl& url, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        HostConfig config = HostConfig::production();
        config.statusUrl = url;
        config.httpTimeout = timeout;
        installHostConfig(config);
    }

    // The callback must run once, after the state was written; a second call would show up in the
    // short wait afterwards.
    static void expectOneCallOffMain(CallbackProbe& probe, int timeoutMs) {
        QTRY_COMPARE_WITH_TIMEOUT(probe.calls.load(), 1, timeoutMs);
        QTest::qWait(50);
        QCOMPARE(probe.calls.load(), 1);
        QVERIFY(!probe.onMainThread);
        QCOMPARE(probe.stateSeen.load(), int(rawValue(currentServiceState())));
    }

private slots:
    void initTestCase() { QVERIFY(server.start()); }

    void init() {
        server.setMode(TestHttpServer::Mode::Respond);
        pointAt(server.url(QStringLiteral("/get_status")));
    }

    void mapsTheReply_data() {
        QTest::addColumn<int>("httpStatus");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("expected");
        QTest::addColumn<bool>("parseFailureLogged");

        QTest::newRow("0") << 200 << QByteArray(R"({"state":0})") << 0 << false;
        QTest::newRow("1") << 200 << QByteArray(R"({"state":1})") << 1 << false;
        QTest::newRow("2") << 200 << QByteArray(R"({"state":2})") << 2 << false;
        QTest::newRow("3") << 200 << QByteArray(R"({"state":3})") << 0 << false;
        QTest::newRow("-1") << 200 << QByteArray(R"({"state":-1})") << 0 << false;
        QTest::newRow("largest 64-bit")
            << 200 << QByteArray(R"({"state":9223372036854775807})") << 0 << false;
        QTest::newRow("beyond 64-bit") << 200 << QByteArray(R"({"state":1e30})") << 0 << false;
        QTest::newRow("text 1") << 200 << QByteArray(R"({"state":"1"})") << 0 << false;
        QTest::newRow("null") << 200 << QByteArray(R"({"state":null})") << 0 << false;
        QTest::newRow("1.5") << 200 << QByteArray(R"({"state":1.5})") << 0 << false;
        QTest::newRow("1.0") << 200 << QByteArray(R"({"state":1.0})") << 1 << false;
        QTest::newRow("2e0") << 200 << QByteArray(R"({"state":2e0})") << 2 << false;
        QTest::newRow("true") << 200 << QByteArray(R"({"state":true})") << 0 << false;
        QTest::newRow("false") << 200 << QByteArray(R"({"state":false})") << 0 << false;
        QTest::newRow("object") << 200 << QByteArray(R"({"state":{"state":1}})") << 0 << false;
        QTest::newRow("empty object") << 200 << QByteArray("{}") << 0 << false;
        QTest::newRow("key case") << 200 << QByteArray(R"({"State":1})") << 0 << false;
        QTest::newRow("array holding state 1") << 200 << QByteArray(R"([{"state":1}])") << 0 << false;
        QTest::newRow("extra keys") << 200 << QByteArray(R"({"a":[1,2],"state":1,"b":"x"})") << 1 << false;
        QTest::newRow("empty body") << 200 << QByteArray() << 0 << true;
        QTest::newRow("html") << 200 << QByteArray("<html><body>It works</body></html>") << 0 << true;
        QTest::newRow("bare number") << 200 << QByteArray("1") << 0 << true;
        QTest::newRow("cut short") << 200 << QByteArray(R"({"state":1)") << 0 << true;
        QTest::newRow("500 with state 1") << 500 << QByteArray(R"({"state":1})") << 1 << false;
        QTest::newRow("404 with state 2") << 404 << QByteArray(R"({"state":2})") << 2 << false;
        QTest::newRow("65536 bytes") << 200 << padded(R"({"state":1})", 65536) << 1 << false;
        QTest::newRow("65537 bytes") << 200 << padded(R"({"state":1})", 65537) << 0 << true;
    }

    void mapsTheReply() {
        QFETCH(int, httpStatus);
        QFETCH(QByteArray, body);
        QFETCH(int, expected);
        QFETCH(bool, parseFailureLogged);

        server.setReply(httpStatus, body);
        // Start from a value the query must overwrite.
        setCurrentServiceState(expected == 1 ? ServiceState::deviceStateClosed : ServiceState::deviceStateUp);
        LogCapture log;
        CallbackProbe probe;
        Utils::queryNodeStatus(probe.callback());
        expectOneCallOffMain(probe, 5000);
        QCOMPARE(rawValue(currentServiceState()), qint64(expected));
        QCOMPARE(log.count(parseFailure), parseFailureLogged ? 1 : 0);
        QCOMPARE(log.lines().size(), parseFailureLogged ? 1 : 0);
    }

    // A Content-Length above the limit is refused before the body is read.
    void refusesAnAnnouncedOversizedBody() {
        server.setRawReply("HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n{\"state\":1}");
        setCurrentServiceState(ServiceState::deviceStateUp);
        LogCapture log;
        CallbackProbe probe;
        Utils::queryNodeStatus(probe.callback());
        expectOneCallOffMain(probe, 5000);
        QCOMPARE(currentServiceState(), ServiceState::deviceStateDown);
        QCOMPARE(log.count(parseFailure), 1);
    }

    void treatsARefusedConnectionAsDown() {
        QUrl url = server.url(QStringLiteral("/get_status"));
        url.setPort(closedPort());
        pointAt(url);
        setCurrentServiceState(ServiceState::deviceStateUp);
        LogCapture log;
        CallbackProbe probe;
        Utils::queryNodeStatus(probe.callback());
        expectOneCallOffMain(probe, 5000);
        QCOMPARE(currentServiceState(), ServiceState::deviceStateDown);
        QVERIFY(log.lines().isEmpty());
    }

    // The one test that waits for the real five seconds.
    void givesUpOnASilentServerAfterFiveSeconds() {
        server.setMode(TestHttpServer::Mode::NeverAnswer);
        setCurrentServiceState(ServiceState::deviceStateUp);
        LogCapture log;
        CallbackProbe probe;
        QElapsedTimer clock;
        clock.start();
        Utils::queryNodeStatus(probe.callback());
        expectOneCallOffMain(probe, 8000);
        QVERIFY2(clock.elapsed() >= 4900, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(currentServiceState(), ServiceState::deviceStateDown);
        QVERIFY(log.lines().isEmpty());
    }

    // Bytes that keep trickling in do not extend the bound: it covers the whole exchange.
    void boundsADripFeedingServer() {
        server.setMode(TestHttpServer::Mode::Drip);
        server.setDripInterval(50);
        server.setReply(200, padded(R"({"state":1})", 400)); // about 25 s at this pace
        pointAt(server.url(QStringLiteral("/get_status")), std::chrono::milliseconds(800));
        setCurrentServiceState(ServiceState::deviceStateUp);
        LogCapture log;
        CallbackProbe probe;
        QElapsedTimer clock;
        clock.start();
        Utils::queryNodeStatus(probe.callback());
        expectOneCallOffMain(probe, 5000);
        QVERIFY2(clock.elapsed() < 4000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(currentServiceState(), ServiceState::deviceStateDown);
        QVERIFY(log.lines().isEmpty());
    }

    void callsEachOverlappingQueryBackOnce() {
        server.setReply(200, R"({"state":2})");
        setCurrentServiceState(ServiceState::deviceStateUp);
        CallbackProbe first;
        CallbackProbe second;
        Utils::queryNodeStatus(first.callback());
        Utils::queryNodeStatus(second.callback());
        QTRY_COMPARE_WITH_TIMEOUT(first.calls.load() + second.calls.load(), 2, 5000);
        QTest::qWait(50);
        QCOMPARE(first.calls.load(), 1);
        QCOMPARE(second.calls.load(), 1);
        QVERIFY(!first.onMainThread && !second.onMainThread);
        QCOMPARE(currentServiceState(), ServiceState::deviceStateClosed);
    }

    // A proxy set for the application (or by the environment) is never used for the local node.
    void bypassesAnyProxy() {
        QNetworkProxy::setApplicationProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), closedPort()));
        server.setReply(200, R"({"state":1})");
        setCurrentServiceState(ServiceState::deviceStateDown);
        CallbackProbe probe;
        Utils::queryNodeStatus(probe.callback());
        expectOneCallOffMain(probe, 5000);
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        QCOMPARE(currentServiceState(), ServiceState::deviceStateUp);
    }
};

QTEST_GUILESS_MAIN(TestStatusClient)
#include "tst_statusclient.moc"
