// The module end to end with real processes: the chat-client simulator, found by the package
// manager through the host configuration and launched by the module in either launch mode. The
// clients share one log, which says what each received; no client may outlive the module.

#include "ClientProcesses.h"
#include "FakeClock.h"
#include "ManagerInspector.h"
#include "Recorders.h"
#include "RecordingCallback.h"

#include "PlatformKKWrapper/KKMessageBuilders.h"
#include "VXCore/VXGlobalData.h"

#include <QSignalSpy>
#include <QtTest>

static const int kLong = 60000;  // ms

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        VXKopkopManager::ReleaseInstance();
        const bool gone = QTest::qWaitFor([this] { return LiveClients(m_host->Log()).isEmpty(); }, kLong);
        for (qint64 pid : LiveClients(m_host->Log()))
            KillProcess(pid);
        PZSdkPackageManage::ClearScripts();
        m_host.reset();
        QVERIFY2(gone, "a client outlived the module");
    }
    void launchesAndFaultsAtEveryPoint_data();
    void launchesAndFaultsAtEveryPoint();
    void restartsOnTheSamePipesUntilTheThirdCloseInTheWindow();

private:
    // The host's module (released by cleanup()), which launches the simulator.
    VXKopkopManager* Module(bool useVxProcess)
    {
        m_host.reset(new SimulatorHost);
        VXGlobalData::Instance()->SetAppVersion("5.2.1");
        qputenv("KOPKOP_SIM_OPTIONS", "--quiet");
        m_callback.calls.clear();
        return m_host->Module({{"kopkop_executable", QStringLiteral(KOPKOP_SIM)}, {"pc_kopkop_max_frame_bytes", 65536},
                               {"pc_start_kk_use_vxprocess_switch", useVxProcess}, {"pc_kopkop_connect_timeout_ms", 8000}},
                              &m_callback);
    }
    // Asks for chat window `i`; returns the text the client must receive for it.
    static QString Request(VXKopkopManager* manager, int i)
    {
        const QString pin = QStringLiteral("Buyer_%1").arg(i);
        manager->OpenKKWindow(pin, KK_UserType(i % 3), QStringLiteral("app"), QString::number(i));
        return MakeOpenKKWindowMessage(pin, KK_UserType(i % 3), QStringLiteral("app"), QString::number(i))->ToString();
    }
    // The `field` of every `kind` event logged; with `lastClient`, of the client started last only.
    QStringList Logged(const char* kind, const char* field, bool lastClient = false) const
    {
        QStringList values;
        for (const QJsonObject& event : LoggedEvents(m_host->Log())) {
            const QString name = event.value(QStringLiteral("event")).toString();
            if (lastClient && name == QLatin1String("start"))
                values.clear();
            if (name == QLatin1String(kind))
                values.append(event.value(QLatin1String(field)).toVariant().toStringList().join(QLatin1Char(' ')));
        }
        return values;
    }

    std::unique_ptr<SimulatorHost> m_host;
    RecordingCallback m_callback;
};

void TestEndToEnd::launchesAndFaultsAtEveryPoint_data()
{
    QTest::addColumn<bool>("useVxProcess");
    QTest::addColumn<QString>("options");   // the first client's; none: the program cannot be run
    QTest::addColumn<bool>("keptSurvive");  // the requests kept for it reach the client that works
    QTest::newRow("healthy, child") << true << "--between-pipes-ms 50" << true;
    QTest::newRow("healthy, detached") << false << "--between-pipes-ms 50" << true;
    QTest::newRow("healthy, read pipe first") << true << "--pipe-order read-first --between-pipes-ms 50" << true;
    QTest::newRow("cannot run, child") << true << "" << true;
    QTest::newRow("cannot run, detached") << false << "" << true;
    QTest::newRow("dies before the pipes, child") << true << "--die-at start --die-how exit:7" << true;
    QTest::newRow("dies before the pipes, detached") << false << "--die-at start --die-how kill" << true;
    QTest::newRow("dies between the pipes") << false << "--die-at between-pipes --die-how abort" << true;
    QTest::newRow("dies between the pipes, read first") << true << "--pipe-order read-first --die-at between-pipes" << true;
    QTest::newRow("dies at connection") << false << "--die-at connected --die-how exit:0" << true;
    QTest::newRow("dies after its start-up report") << true << "--die-at startup --die-how kill" << false;
    QTest::newRow("dies mid-frame") << false << "--die-at mid-frame --die-how kill" << false;
    QTest::newRow("dies during the flush") << true << "--die-at received:2 --die-how exit:1" << false;
    QTest::newRow("text without a frame") << true << "--misbehave garbage-write" << true;
    QTest::newRow("negative frame length") << false << "--misbehave bad-frame" << true;
    QTest::newRow("frame longer than allowed") << true << "--misbehave huge-frame --huge-length 100000000" << false;
}

