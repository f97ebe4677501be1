// The manager's logic, with scripted package preparation, the simulator as the launched program
// and a test client on the real pipes: lifecycle, launch bookkeeping, the crash window, failed
// starts, the commands and their cache, and the dispatch of every inbound message.

#include "ClientProcesses.h"
#include "FakeClock.h"
#include "ManagerInspector.h"
#include "PipeTestClient.h"
#include "Recorders.h"
#include "RecordingCallback.h"

#include "PlatformKKWrapper/KKConstants.h"
#include "PlatformKKWrapper/KKMessageBuilders.h"
#include "PlatformKKWrapper/KKSettingEntity.h"
#include "PlatformKKWrapper/KKWrapperImplement.h"
#include "PlatformKKWrapper/VXKopkopManager.h"
#include "PlatformKKWrapper/VXPipeInstance.h"
#include "VXFoundation/VXProcess.h"
#include "VXFrameData/IGeneralData.h"
#include "VXFrameData/VXKKData.h"
#include "YRBase/VXConfigService.h"
#include "YRBase/YRRouterProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>
#include <QtEndian>
#include <QtTest>

#include <functional>
#include <memory>

using Action = std::function<void(VXKopkopManager*)>;
using Build = std::function<QSharedPointer<VXProcessMessage>()>;
Q_DECLARE_METATYPE(Action)
Q_DECLARE_METATYPE(Build)

namespace {

const int kLong = 30000;  // ms

struct TestClient { PipeTestClient fromModule, toModule; };  // the chat client's two pipe ends

using Message = QSharedPointer<VXProcessMessage>;

QByteArray Text(const Message& message) { return message->ToString().toUtf8(); }

QByteArray Payload(const QString& name, const QVariantList& args = {})
{
    const Message message = VXProcessMessage::Create(name);
    message->GetArgs() = args;
    return Text(message);
}

// "level code text" of every tracking record, in order.
QStringList Events(const TrackingRecorder& tracking)
{
    QStringList out;
    for (const auto& r : tracking.Records())
        out << QStringLiteral("%1 %2 %3").arg(r.level, r.code, r.text).trimmed();
    return out;
}

QString InstallText(const QString& page)
{
    return QStringLiteral("cant't start kk, please install VX from %1, then retry.").arg(page);
}

}  // namespace

class TestManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<SimulatorHost> m_host;  // the configuration service and the clients' log
    std::unique_ptr<VXKopkopManager> m_manager;
    std::unique_ptr<VXKopkopManagerInspector> m_inspect;

    void ConnectClient(TestClient* client)
    {
        QSignalSpy connected(m_manager.get(), &VXKopkopManager::SigKopkopConnected);
        QCOMPARE(client->fromModule.Open(m_inspect->WritePipeName()), DWORD(ERROR_SUCCESS));
        QCOMPARE(client->toModule.Open(m_inspect->ReadPipeName()), DWORD(ERROR_SUCCESS));
        QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);
        QCOMPARE(m_inspect->PipeStatus(), 2);
    }

    // -1 not initialised, 0 idle, 1 started, 2 connected but not ready, 3 ready.
    void Reach(int state, TestClient* client)
    {
        if (state < 0)
            return;
        m_manager->Initialize();
        if (state >= 2)
            ConnectClient(client);
        else
            m_inspect->SetPipeStatus(state);
        m_inspect->SetReady(state == 3);
    }

    // The simulator, which launches run with `options`; it logs its start (with its pid) to the host's log.
    QString ClientProgram(const QString& options)
    {
        qputenv("KOPKOP_SIM_OPTIONS", ("--quiet " + options).toUtf8());
        return QStringLiteral(KOPKOP_SIM);
    }

    void WriteConfig(const QJsonObject& values) { m_host->WriteSettings(values); }

    // The module initialised for a launch mode, and the program of a client that starts but never
    // connects: what the launch and pipe tests drive by hand.
    QString InitializeWithSilentClient(bool useVxProcess)
    {
        WriteConfig({{StartKkUseVxProcessSwitch, useVxProcess}});
        m_manager->Initialize();
        return ClientProgram(QStringLiteral("--misbehave never-connect"));
    }

