#include "host/utils.h"

#include "screenprobe.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

class TestConfirmation : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QMainWindow> window;
    QList<int> answers;

    QMessageBox* ask(const QVariantList& titles) {
        Utils::showConfirmation(QStringLiteral("Confirmation"),
                                QStringLiteral("Do you want to exit the app?"), window.get(), titles,
                                [this](int response) { answers.append(response); });
        // It returns before any answer.
        [&] { QVERIFY(answers.isEmpty()); }();
        QMessageBox* box = window->findChild<QMessageBox*>();
        [&] { QTRY_VERIFY(box && box->isVisible()); }();
        return box;
    }

private slots:
    void init() {
        window = std::make_unique<QMainWindow>();
        window->resize(400, 300);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        answers.clear();
    }

    void cleanup() { window.reset(); }

    void answersWithTheButtonIndex_data() {
        QTest::addColumn<QVariantList>("titles");
        QTest::addColumn<QString>("press"); // a button title, or "Return"
        QTest::addColumn<int>("response");

        const QVariantList noYes{QStringLiteral("NO"), QStringLiteral("YES")};
        const QVariantList yesNo{QStringLiteral("YES"), QStringLiteral("NO")};
        QTest::newRow("NO, YES: YES") << noYes << "YES" << 1001;
        QTest::newRow("NO, YES: NO") << noYes << "NO" << 1000;
        QTest::newRow("NO, YES: Return") << noYes << "Return" << 1000;
        QTest::newRow("YES, NO: YES") << yesNo << "YES" << 1000;
        QTest::newRow("YES, NO: NO") << yesNo << "NO" << 1001;
        QTest::newRow("YES, NO: Return") << yesNo << "Return" << 1000;
        QTest::newRow("not a text between: B")
            << QVariantList{QStringLiteral("A"), 7, QStringLiteral("B")} << "B" << 1001;
    }

    void answersWithTheButtonIndex() {
        QFETCH(QVariantList, titles);
        QFETCH(QString, press);
        QFETCH(int, response);

        QMessageBox* box = ask(titles);
        QVERIFY(box);
        QCOMPARE(box->buttons().size(), 2);
        QCOMPARE(box->text(), QStringLiteral("Confirmation"));
        QCOMPARE(box->informativeText(), QStringLiteral("Do you want to exit the app?"));
        QCOMPARE(box->icon(), QMessageBox::Information);
        QCOMPARE(box->windowModality(), Qt::WindowModal);
        if (press == QLatin1String("Return"))
            QTest::keyClick(box, Qt::Key_Return);
        else
            QTest::mouseClick(buttonTitled(box, press), Qt::LeftButton);
        QTRY_COMPARE(answers, QList<int>{response});
        QTRY_VERIFY(!window->findChild<QMessageBox*>());
        QCOMPARE(answers.size(), 1);
    }

    // The first button is the default and stands rightmost.
    void putsTheDefaultRightmost() {
        QMessageBox* box = ask({QStringLiteral("NO"), QStringLiteral("YES")});
        QPushButton* first = buttonTitled(box, QStringLiteral("NO"));
        QPushButton* second = buttonTitled(box, QStringLiteral("YES"));
        QCOMPARE(box->defaultButton(), first);
        QVERIFY(first->mapToGlobal(QPoint()).x() > second->mapToGlobal(QPoint()).x());
        QTest::mouseClick(first, Qt::LeftButton);
    }

    // Only a button ends the question: an agreement must never be given, or refused, by accident.
    void ignoresEscapeAndClose() {
        QMessageBox* box = ask({QStringLiteral("YES"), QStringLiteral("NO")});
        QTest::keyClick(box, Qt::Key_Escape);
        QVERIFY(!box->close());
        QCoreApplication::processEvents();
        QVERIFY(box->isVisible());
        QVERIFY(answers.isEmpty());
        QTest::mouseClick(buttonTitled(box, QStringLiteral("NO")), Qt::LeftButton);
        QTRY_COMPARE(answers, QList<int>{1001});
    }
};

QTEST_MAIN(TestConfirmation)
#include "tst_confirmation.moc"
