// The manager on its own, with scripted package preparation, small scripts as the launched
// program and a test client on the real pipes: lifecycle, launch bookkeeping, the crash window,
// process errors, the commands and their cache, and the dispatch of every inbound message.
// The real simulator, launched for real, is the end-to-end suite's business.

#include "ClientProcesses.h"
#include "FakeClock.h"
#include "ManagerInspector.h"
#include "PipeTestClient.h"
#include "Recorders.h"
#include "RecordingCallback.h"

#include "PlatformKKWrapper/KKMessageBuilders.h"
#include "PlatformKKWrapper/KKSettingEntity.h"
#include "PlatformKKWrapper/VXPipeInstance.h"
#include "PlatformKKWrapper/VXKopkopManager.h"
#include "VXCore/VXGlobalData.h"
#include "VXFoundation/VXProcess.h"
#include "VXFrameData/IGeneralData.h"
#include "VXFrameData/VXKKData.h"
#include "YRBase/VXConfigService.h"
#include "YRBase/YRRouterProtocol.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <functional>
#if !defined(Q_OS_WIN)
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <memory>

using Action = std::function<void(VXKopkopManager*)>;
using Steps = QList<PZSdkPackageManage::Step>;
Q_DECLARE_METATYPE(Action)

namespace {

const int kLong = 30000;  // ms
const QString kConfigUri = QStringLiteral("vx://config/object/service");
const QString kInstallText =
    QStringLiteral("cant't start kk, please install VX from https://vx.example.com/download, then retry.");

// The chat client's two pipe ends, driven by the test.
struct TestClient
{
    PipeTestClient fromModule;
    PipeTestClient toModule;
};

}  // namespace

class TestManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    // --- Lifecycle -------------------------------------------------------------------------------
    void instanceIsOneUntilReleased();
    void instanceAndReleaseFromSeveralThreads();
    void initializeOnceWithOneUuid();

    // --- Launch and supervision ------------------------------------------------------------------
    void executeKKRecordsThenChecks_data();
    void executeKKRecordsThenChecks();
    void prepareStates_data();
    void prepareStates();
    void launchCommandLineAndBookkeeping_data();
    void launchCommandLineAndBookkeeping();
    void failedDetachedStartReturnsToIdle();
    void crashWindow_data();
    void crashWindow();
    void processError_data();
    void processError();
    void clientConnectedTakesOver();
    void clientClosedKeepsCacheAndRestarts();
    void thirdCloseTellsTheHost();
    void failedStartLeavesThePipesReady_data();
    void failedStartLeavesThePipesReady();
    void pipesNotOursAreNeverUsed_data();
    void pipesNotOursAreNeverUsed();

    // --- Commands and the cache ------------------------------------------------------------------
    void guardedCommandsByStatus_data();
    void guardedCommandsByStatus();
    void openKKWindowLogsPinAsGiven();
    void changeStatusUpdatesFrameData_data();
    void changeStatusUpdatesFrameData();
    void otherCommandsNeverCacheOrLaunch();
    void sendCommandRules();
    void beforeInitializeOnlyLogs();
    void startupFlushesInCallOrderBeforeTellingTheHost();

    // --- Inbound dispatch ------------------------------------------------------------------------
    void dispatchesEveryMessage_data();
    void dispatchesEveryMessage();
    void tooFewArgumentsCallNothing_data();
    void tooFewArgumentsCallNothing();
    void reportsWhatItCannotHandle_data();
    void reportsWhatItCannotHandle();
    void withoutCallbackNothingHappens();

private:
    // An initialised manager whose client (the test's) is connected: status 2.
    void ConnectClient(VXKopkopManager* manager, TestClient* client);
    // A copy of the chat-client simulator at `relativePath` in the test's folder, which the
    // manager's launches will run with `options` (the simulator logs its start, with its pid,
    // arguments and working directory, to ClientLog()).
    QString ClientProgram(const QString& relativePath, const QString& options);
    QString ClientLog() const { return m_dir->filePath(QStringLiteral("client.jsonl")); }
    // The "start" events the launched clients logged.
    QList<QJsonObject> ClientStarts() const;
    void SetUseVxProcess(bool use);
    void WriteConfig(const QByteArray& json);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<VXConfigService> m_config;
};

void TestManager::initTestCase()
{
    QVERIFY2(FakeClock::IsActive(), "the fake monotonic clock did not replace clock_gettime");
}

void TestManager::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_config.reset(new VXConfigService(m_dir->filePath(QStringLiteral("host.json"))));
    YRRouterProtocol::Register(kConfigUri, m_config.get());
    PZSdkPackageManage::ClearScripts();
    VXKKData* data = IGeneralData::Instance()->GetKKData();
    data->SetStatus(KK_Status_Offline);
    data->SetStartupStatus(KK_Status_Unset);
    data->SetChangeStatus(false);
    VXGlobalData::Instance()->SetAppVersion("5.2.1");
}

void TestManager::cleanup()
{
    for (qint64 pid : LiveClients(ClientLog()))
        KillProcess(pid);
    qunsetenv("KOPKOP_SIM_OPTIONS");
    qunsetenv("KOPKOP_SIM_LOG");
    YRRouterProtocol::Unregister(kConfigUri);
    m_config.reset();
    m_dir.reset();
}

void TestManager::ConnectClient(VXKopkopManager* manager, TestClient* client)
{
    VXKopkopManagerInspector inspect(manager);
    QSignalSpy connected(manager, &VXKopkopManager::SigKopkopConnected);
    QCOMPARE(client->fromModule.Open(inspect.WritePipeName()), DWORD(ERROR_SUCCESS));
    QCOMPARE(client->toModule.Open(inspect.ReadPipeName()), DWORD(ERROR_SUCCESS));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);
    QCOMPARE(inspect.PipeStatus(), 2);
}

QString TestManager::ClientProgram(const QString& relativePath, const QString& options)
{
    const QString suffix = QFileInfo(QStringLiteral(KOPKOP_SIM)).suffix();  // "exe" on Windows
    const QString path = m_dir->filePath(relativePath + (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix));
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!QFile::exists(path) && !QFile::copy(QStringLiteral(KOPKOP_SIM), path))
        return QString();
    qputenv("KOPKOP_SIM_OPTIONS", ("--quiet " + options).toUtf8());
    qputenv("KOPKOP_SIM_LOG", ClientLog().toUtf8());
    return path;
}

QList<QJsonObject> TestManager::ClientStarts() const
{
    QList<QJsonObject> starts;
    QFile log(ClientLog());
    if (log.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : log.readAll().split('\n')) {
            const QJsonObject event = QJsonDocument::fromJson(line).object();
            if (event.value(QStringLiteral("event")).toString() == QLatin1String("start"))
                starts.append(event);
        }
    }
    return starts;
}

