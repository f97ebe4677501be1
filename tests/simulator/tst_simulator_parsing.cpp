// The simulator's pure pieces: the module's command line, frame reassembly, the script language
// and the options. Tables of good and bad input; what must be refused says why.

#include "simulator/KKClientEndpoint.h"
#include "simulator/KKFrameStream.h"
#include "simulator/KKScriptCommand.h"
#include "simulator/KKSimulatorOptions.h"

#include <QtTest>

using Chunks = QList<QByteArray>;

namespace {

const QString kUuid = QStringLiteral("{0f8fad5b-d9cb-469f-a165-70867728950e}");
const QString kWrite = QStringLiteral("\\\\.\\pipe\\writepipe_") + kUuid;
const QString kRead = QStringLiteral("\\\\.\\pipe\\readpipe_") + kUuid;

QString PipeArgument(const QString& write, const QString& read)
{
    return QStringLiteral("pipe?param=") + write + QLatin1Char('&') + read;
}

QByteArray LengthBytes(quint32 length)
{
    QByteArray bytes;
    for (int i = 0; i < 4; ++i)
        bytes.append(char(length >> (8 * i)));
    return bytes;
}

}  // namespace

class TestSimulatorParsing : public QObject
{
    Q_OBJECT

private slots:
    // --- The module's command line ---------------------------------------------------------------
    void commandLine_data();
    void commandLine();

    // --- Frames ---------------------------------------------------------------------------------
    void reassembly_data();
    void reassembly();

    // --- Script lines ---------------------------------------------------------------------------
    void scriptLine_data();
    void scriptLine();

    // --- Options --------------------------------------------------------------------------------
    void options_data();
    void options();
    void faultOptions_data();
    void faultOptions();
};

void TestSimulatorParsing::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("launch");  // write pipe, read pipe, version; empty: refused
    QTest::addColumn<QString>("error");       // part of the reason

    const QString name256 = QStringLiteral("\\\\.\\pipe\\") + QString(247, QLatin1Char('w'));
    const QString version = QStringLiteral("version=5.2.1");

    QTest::newRow("as the module starts it")
        << QStringList{PipeArgument(kWrite, kRead), version} << QStringList{kWrite, kRead, "5.2.1"} << "";
    const QString other256 = name256.chopped(1) + QLatin1Char('r');
    QTest::newRow("names of 256 characters")
        << QStringList{PipeArgument(name256, other256), version} << QStringList{name256, other256, "5.2.1"} << "";
    QTest::newRow("no arguments") << QStringList{} << QStringList{} << "expected two arguments";
    QTest::newRow("other first argument") << QStringList{"pipes?param=" + kWrite + "&" + kRead, version}
                                          << QStringList{} << "does not start with pipe?param=";
    QTest::newRow("no &") << QStringList{"pipe?param=" + kWrite + kRead, version} << QStringList{} << "no '&'";
    QTest::newRow("two &") << QStringList{PipeArgument(kWrite, kRead) + "&x", version} << QStringList{}
                           << "more than one '&'";
    QTest::newRow("empty write pipe") << QStringList{PipeArgument("", kRead), version} << QStringList{}
                                      << "write pipe name is empty";
    QTest::newRow("not a pipe name") << QStringList{PipeArgument("C:\\temp\\w", kRead), version} << QStringList{}
                                     << "not a pipe name";
    QTest::newRow("name of 257 characters") << QStringList{PipeArgument(kWrite, name256 + "x"), version}
                                            << QStringList{} << "257 characters, more than 256";
    QTest::newRow("same name in other case")
        << QStringList{PipeArgument(kWrite, kWrite.toUpper()), version} << QStringList{} << "same name";
    QTest::newRow("second argument not a version")
        << QStringList{PipeArgument(kWrite, kRead), "5.2.1"} << QStringList{} << "does not start with version=";
}

void TestSimulatorParsing::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, launch);
    QFETCH(QString, error);

    KKClientEndpoint::Launch parsed;
    QString reason;
    QCOMPARE(KKClientEndpoint::ParseCommandLine(arguments, &parsed, &reason), !launch.isEmpty());
    if (launch.isEmpty())
        QVERIFY2(reason.contains(error), qPrintable(reason));
    else
        QCOMPARE(QStringList({parsed.writePipe, parsed.readPipe, parsed.version}), launch);
}

