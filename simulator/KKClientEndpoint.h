#pragma once

#include "simulator/KKFrameStream.h"
#include "simulator/KKMessageMetaType.h"
#include "win32layer/Win32Api.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

class KKPipeReader;

// The chat client's end of the pipe protocol (docs/protocol.md), for any client to embed: reads
// the command line the module starts the client with, opens the module's two pipes, sends
// messages as frames and hands every frame that arrives to its owner as a message.
//
// Pipe names are the module's: the "write pipe" (the first name) is the one the module writes and
// the client reads; the "read pipe" (the second) is the one the client writes.
//
// Two ways to read. By default a KKPipeReader thread reads and hands every payload to the owner's
// event loop as a signal. A client that does one thing at a time (read, answer, write) can read in
// its own thread instead (Reading::Caller): ReadPayload blocks until the next payload has come, and
// no thread, signal or event loop stands between the pipe and the client - the fast path.
//
// Threads. The endpoint belongs to the thread that creates it (its owner); every public function
// is called there and every signal is emitted there. Reading happens in a KKPipeReader thread that
// the endpoint starts and joins (or, with Reading::Caller, in the owner's ReadPayload); it hands
// payloads over through queued signals and never touches the endpoint. Sends are blocking writes
// in the owner's thread. The handles are opened, used for writing and closed by the owner alone;
// the reader uses them only between its start and its join.
class KKClientEndpoint : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxPipeNameLength = 256;  // characters, as the module allows

    // What the module passes on the command line.
    struct Launch
    {
        QString writePipe;  // the module writes it, the client reads it
        QString readPipe;   // the module reads it, the client writes it
        QString version;    // the host's version
    };

    enum Pipe { NoPipe = 0, WritePipe = 1, ReadPipe = 2, BothPipes = WritePipe | ReadPipe };
    enum class Reading { Thread, Caller };

    // Parses the module's two arguments, `pipe?param=<write pipe>&<read pipe>` and
    // `version=<host version>`, given without the program name; arguments after them are the
    // caller's business. False, with a one-line reason in `error`, for anything malformed.
    static bool ParseCommandLine(const QStringList& arguments, Launch* out, QString* error);

    explicit KKClientEndpoint(QObject* parent = nullptr, Reading reading = Reading::Thread);
    // Closes whatever is open.
    ~KKClientEndpoint() override;

    // Opens the pipes in `pipes` that are not open yet, the write pipe before the read pipe, in
    // message-read mode, and (re)starts reading. A busy pipe is waited for with WaitNamedPipeW
    // until `timeoutMs` has passed (0: one try). A missing pipe fails at once with
    // ERROR_FILE_NOT_FOUND: WaitNamedPipeW cannot wait for a name nobody has created, so waiting
    // for one is the caller's choice. Returns ERROR_SUCCESS or the Windows error of the pipe that
    // failed; a pipe opened before the failure stays open, and the next call opens the rest. A
    // caller that wants the read pipe first, or a pause between the two, opens one per call.
    DWORD Connect(const Launch& launch, int timeoutMs, int pipes = BothPipes);
    bool IsOpen(Pipe pipe) const;

    // One frame in one WriteFile: the message's text form as UTF-8.
    bool Send(const QSharedPointer<VXProcessMessage>& message);
    // One frame in one WriteFile around any payload (up to 2147483643 bytes).
    bool SendPayload(const QByteArray& payload);
    // Exactly these bytes as one pipe message, framed or not: for clients that misbehave on purpose.
    // Zero bytes make an empty message, which the module takes as the client leaving.
    bool SendRawBytes(const QByteArray& bytes);
    // Each send blocks until the module's end has taken the bytes. False if the read pipe is not
    // open, the host is gone, or the write failed; a failed write also means HostGone.

    // Reading::Caller: waits up to `timeoutMs` (-1: no limit) for the next payload from the host.
    // False when the time ran out, or when the host's end has gone (then IsHostGone()).
    bool ReadPayload(QByteArray* payload, int timeoutMs = -1);
    bool IsHostGone() const { return m_hostGone; }

    // Closes one pipe (the reader goes on with the other).
    void ClosePipe(Pipe pipe);
    // Closes both pipes and ends the reader; nothing from this connection is signalled afterwards.
    void Close();

signals:
    void MessageReceived(QSharedPointer<VXProcessMessage> message, QByteArray payload);
    // A payload that is not a message (for example a raw command the host sent).
    void InvalidPayload(QByteArray payload);
    // The module's end of a pipe went away: a read or a write failed. Emitted once per connection.
    void HostGone();

private slots:
    void OnReceived(int session, const KKReceivedBatch& batch);
    void OnPipeGone(int session, quint32 error);

private:
    void RestartReader();

    KKPipeReader* m_reader;  // child; not started with Reading::Caller
    const Reading m_reading;
    // Reading::Caller: the read buffer, what it holds of frames not yet whole, and payloads whole but
    // not yet returned.
    QByteArray m_readBuffer;
    KKFrameStream m_stream;
    QList<QByteArray> m_ready;
    HANDLE m_readEvent = nullptr;
    HANDLE m_fromHost = nullptr;  // the write pipe
    HANDLE m_toHost = nullptr;    // the read pipe
    HANDLE m_writeEvent;          // the OVERLAPPED event of every send
    int m_session = 0;            // advanced by Close(): older reader signals are ignored
    bool m_hostGone = false;
};
