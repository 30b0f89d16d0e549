// The sample node: a stand-in for the real node service, so that a fresh bundle has something to start,
// stop and query. Packagers replace it, together with manager.sh. It answers GET /get_status on
// 127.0.0.1:8080 with {"state":1} until it is stopped by a signal.

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>

namespace {

// Every connection is bounded, so that no client can hold the node: a request head larger than this, or
// one that is not whole in time, is dropped without an answer.
constexpr qint64 maxHeadBytes = 8192;
constexpr int connectionBudgetMs = 2000;

QByteArray reply(const QByteArray& status, const QByteArray& body) {
    return "HTTP/1.1 " + status +
           "\r\nContent-Type: " + (body.startsWith('{') ? "application/json" : "text/plain") +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

void serve(QTcpSocket* socket) {
    socket->setReadBufferSize(maxHeadBytes);
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(connectionBudgetMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
        const QByteArray head = socket->peek(maxHeadBytes);
        if (!head.contains("\r\n\r\n")) {
            if (head.size() >= maxHeadBytes)
                socket->abort();
            return;
        }
        socket->readAll();
        // "GET /get_status?anything HTTP/1.1"
        const QList<QByteArray> request = head.left(head.indexOf("\r\n")).split(' ');
        if (request.size() != 3 || !request[2].startsWith("HTTP/1."))
            socket->write(reply("400 Bad Request", "bad request\n"));
        else if (request[1].split('?').first() != "/get_status")
            socket->write(reply("404 Not Found", "not found\n"));
        else if (request[0] != "GET")
            socket->write(reply("405 Method Not Allowed", "method not allowed\n"));
        else
            socket->write(reply("200 OK", R"({"state":1})"));
        socket->disconnectFromHost();
    });
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 8080)) {
        std::fprintf(stderr, "sample-node: cannot listen on 127.0.0.1:8080: %s\n",
                     qPrintable(server.errorString()));
        return 1;
    }
    QObject::connect(&server, &QTcpServer::newConnection, [&server] {
        while (QTcpSocket* socket = server.nextPendingConnection())
            serve(socket);
    });
    std::fprintf(stderr, "sample-node: listening on 127.0.0.1:8080, pid %lld\n", app.applicationPid());
    return app.exec();
}