void TestSimulatorParsing::reassembly_data()
{
    QTest::addColumn<Chunks>("chunks");
    QTest::addColumn<Chunks>("payloads");
    QTest::addColumn<int>("drops");
    QTest::addColumn<int>("buffered");  // bytes held back at the end

    const QByteArray a = KKFrameStream::Pack("[\"A\"]");
    const QByteArray b = KKFrameStream::Pack(QByteArray(70000, 'b'));
    const QByteArray empty = KKFrameStream::Pack(QByteArray());
    Chunks bytewise;
    for (char c : a)
        bytewise.append(QByteArray(1, c));

    QTest::newRow("byte by byte") << bytewise << Chunks{"[\"A\"]"} << 0 << 0;
    QTest::newRow("three frames in one read") << Chunks{a + empty + a} << Chunks{"[\"A\"]", "", "[\"A\"]"} << 0 << 0;
    QTest::newRow("large frame over reads, next one begun")
        << Chunks{b.left(3), b.mid(3, 65536), b.mid(65539) + a.left(6), a.mid(6)}
        << Chunks{QByteArray(70000, 'b'), "[\"A\"]"} << 0 << 0;
    QTest::newRow("negative length drops the rest, later frames pass")
        << Chunks{a + LengthBytes(0xFFFFFFFF) + "junk" + a, a} << Chunks{"[\"A\"]", "[\"A\"]"} << 1 << 0;
    QTest::newRow("bad length after a frame completed from held-back bytes")
        << Chunks{a.left(2), a.mid(2) + LengthBytes(0x80000000) + "junk", a} << Chunks{"[\"A\"]", "[\"A\"]"} << 1 << 0;
    QTest::newRow("length above the maximum") << Chunks{LengthBytes(2147483644u) + "x"} << Chunks{} << 1 << 0;
    QTest::newRow("largest length is waited for") << Chunks{LengthBytes(2147483643u) + "xy"} << Chunks{} << 0 << 6;
}

void TestSimulatorParsing::reassembly()
{
    QFETCH(Chunks, chunks);
    QFETCH(Chunks, payloads);
    QFETCH(int, drops);
    QFETCH(int, buffered);

    KKFrameStream stream;
    Chunks received;
    int dropped = 0;
    for (const QByteArray& chunk : chunks) {
        const KKFrameStream::Result result = stream.Append(chunk.constData(), chunk.size());
        received += result.payloads;
        dropped += result.dropped ? 1 : 0;
    }
    QCOMPARE(received, payloads);
    QCOMPARE(dropped, drops);
    QCOMPARE(stream.Buffered(), buffered);
}

void TestSimulatorParsing::scriptLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("kind");      // -1: refused
    QTest::addColumn<QString>("what");  // the message's text form, Raw's text, Bytes' hex, Wait's name
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("error");

    using C = KKScriptCommand;
    QTest::newRow("comment") << "  # send Nothing" << int(C::Nothing) << "" << 0 << "";
    QTest::newRow("send every tag") << "send T  s:abc b:true i:-5 u:4294967295 y:AAEC" << int(C::Send)
                                    << "[\"T\",\"s:abc\",\"b:true\",\"i:-5\",\"u:4294967295\",\"y:AAEC\"]" << 0 << "";
    QTest::newRow("quoted value with blanks") << "send OpenUrl s:\"hello  world\" b:false" << int(C::Send)
                                              << "[\"OpenUrl\",\"s:hello  world\",\"b:false\"]" << 0 << "";
    QTest::newRow("quoted escapes") << "send M s:\"a\\\"b\\\\c\\n\\u4f60\"" << int(C::Send)
                                    << QString::fromUtf8("[\"M\",\"s:a\\\"b\\\\c\\n\u4f60\"]") << 0 << "";
    QTest::newRow("unknown tag") << "send M x:1" << -1 << "" << 0 << "bad arguments";
    QTest::newRow("int out of range") << "send M i:2147483648" << -1 << "" << 0 << "bad arguments";
    QTest::newRow("unterminated string") << "send M s:\"abc" << -1 << "" << 0 << "unterminated";
    QTest::newRow("raw keeps the text") << "raw   [\"Foo\", \"s:a  b\"]  " << int(C::Raw) << "[\"Foo\", \"s:a  b\"]"
                                        << 0 << "";
    QTest::newRow("bytes with blanks") << "bytes ff FF 00" << int(C::Bytes) << "ffff00" << 0 << "";
    QTest::newRow("bytes odd") << "bytes fff" << -1 << "" << 0 << "hex digits";
    QTest::newRow("startup with argument") << "startup now" << -1 << "" << 0 << "takes no arguments";
    QTest::newRow("sleep") << "sleep 250" << int(C::Sleep) << "" << 250 << "";
    QTest::newRow("wait default time") << "wait Login" << int(C::Wait) << "Login" << 30000 << "";
    QTest::newRow("wait with time") << "wait Login 500" << int(C::Wait) << "Login" << 500 << "";
    QTest::newRow("flood") << "flood 100 Ping i:1" << int(C::Flood) << "[\"Ping\",\"i:1\"]" << 100 << "";
    QTest::newRow("close-read-pipe") << "close-read-pipe" << int(C::CloseReadPipe) << "" << 0 << "";
    QTest::newRow("exit with code") << "exit 3" << int(C::Exit) << "" << 3 << "";
    QTest::newRow("exit code too large") << "exit 256" << -1 << "" << 0 << "0 to 255";
    QTest::newRow("unknown command") << "explode now" << -1 << "" << 0 << "unknown command \"explode\"";
}

