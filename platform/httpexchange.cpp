#include "platform/httpexchange.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QHostInfo>
#include <QMetaObject>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <memory>

#include <unistd.h>

namespace {

// One thread for all HTTP work. It lives until the process ends (the application exits without tearing
// it down); under a QCoreApplication that is destroyed, as in tests, it is stopped cleanly first. Jobs post
// from their own threads while the application may be stopping it, so the context is read under a lock.
class NetworkThread {
public:
    static NetworkThread& instance() {
        static NetworkThread* const thread = new NetworkThread;
        return *thread;
    }

    // Runs fn on the network thread. After the thread has stopped nothing runs any more.
    void post(std::function<void()> fn) {
        QMutexLocker lock(&mutex_);
        if (context_)
            QMetaObject::invokeMethod(context_, std::move(fn));
    }

    // Only on the network thread, from posted work, which runs only while the context exists.
    QObject* context() const { return context_; }
    QNetworkAccessManager* client() {
        if (!shared_)
            shared_ = new QNetworkAccessManager(context_);
        return shared_;
    }

private:
    NetworkThread() {
        thread_.setObjectName(QStringLiteral("network"));
        // The kernel's id of the thread, which outlasts the QThread's own idea of whether it runs.
        QObject::connect(
            &thread_, &QThread::started, &thread_, [this] { threadId_ = ::gettid(); }, Qt::DirectConnection);
        context_->moveToThread(&thread_);
        thread_.start();
        qAddPostRoutine([] { instance().stop(); });
    }

    void stop() {
        QObject* context = nullptr;
        {
            QMutexLocker lock(&mutex_);
            std::swap(context, context_);
        }
        // The clients and their replies go with their parent, on their own thread.
        QMetaObject::invokeMethod(
            context, [context] { delete context; }, Qt::BlockingQueuedConnection);
        thread_.quit();
        thread_.wait();
        // Finished is not gone: Qt starts its threads detached, so wait() returns before a thread's
        // thread-local destructors have run, OpenSSL's per-thread clean-up among them. This thread and the
        // access manager's own, which did the TLS work, must be gone before the process goes on to exit,
        // where OpenSSL's own clean-up frees the same registry: on a busy machine the two met, a double free.
        const QDeadlineTimer deadline(std::chrono::seconds(5));
        while ((QFileInfo::exists(QStringLiteral("/proc/self/task/%1").arg(threadId_)) ||
                accessManagerThreadRuns()) &&
               !deadline.hasExpired())
            QThread::msleep(1);
    }

    // Whether the access manager's HTTP thread still runs: Qt names it "QNetworkAccessManager thread",
    // which the kernel shows cut to 15 characters.
    static bool accessManagerThreadRuns() {
        const QDir tasks(QStringLiteral("/proc/self/task"));
        for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile name(tasks.filePath(task + QStringLiteral("/comm")));
            if (name.open(QIODevice::ReadOnly) && name.readAll().trimmed() == "QNetworkAccessM")
                return true;
        }
        return false;
    }

    QThread thread_;
    std::atomic<pid_t> threadId_ = 0;
    QMutex mutex_;
    QObject* context_ = new QObject;
    QNetworkAccessManager* shared_ = nullptr;
};

struct Exchange {
    QByteArray body;
    bool timedOut = false;
    bool oversized = false;
};

