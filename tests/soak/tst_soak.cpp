// Fault injection: the module launches the real simulator again and again while clients die at
// every point of their lives - before the first pipe, between the pipes (either order), at
// connection, right after their start-up report, in the middle of a frame, while the kept
// requests are being flushed to them, or killed from outside at a random moment - in both launch
// modes, with the crash window aged by the test clock between rounds. Counted, and each must be 0:
//  - hangs: a round that does not end with a working client within its time limit;
//  - orphans: client processes left running beside the one the module talks to, or after release;
//  - policy violations: a close restarted or refused other than the crash window says (two
//    restarts within 60000 ms of a window's first close, a start asked for by the host opens a
//    new window);
//  - host crashes: the module runs in this process, so one ends the test.
// A round: a working client is killed; the next client launched (by the restart, or by the host
// reacting to a refusal) is given the round's fault; every client after it is healthy, and the
// host starts one again whenever it is told of a failed start or a refused restart.
//
// KK_SOAK_SECONDS sets the soak's length (default 50); KK_SOAK_VOLUME the messages each way of the
// volume check (default 100000).

#include "ClientProcesses.h"
#include "FakeClock.h"
#include "ManagerInspector.h"

#include "PlatformKKWrapper/IKKCallbackInterface.h"
#include "PlatformKKWrapper/VXKopkopManager.h"
#include "PlatformKKWrapper/VXPipeServer.h"
#include "VXCore/VXCodeTracking.h"
#include "VXCore/VXGlobalData.h"
#include "VXCore/VXMonitorSystem.h"
#include "VXFoundation/LogHelper.h"
#include "VXFoundation/VXProcess.h"
#include "YRBase/VXConfigService.h"
#include "YRBase/YRRouterProtocol.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <mutex>

namespace {

const QString kConfigUri = QStringLiteral("vx://config/object/service");
const QString kHealthy = QStringLiteral("--quiet");
constexpr int kConnectTimeoutMs = 2000;  // the module's, for clients that never connect
constexpr qint64 kRoundLimitMs = 30000;  // real time for a round to end with a working client
constexpr int kWindowMs = 60000;

// QtTest's watchdog measures each test function on the monotonic clock, which the soak moves
// forward by many minutes: with its default limit it would call the next function late. The
// limit here is longer than the clock ever moves; CTest's own time limit still catches a hang.
const bool kWatchdogLimit = qputenv("QTEST_FUNCTION_TIMEOUT", "2000000000");

qint64 RealMs()
{
    return QDateTime::currentMSecsSinceEpoch();  // the wall clock: the test moves the monotonic one
}

int EnvInt(const char* name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

// What the module recorded, tracking events and monitor reports in one stream, in the order the
// manager's thread made them, each with the (test) monotonic time it was made at.
class Journal
{
public:
    struct Entry
    {
        QString code;  // tracking code or monitor event name
        QString text;
        qint64 ms;
    };

    Journal()
    {
        m_clock.start();
        m_tracking = VXCodeTracking::AddObserver([this](const VXCodeTracking::Record& r) { Add(r.code, r.text); });
        m_monitor = VXMonitorSystem::AddObserver([this](const VXMonitorSystem::Report& r) { Add(r.name, QString()); });
        m_log = LogHelper::AddListener([this](const LogHelper::Record& r) { Add(QStringLiteral("log"), r.text.section(QLatin1Char(' '), -4)); });
    }
    ~Journal()
    {
        VXCodeTracking::RemoveObserver(m_tracking);
        VXMonitorSystem::RemoveObserver(m_monitor);
        LogHelper::RemoveListener(m_log);
    }
    QList<Entry> TakeNew()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        QList<Entry> out;
        out.swap(m_entries);
        return out;
    }

private:
    void Add(const QString& code, const QString& text)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.append({code, text, m_clock.elapsed()});
    }

    QElapsedTimer m_clock;  // the monotonic clock the manager's crash window uses too
    std::mutex m_mutex;
    QList<Entry> m_entries;
    int m_tracking = 0;
    int m_monitor = 0;
    int m_log = 0;
};

