// The application shell on the real offscreen window: the confirmation sheet, the quit gate, and the
// window's close and quit questions.
#include "app/appdelegate.h"
#include "app/application.h"
#include "host/utils.h"
#include "platform/output.h"

#include "testsupport.h"

namespace {

const QString stopQuestion = "Do you want to exit?/The service is running, stop it now?";
const QString exitQuestion = "Confirmation/Do you want to exit the app?";

// The panel as main() runs it, with a start that never comes back from its administrator prompt; once the
// start has begun it prints its application id and asks to quit.
int quitDuringStart(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QSettings("nodepanel", "nodepanel").setValue("agree", true);
    HostConfig config;
    auto entered = std::make_shared<QSemaphore>();
    config.scriptRunner = [entered](const QString&) {
        entered->release();
        QSemaphore().acquire();
        return std::optional<ScriptFailure>();
    };
    exitProcessNow(runPanel(config, [entered](WindowController& window) {
        window.findChild<QPushButton*>("startButton")->click();
        entered->acquire();
        // Desktops match the window to its menu entry by this id, and show the entry's icon for it.
        writeStdoutLine(QGuiApplication::desktopFileName().toUtf8() +
                        (window.windowIcon().isNull() ? "" : " icon"));
        writeStdoutLine(QGuiApplication::applicationDisplayName().toUtf8());
        requestTermination();
    }));
}

// The desktop's order of dialog buttons, which the platform theme gives through the style.
int buttonLayout = QDialogButtonBox::WinLayout;
struct ButtonLayout : QProxyStyle {
    int styleHint(StyleHint h, const QStyleOption* o, const QWidget* w, QStyleHintReturn* r) const override {
        return h == SH_DialogButtonLayout ? buttonLayout : QProxyStyle::styleHint(h, o, w, r);
    }
};

} // namespace

// Close (else quit), the node's state, the question asked (empty: none), the answer, and whether the node
// is stopped and the loop ended then.
using RequestRow = std::tuple<bool, int, QString, QString, bool, bool>;

class TestShell : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Panel> panel;
    std::unique_ptr<AppDelegate> delegate;
    QList<int> loopEnds;

    // The panel as it runs, against a node that reports state; the gate's end of the loop is noted.
    void launch(int state) {
        setCurrentServiceState(ServiceState::deviceStateDown);
        loopEnds.clear();
        panel = std::make_unique<Panel>();
        delegate = std::make_unique<AppDelegate>();
        delegate->endEventLoop = [this](int status) { loopEnds.append(status); };
        panel->open(state);
    }

