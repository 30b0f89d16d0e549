#include "host/utils.h"
#include "platform/hostconfig.h"

#include "logcapture.h"
#include "stdoutcapture.h"
#include "testhttpserver.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <atomic>
#include <cstdio>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

#include <sys/utsname.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const QString uuidKey = QStringLiteral("uuid");
const QString fenceLine = QStringLiteral("xxoo log result = 77");
const QRegularExpression
    canonicalUuid(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));

// Notes whether any system-log line is written on the test's own thread, where no upload result may
// arrive. The lines still reach the LogCapture installed before it.
std::shared_ptr<std::atomic<bool>> watchForLinesOnMainThread() {
    auto seen = std::make_shared<std::atomic<bool>>(false);
    SystemLogObserver capture = setSystemLogObserver({});
    setSystemLogObserver([capture, seen](const QString& line) {
        if (QThread::currentThread() == QCoreApplication::instance()->thread())
            *seen = true;
        if (capture)
            capture(line);
    });
    return seen;
}

// The fields of a form body by name; nothing when a piece has no "=" or a name comes twice.
std::optional<QMap<QByteArray, QByteArray>> formFields(const QByteArray& body) {
    QMap<QByteArray, QByteArray> fields;
    for (const QByteArray& piece : body.split('&')) {
        const qsizetype equals = piece.indexOf('=');
        if (equals < 0 || fields.contains(piece.left(equals)))
            return std::nullopt;
        fields.insert(piece.left(equals), piece.mid(equals + 1));
    }
    return fields;
}

QString kernelRelease() {
    utsname names{};
    if (::uname(&names) != 0)
        return {};
    return QString::fromLocal8Bit(names.release);
}

// The server's connections that are still open.
qsizetype openConnections(const TestHttpServer& server) {
    return server.findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly).size();
}

enum class Failure { Refused, NoAnswer, UntrustedCertificate };

} // namespace

class TestRemoteLog : public QObject {
    Q_OBJECT

private:
    QTemporaryDir settingsDir;
    TestCertificate trusted;
    TestCertificate untrusted;
    TestHttpServer server;
    TestHttpServer impostor;

    QString settingsPath() const { return settingsDir.filePath(QStringLiteral("nodepanel.conf")); }

    // Uploads go to base, over TLS that trusts our own test certificate and nothing else besides the
    // system's authorities.
    void pointAt(const QUrl& base, std::chrono::milliseconds timeout = 5000ms) {
        HostConfig config = HostConfig::production();
        config.accountBaseUrl = base;
        config.extraCaCertificates = {trusted.certificate};
        config.httpTimeout = timeout;
        config.settingsPath = settingsPath();
        installHostConfig(config);
    }

    static QUrl baseOf(const TestHttpServer& target) { return target.url(QString()); }

    // Uploads the message and hands back the request the server received for it.
    void uploadAndReceive(const QString& message, RecordedRequest& received) {
        const qsizetype before = server.requests().size();
        Utils::uploadLog(message);
        QTRY_COMPARE_WITH_TIMEOUT(server.requests().size(), before + 1, 5000);
        received = server.requests().last();
    }

    // One more upload to the answering server, waited for until its result is logged. Exchanges finish
    // one at a time on the network thread, and this one needs a fresh connection and handshake, so an
    // earlier upload whose reply or failure was already under way has been reported by then.
    void fence(const LogCapture& log) {
        pointAt(baseOf(server));
        server.setMode(TestHttpServer::Mode::Respond);
        server.setReply(200, R"({"succ":77})");
        Utils::uploadLog(QStringLiteral("fence"));
        QTRY_COMPARE_WITH_TIMEOUT(log.count(fenceLine), 1, 5000);
    }

    static QStringList linesBesidesFence(const LogCapture& log) {
        QStringList lines = log.lines();
        lines.removeAll(fenceLine);
        return lines;
    }

    static void store(const QString& uuid) {
        const auto settings = openSettings();
        settings->setValue(uuidKey, uuid);
        settings->sync();
    }

    // What a new settings object, as in the next run of the panel, reads.
    QVariant stored() const { return QSettings(settingsPath(), QSettings::IniFormat).value(uuidKey); }

private slots:
    void initTestCase() {
        QVERIFY(settingsDir.isValid());
        trusted = TestCertificate::generate();
        untrusted = TestCertificate::generate();
        QVERIFY2(!trusted.certificate.isNull() && !untrusted.certificate.isNull(), "openssl failed");
        QVERIFY(server.start(trusted.certificate, trusted.key));
        QVERIFY(impostor.start(untrusted.certificate, untrusted.key));
    }

