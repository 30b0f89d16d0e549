// What the panel spends while it sits open: the uptime clock, the busy view's bar and the window icon.
// (The status check's answer without a hop: tst_http.)

#include "testsupport.h"

// Notes which widgets were repainted and whether any asked for its layout to be done again; counts paints
// and the frames that animations asked for.
struct Watch : QObject {
    QSet<QWidget*> painted;
    int layoutRequests = 0, paints = 0, frames = 0;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            painted.insert(static_cast<QWidget*>(watched)), ++paints;
        layoutRequests += event->type() == QEvent::LayoutRequest;
        frames += event->type() == QEvent::StyleAnimationUpdate;
        return false;
    }
};

static QImage picture(const QIcon& icon, int size) {
    return icon.pixmap(QSize(size, size), 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
}

class IdleTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { prepareApplication(); }

    // A second of uptime repaints the clock alone: no widget beside it, and no layout anywhere, which a
    // clock free to change size would ask for with every new text. Measured only when its font or style
    // changes (or its text's length), it still fits its text after each: nothing of it is cut off.
    void clockCostsOneRepaintAndFits() {
        Panel panel;
        QVERIFY(panel.open(up));
        auto* clock = panel.widget<QLabel>("timerLabel");
        panel.tick();
        QVERIFY(QTest::qWaitForWindowExposed(panel.window.get()));
        QTest::qWait(50);
        Watch watch;
        for (QWidget* widget : panel.window->findChildren<QWidget*>())
            widget->installEventFilter(&watch);
        panel.tick();
        QTRY_VERIFY(watch.painted.contains(clock));
        QTest::qWait(50);
        QCOMPARE(watch.layoutRequests, 0);
        for (QWidget* widget : std::as_const(watch.painted))
            QVERIFY2(widget == clock || widget->isAncestorOf(clock), qPrintable(widget->objectName()));

        const QSize first = clock->size();
        clock->setFont(QFont(clock->font().family(), clock->font().pointSize() * 2));
        QTRY_COMPARE(clock->size(), clock->sizeHint());
        const QSize second = clock->size();
        clock->setStyleSheet("QLabel { padding: 6px; }");
        QTRY_COMPARE(clock->size(), clock->sizeHint());
        QVERIFY(first != second && second != clock->size());
    }

    // The busy view's bar keeps moving while it shows, drawing a third of the frames the style asks for,
    // and its animation ends with the view: nothing wakes the panel 60 times a second once it is idle.
    void busyBarDrawsAThirdOfItsFrames() {
        Panel panel;
        QVERIFY(panel.open(down));
        QVERIFY(QTest::qWaitForWindowExposed(panel.window.get()));
        Watch watch;
        panel.widget("busyIndicator")->installEventFilter(&watch);
        panel.screen()->showProgress("Starting Service..");
        QTRY_VERIFY(watch.frames > 0);
        watch.paints = watch.frames = 0;
        QTRY_VERIFY(watch.paints >= 6);
        QVERIFY2(watch.paints <= watch.frames / 3 + 2,
                 qPrintable(QString("%1 paints, %2 frames").arg(watch.paints).arg(watch.frames)));
        panel.answer(down);
        QTRY_COMPARE(panel.view(), View::Stopped);
        QTest::qWait(200);
        const int frames = watch.frames;
        QTest::qWait(100);
        QCOMPARE(watch.frames, frames);
    }

    // The window's pictures are the menu entry's scalable icon as Qt draws it, at every size the window
    // icon has: an edited icon that was not drawn again fails here. The window above, its menu bar's
    // overflow arrow (Fusion's own pictures) among it, loaded no image format plugin.
    void windowIconIsTheMenuIcon() {
        QFile maps("/proc/self/maps");
        QVERIFY(maps.open(QIODevice::ReadOnly) && !maps.readAll().contains("/imageformats/"));
        const std::unique_ptr<QStyle> fusion(QStyleFactory::create("fusion"));
        for (const int size : {8, 16, 32})
            QCOMPARE(picture(qApp->style()->standardIcon(QStyle::SP_ToolBarHorizontalExtensionButton), size),
                     picture(fusion->standardIcon(QStyle::SP_ToolBarHorizontalExtensionButton), size));
        const QIcon scalable(QFINDTESTDATA("../resources/nodepanel.svg"));
        for (const int size : windowIconSizes) {
            QVERIFY2(!picture(scalable, size).isNull(), "the SVG icon engine draws the scalable icon");
            QCOMPARE(picture(QApplication::windowIcon(), size), picture(scalable, size));
        }
        QCOMPARE(QApplication::windowIcon().availableSizes(),
                 (QList<QSize>{{16, 16}, {32, 32}, {64, 64}, {128, 128}}));
        // So are the status icon's, at the sizes a status area asks for.
        for (const char* state : {"busy", "running", "stopped"})
            for (const int size : {16, 22})
                QCOMPARE(picture(QIcon(QString(":/icons/status-%1-%2.bmp").arg(state).arg(size)), size),
                         picture(QIcon(QString(":/icons/status-%1.svg").arg(state)), size));
    }
};

QTEST_MAIN(IdleTest)
#include "tst_idle.moc"
