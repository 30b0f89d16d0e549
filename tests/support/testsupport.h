#pragma once

#include "app/appdelegate.h"
#include "app/application.h"
#include "app/windowcontroller.h"
#include "control/viewcontroller.h"
#include "host/servicestate.h"
#include "host/utils.h"
#include "platform/output.h"
#include "platform/systemlog.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

#include <ranges>

// One request as a test server received it: its first line, its header, its body.
struct RecordedRequest {
    QByteArray line, head, body;

    // The form fields of the body, percent-decoded.
    QMap<QString, QString> fields() const {
        const auto items = QUrlQuery(body).queryItems(QUrl::FullyDecoded);
        return QMap(std::map<QString, QString>(items.begin(), items.end()));
    }
};

using Identity = std::pair<QSslCertificate, QSslKey>;

// A real HTTP/1.1 server (HTTPS with a certificate) on a loopback port, driven by the test's event loop.
class TestHttpServer : public QTcpServer {
    Q_OBJECT

public:
    // Respond: the reply, then close. Drip: the reply a byte every 50 ms. Flood: the reply, then flood
    // again and again for as long as the client reads.
    enum class Mode { Respond, NeverAnswer, Drip, Flood };

    // An ephemeral port unless one is given.
    bool start(quint16 port = 0, const Identity& identity = Identity()) {
        identity_ = identity;
        setReply(200, "{}");
        return listen(QHostAddress::LocalHost, port);
    }
    QUrl url(const QString& path = {}) const {
        const char* scheme = identity_.second.isNull() ? "http" : "https";
        return QString("%1://127.0.0.1:%2%3").arg(scheme).arg(serverPort()).arg(path);
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
    // Connections that have ended, closed by either side.
    int ended = 0;

signals:
    void requestReceived();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    Identity identity_;
};

// A self-signed certificate for 127.0.0.1 that openssl makes for this run.
Identity makeTestCertificate();
inline QByteArray stateReply(ServiceState state) {
    return "{\"state\":" + QByteArray::number(rawValue(state)) + '}';
}
constexpr ServiceState down = ServiceState::deviceStateDown, up = ServiceState::deviceStateUp,
                       closed = ServiceState::deviceStateClosed;

// Every system-log line written while it exists, from any thread; with `printed` set, also standard
// output, descriptor 1 itself, which goes to a file meanwhile.
class Capture {
public:
    explicit Capture(bool printed = false);
    ~Capture();
    QStringList lines() const { return QMutexLocker(&mutex_), lines_; }
    // The lines logged since the last call.
    QStringList newLines() { return QMutexLocker(&mutex_), lines_.mid(std::exchange(seen_, lines_.size())); }
    // Puts standard output back; the lines written meanwhile, percent-decoded as the account server would,
    // without Qt Test's own (a warning of the offscreen platform when a window changes size).
    QStringList printed();
    // Where standard output goes meanwhile.
    QTemporaryFile file;

private:
    mutable QMutex mutex_;
    QStringList lines_;
    qsizetype seen_ = 0;
    SystemLogObserver previous_;
    int saved_ = -1;
};

enum class View { Busy, Running, Stopped, Broken };
char* toString(View view);

// The real window offscreen, with the quit gate, against a local node and account server, and with a
// stand-in for the administrator prompt that notes each command and answers with `failure`. Its clock
// ticks only when the test calls tick(). Steps that wait say so and return whether what they wait for came.
class Panel {
public:
    Panel();
    // Opens the window against a node that answers state, and waits for the view that shows the answer.
    bool open(ServiceState state);
    // Opens the window against the node as configured, and waits for a view other than busy.
    bool openAsConfigured();
    // What the node answers from now on.
    void nodeSays(ServiceState state) { node.setReply(200, stateReply(state)); }
    // An answer handed over as the status client hands it, now: what a check at any moment could bring,
    // without five seconds of the clock or the node's round trip in between.
    void answer(ServiceState state) { setCurrentServiceState(state), screen()->handleStatus(); }
    void tick(int seconds = 1) {
        std::ranges::for_each(std::views::iota(0, seconds), [this](int) { screen()->timerTick(); });
    }
    void click(const char* button) { QTest::mouseClick(widget<QAbstractButton>(button), Qt::LeftButton); }
    // A key on the widget with the focus.
    void press(Qt::Key key) { QTest::keyClick(QApplication::focusWidget(), key); }
    void trigger(const char* action) { window->findChild<QAction*>(action)->trigger(); }
    // Presses the button of the newest question, or Return there, and waits for the question to go.
    bool reply(const QString& button);
    bool replyWithReturn() { return reply({}); }
    // The next Start or Stop waits at the prompt until release().
    void hold() { held.acquire(); }
    void release() { held.release(); }

    View view() const;
    // The text of a label or button, its lines joined by " / ".
    QString text(const char* name) const {
        return widget(name)->property("text").toString().replace('\n', " / ");
    }
    // "title/message" of the newest question; empty when there is none.
    QString question() const { return sheet() ? sheet()->text() + '/' + sheet()->informativeText() : ""; }
    // The system log since the window opened or since the last call.
    QStringList logged() { return log.newLines(); }
    // The commands the stand-in for the prompt got.
    QStringList commands() { return QMutexLocker(&mutex), commands_; }
    // Status checks since the window's first answer.
    qsizetype checks() const { return node.requests.size() - checksBefore; }
    // The status of each end of the event loop that the quit gate let through.
    QList<int> quits() const { return loopEnds; }
    // The box ticked and locked, its words greyed.
    bool agreementGiven() const;
    QString focus() const { return QApplication::focusWidget()->objectName(); }

    HostConfig config;
    TestHttpServer node, account;
    std::optional<ScriptFailure> failure;
    std::unique_ptr<WindowController> window;
    QSettings settings{"nodepanel", "nodepanel"};
    AppDelegate delegate;
    // Whether open() leaves the window the active one; otherwise another window is, as when the user
    // works elsewhere.
    bool inFront = true;

    ViewController* screen() const { return window->viewController(); }
    template<typename T = QWidget> T* widget(const char* name) const { return window->findChild<T*>(name); }
    // The newest question, once shown (in the turn after it is asked); none if it never shows.
    QMessageBox* sheet() const {
        const QList<QMessageBox*> open = window->findChildren<QMessageBox*>();
        const QPointer<QMessageBox> box = open.isEmpty() ? nullptr : open.last();
        return QTest::qWaitFor([&] { return !box || box->testAttribute(Qt::WA_WState_ExplicitShowHide); })
                   ? box
                   : nullptr;
    }

private:
    Capture log;
    qsizetype checksBefore = 0;
    QList<int> loopEnds;
    QMutex mutex;
    QStringList commands_;
    QSemaphore held{1};
    QWidget elsewhere;
};
