#pragma once

#include "simulator/KKClientEndpoint.h"
#include "simulator/KKSimulatorOptions.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>

class KKEventLog;
class KKScriptCommand;
class QTimer;

// The scripted chat client on top of a KKClientEndpoint. By default it behaves as the real client
// would: connects, reports StartupCompleted, answers Login, ChangeStatus and ChangeSkin, logs
// everything else, and finishes (exit code 0) when the host's end of a pipe goes away. Options
// add acknowledgements, misbehaviour (bad frames, floods, another pipe order, dying at a chosen
// point) and a script (docs/simulator.md).
//
// Threads: everything runs on the thread that creates it, which must run an event loop; waits
// and pauses are timers, never blocking. Only sends block (see KKClientEndpoint).
class KKSimulator : public QObject
{
    Q_OBJECT
public:
    static constexpr int kConnectRetryMs = 50;  // between tries while the pipes do not exist
    static constexpr int kHugeChunk = 64 * 1024;  // bytes per pipe message of huge-frame's payload
    // The frame --die-at mid-frame writes half of: a message the module would take if it were whole.
    static constexpr const char* kMidFramePayload = R"(["UnreadMessageChanged","i:0"])";

    // `log` must outlive the simulator.
    KKSimulator(const KKSimulatorOptions& options, const KKClientEndpoint::Launch& launch, KKEventLog* log,
                QObject* parent = nullptr);
    ~KKSimulator() override;

public slots:
    // Begins: misbehaviour at start, the lifetime limit, connecting.
    void Start();
    // Script lines, run in order once connected; a file's all at once, stdin's as they come.
    void AddScriptLine(const QString& line);
    // No more script lines will come.
    void EndScript();

signals:
    // The simulator has closed its pipes and is done; the program exits with `exitCode`.
    void Finished(int exitCode);

private slots:
    void TryConnect();
    void OpenSecondPipe();
    void OnMessage(QSharedPointer<VXProcessMessage> message, QByteArray payload);
    void OnInvalid(QByteArray payload);
    void OnHostGone();
    void OnScriptTimer();

private:
    enum class ScriptState { Ready, Sleeping, Waiting };

    void OnFirstPipeOpen();
    void OnConnected();
    QString OpenPipes() const;  // "both", "write", "read" or "none"
    void Answer(const QSharedPointer<VXProcessMessage>& message);
    void CountReceived(const QString& name);
    bool SendMessage(const QSharedPointer<VXProcessMessage>& message);
    bool SendPayload(const QByteArray& payload);
    bool SendBytes(const QByteArray& bytes);
    void SendStartup();
    void SendHugeFrame();
    void Flood();
    void DieIfNthReceived();
    [[noreturn]] void DieMidFrame();
    void RunScript();
    void Execute(const KKScriptCommand& command, int line);
    void Finish(int exitCode, const QString& reason);
    // Logs a crash, then dies as --die-how says: nothing is closed or flushed on the way.
    [[noreturn]] void Crash(const QString& reason);

    const KKSimulatorOptions m_options;
    const KKClientEndpoint::Launch m_launch;
    KKEventLog* m_log;
    KKClientEndpoint* m_endpoint;  // child
    QTimer* m_scriptTimer;         // child: a sleep, or a wait's time limit
    QTimer* m_lifetimeTimer;       // child
    QDeadlineTimer m_connectDeadline;
    bool m_connecting = false;
    bool m_connected = false;
    bool m_finished = false;
    int m_received = 0;  // payloads, messages or not

    QList<QPair<int, QString>> m_script;  // line number and text, not run yet
    int m_scriptLines = 0;
    bool m_scriptEnded = false;
    bool m_scriptEndRecorded = false;
    bool m_inScript = false;
    ScriptState m_scriptState = ScriptState::Ready;
    QString m_waitName;
    // Messages received per name that no "wait" has taken yet: a wait takes one that came
    // earlier, so a reply that beats the wait is not missed.
    QHash<QString, int> m_unclaimed;
};
