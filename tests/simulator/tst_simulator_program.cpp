// kopkop-sim as the module starts it: a child process with the module's two arguments, talking to
// the module's real pipe server, configured through its environment. Every test ends with the
// simulator gone: by itself once the server is destroyed (exit code 0), or as the test expects.

#include "PlatformKKWrapper/VXPipeServer.h"
#include "simulator/KKFrameStream.h"
#include "simulator/KKMessageMetaType.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <memory>

namespace {

const int kLong = 30000;  // ms

QSharedPointer<VXProcessMessage> Parse(const QByteArray& payload)
{
    return VXProcessMessage::CreateFromString(QString::fromUtf8(payload));
}

// The module's pipe server, a kopkop-sim started against it, and the simulator's log.
class SimulatorRun
{
public:
    SimulatorRun()
        : server(new VXPipeServer),
          connected(server.get(), &VXPipeServer::SigClientConnected),
          closed(server.get(), &VXPipeServer::SigClientClosed),
          data(server.get(), &VXPipeServer::SigReadData)
    {
        const QString id = QUuid::createUuid().toString();
        m_pipes = QStringLiteral("pipe?param=\\\\.\\pipe\\writepipe_%1&\\\\.\\pipe\\readpipe_%1").arg(id);
        server->InitPipe(QStringLiteral("\\\\.\\pipe\\writepipe_") + id, QStringLiteral("\\\\.\\pipe\\readpipe_") + id);
    }

    ~SimulatorRun()
    {
        // The safety net: stopping the host ends a well-behaved simulator; one that is left is
        // killed and fails the test.
        server.reset();
        if (process.state() != QProcess::NotRunning && !process.waitForFinished(kLong)) {
            process.kill();
            process.waitForFinished(kLong);
            QTest::qFail("the simulator outlived its host", __FILE__, __LINE__);
        }
        if (QTest::currentTestFailed())
            qInfo().noquote() << "simulator stderr:\n" + QString::fromLocal8Bit(process.readAllStandardError());
    }

    // Starts kopkop-sim as the module does, with KOPKOP_SIM_OPTIONS, the log in KOPKOP_SIM_LOG,
    // `scriptFile` (if set) in KOPKOP_SIM_SCRIPT, and `input` on its stdin.
    void Start(const QString& options, const QByteArray& input = QByteArray())
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KOPKOP_SIM_LOG"), dir.filePath(QStringLiteral("sim.log")));
        env.insert(QStringLiteral("KOPKOP_SIM_OPTIONS"), options);
        if (!scriptFile.isEmpty())
            env.insert(QStringLiteral("KOPKOP_SIM_SCRIPT"), scriptFile);
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(KOPKOP_SIM), {m_pipes, QStringLiteral("version=5.2.1")});
        process.write(input);
        process.closeWriteChannel();
    }

    bool Write(const QString& text) { return server->AsyncWriteData(text.toUtf8()); }

    // Waits for the n-th payload (from 1) from the simulator and returns it parsed.
    QSharedPointer<VXProcessMessage> Received(int n)
    {
        if (!QTest::qWaitFor([&] { return data.count() >= n; }, kLong))
            return {};
        return Parse(data.at(n - 1).at(0).toByteArray());
    }
    QString ReceivedText(int n)
    {
        const auto message = Received(n);
        return message ? message->ToString() : QStringLiteral("(nothing)");
    }

    bool WaitForExit() { return QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, kLong); }
    // Destroys the server; the simulator must then exit by itself with code 0.
    bool StopHostAndExitCleanly()
    {
        server.reset();
        return WaitForExit() && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }

    // The log's events, all or those named `event`; a line that is not JSON gives an empty object.
    QList<QJsonObject> LogEvents(const QString& event = QString()) const
    {
        QFile file(dir.filePath(QStringLiteral("sim.log")));
        QList<QJsonObject> events;
        if (!file.open(QIODevice::ReadOnly))
            return events;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QJsonObject entry = QJsonDocument::fromJson(line).object();
            if (!line.isEmpty() && (event.isNull() || entry.value(QStringLiteral("event")).toString() == event))
                events.append(entry);
        }
        return events;
    }
    bool WaitForLog(const QString& event, int count = 1)
    {
        return QTest::qWaitFor([&] { return LogEvents(event).size() >= count; }, kLong);
    }

    QTemporaryDir dir;
    QString scriptFile;
    std::unique_ptr<VXPipeServer> server;
    QSignalSpy connected;
    QSignalSpy closed;
    QSignalSpy data;
    QProcess process;

