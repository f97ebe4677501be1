#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// The simulator's settings. The module starts the simulator with only its two arguments, so the
// settings come from the environment as well as from options after those arguments:
//
//   KOPKOP_SIM_LOG=<file>        as --log <file>
//   KOPKOP_SIM_SCRIPT=<file>     as --script <file>
//   KOPKOP_SIM_OPTIONS=<options> white-space separated options, as on the command line
//   <options after the two arguments>
//
// applied in that order, so a later setting overrides an earlier one. Pure; not thread-aware.
class KKSimulatorOptions
{
public:
    enum class Misbehaviour {
        None,
        NeverConnect,       // open no pipe, live until the lifetime ends
        WritePipeOnly,      // open only the pipe the module writes
        ReadPipeOnly,       // open only the pipe the module reads
        CrashOnStart,       // abort() before connecting
        CrashAfterConnect,  // abort() once connected, before StartupCompleted
        Garbage,            // send a payload that is not a message, then go on
        BadFrame,           // send a frame with a negative length, then go on
    };

    static constexpr int kDefaultConnectTimeoutMs = 10000;
    static constexpr int kNeverConnectLifetimeMs = 30000;

    QString logFile;
    QString scriptFile;  // "-" for stdin
    QString clientVersion;  // sent in StartupCompleted; the simulator's own version when empty
    bool noStartup = false;
    bool ignoreLogin = false;
    bool quiet = false;
    bool help = false;
    int ackEvery = 0;         // 0: no acknowledgements
    int maxLifetimeMs = -1;   // -1: unset (never-connect then uses kNeverConnectLifetimeMs)
    int connectTimeoutMs = kDefaultConnectTimeoutMs;
    Misbehaviour misbehave = Misbehaviour::None;

    // Applies `options` on top of what is set. False, with the reason in `error`, for an unknown
    // option, a missing or malformed value.
    bool Parse(const QStringList& options, QString* error);
    // The environment, then `arguments` (the options after the module's two arguments).
    bool Collect(const QProcessEnvironment& environment, const QStringList& arguments, QString* error);

    // The lifetime limit in ms, or 0 for none.
    int EffectiveLifetimeMs() const;

    static QString MisbehaviourName(Misbehaviour mode);
    static QString Usage();
};