void TestManager::SetUseVxProcess(bool use)
{
    WriteConfig(use ? "{\"pc_start_kk_use_vxprocess_switch\": true}\n" : "{\"pc_start_kk_use_vxprocess_switch\": false}");
}

void TestManager::WriteConfig(const QByteArray& json)
{
    QFile file(m_config->GetFilePath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(json);
}

// ---------------------------------------------------------------------------------------------
// Lifecycle

void TestManager::instanceIsOneUntilReleased()
{
    VXKopkopManager* first = VXKopkopManager::Instance();
    QCOMPARE(VXKopkopManager::Instance(), first);
    first->Initialize();
    VXKopkopManager::ReleaseInstance();
    VXKopkopManager::ReleaseInstance();  // nothing left: a no-op

    VXKopkopManager* second = VXKopkopManager::Instance();
    VXKopkopManagerInspector inspect(second);
    QCOMPARE(inspect.PipeStatus(), 0);
    QVERIFY(inspect.WritePipeName().isEmpty() && inspect.ReadPipeName().isEmpty());
    QVERIFY(!inspect.IsConnected());
    VXKopkopManager::ReleaseInstance();
}

void TestManager::instanceAndReleaseFromSeveralThreads()
{
    for (int round = 0; round < 20; ++round) {
        QList<QThread*> threads;
        QVector<VXKopkopManager*> seen(8, nullptr);
        for (int t = 0; t < seen.size(); ++t)
            threads.append(QThread::create([&seen, t] { seen[t] = VXKopkopManager::Instance(); }));
        for (QThread* thread : threads)
            thread->start();
        for (QThread* thread : threads)
            QVERIFY(thread->wait(kLong));
        qDeleteAll(threads);
        threads.clear();
        for (VXKopkopManager* manager : seen)
            QCOMPARE(manager, seen.first());
        QVERIFY(seen.first());

        // Several threads release at once: the manager is destroyed exactly once.
        for (int t = 0; t < 4; ++t)
            threads.append(QThread::create([] { VXKopkopManager::ReleaseInstance(); }));
        for (QThread* thread : threads)
            thread->start();
        for (QThread* thread : threads)
            QVERIFY(thread->wait(kLong));
        qDeleteAll(threads);
    }
}

void TestManager::initializeOnceWithOneUuid()
{
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    QVERIFY(!inspect.PipeServer());
    manager.Initialize();
    VXPipeServer* server = inspect.PipeServer();
    const void* wrapper = inspect.Wrapper();
    PZSdkPackageManage* package = inspect.PackageManage();
    const QString write = inspect.WritePipeName();
    QVERIFY(server && wrapper && package);
    manager.Initialize();
    QCOMPARE(inspect.PipeServer(), server);
    QCOMPARE(inspect.Wrapper(), wrapper);
    QCOMPARE(inspect.PackageManage(), package);
    QCOMPARE(inspect.WritePipeName(), write);

    const QRegularExpression shape(QStringLiteral(
        "^\\\\\\\\\\.\\\\pipe\\\\(write|read)pipe_(\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\})$"));
    const auto w = shape.match(inspect.WritePipeName());
    const auto r = shape.match(inspect.ReadPipeName());
    QVERIFY2(w.hasMatch() && r.hasMatch(), qPrintable(inspect.WritePipeName() + " " + inspect.ReadPipeName()));
    QCOMPARE(w.captured(1), QStringLiteral("write"));
    QCOMPARE(r.captured(1), QStringLiteral("read"));
    QCOMPARE(w.captured(2), r.captured(2));
    QCOMPARE(inspect.WritePipeName().size(), 57);
    QCOMPARE(inspect.ReadPipeName().size(), 56);

    // One connection only: a payload reaches the slot once even after several closes.
    RecordingCallback callback;
    manager.SetKKCallback(&callback);
    for (int i = 0; i < 3; ++i)
        inspect.ClientClosed();  // calls SetAsyncRead again each time
    emit server->SigReadData("[\"ActivePlatform\"]");
    QCOMPARE(callback.Names(), QStringList{"OnActivePlatform"});

    VXKopkopManager other;
    other.Initialize();
    QVERIFY(VXKopkopManagerInspector(&other).WritePipeName() != write);
}

// ---------------------------------------------------------------------------------------------
// Launch and supervision

void TestManager::executeKKRecordsThenChecks_data()
{
    QTest::addColumn<bool>("initialized");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("isAuto");
    QTest::addColumn<QString>("error");  // empty: Prepare is called
    QTest::newRow("idle, asked") << true << 0 << false << "";
    QTest::newRow("idle, automatic") << true << 0 << true << "";
    QTest::newRow("started") << true << 1 << false << "m_pipeStatus is not in normal state";
    QTest::newRow("connected, automatic") << true << 2 << true << "m_pipeStatus is not in normal state";
    QTest::newRow("not initialised") << false << 0 << false << "m_packageManage is nullptr";
}

void TestManager::executeKKRecordsThenChecks()
{
    QFETCH(bool, initialized);
    QFETCH(int, status);
    QFETCH(bool, isAuto);
    QFETCH(QString, error);
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    if (initialized)
        manager.Initialize();
    inspect.SetPipeStatus(status);
    PZSdkPackageManage::PushScript({});  // whatever Prepare reports: nothing
    const int prepares = PZSdkPackageManage::PrepareCallCount();
    TrackingRecorder tracking;
    manager.ExecuteKK(isAuto);

    const auto records = tracking.Records();
    QVERIFY(!records.isEmpty());
    QCOMPARE(records[0].level, QStringLiteral("Info"));
    QCOMPARE(records[0].trackId, QStringLiteral("370"));
    QCOMPARE(records[0].code, QStringLiteral("ExecuteKK"));
    QCOMPARE(records[0].text, isAuto ? QStringLiteral("isAuto: true") : QStringLiteral("isAuto: false"));
    QVERIFY(records[0].location.endsWith(QStringLiteral(" VXKopkopManager::ExecuteKK ")));
    if (error.isEmpty()) {
        QCOMPARE(records.size(), 1);
        QCOMPARE(PZSdkPackageManage::PrepareCallCount(), prepares + 1);
    } else {
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[1].level, QStringLiteral("Error"));
        QCOMPARE(records[1].code, QStringLiteral("ExecuteKKError"));
        QCOMPARE(records[1].text, error);
        QCOMPARE(PZSdkPackageManage::PrepareCallCount(), prepares);
    }
    QCOMPARE(inspect.PipeStatus(), status);  // preparing does not change the status
    PZSdkPackageManage::ClearScripts();
}

void TestManager::prepareStates_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("emitted");
    QTest::addColumn<QStringList>("codes");
    QTest::newRow("pending") << 2 << "seller_01" << QStringList{"pending:seller_01"} << QStringList{};
    QTest::newRow("failed") << 4 << "disk full" << QStringList{"error:disk full"} << QStringList{"KopkopPrepareError"};
    QTest::newRow("finished, executable missing") << 3 << "/nonexistent/kopkop" << QStringList{}
                                                  << QStringList{"StartKopKopError"};
    QTest::newRow("0 ignored") << 0 << "x" << QStringList{} << QStringList{};
    QTest::newRow("1 ignored") << 1 << "x" << QStringList{} << QStringList{};
    QTest::newRow("5 ignored") << 5 << "x" << QStringList{} << QStringList{};
}

