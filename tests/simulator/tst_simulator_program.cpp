// kopkop-sim as the module starts it: a child process with the module's two arguments, talking to
// the module's real pipe server, configured through its environment. Every test ends with the
// simulator gone: by itself once the server is destroyed (exit code 0), or as the test expects.

#include "PlatformKKWrapper/VXPipeInstance.h"
#include "PlatformKKWrapper/VXPipeServer.h"
#include "simulator/KKFrameStream.h"
#include "simulator/KKMessageMetaType.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>
#include <QtEndian>
#include <QtTest>

#include <csignal>
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
        : writePipe(QStringLiteral("\\\\.\\pipe\\writepipe_") + QUuid::createUuid().toString()),
          readPipe(QString(writePipe).replace(QLatin1String("writepipe_"), QLatin1String("readpipe_"))),
          server(new VXPipeServer),
          connected(server.get(), &VXPipeServer::SigClientConnected),
          closed(server.get(), &VXPipeServer::SigClientClosed),
          data(server.get(), &VXPipeServer::SigReadData)
    {
        server->InitPipe(writePipe, readPipe);
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
        process.start(QStringLiteral(KOPKOP_SIM),
                      {QStringLiteral("pipe?param=%1&%2").arg(writePipe, readPipe), QStringLiteral("version=5.2.1")});
        // QProcess says Running only once it has handled the start, which a busy test thread can
        // put off until after the simulator has connected.
        process.waitForStarted(kLong);
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

    const QString writePipe;
    const QString readPipe;
    QTemporaryDir dir;
    QString scriptFile;
    std::unique_ptr<VXPipeServer> server;
    QSignalSpy connected;
    QSignalSpy closed;
    QSignalSpy data;
    QProcess process;
};

// The module's two pipes with only the test behind them, for what the module's receiver would
// reassemble (or refuse) before a test could see it: the read pipe's pipe messages come back
// exactly as the client wrote them. The client may open the write pipe, which nobody writes;
// Close() is the host going away.
class RawHost
{
public:
    RawHost(const QString& writePipe, const QString& readPipe)
        : m_write(VXPipeInstance::Create(writePipe)),
          m_read(VXPipeInstance::Create(readPipe)),
          m_event(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          m_buffer(64 * 1024, '\0')
    {
    }
    ~RawHost()
    {
        Close();
        CloseHandle(m_event);
    }

    void Close()
    {
        for (HANDLE* pipe : {&m_write, &m_read}) {
            if (*pipe != INVALID_HANDLE_VALUE)
                CloseHandle(*pipe);
            *pipe = INVALID_HANDLE_VALUE;
        }
    }

    // The next pipe message on the read pipe, whole; empty once the client has gone (or after
    // kLong ms without one).
    QByteArray Next()
    {
        OVERLAPPED io = {};
        io.hEvent = m_event;
        DWORD count = 0;
        if (!m_connected) {
            // ERROR_PIPE_CONNECTED: the client came first, and the event is not signalled then.
            if (!ConnectNamedPipe(m_read, &io) && GetLastError() != ERROR_PIPE_CONNECTED && !Wait(&io, &count))
                return {};
            m_connected = true;
        }
        QByteArray message;
        for (;;) {
            io = {};
            io.hEvent = m_event;
            BOOL ok = ReadFile(m_read, m_buffer.data(), DWORD(m_buffer.size()), &count, &io);
            if (!ok && GetLastError() == ERROR_IO_PENDING)
                ok = Wait(&io, &count);
            else if (!ok && GetLastError() == ERROR_MORE_DATA)
                GetOverlappedResult(m_read, &io, &count, FALSE);  // its count is in the OVERLAPPED
            const bool more = !ok && GetLastError() == ERROR_MORE_DATA;
            if (ok || more)
                message.append(m_buffer.constData(), int(count));
            if (!more)
                return ok ? message : QByteArray();
        }
    }

private:
    // Waits for a pending call on the read pipe; on time-out cancels it and waits for that.
    bool Wait(OVERLAPPED* io, DWORD* count)
    {
        if (GetLastError() != ERROR_IO_PENDING)
            return false;
        if (WaitForSingleObject(m_event, kLong) == WAIT_OBJECT_0)
            return GetOverlappedResult(m_read, io, count, FALSE);
        CancelIoEx(m_read, io);
        GetOverlappedResult(m_read, io, count, TRUE);
        return false;
    }

    HANDLE m_write;
    HANDLE m_read;
    HANDLE m_event;
    QByteArray m_buffer;
    bool m_connected = false;
};

QByteArray LengthField(qint32 length)
{
    QByteArray field(4, '\0');
    qToLittleEndian(length, field.data());
    return field;
}

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

