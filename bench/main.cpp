// kk-bench: how fast the module moves messages, launches and recovers, side by side in one run
// with the raw transport it stands on and with the same job written with Qt alone.
//
//   kk-bench [--smoke] [--json FILE] [--rounds N]
//
// Every measurement runs in rounds; in each round every variant runs one block, one after the
// other, so that the machine's ups and downs hit all of them alike. The table shows the median
// of the blocks and their spread (lowest..highest), and the ratios module/raw and
// module/alternative. --smoke runs tiny blocks in seconds, only to prove the benchmark works.

#include "BenchStats.h"
#include "ModuleBench.h"
#include "ProcessProbe.h"
#include "QtAlternative.h"
#include "RawTransport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

#include <cstdio>
#include <functional>

namespace {

struct Plan
{
    int rounds = 5;
    int smallCount = 20000;   // messages per block, 100-byte payloads
    int largeCount = 300;     // messages per block, 64 KiB payloads
    int roundTrips = 20000;   // samples, after a warm-up of a tenth as many
    int launches = 30;        // samples of each launch measurement
    int idleMs = 10000;
    int queued = 100000;      // messages waiting for a slow reader
};

const int kSmall = 100;
const int kLarge = 64 * 1024;

// One row of the results: a value per variant, each a summary over blocks or samples.
struct Row
{
    QString metric;
    QString unit;
    bool higherIsBetter = true;
    BenchSummary module, raw, alternative;
    QString rawName;
    QString note;
};

class Results
{
public:
    QMap<QString, QVector<double>> values;  // "<metric>/<variant>" -> per-block values