// The restart policy, stated on its own: the first close opens a window of 60000 ms in which the
// first two closes restart and every later one is refused; a start the host asks for opens a new
// window at the next close. Fed the journal, it counts every decision the manager took otherwise.
class PolicyOracle
{
public:
    int closes = 0, restarts = 0, refusals = 0, violations = 0;

    void Feed(const Journal::Entry& entry)
    {
        if (entry.code == QLatin1String("ExecuteKK") && entry.text == QLatin1String("isAuto: false")) {
            m_windowStart = -1;
        } else if (entry.code == QLatin1String("Home_Kk_Crash")) {
            ++closes;
            if (m_pending != Pending::None)
                ++violations;  // the previous close was followed by neither decision
            if (m_windowStart >= 0 && entry.ms - m_windowStart <= kWindowMs) {
                ++m_inWindow;
            } else {
                m_windowStart = entry.ms;
                m_inWindow = 1;
            }
            m_pending = m_inWindow < 3 ? Pending::Restart : Pending::Refusal;
        } else if (entry.code == QLatin1String("ExecuteKK") && entry.text == QLatin1String("isAuto: true")) {
            ++restarts;
            violations += m_pending == Pending::Restart ? 0 : 1;
            m_pending = Pending::None;
        } else if (entry.code == QLatin1String("KKCrashTooManyTimes")) {
            ++refusals;
            violations += m_pending == Pending::Refusal ? 0 : 1;
            m_pending = Pending::None;
        }
    }

private:
    enum class Pending { None, Restart, Refusal };
    qint64 m_windowStart = -1;
    int m_inWindow = 0;
    Pending m_pending = Pending::None;
};

class CountingCallback : public IKKCallbackInterface
{
public:
    int startups = 0;
    qint64 lastStartupPid = 0;  // the simulator reports its process id
    int unread = 0;
    int outOfOrder = 0;
    int lastUnread = 0;

    void OnStartupCompleted(unsigned int pid, const QString&) override
    {
        ++startups;
        lastStartupPid = pid;
    }
    void OnUnreadMessageChanged(int count) override
    {
        outOfOrder += count == lastUnread + 1 ? 0 : 1;
        lastUnread = count;
        ++unread;
    }
    void OnShowMessageBox(const QString&, unsigned int) override {}
    void OnChangeStatus(int) override {}
    void OnChangeLoginInitStatus(int) override {}
    void OnBaseInfoChanged(const QString&) override {}
    void OnActivePlatform() override {}
    void OnOpenUrl(const QString&, bool) override {}
    void OnOpenPlugin(const QString&) override {}
    void OnOpenSetting(const QString&) override {}
    void OnTrayIconAction(bool, const QString&, int) override {}
    void OnChangeSkin(const QString&) override {}
    void OnUpgradeNewVersion() override {}
    void OnLoginNewAccount() override {}
    void OnUploadInterfaceException(int, const QString&, const QString&, const QString&) override {}
    void OnUploadCefException(int, const QString&, const QString&, const QString&, const QString&,
                              const QString&) override
    {
    }
};

// One fault for one client.
struct Fault
{
    QString name;
    QString options;      // the simulator's, for the faulty launch
    int keptRequests = 0; // requests the host makes while that client starts (flushed to it)
    bool killFromOutside = false;
};

