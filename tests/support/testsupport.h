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

// One request as a test server received it: its first line, its header, its body.
struct RecordedRequest {
    QByteArray line, head, body;

    // The form fields of the body, percent-decoded.
    QMap<QString, QString> fields() const {
        QMap<QString, QString> fields;
        for (const auto& [name, value] : QUrlQuery(body).queryItems(QUrl::FullyDecoded))
            fields.insert(name, value);
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
    bool start(quint16 port = 0,
               const std::pair<QSslCertificate, QSslKey>& identity = std::pair<QSslCertificate, QSslKey>()) {
        identity_ = identity;
        setReply(200, "{}");
        return listen(QHostAddress::LocalHost, port);
    }
    QUrl url(const QString& path = {}) const {
        return QString("%1://127.0.0.1:%2%3")
            .arg(identity_.second.isNull() ? "http" : "https")
            .arg(serverPort())
            .arg(path);
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
    std::pair<QSslCertificate, QSslKey> identity_;
};

// A self-signed certificate for 127.0.0.1 that openssl makes for this run.
std::pair<QSslCertificate, QSslKey> makeTestCertificate();
// A loopback port that nothing listens on.
quint16 closedPort();
inline QByteArray stateReply(int state) {
    return "{\"state\":" + QByteArray::number(state) + '}';
}

// Every system-log line written while it exists, from any thread; with `printed` set, also standard
// output, descriptor 1 itself, which goes to a file meanwhile.
class Capture {
public:
    explicit Capture(bool printed = false);
    ~Capture();
    QStringList lines() const;
    // Puts standard output back; the lines written meanwhile, percent-decoded as the account server would,
    // without Qt Test's own (a warning of the offscreen platform when a window changes size).
    QStringList printed();
    // Where standard output goes meanwhile.
    QTemporaryFile file;

private:
    mutable QMutex mutex_;
    QStringList lines_;
    SystemLogObserver previous_;
    int saved_ = -1;
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
//   click X     clicks the button X; key X: presses Return or Space where the focus is; menu X: triggers
//               the action X
//   answer X    presses X, or Return, in the newest question
//   close, quit, activate, wait   asks to close the window, to quit; activates it; lets queued work run
//   german      speaks German from now on, for the rest of the process
// or checks, now (or soon, where a step says so):
//   view X      the view X shows: running, stopped or busy (soon)
//   text W X    the label or button W reads X, its lines joined by " / "
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
    template<typename T = QWidget> T* widget(const QString& name) const {
        return window->findChild<T*>(name);
    }
    QString view() const;
    QMessageBox* sheet() const;

private:
    AppDelegate delegate;
    Capture log;
    qsizetype logSeen = 0, asked = 0;
    QList<int> loopEnds;
    QMutex mutex;
    QStringList commands;
    QSemaphore held{1};
};
