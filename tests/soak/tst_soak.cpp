// Fault injection for KK_SOAK_SECONDS (default 50; KK_SOAK_SEED repeats a run). Each round kills the
// working client; the next launch dies at a random point of its life or is killed from outside at a
// random moment, later ones are healthy; the host starts a client whenever told none will come. Each
// round must end with one working client and no other. Then KK_SOAK_VOLUME (100000) messages each way.

#include "ClientProcesses.h"
#include "FakeClock.h"
#include "ManagerInspector.h"
#include "RecordingCallback.h"

#include <QRandomGenerator>
#include <QtTest>

// QtTest's watchdog runs on the monotonic clock, which the soak moves by minutes; CTest's time limit stays.
static const bool kWatchdogLimit = qputenv("QTEST_FUNCTION_TIMEOUT", "2000000000");

static int EnvInt(const char* name, int fallback)
{
    return qEnvironmentVariableIntValue(name) > 0 ? qEnvironmentVariableIntValue(name) : fallback;
}

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        VXKopkopManager::ReleaseInstance();
        m_host.reset();
    }
    void clientsDyingAnywhereNeverWedgeTheModule();
    void volumeLosesNothing();

private:
    // The host's module (released by cleanup()); called again, it sets the launch mode.
    VXKopkopManager* Module(bool useVxProcess, RecordingCallback* callback)
    {
        if (!m_host)
            m_host.reset(new SimulatorHost);
        return m_host->Module({{"kopkop_executable", QStringLiteral(KOPKOP_SIM)},
                               {"pc_start_kk_use_vxprocess_switch", useVxProcess}, {"pc_kopkop_connect_timeout_ms", 2000}},
                              callback);
    }

    std::unique_ptr<SimulatorHost> m_host;
};

void TestSoak::clientsDyingAnywhereNeverWedgeTheModule()
{
    const qint64 end = QDateTime::currentMSecsSinceEpoch() + EnvInt("KK_SOAK_SECONDS", 50) * 1000;
    const quint32 seed = quint32(EnvInt("KK_SOAK_SEED", int(QDateTime::currentMSecsSinceEpoch() & 0x7fffffff)));
    qInfo("soak seed %u", seed);
    QRandomGenerator random(seed);

    RecordingCallback callback;
    VXKopkopManager* manager = Module(true, &callback);
    VXKopkopManagerInspector inspect(manager);
    bool wantClient = true;
    connect(manager, &VXKopkopManager::SigExecuteError, this, [&] { wantClient = true; });
    connect(manager, &VXKopkopManager::SigKopkopRestartRefused, this, [&] { wantClient = true; });
    // The round's fault goes to its first launch, with requests made while it starts (kept, then
    // flushed to it); a kill from outside comes at a random moment after that launch.
    QString fault;
    int kept = 0, launches = 1;
    bool dies = false;  // at one of its points, else it is killed from outside
    QTimer killer;
    killer.setSingleShot(true);
    connect(&killer, &QTimer::timeout, this, [&] {
        for (qint64 pid : LiveClients(m_host->Log()))
            KillProcess(pid);
    });
    connect(manager, &VXKopkopManager::SigShowLoading, this, [&] {
        const bool faulty = ++launches == 1;
        qputenv("KOPKOP_SIM_OPTIONS", ("--quiet " + (faulty ? fault : QString())).toUtf8());
        for (int i = 0; faulty && i < kept; ++i)
            manager->OpenKKWindow(QStringLiteral("buyer_%1").arg(i), KK_UserType_Customer, QString(), QString());
        if (faulty && !dies)
            killer.start(random.bounded(300));
    });

    int rounds = 0;
    bool over = true;  // the one client running is the one the module works with, after the fault
    for (; over && QDateTime::currentMSecsSinceEpoch() < end; ++rounds) {
        if (rounds > 0) {
            // The crash window ages only while a client works: no time limit runs then.
            FakeClock::Advance(QList<int>{0, 0, 0, 3000, 20000, 61000}[random.bounded(6)]);
            Module(random.bounded(2) == 0, &callback);
            kept = 1 + random.bounded(5);
            const QStringList points{"start", "between-pipes", "connected", "startup", "mid-frame",
                                     QStringLiteral("received:%1").arg(1 + random.bounded(kept))};
            const int point = random.bounded(points.size() + 2);
            dies = point < points.size();
            fault = QStringLiteral("--pipe-order %1 --between-pipes-ms %2 --die-how %3 ")
                        .arg(random.bounded(2) ? "read-first" : "write-first").arg(random.bounded(30))
                        .arg(QStringList{"abort", "kill", "exit:0", "exit:1", "exit:7"}[random.bounded(5)]) +
                    (dies ? "--die-at " + points[point] : QString());
            launches = 0;
            for (qint64 pid : LiveClients(m_host->Log()))
                KillProcess(pid);
        }
        over = QTest::qWaitFor([&] {
            if (wantClient && inspect.PipeStatus() == VXKopkopManager::PipeStatusIdle) {
                wantClient = false;
                manager->ExecuteKK(false);
            }
            return inspect.IsReady() && !killer.isActive() && launches >= (dies ? 2 : 1) &&
                   LiveClients(m_host->Log()) == QList<qint64>{callback.calls.last().second.value(0).toLongLong()};
        }, 30000);
        if (!over)
            qWarning("round %d (%s, %d kept) did not end: status %d, ready %d, %d clients, %d launches", rounds,
                     qPrintable(fault), kept, inspect.PipeStatus(), int(inspect.IsReady()),
                     int(LiveClients(m_host->Log()).size()), launches);
    }
    VXKopkopManager::ReleaseInstance();
    QVERIFY2(QTest::qWaitFor([&] { return LiveClients(m_host->Log()).isEmpty(); }, 10000), "a client outlived the module");
    QVERIFY2(over, "a round did not end with one working client and no other");
    QVERIFY(rounds >= 10);
}

// Messages both ways through one client: none lost, duplicated or reordered; the backlog bounded.
void TestSoak::volumeLosesNothing()
{
    const int count = EnvInt("KK_SOAK_VOLUME", 100000);
    RecordingCallback callback;
    VXKopkopManager* manager = Module(true, &callback);
    qunsetenv("KOPKOP_SIM_LOG");
    // After its start-up report the client sends `count` numbered messages, and it acknowledges
    // every `count` payloads it receives with their total.
    qputenv("KOPKOP_SIM_OPTIONS", QStringLiteral("--quiet --flood %1 --ack-every %1").arg(count).toUtf8());
    manager->ExecuteKK(false);
    QTRY_COMPARE_WITH_TIMEOUT(callback.calls.size(), count + 1, 300000);
    for (int i = 1; i <= count; ++i)  // in order, none lost or duplicated
        QCOMPARE(callback.calls[i].second.value(0).toInt(), i);

    for (int i = 1; i <= count; ++i)
        QVERIFY(manager->SendCommand(QStringLiteral("[\"VolumeCheck\",\"i:%1\"]").arg(i)));
    QTRY_COMPARE_WITH_TIMEOUT(callback.calls.size(), count + 2, 300000);
    QCOMPARE(callback.calls.last().second.value(0).toInt(), count);
    const int peak = VXKopkopManagerInspector(manager).PipeServer()->Backlog().PeakPayloads();
    QVERIFY2(peak <= VXPipeBacklog::kDefaultMaxPayloads + 2048, QByteArray::number(peak));
}

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