private:
    QString m_pipes;
};

}  // namespace

class TestSimulatorProgram : public QObject
{
    Q_OBJECT

private slots:
    // --- Default behaviour --------------------------------------------------------------------
    void answersAsTheClientWould_data();
    void answersAsTheClientWould();
    void logRecordsWhatArrived();
    void acknowledgesEveryNPayloads();

    // --- Scripts ----------------------------------------------------------------------------------
    void runsAScript_data();
    void runsAScript();

    // --- Misbehaviour -----------------------------------------------------------------------------
    void endsByItself_data();
    void endsByItself();
    void onePipeOnly_data();
    void onePipeOnly();

    // --- Command line -----------------------------------------------------------------------------
    void refusesToStart_data();
    void refusesToStart();
};

void TestSimulatorProgram::answersAsTheClientWould_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("reply");  // empty: none

    QTest::newRow("Login") << "" << R"(["Login","s:seller_01","b:true","i:1","s:a","s:b","y:AAEC"])"
                           << "StartupCompleted";
    QTest::newRow("Login ignored") << "--ignore-login" << R"(["Login","s:seller_01","b:true","i:1","s:","s:","y:"])"
                                   << "";
    QTest::newRow("ChangeStatus") << "" << R"(["ChangeStatus","i:3"])" << R"(["ChangeStatusCallback","i:3"])";
    QTest::newRow("ChangeSkin") << "" << R"(["ChangeSkin","y:eyJza2luTmFtZSI6ImRhcmsifQ=="])"
                                << R"(["ChangeSkin","s:dark"])";
    QTest::newRow("others are only logged") << "" << R"(["OpenKKWindow","s:buyer_0815","i:0","s:app-7","s:"])" << "";
    // Misbehaviour before StartupCompleted does not stop the conversation. A bad frame's bytes
    // are dropped by the module; its next pipe message starts clean.
    QTest::newRow("after garbage") << "--misbehave garbage" << R"(["ChangeStatus","i:4"])"
                                   << R"(["ChangeStatusCallback","i:4"])";
    QTest::newRow("after a bad frame") << "--misbehave bad-frame" << R"(["ChangeStatus","i:4"])"
                                       << R"(["ChangeStatusCallback","i:4"])";
}

void TestSimulatorProgram::answersAsTheClientWould()
{
    QFETCH(QString, options);
    QFETCH(QString, request);
    QFETCH(QString, reply);

    SimulatorRun run;
    run.Start(options);
    QVERIFY(run.connected.wait(kLong));
    int next = 1;
    if (options.contains(QLatin1String("garbage")))
        QVERIFY(run.Received(next++).isNull());  // arrived, but is not a message
    const auto startup = run.Received(next++);
    QVERIFY(startup);
    QCOMPARE(startup->GetName(), QStringLiteral("StartupCompleted"));
    QCOMPARE(startup->GetArgs().at(0), QVariant(uint(run.process.processId())));

    // Frames keep their order: the answer to the probe comes right after the reply, if any.
    QVERIFY(run.Write(request));
    QVERIFY(run.Write(QStringLiteral(R"(["ChangeStatus","i:5"])")));
    if (reply == QLatin1String("StartupCompleted"))
        QCOMPARE(run.Received(next++)->GetName(), reply);
    else if (!reply.isEmpty())
        QCOMPARE(run.ReceivedText(next++), reply);
    QCOMPARE(run.ReceivedText(next), QStringLiteral(R"(["ChangeStatusCallback","i:5"])"));
    QVERIFY(run.StopHostAndExitCleanly());
    QCOMPARE(run.data.count(), next);
}

