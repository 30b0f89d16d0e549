#pragma once

#include "app/appdelegate.h"
#include "app/windowcontroller.h"
#include "control/viewcontroller.h"
#include "host/servicestate.h"
#include "platform/output.h"
#include "platform/systemlog.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

#include <unistd.h>

// One request as a test server received it: its first line, its headers (names in lower case), its body.
struct RecordedRequest {
    QByteArray line, body;
    QMap<QByteArray, QByteArray> headers;

    // The form fields of the body, percent-decoded.
    QMap<QByteArray, QString> fields() const {
        QMap<QByteArray, QString> fields;
        for (const QByteArray& field : body.split('&'))
            fields.insert(field.left(field.indexOf('=')),
                          QUrl::fromPercentEncoding(field.mid(field.indexOf('=') + 1)));
        return fields;
    }
};

// A real HTTP/1.1 server (HTTPS with a certificate) on a loopback port, driven by the test's event loop.
class TestHttpServer : public QTcpServer {
    Q_OBJECT

public:
    // Respond: the reply, then close. Drip: the reply a byte every 50 ms. Flood: the reply, then flood
    // again and again for as long as the client reads.
    enum class Mode { Respond, NeverAnswer, Drip, Flood };

    // An ephemeral port unless one is given.
    bool start(quint16 port = 0, const QSslCertificate& certificate = QSslCertificate(),
               const QSslKey& key = QSslKey()) {
        certificate_ = certificate;
        key_ = key;
        setReply(200, "{}");
        return listen(QHostAddress::LocalHost, port);
    }

    QUrl url(const QString& path = QString()) const {
        return QUrl(QStringLiteral("%1://127.0.0.1:%2%3")
                        .arg(key_.isNull() ? "http" : "https")
                        .arg(serverPort())
                        .arg(path));
    }

    // A whole reply with a Content-Length, sent for every request.
    void setReply(int status, const QByteArray& body) {
        reply = "HTTP/1.1 " + QByteArray::number(status) +
                " Status\r\nContent-Length: " + QByteArray::number(body.size()) +
                "\r\nConnection: close\r\n\r\n" + body;
    }

    Mode mode = Mode::Respond;
    QByteArray reply, flood;
    QList<RecordedRequest> requests;
    int connections = 0;

signals:
    void requestReceived();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QSslCertificate certificate_;
    QSslKey key_;
};

// A self-signed certificate for 127.0.0.1 that openssl makes for this run; null when it fails.
inline std::pair<QSslCertificate, QSslKey> makeTestCertificate() {
    QTemporaryDir dir;
    QProcess::execute("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                                  "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                                  dir.filePath("key"), "-out", dir.filePath("cert")});
    QFile cert(dir.filePath("cert")), key(dir.filePath("key"));
    return {QSslCertificate(cert.open(QIODevice::ReadOnly) ? cert.readAll() : ""),
            QSslKey(key.open(QIODevice::ReadOnly) ? key.readAll() : "", QSsl::Rsa)};
}

// A loopback port that nothing listens on.
inline quint16 closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

inline QByteArray stateReply(int state) {
    return "{\"state\":" + QByteArray::number(state) + '}';
}

// Collects every system-log line written while it exists, from any thread.
class LogCapture {
public:
    LogCapture() {
        previous_ = setSystemLogObserver([this](const QString& line) {
            QMutexLocker lock(&mutex_);
            lines_.append(line);
        });
    }
    ~LogCapture() { setSystemLogObserver(std::move(previous_)); }
    QStringList lines() const {
        QMutexLocker lock(&mutex_);
        return lines_;
    }
    int count(const QString& line) const { return int(lines().count(line)); }

private:
    mutable QMutex mutex_;
    QStringList lines_;
    SystemLogObserver previous_;
};

// Standard output, descriptor 1 itself, goes to a file while this exists.
class StdoutCapture {
public:
    StdoutCapture() {
        file_.open();
        ::dup2(file_.handle(), STDOUT_FILENO);
    }
    ~StdoutCapture() { stop(); }
    QString fileName() const { return file_.fileName(); }
    // Puts standard output back; the lines written meanwhile, percent-decoded as the account server would,
    // without Qt Test's own (a warning of the offscreen platform when a window changes size).
    QStringList stop() {
        flushOutput(std::chrono::seconds(5));
        ::dup2(saved_, STDOUT_FILENO);
        QFile written(file_.fileName());
        written.open(QIODevice::ReadOnly);
        QStringList lines;
        for (const QByteArray& line : written.readAll().split('\n'))
            lines.append(QUrl::fromPercentEncoding(line));
        lines.removeIf([](const QString& line) { return line.startsWith("QWARN  : "); });
        return lines.mid(0, lines.size() - 1);
    }

private:
    QTemporaryFile file_;
    const int saved_ = ::dup(STDOUT_FILENO);
};

// The real window offscreen, with the quit gate, against a local node and account server, and with a stand-in
// for the administrator prompt that notes each command and answers with failure.
//
// play() tells it a story, steps separated by " | ". A step acts:
//   open N      opens the window against a node that answers N, and waits for that answer; -1: against the
//               node as configured, and waits for any answer
//   node N      the node answers N from now on; unreachable: nothing listens where the window looks for it
//   last X      stores the last action X; agree X: the agreement ("-": takes it away)
//   fail X      Start and Stop fail from now on, with the message X ("-": none)
//   hold        the next Start or Stop waits at the prompt until "release"
//   tick N      N seconds of the clock; report N: a status answer N, handed over as the status client does
//   busy X      the busy view with the text X
//   click X     clicks the button X; key X: presses Return or Space where the focus is
//   answer X    presses X, or Return, in the newest question
//   close, quit, activate, wait   asks to close the window, to quit; activates it; lets queued work run
// or checks, now (or soon, where a step says so):
//   view X      the view X shows: running, stopped or busy (soon)
//   text L X    the label L reads X, its lines joined by " / "
//   asked X     the newest question is "title/message" X ("-": none)
//   logged X    the system log since the window opened or since the last check of it, lines joined by
//               " / " ("-": none)
//   ran X       the stand-in got these commands, joined by " / " (soon)
//   checked N   the node was asked N times since the window's first answer (soon)
//   stored K X  the setting K holds X ("-": none)
//   agreement X the box is "given" (ticked, locked, its words greyed) or "open"
//   ended N     the quit gate ended the event loop N times
//   focus X     the keyboard focus is on X
class Panel {
public:
    Panel();
    void open(int state);
    void play(const QString& story);

    HostConfig config;
    TestHttpServer node, account;
    std::optional<ScriptFailure> failure;
    std::unique_ptr<WindowController> window;
    QSettings settings{"nodepanel", "nodepanel"};

    ViewController* screen() const { return window->viewController(); }
    template<typename T = QWidget> T* widget(const char* name) const { return window->findChild<T*>(name); }
    QString text(const char* label) const { return widget<QLabel>(label)->text(); }
    QString view() const;
    QMessageBox* sheet() const;

private:
    AppDelegate delegate;
    LogCapture log;
    qsizetype logSeen = 0, asked = 0;
    QList<int> loopEnds;
    QMutex mutex;
    QStringList commands;
    QSemaphore held{1};
};