Fault PickFault(QRandomGenerator& random)
{
    const char* hows[] = {"abort", "kill", "exit:0", "exit:1", "exit:7"};
    const QString how = QString::fromLatin1(hows[random.bounded(int(std::size(hows)))]);
    const QString order = random.bounded(2) ? QStringLiteral("read-first") : QStringLiteral("write-first");
    switch (random.bounded(8)) {
    case 0: return {"dies before the pipes", "--die-at start --die-how " + how};
    case 1: return {"dies between the pipes, " + order, "--pipe-order " + order + " --die-at between-pipes --die-how " + how};
    case 2: return {"dies at connection", "--die-at connected --die-how " + how};
    case 3: return {"dies after its start-up report", "--die-at startup --die-how " + how};
    case 4: return {"dies mid-frame", "--die-at mid-frame --die-how " + how};
    case 5: {
        const int kept = 1 + random.bounded(5);
        return {"dies during the flush", QStringLiteral("--die-at received:%1 --die-how %2").arg(1 + random.bounded(kept)).arg(how),
                kept};
    }
    default:
        return {"killed from outside", "--pipe-order " + order + " --between-pipes-ms " + QString::number(random.bounded(30)),
                0, true};
    }
}

}  // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void clientsDyingAnywhereNeverWedgeTheModule();
    void volumeLosesNothing();

private:
    void Configure(bool useVxProcess);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<VXConfigService> m_config;
};

void TestSoak::initTestCase()
{
    QVERIFY2(QFileInfo(QStringLiteral(KOPKOP_SIM)).isExecutable(), KOPKOP_SIM);
    QVERIFY(FakeClock::IsActive());
    VXGlobalData::Instance()->SetAppVersion("5.2.1");
}

void TestSoak::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_config.reset(new VXConfigService(m_dir->filePath(QStringLiteral("host.json"))));
    YRRouterProtocol::Register(kConfigUri, m_config.get());
    qputenv("KOPKOP_SIM_OPTIONS", kHealthy.toUtf8());
    qunsetenv("KOPKOP_SIM_SCRIPT");
    qunsetenv("KOPKOP_SIM_LOG");
}

void TestSoak::cleanup()
{
    YRRouterProtocol::Unregister(kConfigUri);
    m_config.reset();
    m_dir.reset();
    qunsetenv("KOPKOP_SIM_OPTIONS");
}

void TestSoak::Configure(bool useVxProcess)
{
    const QJsonObject config{{"kopkop_executable", QStringLiteral(KOPKOP_SIM)},
                             {"pc_start_kk_use_vxprocess_switch", useVxProcess},
                             {"pc_kopkop_connect_timeout_ms", kConnectTimeoutMs}};
    QFile file(m_config->GetFilePath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QJsonDocument(config).toJson());
}