void TestSimulatorProgram::logRecordsWhatArrived()
{
    SimulatorRun run;
    run.Start(QString());
    QVERIFY(run.Received(1));
    const QString message =
        QString::fromUtf8(R"(["Mixed","s:two words \"quoted\"\n你好","b:false","i:-7","u:4294967295","y:AP8="])");
    QVERIFY(run.Write(message));
    QVERIFY(run.Write(QStringLiteral("OpenSomething raw")));
    QVERIFY(run.WaitForLog(QStringLiteral("invalid")));
    QVERIFY(run.StopHostAndExitCleanly());

    const auto events = run.LogEvents();
    QStringList names;
    double lastMs = 0;
    for (const QJsonObject& event : events) {
        names.append(event.value("event").toString());
        QVERIFY(event.value("ms").toDouble(-1) >= lastMs);
        lastMs = event.value("ms").toDouble();
    }
    QCOMPARE(names, QStringList({"start", "connected", "sent", "received", "invalid", "host-gone", "exit"}));
    QVERIFY(events.at(2).value("text").toString().startsWith(R"(["StartupCompleted","u:)"));
    const QJsonObject received = events.at(3);
    QCOMPARE(received.value("name").toString(), QStringLiteral("Mixed"));
    QCOMPARE(received.value("text").toString(), message);
    const QJsonArray expectedArgs{
        QJsonObject{{"type", "s"}, {"value", QString::fromUtf8("two words \"quoted\"\n你好")}},
        QJsonObject{{"type", "b"}, {"value", false}},
        QJsonObject{{"type", "i"}, {"value", -7}},
        QJsonObject{{"type", "u"}, {"value", 4294967295.0}},
        QJsonObject{{"type", "y"}, {"value", "AP8="}},
    };
    QCOMPARE(received.value("args").toArray(), expectedArgs);
    QCOMPARE(events.at(4).value("payload").toString(), QStringLiteral("OpenSomething raw"));
    QCOMPARE(events.last().value("code").toInt(-1), 0);
}

void TestSimulatorProgram::acknowledgesEveryNPayloads()
{
    SimulatorRun run;
    run.Start(QStringLiteral("--no-startup --ack-every 10 --quiet"));
    QVERIFY(run.connected.wait(kLong));
    for (int i = 1; i <= 30; ++i)
        QVERIFY(run.Write(i == 15 ? QStringLiteral("raw, counted too") : QStringLiteral(R"(["NotifyChanged","s:n"])")));
    for (int i = 1; i <= 3; ++i)
        QCOMPARE(run.ReceivedText(i), QStringLiteral(R"(["UnreadMessageChanged","i:%1"])").arg(i * 10));
    QVERIFY(run.StopHostAndExitCleanly());
    QCOMPARE(run.data.count(), 3);
}

void TestSimulatorProgram::runsAScript_data()
{
    QTest::addColumn<bool>("fromStdin");
    QTest::newRow("file named in KOPKOP_SIM_SCRIPT") << false;
    QTest::newRow("stdin") << true;
}