    void Add(const QString& key, double value)
    {
        if (value >= 0)
            values[key].append(value);
    }
    BenchSummary Get(const QString& key) const { return BenchStats::Summarize(values.value(key)); }
};

QString Format(double value)
{
    if (value == 0)
        return QStringLiteral("0");
    if (value >= 100000)
        return QString::number(value, 'f', 0);
    if (value >= 100)
        return QString::number(value, 'f', 0);
    if (value >= 10)
        return QString::number(value, 'f', 1);
    return QString::number(value, 'f', 2);
}

QString Cell(const BenchSummary& s)
{
    if (!s.IsValid())
        return QStringLiteral("n/a");
    if (s.samples == 1 || s.low == s.high)
        return Format(s.median);
    return QStringLiteral("%1 (%2..%3)").arg(Format(s.median), Format(s.low), Format(s.high));
}

QString Ratio(const BenchSummary& a, const BenchSummary& b)
{
    if (!a.IsValid() || !b.IsValid() || b.median == 0)
        return QStringLiteral("n/a");
    return QString::number(a.median / b.median, 'f', 2);
}

void Print(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

QJsonObject ToJson(const BenchSummary& s)
{
    return s.IsValid() ? QJsonObject{{"median", s.median}, {"low", s.low}, {"high", s.high}, {"samples", s.samples}}
                       : QJsonObject{};
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Benchmarks of PlatformKKWrapper against its baselines."));
    parser.addHelpOption();
    const QCommandLineOption smoke(QStringLiteral("smoke"), QStringLiteral("Tiny blocks: seconds, not minutes."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Write the figures as JSON."), QStringLiteral("file"));
    const QCommandLineOption roundsOption(QStringLiteral("rounds"), QStringLiteral("Rounds of blocks."), QStringLiteral("n"));
    parser.addOptions({smoke, json, roundsOption});
    parser.process(app);

    Plan plan;
    if (parser.isSet(smoke)) {
        plan = Plan{2, 1000, 10, 300, 2, 500, 5000};
    }
    if (parser.isSet(roundsOption))
        plan.rounds = qMax(1, parser.value(roundsOption).toInt());

    const QDir bin(QCoreApplication::applicationDirPath());
    const QString simulator = bin.filePath(QStringLiteral("kopkop-sim"));
    const QString leanClient = bin.filePath(QStringLiteral("kk-bench-client"));
    const QString qtClient = bin.filePath(QStringLiteral("kk-bench-qtclient"));

    Print(QStringLiteral("kk-bench: %1 rounds; %2 x 100 B and %3 x 64 KiB messages per block; %4 round trips; "
                         "%5 launches; perf %6")
              .arg(plan.rounds)
              .arg(plan.smallCount)
              .arg(plan.largeCount)
              .arg(plan.roundTrips)
              .arg(plan.launches)
              .arg(SyscallCounter::IsAvailable() ? QStringLiteral("counts system calls")
                                                 : QStringLiteral("unavailable: no system call counts")));

    // Every client-to-host block the simulator will be asked for, in the order of the rounds.
    ModuleBench::FloodPlan floods;
    for (int round = 0; round < plan.rounds; ++round) {
        floods.append({plan.smallCount, kSmall});
        floods.append({plan.largeCount, kLarge});
    }
    // The module with the lean client (as lean as the Qt-only one), and again with the simulator.
    ModuleBench module(ModuleBench::Client::Lean, leanClient);
    ModuleBench simulated(ModuleBench::Client::Simulator, simulator);
    QtAlternative alternative(qtClient);
    RawTransport socketPair(RawTransport::SocketPair);
    RawTransport win32Pipe(RawTransport::Win32Pipe);
    if (!module.Start({}) || !simulated.Start(floods) || !alternative.Start() || !socketPair.IsOpen() ||
        !win32Pipe.IsOpen()) {
        Print(QStringLiteral("kk-bench: could not set up (module, simulator, alternative, socket pair, Win32 pipe)"));
        return 1;
    }

    Results r;
    const auto perSecond = [](int count, double seconds) { return seconds > 0 ? count / seconds : -1; };
    QVector<double> moduleRtt, simulatedRtt, altRtt, socketRtt, pipeRtt, processRtt;

    // Warm-up: code paths, caches and allocators, not counted.
    module.RoundTrips(plan.roundTrips / 10);
    simulated.RoundTrips(plan.roundTrips / 10);
    alternative.RoundTrips(plan.roundTrips / 10);
    socketPair.RoundTrips(plan.roundTrips / 10, 24);
    module.HostToClient(plan.smallCount / 10, kSmall, false);
    alternative.HostToClient(plan.smallCount / 10, kSmall);

    for (int round = 0; round < plan.rounds; ++round) {
        std::fprintf(stderr, "round %d of %d\n", round + 1, plan.rounds);
        for (const int size : {kSmall, kLarge}) {
            const int count = size == kSmall ? plan.smallCount : plan.largeCount;
            const QString tag = size == kSmall ? QStringLiteral("100B") : QStringLiteral("64KiB");
            ModuleBench::Cost moduleCost;
            r.Add("h2c" + tag + "/module", perSecond(count, module.HostToClient(count, size, false, &moduleCost)));
            if (size == kSmall) {
                r.Add("hostCpu/module", 1e6 * moduleCost.hostCpuSeconds / count);
                r.Add("clientCpu/module", 1e6 * moduleCost.clientCpuSeconds / count);
            }
            r.Add("h2c" + tag + "/moduleGuarded", perSecond(count, module.HostToClient(count, size, true)));
            QtAlternative::Cost altCost;
            r.Add("h2c" + tag + "/alternative", perSecond(count, alternative.HostToClient(count, size, &altCost)));
            if (size == kSmall) {
                r.Add("hostCpu/alternative", 1e6 * altCost.hostCpuSeconds / count);
                r.Add("clientCpu/alternative", 1e6 * altCost.clientCpuSeconds / count);
            }
            for (const int readSize : {2048, 65536}) {
                const QString read = readSize == 2048 ? QStringLiteral("2048") : QStringLiteral("65536");
                RawTransport::Cost rawCost;
                r.Add("h2c" + tag + "/socket" + read, perSecond(count, socketPair.OneWay(count, size, readSize, &rawCost)));
                if (size == kSmall && readSize == 65536) {
                    r.Add("hostCpu/raw", 1e6 * rawCost.writerCpuSeconds / count);
                    r.Add("clientCpu/raw", 1e6 * rawCost.readerCpuSeconds / count);
                }
                r.Add("h2c" + tag + "/pipe" + read, perSecond(count, win32Pipe.OneWay(count, size, readSize)));
            }
            r.Add("c2h" + tag + "/module", perSecond(count, module.ClientToHost(count, size)));
            if (size == kSmall) {
                r.Add("h2c" + tag + "/simulator", perSecond(count, simulated.HostToClient(count, size, false)));
                r.Add("c2h" + tag + "/simulator", perSecond(count, simulated.ClientToHost(count, size)));
            } else {
                simulated.ClientToHost(count, size);  // the simulator's plan has a large block here
            }
            r.Add("c2h" + tag + "/alternative", perSecond(count, alternative.ClientToHost(count, size)));
        }
        const int samples = plan.roundTrips / plan.rounds;
        moduleRtt += module.RoundTrips(samples);
        simulatedRtt += simulated.RoundTrips(samples);
        altRtt += alternative.RoundTrips(samples);
        processRtt += RawTransport::ProcessRoundTrips(samples, 24);
        socketRtt += socketPair.RoundTrips(samples, 24);
        pipeRtt += win32Pipe.RoundTrips(samples, 24);

        const int launches = qMax(1, plan.launches / plan.rounds);
        for (double ms : module.LaunchToReady(launches))
            r.Add("launch/module", ms);
        for (double ms : module.BareSpawn(launches))
            r.Add("launch/raw", ms);
        for (double ms : alternative.LaunchToReady(launches))
            r.Add("launch/alternative", ms);
        for (double ms : module.Restarts(launches))
            r.Add("restart/module", ms);
    }
    // The client-to-host raw figures are the host-to-client ones: the raw transport is symmetric.
    for (const QString& tag : {QStringLiteral("100B"), QStringLiteral("64KiB")}) {
        for (const QString& raw : {QStringLiteral("socket2048"), QStringLiteral("socket65536"), QStringLiteral("pipe2048"),
                                   QStringLiteral("pipe65536")})
            r.values["c2h" + tag + "/" + raw] = r.values.value("h2c" + tag + "/" + raw);
    }
    const auto percentiles = [&r](const QString& variant, const QVector<double>& samples) {
        if (samples.isEmpty())
            return;
        r.Add("rttP50/" + variant, BenchStats::Percentile(samples, 50));
        r.Add("rttP99/" + variant, BenchStats::Percentile(samples, 99));
    };
    percentiles(QStringLiteral("module"), moduleRtt);
    percentiles(QStringLiteral("simulator"), simulatedRtt);
    percentiles(QStringLiteral("process"), processRtt);
    percentiles(QStringLiteral("alternative"), altRtt);
    percentiles(QStringLiteral("socket65536"), socketRtt);
    percentiles(QStringLiteral("pipe65536"), pipeRtt);

    // System calls per message, counted in one extra block each (perf slows what it watches).
    if (SyscallCounter::IsAvailable()) {
        const int count = plan.smallCount;
        ModuleBench::Cost moduleCost;
        module.HostToClient(count, kSmall, false, &moduleCost, true);
        r.Add("hostCalls/module", double(moduleCost.hostSyscalls) / count);
        r.Add("clientCalls/module", double(moduleCost.clientSyscalls) / count);
        QtAlternative::Cost altCost;
        alternative.HostToClient(count, kSmall, &altCost, true);
        r.Add("hostCalls/alternative", double(altCost.hostSyscalls) / count);
        r.Add("clientCalls/alternative", double(altCost.clientSyscalls) / count);
        RawTransport::Cost rawCost;
        socketPair.OneWay(count, kSmall, 65536, &rawCost, true);
        r.Add("hostCalls/raw", double(rawCost.writerSyscalls) / count);
        r.Add("clientCalls/raw", double(rawCost.readerSyscalls) / count);
    }

    double clientIdle = 0;
    r.Add("idleHost/module", 1000 * module.IdleCpuSeconds(plan.idleMs, &clientIdle));
    r.Add("idleClient/module", 1000 * clientIdle);
    r.Add("idleHost/alternative", 1000 * alternative.IdleCpuSeconds(plan.idleMs, &clientIdle));
    r.Add("idleClient/alternative", 1000 * clientIdle);

    bool delivered = false;
    const qint64 moduleQueued = module.PeakMemoryWhileQueued(plan.queued, kSmall, &delivered);
    r.Add("memory/module", delivered ? moduleQueued / 1024.0 : -1);
    const qint64 altQueued = alternative.PeakMemoryWhileQueued(plan.queued, kSmall, &delivered);
    r.Add("memory/alternative", delivered ? altQueued / 1024.0 : -1);

    // -----------------------------------------------------------------------------------------
    // The table
    QList<Row> rows;
    const auto row = [&](const QString& metric, const QString& unit, bool higher, const QString& key,
                         const QString& moduleVariant, const QString& rawVariant, const QString& rawName,
                         const QString& note = QString()) {
        rows.append({metric, unit, higher, r.Get(key + "/" + moduleVariant), r.Get(key + "/" + rawVariant),
                     r.Get(key + "/alternative"), rawName, note});
    };
    const QString sock64 = QStringLiteral("socket pair, 64 KiB reads");
    const QString sock2k = QStringLiteral("socket pair, 2048-byte reads");
    row("host->client 100 B, SendCommand", "msg/s", true, "h2c100B", "module", "socket65536", sock64);
    row("  ... with the simulator as client", "msg/s", true, "h2c100B", "simulator", "socket65536", sock64);
    row("host->client 100 B, OpenKKWindow", "msg/s", true, "h2c100B", "moduleGuarded", "socket65536", sock64);
    row("host->client 64 KiB, SendCommand", "msg/s", true, "h2c64KiB", "module", "socket65536", sock64);
    row("host->client 64 KiB, OpenKKWindow", "msg/s", true, "h2c64KiB", "moduleGuarded", "socket65536", sock64);
    row("client->host 100 B", "msg/s", true, "c2h100B", "module", "socket2048", sock2k);
    row("  ... with the simulator as client", "msg/s", true, "c2h100B", "simulator", "socket2048", sock2k);
    row("client->host 64 KiB", "msg/s", true, "c2h64KiB", "module", "socket2048", sock2k);
    row("round trip p50", "us", false, "rttP50", "module", "process", "socket pair, two processes");
    row("  ... with the simulator as client", "us", false, "rttP50", "simulator", "process", "socket pair, two processes");
    row("round trip p99", "us", false, "rttP99", "module", "process", "socket pair, two processes");
    row("launch to ready", "ms", false, "launch", "module", "raw", "bare spawn to first message");
    row("restart after SIGKILL", "ms", false, "restart", "module", "raw", "bare spawn to first message");
    rows.last().raw = r.Get("launch/raw");
    row("host CPU per message (100 B)", "us", false, "hostCpu", "module", "raw", "writer thread");
    row("client CPU per message (100 B)", "us", false, "clientCpu", "module", "raw", "reader thread");
    row("host system calls per message", "calls", false, "hostCalls", "module", "raw", "writer thread");
    row("client system calls per message", "calls", false, "clientCalls", "module", "raw", "reader thread");
    row(QStringLiteral("idle host threads CPU over %1 s").arg(plan.idleMs / 1000.0), "ms", false, "idleHost", "module", "none", "-");
    row(QStringLiteral("idle client CPU over %1 s").arg(plan.idleMs / 1000.0), "ms", false, "idleClient", "module", "none", "-");
    row(QStringLiteral("peak memory, %1 x 100 B queued").arg(plan.queued), "MiB", false, "memory", "module", "none", "-");

    Print(QString());
    Print(QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
              .arg(QStringLiteral("metric"), -36)
              .arg(QStringLiteral("unit"), -6)
              .arg(QStringLiteral("module"), -28)
              .arg(QStringLiteral("raw"), -28)
              .arg(QStringLiteral("Qt alternative"), -28)
              .arg(QStringLiteral("mod/raw"), -8)
              .arg(QStringLiteral("mod/alt")));
    QJsonArray jsonRows;
    for (const Row& x : rows) {
        Print(QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
                  .arg(x.metric, -36)
                  .arg(x.unit, -6)
                  .arg(Cell(x.module), -28)
                  .arg(Cell(x.raw), -28)
                  .arg(Cell(x.alternative), -28)
                  .arg(Ratio(x.module, x.raw), -8)
                  .arg(Ratio(x.module, x.alternative)));
        jsonRows.append(QJsonObject{{"metric", x.metric},
                                    {"unit", x.unit},
                                    {"higherIsBetter", x.higherIsBetter},
                                    {"module", ToJson(x.module)},
                                    {"raw", ToJson(x.raw)},
                                    {"rawIs", x.rawName},
                                    {"alternative", ToJson(x.alternative)}});
    }
    Print(QString());
    Print(QStringLiteral("raw transport baselines (msg/s; the same figures serve both directions):"));
    for (const QString& tag : {QStringLiteral("100B"), QStringLiteral("64KiB")}) {
        for (const QString& raw : {QStringLiteral("socket2048"), QStringLiteral("socket65536"), QStringLiteral("pipe2048"),
                                   QStringLiteral("pipe65536")}) {
            Print(QStringLiteral("  %1 %2 %3").arg(tag, -6).arg(raw, -12).arg(Cell(r.Get("h2c" + tag + "/" + raw))));
        }
    }
    Print(QStringLiteral("  round trip p50/p99 us: socket pair between two processes %1/%2, between two threads %3/%4, "
                         "Win32 layer pipe between two threads %5/%6")
              .arg(Format(r.Get("rttP50/process").median), Format(r.Get("rttP99/process").median),
                   Format(r.Get("rttP50/socket65536").median), Format(r.Get("rttP99/socket65536").median),
                   Format(r.Get("rttP50/pipe65536").median), Format(r.Get("rttP99/pipe65536").median)));

    if (parser.isSet(json)) {
        QJsonObject raw;
        for (auto it = r.values.constBegin(); it != r.values.constEnd(); ++it)
            raw.insert(it.key(), ToJson(BenchStats::Summarize(it.value())));
        QFile file(parser.value(json));
        if (file.open(QIODevice::WriteOnly))
            file.write(QJsonDocument(QJsonObject{{"rows", jsonRows}, {"all", raw}}).toJson());
    }
    return 0;
}
