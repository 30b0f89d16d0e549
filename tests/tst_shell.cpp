// The application shell on the real offscreen window: the confirmation sheet, the quit gate, the window's
// close and quit questions, and the session's log-out.
#include "app/application.h"
#include "host/utils.h"

#include "testsupport.h"

const QString stopQuestion = "Do you want to exit?/The service is running, stop it now?";
const QString exitQuestion = "Confirmation/Do you want to exit the app?";

// The desktop's order of dialog buttons, which the platform theme gives through the style.
int buttonLayout = QDialogButtonBox::WinLayout;
struct ButtonLayout : QProxyStyle {
    int styleHint(StyleHint h, const QStyleOption* o, const QWidget* w, QStyleHintReturn* r) const override {
        return h == SH_DialogButtonLayout ? buttonLayout : QProxyStyle::styleHint(h, o, w, r);
    }
};

// What a log-out asks of the panel, where no session manager runs.
struct SessionEnd {
    bool interaction = true, cancelled = false, released = false;
    bool allowsInteraction() const { return interaction; }
    void cancel() { cancelled = true; }
    void release() { released = true; }
};

class TestShell : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Panel> panel;

private slots:
    // What desktops know the panel by: the id of its menu entry and the icon compiled in (its name: the
    // sheets).
    void initTestCase() {
        prepareApplication();
        QCOMPARE(QGuiApplication::desktopFileName(), "org.nodepanel.NodePanel");
        QVERIFY(!QApplication::windowIcon().isNull());
    }

    void init() {
        panel.reset();
        panel = std::make_unique<Panel>();
    }

    // The first button, the default, stands rightmost in the GNOME, KDE and plain button layouts; only a
    // button answers, with 1000 + its index. The title is the application's name.
    void asksWithTheButtonsInOrder() {
        QVERIFY(panel->open(down));
        QApplication::setStyle(new ButtonLayout);
        for (const int layout :
             {QDialogButtonBox::GnomeLayout, QDialogButtonBox::KdeLayout, QDialogButtonBox::WinLayout})
            for (const auto& [titles, press, code] : {std::tuple(QVariantList{"NO", "YES"}, "YES", 1001),
                                                      std::tuple(QVariantList{"NO", "YES"}, "", 1000),
                                                      std::tuple(QVariantList{"YES", "NO"}, "YES", 1000),
                                                      std::tuple(QVariantList{"A", 7, "B"}, "B", 1001)}) {
                buttonLayout = layout;
                QList<int> answers;
                Utils::showConfirmation("Title", "Text", panel->window.get(), titles,
                                        [&answers](int code) { answers.append(code); });
                QMessageBox* box = panel->sheet();
                QCOMPARE(box->windowTitle(), "Node Panel");
                QCOMPARE(box->icon(), QMessageBox::Information);
                QCOMPARE(box->windowModality(), Qt::WindowModal);
                QCOMPARE(box->buttons().size(), 2);
                QCOMPARE(box->defaultButton()->text(), titles.first().toString());
                for (const QAbstractButton* other : box->buttons())
                    QVERIFY(other->x() <= box->defaultButton()->x());
                QTest::keyClick(box, Qt::Key_Escape);
                QVERIFY(!box->close());
                QVERIFY(box->isVisible());
                QVERIFY(answers.isEmpty());
                QCOMPARE(panel->question(), "Title/Text");
                QVERIFY(*press ? panel->reply(press) : panel->replyWithReturn());
                QCOMPARE(answers, QList<int>{code});
            }
    }

    // Closing never closes the window: it asks, the stop question while the node runs, else the exit
    // question. YES to exit goes through the gate; YES to stop stops, and quits nothing. Return is NO.
    void asksOnClose_data() {
        QTest::addColumn<ServiceState>("state");
        QTest::addColumn<bool>("yes");
        QTest::addColumn<QString>("question");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<int>("quits");
        QTest::newRow("running: YES stops")
            << up << true << stopQuestion << QStringList{"./manager.sh down"} << 0;
        QTest::newRow("running: Return") << up << false << stopQuestion << QStringList() << 0;
        QTest::newRow("stopped: YES quits") << down << true << exitQuestion << QStringList() << 1;
        QTest::newRow("closed: Return") << closed << false << exitQuestion << QStringList() << 0;
    }

    void asksOnClose() {
        QFETCH(ServiceState, state);
        QFETCH(bool, yes);
        QFETCH(QString, question);
        QFETCH(QStringList, commands);
        QFETCH(int, quits);
        QVERIFY(panel->open(state));
        QVERIFY(!panel->window->close());
        QCOMPARE(panel->logged(), QStringList{"window close"});
        QTRY_COMPARE(panel->question(), question);
        QVERIFY(yes ? panel->reply("YES") : panel->replyWithReturn());
        QTest::qWait(20);
        QCOMPARE(panel->commands(), commands);
        QCOMPARE(panel->quits(), QList<int>(quits, 0));
        QVERIFY(panel->window->isVisible());
    }

    // Quitting is refused while the node runs, after "exit" is posted, and asks afterwards, each time;
    // otherwise it goes through at once.
    void asksOnQuit_data() {
        QTest::addColumn<ServiceState>("state");
        QTest::addColumn<int>("quits");
        QTest::addColumn<QString>("question");
        QTest::newRow("running") << up << 0 << stopQuestion;
        QTest::newRow("stopped") << down << 1 << QString();
        QTest::newRow("closed") << closed << 1 << QString();
    }

    void asksOnQuit() {
        QFETCH(ServiceState, state);
        QFETCH(int, quits);
        QFETCH(QString, question);
        QVERIFY(panel->open(state));
        requestTermination();
        QCOMPARE(panel->quits(), QList<int>(quits, 0));
        QCOMPARE(panel->question(), QString()); // queued: the gate is still answering
        requestTermination();
        QCOMPARE(panel->logged(), QStringList(2 - quits * 2, "recv notification exit"));
        QTest::qWait(20);
        QCOMPARE(panel->question(), question);
        QVERIFY(state != up || panel->reply("NO"));
        QCOMPARE(panel->question(), question);
        QVERIFY(state != up || panel->reply("YES"));
        QTRY_COMPARE(panel->commands(), QStringList(1 - quits, "./manager.sh down"));
        QCOMPARE(panel->quits(), QList<int>(quits * 2, 0));
    }

    // The question reads the state of its moment: none once the node stopped before it, the stop question
    // once it came up while the exit question stood.
    void asksAboutTheStateOfItsMoment() {
        QVERIFY(panel->open(up));
        requestTermination();
        QVERIFY(!panel->window->close());
        panel->answer(down);
        QTest::qWait(20);
        QCOMPARE(panel->question(), QString());
        QVERIFY(!panel->window->close());
        QCOMPARE(panel->question(), exitQuestion);
        panel->answer(up);
        QVERIFY(panel->reply("YES"));
        QCOMPARE(panel->quits(), QList<int>());
        QTRY_COMPARE(panel->question(), stopQuestion);
    }

    // The menu's Close Window and Quit ask as the window does.
    void asksFromTheMenu() {
        QVERIFY(panel->open(down));
        panel->trigger("actionCloseWindow");
        QCOMPARE(panel->question(), exitQuestion);
        QVERIFY(panel->reply("NO"));
        panel->trigger("actionQuit");
        QCOMPARE(panel->quits(), QList<int>{0});
    }

    // A log-out is cancelled while the node runs, and the stop question asked, where the session lets the
    // panel ask; otherwise the panel lets it go on.
    void decidesALogOut_data() {
        QTest::addColumn<ServiceState>("state");
        QTest::addColumn<bool>("interaction");
        QTest::addColumn<bool>("cancelled");
        QTest::addColumn<QString>("question");
        QTest::newRow("running") << up << true << true << stopQuestion;
        QTest::newRow("stopped") << down << true << false << QString();
        QTest::newRow("running, no questions allowed") << up << false << false << QString();
    }

    void decidesALogOut() {
        QFETCH(ServiceState, state);
        QFETCH(bool, interaction);
        QFETCH(bool, cancelled);
        QFETCH(QString, question);
        QVERIFY(panel->open(state));
        SessionEnd end{interaction};
        panel->delegate.commitData(end);
        QCOMPARE(end.cancelled, cancelled);
        QCOMPARE(end.released, interaction);
        QTest::qWait(20);
        QCOMPARE(panel->question(), question);
        QCOMPARE(panel->quits(), QList<int>());
    }

    // Qt's own quit() goes through the gate too.
    void takesQtsQuitToTheGate() {
        QVERIFY(panel->open(down));
        QTimer fallback;
        connect(&fallback, &QTimer::timeout, [] { QCoreApplication::exit(7); });
        fallback.start(2000);
        QTimer::singleShot(0, [] { QCoreApplication::quit(); });
        QCOMPARE(QCoreApplication::exec(), 7);
        QCOMPARE(panel->quits(), QList<int>{0});
        QCOMPARE(panel->question(), QString());
    }

    // In German the window and its questions speak German (Qt's own words: see the command line's test).
    // Last: the German stays installed.
    void speaksGerman() {
        installTranslations(QLocale(QLocale::German, QLocale::Austria));
        QVERIFY(panel->open(down));
        QVERIFY(!panel->window->close());
        QCOMPARE(panel->question(), "Bestätigung/Möchten Sie die App beenden?");
        QCOMPARE(panel->text("statusLabel"), "Dienststatus wird geprüft..");
        QCOMPARE(panel->text("ppButton"), "Datenschutz&erklärung");
    }
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
