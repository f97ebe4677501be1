// The module from end to end with real processes: the chat-client simulator, prepared by the
// package manager from the host configuration and launched by the module, in both launch
// modes. What the client received is read from its own log; every test ends with no client
// process left behind.

#include "ClientProcesses.h"
#include "FakeClock.h"
#include "ManagerInspector.h"
#include "Recorders.h"
#include "RecordingCallback.h"

#include "PlatformKKWrapper/VXKopkopManager.h"
#include "VXCore/VXGlobalData.h"
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
#include <QtTest>

#include <memory>

namespace {

const int kLong = 30000;  // ms
const QString kConfigUri = QStringLiteral("vx://config/object/service");
const QString kInstallText =
    QStringLiteral("cant't start kk, please install VX from https://vx.example.com/download, then retry.");

// A manager under test with a recording callback, initialised (its pipes exist).
struct Module
{
    VXKopkopManager manager;
    VXKopkopManagerInspector inspect{&manager};
    RecordingCallback callback;

    // `uuid` receives the UUID in the pipe names, which every client of this manager carries on
    // its command line (the test's cleanup looks for them by it).
    explicit Module(QString* uuid)
    {
        manager.SetKKCallback(&callback);
        manager.Initialize();
        *uuid = inspect.WritePipeName().section(QLatin1Char('_'), 1);
    }
};

}  // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void requestsBeforeLaunchReachTheClientInOrder_data();
    void requestsBeforeLaunchReachTheClientInOrder();
    void connectedButNotReadyKeepsRequestsAndSendsLogin();
    void crashesRestartOnTheSamePipesUntilTheThirdInAMinute();
    void clientThatCannotStart_data();
    void clientThatCannotStart();
    void hostileClientLosesOnlyItsConnection_data();
    void hostileClientLosesOnlyItsConnection();
    void releasingTheModuleEndsTheClient_data();
    void releasingTheModuleEndsTheClient();

private:
    void Configure(bool useVxProcess, const QString& executable = QString());
    void SetClientOptions(const QString& options, const QString& script = QString());
    // Starts the manager's client and waits for its start-up; returns the client's pid.
    qint64 StartClient(VXKopkopManager* manager, RecordingCallback* callback);
    // The text forms the client logged as received, in order.
    QStringList ClientReceived() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<VXConfigService> m_config;
    QString m_uuid;  // of the manager under test: set once it exists
    // The clients started so far that still run (each logs its start, with its pid).
    QList<qint64> Clients() const { return LiveClients(m_dir->filePath(QStringLiteral("client.jsonl"))); }
};

void TestEndToEnd::initTestCase()
{
    QVERIFY2(QFileInfo(QStringLiteral(KOPKOP_SIM)).isExecutable(), KOPKOP_SIM);
    QVERIFY(FakeClock::IsActive());
    VXGlobalData::Instance()->SetAppVersion("5.2.1");
    VXGlobalData::Instance()->SetPin(QStringLiteral("seller_01"));
}

void TestEndToEnd::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_config.reset(new VXConfigService(m_dir->filePath(QStringLiteral("host.json"))));
    YRRouterProtocol::Register(kConfigUri, m_config.get());
    qputenv("KOPKOP_SIM_LOG", m_dir->filePath(QStringLiteral("client.jsonl")).toUtf8());
    SetClientOptions(QStringLiteral("--quiet"));
    IGeneralData::Instance()->GetKKData()->SetStartupStatus(KK_Status_Online);
    IGeneralData::Instance()->GetKKData()->SetStatus(KK_Status_Offline);
    m_uuid.clear();
}

void TestEndToEnd::cleanup()
{
    // Whatever the test did, no client may outlive it.
    if (!m_uuid.isEmpty()) {
        const bool none = QTest::qWaitFor([this] { return Clients().isEmpty(); }, kLong);
        for (qint64 pid : Clients())
            KillProcess(pid);
        QVERIFY2(none, "a client process was left behind");
    }
    YRRouterProtocol::Unregister(kConfigUri);
    m_config.reset();
    m_dir.reset();
    qunsetenv("KOPKOP_SIM_SCRIPT");
}

void TestEndToEnd::Configure(bool useVxProcess, const QString& executable)
{
    QJsonObject config{{"kopkop_executable", executable.isEmpty() ? QStringLiteral(KOPKOP_SIM) : executable},
                       {"pc_start_kk_use_vxprocess_switch", useVxProcess}};
    QFile file(m_config->GetFilePath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QJsonDocument(config).toJson());
}

