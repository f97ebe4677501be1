#pragma once

#include "win32layer/Win32Api.h"

#include <QByteArray>
#include <QString>
#include <QThread>

#include <atomic>

class VXPipeBacklog;

// The module's end of the read pipe: creates the pipe instance, waits for the chat client,
// reads what it writes in chunks of up to 2048 bytes, reassembles the frames and emits each
// payload.
//
// What a client sends cannot hurt the host: a frame length that is negative or over the payload
// limit is a protocol error that ends the connection (nothing is allocated for it); the payloads
// handed to the server's thread and not yet taken are bounded by the server's backlog, beyond
// which the loop stops reading; and a client that opened the write pipe and left before opening
// this one is noticed (VXPipeClientWatch), so that the server can make both pipes afresh.
//
// Threads. The object belongs to the server's thread, which runs construction, the set-up calls
// (CreatePipe, SetPayloadLimit, SetBacklog, WatchWritePipe, all before start()), SetExitEvent,
// IsConnected and destruction. run() - the read loop, the frame reassembly and every signal -
// runs in the receiver's own thread; the signals reach the server as queued calls, in the order
// they were emitted. The read buffer, the reassembly buffer and the OVERLAPPED belong to the
// receiver's thread alone. m_bConnected is written by the receiver's thread and read by the
// server's. The exit event is the one way to end the loop from outside.
class VXPipeReciver : public QThread
{
    Q_OBJECT
public:
    static constexpr int kReadBufferSize = 2048;  // bytes per ReadFile

    explicit VXPipeReciver(QObject* parent = nullptr);
    // Expects the thread to have finished (the server sets the exit event and joins first).
    ~VXPipeReciver() override;

    // Creates the pipe instance under `pipeName`; false (with a debug message) if it failed.
    bool CreatePipe(const QString& pipeName);
    // The longest payload accepted (bytes, 0 to VXPipeFrame::kMaxPayload); by default
    // VXPipeFrame::kDefaultPayloadLimit.
    void SetPayloadLimit(int bytes);
    // The server's backlog, which counts every payload emitted; null: unbounded.
    void SetBacklog(VXPipeBacklog* backlog);
    // The write pipe and the sender's connected event, to notice that pipe's client leaving.
    void WatchWritePipe(HANDLE pipe, HANDLE connectedEvent);
    void SetExitEvent();
    bool IsConnected() const;
    // Adds one chunk to the reassembly buffer and emits SigReadData for every complete payload.
    // False after a protocol error (reported with SigProtocolError; the buffer was dropped).
    bool AppendReadData(const QByteArray& data);

signals:
    void SigPipeConnected();
    // The client has left (or, with the flag never set, the write pipe's client left before
    // opening this pipe); the loop has ended.
    void SigPipeDisconnected();
    void SigReadData(QByteArray data);
    // What the client sent (or how it left) broke the protocol; `text` says how.
    void SigProtocolError(QString text);

protected:
    void run() override;

private:
    // How the read loop ends. It runs in two phases, waiting for the client (the pending
    // ConnectNamedPipe) and reading (one read pending or completing at a time), and ends one of
    // three ways: the client has gone (it closed, died, wrote a zero-length message or broke the
    // framing, or left the write pipe without ever opening this one); the loop was ended from
    // outside (the exit event); or it could not listen at all (no pipe instance, or
    // ConnectNamedPipe failed).
    enum class LoopEnd { ClientGone, EndedFromOutside, CouldNotListen };
    LoopEnd ReadLoop();
    bool AppendReadData(const char* data, int size);
    // Ends the loop with the client gone: clears the flag, disconnects, emits SigPipeDisconnected.
    void Disconnected();

    QString m_pipeName;
    HANDLE m_hPipe;
    HANDLE m_hConnectEvent;  // manual reset, created signalled: the OVERLAPPED event of every I/O
    HANDLE m_hExitEvent;     // manual reset, created unsignalled: ends the loop
    char m_readBuffer[kReadBufferSize];
    std::atomic<bool> m_bConnected;
    QByteArray m_cacheData;  // received bytes not yet consumed as frames
    int m_payloadLimit;
    VXPipeBacklog* m_pBacklog;     // the server's, not owned
    HANDLE m_hWatchedPipe;         // the sender's write pipe, not owned
    HANDLE m_hWatchedConnected;    // the sender's connected event, not owned
};
