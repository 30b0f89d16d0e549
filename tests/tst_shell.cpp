// The application shell on the real offscreen window: the questions, the quit gate, the session's log-out,
// and unusable settings.

#include "testsupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <thread>

using namespace std::chrono_literals;

const QString stopQuestion = "Do you want to exit?/The service is running, stop it now?";
const QString exitQuestion = "Confirmation/Do you want to exit the app?";
const QString agreementQuestion = "Confirmation/Do you agree to the Terms of Service and Privacy Policy?";

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

// What the user does: Start, or ask the panel to end by the window's close button, the menu's Close Window
// or Quit, a quit request (as the exit question makes), Qt's own quit(), a log-out that lets the panel ask
// or one that does not.
enum class Way { start, closeWindow, menuClose, menuQuit, quit, qtQuit, logOut, logOutWithoutQuestions };
// How a question is answered: Return (the default button), a button, or without an answer.
enum class Reply { returnKey, yes, no, escape, closeButton };

// One way in one state: the question it asks, how it is answered, and what follows.
struct Ending {
    ServiceState state;
    Way how;
    QString question = {};
    Reply reply = Reply::returnKey;
    QStringList commands = {};
    int quits = 0;
    bool logOutCancelled = false;
};

class TestShell : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Panel> panel;
    SessionEnd session;

    void end(Way how) {
        if (how == Way::start)
            panel->click("startButton");
        else if (how == Way::closeWindow)
            QVERIFY(!panel->window->close());
        else if (how == Way::menuClose || how == Way::menuQuit)
            panel->trigger(how == Way::menuClose ? "actionCloseWindow" : "actionQuit");
        else if (how == Way::quit)
            requestTermination();
        else if (how == Way::qtQuit) {
            QTimer::singleShot(2000, panel->window.get(), [] { QCoreApplication::exit(7); });
            QTimer::singleShot(0, [] { QCoreApplication::quit(); });
            QCOMPARE(QCoreApplication::exec(), 7);
        } else {
            session.interaction = how == Way::logOut;
            panel->delegate.commitData(session);
        }
    }

    // Answers the newest question and waits for it to go.
    bool respond(Reply reply) {
        const QPointer<QMessageBox> box = panel->sheet();
        if (reply == Reply::escape)
            QTest::keyClick(box, Qt::Key_Escape);
        else if (reply == Reply::closeButton)
            box->close();
        else
            return panel->reply(reply == Reply::yes ? "YES" : reply == Reply::no ? "NO" : QString());
        return QTest::qWaitFor([&box] { return !box; });
    }