private slots:
    // The first button, the default, stands rightmost in the GNOME, KDE and plain button layouts; only a
    // button answers, with 1000 + its index. The title is the application's name.
    void asksWithTheButtonsInOrder() {
        launch(0);
        QApplication::setStyle(new ButtonLayout);
        for (const int layout :
             {QDialogButtonBox::GnomeLayout, QDialogButtonBox::KdeLayout, QDialogButtonBox::WinLayout})
            for (const auto& [titles, press, code] : {std::tuple(QVariantList{"NO", "YES"}, "YES", 1001),
                                                      std::tuple(QVariantList{"NO", "YES"}, "Return", 1000),
                                                      std::tuple(QVariantList{"YES", "NO"}, "YES", 1000),
                                                      std::tuple(QVariantList{"A", 7, "B"}, "B", 1001)}) {
                buttonLayout = layout;
                QList<int> answers;
                Utils::showConfirmation("Title", "Text", panel->window.get(), titles,
                                        [&answers](int code) { answers.append(code); });
                QMessageBox* box = panel->sheet();
                QCOMPARE(box->windowTitle() + panel->asked() + QString::number(answers.size()),
                         QGuiApplication::applicationDisplayName() + "Title/Text0");
                QCOMPARE(box->icon() + box->windowModality() * 10 + box->buttons().size() * 100,
                         QMessageBox::Information + 210);
                QCOMPARE(box->defaultButton()->text(), titles.first().toString());
                for (const QAbstractButton* other : box->buttons())
                    QVERIFY(other->x() <= box->defaultButton()->x());
                QTest::keyClick(box, Qt::Key_Escape);
                QVERIFY(!box->close() && box->isVisible());
                panel->answer(press);
                QCOMPARE(answers, QList<int>{code});
            }
    }

    // Closing never closes the window: it asks. Quitting is refused while the node runs, after "exit" has
    // been posted; the stop question comes only after the refusal, the exit question at once.
    void decidesEachRequest_data() {
        QTest::addColumn<RequestRow>("row");
        // clang-format off
        QTest::newRow("close, running: YES stops") << RequestRow{true, 1, stopQuestion, "YES", true, false};
        QTest::newRow("close, running: Return is NO") << RequestRow{true, 1, stopQuestion, "Return", false, false};
        QTest::newRow("close, stopped: YES quits") << RequestRow{true, 0, exitQuestion, "YES", false, true};
        QTest::newRow("close, closed: YES quits") << RequestRow{true, 2, exitQuestion, "YES", false, true};
        QTest::newRow("close, stopped: Return is NO") << RequestRow{true, 0, exitQuestion, "Return", false, false};
        QTest::newRow("quit, running: YES stops") << RequestRow{false, 1, stopQuestion, "YES", true, false};
        QTest::newRow("quit, stopped") << RequestRow{false, 0, {}, {}, false, true};
        QTest::newRow("quit, closed") << RequestRow{false, 2, {}, {}, false, true};
        // clang-format on
    }

    void decidesEachRequest() {
        QFETCH(RequestRow, row);
        const auto& [close, state, question, reply, stops, quits] = row;
        launch(state);
        LogCapture log;
        if (close)
            QVERIFY(!panel->window->close());
        else
            requestTermination();
        QCOMPARE(loopEnds.size(), int(!close && quits));
        QCOMPARE(log.lines().join(""), close ? "window close" : quits ? "" : "recv notification exit");
        QCOMPARE(panel->asked(), question == exitQuestion ? exitQuestion : QString());
        QTRY_COMPARE(panel->asked(), question);
        if (question.isEmpty())
            return;
        panel->answer(reply);
        QCOMPARE(loopEnds, quits ? QList<int>{0} : QList<int>{});
        QTRY_COMPARE(panel->commands(), stops ? QStringList{"./manager.sh down"} : QStringList());
        QCOMPARE(panel->text("statusLabel") == "Stopping Service..", stops);
        QVERIFY(panel->window->isVisible());
    }

    // Every quit while the node runs asks again, unless the node stopped before the question came; the
    // answers act on the state of their moment: YES to exit goes through the gate, which finds the node up;
    // YES to stop stops although the node stopped meanwhile. The menu's Quit and Close Window ask as the
    // window does, and Qt's own quit() goes through the gate too.
    void asksAgainAndActsOnTheStateThen() {
        launch(1);
        const auto trigger = [this](const char* action) {
            panel->window->findChild<QAction*>(action)->trigger();
        };
        trigger("actionQuit");
        trigger("actionQuit");
        QTRY_COMPARE(panel->window->findChildren<QMessageBox*>().size(), 2);
        panel->answer("NO");
        panel->answer("NO");
        trigger("actionQuit");
        trigger("actionCloseWindow");
        setCurrentServiceState(ServiceState::deviceStateDown);
        QTest::qWait(50);
        QVERIFY(!panel->sheet());
        trigger("actionCloseWindow");
        setCurrentServiceState(ServiceState::deviceStateUp);
        panel->answer("YES");
        QTRY_COMPARE(panel->asked(), stopQuestion);
        setCurrentServiceState(ServiceState::deviceStateDown);
        panel->node.setReply(200, stateReply(0));
        panel->answer("YES");
        QTRY_COMPARE(panel->commands(), QStringList{"./manager.sh down"});
        QVERIFY(loopEnds.isEmpty());
        trigger("actionQuit");
        QCOMPARE(loopEnds, QList<int>{0});
        delegate->endEventLoop = QCoreApplication::exit;
        QTimer fallback;
        connect(&fallback, &QTimer::timeout, [] { QCoreApplication::exit(7); });
        fallback.start(2000);
        QTimer::singleShot(0, [] { QCoreApplication::quit(); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(!panel->sheet());
    }

    // The panel ends without waiting for a start that sits at the administrator prompt.
    void quitsWhileAStartWaits() {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {"--quit-during-start"});
        QVERIFY(child.waitForFinished(20000) && child.exitStatus() == QProcess::NormalExit &&
                child.exitCode() == 0);
        QVERIFY(child.readAllStandardOutput().endsWith("\norg.nodepanel.NodePanel icon\nNode Panel\n"));
    }

    // In German the window, its questions and Qt's own standard buttons speak German. Last: the German
    // stays installed.
    void speaksGerman() {
        installTranslations(QLocale(QLocale::German, QLocale::Austria));
        launch(0);
        panel->window->close();
        const QMessageBox standard(QMessageBox::Question, {}, {}, QMessageBox::Cancel);
        QCOMPARE(QStringList({panel->asked(), panel->text("statusLabel"),
                              panel->widget<QPushButton>("ppButton")->text(), standard.buttons()[0]->text()}),
                 QStringList({"Bestätigung/Möchten Sie die App beenden?", "Dienststatus wird geprüft..",
                              "Datenschutz&erklärung", "Abbrechen"}));
    }
};

int main(int argc, char* argv[]) {
    if (argc > 1 && qstrcmp(argv[1], "--quit-during-start") == 0)
        return quitDuringStart(argc, argv);
    QApplication app(argc, argv);
    TestShell test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_shell.moc"
