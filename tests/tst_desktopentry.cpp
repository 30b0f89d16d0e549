// The running panel as desktops see it: the application id that matches its menu entry, and the menu
// entry's icon on its window.
#include "app/application.h"
#include "app/windowcontroller.h"
#include "control/servicestate.h"
#include "platform/hostconfig.h"

#include "testhttpserver.h"

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QtTest>

class TestDesktopEntry : public QObject {
    Q_OBJECT

private:
    TestHttpServer node;

private slots:
    void initTestCase() {
        QVERIFY(node.start());
        node.setReply(200, "{\"state\":" + QByteArray::number(rawValue(ServiceState::deviceStateDown)) + '}');
        HostConfig config = HostConfig::production();
        config.statusUrl = node.url(QStringLiteral("/get_status"));
        config.accountBaseUrl = QUrl(QStringLiteral("http://127.0.0.1:1"));
        config.startupPause = std::chrono::milliseconds(0);
        installHostConfig(config);
    }

    void panelCarriesItsIdAndIcon() {
        QString desktopFileName;
        QIcon windowIcon;
        const int status = runPanel([&](WindowController& window) {
            desktopFileName = QGuiApplication::desktopFileName();
            windowIcon = window.windowIcon();
            QCoreApplication::exit(0);
        });
        QCOMPARE(status, 0);
        QCOMPARE(desktopFileName, QStringLiteral(NODEPANEL_APP_ID));

        // Drawn from the installed icon's source, at the sizes a title bar and a task switcher use.
        const QIcon installed(QStringLiteral(NODEPANEL_SOURCE_DIR "/resources/nodepanel.svg"));
        QVERIFY(!windowIcon.isNull());
        for (const int size : {16, 32, 64, 256}) {
            const QImage shown = windowIcon.pixmap(size).toImage();
            QCOMPARE(shown.size(), QSize(size, size));
            QCOMPARE(shown, installed.pixmap(size).toImage());
            // Not a blank square: the tile's middle is opaque and its corners are cut off.
            QCOMPARE(qAlpha(shown.pixel(size / 2, size / 2)), 255);
            QCOMPARE(qAlpha(shown.pixel(0, 0)), 0);
        }
    }
};

QTEST_MAIN(TestDesktopEntry)
#include "tst_desktopentry.moc"
