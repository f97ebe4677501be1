// KKClientEndpoint as a chat client embeds it, against the module's pipe server, and the simulator's
// pure pieces: its command line and settings as kopkop-sim's main() reads them, frame reassembly.

#include "PlatformKKWrapper/VXPipeInstance.h"
#include "PlatformKKWrapper/VXPipeServer.h"
#include "simulator/KKClientEndpoint.h"
#include "simulator/KKSimulatorOptions.h"

#include <QSignalSpy>
#include <QUuid>
#include <QtTest>

using Bytes = QList<QByteArray>;
using Pairs = QList<QPair<QString, QString>>;

namespace {

const int kLong = 30000;  // ms

KKClientEndpoint::Launch NewLaunch()
{
    const QString id = QUuid::createUuid().toString();
    return {"\\\\.\\pipe\\writepipe_" + id, "\\\\.\\pipe\\readpipe_" + id, "5.2.1"};
}

}  // namespace

class TestSimulatorEndpoint : public QObject
{
    Q_OBJECT
private slots:
    void settings_data();
    void settings();
    void reassembly_data();
    void reassembly();
    void receivesInOrder_data();
    void receivesInOrder();
    void connectsClosesAndConnectsAgain();
};

void TestSimulatorEndpoint::settings_data()
{
    QTest::addColumn<QStringList>("environment");  // NAME=value
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("expected");  // "name=value ..." among the settings, or "!" and part of the refusal
    const auto row = [](const QString& name, const QStringList& arguments, const QString& expected,
                        const QStringList& environment = {}) {
        QTest::newRow(qPrintable(name)) << environment << arguments << expected;
    };
    const QString w = "\\\\.\\pipe\\w", r = "\\\\.\\pipe\\r", n256 = "\\\\.\\pipe\\" + QString(247, 'n');
    const auto module = [&](const QString& options) {
        return QStringList{"pipe?param=" + w + "&" + r, "version=5"} + options.split(' ', Qt::SkipEmptyParts);
    };
    for (const auto& p : Pairs{
             {w + "&" + r, "write=" + w + " read=" + r + " version=5 log= script= client= flags=0000 ack=0 "
                           "lifetime=0 connect=10000 misbehave=none huge=2147483643 order=write-first pause=0 "
                           "die=/abort flood=0x0"},
             {n256 + "&" + r, "write=" + n256}, {w + "&" + n256 + "n", "!257 characters"}, {w + r, "!no '&'"},
             {w + "&" + r + "&", "!more than one '&'"}, {"&" + r, "!name is empty"}, {"C:\\w&" + r, "!not a pipe"},
             {w + "&" + w.toUpper(), "!same name"}})
        row(p.first.right(30), {"pipe?param=" + p.first, "version=5"}, p.second);
    row("pipes?param=", {"pipes?param=" + w + "&" + r, "version=5"}, "!does not start with pipe?param=");
    row("no version=", {"pipe?param=" + w + "&" + r, "5"}, "!does not start with version=");
    row("one argument", {"pipe?param=" + w + "&" + r}, "!expected two arguments");
    row("environment, options over it", module("--ack-every=7"), "log=/o script=/s ack=7 flags=0010",
        {"KOPKOP_SIM_LOG=/l", "KOPKOP_SIM_SCRIPT=/s", "KOPKOP_SIM_OPTIONS=--log /o  --ack-every 5\t--quiet "});
    for (const auto& p : Pairs{
             {"--no-startup --ignore-login --quiet -h --script -", "flags=1111 script=-"},
             {"--misbehave never-connect", "misbehave=never-connect lifetime=30000"},
             {"--misbehave=never-connect --max-lifetime-ms 500 --connect-timeout-ms 0 --client-version 9",
              "lifetime=500 connect=0 client=9"},
             {"--pipe-order read-first --between-pipes-ms=250 --die-at received:3 --die-how exit:255",
              "order=read-first pause=250 die=received:3/exit:255"},
             {"--misbehave huge-frame --huge-length -2147483648 --flood 10 --flood-size 2147483643",
              "misbehave=huge-frame huge=-2147483648 flood=10x2147483643"},
             {"--die-at=mid-frame --die-how=kill --huge-length 2147483647", "die=mid-frame/kill huge=2147483647"},
             {"--quiet=1", "!--quiet takes no value"},
             {"--misbehave explode", "!unknown --misbehave mode \"explode\""}})
        row(p.first, module(p.first), p.second);
    for (const QString bad : {"--log", "--log=", "--ack-every -1", "--max-lifetime-ms -1", "--connect-timeout-ms -1",
                              "--pipe-order both", "--between-pipes-ms -1", "--die-at received:0", "--die-at received:",
                              "--die-at exit", "--die-how exit:256", "--die-how exit", "--huge-length 2147483648",
                              "--huge-length 0x10", "--flood -1", "--flood-size 2147483644"})
        row(bad, module(bad), "!" + bad.section(' ', 0, 0).remove('=') + " needs");
}

