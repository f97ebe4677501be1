// VXThread's name reaches the kernel; its dispatcher runs queued calls (wake-ups coalesced, none
// lost, each poster's in order, with copies of the arguments), timers and socket notifiers.

#include "VXFoundation/VXThread.h"
#include "VXFoundation/VXThreadUtils.h"

#include <QSignalSpy>
#include <QSocketNotifier>
#include <QtTest>
#include <atomic>
#include <memory>
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
    void Record(const QByteArray& data) { ranIn = QThread::currentThread(); received.append(data); }
    void Ping() { osThreadId = long(::syscall(SYS_gettid)); emit Done(); }
signals:
    void Done();
};

class TestThreads : public QObject
{
    Q_OBJECT
    std::unique_ptr<VXThread> m_thread;
    Worker* m_worker = nullptr;

    // Returns once every call posted before has run in the worker's thread.
    void Drain()
    {
        QSignalSpy done(m_worker, &Worker::Done);
        QVERIFY(VXThreadUtils::InvokeMethodQueued(m_worker, "Ping"));
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 60000);  // emitted in the worker: may beat wait()
    }

private slots:
    void init()
    {
        m_thread.reset(new VXThread);
        m_worker = new Worker;
        m_worker->moveToThread(m_thread.get());
    }
    void cleanup()
    {
        m_thread.reset();  // stops the thread if it runs
        delete m_worker;
    }
    // An owner may delete a thread it never started: the dispatcher made for it goes too (the
    // leak checker of the sanitizer build fails this otherwise).
    void threadNeverStartedIsDeletedWhole() { QVERIFY(m_thread->eventDispatcher() != nullptr); }
    // Named before start and renamed while running; the kernel keeps 15 characters.
    void threadNameIsVisibleToTheSystem()
    {
        m_thread->SetThreadName(QStringLiteral("BeforeStart"));
        m_thread->start();
        Drain();
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(m_worker->osThreadId.load()));
        QVERIFY(comm.open(QIODevice::ReadOnly));
        QCOMPARE(comm.readAll(), QByteArray("BeforeStart\n"));
        m_thread->SetThreadName(QStringLiteral("VXPipeSenderThread"));
        QVERIFY(comm.seek(0));
        QCOMPARE(comm.readAll(), QByteArray("VXPipeSenderThr\n"));
        QCOMPARE(m_thread->objectName(), QStringLiteral("VXPipeSenderThread"));
    }
    // Bursts from several threads while the worker is busy or asleep: every call runs once, in
    // its poster's order, with the arguments as they were when posted.
    void queuedCallsFromSeveralThreadsAllArriveInOrder()
    {
        m_thread->start();
        QByteArray data("first");
        QVERIFY(VXThreadUtils::InvokeMethodQueued(m_worker, "Record", Q_ARG(QByteArray, data)));
        data = "changed after posting";
        const int perThread = 20000;
        QList<QThread*> posters;
        for (int t = 0; t < 4; ++t) {
            posters.append(QThread::create([this, t] {
                for (int i = t * perThread; i < (t + 1) * perThread; ++i)
                    VXThreadUtils::InvokeMethodQueued(m_worker, "Record", Q_ARG(QByteArray, QByteArray::number(i)));
            }));
            posters.last()->start();
        }
        for (QThread* poster : posters)
            QVERIFY(poster->wait(60000));
        qDeleteAll(posters);
        Drain();
        m_thread->quit();
        QVERIFY(m_thread->wait(20000));
        QCOMPARE(m_worker->ranIn, m_thread.get());
        QCOMPARE(m_worker->received.size(), 1 + 4 * perThread);
        QCOMPARE(m_worker->received.takeFirst(), QByteArray("first"));
        QVERIFY(!VXThreadUtils::InvokeMethodQueued(nullptr, "Record"));
        QVector<int> next{0, perThread, 2 * perThread, 3 * perThread};
        for (const QByteArray& call : qAsConst(m_worker->received))
            QCOMPARE(call.toInt(), next[call.toInt() / perThread]++);
    }
    void workerLoopRunsTimersAndSocketNotifiers()
    {
        m_thread->start();
        int fds[2];
        QVERIFY(::pipe(fds) == 0);
        std::atomic<int> timerShots{0}, bytesRead{0};
        QMetaObject::invokeMethod(m_worker, [&] {
            auto* timer = new QTimer(m_worker);
            connect(timer, &QTimer::timeout, [&timerShots, timer] { if (++timerShots == 3) timer->stop(); });
            timer->start(5);
            auto* notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, m_worker);
            connect(notifier, &QSocketNotifier::activated, [&bytesRead, fds] {
                char c;
                bytesRead += int(::read(fds[0], &c, 1));
            });
        }, Qt::BlockingQueuedConnection);
        QTRY_COMPARE_WITH_TIMEOUT(timerShots.load(), 3, 20000);
        QCOMPARE(bytesRead.load(), 0);
        QCOMPARE(::write(fds[1], "x", 1), ssize_t(1));
        QTRY_COMPARE_WITH_TIMEOUT(bytesRead.load(), 1, 20000);
        QMetaObject::invokeMethod(m_worker, [this] { qDeleteAll(m_worker->children()); }, Qt::BlockingQueuedConnection);
        ::close(fds[0]);
        ::close(fds[1]);
    }
};

QTEST_GUILESS_MAIN(TestThreads)
#include "tst_threads.moc"
