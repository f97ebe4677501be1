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
};

bool ParseCount(const QString& text, int minimum, int* out)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < minimum)
        return false;
    *out = value;
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
        "                           crash-after-connect, garbage, bad-frame\n"
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