private slots:
    // Desktops match the window to its menu entry by this id.
    void initTestCase() {
        prepareApplication();
        QCOMPARE(QGuiApplication::desktopFileName(), "org.nodepanel.NodePanel");
        QApplication::setStyle(new ButtonLayout);
    }

    void init() {
        panel.reset(), panel = std::make_unique<Panel>();
        session = {};
    }

    // In each desktop's button layout (GNOME's, KDE's, the plain one) the first button, the default, ends
    // the row; only a button answers, with 1000 + its index among the titles that are text; Escape and the
    // close button end the question without an answer: the caller gets the cancel code, which no button
    // has. The title is the application's name, the icon an information box's.
    void ordersTheButtons() {
        QVERIFY(panel->open(down));
        for (const auto& [layout, desktop] : {std::pair(QDialogButtonBox::GnomeLayout, "GNOME"),
                                              {QDialogButtonBox::KdeLayout, "KDE"},
                                              {QDialogButtonBox::WinLayout, "plain"}}) {
            buttonLayout = layout;
            QList<int> answers;
            for (const Reply reply : {Reply::no, Reply::returnKey, Reply::escape, Reply::closeButton}) {
                Utils::showConfirmation("Title", "Text", panel->window.get(), {"YES", 7, "NO"},
                                        [&answers](int code) { answers.append(code); });
                const QMessageBox* box = panel->sheet();
                const QAbstractButton* first = box->defaultButton();
                QCOMPARE(std::tuple(box->windowTitle(), box->windowModality(), first->text()),
                         std::tuple(QString("Node Panel"), Qt::WindowModal, QString("YES")));
                QCOMPARE(box->iconPixmap().toImage(),
                         QMessageBox(QMessageBox::Information, {}, {}).iconPixmap().toImage());
                for (const QAbstractButton* other : box->buttons())
                    QVERIFY2(other->x() <= first->x(), desktop);
                QVERIFY(respond(reply));
            }
            QCOMPARE(answers, QList<int>({alertSecondButtonReturn, alertFirstButtonReturn,
                                          modalResponseCancel, modalResponseCancel}));
        }
    }

    // Closing never closes the window but asks: the stop question while the node runs, else the exit
    // question, whose YES goes through the quit gate. The gate lets a quit through at once unless the node
    // runs; then it asks the stop question, whose YES stops the node and quits nothing. A log-out is
    // cancelled while the node runs, and the stop question asked, where the session lets the panel ask;
    // otherwise the panel lets it go on. Escape and the close button end each question, the agreement's
    // too, and nothing happens.
    void asksBeforeItEnds_data() {
        QTest::addColumn<Ending>("row");
        const auto row = [](const char* name, const Ending& row) { QTest::newRow(name) << row; };
        const QStringList stop{"./manager.sh down"};
        row("running, close: YES stops", {up, Way::closeWindow, stopQuestion, Reply::yes, stop});
        row("running, close: Return", {up, Way::closeWindow, stopQuestion});
        row("stopped, menu Close Window: YES quits", {down, Way::menuClose, exitQuestion, Reply::yes, {}, 1});
        row("closed, close: Return", {closed, Way::closeWindow, exitQuestion});
        row("running, menu Quit: YES stops", {up, Way::menuQuit, stopQuestion, Reply::yes, stop});
        row("closed, quit", {.state = closed, .how = Way::quit, .quits = 1});
        row("stopped, Qt's quit", {.state = down, .how = Way::qtQuit, .quits = 1});
        row("running, log-out",
            {.state = up, .how = Way::logOut, .question = stopQuestion, .logOutCancelled = true});
        row("stopped, log-out", {.state = down, .how = Way::logOut});
        row("running, log-out without questions", {.state = up, .how = Way::logOutWithoutQuestions});
        for (const auto& [reply, way] :
             {std::pair(Reply::escape, "Escape"), {Reply::closeButton, "close button"}}) {
            QTest::addRow("agreement, %s", way) << Ending{down, Way::start, agreementQuestion, reply};
            QTest::addRow("stop, %s", way) << Ending{up, Way::closeWindow, stopQuestion, reply};
            QTest::addRow("exit, %s", way) << Ending{closed, Way::closeWindow, exitQuestion, reply};
        }
    }

    void asksBeforeItEnds() {
        QFETCH(Ending, row);
        QVERIFY(panel->open(row.state));
        end(row.how);
        QTest::qWait(20);
        QCOMPARE(panel->question(), row.question);
        QVERIFY(row.question.isNull() || respond(row.reply));
        QTest::qWait(20);
        QCOMPARE(panel->commands(), row.commands);
        QCOMPARE(panel->quits(), QList<int>(row.quits, 0));
        QCOMPARE(std::tuple(session.cancelled, session.released, panel->window->isVisible()),
                 std::tuple(row.logOutCancelled, row.how == Way::logOut, true));
    }

    // Each quit while the node runs asks again. A question reads the state of its moment: none once the
    // node stopped before it showed; the exit question's YES meets the gate, which asks to stop a node
    // that came up meanwhile.
    void asksAboutTheStateOfItsMoment() {
        QVERIFY(panel->open(up));
        end(Way::quit);
        panel->answer(down);
        QTest::qWait(20);
        QCOMPARE(panel->question(), QString());
        end(Way::closeWindow);
        panel->answer(up);
        QVERIFY(panel->reply("YES"));
        QTRY_COMPARE(panel->question(), stopQuestion);
        end(Way::quit);
        QTRY_COMPARE(panel->window->findChildren<QMessageBox*>().size(), 2);
        QCOMPARE(panel->logged(), QStringList({"recv notification exit", "window close",
                                               "recv notification exit", "recv notification exit"}));
    }

    // Settings that are no regular file are never opened nor written: the window runs on the defaults and
    // says once where its settings are, and keeps one identifier. Whoever opens the FIFO to read it is
    // caught, and let go rather than left waiting for good.
    void outlivesUnusableSettings_data() {
        // Of the settings: the FIFO itself, or a link to it or a folder beside it.
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"fifo", "link", "folder"})
            QTest::newRow(kind) << QString(kind);
    }

    void outlivesUnusableSettings() {
        QFETCH(QString, kind);
        QTemporaryDir temp;
        const QString fifo = temp.filePath("fifo"), other = temp.filePath("nodepanel.conf");
        QVERIFY(::mkfifo(QFile::encodeName(fifo), 0600) == 0);
        QVERIFY(kind == "fifo" || (kind == "link" ? QFile::link(fifo, other) : QDir().mkdir(other)));
        const QString path = kind == "fifo" ? fifo : other;
        std::atomic<bool> opened = false, done = false;
        std::thread watch([&] {
            for (; !done; std::this_thread::sleep_for(10ms))
                if (const int reader = ::open(QFile::encodeName(fifo), O_WRONLY | O_NONBLOCK); reader >= 0)
                    opened = true, ::close(reader);
        });
        Capture log;
        panel->config.settingsPath = path;
        QVERIFY(panel->open(down));
        panel->click("agreeButton");
        const QString identifier = Utils::deviceUUID(panel->config);
        done = true;
        watch.join();
        QVERIFY(!opened);
        // The identifier lives in memory: every upload of the run sends the same one.
        QVERIFY(!identifier.isEmpty() && Utils::deviceUUID(panel->config) == identifier);
        QCOMPARE(log.lines().filter("settings"),
                 QStringList{"The settings cannot be read or saved: " + path +
                             " is not a regular file. The panel runs with its defaults."});
        // The folder afterwards: nothing beside them, and each still of its kind.
        QCOMPARE(QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 QStringList{"fifo"} + (kind == "fifo" ? QStringList() : QStringList{"nodepanel.conf"}));
        QCOMPARE(std::tuple(QFileInfo(fifo).isFile(), QFileInfo(other).isSymLink(), QFileInfo(other).isDir()),
                 std::tuple(false, kind == "link", kind == "folder"));
    }
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
