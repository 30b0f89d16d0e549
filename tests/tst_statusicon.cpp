// The status icon on an X display of its own and a session bus of its own, where the suite stands in for
// the desktop's status area (a StatusNotifierWatcher) and reads the panel's item as a desktop would.
#include "testsupport.h"

#include <QtDBus>

// The status area's watcher. It answers on a thread of its own: the panel asks it with blocking calls.
class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)

public:
    bool hostRegistered() const { return true; }

public slots:
    void RegisterStatusNotifierItem(const QString& service) { emit registered(service); }

signals:
    void registered(const QString& service);
};

class TestStatusIcon : public QObject {
    Q_OBJECT

private:
    std::optional<Panel> panel;
    QThread watcherThread;
    Watcher watcher;
    // The items registered with the watcher, in order.
    QStringList items;
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "desktop");
    // The NewIcon and NewToolTip signals the item sent.
    int told = 0;

    // A call to the panel's first item, without blocking: the panel answers on this thread. Before the item
    // is registered, an error.
    QDBusMessage callItem(const QString& interface, const QString& method, const QVariantList& arguments) {
        QDBusMessage message =
            QDBusMessage::createMethodCall(items.value(0), "/StatusNotifierItem", interface, method);
        message.setArguments(arguments);
        QDBusPendingCall call = bus.asyncCall(message);
        return QTest::qWaitFor([&call] { return call.isFinished(); }) ? call.reply() : QDBusMessage();
    }

    QSystemTrayIcon* tray() const { return panel->window->findChild<QSystemTrayIcon*>(); }

    QAction* menuEntry(const QString& text) const {
        for (QAction* action : tray() ? tray()->contextMenu()->actions() : QList<QAction*>())
            if (action->text().remove('&') == text)
                return action;
        return nullptr;
    }

    // "icon | tooltip | the menu's Start and Stop where enabled", the icon's name as the desktop reads it.
    QString shown() {
        const QDBusMessage icon =
            callItem("org.freedesktop.DBus.Properties", "Get", {"org.kde.StatusNotifierItem", "IconName"});
        QStringList said{icon.arguments().value(0).value<QDBusVariant>().variant().toString(),
                         tray() ? tray()->toolTip() : "no icon"};
        for (const char* entry : {"Start", "Stop"})
            if (menuEntry(entry) && menuEntry(entry)->isEnabled())
                said.append(entry);
        return said.join(" | ");
    }

public slots:
    void tell() { ++told; }

private slots:
    void initTestCase() {
        prepareApplication();
        QSettings("nodepanel", "nodepanel").clear();
        QVERIFY(bus.isConnected());
        // Run alone, the last test sees a desktop without a status area.
        if (QCoreApplication::arguments().contains("showsNothingWithoutAWatcher"))
            return;
        watcher.moveToThread(&watcherThread);
        connect(&watcher, &Watcher::registered, this, [this](const QString& item) { items.append(item); });
        watcherThread.start();
        QVERIFY(bus.registerObject("/StatusNotifierWatcher", &watcher,
                                   QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties) &&
                bus.registerService("org.kde.StatusNotifierWatcher"));
    }

    void cleanupTestCase() {
        panel.reset();
        watcherThread.quit();
        watcherThread.wait();
    }

    // One item, whose icon, tooltip and menu follow the views from stopped to busy to running and back, and
    // the uptime a minute at a time: the desktop is told only what changed. A click on the icon brings the
    // minimised window back. The menu's entries act through the window, which shows first: Start asks for
    // the agreement where the box is off, and Quit goes through the quit gate, which asks to stop a
    // running node and lets a stopped panel go at once.
    void followsTheViewsAndActsThroughTheWindow() {
        const auto use = [this](const char* entry) {
            panel->window->showMinimized();
            // The icon follows the views a moment later.
            return QTest::qWaitFor([&] { return menuEntry(entry) && menuEntry(entry)->isEnabled(); }) &&
                   (menuEntry(entry)->trigger(), !panel->window->isMinimized());
        };
        panel.emplace();
        QVERIFY(panel->open(down));
        const QString name = "org.nodepanel.NodePanel-",
                      stopped = name + "stopped | The node is stopped | Start";
        QTRY_COMPARE(shown(), stopped);
        const QString item = items.last();
        for (const char* signal : {"NewIcon", "NewToolTip"})
            QVERIFY(bus.connect(item, "/StatusNotifierItem", "org.kde.StatusNotifierItem", signal, this,
                                SLOT(tell())));
        panel->window->showMinimized();
        callItem("org.kde.StatusNotifierItem", "Activate", {0, 0});
        QTRY_VERIFY(!panel->window->isMinimized() && panel->window->isVisible());
        panel->hold();
        QVERIFY(use("Start"));
        QTRY_COMPARE(panel->question(),
                     "Confirmation/Do you agree to the Terms of Service and Privacy Policy?");
        QVERIFY(panel->reply("YES"));
        QTRY_COMPARE(shown(), name + "busy | Starting Service..");
        panel->nodeSays(up);
        panel->release();
        QTRY_COMPARE(shown(), name + "running | The node is running\nUptime: 0 h 00 min | Stop");
        QVERIFY(std::exchange(told, 0) > 0);
        panel->tick(59);
        panel->screen()->refreshStateViews();
        QTest::qWait(100);
        QCOMPARE(told, 0);
        panel->tick();
        QTRY_COMPARE(shown(), name + "running | The node is running\nUptime: 0 h 01 min | Stop");
        QCOMPARE(told, 1);
        panel->nodeSays(down);
        QVERIFY(use("Quit"));
        QTRY_COMPARE(panel->question(), "Do you want to exit?/The service is running, stop it now?");
        QVERIFY(panel->reply("YES"));
        QTRY_COMPARE(shown(), stopped);
        QCOMPARE(panel->commands(), (QStringList{"./manager.sh up", "./manager.sh down"}));
        QCOMPARE(panel->quits(), QList<int>());
        QVERIFY(use("Quit"));
        QTRY_COMPARE(panel->quits(), QList<int>{0});
        QCOMPARE(std::pair(panel->question(), items), std::pair(QString(), QStringList{item}));
    }

    // The window's frames go to the display through the connection: in shared memory, each would wait for
    // the display server. What the panel starts gets the environment that the panel was given.
    void sendsItsFramesThroughTheConnection() {
        QVERIFY(panel.emplace().open(down) && QTest::qWaitForWindowExposed(panel->window.get()));
        QFile maps("/proc/self/maps");
        QVERIFY(maps.open(QIODevice::ReadOnly) && !maps.readAll().contains(" rw-s "));
        QVERIFY(!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM"));
    }

    // Without a status area on the desktop: no icon, and not a word about it.
    void showsNothingWithoutAWatcher() {
        if (watcherThread.isRunning())
            QSKIP("a status area is on the bus in this run; run this test alone");
        QTest::failOnWarning(QRegularExpression("."));
        panel.emplace();
        QVERIFY(panel->open(down));
        QVERIFY(!tray());
    }
};

// The application object as the panel opens it.
int main(int argc, char* argv[]) {
    const std::unique_ptr<QApplication> app = openApplication(argc, argv);
    TestStatusIcon test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_statusicon.moc"