void start(HttpRequest& request, std::function<void(HttpOutcome)>& done) {
    if (request.makeBody)
        request.body = request.makeBody();
    if (!request.extraCaCertificates.isEmpty()) {
        QSslConfiguration tls = request.request.sslConfiguration();
        tls.addCaCertificates(request.extraCaCertificates);
        request.request.setSslConfiguration(tls);
    }
    QNetworkAccessManager* client = NetworkThread::instance().client();
    QNetworkReply* reply = client->sendCustomRequest(request.request, request.verb, request.body);
    auto exchange = std::make_shared<Exchange>();

    // Aborting from inside the reply's own signals upsets it, so the abort waits for the next turn.
    auto cutOff = [reply, exchange] {
        if (exchange->oversized)
            return;
        exchange->oversized = true;
        QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, cutOff] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > maxReplyBytes)
            cutOff();
    });
    QObject::connect(reply, &QIODevice::readyRead, reply, [reply, exchange, cutOff] {
        exchange->body += reply->readAll();
        if (exchange->body.size() > maxReplyBytes)
            cutOff();
    });
    // A precise timer: a coarse one may fire up to 5 % early.
    QTimer::singleShot(request.timeout, Qt::PreciseTimer, reply, [reply, exchange] {
        exchange->timedOut = true;
        reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, exchange, done = std::move(done)] {
        reply->deleteLater();
        HttpOutcome outcome;
        if (exchange->oversized) {
            outcome.body = QByteArray();
        } else if (exchange->timedOut) {
            outcome.transportError = QStringLiteral("timed out");
        } else if (reply->error() != QNetworkReply::NoError &&
                   !reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
            // Qt reports HTTP error statuses as errors too; a reply that carries a status did arrive,
            // and its body counts.
            outcome.transportError = reply->errorString();
        } else {
            outcome.body = exchange->body + reply->readAll();
        }
        done(std::move(outcome));
    });
}

// Where each host name leads, looked up once for the whole process: a lookup runs on a thread of its own,
// and the node's loopback name does not move. A failed lookup is not kept, so the next check asks again.
QMutex knownHostsMutex;
QHash<QString, QList<QHostAddress>> knownHosts;

// One GET over a socket of its own, read by hand so that every byte it keeps is counted: Qt's access manager
// reads a whole header section, however long, and a whole chunked body before anyone can stop it.
class LoopbackGet : public QObject {
public:
    LoopbackGet(const QUrl& url, std::chrono::milliseconds timeout, std::function<void(HttpOutcome)> done,
                QObject* context)
        : QObject(context)
        , done_(std::move(done))
        , port_(quint16(url.port(80))) {
        socket_->setProxy(QNetworkProxy::NoProxy);
        // Qt reads no further ahead than this, whatever arrives.
        socket_->setReadBufferSize(maxHeaderBytes);
        connect(socket_, &QAbstractSocket::connected, this, [this, url] {
            socket_->write("GET " + url.path(QUrl::FullyEncoded).toUtf8() + " HTTP/1.1\r\nHost: " +
                           url.authority(QUrl::FullyEncoded).toUtf8() + "\r\nConnection: close\r\n\r\n");
        });
        connect(socket_, &QIODevice::readyRead, this, &LoopbackGet::read);
        connect(socket_, &QAbstractSocket::disconnected, this, &LoopbackGet::closed);
        connect(socket_, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            // Not reached at one address of the name, the next one is tried, as a socket given the name
            // would; after the signal, which the socket is still emitting.
            if (!addresses_.isEmpty() && socket_->state() != QAbstractSocket::ConnectedState)
                QMetaObject::invokeMethod(this, &LoopbackGet::connectToNext, Qt::QueuedConnection);
            else if (error != QAbstractSocket::RemoteHostClosedError)
                fail(socket_->errorString());
        });
        // A precise timer: a coarse one may fire up to 5 % early.
        QTimer::singleShot(timeout, Qt::PreciseTimer, this, [this] { fail(QStringLiteral("timed out")); });
        const QString host = url.host();
        {
            QMutexLocker lock(&knownHostsMutex);
            addresses_ = knownHosts.value(host);
        }
        if (const QHostAddress literal(host); !literal.isNull())
            addresses_ = {literal};
        if (!addresses_.isEmpty()) {
            connectToNext();
            return;
        }
        QHostInfo::lookupHost(host, this, [this, host](const QHostInfo& found) {
            if (found.error() != QHostInfo::NoError || found.addresses().isEmpty())
                return fail(found.errorString());
            addresses_ = found.addresses();
            QMutexLocker lock(&knownHostsMutex);
            knownHosts.insert(host, addresses_);
            lock.unlock();
            connectToNext();
        });
    }

