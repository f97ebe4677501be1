#include "simulator/KKSimulatorOptions.h"

#include <QRegularExpression>

#include <climits>

namespace {

struct ModeName
{
    KKSimulatorOptions::Misbehaviour mode;
    const char* name;
};

const ModeName kModes[] = {
    {KKSimulatorOptions::Misbehaviour::None, "none"},
    {KKSimulatorOptions::Misbehaviour::NeverConnect, "never-connect"},
    {KKSimulatorOptions::Misbehaviour::WritePipeOnly, "write-pipe-only"},
    {KKSimulatorOptions::Misbehaviour::ReadPipeOnly, "read-pipe-only"},
    {KKSimulatorOptions::Misbehaviour::CrashOnStart, "crash-on-start"},
    {KKSimulatorOptions::Misbehaviour::CrashAfterConnect, "crash-after-connect"},
    {KKSimulatorOptions::Misbehaviour::Garbage, "garbage"},
    {KKSimulatorOptions::Misbehaviour::BadFrame, "bad-frame"},
    {KKSimulatorOptions::Misbehaviour::HugeFrame, "huge-frame"},
    {KKSimulatorOptions::Misbehaviour::GarbageWrite, "garbage-write"},
};

struct PointName
{
    KKSimulatorOptions::DiePoint point;
    const char* name;
};

// received:N is read apart, for its count.
const PointName kDiePoints[] = {
    {KKSimulatorOptions::DiePoint::Start, "start"},
    {KKSimulatorOptions::DiePoint::BetweenPipes, "between-pipes"},
    {KKSimulatorOptions::DiePoint::Connected, "connected"},
    {KKSimulatorOptions::DiePoint::Startup, "startup"},
    {KKSimulatorOptions::DiePoint::MidFrame, "mid-frame"},
};
const QLatin1String kReceivedPoint("received:");
const QLatin1String kExitHow("exit:");
constexpr int kMaxExitCode = 255;

bool ParseCount(const QString& text, int minimum, int* out, int maximum = INT_MAX)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < minimum || value > maximum)
        return false;
    *out = value;
    return true;
}

bool ParseDiePoint(const QString& text, KKSimulatorOptions* out)
{
    if (text.startsWith(kReceivedPoint)) {
        if (!ParseCount(text.mid(kReceivedPoint.size()), 1, &out->dieAtReceived))
            return false;
        out->dieAt = KKSimulatorOptions::DiePoint::Received;
        return true;
    }
    for (const PointName& entry : kDiePoints) {
        if (text == QLatin1String(entry.name)) {
            out->dieAt = entry.point;
            return true;
        }
    }
    return false;
}

bool ParseDieHow(const QString& text, KKSimulatorOptions* out)
{
    using How = KKSimulatorOptions::DieHow;
    if (text == QLatin1String("abort"))
        out->dieHow = How::Abort;
    else if (text == QLatin1String("kill"))
        out->dieHow = How::Kill;
    else if (text.startsWith(kExitHow) && ParseCount(text.mid(kExitHow.size()), 0, &out->dieExitCode, kMaxExitCode))
        out->dieHow = How::Exit;
    else
        return false;
    return true;
}

}  // namespace