void TestSimulatorParsing::scriptLine()
{
    QFETCH(QString, line);
    QFETCH(int, kind);
    QFETCH(QString, what);
    QFETCH(int, number);
    QFETCH(QString, error);

    KKScriptCommand command;
    QString reason;
    const bool ok = KKScriptCommand::Parse(line, &command, &reason);
    QCOMPARE(ok, kind >= 0);
    if (!ok) {
        QVERIFY2(reason.contains(error), qPrintable(reason));
        return;
    }
    QCOMPARE(int(command.kind), kind);
    QCOMPARE(command.number, number);
    const QString parsed = command.message                          ? command.message->ToString()
                           : command.kind == KKScriptCommand::Bytes ? QString::fromLatin1(command.data.toHex())
                                                                    : QString::fromUtf8(command.data) + command.name;
    QCOMPARE(parsed, what);
}

void TestSimulatorParsing::options_data()
{
    QTest::addColumn<QStringList>("environment");  // NAME=value
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("log");  // "!" + part of the error: refused
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("ackEvery");
    QTest::addColumn<QString>("misbehave");
    QTest::addColumn<int>("lifetimeMs");

    QTest::newRow("environment only") << QStringList{"KOPKOP_SIM_LOG=/tmp/a.log", "KOPKOP_SIM_SCRIPT=/tmp/s",
                                                     "KOPKOP_SIM_OPTIONS=  --ack-every 5\t--quiet "}
                                      << QStringList{} << "/tmp/a.log"
                                      << "/tmp/s" << 5 << "none" << 0;
    QTest::newRow("arguments override the environment")
        << QStringList{"KOPKOP_SIM_OPTIONS=--ack-every 5 --log /env.log"}
        << QStringList{"--ack-every=7", "--log", "/arg.log", "--script", "-"} << "/arg.log"
        << "-" << 7 << "none" << 0;
    QTest::newRow("never-connect lives 30 s") << QStringList{} << QStringList{"--misbehave", "never-connect"} << ""
                                              << "" << 0 << "never-connect" << 30000;
    QTest::newRow("lifetime set") << QStringList{}
                                  << QStringList{"--misbehave=never-connect", "--max-lifetime-ms", "500"} << ""
                                  << "" << 0 << "never-connect" << 500;
    QTest::newRow("negative count") << QStringList{} << QStringList{"--ack-every", "-1"} << "!--ack-every needs"
                                    << "" << 0 << "" << 0;
    QTest::newRow("unknown option") << QStringList{} << QStringList{"--bogus"} << "!unknown option \"--bogus\""
                                    << "" << 0 << "" << 0;
}

