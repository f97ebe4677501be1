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
        CrashOnStart,       // die (as dieHow says) before connecting
        CrashAfterConnect,  // die once connected, before StartupCompleted
        Garbage,            // send a payload that is not a message, then go on
        BadFrame,           // send a frame with a negative length, then go on
        HugeFrame,          // announce a frame of hugeLength bytes and stream filler into it
        GarbageWrite,       // send text with no length in front, as one pipe message, then go on
    };

    // Which of the two pipes is opened first; the other follows after betweenPipesMs.
    enum class PipeOrder { WriteFirst, ReadFirst };

    // Where in its life the client dies on purpose (--die-at).
    enum class DiePoint {
        Never,
        Start,         // before opening any pipe
        BetweenPipes,  // the first pipe open (and betweenPipesMs over), the second not
        Connected,     // both pipes open, before StartupCompleted
        Startup,       // right after sending StartupCompleted
        Received,      // right after the dieAtReceived-th payload from the module
        MidFrame,      // after writing the length and half the payload of a frame
    };
    // How it dies (--die-how).
    enum class DieHow {
        Abort,  // std::abort(): SIGABRT
        Kill,   // SIGKILL to itself; TerminateProcess(.., 1) on Windows
        Exit,   // _exit(dieExitCode), closing nothing
    };

    static constexpr int kDefaultConnectTimeoutMs = 10000;
    static constexpr int kNeverConnectLifetimeMs = 30000;
    // The largest payload a frame can announce: INT_MAX - 4 (KKFrameStream::kMaxPayload).
    static constexpr int kDefaultHugeLength = 2147483643;

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
    int hugeLength = kDefaultHugeLength;  // huge-frame's length field; may be negative
    PipeOrder pipeOrder = PipeOrder::WriteFirst;
    int betweenPipesMs = 0;
    DiePoint dieAt = DiePoint::Never;
    int dieAtReceived = 0;  // N of received:N, from 1
    DieHow dieHow = DieHow::Abort;
    int dieExitCode = 0;  // exit:CODE, 0..255
    int flood = 0;        // messages sent at once after StartupCompleted; 0: none
    int floodSize = 0;    // bytes each flood payload is padded to; 0: no padding

    // Applies `options` on top of what is set. False, with the reason in `error`, for an unknown
    // option, a missing or malformed value.
    bool Parse(const QStringList& options, QString* error);
    // The environment, then `arguments` (the options after the module's two arguments).
    bool Collect(const QProcessEnvironment& environment, const QStringList& arguments, QString* error);

    // The lifetime limit in ms, or 0 for none.
    int EffectiveLifetimeMs() const;

    static QString MisbehaviourName(Misbehaviour mode);
    // The --die-at value, as written ("received:3"); empty for Never.
    QString DiePointName() const;
    static QString Usage();
};
