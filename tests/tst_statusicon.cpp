// The status icon on an X display of its own and a session bus of its own, where the suite stands in for
// the desktop's status area (a StatusNotifierWatcher) and reads the panel's item as a desktop would.
#include "app/statusicon.h"

#include "testsupport.h"

#include <QtDBus>

using namespace std::chrono_literals;

// The status area's watcher. It answers on a thread of its own: the panel asks it with blocking calls.
class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)

public:
    bool hostRegistered() const { return true; }
    QStringList items() {
        QMutexLocker lock(&mutex_);
        return items_;
    }

public slots:
    void RegisterStatusNotifierItem(const QString& service) {
        QMutexLocker lock(&mutex_);
        items_.append(service);
    }

private:
    QMutex mutex_;
    QStringList items_;
};

class TestStatusIcon : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Panel> panel;
    QThread watcherThread;
    Watcher* watcher = nullptr;
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "desktop");
    QString item;
    int newIcons = 0, newToolTips = 0;

    // A property of the panel's item, asked without blocking: the panel answers on this thread.
    QVariant itemProperty(const QString& name) {
        QDBusMessage get = QDBusMessage::createMethodCall(item, "/StatusNotifierItem",
                                                          "org.freedesktop.DBus.Properties", "Get");
        get << "org.kde.StatusNotifierItem" << name;
        QDBusPendingCall call = bus.asyncCall(get);
        if (!QTest::qWaitFor([&call] { return call.isFinished(); }, 5000) || call.isError())
            return "no answer: " + call.error().message();
        return call.reply().arguments().value(0).value<QDBusVariant>().variant();
    }

    // The icon's name, and the tooltip's title and text, as the item tells them.
    QString shown() {
        QString icon, title, text;
        const QDBusArgument tip = itemProperty("ToolTip").value<QDBusArgument>();
        tip.beginStructure();
        tip >> icon;
        tip.beginArray();
        while (!tip.atEnd()) {
            int width, height;
            QByteArray argb;
            tip.beginStructure();
            tip >> width >> height >> argb;
            tip.endStructure();
        }
        tip.endArray();
        tip >> title >> text;
        tip.endStructure();
        return itemProperty("IconName").toString() + " | " + title + (text.isEmpty() ? "" : " | " + text);
    }

    QAction* menuEntry(const QString& text) const {
        const auto* icon = panel->window->findChild<StatusIcon*>();
        for (QAction* action : icon ? icon->trayIcon()->contextMenu()->actions() : QList<QAction*>())
            if (action->text().remove('&') == text)
                return action;
        return nullptr;
    }

    QString menuState() const {
        return QString("Start %1, Stop %2")
            .arg(menuEntry("Start")->isEnabled() ? "on" : "off",
                 menuEntry("Stop")->isEnabled() ? "on" : "off");
    }

public slots:
    void iconChanged() { ++newIcons; }
    void toolTipChanged() { ++newToolTips; }

