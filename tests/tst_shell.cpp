// The application shell on the real offscreen window: the questions, the quit gate, the session's log-out,
// unusable settings, and the built panel's command line.
#include "app/application.h"
#include "host/utils.h"

#include "testsupport.h"

#include <QLocalServer>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <thread>

using namespace std::chrono_literals;

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

// How the panel is asked to end: the window's close button, the menu's Close Window or Quit, a quit request
// (as the exit question makes), Qt's own quit(), a log-out that lets the panel ask or one that does not.
enum class Way { closeWindow, menuClose, menuQuit, quit, qtQuit, logOut, logOutWithoutQuestions };

// One way in one state: the question it asks, answered YES or else with Return (NO, the default), and
// what follows.
struct Ending {
    ServiceState state;
    Way how;
    QString question = {};
    bool yes = false;
    QStringList commands = {};
    int quits = 0;
    bool logOutCancelled = false;
};

class TestShell : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Panel> panel;
    // The codes a question of the test's own handed to its caller.
    QList<int> answers;
    SessionEnd session;

    void ask(const QVariantList& titles) {
        Utils::showConfirmation("Title", "Text", panel->window.get(), titles,
                                [this](int code) { answers.append(code); });
    }

    void end(Way how) {
        if (how == Way::closeWindow)
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

private slots:
    // Desktops match the window to its menu entry by this id.
    void initTestCase() {
        prepareApplication();
        QCOMPARE(QGuiApplication::desktopFileName(), "org.nodepanel.NodePanel");
        QApplication::setStyle(new ButtonLayout);
    }

    void init() {
        panel.reset();
        panel = std::make_unique<Panel>();
        answers.clear();
        session = {};
    }

    // In each desktop's button layout the first button, the default, ends the row; only a button answers,
    // with 1000 + its index among the titles that are text. The title is the application's name, the icon
    // an information box's.
    void ordersTheButtons_data() {
        QTest::addColumn<int>("layout");
        QTest::newRow("GNOME") << int(QDialogButtonBox::GnomeLayout);
        QTest::newRow("KDE") << int(QDialogButtonBox::KdeLayout);
        QTest::newRow("plain") << int(QDialogButtonBox::WinLayout);
    }

    void ordersTheButtons() {
        QFETCH(int, layout);
        buttonLayout = layout;
        QVERIFY(panel->open(down));
        for (const bool pressNo : {true, false}) {
            ask({"YES", 7, "NO"});
            const QMessageBox* box = panel->sheet();
            QCOMPARE(std::pair(box->windowTitle(), box->windowModality()),
                     std::pair(QString("Node Panel"), Qt::WindowModal));
            QCOMPARE(box->defaultButton()->text(), "YES");
            // The icon of an information box, looked up once for all questions.
            QMessageBox information;
            information.setIcon(QMessageBox::Information);
            QCOMPARE(box->iconPixmap().toImage(), information.iconPixmap().toImage());
            for (const QAbstractButton* other : box->buttons())
                QVERIFY(other->x() <= box->defaultButton()->x());
            QVERIFY(pressNo ? panel->reply("NO") : panel->replyWithReturn());
        }
        QCOMPARE(answers, QList<int>({alertSecondButtonReturn, alertFirstButtonReturn}));
    }

    // Escape and the close button end each question without an answer: the caller gets the cancel code,
    // which no button has, and nothing happens.
    void endsAQuestionWithoutAnAnswer_data() {
        QTest::addColumn<ServiceState>("state");
        QTest::addColumn<bool>("start");       // Start asks for the agreement; else closing asks
        QTest::addColumn<bool>("closeButton"); // else Escape
        for (const bool closeButton : {false, true}) {
            const char* way = closeButton ? "close button" : "Escape";
            QTest::addRow("agreement, %s", way) << down << true << closeButton;
            QTest::addRow("stop, %s", way) << up << false << closeButton;
            QTest::addRow("exit, %s", way) << closed << false << closeButton;
        }
    }

    void endsAQuestionWithoutAnAnswer() {
        QFETCH(ServiceState, state);
        QFETCH(bool, start);
        QFETCH(bool, closeButton);
        QVERIFY(panel->open(state));
        start ? panel->click("startButton") : end(Way::closeWindow);
        QTRY_VERIFY(panel->sheet());
        ask({"YES", "NO"});
        for (QPointer<QMessageBox> box : panel->window->findChildren<QMessageBox*>()) {
            closeButton ? void(box->close()) : QTest::keyClick(box, Qt::Key_Escape);
            QTRY_VERIFY(!box);
        }
        QCOMPARE(answers, QList<int>{modalResponseCancel});
        QTest::qWait(20);
        QCOMPARE(panel->commands(), QStringList());
        QCOMPARE(panel->quits(), QList<int>());
    }

    // Closing never closes the window but asks: the stop question while the node runs, else the exit
    // question, whose YES goes through the quit gate. The gate lets a quit through at once unless the node
    // runs; then it asks the stop question, whose YES stops the node and quits nothing. A log-out is
    // cancelled while the node runs, and the stop question asked, where the session lets the panel ask;
    // otherwise the panel lets it go on.
    void asksBeforeItEnds_data() {
        QTest::addColumn<Ending>("row");
        const auto row = [](const char* name, const Ending& row) { QTest::newRow(name) << row; };
        const QStringList stop{"./manager.sh down"};
        row("running, close: YES stops", {up, Way::closeWindow, stopQuestion, true, stop});
        row("running, close: Return", {up, Way::closeWindow, stopQuestion});
        row("stopped, menu Close Window: YES quits", {down, Way::menuClose, exitQuestion, true, {}, 1});
        row("closed, close: Return", {closed, Way::closeWindow, exitQuestion});
        row("running, menu Quit: YES stops", {up, Way::menuQuit, stopQuestion, true, stop});
        row("closed, quit", {.state = closed, .how = Way::quit, .quits = 1});
        row("stopped, Qt's quit", {.state = down, .how = Way::qtQuit, .quits = 1});
        row("running, log-out",
            {.state = up, .how = Way::logOut, .question = stopQuestion, .logOutCancelled = true});
        row("stopped, log-out", {.state = down, .how = Way::logOut});
        row("running, log-out without questions", {.state = up, .how = Way::logOutWithoutQuestions});
    }

    void asksBeforeItEnds() {
        QFETCH(Ending, row);
        QVERIFY(panel->open(row.state));
        end(row.how);
        QTest::qWait(20);
        QCOMPARE(panel->question(), row.question);
        QVERIFY(row.question.isNull() || (row.yes ? panel->reply("YES") : panel->replyWithReturn()));
        QTest::qWait(20);
        QCOMPARE(panel->commands(), row.commands);
        QCOMPARE(panel->quits(), QList<int>(row.quits, 0));
        QCOMPARE(std::pair(session.cancelled, session.released),
                 std::pair(row.logOutCancelled, row.how == Way::logOut));
        QVERIFY(panel->window->isVisible());
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
        QCOMPARE(panel->quits(), QList<int>());
        QCOMPARE(panel->logged(), QStringList({"recv notification exit", "window close",
                                               "recv notification exit", "recv notification exit"}));
    }

    // Settings that are no regular file are never opened nor written: the window runs on the defaults and
    // says once where its settings are, and keeps one identifier. Whoever opens the FIFO to read it is
    // caught, and let go rather than left waiting for good.
    void outlivesUnusableSettings_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("files"); // the folder afterwards, each name with its kind
        QTest::newRow("a FIFO") << "fifo" << QStringList{"fifo fifo"};
        QTest::newRow("a link to a FIFO") << "link" << QStringList{"fifo fifo", "nodepanel.conf link"};
        QTest::newRow("a folder") << "folder" << QStringList{"fifo fifo", "nodepanel.conf folder"};
    }

    void outlivesUnusableSettings() {
        QFETCH(QString, kind);
        QFETCH(QStringList, files);
        QTemporaryDir temp;
        const QString fifo = temp.filePath("fifo"), other = temp.filePath("nodepanel.conf");
        QVERIFY(::mkfifo(QFile::encodeName(fifo), 0600) == 0);
        QVERIFY(kind == "fifo" || (kind == "link" ? QFile::link(fifo, other) : QDir().mkdir(other)));
        const QString path = kind == "fifo" ? fifo : other;
        std::atomic<bool> opened = false, done = false;
        std::thread watch([&] {
            for (; !done; std::this_thread::sleep_for(10ms)) {
                const int reader = ::open(QFile::encodeName(fifo), O_WRONLY | O_NONBLOCK);
                opened = opened || reader >= 0;
                ::close(reader);
            }
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
        QStringList found;
        for (const QFileInfo& file :
             QDir(temp.path()).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System))
            found.append(file.fileName() + (file.isSymLink() ? " link"
                                            : file.isDir()   ? " folder"
                                            : file.isFile()  ? " file"
                                                             : " fifo"));
        QCOMPARE(found, files);
    }

    // The built panel's command line: Qt's options are Qt's, "--" ends the options, and any other
    // argument is refused with its control characters escaped; a version that cannot be written fails. A
    // session bus that accepts and never speaks holds up no window, and is named once. A panel that starts
    // is ended by a signal once its window is up.
    void launches_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("errors"); // all of standard error, where the panel does not start
        QTest::newRow("Qt's options")
            << QStringList{"-session", "1a2b", "-platform", "offscreen", "--"} << 0 << QString();
        QTest::newRow("after --, escaped")
            << QStringList{"--", QString("--version\x1b]0;x\x07") + QChar(0x9b)} << 2
            << "nodepanel: Unexpected argument '--version\\x1B]0;x\\x07\\x9B'.\nTry 'nodepanel --help' for "
               "more information.\n";
        QTest::newRow("a full disk")
            << QStringList{"--version"} << 1
            << "nodepanel: Cannot write to standard output: No space left on device\n";
    }

    void launches() {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, errors);
        QTemporaryDir temp;
        QLocalServer bus;
        QVERIFY(bus.listen(temp.filePath("bus")));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LC_ALL", "C.UTF-8");
        environment.insert("XDG_CONFIG_HOME", temp.path());
        environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + bus.fullServerName());
        // Only the option can give the panel its platform: without a display the default one would end it.
        environment.remove("DISPLAY");
        environment.insert("QT_QPA_PLATFORM", "xcb");
        QProcess panel;
        panel.setProcessEnvironment(environment);
        panel.setStandardOutputFile(status == 1 ? "/dev/full" : QProcess::nullDevice());
        panel.start(NODEPANEL_EXECUTABLE, arguments);
        QByteArray said;
        if (status == 0) {
            QTRY_VERIFY_WITH_TIMEOUT((said += panel.readAllStandardError()).contains("window load"), 10000);
            // Nothing holds on to a silent bus, so nothing in the panel waits on it: every call has hung up.
            QList<QLocalSocket*> calls;
            const auto hungUp = [&bus, &calls] {
                while (bus.hasPendingConnections())
                    calls.append(bus.nextPendingConnection());
                return std::ranges::all_of(calls, [](const QLocalSocket* call) {
                    return call->state() == QLocalSocket::UnconnectedState;
                });
            };
            QTRY_VERIFY(hungUp());
            QVERIFY(!calls.isEmpty());
            ::kill(panel.processId(), SIGTERM);
        }
        QVERIFY(panel.waitForFinished(10000));
        said += panel.readAllStandardError();
        QCOMPARE(std::pair(panel.exitStatus(), panel.exitCode()), std::pair(QProcess::NormalExit, status));
        QVERIFY2(errors.isNull() || said == errors.toUtf8(), said.constData());
        QCOMPARE(said.count("The session bus does not answer: this panel runs on its own."), status ? 0 : 1);
    }
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
