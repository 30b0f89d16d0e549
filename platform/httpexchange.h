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

enum class HttpClient {
    Loopback, // status queries: never through a proxy
    Shared,   // the process-wide client for log uploads
};

struct HttpRequest {
    HttpClient client = HttpClient::Shared;
    QNetworkRequest request;
    QByteArray verb = "GET";
    QByteArray body;
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

// Sends the request from the network thread, which owns every HTTP client of the process, and returns at
// once. done runs exactly once, on the network thread, never on the caller's.
void sendHttpRequest(HttpRequest request, std::function<void(HttpOutcome)> done);
