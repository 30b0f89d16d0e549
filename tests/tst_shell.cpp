// The application shell on the real offscreen window: the confirmation sheet, the quit gate, and the
// window's close and quit questions.
#include "app/application.h"
#include "host/utils.h"

#include "testsupport.h"

#include <QLocalServer>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <thread>

using namespace std::chrono_literals;

const QString stopQuestion = "asked Do you want to exit?/The service is running, stop it now?";
const QString exitQuestion = "asked Confirmation/Do you want to exit the app?";

// The desktop's order of dialog buttons, which the platform theme gives through the style.
int buttonLayout = QDialogButtonBox::WinLayout;
struct ButtonLayout : QProxyStyle {
    int styleHint(StyleHint h, const QStyleOption* o, const QWidget* w, QStyleHintReturn* r) const override {
        return h == SH_DialogButtonLayout ? buttonLayout : QProxyStyle::styleHint(h, o, w, r);
    }
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
        QVERIFY(QGuiApplication::desktopFileName() == "org.nodepanel.NodePanel" &&
                !QApplication::windowIcon().isNull());
    }

    void init() {
        panel.reset();
        panel = std::make_unique<Panel>();
    }

    // The first button, the default, stands rightmost in the GNOME, KDE and plain button layouts; only a
    // button answers, with 1000 + its index. The title is the application's name.
    void asksWithTheButtonsInOrder() {
        panel->play("open 0");
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
                QCOMPARE(box->windowTitle() + QString::number(answers.size()), "Node Panel0");
                QCOMPARE(box->icon() + box->windowModality() * 10 + box->buttons().size() * 100,
                         QMessageBox::Information + 210);
                QCOMPARE(box->defaultButton()->text(), titles.first().toString());
                for (const QAbstractButton* other : box->buttons())
                    QVERIFY(other->x() <= box->defaultButton()->x());
                QTest::keyClick(box, Qt::Key_Escape);
                QVERIFY(!box->close() && box->isVisible());
                panel->play("asked Title/Text | answer " + QString(press));
                QCOMPARE(answers, QList<int>{code});
            }
    }

    // Closing never closes the window: it asks, with the stop question queued and the exit question at
    // once. Quitting is refused while the node runs, after "exit" is posted, and asks afterwards; it asks
    // again each time, and not at all once the node stopped before the question. The answers act on the
    // state of their moment: YES to exit goes through the gate; YES to stop stops, and quits nothing.
    void decidesEachRequest_data() {
        QTest::addColumn<QString>("story");
        // clang-format off
        QTest::newRow("close, running: YES stops") << "open 1 | close | logged window close | asked - | wait | " + stopQuestion + " | answer YES | ran ./manager.sh down | text statusLabel Stopping Service.. | ended 0";
        QTest::newRow("close, running: Return is NO") << "open 1 | close | wait | answer Return | wait | ran - | ended 0";
        QTest::newRow("close, stopped: YES quits") << "open 0 | close | " + exitQuestion + " | answer YES | ended 1";
        QTest::newRow("close, closed: Return is NO") << "open 2 | close | " + exitQuestion + " | answer Return | ended 0";
        QTest::newRow("quit, running: YES stops") << "open 1 | quit | ended 0 | logged recv notification exit | asked - | wait | " + stopQuestion + " | node 0 | answer YES | ran ./manager.sh down | ended 0";
        QTest::newRow("quit, stopped") << "open 0 | quit | ended 1 | logged - | wait | asked -";
        QTest::newRow("quit, closed") << "open 2 | quit | ended 1";
        QTest::newRow("quit twice") << "open 1 | quit | quit | logged recv notification exit / recv notification exit | wait | answer NO | " + stopQuestion + " | answer NO | ended 0";
        QTest::newRow("stopped before the question") << "open 1 | quit | close | report 0 | wait | asked - | ended 0";
        // The menu's Close Window and Quit ask as the window does.
        QTest::newRow("the menu") << "open 0 | menu actionCloseWindow | " + exitQuestion + " | answer NO | menu actionQuit | ended 1";
        QTest::newRow("exit while it came up") << "open 0 | close | report 1 | answer YES | ended 0 | wait | " + stopQuestion + " | report 0 | answer YES | ran ./manager.sh down";
        // In German the window and its questions speak German (Qt's own words: see the command line's test).
        // Last: the German stays installed.
        QTest::newRow("German") << "german | open 0 | close | asked Bestätigung/Möchten Sie die App beenden? | text statusLabel Dienststatus wird geprüft.. | text ppButton Datenschutz&erklärung";
        // clang-format on
    }

    void decidesEachRequest() {
        QFETCH(QString, story);
        panel->play(story);
        QVERIFY(panel->window->isVisible());
    }

    // Qt's own quit() goes through the gate too.
    void takesQtsQuitToTheGate() {
        panel->play("open 0");
        QTimer fallback;
        connect(&fallback, &QTimer::timeout, [] { QCoreApplication::exit(7); });
        fallback.start(2000);
        QTimer::singleShot(0, [] { QCoreApplication::quit(); });
        QCOMPARE(QCoreApplication::exec(), 7);
        panel->play("ended 1 | asked -");
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
        panel->open(0);
        QTest::mouseClick(panel->widget<QAbstractButton>("agreeButton"), Qt::LeftButton);
        const QString identifier = Utils::deviceUUID(panel->config);
        done = true;
        watch.join();
        QCOMPARE(panel->view(), "stopped");
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
