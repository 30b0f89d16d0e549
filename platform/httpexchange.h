#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

// The largest reply body that is read. A larger one is cut off and comes back empty, which no reader can
// use, so a hostile local program cannot make the panel swallow gigabytes.
inline constexpr qint64 maxReplyBytes = 65536;
// The largest header section of a loopback reply that is read; a larger one is a transport failure.
inline constexpr qint64 maxHeaderBytes = 16384;

struct HttpRequest {
    QNetworkRequest request;
    QByteArray verb = "GET";
    QByteArray body;
    // When set, makes the body on the network thread just before sending: for a body whose making may
    // wait on the disk, which the caller's thread should not.
    std::function<QByteArray()> makeBody;
    // Bounds the whole exchange, not only the gaps between bytes.
    std::chrono::milliseconds timeout{5000};
    // Trusted for HTTPS besides the system's certificate authorities.
    QList<QSslCertificate> extraCaCertificates;
};

struct HttpOutcome {
    // The reply body, whatever the HTTP status; absent after a transport failure.
    std::optional<QByteArray> body;
    // Why no reply came (refused, unreachable, time-out, TLS failure); absent when one did.
    std::optional<QString> transportError;
};

// Sends the request through the process-wide client on the network thread, which owns every HTTP client of
// the process, and returns at once. done runs exactly once, on the network thread, never on the caller's.
void sendHttpRequest(HttpRequest request, std::function<void(HttpOutcome)> done);

// One plain GET to a server on this computer, for the node's status: never through a proxy, following no
// redirect, and bounded in bytes and time whatever the other end sends. Returns at once; done runs exactly
// once, on the network thread. With a context, the exchange runs on the calling thread instead, which must
// be the context's and run an event loop, and done runs there too, unless the context is gone first: no
// thread hop for a caller that waits on its own loop anyway. The body counts whatever the HTTP status. A
// reply that is not HTTP, a header section over maxHeaderBytes, or a body cut short of its announced length
// is a transport failure. A host name is looked up once for the whole process.
void sendLoopbackGet(const QUrl& url, std::chrono::milliseconds timeout,
                     std::function<void(HttpOutcome)> done, QObject* context = nullptr);