void TestEndToEnd::SetClientOptions(const QString& options, const QString& script)
{
    qputenv("KOPKOP_SIM_OPTIONS", options.toUtf8());
    if (script.isEmpty()) {
        qunsetenv("KOPKOP_SIM_SCRIPT");
        return;
    }
    const QString path = m_dir->filePath(QStringLiteral("script-%1.txt").arg(qHash(script)));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(script.toUtf8());
    qputenv("KOPKOP_SIM_SCRIPT", path.toUtf8());
}

qint64 TestEndToEnd::StartClient(VXKopkopManager* manager, RecordingCallback* callback)
{
    const int before = callback->Names().count(QStringLiteral("OnStartupCompleted"));
    manager->ExecuteKK(false);
    if (!QTest::qWaitFor([&] { return callback->Names().count(QStringLiteral("OnStartupCompleted")) > before; }, kLong))
        return -1;
    for (int i = callback->calls.size() - 1; i >= 0; --i) {
        if (callback->calls[i].first == QLatin1String("OnStartupCompleted"))
            return callback->calls[i].second.value(0).toLongLong();
    }
    return -1;
}

QStringList TestEndToEnd::ClientReceived() const
{
    QStringList texts;
    QFile log(m_dir->filePath(QStringLiteral("client.jsonl")));
    if (!log.open(QIODevice::ReadOnly))
        return texts;
    for (const QByteArray& line : log.readAll().split('\n')) {
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        if (event.value(QStringLiteral("event")).toString() == QLatin1String("received"))
            texts.append(event.value(QStringLiteral("text")).toString());
    }
    return texts;
}

// ---------------------------------------------------------------------------------------------

void TestEndToEnd::requestsBeforeLaunchReachTheClientInOrder_data()
{
    QTest::addColumn<bool>("useVxProcess");
    QTest::addColumn<QString>("pipeOrder");  // nothing requires the client to open one pipe first
    QTest::newRow("child VXProcess") << true << "write-first";
    QTest::newRow("detached") << false << "write-first";
    QTest::newRow("child, read pipe first") << true << "read-first";
}

void TestEndToEnd::requestsBeforeLaunchReachTheClientInOrder()
{
    QFETCH(bool, useVxProcess);
    QFETCH(QString, pipeOrder);
    Configure(useVxProcess);
    SetClientOptions(QStringLiteral("--quiet --pipe-order %1 --between-pipes-ms 50").arg(pipeOrder));
    Module module(&m_uuid);
    MonitorRecorder monitor;
    QStringList receivedAtStartup{"not called"};
    module.callback.onCall = [&](const RecordingCallback::Call& call) {
        if (call.first == QLatin1String("OnStartupCompleted"))
            receivedAtStartup = module.inspect.CacheTexts();  // what is still kept when the host hears
    };

    module.manager.OpenKKWindow(QStringLiteral("Buyer_1"), KK_UserType_Customer, QStringLiteral("app"), QString());
    module.manager.OpenKKGroup(QStringLiteral("group"), QStringLiteral("x"));
    module.manager.OpenKKWorkbench(QStringLiteral("orders"));
    module.manager.OpenKKWindow(QStringLiteral("buyer_2"), KK_UserType_Merchant, QString(), QStringLiteral("data"));
    QCOMPARE(module.inspect.CacheTexts().size(), 4);

    QTRY_COMPARE_WITH_TIMEOUT(module.callback.Names(), QStringList{"OnStartupCompleted"}, kLong);
    QCOMPARE(receivedAtStartup, QStringList());  // the cache was flushed before the host was told
    const QStringList expected{
        "[\"OpenKKWindow\",\"s:buyer_1\",\"i:0\",\"s:app\",\"s:\"]", "[\"OpenKKGroup\",\"s:group\",\"s:x\"]",
        "[\"JsOpenKKWorkbench\",\"s:orders\"]", "[\"OpenKKWindow\",\"s:buyer_2\",\"i:1\",\"s:\",\"s:data\"]"};
    QTRY_COMPARE_WITH_TIMEOUT(ClientReceived(), expected, kLong);
    QCOMPARE(monitor.Names(), QStringList{"kopkopPV"});  // launched once, for all four requests
    QCOMPARE(module.inspect.PipeStatus(), 2);
    QVERIFY(module.inspect.IsReady());
}

