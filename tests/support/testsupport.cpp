#include "testsupport.h"

#include <QSslSocket>

#include <unistd.h>

void TestHttpServer::incomingConnection(qintptr descriptor) {
    ++connections;
    QTcpSocket* socket = identity_.second.isNull() ? new QTcpSocket(this) : new QSslSocket(this);
    socket->setSocketDescriptor(descriptor);
    if (auto* tls = qobject_cast<QSslSocket*>(socket))
        tls->setLocalCertificate(identity_.first), tls->setPrivateKey(identity_.second),
            tls->startServerEncryption();
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QAbstractSocket::disconnected, this, [this] { ++ended; });
    connect(socket, &QIODevice::readyRead, this, [this, socket, buffer = QByteArray()]() mutable {
        buffer += socket->readAll();
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        static const QRegularExpression length("content-length: *(\\d+)",
                                               QRegularExpression::CaseInsensitiveOption);
        if (end < 0 || buffer.size() < end + 4 + length.match(buffer.left(end)).captured(1).toLongLong())
            return;
        requests.append({buffer.left(buffer.indexOf("\r\n")), buffer.left(end), buffer.mid(end + 4)});
        emit requestReceived();
        if (mode == Mode::Respond || mode == Mode::Flood)
            socket->write(reply);
        if (mode == Mode::Respond)
            socket->disconnectFromHost();
        else if (mode == Mode::Flood)
            connect(socket, &QIODevice::bytesWritten, socket, [this, socket] {
                if (socket->bytesToWrite() < flood.size())
                    socket->write(flood);
            });
        else if (mode == Mode::Drip) {
            auto* timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, socket,
                    [this, socket, sent = 0]() mutable { socket->write(reply.mid(sent++, 1)); });
            timer->start(50);
        }
    });
}

// Key and certificate in one PEM text, each read from it by its own markers.
Identity makeTestCertificate() {
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                              "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                              "/dev/stdout", "-out", "/dev/stdout"});
    const QByteArray pem = openssl.waitForFinished() ? openssl.readAllStandardOutput() : "";
    return {QSslCertificate(pem), QSslKey(pem, QSsl::Rsa)};
}

Capture::Capture(bool printed) {
    previous_ = setSystemLogObserver(
        [this](const QString& line) { return QMutexLocker(&mutex_), lines_.append(line); });
    if (printed && file.open())
        saved_ = ::dup(STDOUT_FILENO), ::dup2(file.handle(), STDOUT_FILENO);
}

Capture::~Capture() {
    setSystemLogObserver(std::move(previous_));
    printed();
}

QStringList Capture::printed() {
    if (saved_ < 0)
        return {};
    flushOutput(std::chrono::seconds(5));
    ::dup2(saved_, STDOUT_FILENO), ::close(std::exchange(saved_, -1));
    QStringList lines;
    file.seek(0);
    for (const QByteArray& line : file.readAll().split('\n'))
        if (!line.startsWith("QWARN  : "))
            lines.append(QUrl::fromPercentEncoding(line));
    return lines.mid(0, lines.size() - 1);
}

char* toString(View view) {
    return qstrdup(std::array{"busy", "running", "stopped", "broken"}[int(view)]);
}

Panel::Panel() {
    node.start();
    account.start();
    config.statusUrl = node.url("/get_status");
    config.accountBaseUrl = account.url();
    config.websiteBaseUrl = QUrl("https://www.test");
    config.startupPause = config.scriptPause = config.clockPeriod = std::chrono::milliseconds(0);
    config.scriptRunner = [this](const QString& command) {
        held.acquire(), held.release();
        return QMutexLocker(&mutex), commands_.append(command), failure;
    };
    delegate.endEventLoop = [this](int status) { loopEnds.append(status); };
    setCurrentServiceState(down);
}

bool Panel::open(ServiceState state) {
    nodeSays(state);
    const qsizetype before = node.requests.size();
    return openAsConfigured() && node.requests.size() == before + 1 &&
           view() == (state == up ? View::Running : View::Stopped);
}

bool Panel::openAsConfigured() {
    window = std::make_unique<WindowController>(std::make_shared<HostConfig>(config));
    window->show();
    const bool answered = QTest::qWaitFor([this] { return view() != View::Busy; });
    if (!inFront)
        elsewhere.show(), elsewhere.activateWindow();
    const bool ready = answered && (inFront || QTest::qWaitForWindowActive(&elsewhere));
    checksBefore = node.requests.size();
    log.newLines();
    return ready;
}

bool Panel::reply(const QString& button) {
    const QPointer<QMessageBox> box = sheet();
    for (QAbstractButton* candidate : box ? box->buttons() : QList<QAbstractButton*>())
        if (candidate->text() == button)
            QTest::mouseClick(candidate, Qt::LeftButton);
    if (box && button.isNull())
        QTest::keyClick(box, Qt::Key_Return);
    return box && QTest::qWaitFor([&box] { return !box; });
}

View Panel::view() const {
    const auto shows = [this](const char* name) { return widget(name)->isVisibleTo(window.get()); };
    const bool on = shows("onView"), off = shows("offView"), busy = shows("middleView");
    return on + off + busy != 1 ? View::Broken : on ? View::Running : off ? View::Stopped : View::Busy;
}

bool Panel::agreementGiven() const {
    const QColor greyed = screen()->palette().color(QPalette::Disabled, QPalette::WindowText);
    return widget<QCheckBox>("agreeButton")->isChecked() && !widget("agreeButton")->isEnabled() &&
           widget("andLabel")->palette().color(QPalette::WindowText) == greyed;
}
