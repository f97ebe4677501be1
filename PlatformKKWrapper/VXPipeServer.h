#pragma once

#include "PlatformKKWrapper/VXPipeBacklog.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

class VXPipeReciver;
class VXPipeSender;

// The module's end of the connection to the chat client: a pair of named pipes on which the
// module is the server. The write pipe is served by a VXPipeSender in its own thread, the read
// pipe by a VXPipeReciver thread. When the client leaves the read pipe, both pipes are torn
// down, created again under the same names, and only then is SigClientClosed emitted, so its
// receivers find the server already waiting for the next client.
//
// The server never leaves the pipes in a state the next client cannot use:
//  - A client that opens the write pipe and leaves before opening the read pipe is noticed; both
//    pipes are made afresh and SigClientLeftBeforeConnecting is emitted instead of
//    SigClientClosed (the manager never heard of that client as connected).
//  - Pipes are created both or neither. When they cannot be (a name taken by another process, a
//    socket directory that is not ours), creation is retried a few times over about 1.5 s; then
//    SigPipesUnavailable is emitted and the server stays without pipes until CreateServer is
//    called again. SigPipesReady follows a retry that succeeded.
//  - Signals of a receiver that has been replaced are ignored (its payloads still arrive), so a
//    forced Recycle never mixes up two clients.
//
// Threads. The server lives in the thread that creates it (the manager's thread); all its
// operations are called there and its slots run there. The receiver's signals arrive queued,
// in the order the receiver emitted them. AsyncWriteData moves each write into the sender's
// thread; WriteData writes in the caller's thread. IsConnected reads the receiver's atomic flag.
// m_backlog is shared with the receiver's thread (see VXPipeBacklog); everything else is the
// server's thread's. CloseServer (and so the destructor) blocks until both pipe threads have ended.
class VXPipeServer : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxPipeNameLength = 256;  // characters (UTF-16 code units)
    static constexpr int kCreateRetries = 5;        // after the first failed attempt ...
    static constexpr int kFirstRetryDelayMs = 50;   // ... waiting 50, 100, 200, 400, 800 ms

    explicit VXPipeServer(QObject* parent = nullptr);
    ~VXPipeServer() override;

    // Checks both names, stores them and creates the pipes. True whenever the names were
    // accepted, whether or not the pipes could be created; false only for a name that is too long.
    bool InitPipe(const QString& writePipeName, const QString& readPipeName);
    // Creates whatever of sender and receiver is missing, with their pipes; true when both exist.
    // On failure neither exists, and a retry cycle runs (unless one already does).
    bool CreateServer();
    // Writes one frame now, from the caller's thread.
    bool WriteData(const QByteArray& data);
    // Queues one frame for the sender's thread; true if the write could be queued.
    bool AsyncWriteData(const QByteArray& data);
    // Whether the client is connected to the read pipe.
    bool IsConnected();
    // Ends both pipe threads and deletes sender and receiver.
    void CloseServer();

    // The longest payload accepted from the client (bytes); applies to every receiver created
    // from now on. Default VXPipeFrame::kDefaultPayloadLimit.
    void SetPayloadLimit(int bytes);
    // Both pipes exist and wait for (or have) a client.
    bool IsListening() const;
    // A retry cycle is under way: SigPipesReady or SigPipesUnavailable will follow.
    bool IsRetrying() const;
    // Both pipes exist, the read pipe's thread waits for a client, and no client holds either.
    bool IsWaitingForClient() const;
    // Makes sure a new client can connect now: pipes that a client (gone, slow or half-connected)
    // still holds, or whose receiver ended by itself, are torn down and created again; missing
    // pipes are created. True when the pipes are ready; false while a retry cycle runs
    // (SigPipesReady or SigPipesUnavailable follows).
    bool PrepareForClient();
    // Tears both pipes down and creates them again, whatever their clients are doing; `reason`
    // goes into the tracking record. Nothing is emitted for the client that is dropped.
    void Recycle(const QString& reason);
    const VXPipeBacklog& Backlog() const { return m_backlog; }

signals:
    void SigClientConnected();
    void SigClientClosed();
    void SigReadData(QByteArray data);
    // A client opened the write pipe and left before opening the read pipe; the pipes are new.
    void SigClientLeftBeforeConnecting();
    // The pipes exist again after failed attempts.
    void SigPipesReady();
    // The pipes could not be created, retries included; the server has none.
    void SigPipesUnavailable();

private slots:
    void SlotPipeConnected();
    void SlotPipeDisconnected();
    void SlotPipeReadData(const QByteArray& data);
    void SlotProtocolError(const QString& text);
    void SlotRetryCreate();

private:
    // Starts a retry cycle unless one is under way; returns false, for CreateServer to return.
    bool RetryLater();

    VXPipeSender* m_pPipeSender;
    VXPipeReciver* m_pPipeReciver;
    QString m_writePipeName;
    QString m_readPipeName;
    VXPipeBacklog m_backlog;
    int m_payloadLimit;
    int m_generation;        // advanced for every receiver; older receivers' signals are stale
    bool m_clientReported;   // SigClientConnected was emitted for the current receiver
    QTimer m_retryTimer;     // single shot: the next creation attempt
    int m_retriesLeft;       // of the cycle under way; 0: none
};
