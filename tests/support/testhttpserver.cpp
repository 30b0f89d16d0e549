#include "testhttpserver.h"

#include <QHostAddress>
#include <QProcess>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTimer>

namespace {

const char* reasonFor(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

// Parses a request once it is complete; returns false while bytes are missing.
bool parseRequest(const QByteArray& buffer, RecordedRequest& request) {
    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return false;
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    request.version = requestLine.value(2);
    qsizetype length = 0;
    request.headers.clear();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        request.headers.append({name, value});
        if (name.compare("content-length", Qt::CaseInsensitive) == 0)
            length = value.toLongLong();
    }
    if (buffer.size() < headerEnd + 4 + length)
        return false;
    request.body = buffer.mid(headerEnd + 4, length);
    return true;
}

} // namespace

QList<QByteArray> RecordedRequest::headerValues(const QByteArray& name) const {
    QList<QByteArray> values;
    for (const auto& [key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            values.append(value);
    return values;
}

TestHttpServer::TestHttpServer(QObject* parent)
    : QTcpServer(parent) {
    setReply(200, "{}");
}

bool TestHttpServer::start(const QSslCertificate& certificate, const QSslKey& key) {
    certificate_ = certificate;
    key_ = key;
    return listen(QHostAddress::LocalHost, 0);
}

bool TestHttpServer::startOnPort(quint16 port) {
    return listen(QHostAddress::LocalHost, port);
}

QUrl TestHttpServer::url(const QString& path) const {
    QUrl url;
    url.setScheme(certificate_.isNull() ? QStringLiteral("http") : QStringLiteral("https"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(serverPort());
    url.setPath(path);
    return url;
}

void TestHttpServer::setReply(int status, const QByteArray& body, const QByteArray& contentType) {
    reply_ = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonFor(status) +
             "\r\nContent-Type: " + contentType + "\r\nContent-Length: " + QByteArray::number(body.size()) +
             "\r\nConnection: close\r\n\r\n" + body;
}

void TestHttpServer::incomingConnection(qintptr descriptor) {
    ++connections_;
    QTcpSocket* socket = nullptr;
    if (certificate_.isNull()) {
        socket = new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
    } else {
        auto* tls = new QSslSocket(this);
        tls->setSocketDescriptor(descriptor);
        tls->setLocalCertificate(certificate_);
        tls->setPrivateKey(key_);
        tls->startServerEncryption();
        socket = tls;
    }
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QIODevice::readyRead, this, [this, socket, buffer] {
        *buffer += socket->readAll();
        RecordedRequest request;
        if (!parseRequest(*buffer, request))
            return;
        buffer->clear();
        requests_.append(request);
        emit requestReceived();
        answer(socket);
    });
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
}

void TestHttpServer::answer(QTcpSocket* socket) {
    switch (mode_) {
    case Mode::NeverAnswer:
        return;
    case Mode::Respond:
        socket->write(reply_);
        socket->disconnectFromHost();
        return;
    case Mode::Drip: {
        auto* timer = new QTimer(socket);
        auto sent = std::make_shared<qsizetype>(0);
        connect(timer, &QTimer::timeout, socket, [this, socket, timer, sent] {
            if (*sent >= reply_.size()) {
                timer->stop();
                socket->disconnectFromHost();
                return;
            }
            socket->write(reply_.mid((*sent)++, 1));
        });
        timer->start(dripInterval_);
        return;
    }
    }
}

TestCertificate TestCertificate::generate() {
    QTemporaryDir dir;
    const QString cert = dir.filePath(QStringLiteral("cert.pem"));
    const QString key = dir.filePath(QStringLiteral("key.pem"));
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
                   QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=localhost"),
                   QStringLiteral("-addext"), QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1"),
                   QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert});
    if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0)
        return TestCertificate();
    QFile certFile(cert);
    QFile keyFile(key);
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
        return TestCertificate();
    return {QSslCertificate(&certFile, QSsl::Pem), QSslKey(&keyFile, QSsl::Rsa, QSsl::Pem)};
}

quint16 closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}
