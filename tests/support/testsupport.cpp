#include "testsupport.h"

#include <QSslSocket>

void TestHttpServer::incomingConnection(qintptr descriptor) {
    ++connections;
    QTcpSocket* socket = key_.isNull() ? new QTcpSocket(this) : new QSslSocket(this);
    socket->setSocketDescriptor(descriptor);
    if (auto* tls = qobject_cast<QSslSocket*>(socket)) {
        tls->setLocalCertificate(certificate_);
        tls->setPrivateKey(key_);
        tls->startServerEncryption();
    }
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QIODevice::readyRead, this, [this, socket, buffer = QByteArray()]() mutable {
        buffer += socket->readAll();
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        RecordedRequest request;
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        for (const QByteArray& line : lines.mid(1))
            request.headers.insert(line.left(line.indexOf(':')).toLower(),
                                   line.mid(line.indexOf(':') + 1).trimmed());
        if (end < 0 || buffer.size() < end + 4 + request.headers.value("content-length").toLongLong())
            return;
        request.line = lines[0].trimmed();
        request.body = buffer.mid(end + 4);
        requests.append(request);
        emit requestReceived();
        if (mode == Mode::Respond) {
            socket->write(reply);
            socket->disconnectFromHost();
        } else if (mode == Mode::Flood) {
            socket->write(reply);
            connect(socket, &QIODevice::bytesWritten, socket, [this, socket] {
                if (socket->bytesToWrite() < flood.size())
                    socket->write(flood);
            });
        } else if (mode == Mode::Drip) {
            auto* timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, socket,
                    [this, socket, sent = 0]() mutable { socket->write(reply.mid(sent++, 1)); });
            timer->start(50);
        }
    });
}
