// The receive backlog between the receiver's thread and the server's, without a pipe: the
// producer waits once a limit is reached and goes on once half of both has been taken, the exit
// event always ends the wait, and no wake-up is lost however the two threads race.

#include "TransportTest.h"

#include "PlatformKKWrapper/VXPipeBacklog.h"

#include <QSemaphore>
#include <QThread>
#include <QtTest>

class TestBacklog : public QObject
{
    Q_OBJECT

private slots:
    void limits_data();
    void limits();
    void waitForRoom_data();
    void waitForRoom();
    void racingThreadsLoseNoWakeUp();
};

void TestBacklog::limits_data()
{
    QTest::addColumn<int>("payloads");
    QTest::addColumn<int>("bytesEach");
    QTest::addColumn<bool>("full");
    QTest::newRow("below both") << 9 << 100 << false;
    QTest::newRow("payload limit") << 10 << 1 << true;
    QTest::newRow("byte limit") << 2 << 500 << true;
    QTest::newRow("one large payload") << 1 << 5000 << true;
}

void TestBacklog::limits()
{
    QFETCH(int, payloads);
    QFETCH(int, bytesEach);
    QFETCH(bool, full);
    VXPipeBacklog backlog(1000, 10);
    for (int i = 0; i < payloads; ++i)
        backlog.Add(bytesEach);
    QCOMPARE(backlog.IsFull(), full);
    QCOMPARE(backlog.Bytes(), qint64(payloads) * bytesEach);
    QCOMPARE(backlog.PeakPayloads(), payloads);
}

void TestBacklog::waitForRoom_data()
{
    QTest::addColumn<int>("added");
    QTest::addColumn<int>("bytesEach");
    QTest::addColumn<int>("takenStillWaiting");  // -1: the exit event ends the wait instead
    QTest::newRow("payload limit: on once 5 of 10 are left") << 10 << 1 << 4;
    QTest::newRow("byte limit: on once 500 of 1000 bytes are left") << 4 << 250 << 1;
    QTest::newRow("exit event") << 1 << 2000 << -1;
}

void TestBacklog::waitForRoom()
{
    QFETCH(int, added);
    QFETCH(int, bytesEach);
    QFETCH(int, takenStillWaiting);
    VXPipeBacklog backlog(1000, 10);
    const HANDLE exitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (int i = 0; i < added; ++i)
        backlog.Add(bytesEach);
    std::atomic<int> room{-1};
    std::thread producer([&] { room = backlog.WaitForRoom(exitEvent) ? 1 : 0; });
    auto end = qScopeGuard([&] {
        SetEvent(exitEvent);  // a failed check must not leave the producer waiting
        producer.join();
        CloseHandle(exitEvent);
    });
    QTRY_VERIFY_WITH_TIMEOUT(backlog.IsProducerWaiting(), kLong);
    if (takenStillWaiting < 0) {
        SetEvent(exitEvent);
    } else {
        for (int i = 0; i < takenStillWaiting; ++i)
            backlog.Take(bytesEach);
        QTest::qWait(100);  // more than half is left: a wake-up now would be too early
        QCOMPARE(room.load(), -1);
        backlog.Take(bytesEach);
    }
    QTRY_VERIFY_WITH_TIMEOUT(room >= 0, kLong);
    QCOMPARE(room.load(), takenStillWaiting < 0 ? 0 : 1);
}

// The producer hands over and waits for room as the receiver does; the consumer takes each
// payload as it arrives, as the server does. A lost wake-up leaves the producer waiting for good.
void TestBacklog::racingThreadsLoseNoWakeUp()
{
    const int total = 200000;
    VXPipeBacklog backlog(64, 4);
    const HANDLE exitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    QSemaphore handedOver;
    QThread* producer = QThread::create([&] {
        for (int i = 0; i < total && backlog.WaitForRoom(exitEvent); ++i) {
            backlog.Add(1 + i % 20);
            handedOver.release();
        }
    });
    QThread* consumer = QThread::create([&] {
        for (int i = 0; i < total; ++i) {
            handedOver.acquire();
            backlog.Take(1 + i % 20);
        }
    });
    producer->start();
    consumer->start();
    const bool done = producer->wait(kLong * 4) && consumer->wait(kLong);
    if (!done) {
        SetEvent(exitEvent);  // let a stuck producer go, so the threads can be joined
        handedOver.release(total);
        producer->wait();
        consumer->wait();
    }
    delete producer;
    delete consumer;
    CloseHandle(exitEvent);
    QVERIFY2(done, "the producer waited for room that had already been made");
    QCOMPARE(backlog.Payloads(), 0);
    QCOMPARE(backlog.Bytes(), qint64(0));
    QVERIFY(backlog.PeakPayloads() <= 4);
}

QTEST_GUILESS_MAIN(TestBacklog)
#include "tst_backlog.moc"
