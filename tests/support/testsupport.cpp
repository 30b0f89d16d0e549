#include "testsupport.h"

#include "app/application.h"

#include <QSslSocket>

#include <unistd.h>

void TestHttpServer::incomingConnection(qintptr descriptor) {
    ++connections;
    QTcpSocket* socket = identity_.second.isNull() ? new QTcpSocket(this) : new QSslSocket(this);
    socket->setSocketDescriptor(descriptor);
    if (auto* tls = qobject_cast<QSslSocket*>(socket)) {
        tls->setLocalCertificate(identity_.first);
        tls->setPrivateKey(identity_.second);
        tls->startServerEncryption();
    }
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
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

std::pair<QSslCertificate, QSslKey> makeTestCertificate() {
    QTemporaryDir dir;
    QProcess::execute("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                                  "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                                  dir.filePath("key"), "-out", dir.filePath("cert")});
    QFile cert(dir.filePath("cert")), key(dir.filePath("key"));
    return {QSslCertificate(cert.open(QIODevice::ReadOnly) ? cert.readAll() : ""),
            QSslKey(key.open(QIODevice::ReadOnly) ? key.readAll() : "", QSsl::Rsa)};
}

quint16 closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

Capture::Capture(bool printed) {
    previous_ = setSystemLogObserver([this](const QString& line) {
        QMutexLocker lock(&mutex_);
        lines_.append(line);
    });
    if (printed && file.open())
        saved_ = ::dup(STDOUT_FILENO), ::dup2(file.handle(), STDOUT_FILENO);
}

Capture::~Capture() {
    setSystemLogObserver(std::move(previous_));
    printed();
}

QStringList Capture::lines() const {
    QMutexLocker lock(&mutex_);
    return lines_;
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

Panel::Panel() {
    node.start();
    account.start();
    config.statusUrl = node.url("/get_status");
    config.accountBaseUrl = account.url();
    config.websiteBaseUrl = QUrl("https://www.test");
    config.startupPause = config.scriptPause = std::chrono::milliseconds(0);
    config.scriptRunner = [this](const QString& command) {
        held.acquire(), held.release();
        QMutexLocker lock(&mutex);
        commands.append(command);
        return failure;
    };
    delegate.endEventLoop = [this](int status) { loopEnds.append(status); };
    setCurrentServiceState(ServiceState::deviceStateDown);
}

void Panel::open(int state) {
    node.setReply(200, stateReply(state));
    const qsizetype before = node.requests.size();
    window = std::make_unique<WindowController>(std::make_shared<HostConfig>(config));
    screen()->findChild<QTimer*>()->stop();
    window->show();
    QTRY_COMPARE(node.requests.size(), before + (state >= 0));
    QTRY_VERIFY(view() != "busy");
    asked = node.requests.size();
    logSeen = log.lines().size();
}

QString Panel::view() const {
    const auto shows = [this](const char* name) { return widget(name)->isVisibleTo(window.get()); };
    const bool on = shows("onView"), off = shows("offView"), busy = shows("middleView");
    return on + off + busy != 1 ? "broken" : on ? "running" : off ? "stopped" : "busy";
}

QMessageBox* Panel::sheet() const {
    const QList<QMessageBox*> open = window->findChildren<QMessageBox*>();
    return open.isEmpty() ? nullptr : open.last();
}

void Panel::play(const QString& story) {
    for (const QString& step : story.split(" | ")) {
        const QString verb = step.section(' ', 0, 0), what = step.section(' ', 1),
                      key = what.section(' ', 0, 0);
        const QString given = what == "-" ? QString() : what;
        // clang-format off
        const QMap<QString, std::function<void()>> acts{
            {"open", [&] { open(what.toInt()); }},
            {"node", [&] { node.setReply(200, stateReply(what.toInt())); }},
            {"unreachable", [&] { config.statusUrl.setPort(closedPort()); }},
            {"last", [&] { given.isNull() ? settings.remove("last_action") : settings.setValue("last_action", given); }},
            {"agree", [&] { given.isNull() ? settings.remove("agree") : settings.setValue("agree", given); }},
            {"fail", [&] { failure = ScriptFailure{given, 1}; }},
            {"hold", [&] { held.acquire(); }},
            {"release", [&] { held.release(); }},
            {"tick", [&] { for (int i = 0; i < what.toInt(); ++i) screen()->timerTick(); }},
            {"report", [&] { setCurrentServiceState(ServiceState(what.toInt())), screen()->handleStatus(); }},
            {"busy", [&] { screen()->showProgress(what); }},
            {"click", [&] { QTest::mouseClick(widget<QAbstractButton>(what), Qt::LeftButton); }},
            {"key", [&] { QTest::keyClick(QApplication::focusWidget(), what == "Return" ? Qt::Key_Return : Qt::Key_Space); }},
            {"menu", [&] { window->findChild<QAction*>(what)->trigger(); }},
            {"close", [&] { QVERIFY(!window->close()); }},
            {"quit", [&] { requestTermination(); }},
            {"activate", [&] { QApplication::setActiveWindow(window.get()); QVERIFY(QTest::qWaitForWindowActive(window.get())); }},
            {"wait", [&] { QTest::qWait(20); }},
            {"german", [&] { installTranslations(QLocale(QLocale::German, QLocale::Austria)); }},
            {"answer", [&] {
                QPointer<QMessageBox> box = sheet();
                QVERIFY2(box, qPrintable(step));
                for (QAbstractButton* button : box->buttons())
                    if (button->text() == what)
                        QTest::mouseClick(button, Qt::LeftButton);
                if (what == "Return")
                    QTest::keyClick(box, Qt::Key_Return);
                QTRY_VERIFY2(!box, qPrintable(step));
            }}};
        // clang-format on
        const auto joined = [](const QStringList& lines) {
            return lines.isEmpty() ? "-" : lines.join(" / ");
        };
        const auto shown = [&]() -> QString {
            if (verb == "view")
                return view();
            if (verb == "text")
                return key + ' ' + widget(key)->property("text").toString().replace('\n', " / ");
            if (verb == "asked")
                return sheet() ? sheet()->text() + '/' + sheet()->informativeText() : "-";
            if (verb == "logged")
                return joined(log.lines().mid(std::exchange(logSeen, log.lines().size())));
            if (verb == "ran")
                return QMutexLocker(&mutex), joined(commands); // the list, read under the lock
            if (verb == "checked")
                return QString::number(node.requests.size() - asked);
            if (verb == "stored")
                return key + ' ' + settings.value(key, "-").toString();
            if (verb == "ended")
                return QString::number(loopEnds.size());
            if (verb == "focus")
                return QApplication::focusWidget()->objectName();
            const bool locked = widget<QCheckBox>("agreeButton")->isChecked() &&
                               !widget("agreeButton")->isEnabled() &&
                               widget("andLabel")->palette().color(QPalette::WindowText) ==
                                   screen()->palette().color(QPalette::Disabled, QPalette::WindowText);
            return verb == "agreement" ? locked ? "given" : "open" : "no such step";
        };
        if (acts.contains(verb))
            acts[verb]();
        else if (verb == "view" || verb == "ran" || verb == "checked") {
            QTRY_COMPARE(verb + ' ' + shown(), step);
            // A count has to stay, too: a check too many may still be on its way.
            if (verb == "checked") {
                QTest::qWait(100);
                QCOMPARE(verb + ' ' + shown(), step);
            }
        } else
            QCOMPARE(verb + ' ' + shown(), step);
        if (QTest::currentTestFailed())
            return;
    }
}