void TestManager::prepareStates()
{
    QFETCH(int, state);
    QFETCH(QString, text);
    QFETCH(QStringList, emitted);
    QFETCH(QStringList, codes);
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    manager.Initialize();
    QStringList seen;
    connect(&manager, &VXKopkopManager::SigExecutePending, this, [&](const QString& t) { seen << "pending:" + t; });
    connect(&manager, &VXKopkopManager::SigExecuteError, this, [&](const QString& t) { seen << "error:" + t; });
    connect(&manager, &VXKopkopManager::SigShowLoading, this, [&] { seen << "loading"; });
    TrackingRecorder tracking;
    MonitorRecorder monitor;
    inspect.PrepareStateChanged(PZSdkPackageManage::PrepareState(state), text);
    QCOMPARE(seen, emitted);
    QCOMPARE(tracking.Codes(), codes);
    if (!codes.isEmpty()) {
        QCOMPARE(tracking.Records()[0].text, state == 4 ? text : QStringLiteral("Kopkop executable file not found"));
        QCOMPARE(tracking.Records()[0].level, state == 4 ? QStringLiteral("Warn") : QStringLiteral("Error"));
    }
    QCOMPARE(inspect.PipeStatus(), 0);
    QVERIFY(!inspect.HasStarted());  // a missing executable is not a launch
    QCOMPARE(monitor.Count(), 0);
}

void TestManager::launchCommandLineAndBookkeeping_data()
{
    QTest::addColumn<bool>("useVxProcess");
    QTest::newRow("through VXProcess") << true;
    QTest::newRow("detached") << false;
}

// The launched program is the simulator, which logs the arguments and the working directory it
// was started with, and then waits (it never connects).
void TestManager::launchCommandLineAndBookkeeping()
{
    QFETCH(bool, useVxProcess);
    SetUseVxProcess(useVxProcess);
    const QString program = ClientProgram(QStringLiteral("client dir/kopkop"), QStringLiteral("--misbehave never-connect"));
    QVERIFY(!program.isEmpty());

    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    manager.Initialize();
    int statusAtLoading = -1;
    connect(&manager, &VXKopkopManager::SigShowLoading, this, [&] { statusAtLoading = inspect.PipeStatus(); });
    TrackingRecorder tracking;
    MonitorRecorder monitor;

    inspect.PrepareStateChanged(PZSdkPackageManage::PrepareFinished, program);
    QCOMPARE(statusAtLoading, 1);
    QCOMPARE(inspect.PipeStatus(), 1);
    QVERIFY(inspect.HasStarted());
    QCOMPARE(inspect.Process() != nullptr, useVxProcess);
    const QString launchCode = useVxProcess ? QStringLiteral("StartKopKopUseVXProcess") : QStringLiteral("StartKopKopUseQProcess_Win");
    QCOMPARE(tracking.Codes(), (QStringList{"kopkopPV", launchCode}));
    QCOMPARE(tracking.Records()[0].text, QStringLiteral("kokop started"));
    QCOMPARE(tracking.Records()[0].level, QStringLiteral("Warn"));
    QCOMPARE(monitor.Names(), QStringList{"kopkopPV"});
    QCOMPARE(monitor.Records()[0].params, QStringList(QVector<QString>(9).toList()));

    QTRY_COMPARE_WITH_TIMEOUT(ClientStarts().size(), 1, kLong);
    const QJsonObject start = ClientStarts().at(0);
    const QStringList arguments = start.value(QStringLiteral("arguments")).toVariant().toStringList();
    QCOMPARE(arguments.size(), 2);  // exactly two
    const QString expectedPipeArg = QStringLiteral("pipe?param=%1&%2").arg(inspect.WritePipeName(), inspect.ReadPipeName());
    QCOMPARE(arguments[0], expectedPipeArg);
    QCOMPARE(arguments[0].size(), 125);
    QVERIFY(!arguments[0].contains(QLatin1Char(' ')));
    QCOMPARE(arguments[1], QStringLiteral("version=5.2.1"));
    QCOMPARE(QFileInfo(start.value(QStringLiteral("workingDirectory")).toString()).canonicalFilePath(),
             QFileInfo(QFileInfo(program).absolutePath()).canonicalFilePath());

    // A second launch of the same manager is a restart, even if the first ended normally.
    tracking.Clear();
    monitor.Clear();
    inspect.SetPipeStatus(0);
    inspect.PrepareStateChanged(PZSdkPackageManage::PrepareFinished, program);
    QCOMPARE(tracking.Codes(), (QStringList{"startKopKopAgain", launchCode}));
    QCOMPARE(tracking.Records()[0].text, QStringLiteral("kopkop could crashed"));
    QCOMPARE(monitor.Names(), QStringList{"kopkopCrashed"});
}

void TestManager::failedDetachedStartReturnsToIdle()
{
    SetUseVxProcess(false);
    const QString notRunnable = m_dir->filePath(QStringLiteral("not-runnable"));
    QFile file(notRunnable);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("data");
    file.close();  // exists, but may not be executed
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    manager.Initialize();
    QSignalSpy errors(&manager, &VXKopkopManager::SigExecuteError);
    TrackingRecorder tracking;
    inspect.PrepareStateChanged(PZSdkPackageManage::PrepareFinished, notRunnable);
    QCOMPARE(inspect.PipeStatus(), 0);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors[0][0].toString(), kInstallText);
    QVERIFY(tracking.Codes().contains(QStringLiteral("StartKopKopError")));
}

void TestManager::crashWindow_data()
{
    // Each step: milliseconds to move the clock forward before a close (-1: an ExecuteKK(false)
    // instead of a close), and whether that close may restart the client.
    QTest::addColumn<QList<int>>("advances");
    QTest::addColumn<QList<bool>>("allowed");
    QTest::newRow("third close in the window is refused") << QList<int>{0, 1000, 1000} << QList<bool>{true, true, false};
    QTest::newRow("later closes in the window are refused too")
        << QList<int>{0, 10, 10, 10} << QList<bool>{true, true, false, false};
    QTest::newRow("a close at exactly 60000 ms is still inside")
        << QList<int>{0, 30000, 30000} << QList<bool>{true, true, false};
    QTest::newRow("a close after 60000 ms opens a new window")
        << QList<int>{0, 30000, 30001, 1, 1} << QList<bool>{true, true, true, true, false};
    QTest::newRow("a refused window still ends")
        << QList<int>{0, 1, 1, 60000} << QList<bool>{true, true, false, true};
    QTest::newRow("ExecuteKK(false) opens a new window")
        << QList<int>{0, 1, -1, 1, 1, 1} << QList<bool>{true, true, true, true, false};
}