private:
    void connectToNext() {
        if (!done_)
            return;
        socket_->abort();
        socket_->connectToHost(addresses_.takeFirst(), port_);
    }

    void read() {
        raw_ += socket_->readAll();
        if (!headerRead_) {
            const qsizetype end = raw_.indexOf("\r\n\r\n");
            if (end < 0 || end > maxHeaderBytes) {
                if (raw_.size() > maxHeaderBytes)
                    fail(QStringLiteral("reply header too large"));
                return;
            }
            if (!raw_.startsWith("HTTP/1."))
                return fail(QStringLiteral("not an HTTP reply"));
            for (const QByteArray& line : raw_.left(end).split('\n')) {
                const QByteArray name = line.left(line.indexOf(':')).trimmed().toLower();
                const QByteArray value = line.mid(line.indexOf(':') + 1).trimmed();
                if (name == "content-length")
                    length_ = value.toLongLong();
                chunked_ |= name == "transfer-encoding" && value.toLower().contains("chunked");
            }
            headerRead_ = true;
            raw_.remove(0, end + 4);
            if (length_ > maxReplyBytes)
                return finish(QByteArray());
        }
        if (!chunked_) {
            body_ += raw_;
            raw_.clear();
        }
        // Each chunk: its size in hexadecimal (and extensions) on a line, the data, a line break.
        while (chunked_ && !complete_) {
            const qsizetype lineEnd = raw_.indexOf("\r\n");
            if (lineEnd < 0) {
                if (raw_.size() > 1024)
                    fail(QStringLiteral("malformed chunk"));
                return;
            }
            bool valid = false;
            const qint64 size = raw_.left(lineEnd).split(';').value(0).trimmed().toLongLong(&valid, 16);
            if (!valid || size < 0)
                return fail(QStringLiteral("malformed chunk"));
            if (size > maxReplyBytes - body_.size())
                return finish(QByteArray());
            if (raw_.size() < lineEnd + 2 + size + 2)
                return;
            body_ += raw_.mid(lineEnd + 2, size);
            raw_.remove(0, lineEnd + 2 + size + 2);
            complete_ = size == 0;
        }
        if (body_.size() > maxReplyBytes)
            return finish(QByteArray());
        if (complete_ || (length_ >= 0 && body_.size() >= length_))
            finish(body_.left(length_ >= 0 ? length_ : body_.size()));
    }

    void closed() {
        read();
        if (!headerRead_ || (chunked_ && !complete_) || (!chunked_ && length_ > body_.size()))
            fail(QStringLiteral("reply cut short"));
        else
            finish(body_);
    }

    void fail(const QString& why) { end({std::nullopt, why}); }
    void finish(const QByteArray& body) { end({body, std::nullopt}); }

    void end(HttpOutcome outcome) {
        if (!done_)
            return;
        const auto done = std::exchange(done_, nullptr);
        disconnect(socket_, nullptr, this, nullptr);
        socket_->abort();
        deleteLater();
        done(std::move(outcome));
    }

    QTcpSocket* socket_ = new QTcpSocket(this);
    std::function<void(HttpOutcome)> done_;
    const quint16 port_;
    QList<QHostAddress> addresses_; // those of the host name not yet tried
    QByteArray raw_, body_;
    bool headerRead_ = false, chunked_ = false, complete_ = false;
    qint64 length_ = -1;
};

} // namespace

void sendLoopbackGet(const QUrl& url, std::chrono::milliseconds timeout,
                     std::function<void(HttpOutcome)> done, QObject* context) {
    if (context)
        new LoopbackGet(url, timeout, std::move(done), context);
    else
        NetworkThread::instance().post([url, timeout, done = std::move(done)]() mutable {
            new LoopbackGet(url, timeout, std::move(done), NetworkThread::instance().context());
        });
}

void sendHttpRequest(HttpRequest request, std::function<void(HttpOutcome)> done) {
    NetworkThread::instance().post(
        [request = std::move(request), done = std::move(done)]() mutable { start(request, done); });
}