    // --- Faults for the module's soak and hostile-client tests ------------------------------------
    void diesOnPurpose_data();
    void diesOnPurpose();
    void pausesBetweenThePipes_data();
    void pausesBetweenThePipes();
    void writesWhatIsNotAFrame_data();
    void writesWhatIsNotAFrame();
    void floodsInOrder_data();
    void floodsInOrder();

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
    // A payload that is not a message before StartupCompleted does not stop the conversation.
    QTest::newRow("after garbage") << "--misbehave garbage" << R"(["ChangeStatus","i:4"])"
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
    // The module ends the connection on a negative length, before it reads StartupCompleted.
    QTest::newRow("bad-frame") << "--misbehave bad-frame" << QByteArray() << 0 << 1 << 0;
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

void TestSimulatorProgram::diesOnPurpose_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<int>("exit");         // the exit code; negative: the signal that ended it
    QTest::addColumn<int>("connections");  // the module saw the read pipe connect, then close
    QTest::addColumn<int>("startups");     // StartupCompleted messages the module got
    QTest::addColumn<int>("received");     // of the module's three messages, as the log says
    QTest::addColumn<QString>("crash");    // the crash event's reason and pipes

    QTest::newRow("start, abort") << "--die-at start" << -SIGABRT << 0 << 0 << 0 << "start none";
    QTest::newRow("between the pipes, write first, kill")
        << "--die-at between-pipes --die-how kill" << -SIGKILL << 0 << 0 << 0 << "between-pipes write";
    QTest::newRow("between the pipes, read first, exit 3")
        << "--die-at between-pipes --pipe-order read-first --die-how exit:3" << 3 << 1 << 0 << 0
        << "between-pipes read";
    QTest::newRow("connected, exit 0") << "--die-at connected --die-how exit:0" << 0 << 1 << 0 << 0 << "connected both";
    QTest::newRow("startup, kill") << "--die-at startup --die-how=kill" << -SIGKILL << 1 << 1 << 0 << "startup both";
    QTest::newRow("received:2, exit 4") << "--die-at received:2 --die-how exit:4" << 4 << 1 << 1 << 2
                                        << "received:2 both";
    QTest::newRow("crash-after-connect, exit 5")
        << "--misbehave crash-after-connect --die-how exit:5" << 5 << 1 << 0 << 0 << "crash-after-connect both";
}

void TestSimulatorProgram::diesOnPurpose()
{
    QFETCH(QString, options);
    QFETCH(int, exit);
    QFETCH(int, connections);
    QFETCH(int, startups);
    QFETCH(int, received);
    QFETCH(QString, crash);

    SimulatorRun run;
    // Queued in the module until the write pipe is open, then sent at once.
    for (int i = 1; i <= 3; ++i)
        QVERIFY(run.Write(QStringLiteral(R"(["NotifyChanged","s:%1"])").arg(i)));
    run.Start(options);
    QVERIFY(run.WaitForExit());
    QCOMPARE(run.process.exitStatus(), exit < 0 ? QProcess::CrashExit : QProcess::NormalExit);
    QCOMPARE(run.process.exitCode(), qAbs(exit));  // a signal's number after a crash
    QTRY_COMPARE_WITH_TIMEOUT(run.closed.count(), connections, kLong);
    QCOMPARE(run.connected.count(), connections);
    QTRY_COMPARE_WITH_TIMEOUT(run.data.count(), startups, kLong);
    const auto crashes = run.LogEvents(QStringLiteral("crash"));
    QCOMPARE(crashes.size(), 1);
    QCOMPARE(crashes.at(0).value("reason").toString() + ' ' + crashes.at(0).value("pipes").toString(), crash);
    QCOMPARE(run.LogEvents(QStringLiteral("received")).size(), received);
    QCOMPARE(run.LogEvents().last(), crashes.at(0));  // the last word: nothing ran after it
}

void TestSimulatorProgram::pausesBetweenThePipes_data()
{
    QTest::addColumn<QString>("order");
    QTest::newRow("write pipe first") << "write-first";
    QTest::newRow("read pipe first") << "read-first";
}