void TestManager::crashWindow()
{
    QFETCH(QList<int>, advances);
    QFETCH(QList<bool>, allowed);
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    manager.Initialize();
    PZSdkPackageManage::PushScript({});
    TrackingRecorder tracking;
    // Elapsed time moves only when the test says so; thawed however the function is left.
    FakeClock::Freeze();
    struct ThawOnExit { ~ThawOnExit() { FakeClock::Thaw(); } } thaw;
    int close = 0;
    for (int advance : advances) {
        if (advance < 0) {
            manager.ExecuteKK(false);
            continue;
        }
        FakeClock::Advance(advance);
        const int refusedBefore = tracking.WithCode(QStringLiteral("KKCrashTooManyTimes")).size();
        const bool result = inspect.CrashTimesCheck();
        const bool refusedNow = tracking.WithCode(QStringLiteral("KKCrashTooManyTimes")).size() > refusedBefore;
        QVERIFY2(result == allowed.at(close), qPrintable(QStringLiteral("close %1").arg(close)));
        QCOMPARE(refusedNow, !allowed.at(close));
        ++close;
    }
    QCOMPARE(close, allowed.size());
    PZSdkPackageManage::ClearScripts();
}

void TestManager::processError_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("error");
    for (int error = QProcess::FailedToStart; error <= QProcess::UnknownError; ++error) {
        for (int status : {0, 1, 2})
            QTest::addRow("status %d, error %d", status, error) << status << error;
    }
}

void TestManager::processError()
{
    QFETCH(int, status);
    QFETCH(int, error);
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    inspect.SetPipeStatus(status);
    QSignalSpy errors(&manager, &VXKopkopManager::SigExecuteError);
    TrackingRecorder tracking;
    inspect.ProcessError(QProcess::ProcessError(error));
    const auto records = tracking.Records();
    QCOMPARE(records.size(), 1);
    QCOMPARE(records[0].level, QStringLiteral("Error"));
    if (status == 1) {
        QCOMPARE(inspect.PipeStatus(), 0);
        QCOMPARE(records[0].code, QStringLiteral("KKProcessError"));
        QCOMPARE(records[0].text, QStringLiteral("error code %1").arg(error));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors[0][0].toString(), kInstallText);
    } else {
        QCOMPARE(inspect.PipeStatus(), status);
        QCOMPARE(records[0].code, QStringLiteral("KKProcessErrorAccident"));
        QCOMPARE(records[0].text, QStringLiteral("pipe status %1, error code %2").arg(status).arg(error));
        QCOMPARE(errors.count(), 0);
    }
}

void TestManager::clientConnectedTakesOver()
{
    SetUseVxProcess(true);
    const QString program = ClientProgram(QStringLiteral("kopkop"), QStringLiteral("--misbehave never-connect"));
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    manager.Initialize();
    inspect.PrepareStateChanged(PZSdkPackageManage::PrepareFinished, program);
    QVERIFY(inspect.Process());
    QVERIFY(inspect.Process()->waitForStarted(kLong));
    const qint64 pid = inspect.Process()->processId();
    inspect.ProcessError(QProcess::Crashed);  // as if: status back to 0 ...
    QCOMPARE(inspect.PipeStatus(), 0);
    LogRecorder log;
    QSignalSpy connected(&manager, &VXKopkopManager::SigKopkopConnected);
    inspect.ClientConnected();  // ... and yet the pipe connects
    QVERIFY(!inspect.Process());
    QCOMPARE(inspect.PipeStatus(), 2);
    QCOMPARE(connected.count(), 1);
    QCOMPARE(log.CountEndingWith(QStringLiteral("VXKopkopManager::SlotClientConnected Kopkop pipe is connected")), 1);
    // The program outlived its process object.
    QVERIFY(IsProcessAlive(pid));
}

void TestManager::clientClosedKeepsCacheAndRestarts()
{
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    manager.Initialize();
    inspect.SetPipeStatus(2);
    inspect.SetReady(false);
    inspect.CacheMsg(VXProcessMessage::Create(QStringLiteral("OpenKKGroup")));
    PZSdkPackageManage::PushScript({});
    const int prepares = PZSdkPackageManage::PrepareCallCount();
    TrackingRecorder tracking;
    MonitorRecorder monitor;
    LogRecorder log;
    inspect.ClientClosed();
    QCOMPARE(inspect.PipeStatus(), 0);
    QVERIFY(!inspect.IsReady());
    QCOMPARE(inspect.CacheTexts().size(), 1);
    QCOMPARE(monitor.Names(), QStringList{"Home_Kk_Crash"});
    QVERIFY(monitor.Records()[0].isList && monitor.Records()[0].params.isEmpty());
    QCOMPARE(log.CountEndingWith(QStringLiteral("Kopkop pipe is closed")), 1);
    QCOMPARE(tracking.Codes(), QStringList{"ExecuteKK"});
    QCOMPARE(tracking.Records()[0].text, QStringLiteral("isAuto: true"));
    QCOMPARE(PZSdkPackageManage::PrepareCallCount(), prepares + 1);
    PZSdkPackageManage::ClearScripts();
}

void TestManager::thirdCloseTellsTheHost()
{
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    manager.Initialize();
    QSignalSpy refused(&manager, &VXKopkopManager::SigKopkopRestartRefused);
    for (int close = 1; close <= 4; ++close) {
        PZSdkPackageManage::PushScript({});
        inspect.SetPipeStatus(2);
        inspect.ClientClosed();
        QCOMPARE(refused.count(), qMax(0, close - 2));  // the third and every later one in the window
    }
    PZSdkPackageManage::ClearScripts();
}

void TestManager::failedStartLeavesThePipesReady_data()
{
    QTest::addColumn<bool>("useVxProcess");
    QTest::addColumn<QString>("options");        // the launched client's
    QTest::addColumn<bool>("leaveWritePipe");    // the test's client opens the write pipe and leaves
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("child exits 0 before connecting") << true << "--die-at start --die-how exit:0" << false
                                                     << "KKProcessError" << "exit code 0 before connecting";
    QTest::newRow("child exits 3 before connecting") << true << "--die-at start --die-how exit:3" << false
                                                     << "KKProcessError" << "exit code 3 before connecting";
    QTest::newRow("child never connects") << true << "--misbehave never-connect" << false << "KKConnectTimeout"
                                          << "no connection within 300 ms";
    QTest::newRow("detached never connects") << false << "--misbehave never-connect" << false << "KKConnectTimeout"
                                             << "no connection within 300 ms";
    QTest::newRow("child leaves between the pipes") << true << "--misbehave never-connect" << true << "KKProcessError"
                                                    << "the client left the write pipe before opening the read pipe";
    QTest::newRow("detached leaves between the pipes") << false << "--misbehave never-connect" << true
                                                       << "KKProcessError"
                                                       << "the client left the write pipe before opening the read pipe";
}

