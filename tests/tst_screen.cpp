// The real window offscreen: what the screen does with the status monitor's decisions (tst_logic decides
// them without a window), the uptime clock and its checks, the agreement, the links, the focus, starting
// and stopping through a stand-in for the administrator prompt, and what the desktop is told.
#include "platform/desktopnotification.h"

#include "testsupport.h"

#include <QtDBus>

using namespace std::chrono_literals;

// Start or stop, the script's failure (none: it succeeds), its English line, its words on the screen,
// and whether the desktop speaks German.
struct ScriptRow {
    bool start;
    std::optional<ScriptFailure> failure = {};
    QString line = {}, words = {};
    bool german = false;
};

// Also the desktop's notification service, on the suite's own session bus.
class TestScreen : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

private:
    std::unique_ptr<Panel> panel;
    QList<QUrl> opened;
    // "summary\nbody" of each notice shown.
    QStringList notices;

    // The notices shown since the last call: one sent now arrives after every one sent before.
    QStringList notifications() {
        notifyDesktop("end", {});
        const bool ended = QTest::qWaitFor([this] { return notices.removeOne("end\n"); });
        return ended ? std::exchange(notices, {}) : QStringList{"the notices stopped"};
    }

    // Without a handler the offscreen desktop opens nothing, as a desktop without a browser.
    void handleUrls(bool handled) {
        for (const char* scheme : {"https", "http"})
            handled ? QDesktopServices::setUrlHandler(scheme, this, "open")
                    : QDesktopServices::unsetUrlHandler(scheme);
    }

public slots:
    void open(const QUrl& url) { opened.append(url); }
    void Notify(QString, uint, QString, QString summary, QString body, QStringList, QVariantMap, int) {
        notices.append(summary + '\n' + body);
    }

