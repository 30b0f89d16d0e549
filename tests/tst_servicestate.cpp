#include "control/servicestate.h"

#include <QtTest>

#include <limits>
#include <thread>

class TestServiceState : public QObject {
    Q_OBJECT

private slots:
    // Runs first: nothing in this process has written the state yet.
    void readsDownBeforeAnyQuery() { QCOMPARE(currentServiceState(), ServiceState::deviceStateDown); }

    void convertsFromRaw_data() {
        QTest::addColumn<qint64>("raw");
        QTest::addColumn<int>("expected"); // -1: no state

        QTest::newRow("0") << qint64(0) << 0;
        QTest::newRow("1") << qint64(1) << 1;
        QTest::newRow("2") << qint64(2) << 2;
        QTest::newRow("3") << qint64(3) << -1;
        QTest::newRow("-1") << qint64(-1) << -1;
        QTest::newRow("largest") << std::numeric_limits<qint64>::max() << -1;
        QTest::newRow("smallest") << std::numeric_limits<qint64>::min() << -1;
    }

    void convertsFromRaw() {
        QFETCH(qint64, raw);
        QFETCH(int, expected);
        const std::optional<ServiceState> state = serviceStateFromRaw(raw);
        QCOMPARE(state.has_value(), expected >= 0);
        if (state)
            QCOMPARE(rawValue(*state), qint64(expected));
    }

    // A write from another thread is seen whole by the next reader, and nothing resets it.
    void keepsTheLastWriteAcrossThreads() {
        std::thread writer([] { setCurrentServiceState(ServiceState::deviceStateClosed); });
        writer.join();
        QCOMPARE(currentServiceState(), ServiceState::deviceStateClosed);
        QVERIFY(currentServiceState() != ServiceState::deviceStateDown);
        setCurrentServiceState(ServiceState::deviceStateUp);
        ServiceState seen = ServiceState::deviceStateDown;
        std::thread reader([&seen] { seen = currentServiceState(); });
        reader.join();
        QCOMPARE(seen, ServiceState::deviceStateUp);
    }
};

QTEST_GUILESS_MAIN(TestServiceState)
#include "tst_servicestate.moc"
