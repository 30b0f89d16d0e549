#include "testsupport.h"

#include <QSslSocket>

void TestHttpServer::incomingConnection(qintptr descriptor) {
    ++connections;
    QTcpSocket* socket = key_.isNull() ? new QTcpSocket(this) : new QSslSocket(this);
    socket->setSocketDescriptor(descriptor);
    if (auto* tls = qobject_cast<QSslSocket*>(socket)) {
        tls->setLocalCertificate(certificate_);
        tls->setPrivateKey(key_);
        tls->startServerEncryption();
    }
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QIODevice::readyRead, this, [this, socket, buffer = QByteArray()]() mutable {
        buffer += socket->readAll();
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        RecordedRequest request;
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        for (const QByteArray& line : lines.mid(1))
            request.headers.insert(line.left(line.indexOf(':')).toLower(),
                                   line.mid(line.indexOf(':') + 1).trimmed());
        if (end < 0 || buffer.size() < end + 4 + request.headers.value("content-length").toLongLong())
            return;
        request.line = lines[0].trimmed();
        request.body = buffer.mid(end + 4);
        requests.append(request);
        emit requestReceived();
        if (mode == Mode::Respond) {
            socket->write(reply);
            socket->disconnectFromHost();
        } else if (mode == Mode::Flood) {
            socket->write(reply);
            connect(socket, &QIODevice::bytesWritten, socket, [this, socket] {
                if (socket->bytesToWrite() < flood.size())
                    socket->write(flood);
            });
        } else if (mode == Mode::Drip) {
            auto* timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, socket,
                    [this, socket, sent = 0]() mutable { socket->write(reply.mid(sent++, 1)); });
            timer->start(50);
        }
    });
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
        const QString verb = step.section(' ', 0, 0), what = step.section(' ', 1);
        const QString given = what == "-" ? QString() : what;
        const auto joined = [](const QStringList& lines) {
            return lines.isEmpty() ? "-" : lines.join(" / ");
        };
        const auto ran = [this] {
            QMutexLocker lock(&mutex);
            return commands;
        };
        if (verb == "open")
            open(what.toInt());
        else if (verb == "node")
            node.setReply(200, stateReply(what.toInt()));
        else if (verb == "unreachable")
            config.statusUrl.setPort(closedPort());
        else if (verb == "last" || verb == "agree")
            given.isNull() ? settings.remove(verb == "last" ? "last_action" : "agree")
                           : settings.setValue(verb == "last" ? "last_action" : "agree", given);
        else if (verb == "fail")
            failure = ScriptFailure{given, 1};
        else if (verb == "hold" || verb == "release")
            verb == "hold" ? held.acquire() : held.release();
        else if (verb == "tick")
            for (int i = 0; i < what.toInt(); ++i)
                screen()->timerTick();
        else if (verb == "report")
            setCurrentServiceState(ServiceState(what.toInt())), screen()->handleStatus();
        else if (verb == "busy")
            screen()->showProgress(what);
        else if (verb == "click")
            QTest::mouseClick(widget<QAbstractButton>(qPrintable(what)), Qt::LeftButton);
        else if (verb == "key")
            QTest::keyClick(QApplication::focusWidget(), what == "Return" ? Qt::Key_Return : Qt::Key_Space);
        else if (verb == "answer") {
            QPointer<QMessageBox> box = sheet();
            QVERIFY2(box, qPrintable(step));
            for (QAbstractButton* button : box->buttons())
                if (button->text() == what)
                    QTest::mouseClick(button, Qt::LeftButton);
            if (what == "Return")
                QTest::keyClick(box, Qt::Key_Return);
            QTRY_VERIFY2(!box, qPrintable(step));
        } else if (verb == "close")
            QVERIFY(!window->close());
        else if (verb == "quit")
            requestTermination();
        else if (verb == "activate") {
            QApplication::setActiveWindow(window.get());
            QVERIFY(QTest::qWaitForWindowActive(window.get()));
        } else if (verb == "wait")
            QTest::qWait(20);
        else if (verb == "view")
            QTRY_COMPARE("view " + view(), step);
        else if (verb == "text")
            QCOMPARE("text " + what.section(' ', 0, 0) + ' ' +
                         text(qPrintable(what.section(' ', 0, 0))).replace('\n', " / "),
                     step);
        else if (verb == "asked")
            QCOMPARE("asked " + (sheet() ? sheet()->text() + '/' + sheet()->informativeText() : "-"), step);
        else if (verb == "logged") {
            QCOMPARE("logged " + joined(log.lines().mid(logSeen)), step);
            logSeen = log.lines().size();
        } else if (verb == "ran")
            QTRY_COMPARE("ran " + joined(ran()), step);
        else if (verb == "checked")
            QTRY_COMPARE("checked " + QString::number(node.requests.size() - asked), step);
        else if (verb == "stored") {
            const QVariant value = settings.value(what.section(' ', 0, 0));
            QCOMPARE("stored " + what.section(' ', 0, 0) + ' ' + (value.isValid() ? value.toString() : "-"),
                     step);
        } else if (verb == "agreement") {
            const bool given = widget<QCheckBox>("agreeButton")->isChecked() &&
                               !widget("agreeButton")->isEnabled() &&
                               widget("andLabel")->palette().color(QPalette::WindowText) ==
                                   screen()->palette().color(QPalette::Disabled, QPalette::WindowText);
            QCOMPARE(QString("agreement ") + (given ? "given" : "open"), step);
        } else if (verb == "ended")
            QCOMPARE("ended " + QString::number(loopEnds.size()), step);
        else if (verb == "focus")
            QCOMPARE("focus " + QApplication::focusWidget()->objectName(), step);
        else
            QFAIL(qPrintable("no such step: " + step));
        if (QTest::currentTestFailed())
            return;
    }
}
