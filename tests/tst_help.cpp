// The Help menu on the real offscreen window: the panel's own log window and the About box.
#include "platform/logbook.h"

#include "testsupport.h"

#include <future>

// The lines the log window shows since the window's last load, or all when none is among them, without
// their timestamps; "+" marks a line that goes on from the line before it, without a timestamp of its own.
static QStringList shownLines(QWidget* log) {
    static const QRegularExpression stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  )");
    QStringList lines;
    for (const QString& line : log->findChild<QPlainTextEdit*>("logLines")->toPlainText().split('\n'))
        lines.append(stamp.match(line).hasMatch() ? line.mid(25) : '+' + line);
    return lines.mid(std::max<qsizetype>(0, lines.lastIndexOf("window load")));
}

class TestHelp : public QObject {
    Q_OBJECT

private:
    std::optional<Panel> panel;
    QList<QUrl> opened;

    QWidget* openLog() {
        panel->trigger("actionShowLog");
        return panel->window->findChild<QWidget*>("logWindow");
    }

public slots:
    void open(const QUrl& url) { opened.append(url); }

private slots:
    void init() { panel.emplace(); }

    // What the panel logged in this run, from the window's load on, in order, and the lines that come
    // while the log is open, from any thread (a failure's words on two lines, as a start or stop logs them):
    // the log blocks nothing, not being modal. One log window at a time.
    void showsTheRunsLines() {
        QVERIFY(panel->open(up));
        QWidget* log = openLog();
        QVERIFY(log && log->isVisible() && panel->window->isEnabled() && !log->isModal());
        std::async(std::launch::async, [] { systemLog("stop err: 1\r\n2"); }).wait();
        QTRY_COMPARE(shownLines(log), (QStringList{"window load", "checking status..", "stop err: 1", "+2"}));
        QCOMPARE(openLog(), log);
    }

    // Only the last 1,000 lines stay, in the window as in the LogBook: the 1,001st drops the first, whether
    // it came before the window opened or while it was open, with all the line breaks each holds. The
    // window says so, follows the new lines, copies what it shows, and is gone once closed.
    void keepsTheLastThousandLines_data() {
        QTest::addColumn<int>("beforeOpening"); // of 1,001 lines
        QTest::newRow("before opening") << 1001;
        QTest::newRow("while open") << 1000;
    }

    void keepsTheLastThousandLines() {
        QFETCH(int, beforeOpening);
        QVERIFY(panel->open(down));
        const qint64 earlier = LogBook::since(0).written;
        const auto write = [](int from, int to) {
            for (int n = from; n <= to; ++n)
                LogBook::append("2026-12-07 12:00:00.000", QString("line %1\r\nmore\rand more").arg(n));
        };
        write(1, beforeOpening);
        QWidget* log = openLog();
        write(beforeOpening + 1, 1001);
        QStringList expected;
        for (int n = 2; n <= 1001; ++n)
            expected << QString("line %1").arg(n) << QStringList{"+more", "+and more"};
        QTRY_COMPARE(shownLines(log), expected);
        const auto* dropped = log->findChild<QLabel*>("droppedLabel");
        QCOMPARE(dropped->isVisibleTo(log) ? dropped->text().section(": ", -1) : "hidden",
                 QLocale().toString(earlier + 1) + ".");
        const QScrollBar* scroll = log->findChild<QPlainTextEdit*>()->verticalScrollBar();
        QVERIFY(scroll->maximum() > 0 && scroll->value() == scroll->maximum());
        QTest::mouseClick(log->findChild<QPushButton*>("copyAllButton"), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), log->findChild<QPlainTextEdit*>()->toPlainText());
        QVERIFY(log->close());
        QTRY_VERIFY(!panel->window->findChild<QWidget*>("logWindow"));
    }

    // The About box opens the window's own pages (the account server's and the website's), beside the
    // window, one box at a time.
    void tellsAboutThePanel() {
        for (const char* scheme : {"https", "http"})
            QDesktopServices::setUrlHandler(scheme, this, "open");
        QVERIFY(panel->open(down));
        panel->trigger("actionAbout");
        auto* about = panel->window->findChild<QDialog*>("aboutBox");
        QVERIFY(about && about->isVisible() && !about->isModal() && panel->window->isEnabled());
        for (const char* link : {"accountLink", "privacyLink", "termsLink"})
            QTest::mouseClick(about->findChild<QPushButton*>(link), Qt::LeftButton);
        QCOMPARE(opened, (QList<QUrl>{panel->account.url("/main"), QUrl("https://www.test/pp"),
                                      QUrl("https://www.test/tos")}));
        panel->trigger("actionAbout");
        QCOMPARE(panel->window->findChildren<QDialog*>("aboutBox").size(), 1);
        for (const char* scheme : {"https", "http"})
            QDesktopServices::unsetUrlHandler(scheme);
    }
};

QTEST_MAIN(TestHelp)
#include "tst_help.moc"
