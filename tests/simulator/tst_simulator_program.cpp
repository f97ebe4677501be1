// kopkop-sim started as the module starts it, against the module's pipe server or, for what that
// would refuse, bare pipes: each behaviour shows in what the module's end sees and in how it ends.

#include "PlatformKKWrapper/VXPipeInstance.h"
#include "PlatformKKWrapper/VXPipeServer.h"
#include "simulator/KKFrameStream.h"
#include "simulator/KKSimulator.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <cstring>

using Bytes = QList<QByteArray>;

namespace {

const int kLong = 30000;  // ms
const QByteArray S = "StartupCompleted";
// What the module queues before the client starts: three requests with answers, and a raw command.
const Bytes kQueued{R"(["Login","s:seller_01","b:true","i:1","s:","s:","y:AAEC"])", R"(["ChangeStatus","i:3"])",
                    R"(["ChangeSkin","y:eyJza2luTmFtZSI6ImRhcmsifQ=="])", "OpenSomething"};
const Bytes kAnswers{S, R"(["ChangeStatusCallback","i:3"])", R"(["ChangeSkin","s:dark"])"};

// A kopkop-sim, its log, and the module's end of the pipes: the pipe server with kQueued waiting,
// bare pipes ("raw"), or none. `seen` is what the server reported, in order: "connect", "close" and
// each payload (StartupCompleted, whose arguments vary, by name).
struct Run
{
    explicit Run(const QString& until)
    {
        if (until == "raw")
            pipes = {VXPipeInstance::Create(writePipe), VXPipeInstance::Create(readPipe),
                     CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        if (until == "raw" || until == "none")
            return;
        server.reset(new VXPipeServer);
        QObject::connect(&*server, &VXPipeServer::SigClientConnected, [this] { seen << "connect"; });
        QObject::connect(&*server, &VXPipeServer::SigClientClosed, [this] { seen << "close"; });
        QObject::connect(&*server, &VXPipeServer::SigReadData, [this](const QByteArray& data) {
            const auto m = VXProcessMessage::CreateFromString(QString::fromUtf8(data));
            seen << (m && m->GetName() == S ? S : data);
        });
        server->InitPipe(writePipe, readPipe);
        for (const QByteArray& text : kQueued)
            server->AsyncWriteData(text);
    }
    ~Run()
    {
        HostGoes();  // a well-behaved simulator now ends by itself
        if (!WaitForExit())
            QTest::qFail("the simulator outlived its host", __FILE__, __LINE__);  // ~QProcess kills it
    }
    void HostGoes()
    {
        server.reset();
        for (HANDLE pipe : std::exchange(pipes, {}))
            CloseHandle(pipe);
    }

    // `script` goes to stdin, and is the KOPKOP_SIM_SCRIPT file unless the options read stdin.
    void Start(const QString& options, const QByteArray& script)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KOPKOP_SIM_LOG", dir.filePath("log"));
        env.insert("KOPKOP_SIM_OPTIONS", "--quiet " + options);
        QFile file(dir.filePath("script"));
        if (!options.contains("--script -") && file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
            file.write(script) > 0)
            env.insert("KOPKOP_SIM_SCRIPT", file.fileName());
        process.setProcessEnvironment(env);
        process.start(KOPKOP_SIM, {"pipe?param=" + writePipe + "&" + readPipe, "version=5.2.1"});
        process.write(script);
        process.closeWriteChannel();
        process.waitForBytesWritten(kLong);
    }
    bool WaitForExit() { return QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, kLong); }
    // The first logged event of that name (each line starts with it), or an empty object.
    QJsonObject Logged(const QString& event) const
    {
        QFile file(dir.filePath("log"));
        const QByteArray log = file.open(QIODevice::ReadOnly) ? file.readAll() : "";
        const int at = log.indexOf("{\"event\":\"" + event.toUtf8() + '"');
        return at < 0 ? QJsonObject() : QJsonDocument::fromJson(log.mid(at, log.indexOf('\n', at) - at)).object();
    }
    // Bare pipes: the next message on the read pipe, exactly as written; empty once the client has gone.
    QByteArray Next()
    {
        QByteArray buffer(2 * KKSimulator::kHugeChunk, '\0');  // larger than any message written
        DWORD count = 0;
        for (int read = connected; read < 2; ++read) {
            OVERLAPPED io{0, 0, {}, pipes[2]};
            BOOL ok = read ? ReadFile(pipes[1], buffer.data(), DWORD(buffer.size()), &count, &io)
                           : ConnectNamedPipe(pipes[1], &io);
            if (!ok && GetLastError() == ERROR_IO_PENDING) {
                if (WaitForSingleObject(pipes[2], kLong) != WAIT_OBJECT_0)
                    CancelIoEx(pipes[1], &io);
                ok = GetOverlappedResult(pipes[1], &io, &count, TRUE);
            }
            if (!(connected = ok || GetLastError() == ERROR_PIPE_CONNECTED))  // the client may come first
                return {};
        }
        return buffer.left(int(count));
    }