// Requests made while there is no client launch one, with the module's pipes on its command line,
// and reach it in order once it reports its start-up. Wherever that client fails, only it is
// lost: the next one (restarted by the module, or started by the host when told of a failed
// start) works, gets the requests no client took, and what the host asks next.
void TestEndToEnd::launchesAndFaultsAtEveryPoint()
{
    QFETCH(bool, useVxProcess);
    QFETCH(QString, options);
    QFETCH(bool, keptSurvive);
    const QString dieAt = options.section(QStringLiteral("--die-at "), 1).section(QLatin1Char(' '), 0, 0);
    const bool brokenFrame = options.contains(QLatin1String("misbehave")) || dieAt == QLatin1String("mid-frame");
    const int clients = options.isEmpty() || !dieAt.isEmpty() || brokenFrame ? 2 : 1;  // launched
    VXKopkopManager* manager = Module(useVxProcess);
    if (options.isEmpty()) {  // the package manager finds it, but it is no program
        QFile file(m_host->dir.filePath(QStringLiteral("kopkop")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("not a program") > 0);
        PZSdkPackageManage::PushScript({{PZSdkPackageManage::PrepareFinished, file.fileName()}});
    }
    VXKopkopManagerInspector inspect(manager);
    TrackingRecorder tracking;
    int launches = 0;
    connect(manager, &VXKopkopManager::SigShowLoading, this,
            [&] { qputenv("KOPKOP_SIM_OPTIONS", ("--quiet " + (++launches == 1 ? options : QString())).toUtf8()); });
    connect(manager, &VXKopkopManager::SigExecuteError, this, [&] { manager->ExecuteKK(false); });
    QStringList expected;
    for (int i = 0; i < 3; ++i)
        expected.append(Request(manager, i));
    QTRY_VERIFY_WITH_TIMEOUT(launches == clients && inspect.IsReady(), kLong);
    if (!keptSurvive)
        expected.clear();
    expected.append(Request(manager, 3));
    QTRY_COMPARE_WITH_TIMEOUT(Logged("received", "text", true), expected, kLong);
    QCOMPARE(Logged("start", "arguments").last(),
             QStringLiteral("pipe?param=%1&%2 version=5.2.1").arg(inspect.WritePipeName(), inspect.ReadPipeName()));
    QCOMPARE(QFileInfo(Logged("start", "workingDirectory").last()).canonicalFilePath(),
             QFileInfo(QFileInfo(QStringLiteral(KOPKOP_SIM)).absolutePath()).canonicalFilePath());
    QCOMPARE(Logged("crash", "reason"), dieAt.isEmpty() ? QStringList() : QStringList{dieAt});
    QCOMPARE(tracking.WithCode(QStringLiteral("PipeServerProtocolError")).size(), int(brokenFrame));
    QCOMPARE(StartedClients(m_host->Log()).size(), clients - (options.isEmpty() ? 1 : 0));
}

// A client that closes is restarted, on the same pipes made afresh for it, twice in the window of
// 60000 ms its first close opens; the third close in it is refused. A start the host asks for opens
// a new window. Each close is decided on a frozen clock, some just beyond or within a window.
void TestEndToEnd::restartsOnTheSamePipesUntilTheThirdCloseInTheWindow()
{
    QVERIFY(FakeClock::IsActive());
    VXKopkopManager* manager = Module(true);
    TrackingRecorder tracking;
    QSignalSpy refused(manager, &VXKopkopManager::SigKopkopRestartRefused);
    QElapsedTimer window;  // starts with the module's, at a window's first close
    const int msIntoWindow[] = {0, 0, 0, 0, 60500, 0, 59500};
    manager->ExecuteKK(false);
    for (int close = 1; close <= 7; ++close) {
        QTRY_COMPARE_WITH_TIMEOUT(m_callback.calls.size(), close, kLong);
        const auto decisions = [&] { return refused.count() + tracking.WithCode(QStringLiteral("ExecuteKK")).size(); };
        const int before = decisions();
        FakeClock::Freeze();
        FakeClock::Advance(msIntoWindow[close - 1] ? msIntoWindow[close - 1] - window.elapsed() : 0);
        // Nothing times out while the clock stands, and the module decides on every close.
        const bool decided = KillProcess(m_callback.calls.last().second.value(0).toLongLong()) &&
                             QTest::qWaitFor([&] { return decisions() > before; });
        if (!window.isValid() || close == 5)
            window.start();
        FakeClock::Thaw();
        QVERIFY(decided);
        QCOMPARE(refused.count(), close < 3 ? 0 : close < 7 ? 1 : 2);
        if (close == 3) {
            QTRY_VERIFY_WITH_TIMEOUT(LiveClients(m_host->Log()).isEmpty(), kLong);
            QCOMPARE(StartedClients(m_host->Log()).size(), 3);  // nothing replaced the third
            window.invalidate();
            manager->ExecuteKK(false);
        }
    }
    QVERIFY(tracking.WithCode(QStringLiteral("PipeServerRecycle")).isEmpty());  // each found its pipes waiting
    const QStringList commandLines = Logged("start", "arguments");
    QCOMPARE(commandLines.count(commandLines.value(0)), 7);
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