private slots:
    void initTestCase() {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "notices");
        QVERIFY(bus.registerObject("/org/freedesktop/Notifications", this, QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService("org.freedesktop.Notifications"));
    }

    void cleanupTestCase() { handleUrls(false); }

    void init() {
        QSettings("nodepanel", "nodepanel").clear();
        handleUrls(true);
        notifications();
        panel.reset(), panel = std::make_unique<Panel>();
        // The desktop hears only of what the user cannot see: the stories keep another window in front.
        panel->inFront = false;
    }

    // Stopped at load, even after the user's start, is no stop: nothing logged but the checks, the clock at
    // zero, and one check at a time every 5 s, which finds a node started elsewhere. Running, with the
    // version beside it: the clock counts, and the node is checked every 5 s of uptime, even while a check
    // is awaited. Stopped by itself after the user's start: logged and told, and the clock and the view stay
    // (what the next answer decides: tst_logic).
    void followsTheNode() {
        panel->settings.setValue("last_action", "up");
        Capture log;
        QVERIFY(panel->open(down));
        panel->tick(16);
        QCOMPARE(panel->text("timerLabel"), "00:00:00");
        QTest::qWait(100); // a check too many may still be on its way
        QCOMPARE(log.newLines(), (QStringList{"window load", "checking status..", "checking status.."}));
        panel->nodeSays(up);
        panel->tick(4);
        QTRY_COMPARE(panel->view(), View::Running);
        QCOMPARE(panel->text("versionLabel"), "v" NODEPANEL_VERSION);
        panel->tick(16);
        QCOMPARE(panel->text("timerLabel"), "00:00:16");
        QTest::qWait(100);
        panel->answer(closed);
        QCOMPARE(log.newLines(), QStringList(4, "checking status..")
                                     << "it was caused by error, node would be restarted at once.");
        panel->tick();
        QTest::qWait(20);
        QCOMPARE(std::pair(panel->view(), panel->text("timerLabel")),
                 std::pair(View::Running, QString("00:00:17")));
        QCOMPARE(notifications(),
                 QStringList{"The node stopped\nThe node on this computer is no longer running."});
    }

    // Start asks first while the box is off: NO starts nothing; YES, the default, ticks and locks the box
    // for this start without storing it. Only the user's click stores it, at once, and locks it. (Escape and
    // an unticked box at load: tst_shell; a ticked one: every start below.)
    void asksForTheAgreement() {
        QVERIFY(panel->open(down));
        panel->click("startButton");
        QCOMPARE(panel->question(), "Confirmation/Do you agree to the Terms of Service and Privacy Policy?");
        QVERIFY(panel->reply("NO"));
        QVERIFY(!panel->agreementGiven());
        panel->click("startButton");
        QVERIFY(panel->replyWithReturn());
        QVERIFY(panel->agreementGiven());
        QTRY_COMPARE(panel->view(), View::Stopped); // after the start's own check
        QCOMPARE(panel->commands(), QStringList{"./manager.sh up"});
        QVERIFY(!panel->settings.contains("agree"));
        QVERIFY(panel->open(down));
        panel->click("agreeButton");
        QCOMPARE(panel->settings.value("agree"), true);
        QVERIFY(panel->agreementGiven());
        QCOMPARE(panel->logged(), QStringList{"agree changed true"});
    }

    // Each link opens its page and reports nothing. A page that no browser opens is named under the state,
    // and stays named until the next action.
    void opensThePages() {
        QVERIFY(panel->open(down));
        const auto* words = panel->widget<QLabel>("errorLabel");
        for (const auto& [link, page] : {std::pair("tosButton", QUrl("https://www.test/tos")),
                                         {"ppButton", QUrl("https://www.test/pp")},
                                         {"viewButton", panel->account.url("/main")}}) {
            handleUrls(false);
            panel->click(link);
            QCOMPARE(words->isVisible() ? words->text() : "hidden",
                     page.toString() + " could not be opened in a web browser.");
            panel->answer(down);
            QVERIFY(words->isVisible());
            handleUrls(true);
            panel->click(link);
            QCOMPARE(std::pair(words->isHidden(), std::exchange(opened, {})),
                     std::pair(true, QList<QUrl>{page}));
        }
        QTest::qWait(100);
        QCOMPARE(panel->account.connections, 0);
    }

    // In front of the user. The first focus is on the state's button. When the views change, the new view's
    // button takes over a focus that leaves with the old view or is nowhere, never a link: each widget the
    // focus passes, through a start with Return, a stop by itself after it, and the answers that follow. The
    // desktop is told of a stop or a failure only when the user does not have the window in front: not while
    // it is the active window or under a question of its own, but once it is minimised. (Behind another
    // window: the unexpected stop above and the failures below.)
    void inFrontOfTheUser() {
        panel->settings.setValue("agree", true);
        panel->inFront = true;
        QVERIFY(panel->open(down));
        QVERIFY(QTest::qWaitForWindowActive(panel->window.get()));
        QCOMPARE(panel->focus(), "startButton");
        QStringList visits;
        QObject scope;
        connect(qApp, &QApplication::focusChanged, &scope,
                [&visits](QWidget*, QWidget* now) { visits.append(now ? now->objectName() : "nowhere"); });
        const auto visited = [&visits] { return std::exchange(visits, {}); };
        panel->nodeSays(up);
        panel->press(Qt::Key_Return);
        QTRY_COMPARE(panel->view(), View::Running);
        QCOMPARE(visited(), (QStringList{"middleView", "stopButton"}));
        panel->answer(down); // after the user's start: the next answer decides
        panel->answer(down);
        QTRY_COMPARE(panel->view(), View::Stopped);
        QCOMPARE(visited(), QStringList{"startButton"});
        QApplication::focusWidget()->clearFocus();
        panel->answer(up);
        QTRY_COMPARE(panel->view(), View::Running);
        QCOMPARE(visited(), (QStringList{"nowhere", "stopButton"}));
        panel->widget("ppButton")->setFocus();
        panel->answer(down);
        panel->answer(down);
        QTRY_COMPARE(panel->view(), View::Stopped);
        QCOMPARE(visited(), QStringList{"ppButton"});
        // A link with the focus shows in the highlight's colour, another in the link colour: those of the
        // palette of the moment.
        QPalette colours = panel->window->palette();
        colours.setColor(QPalette::Link, Qt::red), colours.setColor(QPalette::Highlight, Qt::blue);
        panel->window->setPalette(colours);
        const auto shows = [&](const char* link) {
            const QImage image = panel->widget(link)->grab().toImage().convertToFormat(QImage::Format_RGB32);
            const std::span pixels(reinterpret_cast<const QRgb*>(image.constBits()), image.sizeInBytes() / 4);
            const auto has = [&](Qt::GlobalColor colour) {
                return std::ranges::count(pixels, QColor(colour).rgb()) > 0;
            };
            return std::pair(has(Qt::blue), has(Qt::red));
        };
        QCOMPARE(shows("ppButton"), std::pair(true, false));
        QCOMPARE(shows("tosButton"), std::pair(false, true));
        panel->failure = ScriptFailure(ScriptFailure::Kind::ScriptSaid, "no sudo", 1);
        panel->answer(up);
        QTRY_COMPARE(panel->view(), View::Running);
        panel->click("stopButton");
        QTRY_COMPARE(panel->view(), View::Running);
        panel->answer(down);
        Utils::showConfirmation("Title", "Text", panel->window.get(), {"OK"}, [](int) {});
        panel->sheet()->activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), panel->sheet());
        panel->answer(up);
        panel->answer(down);
        panel->window->showMinimized();
        panel->answer(up);
        panel->answer(down);
        QCOMPARE(notifications(),
                 QStringList{"The node stopped\nThe node on this computer is no longer running."});
    }

    // The busy view from the click on, owned by the script until it hands over: no periodic check, and an
    // answer meanwhile neither brings back a button nor tells the desktop of the stop or start the user
    // asked. After a success the last action is stored before the success line leaves, and the node is
    // checked once, after the pause; after a failure the view comes back at once, with the failure in words,
    // on the screen and the desktop, until the node starts or stops. In German the words are German, while
    // the log and the account server keep the English line. Last: the German stays installed.
    void runsTheScript_data() {
        QTest::addColumn<ScriptRow>("row");
        const auto row = [](const char* name, const ScriptRow& row) { QTest::newRow(name) << row; };
        const auto said = [](const QString& words) {
            return ScriptFailure(ScriptFailure::Kind::ScriptSaid, words, 1);
        };
        const QString m = "/n/Contents/Resources/manager.sh",
                      nicht = "Der Knoten konnte nicht gestartet werden.\n";
        const QString refusal =
            "Refused to run the node's script as administrator: %1 belongs to uid 7, not to "
            "root, so a program without administrator rights could change what runs as root.";
        const QString verweigert =
            "Das Skript des Knotens wird nicht als Administrator ausgeführt: %1 gehört der "
            "UID 7, nicht root, daher könnte ein Programm ohne Administratorrechte ändern, "
            "was als root läuft.";
        ScriptFailure refused(ScriptFailure::Kind::Refused);
        refused.refusal = {m, "belongs to uid %1, not to root", {"7"}, true};
        row("start", {true});
        row("stop", {false});
        row("start fails without a message",
            {true, said(""), "unknown error", "The node could not be started.\nNo reason was given."});
        row("stop fails, markup on two lines",
            {false, said("<1>\r2"), "<1>\r\n2", "The node could not be stopped.\n<1>\n2"});
        row("German, exit status",
            {true, ScriptFailure(ScriptFailure::Kind::ExitStatus, {}, 3), "manager.sh exited with status 3",
             nicht + "manager.sh wurde mit dem Status 3 beendet", true});
        row("German, refused", {true, refused, refusal.arg(m), nicht + verweigert.arg(m), true});
    }

    void runsTheScript() {
        QFETCH(ScriptRow, row);
        const QString verb = row.start ? "up" : "down", autoFalse = row.start ? ". auto=false" : "";
        if (row.german)
            installTranslations(QLocale(QLocale::German, QLocale::Germany));
        panel->config.scriptPause = 300ms;
        panel->failure = row.failure;
        panel->settings.setValue("agree", true);
        QVERIFY(panel->open(row.start ? down : up));
        // At its least size the window still shows the agreement row's links whole, in German too.
        panel->window->resize(panel->window->minimumSize());
        QTRY_VERIFY(panel->widget("ppButton")->width() >= panel->widget("ppButton")->sizeHint().width());
        panel->nodeSays(row.start ? up : down);
        // Each line uploaded; the second with the last action stored when it arrived.
        QStringList arrivals;
        QObject scope;
        connect(&panel->account, &TestHttpServer::requestReceived, &scope, [&] {
            const QString line = panel->account.requests.last().fields()["l"];
            arrivals.append(
                arrivals.isEmpty() ? line : line + " | " + panel->settings.value("last_action").toString());
        });
        const ServiceState after = row.start == !row.failure ? up : down;
        panel->hold();
        panel->click(row.start ? "startButton" : "stopButton");
        if (!row.german)
            QCOMPARE(panel->text("statusLabel"), row.start ? "Starting Service.." : "Stopping Service..");
        panel->tick(16);
        panel->answer(after);
        QTest::qWait(20);
        QCOMPARE(std::pair(panel->view(), panel->checks()), std::pair(View::Busy, qsizetype(0)));
        const QDeadlineTimer pause(300ms);
        panel->release();
        QTRY_COMPARE(arrivals, (QStringList{"run script manager.sh " + verb + autoFalse,
                                            row.failure ? row.line + " | "
                                                        : "manager.sh " + verb + " succeeds" + autoFalse +
                                                              " | " + verb}));
        QVERIFY(row.failure || panel->view() == View::Busy); // through the pause
        QTRY_COMPARE(panel->view(), after == up ? View::Running : View::Stopped);
        QVERIFY(row.failure || pause.hasExpired());
        QCOMPARE(std::pair(panel->checks(), panel->commands()),
                 std::pair(qsizetype(row.failure ? 0 : 1), QStringList{"./manager.sh " + verb}));
        QCOMPARE(panel->logged(),
                 QStringList{row.failure ? (row.start ? "start err: " : "stop err: ") + row.line
                                         : "checking status.."});
        // Read out by a screen reader, and escaped for desktops whose notices read markup.
        const QAccessibleInterface* error =
            QAccessible::queryAccessibleInterface(panel->widget("errorLabel"));
        QCOMPARE(std::pair(error->role(), error->text(QAccessible::Name)),
                 std::pair(QAccessible::Notification, row.words));
        QCOMPARE(QAccessible::queryAccessibleInterface(panel->widget("errorLabel")->window())->role(),
                 QAccessible::Window);
        QCOMPARE(notifications(),
                 row.words.isEmpty() ? QStringList() : QStringList{row.words.toHtmlEscaped()});
        panel->answer(row.start ? up : down);
        QVERIFY(panel->widget("errorLabel")->isHidden());
    }
};

QTEST_MAIN(TestScreen)
#include "tst_screen.moc"