void TestSimulatorEndpoint::settings()
{
    QFETCH(QStringList, environment);
    QFETCH(QStringList, args);
    QFETCH(QString, expected);
    QProcessEnvironment env;
    for (const QString& entry : environment)
        env.insert(entry.section('=', 0, 0), entry.section('=', 1));
    KKClientEndpoint::Launch l;
    KKSimulatorOptions o;
    QString error;
    const bool ok = KKClientEndpoint::ParseCommandLine(args, &l, &error) && o.Collect(env, args.mid(2), &error);
    QVERIFY2(ok ? !expected.startsWith('!') : error.contains(expected.mid(1)), qPrintable(error));
    const auto n = [](int value) { return QString::number(value); };
    const QStringList settings{
        "write=" + l.writePipe, "read=" + l.readPipe, "version=" + l.version, "log=" + o.logFile,
        "script=" + o.scriptFile, "client=" + o.clientVersion, "ack=" + n(o.ackEvery),
        "flags=" + n(o.noStartup) + n(o.ignoreLogin) + n(o.quiet) + n(o.help), "lifetime=" + n(o.EffectiveLifetimeMs()),
        "connect=" + n(o.connectTimeoutMs), "misbehave=" + KKSimulatorOptions::MisbehaviourName(o.misbehave),
        "huge=" + n(o.hugeLength), "pause=" + n(o.betweenPipesMs), "flood=" + n(o.flood) + "x" + n(o.floodSize),
        QString("order=") + (o.pipeOrder == KKSimulatorOptions::PipeOrder::ReadFirst ? "read-first" : "write-first"),
        "die=" + o.DiePointName() + "/" + QStringList{"abort", "kill", "exit:" + n(o.dieExitCode)}.at(int(o.dieHow))};
    for (const QString& setting : expected.split(' '))
        QVERIFY2(!ok || settings.contains(setting), qPrintable(setting + " not in " + settings.join(' ')));
}

void TestSimulatorEndpoint::reassembly_data()
{
    QTest::addColumn<Bytes>("chunks");
    QTest::addColumn<QString>("expected");  // the payloads, how many bad lengths, bytes held back at the end
    const auto field = [](quint32 n) { return QByteArray(reinterpret_cast<const char*>(&n), 4); };  // little-endian
    const QByteArray a = KKFrameStream::Pack("A");
    QTest::newRow("negative length") << Bytes{a + field(0xFFFFFFFF) + "junk" + a, a} << "A|A 1 0";
    QTest::newRow("bad, after held-back bytes") << Bytes{a.left(2), a.mid(2) + field(0x80000000) + "j", a} << "A|A 1 0";
    QTest::newRow("above the maximum") << Bytes{field(2147483644u) + "x"} << " 1 0";
    QTest::newRow("largest is waited for") << Bytes{field(2147483643u) + "xy"} << " 0 6";
}

void TestSimulatorEndpoint::reassembly()
{
    QFETCH(Bytes, chunks);
    QFETCH(QString, expected);
    KKFrameStream stream;
    Bytes payloads;
    int drops = 0;
    for (const QByteArray& chunk : chunks) {
        const KKFrameStream::Result result = stream.Append(chunk.constData(), chunk.size());
        payloads += result.payloads;
        drops += result.dropped;
    }
    QCOMPARE(payloads.join('|') + QString(" %1 %2").arg(drops).arg(stream.Buffered()), expected);
}

void TestSimulatorEndpoint::receivesInOrder_data()
{
    QTest::addColumn<bool>("callerReads");
    QTest::newRow("reader thread") << false;
    QTest::newRow("caller's thread") << true;  // no thread, signal or event loop between pipe and client
}