void TestSimulatorProgram::runsAScript()
{
    QFETCH(bool, fromStdin);
    const QByteArray script = "# after StartupCompleted\n"
                              "send Hello s:\"two  words\" b:true i:-7 u:7 y:AAEC\n"
                              "\n"
                              "raw [\"RawOne\",\"s:x\"]\n"
                              "bytes " + KKFrameStream::Pack(R"(["BytesHere"])").toHex() + "\n"
                              "startup\n"
                              "explode now\n"
                              "sleep 20\n"
                              "send Ready\n"
                              "wait Go\n"
                              "flood 25 Many i:1\n"
                              "wait Never 50\n"
                              "send Done\n";
    SimulatorRun run;
    if (fromStdin) {
        run.Start(QStringLiteral("--script -"), script);
    } else {
        QFile file(run.dir.filePath(QStringLiteral("script.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(script) == script.size());
        file.close();
        run.scriptFile = file.fileName();
        run.Start(QString());
    }

    QCOMPARE(run.Received(1)->GetName(), QStringLiteral("StartupCompleted"));
    QCOMPARE(run.ReceivedText(2), QStringLiteral(R"(["Hello","s:two  words","b:true","i:-7","u:7","y:AAEC"])"));
    QCOMPARE(run.ReceivedText(3), QStringLiteral(R"(["RawOne","s:x"])"));
    QCOMPARE(run.ReceivedText(4), QStringLiteral(R"(["BytesHere"])"));
    QCOMPARE(run.Received(5)->GetName(), QStringLiteral("StartupCompleted"));
    QCOMPARE(run.ReceivedText(6), QStringLiteral(R"(["Ready"])"));
    QVERIFY(run.Write(QStringLiteral(R"(["Go"])")));
    for (int i = 7; i < 7 + 25; ++i)
        QCOMPARE(run.ReceivedText(i), QStringLiteral(R"(["Many","i:1"])"));
    QCOMPARE(run.ReceivedText(32), QStringLiteral(R"(["Done"])"));
    QVERIFY(run.WaitForLog(QStringLiteral("script-end")));
    QCOMPARE(run.process.state(), QProcess::Running);  // the end of a script is not the end

    QVERIFY(run.StopHostAndExitCleanly());
    QCOMPARE(run.data.count(), 32);
    const auto errors = run.LogEvents(QStringLiteral("script-error"));
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.at(0).value("line").toInt(), 7);
    QVERIFY(run.process.readAllStandardError().contains("script line 7: unknown command \"explode\""));
    QCOMPARE(run.LogEvents(QStringLiteral("wait-timeout")).size(), 1);
}

void TestSimulatorProgram::endsByItself_data()
{
    QTest::addColumn<QString>("options");   // KOPKOP_SIM_OPTIONS
    QTest::addColumn<QByteArray>("script");  // on stdin
    QTest::addColumn<int>("exitCode");       // -1: crashes
    QTest::addColumn<int>("connections");    // each followed by the module seeing it leave
    QTest::addColumn<int>("startups");       // StartupCompleted messages the module got

    QTest::newRow("crash-on-start") << "--misbehave crash-on-start" << QByteArray() << -1 << 0 << 0;
    QTest::newRow("crash-after-connect") << "--misbehave crash-after-connect" << QByteArray() << -1 << 1 << 0;
    QTest::newRow("never-connect") << "--misbehave never-connect --max-lifetime-ms 300" << QByteArray() << 0 << 0 << 0;
    // The module rebuilds its pipes; the simulator, seeing its write pipe go, exits by itself.
    QTest::newRow("close-read-pipe") << "--script -" << QByteArray("close-read-pipe\n") << 0 << 1 << 1;
    QTest::newRow("exit with a code") << "--script -" << QByteArray("exit 3\n") << 3 << 1 << 1;
    QTest::newRow("crash") << "--script -" << QByteArray("crash\n") << -1 << 1 << 1;
}

void TestSimulatorProgram::endsByItself()
{
    QFETCH(QString, options);
    QFETCH(QByteArray, script);
    QFETCH(int, exitCode);
    QFETCH(int, connections);
    QFETCH(int, startups);

    SimulatorRun run;
    run.Start(options, script);
    QVERIFY(run.WaitForExit());
    QCOMPARE(run.process.exitStatus(), exitCode < 0 ? QProcess::CrashExit : QProcess::NormalExit);
    if (exitCode >= 0)
        QCOMPARE(run.process.exitCode(), exitCode);
    QTRY_COMPARE_WITH_TIMEOUT(run.closed.count(), connections, kLong);
    QCOMPARE(run.connected.count(), connections);
    QTRY_COMPARE_WITH_TIMEOUT(run.data.count(), startups, kLong);
    QCOMPARE(run.LogEvents(QStringLiteral("crash")).size(), exitCode < 0 ? 1 : 0);
}

void TestSimulatorProgram::onePipeOnly_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<bool>("writePipe");  // the pipe left open
    QTest::newRow("write-pipe-only") << "--misbehave write-pipe-only" << QByteArray() << true;
    QTest::newRow("read-pipe-only") << "--misbehave read-pipe-only" << QByteArray() << false;
    QTest::newRow("close-write-pipe") << "--script -" << QByteArray("close-write-pipe\nsend StillHere\n") << false;
}

void TestSimulatorProgram::onePipeOnly()
{
    QFETCH(QString, options);
    QFETCH(QByteArray, script);
    QFETCH(bool, writePipe);
    SimulatorRun run;
    run.Start(options, script);
    QVERIFY(run.WaitForLog(QStringLiteral("connected")));
    if (writePipe) {
        // Not connected for the module, but what it writes arrives; the answer has no way back.
        QVERIFY(run.Write(QStringLiteral(R"(["ChangeStatus","i:2"])")));
        QVERIFY(run.WaitForLog(QStringLiteral("send-failed"), 2));  // StartupCompleted and the answer
        QCOMPARE(run.LogEvents(QStringLiteral("received")).size(), 1);
        QCOMPARE(run.connected.count(), 0);
    } else {
        QCOMPARE(run.Received(1)->GetName(), QStringLiteral("StartupCompleted"));
        if (!script.isEmpty())
            QCOMPARE(run.ReceivedText(2), QStringLiteral(R"(["StillHere"])"));
        QCOMPARE(run.connected.count(), 1);
    }
    // However it is connected, it notices the host going.
    QCOMPARE(run.process.state(), QProcess::Running);
    QVERIFY(run.StopHostAndExitCleanly());
}

void TestSimulatorProgram::refusesToStart_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("options");  // KOPKOP_SIM_OPTIONS
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");  // part of stderr (stdout for --help)

    const QString pipes = QStringLiteral("pipe?param=\\\\.\\pipe\\writepipe_none&\\\\.\\pipe\\readpipe_none");
    const QString version = QStringLiteral("version=1");
    QTest::newRow("help") << QStringList{"--help"} << "" << 0 << "Usage: kopkop-sim";
    QTest::newRow("no arguments") << QStringList{} << "" << 2 << "expected two arguments";
    QTest::newRow("bad option in the environment") << QStringList{pipes, version} << "--misbehave explode" << 2
                                                   << "KOPKOP_SIM_OPTIONS: unknown --misbehave mode";
    QTest::newRow("script missing") << QStringList{pipes, version, "--script", "/nonexistent/script"} << "" << 2
                                    << "cannot read the script";
    QTest::newRow("log not writable") << QStringList{pipes, version, "--log", "/nonexistent/dir/sim.log"} << "" << 2
                                      << "cannot open the log file";
    QTest::newRow("no pipes") << QStringList{pipes, version} << "--connect-timeout-ms 200" << 1 << "cannot connect to";
}

void TestSimulatorProgram::refusesToStart()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, options);
    QFETCH(int, exitCode);
    QFETCH(QString, output);

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KOPKOP_SIM_OPTIONS"), options);
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(KOPKOP_SIM), arguments);
    QVERIFY(QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, kLong));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    const QString text = QString::fromLocal8Bit(process.readAllStandardError() + process.readAllStandardOutput());
    QVERIFY2(text.contains(output), qPrintable(text));
}

QTEST_GUILESS_MAIN(TestSimulatorProgram)
#include "tst_simulator_program.moc"
