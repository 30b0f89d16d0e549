// The application shell on the real offscreen window: the confirmation sheet, the quit gate, the window's
// close and quit questions, and the session's log-out.
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
                QCOMPARE(panel->question(), "Title/Text");
                QVERIFY(*press ? panel->reply(press) : panel->replyWithReturn());
                QCOMPARE(answers, QList<int>{code});
            }
    }

    // Escape and the question's close button end it without an answer: the caller gets the cancel code,
    // which no button has, and nothing happens.
    void endsAQuestionWithoutAnAnswer_data() {
        QTest::addColumn<ServiceState>("state");
        QTest::addColumn<bool>("start");       // Start asks for the agreement; else the window's close asks
        QTest::addColumn<bool>("closeButton"); // else Escape
        QTest::newRow("agreement, Escape") << down << true << false;
        QTest::newRow("stop, Escape") << up << false << false;
        QTest::newRow("exit, Escape") << down << false << false;
        QTest::newRow("exit, close button") << closed << false << true;
    }

    void endsAQuestionWithoutAnAnswer() {
        QFETCH(ServiceState, state);
        QFETCH(bool, start);
        QFETCH(bool, closeButton);
        QVERIFY(panel->open(state));
        const View view = panel->view();
        start ? panel->click("startButton") : void(panel->window->close());
        QTRY_VERIFY(panel->sheet());
        QList<int> answers;
        Utils::showConfirmation("Title", "Text", panel->window.get(), {"YES", "NO"},
                                [&answers](int code) { answers.append(code); });
        for (QPointer<QMessageBox> box : panel->window->findChildren<QMessageBox*>()) {
            closeButton ? void(box->close()) : QTest::keyClick(box, Qt::Key_Escape);
            QTRY_VERIFY(!box);
        }
        QCOMPARE(answers, QList<int>{modalResponseCancel});
        QTest::qWait(20);
        QCOMPARE(panel->view(), view);
        QVERIFY(!panel->agreementGiven());
        QCOMPARE(panel->commands(), QStringList());
        QCOMPARE(panel->quits(), QList<int>());
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

    // Settings that are no regular file are never opened nor written: the window answers on the defaults,
    // says once where its settings are, and keeps one identifier. Whoever opens the FIFO to read it is
    // caught, and let go rather than left waiting for good.
    void outlivesUnusableSettings_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("a FIFO") << "fifo";
        QTest::newRow("a link to a FIFO") << "link";
        QTest::newRow("a folder") << "folder";
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
            while (!done) {
                const int reader = ::open(QFile::encodeName(fifo), O_WRONLY | O_NONBLOCK);
                opened = opened || reader >= 0;
                ::close(reader);
                std::this_thread::sleep_for(10ms);
            }
        });
        Capture log;
        panel->config.settingsPath = path;
        QVERIFY(panel->open(down));
        QTest::mouseClick(panel->widget<QAbstractButton>("agreeButton"), Qt::LeftButton);
        const QString identifier = Utils::deviceUUID(panel->config);
        done = true;
        watch.join();
        QCOMPARE(panel->view(), View::Stopped);
        QVERIFY(!opened);
        QCOMPARE(log.lines().filter("settings"),
                 QStringList{"The settings cannot be read or saved: " + path +
                             " is not a regular file. The panel runs with its defaults."});
        QVERIFY(!identifier.isEmpty() && Utils::deviceUUID(panel->config) == identifier);
        QCOMPARE(QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 kind == "fifo" ? QStringList{"fifo"} : QStringList({"fifo", "nodepanel.conf"}));
        struct stat info {};
        QVERIFY(::lstat(QFile::encodeName(fifo), &info) == 0 && S_ISFIFO(info.st_mode));
        QVERIFY(QFileInfo(other).isSymLink() == (kind == "link") &&
                (kind != "folder" || QDir(other).isEmpty()));
    }

    // The built panel's command line: Qt's options are Qt's, "--" ends the options, and any other
    // argument is refused with its control characters escaped; a help or version that cannot be written
    // fails. A session bus that accepts and never speaks holds up no window. A panel that starts is ended by
    // a signal once its window is up.
    void launches_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("bus"); // the session bus: "silent" accepts and never speaks
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("errors"); // what standard error holds; for a panel, one line of it
        const QString unexpected = "nodepanel: Unexpected argument '%1'.\nTry 'nodepanel --help' for more "
                                   "information.\n";
        QTest::newRow("--") << QStringList{"--"} << "disabled:" << 0 << "window load";
        QTest::newRow("restored") << QStringList{"-session", "1a2b"} << "disabled:" << 0 << "window load";
        QTest::newRow("Qt's platform")
            << QStringList{"-platform", "offscreen"} << "disabled:" << 0 << "window load";
        QTest::newRow("after --") << QStringList{"--", "--version"} << "disabled:" << 2
                                  << unexpected.arg("--version");
        QTest::newRow("escapes") << QStringList{QString("\x1b]0;x\x07") + QChar(0x9b)} << "disabled:" << 2
                                 << unexpected.arg("\\x1B]0;x\\x07\\x9B");
        QTest::newRow("a full disk")
            << QStringList{"--version"} << "disabled:" << 1
            << "nodepanel: Cannot write to standard output: No space left on device\n";
        QTest::newRow("a silent bus") << QStringList{} << "silent" << 0
                                      << "The session bus does not answer: this panel runs on its own.";
    }

    void launches() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, bus);
        QFETCH(int, status);
        QFETCH(QString, errors);
        QTemporaryDir temp;
        QLocalServer silent;
        QVERIFY(silent.listen(temp.filePath("bus")));
        QProcess panel;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LC_ALL", "C.UTF-8");
        environment.insert("XDG_CONFIG_HOME", temp.path());
        environment.insert("DBUS_SESSION_BUS_ADDRESS",
                           bus == "silent" ? "unix:path=" + silent.fullServerName() : bus);
        // Only the option can give the panel its platform: without a display the default one would end it.
        environment.remove("DISPLAY");
        environment.insert("QT_QPA_PLATFORM", arguments.contains("-platform") ? "xcb" : "offscreen");
        panel.setProcessEnvironment(environment);
        panel.setStandardOutputFile(arguments == QStringList{"--version"} ? "/dev/full"
                                                                          : QProcess::nullDevice());
        panel.setProgram(NODEPANEL_EXECUTABLE);
        panel.setArguments(arguments);
        panel.start();
        QByteArray said;
        // Nothing holds on to a silent bus, so nothing in the panel waits on it: every call has hung up.
        QList<QLocalSocket*> calls;
        const auto hungUp = [&silent, &calls] {
            while (silent.hasPendingConnections())
                calls.append(silent.nextPendingConnection());
            return std::all_of(calls.begin(), calls.end(), [](const QLocalSocket* call) {
                return call->state() == QLocalSocket::UnconnectedState;
            });
        };
        if (errors.endsWith('\n')) {
            QVERIFY(panel.waitForFinished(10000));
            said = panel.readAllStandardError();
        } else {
            const auto shows = [&] { return (said += panel.readAllStandardError()).contains("window load"); };
            QTRY_VERIFY_WITH_TIMEOUT(shows(), 10000);
            QTRY_VERIFY(hungUp());
            QCOMPARE(calls.isEmpty(), bus != "silent");
            ::kill(panel.processId(), SIGTERM);
            QVERIFY(panel.waitForFinished(10000));
            said += panel.readAllStandardError();
        }
        QCOMPARE(panel.exitStatus(), QProcess::NormalExit);
        QCOMPARE(panel.exitCode(), status);
        if (errors.endsWith('\n'))
            QCOMPARE(QString(said), errors);
        else
            QVERIFY2(said.contains(errors.toUtf8()), said.constData());
        QCOMPARE(said.count("The session bus does not answer"), bus == "silent" ? 1 : 0);
    }
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