void TestSoak::clientsDyingAnywhereNeverWedgeTheModule()
{
    const qint64 budgetMs = qint64(EnvInt("KK_SOAK_SECONDS", 50)) * 1000;
    const quint32 seed = quint32(EnvInt("KK_SOAK_SEED", int(QDateTime::currentMSecsSinceEpoch() & 0x7fffffff)));
    qInfo("soak seed %u (KK_SOAK_SEED repeats it)", seed);
    QRandomGenerator random(seed);
    Configure(true);

    Journal journal;
    PolicyOracle policy;
    int rounds = 0, hangs = 0, orphans = 0, failedStarts = 0, refusedSeen = 0;
    QMap<QString, int> faultsRun;
    const qint64 started = RealMs();

    auto* manager = VXKopkopManager::Instance();
    CountingCallback callback;
    manager->SetKKCallback(&callback);
    manager->Initialize();
    VXKopkopManagerInspector inspect(manager);
    const QString uuid = inspect.WritePipeName().section(QLatin1Char('_'), 1);

    // The host: whenever it hears that no client will come (a failed start, a refused restart),
    // it asks for one again, as a user clicking "start the chat" would - once the module is idle.
    bool wantClient = false;
    connect(manager, &VXKopkopManager::SigExecuteError, this, [&] { ++failedStarts; wantClient = true; });
    connect(manager, &VXKopkopManager::SigKopkopRestartRefused, this, [&] { ++refusedSeen; wantClient = true; });

    // Each launch gets its options just before it starts: the round's fault for the first
    // launch of the round, healthy ones after it.
    Fault fault;
    int launchesThisRound = -1;  // -1: between rounds, every launch is healthy
    bool killArmed = false;
    QSet<qint64> killed;  // the clients this round killed from outside
    connect(manager, &VXKopkopManager::SigShowLoading, this, [&] {
        const bool faulty = launchesThisRound == 0;
        if (launchesThisRound >= 0)
            ++launchesThisRound;
        qputenv("KOPKOP_SIM_OPTIONS", (faulty ? kHealthy + QLatin1Char(' ') + fault.options : kHealthy).toUtf8());
        if (!faulty)
            return;
        for (int i = 0; i < fault.keptRequests; ++i)  // status 1: kept, flushed at the start-up report
            manager->OpenKKWindow(QStringLiteral("buyer_%1").arg(i), KK_UserType_Customer, QString(), QString());
        if (fault.killFromOutside) {
            killArmed = true;
            QTimer::singleShot(random.bounded(60), this, [&] {
                // Until the process shows up under its own name (it may not have started yet).
                const qint64 until = RealMs() + 200;
                while (killArmed && RealMs() < until) {
                    const QList<qint64> victims = ProcessesMentioning(uuid);
                    if (!victims.isEmpty()) {
                        KillProcessesMentioning(uuid);
                        for (qint64 pid : victims)
                            killed.insert(pid);
                        break;
                    }
                    QTest::qWait(2);
                }
                killArmed = false;
            });
        }
    });

    const auto working = [&] {
        return inspect.PipeStatus() == VXKopkopManager::PipeStatusConnected && inspect.IsReady();
    };
    QStringList recent;  // the journal's last entries, shown when a round fails
    const auto pump = [&](int ms) {
        QTest::qWait(ms);
        for (const Journal::Entry& entry : journal.TakeNew()) {
            policy.Feed(entry);
            recent.append(QStringLiteral("%1 %2 %3 %4").arg(RealMs() % 100000).arg(entry.ms).arg(entry.code, entry.text.left(80)));
            if (recent.size() > 40)
                recent.removeFirst();
        }
        if (wantClient && inspect.PipeStatus() == VXKopkopManager::PipeStatusIdle) {
            wantClient = false;
            manager->ExecuteKK(false);
        }
    };

    // The first working client.
    manager->ExecuteKK(false);
    for (qint64 until = RealMs() + kRoundLimitMs; !working() && RealMs() < until;)
        pump(5);
    QVERIFY2(working(), "the first client never became ready");

    while (RealMs() - started < budgetMs) {
        ++rounds;
        // Age the crash window now and then; only while connected, when no time limit runs.
        const int ages[] = {0, 0, 0, 3000, 20000, kWindowMs + 1000};
        FakeClock::Advance(ages[random.bounded(int(std::size(ages)))]);
        Configure(random.bounded(2) == 0);
        fault = PickFault(random);
        ++faultsRun[fault.name];
        launchesThisRound = 0;

        // The working client is killed; what comes next is the fault, then healthy clients. The
        // round is over once a client that nothing in the round killed reported its start-up and
        // works: after the faulty one died, or (an outside kill that found nobody) the faulty one
        // itself. A start-up report alone says little: a client answers every "Login" with one.
        const QList<qint64> previous = ProcessesMentioning(uuid);
        killed = QSet<qint64>(previous.cbegin(), previous.cend());
        KillProcessesMentioning(uuid);
        const auto over = [&] {
            if (!working() || killed.contains(callback.lastStartupPid) ||
                !ProcessesMentioning(uuid).contains(callback.lastStartupPid))
                return false;
            return fault.killFromOutside ? !killArmed : launchesThisRound >= 2;
        };
        for (const qint64 until = RealMs() + kRoundLimitMs; RealMs() < until && !over();)
            pump(5);
        // Only the client the module talks to may be running now.
        for (const qint64 until = RealMs() + 10000; RealMs() < until && over() && ProcessesMentioning(uuid).size() != 1;)
            pump(5);
        const bool one = over() && ProcessesMentioning(uuid).size() == 1;
        if (!one) {
            const int running = ProcessesMentioning(uuid).size();
            if (running > 1)
                orphans += running - 1;
            else
                ++hangs;
            VXPipeServer* server = inspect.PipeServer();
            qWarning("round %d (%s, %s): status %d, ready %d, %d client processes, %d launches, process %d, connect "
                     "timer %d, pending launch '%s', pipes listening %d waiting %d retrying %d, want client %d; "
                     "the module's last records:\n%s",
                     rounds, qPrintable(fault.name), qPrintable(fault.options), inspect.PipeStatus(),
                     int(inspect.IsReady()), running, launchesThisRound,
                     inspect.Process() ? int(inspect.Process()->state()) : -1, int(inspect.ConnectTimerActive()),
                     qPrintable(inspect.PendingLaunch()), int(server->IsListening()), int(server->IsWaitingForClient()),
                     int(server->IsRetrying()), int(wantClient), qPrintable(recent.join(QLatin1Char('\n'))));
            break;
        }
        launchesThisRound = -1;
    }

    VXKopkopManager::ReleaseInstance();
    if (!QTest::qWaitFor([&] { return ProcessesMentioning(uuid).isEmpty(); }, 10000))
        orphans += KillProcessesMentioning(uuid);
    for (const Journal::Entry& entry : journal.TakeNew())
        policy.Feed(entry);

    QStringList faults;
    for (auto it = faultsRun.cbegin(); it != faultsRun.cend(); ++it)
        faults.append(QStringLiteral("%1 x%2").arg(it.key()).arg(it.value()));
    qInfo("soak: %d rounds in %lld ms; %d closes, %d restarts, %d refused; %d failed starts; "
          "hangs %d, orphans %d, policy violations %d, host crashes 0",
          rounds, RealMs() - started, policy.closes, policy.restarts, policy.refusals, failedStarts, hangs, orphans,
          policy.violations);
    qInfo("faults: %s", qPrintable(faults.join(QStringLiteral(", "))));
    QCOMPARE(hangs, 0);
    QCOMPARE(orphans, 0);
    QCOMPARE(policy.violations, 0);
    QCOMPARE(refusedSeen, policy.refusals);
    QVERIFY(rounds >= 10);
}