bool KKSimulatorOptions::Parse(const QStringList& options, QString* error)
{
    const auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return false;
    };
    for (int i = 0; i < options.size(); ++i) {
        QString option = options.at(i);
        QString value;
        bool hasValue = false;
        const int equals = option.indexOf(QLatin1Char('='));
        if (option.startsWith(QLatin1String("--")) && equals > 0) {
            value = option.mid(equals + 1);
            option = option.left(equals);
            hasValue = true;
        }
        // Takes the option's value: "--name=value" or the next argument.
        const auto takeValue = [&]() {
            if (hasValue)
                return true;
            if (i + 1 >= options.size())
                return false;
            value = options.at(++i);
            return true;
        };
        const auto needs = [&](const QString& what) {
            return fail(QStringLiteral("option %1 needs %2").arg(option, what));
        };
        const auto flag = [&](bool* target) {
            if (hasValue)
                return fail(QStringLiteral("option %1 takes no value").arg(option));
            *target = true;
            return true;
        };

        if (option == QLatin1String("--help") || option == QLatin1String("-h")) {
            if (!flag(&help))
                return false;
        } else if (option == QLatin1String("--quiet")) {
            if (!flag(&quiet))
                return false;
        } else if (option == QLatin1String("--no-startup")) {
            if (!flag(&noStartup))
                return false;
        } else if (option == QLatin1String("--ignore-login")) {
            if (!flag(&ignoreLogin))
                return false;
        } else if (option == QLatin1String("--log")) {
            if (!takeValue() || value.isEmpty())
                return needs(QStringLiteral("a file name"));
            logFile = value;
        } else if (option == QLatin1String("--script")) {
            if (!takeValue() || value.isEmpty())
                return needs(QStringLiteral("a file name or -"));
            scriptFile = value;
        } else if (option == QLatin1String("--client-version")) {
            if (!takeValue())
                return needs(QStringLiteral("a version"));
            clientVersion = value;
        } else if (option == QLatin1String("--ack-every")) {
            if (!takeValue() || !ParseCount(value, 0, &ackEvery))
                return needs(QStringLiteral("a count of 0 or more"));
        } else if (option == QLatin1String("--max-lifetime-ms")) {
            if (!takeValue() || !ParseCount(value, 0, &maxLifetimeMs))
                return needs(QStringLiteral("milliseconds, 0 for no limit"));
        } else if (option == QLatin1String("--connect-timeout-ms")) {
            if (!takeValue() || !ParseCount(value, 0, &connectTimeoutMs))
                return needs(QStringLiteral("milliseconds"));
        } else if (option == QLatin1String("--misbehave")) {
            if (!takeValue())
                return needs(QStringLiteral("a mode"));
            bool known = false;
            for (const ModeName& entry : kModes) {
                if (value == QLatin1String(entry.name)) {
                    misbehave = entry.mode;
                    known = true;
                }
            }
            if (!known)
                return fail(QStringLiteral("unknown --misbehave mode \"%1\"").arg(value));
        } else if (option == QLatin1String("--huge-length")) {
            // Any 32-bit length field, negative ones included: the module must survive them all.
            if (!takeValue() || !ParseCount(value, INT_MIN, &hugeLength))
                return needs(QStringLiteral("a length from -2147483648 to 2147483647"));
        } else if (option == QLatin1String("--pipe-order")) {
            if (!takeValue() || (value != QLatin1String("write-first") && value != QLatin1String("read-first")))
                return needs(QStringLiteral("write-first or read-first"));
            pipeOrder = value == QLatin1String("read-first") ? PipeOrder::ReadFirst : PipeOrder::WriteFirst;
        } else if (option == QLatin1String("--between-pipes-ms")) {
            if (!takeValue() || !ParseCount(value, 0, &betweenPipesMs))
                return needs(QStringLiteral("milliseconds"));
        } else if (option == QLatin1String("--die-at")) {
            if (!takeValue() || !ParseDiePoint(value, this))
                return needs(QStringLiteral("start, between-pipes, connected, startup, received:N (N from 1) or "
                                            "mid-frame"));
        } else if (option == QLatin1String("--die-how")) {
            if (!takeValue() || !ParseDieHow(value, this))
                return needs(QStringLiteral("abort, kill or exit:CODE (CODE from 0 to 255)"));
        } else if (option == QLatin1String("--flood")) {
            if (!takeValue() || !ParseCount(value, 0, &flood))
                return needs(QStringLiteral("a count of 0 or more"));
        } else if (option == QLatin1String("--flood-size")) {
            if (!takeValue() || !ParseCount(value, 0, &floodSize, kDefaultHugeLength))
                return needs(QStringLiteral("bytes, from 0 to 2147483643"));
        } else {
            return fail(QStringLiteral("unknown option \"%1\"").arg(option));
        }
    }
    return true;
}

bool KKSimulatorOptions::Collect(const QProcessEnvironment& environment, const QStringList& arguments,
                                 QString* error)
{
    if (environment.contains(QStringLiteral("KOPKOP_SIM_LOG")))
        logFile = environment.value(QStringLiteral("KOPKOP_SIM_LOG"));
    if (environment.contains(QStringLiteral("KOPKOP_SIM_SCRIPT")))
        scriptFile = environment.value(QStringLiteral("KOPKOP_SIM_SCRIPT"));
    const QStringList fromEnvironment = environment.value(QStringLiteral("KOPKOP_SIM_OPTIONS"))
                                            .split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    QString reason;
    if (!Parse(fromEnvironment, &reason)) {
        if (error)
            *error = QStringLiteral("KOPKOP_SIM_OPTIONS: ") + reason;
        return false;
    }
    return Parse(arguments, error);
}

