// The Help menu on the real offscreen window: the panel's own log window and the About box.
#include "app/application.h"
#include "platform/logbook.h"

#include "testsupport.h"

using namespace std::chrono_literals;

namespace {

// The lines the log window shows, without their timestamps; "+" marks a line that goes on from the line
// before it, without a timestamp of its own.
QStringList shownLines(QWidget* log) {
    static const QRegularExpression stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  )");
    QStringList lines;
    for (const QString& line : log->findChild<QPlainTextEdit*>("logLines")->toPlainText().split('\n'))
        lines.append(stamp.match(line).hasMatch() ? line.mid(25) : '+' + line);
    return lines;
}

QWidget* openLog(Panel& panel) {
    panel.window->findChild<QAction*>("actionShowLog")->trigger();
    return panel.window->findChild<QWidget*>("logWindow");
}

} // namespace

class TestHelp : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Panel> panel;
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened.append(url); }

private slots:
    void initTestCase() {
        QDesktopServices::setUrlHandler("https", this, "open");
        QDesktopServices::setUrlHandler("http", this, "open");
    }

    void cleanupTestCase() {
        QDesktopServices::unsetUrlHandler("https");
        QDesktopServices::unsetUrlHandler("http");
    }

    void init() {
        QSettings("nodepanel", "nodepanel").clear();
        panel.reset();
        panel = std::make_unique<Panel>();
        panel->settings.setValue("agree", true);
        opened.clear();
    }

    // What the panel logged in this run, from the window's load on, in order, including a failure's words
    // and the lines that come while the window is open. Other lines of the run (the exchanges' "xxoo") are
    // left out here.
    void showsTheRunsLines_data() {
        QTest::addColumn<bool>("start");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QStringList>("lines");
        const QStringList opening{"window load", "checking status.."};
        QTest::newRow("a failed start") << true << "no sudo" << opening + QStringList{"start err: no sudo"};
        QTest::newRow("a failed stop, two lines")
            << false << "1\r2" << opening + QStringList{"recv notification exit", "stop err: 1", "+2"};
        QTest::newRow("a start") << true << QString() << opening + QStringList{"checking status.."};
    }

    void showsTheRunsLines() {
        QFETCH(bool, start);
        QFETCH(QString, failure);
        QFETCH(QStringList, lines);
        panel->failure = failure.isNull()
                             ? std::nullopt
                             : std::optional(ScriptFailure(ScriptFailure::Kind::ScriptSaid, failure, 1));
        QVERIFY(panel->open(start ? down : up));
        panel->nodeSays(start ? up : down);
        QWidget* log = openLog(*panel);
        QVERIFY(log && log->isVisible() && panel->window->isEnabled() && !log->isModal());
        // The stop goes through the window's quit question, which the log does not block.
        if (!start) {
            requestTermination();
            QTRY_VERIFY(panel->sheet());
            for (QAbstractButton* button : panel->sheet()->buttons())
                if (button->text() == "YES")
                    QTest::mouseClick(button, Qt::LeftButton);
        } else {
            QTest::mouseClick(panel->widget<QPushButton>("startButton"), Qt::LeftButton);
        }
        const auto ours = [log] {
            QStringList shown = shownLines(log);
            shown = shown.mid(shown.lastIndexOf("window load"));
            shown.removeIf([](const QString& line) { return line.startsWith("xxoo "); });
            return shown;
        };
        QTRY_COMPARE(ours(), lines);
        QCOMPARE(openLog(*panel), log);
    }

    // Only the last 1,000 lines stay, in the window as in the LogBook: the 1,001st drops the first, whether
    // it came before the window opened or while it was open, and whatever line breaks it holds. The window
    // says so, follows the new lines, and copies what it shows.
    void keepsTheLastThousandLines_data() {
        QTest::addColumn<int>("beforeOpening");
        QTest::addColumn<int>("whileOpen");
        QTest::addColumn<QString>("more");
        QTest::newRow("before opening") << 1001 << 0 << "";
        QTest::newRow("while open") << 1000 << 1 << "";
        QTest::newRow("with line breaks") << 400 << 601 << "\r\nmore\rand more";
        QTest::newRow("all at once while open") << 0 << 2500 << "\r\n";
    }

    void keepsTheLastThousandLines() {
        QFETCH(int, beforeOpening);
        QFETCH(int, whileOpen);
        QFETCH(QString, more);
        QVERIFY(panel->open(down));
        const qint64 earlier = LogBook::since(0).written;
        const auto write = [&more](int from, int count) {
            for (int n = from; n < from + count; ++n)
                LogBook::append("2026-12-07 12:00:00.000", QString("line %1").arg(n) + more);
        };
        write(1, beforeOpening);
        QWidget* log = openLog(*panel);
        write(beforeOpening + 1, whileOpen);
        const int total = beforeOpening + whileOpen;
        QStringList expected;
        for (int n = total - 999; n <= total; ++n)
            expected += QString(QString("line %1").arg(n) + more)
                            .replace("\r\n", "\n+")
                            .replace('\r', "\n+")
                            .split('\n');
        QTRY_COMPARE(shownLines(log), expected);
        auto* dropped = log->findChild<QLabel*>("droppedLabel");
        QVERIFY(dropped->isVisibleTo(log));
        QVERIFY2(dropped->text().contains(": " + QLocale().toString(earlier + total - 1000) + "."),
                 qPrintable(dropped->text()));
        const QScrollBar* scroll = log->findChild<QPlainTextEdit*>()->verticalScrollBar();
        QVERIFY(scroll->maximum() > 0 && scroll->value() == scroll->maximum());
        QTest::mouseClick(log->findChild<QPushButton*>("copyAllButton"), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text().split('\n').size(), expected.size());
        QCOMPARE(QGuiApplication::clipboard()->text(), log->findChild<QPlainTextEdit*>()->toPlainText());
        // Closed, it is gone, and takes in nothing more.
        QVERIFY(log->close());
        QTRY_VERIFY(!panel->window->findChild<QWidget*>("logWindow"));
    }

    // The About box names the version and Qt's, beside the window, and opens the window's own pages; in
    // German too. Last: German stays installed.
    void tellsAboutThePanel_data() {
        QTest::addColumn<bool>("german");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("version");
        QTest::newRow("English") << false << "About Node Panel"
                                 << "Version " NODEPANEL_VERSION;
        QTest::newRow("German") << true << "Über Node Panel"
                                << "Version " NODEPANEL_VERSION;
    }

    void tellsAboutThePanel() {
        QFETCH(bool, german);
        QFETCH(QString, title);
        QFETCH(QString, version);
        if (german)
            installTranslations(QLocale(QLocale::German, QLocale::Germany));
        QVERIFY(panel->open(down));
        for (const char* link : {"viewButton", "ppButton", "tosButton"})
            QTest::mouseClick(panel->widget<QPushButton>(link), Qt::LeftButton);
        const QList<QUrl> windowPages = std::exchange(opened, {});
        panel->window->findChild<QAction*>("actionAbout")->trigger();
        auto* about = panel->window->findChild<QDialog*>("aboutBox");
        QVERIFY(about && about->isVisible() && !about->isModal() && panel->window->isEnabled());
        QCOMPARE(about->windowTitle(), title);
        QCOMPARE(about->findChild<QLabel*>("versionText")->text(), version);
        QCOMPARE(about->findChild<QLabel*>("qtText")->text().split(' ').last(), QString(qVersion()));
        for (const char* link : {"accountLink", "privacyLink", "termsLink"})
            QTest::mouseClick(about->findChild<QPushButton*>(link), Qt::LeftButton);
        QCOMPARE(opened, windowPages);
        QCOMPARE(windowPages.size(), 3);
        panel->window->findChild<QAction*>("actionAbout")->trigger();
        QCOMPARE(panel->window->findChildren<QDialog*>("aboutBox").size(), 1);
        QTest::keyClick(about, Qt::Key_Escape);
        QTRY_VERIFY(!panel->window->findChild<QDialog*>("aboutBox"));
    }
};

QTEST_MAIN(TestHelp)
#include "tst_help.moc"