    void init() {
        server.setMode(TestHttpServer::Mode::Respond);
        server.setReply(200, "{}");
        pointAt(baseOf(server));
        const auto settings = openSettings();
        settings->clear();
        settings->sync();
    }

    void postsTheEncodedLine_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("encoded");

        QTest::newRow("spaces") << QStringLiteral("manager.sh down succeeds")
                                << QByteArray("manager.sh%20down%20succeeds");
        QTest::newRow("semicolons") << QStringLiteral("a;b;c") << QByteArray("a,b,c");
        QTest::newRow("line feed") << QStringLiteral("start err: failed\nagain")
                                   << QByteArray("start%20err:%20failed%0Aagain");
        QTest::newRow("percent") << QStringLiteral("100%") << QByteArray("100%25");
        QTest::newRow("brackets") << QStringLiteral("[pid 42]") << QByteArray("%5Bpid%2042%5D");
        QTest::newRow("non-ASCII") << QStringLiteral("Grüße 你好")
                                   << QByteArray("Gr%C3%BC%C3%9Fe%20%E4%BD%A0%E5%A5%BD");
        QTest::newRow("form delimiters") << QStringLiteral("a&b=c+d") << QByteArray("a%26b%3Dc%2Bd");
        QTest::newRow("start line") << QStringLiteral("run script manager.sh up. auto=false")
                                    << QByteArray("run%20script%20manager.sh%20up.%20auto%3Dfalse");
        QTest::newRow("slashes") << QStringLiteral("/opt/node/Contents/Resources")
                                 << QByteArray("/opt/node/Contents/Resources");
        QTest::newRow("query characters kept")
            << QStringLiteral("-._~!$'()*,:@/?") << QByteArray("-._~!$'()*,:@/?");
        QTest::newRow("other characters")
            << QStringLiteral("#\"<>\\^`{|}") << QByteArray("%23%22%3C%3E%5C%5E%60%7B%7C%7D");
    }

    void postsTheEncodedLine() {
        QFETCH(QString, message);
        QFETCH(QByteArray, encoded);

        const qsizetype before = server.requests().size();
        StdoutCapture out;
        Utils::uploadLog(message);
        const QList<QByteArray> printed = out.stop();
        const bool returnedFirst = server.requests().size() == before;
        QTRY_COMPARE_WITH_TIMEOUT(server.requests().size(), before + 1, 5000);
        // Back before the server even saw the request, with the line already printed.
        QVERIFY(returnedFirst);
        QCOMPARE(printed.count(encoded), 1);

        const RecordedRequest request = server.requests().last();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.target, QByteArray("/api/upload_log"));
        QCOMPARE(request.version, QByteArray("HTTP/1.1"));
        QCOMPARE(request.headerValues("Accept"), QList<QByteArray>{"application/json"});
        QCOMPARE(request.headerValues("Content-Type"),
                 QList<QByteArray>{"application/x-www-form-urlencoded"});

        const auto fields = formFields(request.body);
        QVERIFY2(fields, request.body.constData());
        QCOMPARE(fields->keys(), (QList<QByteArray>{"d", "l", "o", "v"}));
        QCOMPARE(fields->value("l"), encoded);
        // The tags go as they are: the identifier made for this first upload, the system version with
        // its raw space, the version of this build.
        QCOMPARE(fields->value("d"), stored().toString().toUtf8());
        QVERIFY2(canonicalUuid.match(QString::fromUtf8(fields->value("d"))).hasMatch(),
                 fields->value("d").constData());
        QCOMPARE(fields->value("o"), Utils::osVersionFromRelease(kernelRelease()).toUtf8());
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d+(\\.\\d+)*$"))
                     .match(QString::fromUtf8(fields->value("v")))
                     .hasMatch(),
                 fields->value("v").constData());
    }

    // Whatever is stored is the identifier, even text that no upload would have created.
    void sendsTheStoredIdentifierUnchanged_data() {
        QTest::addColumn<QString>("uuid");

        QTest::newRow("empty") << QString("");
        QTest::newRow("lower case in braces") << QStringLiteral("{0f8fad5b-d9cb-469f-a165-70867728950e}");
        QTest::newRow("free text") << QStringLiteral("node 7");
    }

    void sendsTheStoredIdentifierUnchanged() {
        QFETCH(QString, uuid);

        store(uuid);
        RecordedRequest request;
        uploadAndReceive(QStringLiteral("line"), request);
        if (QTest::currentTestFailed())
            return;
        const auto fields = formFields(request.body);
        QVERIFY2(fields, request.body.constData());
        QCOMPARE(fields->value("d"), uuid.toUtf8());
        QCOMPARE(Utils::deviceUUID(), uuid);
        QCOMPARE(stored(), QVariant(uuid));
    }

    void keepsTheIdentifierItCreates() {
        const QString first = Utils::deviceUUID();
        QVERIFY2(canonicalUuid.match(first).hasMatch(), qPrintable(first));

        // On disk at once, where the next run of the panel finds it.
        QFile file(settingsPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("uuid=" + first.toUtf8()));
        QCOMPARE(stored(), QVariant(first));

        QCOMPARE(Utils::deviceUUID(), first);
        RecordedRequest request;
        uploadAndReceive(QStringLiteral("again"), request);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(formFields(request.body).value_or(QMap<QByteArray, QByteArray>()).value("d"),
                 first.toUtf8());

        // Read from the settings every time, not remembered: once the value is gone a new one is made.
        openSettings()->remove(uuidKey);
        const QString second = Utils::deviceUUID();
        QVERIFY(canonicalUuid.match(second).hasMatch());
        QVERIFY(second != first);
    }

    void concurrentFirstCallsMakeOneIdentifier() {
        constexpr int threads = 8;
        // A race is lost only now and then, so it is run often.
        for (int round = 0; round < 20; ++round) {
            init();
            std::latch start(threads);
            std::vector<QString> seen(threads);
            std::vector<std::thread> callers;
            for (int i = 0; i < threads; ++i)
                callers.emplace_back([&start, &seen, i] {
                    start.arrive_and_wait();
                    seen[i] = Utils::deviceUUID();
                });
            for (std::thread& caller : callers)
                caller.join();
            for (const QString& uuid : seen)
                QCOMPARE(uuid, seen.front());
            QCOMPARE(stored(), QVariant(seen.front()));
        }
    }

    void osVersionFromRelease_data() {
        QTest::addColumn<QString>("release");
        QTest::addColumn<QString>("expected");

        QTest::newRow("Debian") << QStringLiteral("6.1.0-18-amd64") << QStringLiteral("Mac 6.1.0");
        QTest::newRow("Ubuntu") << QStringLiteral("5.15.0-91-generic") << QStringLiteral("Mac 5.15.0");
        QTest::newRow("two numbers") << QStringLiteral("6.5") << QStringLiteral("Mac 6.5.0");
        QTest::newRow("one number") << QStringLiteral("6") << QStringLiteral("Mac 6.0.0");
        QTest::newRow("release candidate") << QStringLiteral("6.9-rc3") << QStringLiteral("Mac 6.9.0");
        QTest::newRow("four numbers") << QStringLiteral("4.19.0.1") << QStringLiteral("Mac 4.19.0");
        QTest::newRow("two digits") << QStringLiteral("6.10.12+rpt") << QStringLiteral("Mac 6.10.12");
    }

    void osVersionFromRelease() {
        QFETCH(QString, release);
        QFETCH(QString, expected);
        QCOMPARE(Utils::osVersionFromRelease(release), expected);
    }

    void logsTheReply_data() {
        QTest::addColumn<int>("httpStatus");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("expected");

        const QString parseFailure = QStringLiteral("xxoo failed to parse the json result");
        QTest::newRow("succ 0") << 200 << QByteArray(R"({"succ":0})")
                                << QStringList{QStringLiteral("xxoo log result = 0")};
        QTest::newRow("succ 3, err not read") << 200 << QByteArray(R"({"succ":3,"err":"x"})")
                                              << QStringList{QStringLiteral("xxoo log result = 3")};
        QTest::newRow("status 500 not examined")
            << 500 << QByteArray(R"({"succ":0})") << QStringList{QStringLiteral("xxoo log result = 0")};
        QTest::newRow("succ -2 without err")
            << 200 << QByteArray(R"({"succ":-2})")
            << QStringList{QStringLiteral("xxoo log result = -2, err = nil")};
        QTest::newRow("err null") << 200 << QByteArray(R"({"succ":-2,"err":null})")
                                  << QStringList{QStringLiteral("xxoo log result = -2, err = nil")};
        QTest::newRow("err a number") << 200 << QByteArray(R"({"succ":-2,"err":5})")
                                      << QStringList{QStringLiteral("xxoo log result = -2, err = nil")};
        // Plain literals: moc loses track of a raw string that holds a doubled backslash.
        QTest::newRow("err with a quote and a backslash")
            << 200 << QByteArray("{\"succ\":-1,\"err\":\"bad \\\"id\\\" in C:\\\\node\"}")
            << QStringList{
                   QStringLiteral("xxoo log result = -1, err = Optional(\"bad \\\"id\\\" in C:\\\\node\")")};
        QTest::newRow("err with control characters")
            << 200 << QByteArray(R"({"succ":-3,"err":"one\ntwo\r\tend\u0001\u001b\u007f"})")
            << QStringList{QStringLiteral(
                   R"(xxoo log result = -3, err = Optional("one\ntwo\r\tend\u{1}\u{1b}\u{7f}"))")};
        QTest::newRow("err with non-ASCII letters")
            << 200 << QByteArray(R"({"succ":-1,"err":"Schlüssel ungültig"})")
            << QStringList{QStringLiteral(R"(xxoo log result = -1, err = Optional("Schlüssel ungültig"))")};
        QTest::newRow("succ a string") << 200 << QByteArray(R"({"succ":"0"})") << QStringList();
        QTest::newRow("no succ") << 200 << QByteArray(R"({"err":"x"})") << QStringList();
        QTest::newRow("not JSON") << 200 << QByteArray("<html>busy</html>") << QStringList{parseFailure};
        QTest::newRow("empty body") << 200 << QByteArray() << QStringList{parseFailure};
        QTest::newRow("top-level array") << 200 << QByteArray(R"([{"succ":0}])") << QStringList();
    }

    void logsTheReply() {
        QFETCH(int, httpStatus);
        QFETCH(QByteArray, body);
        QFETCH(QStringList, expected);

        server.setReply(httpStatus, body);
        LogCapture log;
        const auto onMainThread = watchForLinesOnMainThread();
        RecordedRequest request;
        uploadAndReceive(QStringLiteral("line"), request);
        fence(log);
        QTRY_COMPARE_WITH_TIMEOUT(linesBesidesFence(log), expected, 5000);
        QVERIFY(!*onMainThread);
    }

    // A line that cannot be delivered is lost without a word, and the next one goes out as usual.
    void losesTheLineOnTransportFailure_data() {
        QTest::addColumn<Failure>("failure");

        QTest::newRow("refused") << Failure::Refused;
        QTest::newRow("no answer") << Failure::NoAnswer;
        QTest::newRow("untrusted certificate") << Failure::UntrustedCertificate;
    }

    void losesTheLineOnTransportFailure() {
        QFETCH(Failure, failure);

        LogCapture log;
        switch (failure) {
        case Failure::Refused: {
            QUrl base = baseOf(server);
            base.setPort(closedPort());
            pointAt(base);
            Utils::uploadLog(QStringLiteral("line"));
            break;
        }
        case Failure::NoAnswer: {
            server.setMode(TestHttpServer::Mode::NeverAnswer);
            server.setReply(200, R"({"succ":0})");
            pointAt(baseOf(server), 1000ms);
            const qsizetype before = server.requests().size();
            Utils::uploadLog(QStringLiteral("line"));
            QCOMPARE(server.requests().size(), before);
            QTRY_COMPARE_WITH_TIMEOUT(server.requests().size(), before + 1, 5000);
            // The panel gives up and closes the connection.
            QTRY_COMPARE_WITH_TIMEOUT(openConnections(server), 0, 5000);
            break;
        }
        case Failure::UntrustedCertificate: {
            impostor.setReply(200, R"({"succ":0})");
            pointAt(baseOf(impostor));
            const int before = impostor.connectionCount();
            Utils::uploadLog(QStringLiteral("line"));
            QTRY_COMPARE_WITH_TIMEOUT(impostor.connectionCount(), before + 1, 5000);
            QTRY_COMPARE_WITH_TIMEOUT(openConnections(impostor), 0, 5000);
            QVERIFY(impostor.requests().isEmpty());
            break;
        }
        }
        fence(log);
        QCOMPARE(linesBesidesFence(log), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestRemoteLog)
#include "tst_remotelog.moc"
