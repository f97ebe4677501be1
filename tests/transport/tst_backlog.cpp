// The receive backlog between the receiver's thread and the server's, without a pipe: the
// producer waits once a limit is reached and goes on once half has been taken, the exit event
// always ends the wait, and no wake-up is lost however the two threads race.

#include "PlatformKKWrapper/VXPipeBacklog.h"

#include <QSemaphore>
#include <QThread>
#include <QtTest>

#include <atomic>

namespace {
const int kLong = 30000;  // ms
}

class TestBacklog : public QObject
{
    Q_OBJECT

private slots:
    void limits_data();
    void limits();
    void producerGoesOnOnceHalfIsTaken();
    void exitEventEndsTheWait();
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

void TestBacklog::producerGoesOnOnceHalfIsTaken()
{
    VXPipeBacklog backlog(1000, 10);
    const HANDLE exitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (int i = 0; i < 10; ++i)
        backlog.Add(1);
    std::atomic<bool> room{false};
    QThread* producer = QThread::create([&] { room = backlog.WaitForRoom(exitEvent); });
    producer->start();
    QTRY_VERIFY_WITH_TIMEOUT(backlog.IsProducerWaiting(), kLong);
    for (int i = 0; i < 4; ++i)
        backlog.Take(1);
    QVERIFY(!producer->wait(100));  // six left: more than half the limit
    QVERIFY(backlog.IsProducerWaiting());
    backlog.Take(1);
    QVERIFY(producer->wait(kLong));
    QVERIFY(room);
    delete producer;
    CloseHandle(exitEvent);
}

void TestBacklog::exitEventEndsTheWait()
{
    VXPipeBacklog backlog(1000, 10);
    const HANDLE exitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    backlog.Add(2000);
    std::atomic<bool> room{true};
    QThread* producer = QThread::create([&] { room = backlog.WaitForRoom(exitEvent); });
    producer->start();
    SetEvent(exitEvent);
    QVERIFY(producer->wait(kLong));
    QVERIFY(!room);
    delete producer;
    CloseHandle(exitEvent);
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
        for (int i = 0; i < total; ++i) {
            if (!backlog.WaitForRoom(exitEvent))
                return;
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
    QVERIFY2(done, "the producer waited for room that had already been made");
    QCOMPARE(backlog.Payloads(), 0);
    QCOMPARE(backlog.Bytes(), qint64(0));
    QVERIFY(backlog.PeakPayloads() <= 4);
    delete producer;
    delete consumer;
    CloseHandle(exitEvent);
}

QTEST_GUILESS_MAIN(TestBacklog)
#include "tst_backlog.moc"
