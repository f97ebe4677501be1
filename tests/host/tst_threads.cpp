// VXThread's name reaches the operating system, and InvokeMethodQueued posts slot calls into the
// target object's thread, in order, with copies of the arguments.

#include "VXFoundation/VXThread.h"
#include "VXFoundation/VXThreadUtils.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>
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
    void workerLoopRunsTimersAndSocketNotifiers();
    void burstsOfCallsFromSeveralThreadsAllArrive();
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
    QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 20000);  // Done comes from the worker: it may beat wait()
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
    QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 20000);  // Done comes from the worker: it may beat wait()
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

// The worker's event loop is not only for queued calls: timers and socket notifiers created in
// the worker work there too.
void TestThreads::workerLoopRunsTimersAndSocketNotifiers()
{
    VXThread thread;
    thread.start();
    int fds[2];
    QVERIFY(::pipe(fds) == 0);
    std::atomic<int> timerShots{0};
    std::atomic<bool> readable{false};
    QObject* context = new QObject;
    context->moveToThread(&thread);
    QSocketNotifier* notifier = nullptr;
    QMetaObject::invokeMethod(context, [&] {
        auto* timer = new QTimer(context);
        QObject::connect(timer, &QTimer::timeout, [&timerShots, timer] {
            if (++timerShots == 3)
                timer->stop();
        });
        timer->start(5);
        notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, context);
        QObject::connect(notifier, &QSocketNotifier::activated, [&readable, fds] {
            char c;
            (void)::read(fds[0], &c, 1);
            readable = true;
        });
    }, Qt::BlockingQueuedConnection);
    QTRY_COMPARE_WITH_TIMEOUT(timerShots.load(), 3, 20000);
    QVERIFY(!readable);
    QCOMPARE(::write(fds[1], "x", 1), ssize_t(1));
    QTRY_VERIFY_WITH_TIMEOUT(readable.load(), 20000);
    QMetaObject::invokeMethod(context, [context] { delete context; }, Qt::BlockingQueuedConnection);
    thread.quit();
    QVERIFY(thread.wait(20000));
    ::close(fds[0]);
    ::close(fds[1]);
}

// Wake-ups are coalesced: calls posted by several threads at once, while the worker is busy or
// asleep, must all run, none twice.
void TestThreads::burstsOfCallsFromSeveralThreadsAllArrive()
{
    VXThread thread;
    auto* worker = new Worker;
    worker->moveToThread(&thread);
    thread.start();
    const int perThread = 20000;
    QList<QThread*> posters;
    for (int t = 0; t < 4; ++t) {
        posters.append(QThread::create([worker, t] {
            for (int i = 0; i < perThread; ++i)
                VXThreadUtils::InvokeMethodQueued(worker, "Record", Q_ARG(QByteArray, QByteArray::number(t)));
        }));
    }
    for (QThread* poster : posters)
        poster->start();
    for (QThread* poster : posters)
        QVERIFY(poster->wait(60000));
    qDeleteAll(posters);
    QSignalSpy done(worker, &Worker::Done);
    QVERIFY(VXThreadUtils::InvokeMethodQueued(worker, "RememberThreadId"));
    QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 60000);  // Done comes from the worker: it may beat wait()
    thread.quit();
    QVERIFY(thread.wait(20000));
    QCOMPARE(worker->received.size(), 4 * perThread);
    QMap<QByteArray, int> perPoster;
    for (const QByteArray& from : worker->received)
        ++perPoster[from];
    for (int t = 0; t < 4; ++t)
        QCOMPARE(perPoster.value(QByteArray::number(t)), perThread);
    delete worker;
}

QTEST_GUILESS_MAIN(TestThreads)
#include "tst_threads.moc"
