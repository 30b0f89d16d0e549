#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// One request as the server received it.
struct RecordedRequest {
    QByteArray method;
    QByteArray target;
    QByteArray version;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    // The values of every header with this name (case-insensitive).
    QList<QByteArray> headerValues(const QByteArray& name) const;
};

// A real HTTP/1.1 (or, with a certificate, HTTPS) server on an ephemeral loopback port. It lives on the
// test's thread, so the test's event loop (QTRY_*, QSignalSpy::wait) drives it.
class TestHttpServer : public QTcpServer {
    Q_OBJECT

public:
    enum class Mode {
        Respond,     // answer at once with the configured reply
        NeverAnswer, // read the request and keep the connection open
        Drip,        // send the configured reply one byte per drip interval
    };

    explicit TestHttpServer(QObject* parent = nullptr);

    // Starts listening on 127.0.0.1; with a certificate, every connection is TLS.
    bool start(const QSslCertificate& certificate = QSslCertificate(), const QSslKey& key = QSslKey());

    // Plain HTTP on a fixed loopback port, to stand in where the panel's own address is fixed.
    bool startOnPort(quint16 port);

    QUrl url(const QString& path) const;

    void setMode(Mode mode) { mode_ = mode; }
    // A complete reply with Content-Length and the given status and body.
    void setReply(int status, const QByteArray& body, const QByteArray& contentType = "application/json");
    // The bytes sent as they are.
    void setRawReply(const QByteArray& raw) { reply_ = raw; }
    void setDripInterval(int milliseconds) { dripInterval_ = milliseconds; }

    const QList<RecordedRequest>& requests() const { return requests_; }
    int connectionCount() const { return connections_; }

signals:
    void requestReceived();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void readFrom(QTcpSocket* socket);
    void answer(QTcpSocket* socket);

    QSslCertificate certificate_;
    QSslKey key_;
    Mode mode_ = Mode::Respond;
    QByteArray reply_;
    int dripInterval_ = 1000;
    QList<RecordedRequest> requests_;
    int connections_ = 0;
};

// A self-signed certificate for localhost and 127.0.0.1, made by openssl for this test run.
struct TestCertificate {
    TestCertificate() = default;
    TestCertificate(QSslCertificate c, QSslKey k)
        : certificate(std::move(c))
        , key(std::move(k)) {}
    QSslCertificate certificate;
    QSslKey key;

    // Empty certificate when openssl is missing or fails.
    static TestCertificate generate();
};

// A loopback port that nothing listens on.
quint16 closedPort();
