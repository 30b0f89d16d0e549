#pragma once

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

// The real window offscreen, against a local node and account server, with a stand-in for the
// administrator prompt that notes each command and answers with failure.
class Panel {
public:
    Panel() {
        node.start();
        account.start();
        config.statusUrl = node.url("/get_status");
        config.accountBaseUrl = account.url();
        config.websiteBaseUrl = QUrl("https://www.test");
        config.startupPause = config.scriptPause = std::chrono::milliseconds(0);
        config.scriptRunner = [this](const QString& command) {
            QMutexLocker lock(&mutex_);
            commands_.append(command);
            return failure;
        };
    }

    // Opens the window against the test node, which reports state, and waits for its answer; -1 leaves the
    // node's address as configured. The clock is stopped: tests tick it themselves.
    void open(int state) {
        node.setReply(200, stateReply(state));
        const qsizetype asked = node.requests.size();
        window = std::make_unique<WindowController>(std::make_shared<HostConfig>(config));
        screen()->findChild<QTimer*>()->stop();
        window->show();
        QTRY_COMPARE(node.requests.size(), asked + (state >= 0));
        QTRY_VERIFY(view() != "busy");
    }

    HostConfig config;
    TestHttpServer node, account;
    std::optional<ScriptFailure> failure;
    std::unique_ptr<WindowController> window;

    ViewController* screen() const { return window->viewController(); }
    template<typename T = QWidget> T* widget(const char* name) const { return window->findChild<T*>(name); }
    void click(const char* name) const { QTest::mouseClick(widget<QAbstractButton>(name), Qt::LeftButton); }
    QString text(const char* label) const { return widget<QLabel>(label)->text(); }

    // "running", "stopped" or "busy"; "broken" unless exactly one of the three views shows.
    QString view() const {
        const bool on = widget("onView")->isVisibleTo(window.get()),
                   off = widget("offView")->isVisibleTo(window.get()),
                   busy = widget("middleView")->isVisibleTo(window.get());
        return on + off + busy != 1 ? "broken" : on ? "running" : off ? "stopped" : "busy";
    }

    // An answer as the status client hands it over: the state stored, then the callback.
    void report(int state) const {
        setCurrentServiceState(ServiceState(state));
        screen()->handleStatus();
        QCoreApplication::processEvents();
    }

    void tick(int seconds) const {
        for (int i = 0; i < seconds; ++i)
            screen()->timerTick();
    }

    QStringList commands() {
        QMutexLocker lock(&mutex_);
        return commands_;
    }

    // The newest question, "title/message" of it, and a press of one of its buttons (or of Return).
    QMessageBox* sheet() const {
        const QList<QMessageBox*> open = window->findChildren<QMessageBox*>();
        return open.isEmpty() ? nullptr : open.last();
    }
    QString asked() const { return sheet() ? sheet()->text() + '/' + sheet()->informativeText() : QString(); }
    void answer(const QString& button) const {
        QPointer<QMessageBox> box = sheet();
        QVERIFY(box);
        for (QAbstractButton* candidate : box->buttons())
            if (candidate->text() == button)
                QTest::mouseClick(candidate, Qt::LeftButton);
        if (button == "Return")
            QTest::keyClick(box, Qt::Key_Return);
        QTRY_VERIFY(!box);
    }

private:
    QMutex mutex_;
    QStringList commands_;
};