    const QString writePipe = "\\\\.\\pipe\\writepipe_" + QUuid::createUuid().toString();
    const QString readPipe = QString(writePipe).replace("writepipe_", "readpipe_");
    QTemporaryDir dir;
    QScopedPointer<VXPipeServer> server;
    Bytes seen;
    QProcess process;
    QVector<HANDLE> pipes;  // bare: write, read, and the event of the calls on the read pipe
    bool connected = false;
};

}  // namespace

class TestSimulatorProgram : public QObject
{
    Q_OBJECT
private slots:
    void behaviour_data();
    void behaviour();
};

void TestSimulatorProgram::behaviour_data()
{
    QTest::addColumn<QString>("options");
    // The log event after which the host goes; empty: the simulator ends by itself; "raw": bare
    // pipes, the script sends one more frame, and `seen` is the pipe messages exactly.
    QTest::addColumn<QString>("until");
    QTest::addColumn<Bytes>("seen");
    QTest::addColumn<QString>("end");  // the exit code or signal, and the crash event's reason and open pipes
    QTest::addColumn<QByteArray>("script");
    const auto row = [](const QString& options, const QString& until, const Bytes& seen, const QString& end,
                        const QByteArray& script = {}) {
        const QString name = options + ' ' + script.left(24);
        QTest::newRow(qPrintable(name.simplified())) << options << until << seen << end << script;
    };
    const Bytes connected = Bytes{"connect", S} + kAnswers, closed{"connect", S, "close"};
    const auto ack = [](int n) { return QString(R"(["UnreadMessageChanged","i:%1"])").arg(n).toUtf8(); };
    const auto flood = [](int n) { return QString(R"(["UnreadMessageChanged","i:%1","s:xxxxx"])").arg(n).toUtf8(); };
    // Refused lines are skipped; a wait without time waits long enough.
    const QByteArray script = "send Hi s:\"a\\\"b\\\\c\\n\\u4f60  d\" i:-7\nraw [ \"Raw\" ]\nbytes " +
                              KKFrameStream::Pack(R"(["Bytes"])").toHex(' ') +
                              "\nstartup\nexplode\n"
                              "send M x:1\nsend M i:2147483648\nsend M s:\"M\nbytes fff\nstartup now\nexit 256\n"
                              "wait ChangeSkin\nsleep 1\nflood 2 Many\nwait Never 1\nsend Done\n";

    // Until the host goes: the queue handled (its raw command logged as "invalid"), or the script run.
    row("--quiet", "invalid", connected, "0");
    row("--no-startup --ignore-login", "invalid", Bytes{"connect"} + kAnswers.mid(1), "0");
    row("--flood 3 --flood-size 40 --ack-every 2", "invalid",  // padded to 40 bytes
        {"connect", S, flood(1), flood(2), flood(3), S, kAnswers[1], ack(2), kAnswers[2], ack(4)}, "0");
    // The read pipe held back: the requests arrive, their answers cannot leave.
    for (const char* options : {"--between-pipes-ms 600000", "--misbehave write-pipe-only"})
        row(options, "send-failed", {}, "0");
    row("--misbehave read-pipe-only", "connected", {"connect", S}, "0");
    row("", "script-end",
        Bytes{"connect", S, R"(["Hi","s:a\"b\\c\n你  d","i:-7"])", R"([ "Raw" ])", R"(["Bytes"])", S} + kAnswers +
            Bytes{R"(["Many"])", R"(["Many"])", R"(["Done"])"},
        "0", script);
    // With only the read pipe left it sends on, and still notices the host going.
    row("--script -", "script-end", connected + Bytes{R"(["Still"])"}, "0",
        "wait ChangeSkin\nclose-write-pipe\nsend Still\n");
    row("--die-at start", "", {}, "Aborted start none");
    row("--misbehave crash-on-start", "", {}, "Aborted crash-on-start none");
    row("--die-at between-pipes --die-how kill", "", {}, "Killed between-pipes write");
    row("--pipe-order read-first --die-at between-pipes --die-how exit:3", "", {"connect", "close"},
        "3 between-pipes read");
    row("--die-at connected --die-how exit:0", "", {"connect", "close"}, "0 connected both");
    row("--misbehave crash-after-connect --die-how exit:5", "", {"connect", "close"}, "5 crash-after-connect both");
    row("--die-at startup --die-how=kill", "", closed, "Killed startup both");
    // On the ChangeStatus, before answering it.
    row("--die-at received:2 --die-how exit:4", "", {"connect", S, S, "close"}, "4 received:2 both");
    row("--misbehave never-connect --max-lifetime-ms 300", "", {}, "0");
    row("--script -", "", closed, "0", "close-read-pipe\n");
    row("--script -", "", closed, "3", "exit 3\n");
    row("--script -", "", closed, "Aborted script line 1 both", "crash\n");
    for (const char* options : {"--help", "--bogus", "--script /nonexistent", "--log /nonexistent/log"})
        row(options, "", {}, options == QLatin1String("--help") ? "0" : "2");
    // What the module would refuse, exactly.
    const QByteArray after = KKFrameStream::Pack(R"(["After"])"), x(KKSimulator::kHugeChunk, 'x');
    const auto length = [](qint32 n) { return QByteArray(reinterpret_cast<char*>(&n), 4); };  // little-endian
    const QByteArray dying = KKSimulator::kMidFramePayload;
    row("--misbehave garbage", "raw", {KKFrameStream::Pack("this is not a message"), after}, "0");
    row("--misbehave garbage-write", "raw", {"this is not a frame, just text", after}, "0");
    row("--misbehave bad-frame", "raw", {QByteArray::fromHex("ffffffff626164"), after}, "0");
    row("--misbehave huge-frame --huge-length 100000", "raw", {length(100000), x, x.left(100000 - x.size()), after},
        "0");
    row("--misbehave huge-frame --huge-length=-5", "raw", {length(-5), after}, "0");
    row("--misbehave huge-frame", "raw", {length(2147483643), x, x}, "0");  // until the host goes, then it exits
    row("--die-at mid-frame --die-how exit:9", "raw", {KKFrameStream::Pack(dying).left(4 + dying.size() / 2), ""},
        "9 mid-frame both");
    row("--connect-timeout-ms 200", "none", {}, "1");
}