void TestEndToEnd::connectedButNotReadyKeepsRequestsAndSendsLogin()
{
    Configure(true);
    // A client that connects but does not report its start-up, not even after a login.
    SetClientOptions(QStringLiteral("--quiet --no-startup --ignore-login"));
    Module module(&m_uuid);
    QSignalSpy connected(&module.manager, &VXKopkopManager::SigKopkopConnected);
    module.manager.ExecuteKK(false);
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);

    module.manager.OpenKKGroup(QStringLiteral("g1"), QString());
    module.manager.OpenKKWindow(QStringLiteral("b1"), KK_UserType_Customer, QString(), QString());
    QCOMPARE(module.inspect.CacheTexts().size(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(ClientReceived().size(), 2, kLong);
    for (const QString& text : ClientReceived())
        QVERIFY2(text.startsWith(QLatin1String("[\"Login\",\"s:seller_01\",\"b:")), qPrintable(text));

    // The client is killed; the next one starts up normally, on the same pipe names, and gets
    // what the first never did.
    const QString writePipe = module.inspect.WritePipeName();
    SetClientOptions(QStringLiteral("--quiet"));
    for (qint64 pid : Clients())
        KillProcess(pid);
    QTRY_COMPARE_WITH_TIMEOUT(module.callback.Names(), QStringList{"OnStartupCompleted"}, kLong);
    QCOMPARE(module.inspect.WritePipeName(), writePipe);
    QTRY_COMPARE_WITH_TIMEOUT(ClientReceived().mid(2),
                              (QStringList{"[\"OpenKKGroup\",\"s:g1\",\"s:\"]",
                                           "[\"OpenKKWindow\",\"s:b1\",\"i:0\",\"s:\",\"s:\"]"}),
                              kLong);
}

void TestEndToEnd::crashesRestartOnTheSamePipesUntilTheThirdInAMinute()
{
    Configure(true);
    Module module(&m_uuid);
    const QString writePipe = module.inspect.WritePipeName();
    TrackingRecorder tracking;
    MonitorRecorder monitor;
    qint64 pid = StartClient(&module.manager, &module.callback);
    QVERIFY(pid > 0);

    for (int crash = 1; crash <= 2; ++crash) {
        QVERIFY(KillProcess(pid));
        QTRY_COMPARE_WITH_TIMEOUT(module.callback.calls.size(), crash + 1, kLong);  // a new start-up
        const qint64 next = module.callback.calls.last().second.value(0).toLongLong();
        QVERIFY(next != pid);
        pid = next;
        QCOMPARE(module.inspect.WritePipeName(), writePipe);  // same names for every client
    }
    QCOMPARE(monitor.Names().count(QStringLiteral("Home_Kk_Crash")), 2);
    QCOMPARE(monitor.Names().count(QStringLiteral("kopkopCrashed")), 2);

    QSignalSpy refused(&module.manager, &VXKopkopManager::SigKopkopRestartRefused);
    QVERIFY(KillProcess(pid));
    QTRY_COMPARE_WITH_TIMEOUT(tracking.WithCode(QStringLiteral("KKCrashTooManyTimes")).size(), 1, kLong);
    QCOMPARE(refused.count(), 1);  // the host hears that it is up to it now
    QCOMPARE(module.inspect.PipeStatus(), 0);
    QCOMPARE(monitor.Names().count(QStringLiteral("kopkopCrashed")), 2);  // no third restart
    // The pipes close before the killed process is a zombie: wait for it, and see that nothing replaced it.
    QTRY_VERIFY_WITH_TIMEOUT(Clients().isEmpty(), kLong);

    // The host may start it again itself: that opens a new window.
    QVERIFY(StartClient(&module.manager, &module.callback) > 0);
    QVERIFY(!module.inspect.CrashTimerValid());
}

void TestEndToEnd::clientThatCannotStart_data()
{
    QTest::addColumn<bool>("useVxProcess");
    QTest::addColumn<QString>("problem");
    QTest::newRow("child, not executable") << true << "not executable";
    QTest::newRow("detached, not executable") << false << "not executable";
    QTest::newRow("child, crashes before connecting") << true << "crash-on-start";
}

void TestEndToEnd::clientThatCannotStart()
{
    QFETCH(bool, useVxProcess);
    QFETCH(QString, problem);
    Module module(&m_uuid);
    if (problem == QLatin1String("not executable")) {
        // Prepared (the package manager found it), but it cannot be run.
        const QString path = m_dir->filePath(QStringLiteral("kopkop"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a program");
        file.close();
        PZSdkPackageManage::PushScript({{PZSdkPackageManage::PrepareFinished, path}});
        Configure(useVxProcess, path);
    } else {
        Configure(useVxProcess);
        SetClientOptions(QStringLiteral("--quiet --misbehave crash-on-start"));
    }
    QSignalSpy errors(&module.manager, &VXKopkopManager::SigExecuteError);
    TrackingRecorder tracking;
    module.manager.ExecuteKK(false);
    QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, kLong);
    QCOMPARE(errors[0][0].toString(), kInstallText);
    QCOMPARE(module.inspect.PipeStatus(), 0);
    QVERIFY(tracking.Codes().contains(useVxProcess ? QStringLiteral("KKProcessError") : QStringLiteral("StartKopKopError")));
    QCOMPARE(module.callback.calls.size(), 0);
    PZSdkPackageManage::ClearScripts();
}

void TestEndToEnd::hostileClientLosesOnlyItsConnection_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<QString>("report");
    QTest::newRow("text without a frame") << "--misbehave garbage-write" << "frame length 1936287860 is outside 0..65536";
    QTest::newRow("negative length") << "--misbehave bad-frame" << "frame length -1 is outside 0..65536";
    QTest::newRow("a frame longer than the host allows")
        << "--misbehave huge-frame --huge-length 100000000" << "frame length 100000000 is outside 0..65536";
}

// Whatever a client writes, the host takes no harm: the module reports what broke the protocol,
// ends that client's connection, and the restart policy brings the next client as after any close.
void TestEndToEnd::hostileClientLosesOnlyItsConnection()
{
    QFETCH(QString, options);
    QFETCH(QString, report);
    QJsonObject config{{"kopkop_executable", QStringLiteral(KOPKOP_SIM)},
                       {"pc_start_kk_use_vxprocess_switch", true},
                       {"pc_kopkop_max_frame_bytes", 65536}};
    QFile file(m_config->GetFilePath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QJsonDocument(config).toJson());
    file.close();
    Module module(&m_uuid);
    TrackingRecorder tracking;
    MonitorRecorder monitor;
    int launches = 0;  // only the first client misbehaves
    connect(&module.manager, &VXKopkopManager::SigShowLoading, this, [&] {
        SetClientOptions(++launches == 1 ? QStringLiteral("--quiet ") + options : QStringLiteral("--quiet"));
    });
    module.manager.ExecuteKK(false);
    QTRY_COMPARE_WITH_TIMEOUT(launches, 2, kLong);
    QTRY_VERIFY_WITH_TIMEOUT(module.inspect.IsReady(), kLong);  // the second client works
    const auto errors = tracking.WithCode(QStringLiteral("PipeServerProtocolError"));
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors[0].text.contains(report), qPrintable(errors[0].text));
    QCOMPARE(errors[0].trackId, QStringLiteral("746"));
    QCOMPARE(monitor.Names().count(QStringLiteral("Home_Kk_Crash")), 1);
    QTRY_COMPARE_WITH_TIMEOUT(Clients().size(), 1, kLong);  // the first one may still be exiting
}

void TestEndToEnd::releasingTheModuleEndsTheClient_data()
{
    QTest::addColumn<bool>("useVxProcess");
    QTest::newRow("child VXProcess") << true;
    QTest::newRow("detached") << false;
}

void TestEndToEnd::releasingTheModuleEndsTheClient()
{
    QFETCH(bool, useVxProcess);
    Configure(useVxProcess);
    VXKopkopManager* manager = VXKopkopManager::Instance();
    RecordingCallback callback;
    manager->SetKKCallback(&callback);
    manager->Initialize();
    m_uuid = VXKopkopManagerInspector(manager).WritePipeName().section(QLatin1Char('_'), 1);
    const qint64 pid = StartClient(manager, &callback);
    QVERIFY(pid > 0);
    QCOMPARE(Clients(), QList<qint64>{pid});
    VXKopkopManager::ReleaseInstance();
    // cleanup() checks that the client has gone by itself.
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