private slots:
    void initTestCase() { QVERIFY2(FakeClock::IsActive(), "the fake monotonic clock did not replace clock_gettime"); }

    void init()
    {
        m_host.reset(new SimulatorHost);
        QVERIFY(m_host->dir.isValid());
        m_manager.reset(new VXKopkopManager);
        m_inspect.reset(new VXKopkopManagerInspector(m_manager.get()));
    }

    void cleanup()
    {
        m_inspect.reset();
        m_manager.reset();
        for (qint64 pid : LiveClients(m_host->Log()))
            KillProcess(pid);
        qunsetenv("KOPKOP_SIM_OPTIONS");
        PZSdkPackageManage::ClearScripts();
        m_host.reset();
    }

    void instanceFromSeveralThreads()
    {
        const auto onThreads = [](int count, const std::function<void(int)>& run) {
            QList<QThread*> threads;
            for (int t = 0; t < count; ++t)
                threads.append(QThread::create(run, t));
            for (QThread* thread : threads)
                thread->start();
            for (QThread* thread : threads)
                QVERIFY(thread->wait(kLong));
            qDeleteAll(threads);
        };
        for (int round = 0; round < 10; ++round) {
            QVector<VXKopkopManager*> seen(8, nullptr);
            onThreads(seen.size(), [&seen](int t) { seen[t] = VXKopkopManager::Instance(); });
            QVERIFY(seen.first());
            QCOMPARE(seen.count(seen.first()), seen.size());
            // Destroyed once, and the next round makes a new one (the sanitizer sees any reuse).
            onThreads(4, [](int) { VXKopkopManager::ReleaseInstance(); });
        }
    }

    void initializeOnceWithOneUuid()
    {
        m_manager->Initialize();
        VXPipeServer* server = m_inspect->PipeServer();
        const QString write = m_inspect->WritePipeName();
        QVERIFY(server && m_inspect->Wrapper() && m_inspect->PackageManage());
        m_manager->Initialize();
        QVERIFY(m_inspect->PipeServer() == server && m_inspect->WritePipeName() == write);
        const QString uuid = write.mid(write.indexOf(QLatin1Char('{')));
        QVERIFY(!QUuid(uuid).isNull() && QUuid(uuid).toString() == uuid);
        QCOMPARE(write, QStringLiteral("\\\\.\\pipe\\writepipe_") + uuid);
        QCOMPARE(m_inspect->ReadPipeName(), QStringLiteral("\\\\.\\pipe\\readpipe_") + uuid);
        VXKopkopManager other;
        other.Initialize();
        QVERIFY(VXKopkopManagerInspector(&other).WritePipeName() != write);
    }

    void reactions_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<Action>("action");
        QTest::addColumn<QStringList>("effects");  // signals and Prepare calls, in order
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<int>("statusAfter");
        const auto row = [](const QByteArray& tag, int status, const Action& action, const QStringList& effects,
                            const QStringList& events, int after) {
            QTest::newRow(tag.constData()) << status << action << effects << events << after;
        };
        const auto execute = [](bool isAuto) { return Action([=](VXKopkopManager* m) { m->ExecuteKK(isAuto); }); };
        const auto prepared = [](int state, const QString& text) {
            return Action([=](VXKopkopManager* m) {
                VXKopkopManagerInspector(m).PrepareStateChanged(PZSdkPackageManage::PrepareState(state), text);
            });
        };
        const auto processError = [](QProcess::ProcessError error) {
            return Action([=](VXKopkopManager* m) { VXKopkopManagerInspector(m).ProcessError(error); });
        };
        const QString asked("Info ExecuteKK isAuto: false"), automatic("Info ExecuteKK isAuto: true");
        const QString busy = QStringLiteral("Error ExecuteKKError m_pipeStatus is not in normal state");
        row("execute when idle", 0, execute(false), {"prepare"}, {asked}, 0);
        row("execute when idle, automatic", 0, execute(true), {"prepare"}, {automatic}, 0);
        row("execute when started", 1, execute(false), {}, {asked, busy}, 1);
        row("execute when connected, automatic", 2, execute(true), {}, {automatic, busy}, 2);
        row("execute when not initialised", 0, [](VXKopkopManager*) { VXKopkopManager().ExecuteKK(false); }, {},
            {asked, "Error ExecuteKKError m_packageManage is nullptr"}, 0);
        row("prepare pending", 0, prepared(2, "seller_01"), {"pending:seller_01"}, {}, 0);
        row("prepare failed", 0, prepared(4, "disk"), {"error:disk"}, {"Warn KopkopPrepareError disk"}, 0);
        row("prepared, executable missing", 0, prepared(3, "/missing"), {},
            {"Error StartKopKopError Kopkop executable file not found"}, 0);
        row("prepared while starting", 1, prepared(3, "/missing"), {}, {"Warn KopkopPrepareIgnored pipe status 1"}, 1);
        row("prepared while connected", 2, prepared(3, "/missing"), {}, {"Warn KopkopPrepareIgnored pipe status 2"}, 2);
        for (int ignored : {0, 1, 5})
            row(QByteArray("prepare state ") + char('0' + ignored) + " ignored", 0, prepared(ignored, "x"), {}, {}, 0);
        row("process error while starting: a failed start", 1, processError(QProcess::Crashed),
            {"error:" + InstallText("https://vx.example.com/download")}, {"Error KKProcessError error code 1"}, 0);
        row("process error when idle", 0, processError(QProcess::FailedToStart), {},
            {"Error KKProcessErrorAccident pipe status 0, error code 0"}, 0);
        row("process error when connected", 2, processError(QProcess::UnknownError), {},
            {"Error KKProcessErrorAccident pipe status 2, error code 5"}, 2);
    }

    // What ExecuteKK, the preparation's reports and the process's errors do, by status.
    void reactions()
    {
        QFETCH(int, status);
        QFETCH(Action, action);
        QFETCH(QStringList, effects);
        QFETCH(QStringList, events);
        QFETCH(int, statusAfter);
        m_manager->Initialize();
        m_inspect->SetPipeStatus(status);
        QStringList seen;
        VXKopkopManager* m = m_manager.get();
        connect(m, &VXKopkopManager::SigExecutePending, this, [&](const QString& t) { seen << "pending:" + t; });
        connect(m, &VXKopkopManager::SigExecuteError, this, [&](const QString& t) { seen << "error:" + t; });
        connect(m, &VXKopkopManager::SigShowLoading, this, [&] { seen << "loading"; });
        PZSdkPackageManage::PushScript({});
        const int prepares = PZSdkPackageManage::PrepareCallCount();
        TrackingRecorder tracking;
        MonitorRecorder monitor;
        action(m_manager.get());
        for (int i = prepares; i < PZSdkPackageManage::PrepareCallCount(); ++i)
            seen << "prepare";
        QCOMPARE(seen, effects);
        QCOMPARE(Events(tracking), events);
        QCOMPARE(m_inspect->PipeStatus(), statusAfter);
        QVERIFY(!m_inspect->HasStarted());
        QCOMPARE(monitor.Count(), 0);
    }

    void launchBookkeeping_data()
    {
        QTest::addColumn<bool>("useVxProcess");
        QTest::newRow("through VXProcess") << true;
        QTest::newRow("detached") << false;
    }

    // The command line and working directory a launched client sees are the end-to-end suite's.
    void launchBookkeeping()
    {
        QFETCH(bool, useVxProcess);
        const QString program = InitializeWithSilentClient(useVxProcess);
        int statusAtLoading = -1;
        connect(m_manager.get(), &VXKopkopManager::SigShowLoading, this,
                [&] { statusAtLoading = m_inspect->PipeStatus(); });
        TrackingRecorder tracking;
        MonitorRecorder monitor;
        m_inspect->PrepareStateChanged(PZSdkPackageManage::PrepareFinished, program);
        QCOMPARE(statusAtLoading, 1);
        QCOMPARE(m_inspect->PipeStatus(), 1);
        QCOMPARE(m_inspect->Process() != nullptr, useVxProcess);
        const QString launch = useVxProcess ? QStringLiteral("Info StartKopKopUseVXProcess")
                                            : QStringLiteral("Info StartKopKopUseQProcess_Win");
        QCOMPARE(Events(tracking), (QStringList{"Warn kopkopPV kokop started", launch}));
        QCOMPARE(monitor.Names(), QStringList{"kopkopPV"});
        QCOMPARE(monitor.Records()[0].params, QStringList(QVector<QString>(9).toList()));

        // A second launch of the same manager is a restart, even if the first ended normally.
        tracking.Clear();
        monitor.Clear();
        m_inspect->SetPipeStatus(0);
        m_inspect->PrepareStateChanged(PZSdkPackageManage::PrepareFinished, program);
        QCOMPARE(Events(tracking), (QStringList{"Warn startKopKopAgain kopkop could crashed", launch}));
        QCOMPARE(monitor.Names(), QStringList{"kopkopCrashed"});
    }

    void crashWindow_data()
    {
        // Each step: the milliseconds the clock moves, then a close that restarts the client (+)
        // or is refused (-); or E, an ExecuteKK(false).
        QTest::addColumn<QString>("steps");
        QTest::newRow("third close in the window is refused") << "0+ 1000+ 1000-";
        QTest::newRow("later closes in the window are refused too") << "0+ 10+ 10- 10-";
        QTest::newRow("a close at exactly 60000 ms is still inside") << "0+ 30000+ 30000-";
        QTest::newRow("a close after 60000 ms opens a new window") << "0+ 30000+ 30001+ 1+ 1-";
        QTest::newRow("a refused window still ends") << "0+ 1+ 1- 60000+";
        QTest::newRow("ExecuteKK(false) opens a new window") << "0+ 1+ E 1+ 1+ 1-";
    }

    // Every close leaves the manager idle with its requests kept; it restarts the client unless it
    // is the third within the window, which tells the host instead.
    void crashWindow()
    {
        QFETCH(QString, steps);
        m_manager->Initialize();
        m_inspect->CacheMsg(MakeOpenKKGroupMessage("g", ""));
        QSignalSpy refused(m_manager.get(), &VXKopkopManager::SigKopkopRestartRefused);
        TrackingRecorder tracking;
        MonitorRecorder monitor;
        LogRecorder log;
        const int prepares = PZSdkPackageManage::PrepareCallCount();
        QStringList expected;
        int closes = 0;
        FakeClock::Freeze();
        const auto thaw = qScopeGuard([] { FakeClock::Thaw(); });
        for (const QString& step : steps.split(QLatin1Char(' '))) {
            PZSdkPackageManage::PushScript({});
            if (step == QLatin1String("E")) {
                m_manager->ExecuteKK(false);
                expected << "Info ExecuteKK isAuto: false";
                continue;
            }
            FakeClock::Advance(step.chopped(1).toInt());
            m_inspect->SetPipeStatus(2);
            m_inspect->SetReady(true);
            m_inspect->ClientClosed();
            ++closes;
            QVERIFY(m_inspect->PipeStatus() == 0 && !m_inspect->IsReady());
            expected << (step.endsWith(QLatin1Char('+')) ? "Info ExecuteKK isAuto: true"
                                                         : "Warn KKCrashTooManyTimes KKCrashTooManyTimes");
        }
        QCOMPARE(Events(tracking), expected);
        QCOMPARE(refused.count(), steps.count(QLatin1Char('-')));
        QCOMPARE(PZSdkPackageManage::PrepareCallCount() - prepares, expected.size() - refused.count());
        QCOMPARE(monitor.Names(), QStringList(QVector<QString>(closes, QStringLiteral("Home_Kk_Crash")).toList()));
        QCOMPARE(log.CountEndingWith(QStringLiteral("Kopkop pipe is closed")), closes);
        QCOMPARE(m_inspect->CacheTexts().size(), 1);
        RecordingCallback callback;  // however often a close reconnects the reader, a payload arrives once
        m_manager->SetKKCallback(&callback);
        emit m_inspect->PipeServer()->SigReadData(Payload("ActivePlatform"));
        QCOMPARE(callback.Names(), QStringList{"OnActivePlatform"});
    }

    void clientConnectedTakesOver()
    {
        const QString program = InitializeWithSilentClient(true);
        m_inspect->PrepareStateChanged(PZSdkPackageManage::PrepareFinished, program);
        QVERIFY(m_inspect->Process() && m_inspect->Process()->waitForStarted(kLong));
        const qint64 pid = m_inspect->Process()->processId();
        m_inspect->ProcessError(QProcess::Crashed);  // status back to 0 ...
        QSignalSpy connected(m_manager.get(), &VXKopkopManager::SigKopkopConnected);
        LogRecorder log;
        m_inspect->ClientConnected();  // ... and yet the pipe connects
        QVERIFY(!m_inspect->Process());
        QCOMPARE(m_inspect->PipeStatus(), 2);
        QCOMPARE(connected.count(), 1);
        QCOMPARE(log.CountEndingWith(QStringLiteral("SlotClientConnected Kopkop pipe is connected")), 1);
        QVERIFY(IsProcessAlive(pid));  // the program outlives its process object
    }

    void failedStartLeavesThePipesReady_data()
    {
        QTest::addColumn<bool>("useVxProcess");
        QTest::addColumn<QString>("options");       // the simulator's; empty: a file that cannot run
        QTest::addColumn<bool>("leaveWritePipe");   // the test's client opens the write pipe and leaves
        QTest::addColumn<QString>("event");
        const auto row = [](const char* tag, bool child, const char* options, bool leave, const QString& event) {
            QTest::newRow(tag) << child << QString(options) << leave << event;
        };
        const QString left = QStringLiteral("KKProcessError the client left the write pipe before opening the read pipe");
        const QString timeout = QStringLiteral("KKConnectTimeout no connection within 300 ms");
        row("child exits 0", true, "--die-at start --die-how exit:0", false, "KKProcessError exit code 0 before connecting");
        row("child exits 3", true, "--die-at start --die-how exit:3", false, "KKProcessError exit code 3 before connecting");
        row("child never connects", true, "--misbehave never-connect", false, timeout);
        row("detached never connects", false, "--misbehave never-connect", false, timeout);
        row("child leaves between the pipes", true, "--misbehave never-connect", true, left);
        row("detached leaves between the pipes", false, "--misbehave never-connect", true, left);
        row("child cannot run", true, "", false, "KKProcessError error code 0");
        row("detached cannot run", false, "", false, "StartKopKopError Kopkop detached start failed");
    }

    // However a launched client fails to connect, the manager is idle again, the host hears of it,
    // no child of it lingers, and the next client finds both pipes waiting.
    void failedStartLeavesThePipesReady()
    {
        QFETCH(bool, useVxProcess);
        QFETCH(QString, options);
        QFETCH(bool, leaveWritePipe);
        QFETCH(QString, event);
        const QString page = QStringLiteral("https://downloads.example.org/vx");
        WriteConfig({{StartKkUseVxProcessSwitch, useVxProcess},
                     {KopkopConnectTimeoutKey, leaveWritePipe ? kLong : 300},
                     {KopkopDownloadUrlKey, page}});
        QFile notRunnable(m_host->dir.filePath(QStringLiteral("not-runnable")));  // exists, may not be run
        QVERIFY(notRunnable.open(QIODevice::WriteOnly) && notRunnable.write("data") == 4);
        notRunnable.close();
        const QString program = options.isEmpty() ? notRunnable.fileName() : ClientProgram(options);
        m_manager->Initialize();
        QSignalSpy errors(m_manager.get(), &VXKopkopManager::SigExecuteError);
        TrackingRecorder tracking;
        m_inspect->PrepareStateChanged(PZSdkPackageManage::PrepareFinished, program);
        if (!options.isEmpty()) {
            QCOMPARE(m_inspect->PipeStatus(), 1);
            QTRY_COMPARE_WITH_TIMEOUT(StartedClients(m_host->Log()).size(), 1, kLong);
        }
        if (leaveWritePipe) {
            TestClient gone;
            QCOMPARE(gone.fromModule.Open(m_inspect->WritePipeName()), DWORD(ERROR_SUCCESS));
            QTRY_VERIFY_WITH_TIMEOUT(!m_inspect->PipeServer()->IsWaitingForClient(), kLong);
        }
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, kLong);
        QCOMPARE(errors[0][0].toString(), InstallText(page));
        QCOMPARE(m_inspect->PipeStatus(), 0);
        QVERIFY2(Events(tracking).contains("Error " + event), qPrintable(Events(tracking).join('\n')));
        if (useVxProcess)
            QTRY_COMPARE_WITH_TIMEOUT(m_inspect->Process()->state(), QProcess::NotRunning, kLong);

        QTRY_VERIFY_WITH_TIMEOUT(m_inspect->PipeServer()->IsWaitingForClient(), kLong);
        TestClient next;
        ConnectClient(&next);
        QCOMPARE(errors.count(), 1);
    }

    void configIntegerOutOfRangeIsTheDefault_data()
    {
        QTest::addColumn<QJsonValue>("configured");
        QTest::addColumn<int>("limit");
        QTest::newRow("in range") << QJsonValue(1000) << 1000;
        QTest::newRow("lowest") << QJsonValue(0) << 0;
        QTest::newRow("below") << QJsonValue(-1) << VXPipeFrame::kDefaultPayloadLimit;
        QTest::newRow("above") << QJsonValue(qint64(VXPipeFrame::kMaxPayload) + 1) << VXPipeFrame::kDefaultPayloadLimit;
        QTest::newRow("not a number") << QJsonValue("lots") << VXPipeFrame::kDefaultPayloadLimit;
    }

    // The frame limit the manager configures shows in the report of a frame that exceeds it.
    void configIntegerOutOfRangeIsTheDefault()
    {
        QFETCH(QJsonValue, configured);
        QFETCH(int, limit);
        WriteConfig({{KopkopMaxFrameBytesKey, configured}});
        m_manager->Initialize();
        TestClient client;
        ConnectClient(&client);
        TrackingRecorder tracking;
        PZSdkPackageManage::PushScript({});  // the restart after the connection ends
        QByteArray header(VXPipeFrame::kLengthSize, '\0');
        qToLittleEndian<qint32>(VXPipeFrame::kMaxPayload, header.data());
        QVERIFY(client.toModule.Write(header));
        QTRY_VERIFY_WITH_TIMEOUT(!tracking.WithCode(QStringLiteral("PipeServerProtocolError")).isEmpty(), kLong);
        const QString text = tracking.WithCode(QStringLiteral("PipeServerProtocolError"))[0].text;
        QVERIFY2(text.contains(QStringLiteral(" 0..%1;").arg(limit)), qPrintable(text));
    }

    void pipesNotOursAreNeverUsed_data()
    {
        QTest::addColumn<bool>("letsGo");
        QTest::newRow("another process holds the name, then lets go") << true;
        QTest::newRow("another process holds the name for good") << false;
    }

    // Someone takes the name while the pipes are made again: the module never launches a client onto
    // pipes not its own. It waits for its retries, then launches - or tells the host and stays idle.
    void pipesNotOursAreNeverUsed()
    {
        QFETCH(bool, letsGo);
        const QString program = InitializeWithSilentClient(true);
        m_inspect->PipeServer()->CloseServer();  // as between a client's close and the pipes' re-creation
        HANDLE holder = VXPipeInstance::Create(m_inspect->WritePipeName());
        QVERIFY(holder != INVALID_HANDLE_VALUE);
        const auto release = qScopeGuard([&] {
            if (holder)
                CloseHandle(holder);
        });
        QSignalSpy errors(m_manager.get(), &VXKopkopManager::SigExecuteError);
        TrackingRecorder tracking;
        PZSdkPackageManage::PushScript({{PZSdkPackageManage::PrepareFinished, program}});
        m_manager->OpenKKWindow("buyer", KK_UserType_Customer, QString(), QString());
        QTRY_VERIFY_WITH_TIMEOUT(tracking.Codes().contains(QStringLiteral("StartKopKopWaitForPipes")), kLong);
        QCOMPARE(m_inspect->PipeStatus(), 0);
        QVERIFY(StartedClients(m_host->Log()).isEmpty());

        if (letsGo) {
            CloseHandle(holder);
            holder = nullptr;
            QTRY_COMPARE_WITH_TIMEOUT(m_inspect->PipeStatus(), 1, kLong);  // launched onto its own pipes
            QTRY_COMPARE_WITH_TIMEOUT(StartedClients(m_host->Log()).size(), 1, kLong);
            TestClient client;
            ConnectClient(&client);
            QCOMPARE(errors.count(), 0);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, kLong);
            QCOMPARE(tracking.WithCode(QStringLiteral("StartKopKopError")).size(), 1);
            QCOMPARE(tracking.WithCode(QStringLiteral("PipeServerUnavailable")).size(), 1);
            QCOMPARE(m_inspect->PipeStatus(), 0);
            QVERIFY(StartedClients(m_host->Log()).isEmpty());
            QCOMPARE(m_inspect->CacheTexts().size(), 1);  // still kept for a later client
        }
    }

    void commandsByStatus_data()
    {
        QTest::addColumn<Action>("command");
        QTest::addColumn<Build>("message");  // what the client is sent; null: nothing ever
        QTest::addColumn<QString>("code");   // the request wrapper's event
        QTest::addColumn<QString>("log");    // the manager's log line
        QTest::addColumn<int>("kind");       // 0 sent when connected, 1 kept until ready, 2 a status change
        QTest::addColumn<int>("state");

        KKSettingEntity setting;
        setting.SetSkinName("dark");
        const struct { const char* code; const char* log; int kind; Action command; Build message; } rows[] = {
            {"OpenKKWindow", "OpenKKWindow,strPin=Buyer_01,userType=1,strAppId=app,businessData=data", 1,
             [](VXKopkopManager* m) { m->OpenKKWindow("Buyer_01", KK_UserType_Merchant, "app", "data"); },
             [] { return MakeOpenKKWindowMessage("Buyer_01", KK_UserType_Merchant, "app", "data"); }},
            {"OpenKKGroup", "OpenKKGroup", 1, [](VXKopkopManager* m) { m->OpenKKGroup("g", "h"); },
             [] { return MakeOpenKKGroupMessage("g", "h"); }},
            {"OpenKKWorkbench", "OpenKKWorkbench", 1, [](VXKopkopManager* m) { m->OpenKKWorkbench("orders"); },
             [] { return MakeOpenKKWorkbenchMessage("orders"); }},
            {"ChangeStatus", "Change Kopkop status", 2, [](VXKopkopManager* m) { m->ChangeStatus(KK_Status_Busy); },
             [] { return MakeChangeStatusMessage(KK_Status_Busy); }},
            {"ChangeStatus to the current one", "Change Kopkop status", 0,
             [](VXKopkopManager* m) { m->ChangeStatus(KK_Status_Offline); }, [] { return Message(); }},
            {"ChangeSetting", "Change Setting", 0, [setting](VXKopkopManager* m) { m->ChangeSetting(setting); },
             [setting] { return MakeChangeSettingMessage(setting); }},
            {"ChangeSkin", "Change kopkop skin", 0, [](VXKopkopManager* m) { m->ChangeSkin("blue"); },
             [] { return MakeChangeSkinMessage("blue"); }},
            {"NotifyHasNewVersion", "Notify has new version", 0, [](VXKopkopManager* m) { m->NotifyHasNewVersion(); },
             [] { return MakeNotifyHasNewVersionMessage(); }},
            {"OpenBaseInfoSettingWindow", "OpenBaseInfoSettingWindow", 0,
             [](VXKopkopManager* m) { m->OpenBaseInfoSettingWindow(); },
             [] { return MakeOpenBaseInfoSettingWindowMessage(); }},
            {"ShowUnreadMessageList", "ShowUnreadMessageList", 0,
             [](VXKopkopManager* m) { m->ShowUnreadMessageList(false, -1, 0, 7, 2147483647); },
             [] { return MakeShowUnreadMessageListMessage(false, -1, 0, 7, 2147483647); }},
            {"Login", "Login", 0, [](VXKopkopManager* m) { m->Login(); }, [] { return MakeLoginMessage(); }},
            // Not the manager's: the wrapper's own, on the manager's pipes.
            {"NotifyChanged", "", 0,
             [](VXKopkopManager* m) {
                 KKWrapperImplement(VXKopkopManagerInspector(m).PipeServer()).NotifyChanged("x \"y\"");
             },
             [] { return MakeNotifyChangedMessage("x \"y\""); }},
        };
        const char* states[] = {"not initialised", "idle", "started", "connected, not ready", "ready"};
        for (const auto& row : rows) {
            for (int state = -1; state <= 3; ++state)
                QTest::addRow("%s, %s", row.code, states[state + 1])
                    << row.command << row.message << QString(row.code) << QString(row.log) << row.kind << state;
        }
    }

    // Kept requests and status changes launch an idle client and wait for it to be ready (a client
    // that is connected but not ready gets a login instead); kept requests are kept meanwhile. The
    // others go out whenever a client is connected. Nothing else reaches the client.
    void commandsByStatus()
    {
        QFETCH(Action, command);
        QFETCH(Build, message);
        QFETCH(QString, code);
        QFETCH(QString, log);
        QFETCH(int, kind);
        QFETCH(int, state);
        TestClient client;
        Reach(state, &client);
        // A kept request counts as a status change exactly when a start-up status is set.
        VXKKData* data = IGeneralData::Instance()->GetKKData();
        data->SetStatus(KK_Status_Offline);
        const bool startupSet = state == 1;
        data->SetStartupStatus(startupSet ? KK_Status_Online : KK_Status_Unset);
        data->SetChangeStatus(!startupSet);
        PZSdkPackageManage::PushScript({});
        const int prepares = PZSdkPackageManage::PrepareCallCount();
        TrackingRecorder tracking;
        LogRecorder logs;
        command(m_manager.get());

        const bool waits = kind > 0 && state >= 0;
        const bool keeps = kind == 1 && waits && state < 3;
        QCOMPARE(m_inspect->CacheTexts(), keeps ? QStringList{message()->ToString()} : QStringList());
        QCOMPARE(PZSdkPackageManage::PrepareCallCount(), prepares + (waits && state == 0 ? 1 : 0));
        QCOMPARE(data->GetChangeStatus(), kind == 1 && waits ? startupSet : kind == 2 && waits ? true : !startupSet);
        QCOMPARE(data->GetStartupStatus(),
                 kind == 2 && waits ? KK_Status_Busy : startupSet ? KK_Status_Online : KK_Status_Unset);
        QVERIFY(log.isEmpty() || logs.CountEndingWith(log) == 1);

        // The wrapper's events, each the text it wrote, and the frames the client gets.
        QStringList events, expected;
        QList<QByteArray> frames;
        if (message() && (waits ? state == 3 : state >= 2))
            frames << Text(message());
        else if (waits && state == 2)
            frames << Text(MakeLoginMessage());
        for (const QByteArray& frame : frames)
            expected << QStringLiteral("Info %1 %2").arg(state == 2 && waits ? "Login" : code, frame);
        for (const auto& r : tracking.Records()) {
            if (!r.location.contains(QStringLiteral("KKWrapperImplement::")))
                continue;
            QVERIFY2(r.location.endsWith(" KKWrapperImplement::" + r.code + ' '), qPrintable(r.location));
            QVERIFY(r.trackId == KKTrackId && r.value == -99999 && r.extra.isEmpty());
            events << QStringLiteral("%1 %2 %3").arg(r.level, r.code, r.text);
        }
        QCOMPARE(events, expected);
        // A raw text goes out as it is (UTF-8), once a client runs; nothing was queued meanwhile.
        const QString end = QStringLiteral("end \u00e9");
        if (state < 1)
            QVERIFY(!m_manager->SendCommand("refused"));
        if (state < 0)
            return;
        if (state < 2)
            ConnectClient(&client);
        QVERIFY(m_manager->SendCommand(end));
        frames << end.toUtf8();
        QCOMPARE(client.fromModule.ReadFrames(frames.size()), frames);
    }

    void startupFlushesInCallOrderBeforeTellingTheHost()
    {
        m_manager->Initialize();
        RecordingCallback callback;
        m_manager->SetKKCallback(&callback);
        m_inspect->SetPipeStatus(1);  // launching
        m_manager->OpenKKWindow("buyer_1", KK_UserType_Customer, "", "");
        m_manager->OpenKKWorkbench("w");
        m_manager->OpenKKGroup("g", "h");
        m_manager->OpenKKWindow("buyer_2", KK_UserType_Service, "", "");
        const QList<QByteArray> kept{Text(MakeOpenKKWindowMessage("buyer_1", KK_UserType_Customer, "", "")),
                                     Text(MakeOpenKKWorkbenchMessage("w")), Text(MakeOpenKKGroupMessage("g", "h")),
                                     Text(MakeOpenKKWindowMessage("buyer_2", KK_UserType_Service, "", ""))};

        TestClient client;
        ConnectClient(&client);
        QStringList cacheAtCallback{"not called"};
        callback.onCall = [&](const RecordingCallback::Call&) { cacheAtCallback = m_inspect->CacheTexts(); };
        LogRecorder log;
        QVERIFY(client.toModule.WriteFrame(Payload("StartupCompleted", {9u})));
        QTRY_COMPARE_WITH_TIMEOUT(callback.calls.size(), 1, kLong);
        QVERIFY(m_inspect->IsReady());
        QCOMPARE(cacheAtCallback, QStringList());  // flushed before the host was told
        QCOMPARE(log.CountEndingWith(QStringLiteral("Send cached messages to Kopkop")), 1);
        QCOMPARE(client.fromModule.ReadFrames(kept.size()), kept);
    }

    void inbound_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("call");  // the callback; empty: none
        QTest::addColumn<QVariantList>("args");
        QTest::addColumn<QString>("event");  // "code text" of an Error; empty: none
        // The message with `sent` arguments calls `callback` with `args`; at its fewest arguments,
        // one less calls nothing.
        using Args = const QVariantList&;
        const auto call = [](const char* name, Args sent, const char* callback, Args args) {
            QTest::addRow("%s with %d", name, sent.size()) << Payload(name, sent) << QString(callback) << args << QString();
        };
        const auto fewest = [&call](const char* name, Args sent, const char* callback, Args args) {
            call(name, sent, callback, args);
            call(name, sent.mid(0, sent.size() - 1), "", {});
        };
        fewest("OpenUrl", {"https://x", true}, "OnOpenUrl", {"https://x", true});
        fewest("OpenPlugin", {"orders"}, "OnOpenPlugin", {"orders"});
        fewest("OpenSetting", {"page"}, "OnOpenSetting", {"page"});
        fewest("StartupCompleted", {4242u}, "OnStartupCompleted", {4242u, QString()});
        call("StartupCompleted", {"7", "3.1"}, "OnStartupCompleted", {7u, "3.1"});
        fewest("ShowMessageBox", {"hi", 3u}, "OnShowMessageBox", {"hi", 3u});
        fewest("ChangeStatusCallback", {-2}, "OnChangeStatus", {-2});
        fewest("BaseInfoChanged", {"avatar"}, "OnBaseInfoChanged", {"avatar"});
        call("ActivePlatform", {}, "OnActivePlatform", {});
        fewest("UnreadMessageChanged", {"many"}, "OnUnreadMessageChanged", {0});
        fewest("TrayIconAction", {true, "click", 5}, "OnTrayIconAction", {true, "click", 5});
        fewest("ChangeLoginInitStatus", {1}, "OnChangeLoginInitStatus", {1});
        fewest("ChangeSkin", {"dark"}, "OnChangeSkin", {"dark"});
        call("UpgradeNewVersion", {}, "OnUpgradeNewVersion", {});
        call("LoginNewAccount", {"extra"}, "OnLoginNewAccount", {});
        fewest("UploadInterfaceException", {500, "a", "b", "c"}, "OnUploadInterfaceException", {500, "a", "b", "c"});
        fewest("UploadCefException", {-3, "1", "2", "3", "4", "5"}, "OnUploadCefException",
               {-3, "1", "2", "3", "4", "5"});
        QTest::newRow("text ends at NUL")
            << Payload("ActivePlatform") + QByteArray("\0garbage", 8) << "OnActivePlatform" << QVariantList() << QString();

        const QByteArray afterNul = QByteArray("bad\0", 4) + Payload("ActivePlatform");
        const auto report = [](const char* tag, const QByteArray& payload, const QString& event) {
            QTest::newRow(tag) << payload << QString() << QVariantList() << event;
        };
        report("not a message", "hello {", "KopkopInvalidMessage 7 bytes: hello {");
        report("long payload is quoted, not copied", QByteArray(100000, 'x'),
               "KopkopInvalidMessage 100000 bytes: " + QString(64, QLatin1Char('x')) + "...");
        report("garbage after NUL is not read", afterNul,
               QStringLiteral("KopkopInvalidMessage %1 bytes: bad").arg(afterNul.size()));
        report("unknown name", Payload("Hello", {"x"}), "KopkopUnknownMessage Hello");
        report("name differs in case", Payload("openurl", {"x", true}), "KopkopUnknownMessage openurl");
    }

    // Each payload first without a callback, then with one.
    void inbound()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QString, call);
        QFETCH(QVariantList, args);
        QFETCH(QString, event);
        m_manager->Initialize();
        m_inspect->CacheMsg(MakeOpenKKGroupMessage("g", ""));
        TrackingRecorder tracking;
        m_inspect->ReadData(payload);  // without a callback: only a payload that is no message is reported
        QVERIFY(!m_inspect->IsReady());
        QCOMPARE(Events(tracking).size(), event.startsWith(QLatin1String("KopkopInvalidMessage")) ? 1 : 0);
        tracking.Clear();
        RecordingCallback callback;
        m_manager->SetKKCallback(&callback);
        m_inspect->ReadData(payload);
        QCOMPARE(callback.Names(), call.isEmpty() ? QStringList() : QStringList{call});
        if (!call.isEmpty())
            QCOMPARE(callback.calls[0].second, args);
        const bool startup = call == QLatin1String("OnStartupCompleted");
        QCOMPARE(m_inspect->IsReady(), startup);
        QCOMPARE(m_inspect->CacheTexts().size(), startup ? 0 : 1);
        QCOMPARE(Events(tracking), event.isEmpty() ? QStringList() : QStringList{"Error " + event});
        if (!event.isEmpty()) {
            const auto record = tracking.Records()[0];
            QVERIFY(record.trackId == QLatin1String("370") && record.value == -99999 && record.extra.isEmpty());
            QVERIFY2(QRegularExpression(QStringLiteral("^VXKopkopManager\\.cpp\\[\\d+\\] VXKopkopManager::SlotReadData $"))
                         .match(record.location).hasMatch(), qPrintable(record.location));
        }
    }
};

QTEST_GUILESS_MAIN(TestManager)
#include "tst_manager.moc"
