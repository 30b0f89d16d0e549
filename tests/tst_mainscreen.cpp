#include "app/windowcontroller.h"
#include "control/servicestate.h"
#include "control/viewcontroller.h"
#include "platform/hostconfig.h"

#include "logcapture.h"
#include "screenprobe.h"
#include "testhttpserver.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace {

const QString errorStopLine = QStringLiteral("it was caused by error, node would be restarted at once.");
const QString checkingLine = QStringLiteral("checking status..");

// Lets the work items that the monitor posts run.
void settle() {
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

void setLastAction(const QString& value) {
    auto settings = openSettings();
    if (value.isNull())
        settings->remove(QStringLiteral("last_action"));
    else
        settings->setValue(QStringLiteral("last_action"), value);
    settings->sync();
}

} // namespace

// Receives the addresses the screen hands to the browser.
class UrlSink : public QObject {
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened.append(url); }
};

class TestMainScreen : public QObject {
    Q_OBJECT

private:
    TestHttpServer node;
    TestHttpServer account;
    UrlSink browser;
    std::unique_ptr<WindowController> window;
    ViewController* vc = nullptr;

    // Loads the window against a node that answers with state (or not at all, for -1) and waits for the
    // first answer to reach the screen. The uptime clock is stopped: the tests tick it themselves.
    void load(int state) {
        HostConfig config = HostConfig::production();
        config.statusUrl = node.url(QStringLiteral("/get_status"));
        if (state < 0)
            config.statusUrl.setPort(1); // nothing listens there
        config.accountBaseUrl = account.url(QString());
        config.websiteBaseUrl = QUrl(QStringLiteral("https://www.test"));
        config.startupPause = std::chrono::milliseconds(0);
        installHostConfig(config);
        node.setReply(200, stateReply(std::max(state, 0)));

        const qsizetype asked = node.requests().size();
        window = std::make_unique<WindowController>();
        vc = window->viewController();
        vc->findChild<QTimer*>(QStringLiteral("uptimeTimer"))->stop();
        window->show();
        if (state >= 0)
            QTRY_COMPARE(node.requests().size(), asked + 1);
        QTRY_VERIFY(vc->middleView->isHidden() || vc->statusLabel->text() != "Checking Service Status..");
        settle();
    }

    // Feeds an answer through the path the status client takes: the stored state, then the callback.
    void answer(ServiceState state) {
        setCurrentServiceState(state);
        vc->handleStatus();
        settle();
    }