int KKSimulatorOptions::EffectiveLifetimeMs() const
{
    if (maxLifetimeMs >= 0)
        return maxLifetimeMs;
    return misbehave == Misbehaviour::NeverConnect ? kNeverConnectLifetimeMs : 0;
}

QString KKSimulatorOptions::MisbehaviourName(Misbehaviour mode)
{
    for (const ModeName& entry : kModes) {
        if (entry.mode == mode)
            return QLatin1String(entry.name);
    }
    return QString();
}

QString KKSimulatorOptions::DiePointName() const
{
    if (dieAt == DiePoint::Received)
        return kReceivedPoint + QString::number(dieAtReceived);
    for (const PointName& entry : kDiePoints) {
        if (entry.point == dieAt)
            return QLatin1String(entry.name);
    }
    return QString();
}

QString KKSimulatorOptions::Usage()
{
    return QStringLiteral(
        "Usage: kopkop-sim pipe?param=<write pipe>&<read pipe> version=<host version> [options]\n"
        "\n"
        "A stand-in for the Kopkop chat client: connects to the module's pipes, reports\n"
        "StartupCompleted, answers Login, ChangeStatus and ChangeSkin, runs a script, and exits\n"
        "when the host goes away.\n"
        "\n"
        "Options (also read from KOPKOP_SIM_OPTIONS, white-space separated):\n"
        "  --log FILE               append one JSON line per event to FILE (KOPKOP_SIM_LOG)\n"
        "  --script FILE|-          run a script after connecting; - reads stdin (KOPKOP_SIM_SCRIPT)\n"
        "  --no-startup             send no StartupCompleted on connecting\n"
        "  --ignore-login           do not answer Login\n"
        "  --ack-every N            after every N payloads received, send UnreadMessageChanged(i:total)\n"
        "  --misbehave MODE         never-connect, write-pipe-only, read-pipe-only, crash-on-start,\n"
        "                           crash-after-connect, garbage, bad-frame, garbage-write, huge-frame\n"
        "  --huge-length N          huge-frame's length field, -2147483648..2147483647 (default 2147483643)\n"
        "  --pipe-order ORDER       write-first (default) or read-first\n"
        "  --between-pipes-ms MS    pause between opening the first pipe and the second (default 0)\n"
        "  --die-at POINT           die on purpose at start, between-pipes, connected, startup,\n"
        "                           received:N (the N-th payload from the module) or mid-frame\n"
        "  --die-how HOW            abort (default, SIGABRT), kill (SIGKILL) or exit:CODE (_exit)\n"
        "  --flood N                after StartupCompleted send UnreadMessageChanged(i:1..N) at once\n"
        "  --flood-size BYTES       pad each --flood payload to BYTES\n"
        "  --max-lifetime-ms MS     exit after MS (default: 30000 for never-connect, else no limit)\n"
        "  --connect-timeout-ms MS  give up connecting after MS (default 10000; exit code 1)\n"
        "  --client-version V       the version sent in StartupCompleted\n"
        "  --quiet                  no progress lines on stderr\n"
        "  --help                   this text\n"
        "\n"
        "Script commands, one per line, # starts a comment line:\n"
        "  send NAME [TAG:VALUE ...]   a message; VALUE may be a JSON string: s:\"two words\"\n"
        "  raw TEXT                    a frame around TEXT\n"
        "  bytes HEX                   exactly these bytes as one pipe message\n"
        "  startup                     send StartupCompleted\n"
        "  sleep MS                    pause the script\n"
        "  wait NAME [MS]              wait for a message NAME (default 30000 ms)\n"
        "  flood COUNT NAME [ARGS]     send COUNT messages at once\n"
        "  crash | close-read-pipe | close-write-pipe | exit [CODE]\n"
        "\n"
        "Exit codes: 0 host gone, exit, or lifetime over; 1 could not connect; 2 bad arguments,\n"
        "options, log or script file; the code of an exit command.\n");
}