void TestSimulatorProgram::pausesBetweenThePipes()
{
    QFETCH(QString, order);
    const int pauseMs = 1000;
    SimulatorRun run;
    QElapsedTimer clock;
    clock.start();
    run.Start(QStringLiteral("--pipe-order %1 --between-pipes-ms %2").arg(order).arg(pauseMs));
    QVERIFY(run.connected.wait(kLong));  // the read pipe
    const qint64 connectedMs = clock.elapsed();
    QCOMPARE(run.Received(1)->GetName(), QStringLiteral("StartupCompleted"));  // once both are open
    const qint64 startupMs = clock.elapsed();
    // The pause comes before the read pipe when the write pipe is first, after it otherwise. (Half
    // the pause after: the test may notice the connection a little late.)
    if (order == QLatin1String("write-first"))
        QVERIFY2(connectedMs >= pauseMs, qPrintable(QString::number(connectedMs)));
    else
        QVERIFY2(startupMs - connectedMs >= pauseMs / 2, qPrintable(QString::number(startupMs - connectedMs)));
    QVERIFY(run.StopHostAndExitCleanly());
}

void TestSimulatorProgram::writesWhatIsNotAFrame_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<QList<QByteArray>>("messages");  // the first pipe messages, exactly
    QTest::addColumn<int>("exitCode");                // after them and the host going

    // Each is followed by a script's message, when the client goes on normally.
    const QByteArray after = KKFrameStream::Pack(R"(["After"])");
    const QByteArray filler(64 * 1024, 'x');
    const QByteArray dying = R"(["UnreadMessageChanged","i:0"])";
    const QByteArray halfFrame = KKFrameStream::Pack(dying).left(4 + dying.size() / 2);
    QTest::newRow("garbage-write") << "--misbehave garbage-write"
                                   << QList<QByteArray>{"this is not a frame, just text", after} << 0;
    QTest::newRow("huge-frame, all of it")
        << "--misbehave huge-frame --huge-length 100000"
        << QList<QByteArray>{LengthField(100000), filler, filler.left(100000 - filler.size()), after} << 0;
    QTest::newRow("huge-frame, negative length") << "--misbehave huge-frame --huge-length=-5"
                                                 << QList<QByteArray>{LengthField(-5), after} << 0;
    // Streaming until the host goes (the module would end it at its limit): the client still exits.
    QTest::newRow("huge-frame, host gone mid-stream")
        << "--misbehave huge-frame" << QList<QByteArray>{LengthField(2147483643), filler, filler} << 0;
    QTest::newRow("die mid-frame") << "--die-at mid-frame --die-how exit:9" << QList<QByteArray>{halfFrame} << 9;
}

void TestSimulatorProgram::writesWhatIsNotAFrame()
{
    QFETCH(QString, options);
    QFETCH(QList<QByteArray>, messages);
    QFETCH(int, exitCode);

    SimulatorRun run;
    run.server.reset();  // the test is the module here, byte by byte
    RawHost host(run.writePipe, run.readPipe);
    run.Start(options + QStringLiteral(" --no-startup --script -"), "send After\n");
    QVERIFY(run.process.waitForBytesWritten(kLong));  // the reads below block this thread's events
    for (const QByteArray& expected : messages)
        QCOMPARE(host.Next(), expected);
    if (exitCode != 0)
        QCOMPARE(host.Next(), QByteArray());  // died: nothing more comes
    host.Close();
    QVERIFY(run.WaitForExit());
    QCOMPARE(run.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.process.exitCode(), exitCode);
}

void TestSimulatorProgram::floodsInOrder_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("size");  // of each payload; 0: not padded
    QTest::newRow("5000 small") << 5000 << 0;
    QTest::newRow("200 of 20000 bytes") << 200 << 20000;
}

void TestSimulatorProgram::floodsInOrder()
{
    QFETCH(int, count);
    QFETCH(int, size);
    SimulatorRun run;
    run.Start(QStringLiteral("--quiet --flood %1 --flood-size %2").arg(count).arg(size));
    QCOMPARE(run.Received(1)->GetName(), QStringLiteral("StartupCompleted"));
    QVERIFY(run.Received(count + 1));
    for (int k = 1; k <= count; ++k) {
        const QByteArray payload = run.data.at(k).at(0).toByteArray();
        const auto message = Parse(payload);
        QVERIFY2(message && message->GetName() == QLatin1String("UnreadMessageChanged"), payload.left(100));
        QCOMPARE(message->GetArgs().value(0), QVariant(k));
        QCOMPARE(size > 0 ? payload.size() : message->GetArgs().size(), size > 0 ? size : 1);
    }
    QVERIFY(run.WaitForLog(QStringLiteral("flood")));
    QCOMPARE(run.LogEvents(QStringLiteral("flood")).at(0).value("sent").toInt(), count);
    QVERIFY(run.StopHostAndExitCleanly());
    QCOMPARE(run.data.count(), count + 1);
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