void TestSimulatorParsing::options()
{
    QFETCH(QStringList, environment);
    QFETCH(QStringList, arguments);
    QFETCH(QString, log);
    QFETCH(QString, script);
    QFETCH(int, ackEvery);
    QFETCH(QString, misbehave);
    QFETCH(int, lifetimeMs);

    QProcessEnvironment env;
    for (const QString& entry : environment)
        env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    KKSimulatorOptions options;
    QString error;
    const bool ok = options.Collect(env, arguments, &error);
    QCOMPARE(ok, !log.startsWith(QLatin1Char('!')));
    if (!ok) {
        QVERIFY2(error.contains(log.mid(1)), qPrintable(error));
        return;
    }
    QCOMPARE(options.logFile, log);
    QCOMPARE(options.scriptFile, script);
    QCOMPARE(options.ackEvery, ackEvery);
    QCOMPARE(KKSimulatorOptions::MisbehaviourName(options.misbehave), misbehave);
    QCOMPARE(options.EffectiveLifetimeMs(), lifetimeMs);
}

void TestSimulatorParsing::faultOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    // "<misbehave> <pipe order> <pause>ms die:<point>/<how> huge:<length> flood:<count>x<size>",
    // or "!" + part of the error
    QTest::addColumn<QString>("settings");

    QTest::newRow("defaults") << QStringList{} << "none write-first 0ms die:/abort huge:2147483643 flood:0x0";
    QTest::newRow("all set") << QStringList{"--pipe-order", "read-first", "--between-pipes-ms=250", "--die-at",
                                            "received:3", "--die-how", "exit:255", "--misbehave", "huge-frame",
                                            "--huge-length", "2147483647", "--flood", "10", "--flood-size", "4096"}
                             << "huge-frame read-first 250ms die:received:3/exit:255 huge:2147483647 flood:10x4096";
    QTest::newRow("negative length, a point without count")
        << QStringList{"--misbehave=garbage-write", "--huge-length", "-2147483648", "--die-at=mid-frame",
                       "--die-how=kill"}
        << "garbage-write write-first 0ms die:mid-frame/kill huge:-2147483648 flood:0x0";
    QTest::newRow("pipe order") << QStringList{"--pipe-order", "both"}
                                << "!--pipe-order needs write-first or read-first";
    QTest::newRow("negative pause") << QStringList{"--between-pipes-ms", "-1"} << "!--between-pipes-ms needs";
    QTest::newRow("received:0") << QStringList{"--die-at", "received:0"} << "!--die-at needs";
    QTest::newRow("received without count") << QStringList{"--die-at", "received:"} << "!--die-at needs";
    QTest::newRow("unknown point") << QStringList{"--die-at", "exit"} << "!--die-at needs";
    QTest::newRow("exit code 256") << QStringList{"--die-how", "exit:256"} << "!--die-how needs";
    QTest::newRow("exit without code") << QStringList{"--die-how", "exit"} << "!--die-how needs";
    QTest::newRow("length past 32 bits") << QStringList{"--huge-length", "2147483648"} << "!--huge-length needs";
    QTest::newRow("length in hex") << QStringList{"--huge-length", "0x10"} << "!--huge-length needs";
    QTest::newRow("flood size above a payload") << QStringList{"--flood-size", "2147483644"} << "!--flood-size needs";
    QTest::newRow("negative flood") << QStringList{"--flood", "-1"} << "!--flood needs";
}

void TestSimulatorParsing::faultOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, settings);

    KKSimulatorOptions options;
    QString error;
    const bool ok = options.Parse(arguments, &error);
    QCOMPARE(ok, !settings.startsWith(QLatin1Char('!')));
    if (!ok) {
        QVERIFY2(error.contains(settings.mid(1)), qPrintable(error));
        return;
    }
    using How = KKSimulatorOptions::DieHow;
    const QString how = options.dieHow == How::Kill   ? QStringLiteral("kill")
                        : options.dieHow == How::Exit ? QStringLiteral("exit:%1").arg(options.dieExitCode)
                                                      : QStringLiteral("abort");
    const bool readFirst = options.pipeOrder == KKSimulatorOptions::PipeOrder::ReadFirst;
    const QString parsed = QStringLiteral("%1 %2 %3ms die:%4/%5 huge:%6 flood:%7x%8")
                               .arg(KKSimulatorOptions::MisbehaviourName(options.misbehave),
                                    readFirst ? QStringLiteral("read-first") : QStringLiteral("write-first"))
                               .arg(options.betweenPipesMs)
                               .arg(options.DiePointName(), how)
                               .arg(options.hugeLength)
                               .arg(options.flood)
                               .arg(options.floodSize);
    QCOMPARE(parsed, settings);
}

QTEST_GUILESS_MAIN(TestSimulatorParsing)
#include "tst_simulator_parsing.moc"