// However a launched client fails to connect, the manager is idle again, the host hears of it
// (with the download page the host configured), nothing of that client is left running or
// holding a pipe, and the next client finds both pipes waiting.
void TestManager::failedStartLeavesThePipesReady()
{
    QFETCH(bool, useVxProcess);
    QFETCH(QString, options);
    QFETCH(bool, leaveWritePipe);
    QFETCH(QString, code);
    QFETCH(QString, text);
    WriteConfig(QStringLiteral("{\"pc_start_kk_use_vxprocess_switch\": %1, \"pc_kopkop_connect_timeout_ms\": %2,"
                               " \"pc_kopkop_download_url\": \"https://downloads.example.org/vx\"}")
                    .arg(useVxProcess ? "true" : "false")
                    .arg(leaveWritePipe ? kLong : 300)
                    .toUtf8());
    const QString program = ClientProgram(QStringLiteral("kopkop"), options);
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    manager.Initialize();
    QSignalSpy errors(&manager, &VXKopkopManager::SigExecuteError);
    TrackingRecorder tracking;
    inspect.PrepareStateChanged(PZSdkPackageManage::PrepareFinished, program);
    QCOMPARE(inspect.PipeStatus(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(StartedClients(ClientLog()).size(), 1, kLong);
    if (leaveWritePipe) {
        TestClient gone;
        QCOMPARE(gone.fromModule.Open(inspect.WritePipeName()), DWORD(ERROR_SUCCESS));
        QTRY_VERIFY_WITH_TIMEOUT(!inspect.PipeServer()->IsWaitingForClient(), kLong);
    }

    QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, kLong);
    QCOMPARE(errors[0][0].toString(),
             QStringLiteral("cant't start kk, please install VX from https://downloads.example.org/vx, then retry."));
    QCOMPARE(inspect.PipeStatus(), 0);
    const auto records = tracking.WithCode(code);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records[0].text, text);
    if (useVxProcess)
        QTRY_COMPARE_WITH_TIMEOUT(inspect.Process()->state(), QProcess::NotRunning, kLong);  // no child lingers
    // (a detached client is not the module's to stop; cleanup() ends it)

    QTRY_VERIFY_WITH_TIMEOUT(inspect.PipeServer()->IsWaitingForClient(), kLong);
    TestClient next;
    ConnectClient(&manager, &next);
    QCOMPARE(errors.count(), 1);
}

void TestManager::pipesNotOursAreNeverUsed_data()
{
    QTest::addColumn<QString>("holder");  // who keeps the module from making its pipes
    QTest::addColumn<bool>("letsGo");
    QTest::newRow("another process holds the name, lets go") << "squatter" << true;
    QTest::newRow("another process holds the name for good") << "squatter" << false;
    QTest::newRow("the socket directory is another user's") << "directory" << false;
}

// Between tearing the pipes down and making them again, someone else takes the name (or the
// socket directory is not ours): the module never launches a client onto pipes that are not its
// own. It waits for its retries, then launches - or tells the host and stays idle.
void TestManager::pipesNotOursAreNeverUsed()
{
    QFETCH(QString, holder);
    QFETCH(bool, letsGo);
    SetUseVxProcess(true);
    const QString program = ClientProgram(QStringLiteral("kopkop"), QStringLiteral("--misbehave never-connect"));
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    manager.Initialize();
    inspect.PipeServer()->CloseServer();  // as between a client's close and the pipes' re-creation

    HANDLE squatter = nullptr;
    QByteArray home = qgetenv("HOME"), runtime = qgetenv("XDG_RUNTIME_DIR");
    const bool hadRuntime = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
    struct Restore {
        std::function<void()> f;
        ~Restore() { f(); }
    } restore{[&] {
        qputenv("HOME", home);
        if (hadRuntime)
            qputenv("XDG_RUNTIME_DIR", runtime);
        if (squatter)
            CloseHandle(squatter);
    }};
    if (holder == QLatin1String("squatter")) {
        squatter = VXPipeInstance::Create(inspect.WritePipeName());
        QVERIFY(squatter != INVALID_HANDLE_VALUE);
    } else {
#if defined(Q_OS_WIN)
        QSKIP("the socket directory is the Linux Win32 layer's; Windows keeps its pipes in the kernel");
#else
        if (::geteuid() != 0)
            QSKIP("needs root to give a directory to another user");
        const QString fakeHome = m_dir->filePath(QStringLiteral("home"));
        QVERIFY(QDir().mkpath(fakeHome + QStringLiteral("/.win32layer")));
        QVERIFY(::chmod(QFile::encodeName(fakeHome).constData(), 0700) == 0);
        QVERIFY(::chown(QFile::encodeName(fakeHome + QStringLiteral("/.win32layer")).constData(), 65534, 65534) == 0);
        qputenv("HOME", fakeHome.toUtf8());
        qunsetenv("XDG_RUNTIME_DIR");
#endif
    }

    QSignalSpy errors(&manager, &VXKopkopManager::SigExecuteError);
    TrackingRecorder tracking;
    PZSdkPackageManage::PushScript({{PZSdkPackageManage::PrepareFinished, program}});
    manager.OpenKKWindow(QStringLiteral("buyer"), KK_UserType_Customer, QString(), QString());
    QTRY_VERIFY_WITH_TIMEOUT(tracking.Codes().contains(QStringLiteral("StartKopKopWaitForPipes")), kLong);
    QCOMPARE(inspect.PipeStatus(), 0);
    QVERIFY(StartedClients(ClientLog()).isEmpty());

    if (letsGo) {
        CloseHandle(squatter);
        squatter = nullptr;
        QTRY_COMPARE_WITH_TIMEOUT(inspect.PipeStatus(), 1, kLong);  // launched onto its own pipes
        QTRY_COMPARE_WITH_TIMEOUT(StartedClients(ClientLog()).size(), 1, kLong);
        TestClient client;
        ConnectClient(&manager, &client);
        QCOMPARE(errors.count(), 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, kLong);
        QCOMPARE(errors[0][0].toString(), kInstallText);
        QCOMPARE(tracking.WithCode(QStringLiteral("StartKopKopError")).size(), 1);
        QCOMPARE(tracking.WithCode(QStringLiteral("PipeServerUnavailable")).size(), 1);
        QCOMPARE(inspect.PipeStatus(), 0);
        QVERIFY(StartedClients(ClientLog()).isEmpty());
        QCOMPARE(inspect.CacheTexts().size(), 1);  // still kept for a later client
    }
    PZSdkPackageManage::ClearScripts();
}

// ---------------------------------------------------------------------------------------------
// Commands and the cache

