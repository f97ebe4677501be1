// VXThread's name reaches the operating system, and InvokeMethodQueued posts slot calls into the
// target object's thread, in order, with copies of the arguments.

#include "VXFoundation/VXThread.h"
#include "VXFoundation/VXThreadUtils.h"

#include <QFile>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <sys/syscall.h>
#include <unistd.h>

class Worker : public QObject
{
    Q_OBJECT
public:
    std::atomic<long> osThreadId{0};
    QList<QByteArray> received;  // written in the worker's thread, read after it has stopped
    QThread* ranIn = nullptr;

public slots:
    void Record(const QByteArray& data)
    {
        ranIn = QThread::currentThread();
        received.append(data);
    }
    void RememberThreadId()
    {
        osThreadId = long(::syscall(SYS_gettid));
        emit Done();
    }

signals:
    void Done();
};

class TestThreads : public QObject
{
    Q_OBJECT

private slots:
    void threadNameIsVisibleToTheSystem_data();
    void threadNameIsVisibleToTheSystem();
    void invokeQueuedRunsInTheObjectsThreadInOrder();
    void invokeQueuedRefusesWhatCannotBeCalled();
};

void TestThreads::threadNameIsVisibleToTheSystem_data()
{
    QTest::addColumn<bool>("nameBeforeStart");
    QTest::newRow("named before start") << true;
    QTest::newRow("named while running") << false;
}

void TestThreads::threadNameIsVisibleToTheSystem()
{
    QFETCH(bool, nameBeforeStart);
    VXThread thread;
    auto* worker = new Worker;
    if (nameBeforeStart)
        thread.SetThreadName(QStringLiteral("VXPipeSenderThread"));
    worker->moveToThread(&thread);
    thread.start();
    if (!nameBeforeStart)
        thread.SetThreadName(QStringLiteral("VXPipeSenderThread"));

    QSignalSpy done(worker, &Worker::Done);
    QVERIFY(VXThreadUtils::InvokeMethodQueued(worker, "RememberThreadId"));
    QVERIFY(done.wait(20000));
    QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(worker->osThreadId.load()));
    QVERIFY(comm.open(QIODevice::ReadOnly));
    // The kernel keeps 15 characters of a thread name.
    QTRY_COMPARE_WITH_TIMEOUT((comm.seek(0), comm.readAll().trimmed()), QByteArray("VXPipeSenderThr"), 10000);
    QCOMPARE(thread.objectName(), QStringLiteral("VXPipeSenderThread"));

    thread.quit();
    thread.wait();
    delete worker;  // its thread has finished
}

void TestThreads::invokeQueuedRunsInTheObjectsThreadInOrder()
{
    VXThread thread;
    auto* worker = new Worker;
    worker->moveToThread(&thread);
    thread.start();

    QByteArray data("first");
    QVERIFY(VXThreadUtils::InvokeMethodQueued(worker, "Record", Q_ARG(QByteArray, data)));
    data = "changed after posting";  // the call carries its own copy
    for (int i = 0; i < 100; ++i)
        QVERIFY(VXThreadUtils::InvokeMethodQueued(worker, "Record", Q_ARG(QByteArray, QByteArray::number(i))));
    // The last call signals that all before it have run (a quit() could overtake them: it
    // stops an event loop that has not started yet before it processes anything).
    QSignalSpy done(worker, &Worker::Done);
    QVERIFY(VXThreadUtils::InvokeMethodQueued(worker, "RememberThreadId"));
    QVERIFY(done.wait(20000));
    thread.quit();
    QVERIFY(thread.wait(20000));

    QCOMPARE(worker->ranIn, &thread);
    QCOMPARE(worker->received.size(), 101);
    QCOMPARE(worker->received.first(), QByteArray("first"));
    for (int i = 0; i < 100; ++i)
        QCOMPARE(worker->received.at(i + 1), QByteArray::number(i));
    delete worker;
}

void TestThreads::invokeQueuedRefusesWhatCannotBeCalled()
{
    Worker worker;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("No such method"));
    QVERIFY(!VXThreadUtils::InvokeMethodQueued(&worker, "NoSuchSlot"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("No such method"));
    QVERIFY(!VXThreadUtils::InvokeMethodQueued(&worker, "Record", Q_ARG(int, 1)));
    QVERIFY(!VXThreadUtils::InvokeMethodQueued(nullptr, "Record"));
}

QTEST_GUILESS_MAIN(TestThreads)
#include "tst_threads.moc"