void TestSimulatorProgram::behaviour()
{
    QFETCH(QString, options);
    QFETCH(QString, until);
    QFETCH(Bytes, seen);
    QFETCH(QString, end);
    QFETCH(QByteArray, script);

    Run run(until);
    const bool bare = until == "raw" || until == "none";
    run.Start(bare ? options + " --no-startup --script -" : options, bare ? "send After\n" : script);
    for (const QByteArray& expected : bare ? seen : Bytes())
        QCOMPARE(run.Next(), expected);  // blocks this thread's events
    if (bare)
        seen.clear();  // no server to report anything
    else if (!until.isEmpty())
        QVERIFY(QTest::qWaitFor([&] { return !run.Logged(until).isEmpty(); }, kLong));
    QTRY_COMPARE_WITH_TIMEOUT(run.seen, seen, kLong);
    if (!until.isEmpty())
        run.HostGoes();
    QVERIFY(run.WaitForExit());
    QTRY_COMPARE_WITH_TIMEOUT(run.seen, seen, kLong);
    const int code = run.process.exitCode();
    const QString how = run.process.exitStatus() == QProcess::NormalExit ? QString::number(code) : strsignal(code);
    const QJsonObject died = run.Logged("crash");
    QCOMPARE(QString(how + ' ' + died["reason"].toString() + ' ' + died["pipes"].toString()).trimmed(), end);
}

QTEST_GUILESS_MAIN(TestSimulatorProgram)
#include "tst_simulator_program.moc"