void TestManager::guardedCommandsByStatus_data()
{
    QTest::addColumn<Action>("command");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("state");  // 0 idle, 1 started, 2 connected not ready, 3 ready

    const Action window = [](VXKopkopManager* m) {
        m->OpenKKWindow(QStringLiteral("Buyer_01"), KK_UserType_Merchant, QStringLiteral("app"), QStringLiteral("data"));
    };
    const Action group = [](VXKopkopManager* m) { m->OpenKKGroup(QStringLiteral("g"), QStringLiteral("h")); };
    const Action workbench = [](VXKopkopManager* m) { m->OpenKKWorkbench(QStringLiteral("orders")); };
    const QString windowText = QStringLiteral("[\"OpenKKWindow\",\"s:buyer_01\",\"i:1\",\"s:app\",\"s:data\"]");
    const QString groupText = QStringLiteral("[\"OpenKKGroup\",\"s:g\",\"s:h\"]");
    const QString workbenchText = QStringLiteral("[\"JsOpenKKWorkbench\",\"s:orders\"]");
    const char* states[] = {"idle", "started", "connected, not ready", "ready"};
    for (int state = 0; state < 4; ++state) {
        QTest::addRow("OpenKKWindow, %s", states[state]) << window << windowText << state;
        QTest::addRow("OpenKKGroup, %s", states[state]) << group << groupText << state;
        QTest::addRow("OpenKKWorkbench, %s", states[state]) << workbench << workbenchText << state;
    }
}

void TestManager::guardedCommandsByStatus()
{
    QFETCH(Action, command);
    QFETCH(QString, message);
    QFETCH(int, state);
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    manager.Initialize();
    TestClient client;
    if (state >= 2)
        ConnectClient(&manager, &client);
    else
        inspect.SetPipeStatus(state);
    inspect.SetReady(state == 3);
    PZSdkPackageManage::PushScript({});
    const int prepares = PZSdkPackageManage::PrepareCallCount();

    command(&manager);

    QCOMPARE(PZSdkPackageManage::PrepareCallCount(), prepares + (state == 0 ? 1 : 0));  // idle: launch
    QCOMPARE(inspect.CacheTexts(), state == 3 ? QStringList() : QStringList{message});
    QCOMPARE(IGeneralData::Instance()->GetKKData()->GetChangeStatus(), false);  // start-up status is 6
    if (state >= 2) {
        manager.SendCommand(QStringLiteral("end"));
        const QList<QByteArray> frames = client.fromModule.ReadFrames(2);
        QCOMPARE(frames.size(), 2);
        if (state == 2)
            QVERIFY2(frames[0].startsWith("[\"Login\""), frames[0].constData());  // instead of the request
        else
            QCOMPARE(QString::fromUtf8(frames[0]), message);
        QCOMPARE(frames[1], QByteArray("end"));
    }
    PZSdkPackageManage::ClearScripts();
}

void TestManager::openKKWindowLogsPinAsGiven()
{
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    manager.Initialize();
    inspect.SetPipeStatus(1);
    IGeneralData::Instance()->GetKKData()->SetStartupStatus(KK_Status_Online);
    LogRecorder log;
    manager.OpenKKWindow(QStringLiteral("MiXeD_Pin"), KK_UserType_Service, QStringLiteral("a"), QStringLiteral("b"));
    const auto records = log.Records();
    QCOMPARE(records.size(), 2);
    QCOMPARE(records[0].level, LogHelper::LevelInfo);
    QCOMPARE(records[0].category, QStringLiteral("main"));
    QVERIFY(QRegularExpression(QStringLiteral("^VXKopkopManager\\.cpp\\[\\d+\\] VXKopkopManager::OpenKKWindow "
                                              "OpenKKWindow,strPin=MiXeD_Pin,userType=2,strAppId=a,businessData=b$"))
                .match(records[0].text)
                .hasMatch());
    QCOMPARE(records[1].level, LogHelper::LevelTrace);
    QVERIFY(records[1].text.endsWith(QStringLiteral("VXKopkopManager::OpenKKWindow CheckKKConnected = 0")));
    QVERIFY(inspect.CacheTexts().value(0).contains(QStringLiteral("\"s:mixed_pin\"")));
    QCOMPARE(IGeneralData::Instance()->GetKKData()->GetChangeStatus(), true);  // start-up status is not 6
}

void TestManager::changeStatusUpdatesFrameData_data()
{
    QTest::addColumn<int>("current");
    QTest::addColumn<int>("requested");
    QTest::addColumn<int>("state");  // 0 idle, 3 ready
    QTest::newRow("same status, idle: nothing") << 1 << 1 << 0;
    QTest::newRow("same status, ready: nothing") << 1 << 1 << 3;
    QTest::newRow("new status, idle: launch, not kept") << 1 << 2 << 0;
    QTest::newRow("new status, ready: sent") << 1 << 2 << 3;
}

void TestManager::changeStatusUpdatesFrameData()
{
    QFETCH(int, current);
    QFETCH(int, requested);
    QFETCH(int, state);
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    manager.Initialize();
    TestClient client;
    if (state == 3) {
        ConnectClient(&manager, &client);
        inspect.SetReady(true);
    }
    VXKKData* data = IGeneralData::Instance()->GetKKData();
    data->SetStatus(KK_Status(current));
    PZSdkPackageManage::PushScript({});
    const int prepares = PZSdkPackageManage::PrepareCallCount();
    LogRecorder log;
    manager.ChangeStatus(KK_Status(requested));
    QCOMPARE(log.CountEndingWith(QStringLiteral("Change Kopkop status")), 1);
    const bool changes = current != requested;
    QCOMPARE(int(data->GetStartupStatus()), changes ? requested : int(KK_Status_Unset));
    QCOMPARE(data->GetChangeStatus(), changes);
    QCOMPARE(PZSdkPackageManage::PrepareCallCount(), prepares + (changes && state == 0 ? 1 : 0));
    QVERIFY(inspect.CacheTexts().isEmpty());  // a status change is never kept
    if (state == 3) {
        manager.SendCommand(QStringLiteral("end"));
        const QList<QByteArray> frames = client.fromModule.ReadFrames(changes ? 2 : 1);
        if (changes)
            QCOMPARE(frames.value(0), QByteArray("[\"ChangeStatus\",\"i:2\"]"));
        QCOMPARE(frames.last(), QByteArray("end"));
    }
    PZSdkPackageManage::ClearScripts();
}

void TestManager::otherCommandsNeverCacheOrLaunch()
{
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    manager.Initialize();
    const int prepares = PZSdkPackageManage::PrepareCallCount();
    TrackingRecorder tracking;
    LogRecorder log;
    manager.ChangeSkin(QStringLiteral("dark"));
    manager.NotifyHasNewVersion();
    manager.OpenBaseInfoSettingWindow();
    manager.ShowUnreadMessageList(true, 1, 2, 3, 4);
    manager.ChangeSetting(KKSettingEntity());
    manager.Login();
    QCOMPARE(PZSdkPackageManage::PrepareCallCount(), prepares);
    QVERIFY(inspect.CacheTexts().isEmpty());
    QCOMPARE(tracking.Count(), 0);
    QStringList ends;
    for (const QString& text : log.Texts())
        ends.append(text.section(QLatin1Char(' '), 2));
    QCOMPARE(ends, (QStringList{"Change kopkop skin", "Notify has new version", "OpenBaseInfoSettingWindow",
                                "ShowUnreadMessageList", "Change Setting", "Login"}));
}