// Messages both ways through one client: none lost, duplicated or reordered.
void TestSoak::volumeLosesNothing()
{
    const int count = EnvInt("KK_SOAK_VOLUME", 100000);
    Configure(true);
    // The client floods `count` numbered messages after its start-up report and acknowledges
    // every payload it receives with the running total.
    qputenv("KOPKOP_SIM_OPTIONS", QStringLiteral("--quiet --flood %1 --ack-every %1").arg(count).toUtf8());
    VXKopkopManager manager;
    CountingCallback callback;
    manager.SetKKCallback(&callback);
    manager.Initialize();
    VXKopkopManagerInspector inspect(&manager);
    const QString uuid = inspect.WritePipeName().section(QLatin1Char('_'), 1);
    QElapsedTimer clock;
    clock.start();
    manager.ExecuteKK(false);
    QTRY_COMPARE_WITH_TIMEOUT(callback.unread, count, 300000);
    QCOMPARE(callback.outOfOrder, 0);
    QCOMPARE(callback.lastUnread, count);
    const qint64 inbound = clock.restart();

    // Host to client: the client's acknowledgement of the last one carries the total.
    for (int i = 1; i <= count; ++i)
        QVERIFY(manager.SendCommand(QStringLiteral("[\"VolumeCheck\",\"i:%1\"]").arg(i)));
    QTRY_COMPARE_WITH_TIMEOUT(callback.unread, count + 1, 300000);
    QCOMPARE(callback.lastUnread, count);  // the acknowledgement: every payload arrived
    qInfo("volume: %d messages client->host in %lld ms, %d host->client in %lld ms, none lost, duplicated or "
          "reordered; backlog peak %d payloads",
          count, inbound, count, clock.elapsed(), inspect.PipeServer()->Backlog().PeakPayloads());
    QVERIFY(inspect.PipeServer()->Backlog().PeakPayloads() <= VXPipeBacklog::kDefaultMaxPayloads + 2048);
    KillProcessesMentioning(uuid);
}

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