private slots:
    void initTestCase() {
        QVERIFY(bus.isConnected());
        // Run alone, the last test sees a desktop without a status area.
        if (QCoreApplication::arguments().contains("showsNothingWithoutAWatcher"))
            return;
        watcher = new Watcher;
        watcher->moveToThread(&watcherThread);
        connect(&watcherThread, &QThread::finished, watcher, &QObject::deleteLater);
        watcherThread.start();
        QVERIFY(bus.registerObject("/StatusNotifierWatcher", watcher,
                                   QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties) &&
                bus.registerService("org.kde.StatusNotifierWatcher"));
    }

    void cleanupTestCase() {
        panel.reset();
        watcherThread.quit();
        watcherThread.wait();
    }

    void init() {
        QSettings("nodepanel", "nodepanel").clear();
        panel.reset();
        panel = std::make_unique<Panel>();
    }

    // One item, whose icon and tooltip follow the views from stopped to busy to running and on with the
    // uptime, a minute at a time; its menu offers what the window's buttons offer. Nothing is told twice.
    void followsTheViews() {
        QSemaphore prompt(1);
        panel->config.scriptRunner = [&prompt](const QString&) {
            prompt.acquire(), prompt.release();
            return std::optional<ScriptFailure>();
        };
        panel->settings.setValue("agree", true);
        QVERIFY(panel->open(down));
        QTRY_COMPARE(watcher->items().size(), 1);
        item = watcher->items().first();
        for (const char* signal : {"NewIcon", "NewToolTip"})
            QVERIFY(bus.connect(item, "/StatusNotifierItem", "org.kde.StatusNotifierItem", signal, this,
                                signal == QString("NewIcon") ? SLOT(iconChanged()) : SLOT(toolTipChanged())));
        const QString name = "org.nodepanel.NodePanel-";
        QTRY_COMPARE(shown(), name + "stopped | The node is stopped");
        QCOMPARE(menuState(), "Start on, Stop off");

        prompt.acquire();
        QTest::mouseClick(panel->widget<QPushButton>("startButton"), Qt::LeftButton);
        QTRY_COMPARE(shown(), name + "busy | Starting Service..");
        QCOMPARE(menuState(), "Start off, Stop off");
        panel->nodeSays(up);
        prompt.release();
        QTRY_COMPARE(shown(), name + "running | The node is running\nUptime: 0 h 00 min");
        QCOMPARE(menuState(), "Start off, Stop on");

        const std::pair counted{newIcons, newToolTips};
        QVERIFY(counted.first > 0 && counted.second > 0);
        for (int second = 1; second < 60; ++second)
            panel->screen()->timerTick();
        panel->screen()->refreshStateViews();
        QTest::qWait(100);
        QCOMPARE(std::pair(newIcons, newToolTips), counted);
        panel->screen()->timerTick();
        QTRY_COMPARE(shown(), name + "running | The node is running\nUptime: 0 h 01 min");
        QCOMPARE(std::pair(newIcons, newToolTips), std::pair(counted.first, counted.second + 1));
        QCOMPARE(watcher->items().size(), 1);
    }

    // A click on the icon brings the window back.
    void activatingShowsTheWindow() {
        QVERIFY(panel->open(down));
        QTRY_VERIFY(!watcher->items().isEmpty());
        item = watcher->items().last();
        panel->window->showMinimized();
        QTRY_VERIFY(panel->window->isMinimized());
        bus.asyncCall(QDBusMessage::createMethodCall(item, "/StatusNotifierItem",
                                                     "org.kde.StatusNotifierItem", "Activate")
                      << 0 << 0);
        QTRY_VERIFY(!panel->window->isMinimized() && panel->window->isVisible());
    }

    // The menu's entries act through the window, which shows first: Start asks for the agreement where the
    // box is off, and Quit goes through the quit gate, which asks to stop a running node.
    void actsThroughTheWindow_data() {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<int>("node");
        QTest::addColumn<QString>("question");
        QTest::addColumn<QStringList>("ran");
        QTest::addColumn<int>("ended");
        QTest::newRow("Start, not agreed")
            << "Start" << 0 << "Do you agree to the Terms of Service and Privacy Policy?"
            << QStringList{"./manager.sh up"} << 0;
        QTest::newRow("Quit, running")
            << "Quit" << 1 << "The service is running, stop it now?" << QStringList{"./manager.sh down"} << 0;
        QTest::newRow("Quit, stopped") << "Quit" << 0 << QString() << QStringList() << 1;
    }

    void actsThroughTheWindow() {
        QFETCH(QString, entry);
        QFETCH(int, node);
        QFETCH(QString, question);
        QFETCH(QStringList, ran);
        QFETCH(int, ended);
        QStringList commands;
        panel->config.scriptRunner = [&commands](const QString& command) {
            QMetaObject::invokeMethod(qApp, [&commands, command] { commands.append(command); });
            return std::optional<ScriptFailure>();
        };
        QVERIFY(panel->open(ServiceState(node)));
        // Asked before the panel's own gate, which only counts.
        AppDelegate gate;
        int ends = 0;
        gate.endEventLoop = [&ends](int) { ++ends; };
        panel->window->showMinimized();
        // The icon follows the views a moment later.
        QTRY_VERIFY(menuEntry(entry) && menuEntry(entry)->isEnabled());
        menuEntry(entry)->trigger();
        QVERIFY(!panel->window->isMinimized());
        if (!question.isNull()) {
            QTRY_VERIFY(panel->sheet());
            QCOMPARE(panel->sheet()->informativeText(), question);
            for (QAbstractButton* button : panel->sheet()->buttons())
                if (button->text() == "YES")
                    QTest::mouseClick(button, Qt::LeftButton);
        }
        QTRY_COMPARE(commands, ran);
        QCOMPARE(ends, ended);
    }

    // Without a status area on the desktop: no icon, and not a word about it.
    void showsNothingWithoutAWatcher() {
        if (watcher)
            QSKIP("a status area is on the bus in this run; run this test alone");
        QTest::failOnWarning(QRegularExpression("."));
        QVERIFY(panel->open(down));
        QVERIFY(!panel->window->findChild<StatusIcon*>());
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        QVERIFY(!QDBusConnection::sessionBus().objectRegisteredAt("/StatusNotifierItem"));
    }
};

QTEST_MAIN(TestStatusIcon)
#include "tst_statusicon.moc"