// Across reads of part of a pipe message (300 KiB) and hand-overs in batches (600 small ones),
// messages or not; in the caller's thread a time-out is told from the host going.
void TestSimulatorEndpoint::receivesInOrder()
{
    QFETCH(bool, callerReads);
    const KKClientEndpoint::Launch launch = NewLaunch();
    VXPipeServer server;
    QVERIFY(server.InitPipe(launch.writePipe, launch.readPipe));
    using Reading = KKClientEndpoint::Reading;
    KKClientEndpoint endpoint(nullptr, callerReads ? Reading::Caller : Reading::Thread);
    QSignalSpy gone(&endpoint, &KKClientEndpoint::HostGone);
    Bytes received, sent{R"(["First"])", QByteArray(300 * 1024, 'x'), "OpenSomething"};
    connect(&endpoint, &KKClientEndpoint::MessageReceived, [&](auto, const QByteArray& data) { received << data; });
    connect(&endpoint, &KKClientEndpoint::InvalidPayload, [&](const QByteArray& data) { received << data; });
    QCOMPARE(endpoint.Connect(launch, kLong), DWORD(ERROR_SUCCESS));
    QByteArray payload;
    QVERIFY(!callerReads || (!endpoint.ReadPayload(&payload, 50) && !endpoint.IsHostGone()));
    for (int i = 0; i < 600; ++i)
        sent << R"([")" + QByteArray::number(i) + R"(","i:1"])";
    for (const QByteArray& data : sent)
        QVERIFY(server.AsyncWriteData(data));
    while (callerReads && received.size() < sent.size() && endpoint.ReadPayload(&payload, kLong))
        received << payload;
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), sent.size(), kLong);
    QCOMPARE(received, sent);
    server.CloseServer();
    QVERIFY(!callerReads || (!endpoint.ReadPayload(&payload, kLong) && endpoint.IsHostGone()));
    QTRY_COMPARE_WITH_TIMEOUT(gone.count(), callerReads ? 0 : 1, kLong);
    QVERIFY(!endpoint.SendPayload("late"));
}

// A missing pipe fails at once (nothing can wait for a name nobody has created); one opened before
// a failure stays open for the next call; a busy one is waited for within the limit. Closed by its
// receiver in the middle of a batch, the endpoint hands on nothing more of that connection;
// connecting again, under the same names, starts a new one.
void TestSimulatorEndpoint::connectsClosesAndConnectsAgain()
{
    const KKClientEndpoint::Launch launch = NewLaunch();
    KKClientEndpoint endpoint, other;
    QCOMPARE(endpoint.Connect(launch, kLong), DWORD(ERROR_FILE_NOT_FOUND));
    HANDLE pipes[2] = {VXPipeInstance::Create(launch.writePipe)};
    QCOMPARE(endpoint.Connect(launch, kLong), DWORD(ERROR_FILE_NOT_FOUND));
    QVERIFY(endpoint.IsOpen(KKClientEndpoint::WritePipe) && !endpoint.IsOpen(KKClientEndpoint::ReadPipe));
    pipes[1] = VXPipeInstance::Create(launch.readPipe);
    QCOMPARE(endpoint.Connect(launch, kLong), DWORD(ERROR_SUCCESS));
    QCOMPARE(other.Connect(launch, 0), DWORD(ERROR_PIPE_BUSY));
    QCOMPARE(other.Connect(launch, 300), DWORD(ERROR_SEM_TIMEOUT));
    QVERIFY(endpoint.IsOpen(KKClientEndpoint::BothPipes) && !other.IsOpen(KKClientEndpoint::WritePipe));
    endpoint.Close();
    for (HANDLE pipe : pipes)
        CloseHandle(pipe);
    VXPipeServer server;
    QSignalSpy closed(&server, &VXPipeServer::SigClientClosed);
    QVERIFY(server.InitPipe(launch.writePipe, launch.readPipe));
    QSignalSpy gone(&endpoint, &KKClientEndpoint::HostGone);
    QStringList names;
    connect(&endpoint, &KKClientEndpoint::MessageReceived, [&](const QSharedPointer<VXProcessMessage>& message) {
        if ((names << message->GetName()).size() == 10)
            endpoint.Close();
    });
    QCOMPARE(endpoint.Connect(launch, kLong), DWORD(ERROR_SUCCESS));
    for (int i = 0; i < 500; ++i)
        QVERIFY(server.AsyncWriteData(R"([")" + QByteArray::number(i) + R"("])"));
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, kLong);  // after what the reader had read was handed on
    QCOMPARE(names.size(), 10);
    QCOMPARE(endpoint.Connect(launch, kLong), DWORD(ERROR_SUCCESS));
    QVERIFY(server.AsyncWriteData(R"(["Again"])"));
    QTRY_COMPARE_WITH_TIMEOUT(names.last(), QStringLiteral("Again"), kLong);
    QCOMPARE(gone.count(), 0);
}

QTEST_GUILESS_MAIN(TestSimulatorEndpoint)
#include "tst_simulator_endpoint.moc"
