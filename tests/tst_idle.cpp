// What the panel spends while it sits open: the uptime clock, the status check, the window icon.

#include "app/application.h"
#include "host/utils.h"
#include "platform/httpexchange.h"

#include "testsupport.h"

#include <atomic>

Q_DECLARE_METATYPE(std::function<void(QLabel*)>)

namespace {

// Notes which widgets were repainted and which asked their layout to be done again.
struct Watch : QObject {
    QSet<QWidget*> painted;
    int layoutRequests = 0;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            painted.insert(static_cast<QWidget*>(watched));
        layoutRequests += event->type() == QEvent::LayoutRequest;
        return false;
    }
};

} // namespace

class IdleTest : public QObject {
    Q_OBJECT

private slots:
    // A second of uptime repaints the clock alone: no widget beside it, and no layout anywhere, which a
    // clock free to change size would ask for with every new text.
    void tickRepaintsTheClockAlone() {
        Panel panel;
        QVERIFY(panel.open(up));
        auto* clock = panel.widget<QLabel>("timerLabel");
        panel.screen()->timerTick();
        QVERIFY(QTest::qWaitForWindowExposed(panel.window.get()));
        QTest::qWait(50);
        Watch watch;
        for (QWidget* widget : panel.window->findChildren<QWidget*>())
            widget->installEventFilter(&watch);
        panel.screen()->timerTick();
        QTRY_VERIFY(watch.painted.contains(clock));
        QTest::qWait(50);
        QCOMPARE(clock->text(), "00:00:02");
        QCOMPARE(watch.layoutRequests, 0);
        for (QWidget* widget : std::as_const(watch.painted))
            QVERIFY2(widget == clock || widget->isAncestorOf(clock), qPrintable(widget->objectName()));
    }

    // Measured only when the text's length, font or style changes, the clock still fits its text after
    // each: nothing of it is cut off.
    void clockFitsItsText_data() {
        QTest::addColumn<std::function<void(QLabel*)>>("change");
        QTest::newRow("larger font") << std::function<void(QLabel*)>([](QLabel* clock) {
            QFont font = clock->font();
            font.setPointSize(font.pointSize() * 2);
            clock->setFont(font);
        });
        QTest::newRow("style sheet") << std::function<void(QLabel*)>(
            [](QLabel* clock) { clock->setStyleSheet("QLabel { font-size: 40px; padding: 6px; }"); });
        QTest::newRow("spaced window font") << std::function<void(QLabel*)>([](QLabel* clock) {
            QFont font = clock->window()->font();
            font.setLetterSpacing(QFont::AbsoluteSpacing, 4);
            clock->window()->setFont(font);
        });
    }
    void clockFitsItsText() {
        QFETCH(std::function<void(QLabel*)>, change);
        Panel panel;
        QVERIFY(panel.open(up));
        auto* clock = panel.widget<QLabel>("timerLabel");
        panel.screen()->timerTick();
        const QSize before = clock->size();
        change(clock);
        panel.screen()->timerTick();
        QCOMPARE(clock->text(), "00:00:02");
        QTRY_COMPARE(clock->size(), clock->sizeHint());
        QVERIFY(clock->size() != before);
    }

    // The status check asks with the host name and path it was given, whoever asks. With a context, the
    // exchange and the answer stay on the asking thread; without, the answer comes on the network thread.
    // An answer for a context that is gone never comes.
    void checkAsksAndAnswersWhereAsked_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("withContext");
        QTest::addColumn<bool>("contextGone");
        QTest::newRow("by name, on the main thread") << "localhost" << true << false;
        QTest::newRow("by address, on the main thread") << "127.0.0.1" << true << false;
        QTest::newRow("by name, on the network thread") << "localhost" << false << false;
        QTest::newRow("context gone") << "localhost" << true << true;
    }
    void checkAsksAndAnswersWhereAsked() {
        QFETCH(QString, host);
        QFETCH(bool, withContext);
        QFETCH(bool, contextGone);
        TestHttpServer node;
        QVERIFY(node.start());
        node.setReply(200, stateReply(up));
        if (contextGone)
            node.mode = TestHttpServer::Mode::NeverAnswer;
        HostConfig config;
        config.statusUrl = QUrl(QString("http://%1:%2/get_status").arg(host).arg(node.serverPort()));
        setCurrentServiceState(ServiceState::deviceStateDown);
        auto context = std::make_unique<QObject>();
        std::atomic<int> calls = 0;
        std::atomic<bool> onMain = false;
        Utils::queryNodeStatus(
            config,
            [&] {
                onMain = QThread::currentThread() == qApp->thread();
                ++calls;
            },
            withContext ? context.get() : nullptr);
        QTRY_COMPARE(node.requests.size(), 1);
        QCOMPARE(node.requests[0].head,
                 QString("GET /get_status HTTP/1.1\r\nHost: %1:%2\r\nConnection: close")
                     .arg(host)
                     .arg(node.serverPort())
                     .toUtf8());
        if (contextGone) {
            context.reset();
            QTest::qWait(200);
            QCOMPARE(calls.load(), 0);
            return;
        }
        QTRY_COMPARE(calls.load(), 1);
        QCOMPARE(onMain.load(), withContext);
        QCOMPARE(currentServiceState(), ServiceState::deviceStateUp);
    }

    // The window's pictures are the menu entry's scalable icon as Qt draws it, at every size the window
    // icon has: an edited icon that was not drawn again fails here.
    void windowIconIsTheMenuIcon() {
        prepareApplication();
        const QIcon scalable(QFINDTESTDATA("../resources/nodepanel.svg"));
        QList<QSize> sizes;
        for (const int size : windowIconSizes) {
            sizes.append(QSize(size, size));
            const QImage drawn = scalable.pixmap(QSize(size, size), 1.0)
                                     .toImage()
                                     .convertToFormat(QImage::Format_ARGB32),
                         shown = QApplication::windowIcon()
                                     .pixmap(QSize(size, size), 1.0)
                                     .toImage()
                                     .convertToFormat(QImage::Format_ARGB32);
            QVERIFY2(!drawn.isNull(), "the SVG icon engine draws the scalable icon");
            QCOMPARE(shown, drawn);
        }
        QCOMPARE(QApplication::windowIcon().availableSizes(), sizes);
    }
};

QTEST_MAIN(IdleTest)
#include "tst_idle.moc"