void TestManager::sendCommandRules()
{
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    QVERIFY(!manager.SendCommand(QStringLiteral("x")));  // not initialised
    manager.Initialize();
    QVERIFY(!manager.SendCommand(QStringLiteral("x")));  // idle
    TestClient client;
    ConnectClient(&manager, &client);
    QVERIFY(!inspect.IsReady());
    QVERIFY(manager.SendCommand(QStringLiteral("raw \u00e9 text, not a message")));
    QCOMPARE(client.fromModule.ReadFrames(1), QList<QByteArray>{QStringLiteral("raw \u00e9 text, not a message").toUtf8()});
    QVERIFY(inspect.CacheTexts().isEmpty());
}

void TestManager::beforeInitializeOnlyLogs()
{
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    LogRecorder log;
    TrackingRecorder tracking;
    const int prepares = PZSdkPackageManage::PrepareCallCount();
    manager.OpenKKWindow(QStringLiteral("p"), KK_UserType_Customer, QString(), QString());
    manager.OpenKKGroup(QString(), QString());
    manager.OpenKKWorkbench(QString());
    manager.ChangeStatus(KK_Status_Busy);
    manager.Login();
    QCOMPARE(log.Count(), 5);
    QCOMPARE(tracking.Count(), 0);
    QVERIFY(inspect.CacheTexts().isEmpty());
    QCOMPARE(PZSdkPackageManage::PrepareCallCount(), prepares);
    QCOMPARE(int(IGeneralData::Instance()->GetKKData()->GetStartupStatus()), int(KK_Status_Unset));
}

void TestManager::startupFlushesInCallOrderBeforeTellingTheHost()
{
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    manager.Initialize();
    RecordingCallback callback;
    manager.SetKKCallback(&callback);
    inspect.SetPipeStatus(1);  // launching
    for (int i = 0; i < 3; ++i)
        manager.OpenKKWindow(QStringLiteral("buyer_%1").arg(i), KK_UserType_Customer, QString(), QString());
    QCOMPARE(inspect.CacheTexts().size(), 3);

    TestClient client;
    ConnectClient(&manager, &client);
    QStringList cacheAtCallback{"not called"};
    callback.onCall = [&](const RecordingCallback::Call&) { cacheAtCallback = inspect.CacheTexts(); };
    LogRecorder log;
    QVERIFY(client.toModule.WriteFrame("[\"StartupCompleted\",\"u:9\"]"));
    QTRY_COMPARE_WITH_TIMEOUT(callback.calls.size(), 1, kLong);
    QCOMPARE(callback.calls[0].second, (QVariantList{9u, QString()}));
    QVERIFY(inspect.IsReady());
    QCOMPARE(cacheAtCallback, QStringList());  // flushed before the host was told
    QCOMPARE(log.CountEndingWith(QStringLiteral("Send cached messages to Kopkop")), 1);
    const QList<QByteArray> frames = client.fromModule.ReadFrames(3);
    QCOMPARE(frames.size(), 3);
    for (int i = 0; i < 3; ++i)
        QVERIFY(frames[i].contains(QStringLiteral("buyer_%1").arg(i).toUtf8()));

    // With nothing kept, a start-up report writes only the log line.
    log.Clear();
    QVERIFY(client.toModule.WriteFrame("[\"StartupCompleted\",\"u:10\"]"));
    QTRY_COMPARE_WITH_TIMEOUT(callback.calls.size(), 2, kLong);
    QCOMPARE(log.Count(), 1);
    manager.SendCommand(QStringLiteral("end"));
    QCOMPARE(client.fromModule.ReadFrames(1), QList<QByteArray>{QByteArray("end")});
}

// ---------------------------------------------------------------------------------------------
// Inbound dispatch

void TestManager::dispatchesEveryMessage_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("call");
    QTest::addColumn<QVariantList>("args");
    QTest::newRow("OpenUrl") << "[\"OpenUrl\",\"s:https://x\",\"b:true\",\"s:ignored\"]" << "OnOpenUrl"
                             << QVariantList{QStringLiteral("https://x"), true};
    QTest::newRow("OpenPlugin") << "[\"OpenPlugin\",\"s:orders\"]" << "OnOpenPlugin" << QVariantList{QStringLiteral("orders")};
    QTest::newRow("OpenSetting") << "[\"OpenSetting\",\"s:page\"]" << "OnOpenSetting" << QVariantList{QStringLiteral("page")};
    QTest::newRow("StartupCompleted, one argument") << "[\"StartupCompleted\",\"u:4242\"]" << "OnStartupCompleted"
                                                    << QVariantList{4242u, QString()};
    QTest::newRow("StartupCompleted, text 7") << "[\"StartupCompleted\",\"s:7\",\"s:3.1\"]" << "OnStartupCompleted"
                                              << QVariantList{7u, QStringLiteral("3.1")};
    QTest::newRow("ShowMessageBox") << "[\"ShowMessageBox\",\"s:hi\",\"u:3\"]" << "OnShowMessageBox"
                                    << QVariantList{QStringLiteral("hi"), 3u};
    QTest::newRow("ChangeStatusCallback") << "[\"ChangeStatusCallback\",\"i:-2\"]" << "OnChangeStatus" << QVariantList{-2};
    QTest::newRow("BaseInfoChanged") << "[\"BaseInfoChanged\",\"s:avatar\"]" << "OnBaseInfoChanged"
                                     << QVariantList{QStringLiteral("avatar")};
    QTest::newRow("ActivePlatform") << "[\"ActivePlatform\"]" << "OnActivePlatform" << QVariantList{};
    QTest::newRow("UnreadMessageChanged, non-numeric text is 0") << "[\"UnreadMessageChanged\",\"s:many\"]"
                                                                 << "OnUnreadMessageChanged" << QVariantList{0};
    QTest::newRow("TrayIconAction") << "[\"TrayIconAction\",\"b:true\",\"s:click\",\"i:5\"]" << "OnTrayIconAction"
                                    << QVariantList{true, QStringLiteral("click"), 5};
    QTest::newRow("ChangeLoginInitStatus") << "[\"ChangeLoginInitStatus\",\"i:1\"]" << "OnChangeLoginInitStatus"
                                           << QVariantList{1};
    QTest::newRow("ChangeSkin") << "[\"ChangeSkin\",\"s:dark\"]" << "OnChangeSkin" << QVariantList{QStringLiteral("dark")};
    QTest::newRow("UpgradeNewVersion") << "[\"UpgradeNewVersion\"]" << "OnUpgradeNewVersion" << QVariantList{};
    QTest::newRow("LoginNewAccount") << "[\"LoginNewAccount\",\"s:extra\"]" << "OnLoginNewAccount" << QVariantList{};
    QTest::newRow("UploadInterfaceException")
        << "[\"UploadInterfaceException\",\"i:500\",\"s:a\",\"s:b\",\"s:c\"]" << "OnUploadInterfaceException"
        << QVariantList{500, QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
    QTest::newRow("UploadCefException")
        << "[\"UploadCefException\",\"i:-3\",\"s:1\",\"s:2\",\"s:3\",\"s:4\",\"s:5\"]" << "OnUploadCefException"
        << QVariantList{-3, QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("4"),
                        QStringLiteral("5")};
}

