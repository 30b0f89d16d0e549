#include "platform/httpexchange.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QThread>
#include <QTimer>

#include <memory>

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
    QNetworkAccessManager* client(HttpClient which) {
        if (!loopback_) {
            loopback_ = new QNetworkAccessManager(context_);
            loopback_->setProxy(QNetworkProxy::NoProxy);
            shared_ = new QNetworkAccessManager(context_);
        }
        return which == HttpClient::Loopback ? loopback_ : shared_;
    }

private:
    NetworkThread() {
        thread_.setObjectName(QStringLiteral("network"));
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
    }

    QThread thread_;
    QMutex mutex_;
    QObject* context_ = new QObject;
    QNetworkAccessManager* loopback_ = nullptr;
    QNetworkAccessManager* shared_ = nullptr;
};

struct Exchange {
    QByteArray body;
    bool timedOut = false;
    bool oversized = false;
};

void start(HttpRequest& request, std::function<void(HttpOutcome)>& done) {
    if (!request.extraCaCertificates.isEmpty()) {
        QSslConfiguration tls = request.request.sslConfiguration();
        tls.addCaCertificates(request.extraCaCertificates);
        request.request.setSslConfiguration(tls);
    }
    QNetworkAccessManager* client = NetworkThread::instance().client(request.client);
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

} // namespace

void sendHttpRequest(HttpRequest request, std::function<void(HttpOutcome)> done) {
    NetworkThread::instance().post(
        [request = std::move(request), done = std::move(done)]() mutable { start(request, done); });
}