    void ticks(int count) {
        for (int i = 0; i < count; ++i)
            vc->timerTick();
    }

private slots:
    void initTestCase() {
        QVERIFY(node.start());
        QVERIFY(account.start());
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &browser, "open");
    }

    void cleanupTestCase() {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }

    void init() {
        auto settings = openSettings();
        settings->clear();
        settings->sync();
        browser.opened.clear();
        setCurrentServiceState(ServiceState::deviceStateDown);
    }

    void cleanup() {
        window.reset();
        vc = nullptr;
    }

    void showsTheNodeAtLoad_data() {
        QTest::addColumn<int>("nodeState"); // -1: nothing listening
        QTest::addColumn<QString>("lastAction");
        QTest::addColumn<QString>("screen");
        QTest::addColumn<qint64>("tick");
        QTest::addColumn<int>("errorLines");

        QTest::newRow("up") << 1 << QString() << "running" << qint64(0) << 0;
        QTest::newRow("up, last up") << 1 << "up"
                                     << "running" << qint64(0) << 0;
        QTest::newRow("down") << 0 << QString() << "stopped" << qint64(-1) << 0;
        QTest::newRow("down, last up: no change seen") << 0 << "up"
                                                       << "stopped" << qint64(-1) << 0;
        QTest::newRow("not listening, last up") << -1 << "up"
                                                << "stopped" << qint64(-1) << 0;
        QTest::newRow("closed, last down") << 2 << "down"
                                           << "stopped" << qint64(-1) << 0;
        // Nothing would ever check again: the stopped view replaces the busy one.
        QTest::newRow("closed, last up") << 2 << "up"
                                         << "stopped" << qint64(-1) << 1;
    }

    void showsTheNodeAtLoad() {
        QFETCH(int, nodeState);
        QFETCH(QString, lastAction);
        QFETCH(QString, screen);
        QFETCH(qint64, tick);
        QFETCH(int, errorLines);

        setLastAction(lastAction);
        LogCapture log;
        load(nodeState);
        QTRY_COMPARE(screenOf(vc), screen);
        QCOMPARE(vc->tick(), tick);
        QCOMPARE(log.count(errorStopLine), errorLines);
        QCOMPARE(log.count(checkingLine), 1);
    }

    // One answer after another, from a running or a stopped screen.
    void followsEachAnswer_data() {
        QTest::addColumn<int>("loadedWith");
        QTest::addColumn<QString>("lastAction");
        QTest::addColumn<int>("nextState");
        QTest::addColumn<QString>("screen");
        QTest::addColumn<qint64>("tick");
        QTest::addColumn<int>("errorLines");

        // Running, three seconds counted.
        QTest::newRow("up again") << 1 << "up" << 1 << "running" << qint64(3) << 0;
        QTest::newRow("down, last up") << 1 << "up" << 0 << "running" << qint64(3) << 1;
        QTest::newRow("closed, last up") << 1 << "up" << 2 << "running" << qint64(3) << 1;
        QTest::newRow("down, last down") << 1 << "down" << 0 << "stopped" << qint64(-1) << 0;
        QTest::newRow("down, no last action") << 1 << QString() << 0 << "stopped" << qint64(-1) << 0;
        QTest::newRow("down, last Up") << 1 << "Up" << 0 << "stopped" << qint64(-1) << 0;
        QTest::newRow("down, last 'up '") << 1 << "up " << 0 << "stopped" << qint64(-1) << 0;
        // Stopped, clock not running.
        QTest::newRow("down again") << 0 << "down" << 0 << "stopped" << qint64(-1) << 0;
        QTest::newRow("closed after down") << 0 << "down" << 2 << "stopped" << qint64(-1) << 0;
        QTest::newRow("up after down") << 0 << "down" << 1 << "running" << qint64(0) << 0;
        QTest::newRow("closed after down, last up") << 0 << "up" << 2 << "stopped" << qint64(-1) << 1;
    }

    void followsEachAnswer() {
        QFETCH(int, loadedWith);
        QFETCH(QString, lastAction);
        QFETCH(int, nextState);
        QFETCH(QString, screen);
        QFETCH(qint64, tick);
        QFETCH(int, errorLines);

        load(loadedWith);
        if (loadedWith == 1)
            ticks(3);
        setLastAction(lastAction);
        LogCapture log;
        answer(*serviceStateFromRaw(nextState));
        QCOMPARE(screenOf(vc), screen);
        QCOMPARE(vc->tick(), tick);
        QCOMPARE(vc->oldStatus(), *serviceStateFromRaw(nextState));
        QCOMPARE(log.count(errorStopLine), errorLines);
    }

    // After an unexpected stop the clock keeps counting and the node is still watched.
    void watchesAfterAnUnexpectedStop_data() {
        QTest::addColumn<int>("thenState");
        QTest::addColumn<QString>("screen");
        QTest::addColumn<qint64>("tick");

        QTest::newRow("down again") << 0 << "stopped" << qint64(5);
        QTest::newRow("back up") << 1 << "running" << qint64(0);
    }

    void watchesAfterAnUnexpectedStop() {
        QFETCH(int, thenState);
        QFETCH(QString, screen);
        QFETCH(qint64, tick);

        setLastAction(QStringLiteral("up"));
        load(1);
        LogCapture log;
        answer(ServiceState::deviceStateDown);
        QCOMPARE(screenOf(vc), QStringLiteral("running"));
        const qsizetype asked = node.requests().size();
        node.setReply(200, stateReply(thenState));
        ticks(5); // the periodic check comes at five seconds
        QTRY_COMPARE(node.requests().size(), asked + 1);
        QTRY_COMPARE(vc->oldStatus(), *serviceStateFromRaw(thenState));
        QTRY_COMPARE(screenOf(vc), screen);
        QCOMPARE(vc->tick(), tick);
        QCOMPARE(log.count(errorStopLine), 1);
    }

    // A check that finds the node gone while the busy view shows must not leave it up for good.
    void neverStaysBusyAfterAStopWhileBusy() {
        setLastAction(QStringLiteral("up"));
        load(1);
        vc->showProgress(QStringLiteral("Starting Service.."));
        LogCapture log;
        answer(ServiceState::deviceStateDown);
        QCOMPARE(screenOf(vc), QStringLiteral("stopped"));
        QCOMPARE(log.count(errorStopLine), 1);
    }

    void checksEveryFiveSecondsOfUptime_data() {
        QTest::addColumn<bool>("busy");
        QTest::addColumn<int>("queries");

        QTest::newRow("running view") << false << 3;
        QTest::newRow("busy view") << true << 0;
    }

    void checksEveryFiveSecondsOfUptime() {
        QFETCH(bool, busy);
        QFETCH(int, queries);

        load(1);
        if (busy)
            vc->showProgress(QStringLiteral("Stopping Service.."));
        LogCapture log;
        const qsizetype asked = node.requests().size();
        for (int second = 1; second <= 16; ++second) {
            vc->timerTick();
            const int due = busy ? 0 : second / 5;
            QCOMPARE(log.count(checkingLine), due);
        }
        QTRY_COMPARE(node.requests().size(), asked + queries);
        QCOMPARE(vc->timerLabel->text(), QStringLiteral("00:00:16"));
    }

    void keepsTheClockAtZeroWhileStopped() {
        load(0);
        LogCapture log;
        const qsizetype asked = node.requests().size();
        vc->timerLabel->setText(QStringLiteral("12:34:56"));
        ticks(10);
        QCOMPARE(vc->timerLabel->text(), QStringLiteral("00:00:00"));
        QCOMPARE(vc->tick(), qint64(-1));
        QVERIFY(log.lines().isEmpty());
        QCOMPARE(node.requests().size(), asked);
    }

    void formatsTheUptime() {
        load(1);
        vc->showProgress(QStringLiteral("Checking Service Status..")); // no checks while counting
        const QList<QPair<qint64, QString>> shown = {
            {1, "00:00:01"},    {59, "00:00:59"},    {60, "00:01:00"},      {3599, "00:59:59"},
            {3600, "01:00:00"}, {86400, "24:00:00"}, {360000, "100:00:00"}, {360061, "100:01:01"},
        };
        qint64 counted = 0;
        for (const auto& [seconds, text] : shown) {
            ticks(int(seconds - counted));
            counted = seconds;
            QCOMPARE(vc->timerLabel->text(), text);
        }
    }

    // Each Alt+letter must reach one control: two controls sharing a letter make Qt do neither.
    void givesEachControlItsOwnMnemonic() {
        load(0);
        QMap<QChar, QString> owners;
        const auto note = [&owners](const QString& text) {
            const qsizetype amp = text.indexOf(QLatin1Char('&'));
            if (amp < 0 || amp + 1 >= text.size())
                return false;
            const QChar letter = text.at(amp + 1).toLower();
            if (owners.contains(letter)) {
                qWarning() << text << "shares Alt+" << letter << "with" << owners.value(letter);
                return true;
            }
            owners.insert(letter, text);
            return false;
        };
        bool clash = false;
        for (const QAbstractButton* button : window->findChildren<QAbstractButton*>())
            clash |= note(button->text());
        for (const QMenu* menu : window->menuBar()->findChildren<QMenu*>())
            clash |= note(menu->title());
        QVERIFY(!clash);
        QVERIFY(owners.size() >= 7);
    }

    void restoresTheAgreement_data() {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<bool>("agreed");

        QTest::newRow("absent") << QVariant() << false;
        QTest::newRow("false") << QVariant(false) << false;
        QTest::newRow("true") << QVariant(true) << true;
    }

    void restoresTheAgreement() {
        QFETCH(QVariant, stored);
        QFETCH(bool, agreed);

        if (stored.isValid()) {
            auto settings = openSettings();
            settings->setValue(QStringLiteral("agree"), stored);
            settings->sync();
        }
        load(0);
        const QColor normal = vc->palette().color(QPalette::Active, QPalette::WindowText);
        const QColor greyed = vc->palette().color(QPalette::Disabled, QPalette::WindowText);
        QVERIFY(normal != greyed);
        QCOMPARE(vc->agreeButton->isChecked(), agreed);
        QCOMPARE(vc->agreeButton->isEnabled(), !agreed);
        QCOMPARE(vc->andLabel->palette().color(QPalette::Active, QPalette::WindowText),
                 agreed ? greyed : normal);
    }

    void storesTheAgreementWhenTicked() {
        load(0);
        LogCapture log;
        QTest::mouseClick(vc->agreeButton, Qt::LeftButton);
        // Read back through a settings object of its own: the value must be on disk already.
        QSettings stored(QStringLiteral("nodepanel"), QStringLiteral("nodepanel"));
        QCOMPARE(stored.value(QStringLiteral("agree")).toString(), QStringLiteral("true"));
        QCOMPARE(log.lines(), QStringList{QStringLiteral("agree changed true")});
        QVERIFY(vc->agreeButton->isChecked());
        QVERIFY(!vc->agreeButton->isEnabled());
        QCOMPARE(vc->andLabel->palette().color(QPalette::Active, QPalette::WindowText),
                 vc->palette().color(QPalette::Disabled, QPalette::WindowText));
    }

    // Setting the box from code is no agreement: only a click stores it.
    void ignoresTheBoxSetByCode() {
        load(0);
        LogCapture log;
        vc->agreeButton->setChecked(true);
        QVERIFY(!openSettings()->contains(QStringLiteral("agree")));
        QVERIFY(log.lines().isEmpty());
        QVERIFY(vc->agreeButton->isEnabled());
    }

    void opensThePages_data() {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("opened"); // empty: nothing

        QTest::newRow("terms") << "tosButton"
                               << "https://www.test/tos";
        QTest::newRow("privacy policy") << "ppButton"
                                        << "https://www.test/pp";
        QTest::newRow("another button") << "viewButton"
                                        << "account/main";
        QTest::newRow("not a button") << "versionLabel"
                                      << "";
    }

    void opensThePages() {
        QFETCH(QString, sender);
        QFETCH(QString, opened);

        load(0);
        vc->linkClick(vc->findChild<QObject*>(sender));
        if (opened.isEmpty()) {
            QVERIFY(browser.opened.isEmpty());
            return;
        }
        const QUrl expected =
            opened.startsWith("account") ? account.url(QStringLiteral("/main")) : QUrl(opened);
        QCOMPARE(browser.opened, QList<QUrl>{expected});
    }

    // The real controls, clicked by the user; none of them reports anything to the account server.
    void opensThePagesFromTheControls() {
        load(0);
        QTest::mouseClick(vc->tosButton, Qt::LeftButton);
        QTest::mouseClick(vc->ppButton, Qt::LeftButton);
        QTest::mouseClick(vc->viewButton, Qt::LeftButton);
        vc->viewButtonClick(nullptr);
        QTest::mouseClick(vc->agreeButton, Qt::LeftButton);
        const QUrl accountPage = account.url(QStringLiteral("/main"));
        QCOMPARE(browser.opened, (QList<QUrl>{QUrl("https://www.test/tos"), QUrl("https://www.test/pp"),
                                              accountPage, accountPage}));
        QTest::qWait(200);
        QCOMPARE(account.connectionCount(), 0);
    }
};

QTEST_MAIN(TestMainScreen)
#include "tst_mainscreen.moc"