void TestManager::dispatchesEveryMessage()
{
    QFETCH(QString, text);
    QFETCH(QString, call);
    QFETCH(QVariantList, args);
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    RecordingCallback callback;
    manager.SetKKCallback(&callback);
    TrackingRecorder tracking;
    inspect.ReadData(text.toUtf8());
    QCOMPARE(callback.calls.size(), 1);
    QCOMPARE(callback.calls[0].first, call);
    QCOMPARE(callback.calls[0].second, args);
    QCOMPARE(tracking.Count(), 0);
    QCOMPARE(inspect.IsReady(), call == QLatin1String("OnStartupCompleted"));
}

void TestManager::tooFewArgumentsCallNothing_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("OpenUrl with one") << "[\"OpenUrl\",\"s:x\"]";
    QTest::newRow("OpenPlugin with none") << "[\"OpenPlugin\"]";
    QTest::newRow("OpenSetting with none") << "[\"OpenSetting\"]";
    QTest::newRow("StartupCompleted with none") << "[\"StartupCompleted\"]";
    QTest::newRow("ShowMessageBox with one") << "[\"ShowMessageBox\",\"s:x\"]";
    QTest::newRow("ChangeStatusCallback with none") << "[\"ChangeStatusCallback\"]";
    QTest::newRow("BaseInfoChanged with none") << "[\"BaseInfoChanged\"]";
    QTest::newRow("UnreadMessageChanged with none") << "[\"UnreadMessageChanged\"]";
    QTest::newRow("TrayIconAction with two") << "[\"TrayIconAction\",\"b:true\",\"s:x\"]";
    QTest::newRow("ChangeLoginInitStatus with none") << "[\"ChangeLoginInitStatus\"]";
    QTest::newRow("ChangeSkin with none") << "[\"ChangeSkin\"]";
    QTest::newRow("UploadInterfaceException with three") << "[\"UploadInterfaceException\",\"i:1\",\"s:a\",\"s:b\"]";
    QTest::newRow("UploadCefException with five") << "[\"UploadCefException\",\"i:1\",\"s:a\",\"s:b\",\"s:c\",\"s:d\"]";
}

void TestManager::tooFewArgumentsCallNothing()
{
    QFETCH(QString, text);
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    manager.Initialize();
    RecordingCallback callback;
    manager.SetKKCallback(&callback);
    inspect.CacheMsg(VXProcessMessage::Create(QStringLiteral("OpenKKGroup")));
    TrackingRecorder tracking;
    inspect.ReadData(text.toUtf8());
    QCOMPARE(callback.calls.size(), 0);
    QCOMPARE(tracking.Count(), 0);
    QVERIFY(!inspect.IsReady());
    QCOMPARE(inspect.CacheTexts().size(), 1);
}

void TestManager::reportsWhatItCannotHandle_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("not a message") << QByteArray("hello {") << "KopkopInvalidMessage" << "7 bytes: hello {";
    QTest::newRow("long payload is quoted, not copied")
        << QByteArray(100000, 'x') << "KopkopInvalidMessage" << "100000 bytes: " + QString(64, QLatin1Char('x')) + "...";
    QTest::newRow("text ends at NUL") << QByteArray("[\"ActivePlatform\"]\0garbage", 26) << "" << "";
    QTest::newRow("garbage after NUL is not read") << QByteArray("bad\0[\"ActivePlatform\"]", 22) << "KopkopInvalidMessage"
                                                   << "22 bytes: bad";
    QTest::newRow("unknown name") << QByteArray("[\"Hello\",\"s:x\"]") << "KopkopUnknownMessage" << "Hello";
    QTest::newRow("name differs in case") << QByteArray("[\"openurl\",\"s:x\",\"b:true\"]") << "KopkopUnknownMessage"
                                          << "openurl";
}

void TestManager::reportsWhatItCannotHandle()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, code);
    QFETCH(QString, text);
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    RecordingCallback callback;
    manager.SetKKCallback(&callback);
    TrackingRecorder tracking;
    inspect.ReadData(payload);
    if (code.isEmpty()) {
        QCOMPARE(tracking.Count(), 0);
        QCOMPARE(callback.Names(), QStringList{"OnActivePlatform"});
        return;
    }
    QCOMPARE(tracking.Count(), 1);
    const auto record = tracking.Records()[0];
    QCOMPARE(record.level, QStringLiteral("Error"));
    QCOMPARE(record.trackId, QStringLiteral("370"));
    QCOMPARE(record.code, code);
    QCOMPARE(record.text, text);
    QCOMPARE(record.value, -99999);
    QCOMPARE(record.extra, QString());
    QVERIFY(QRegularExpression(QStringLiteral("^VXKopkopManager\\.cpp\\[\\d+\\] VXKopkopManager::SlotReadData $"))
                .match(record.location)
                .hasMatch());
    QCOMPARE(callback.calls.size(), 0);
}

void TestManager::withoutCallbackNothingHappens()
{
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect(&manager);
    manager.Initialize();
    TestClient client;
    ConnectClient(&manager, &client);
    inspect.CacheMsg(MakeOpenKKGroupMessage(QStringLiteral("g"), QString()));
    TrackingRecorder tracking;
    inspect.ReadData("[\"StartupCompleted\",\"u:1\"]");
    QVERIFY(!inspect.IsReady());
    QCOMPARE(inspect.CacheTexts().size(), 1);
    inspect.ReadData("[\"NoSuchMessage\"]");  // not even reported
    QCOMPARE(tracking.Count(), 0);

    RecordingCallback callback;
    manager.SetKKCallback(&callback);
    inspect.ReadData("[\"StartupCompleted\",\"u:2\"]");
    QVERIFY(inspect.IsReady());
    QVERIFY(inspect.CacheTexts().isEmpty());
    QCOMPARE(client.fromModule.ReadFrames(1), QList<QByteArray>{QByteArray("[\"OpenKKGroup\",\"s:g\",\"s:\"]")});
}

QTEST_GUILESS_MAIN(TestManager)
#include "tst_manager.moc"
