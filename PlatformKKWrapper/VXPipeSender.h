#pragma once

#include "win32layer/Win32Api.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>

class VXThread;

// The module's end of the write pipe: creates the pipe instance, waits for the chat client to
// connect, and writes one frame per payload.
//
// Threads. The object lives in its own worker thread, "VXPipeSenderThread", which it starts in
// its constructor: the connection wait (Connect) and every queued write run there, one after
// the other in the order they were queued, so neither ever blocks the server's thread. The
// server's thread (the thread that created the sender) runs construction, CreatePipe,
// DisConnect, direct WriteData calls and destruction. m_bConnected is written by both threads
// and read by both; m_frame and m_hWriteEvent are the worker's alone (direct WriteData calls
// pack their own frame and wait on an event of their own); everything else is written only
// before the worker can use it (CreatePipe runs before Connect is queued) or after it has been
// joined (destruction). The receiver's thread reads the pipe (to notice the client leaving) once
// m_hConnectedEvent is set, and is joined before the sender is destroyed.
class VXPipeSender : public QObject
{
    Q_OBJECT
public:
    explicit VXPipeSender(QObject* parent = nullptr);
    ~VXPipeSender() override;

    // Creates the pipe instance under `pipeName`; false (with a debug message) if it failed.
    bool CreatePipe(const QString& pipeName);
    bool IsConnected() const;
    // The pipe instance, and a manual-reset event that is set once a client has connected to it
    // (even one that left before ConnectNamedPipe): what the receiver needs to watch that client
    // (VXPipeClientWatch). Valid until destruction.
    HANDLE PipeHandle() const { return m_hPipe; }
    HANDLE ConnectedEvent() const { return m_hConnectedEvent; }
    // The frame of `data`: 4 length bytes, then the payload.
    QByteArray PackData(const QByteArray& data) const;
    // Quits, joins and deletes the worker thread.
    void StopThread();
    // Any thread: has the worker write `data` (as WriteData does), after everything queued
    // before it. One posted event per payload: no slot looked up by name, no argument copied by
    // type name, no slot object shared between the threads.
    void QueueWrite(const QByteArray& data);

protected:
    bool event(QEvent* event) override;

public slots:
    // Writes the frame of `data` with one WriteFile and returns once the whole frame is written.
    // False for an empty payload, while not connected, or when the write fails.
    bool WriteData(const QByteArray& data);
    // Waits (in the worker thread) until the client connects or the wait is ended.
    void Connect();
    // If connected: forgets the client and disconnects it from the pipe.
    void DisConnect();

private:
    // One WriteFile of `frame`, waited for on `event`.
    bool WriteFrame(const QByteArray& frame, HANDLE event);

    VXThread* m_pThread;
    QString m_pipeName;
    HANDLE m_hPipe;
    HANDLE m_hConnectEvent;  // manual reset, created signalled: the connection's OVERLAPPED event
    HANDLE m_hExitEvent;     // manual reset, created unsignalled: ends the connection wait
    HANDLE m_hConnectedEvent;  // manual reset, created unsignalled: set once a client has connected
    HANDLE m_hWriteEvent;    // manual reset: the OVERLAPPED event of the worker's writes
    std::atomic<bool> m_bConnected;
    QByteArray m_frame;  // the worker's frame buffer, reused by its queued writes; worker only
    static_assert(sizeof(std::atomic<bool>) == 1, "the connected flag is one byte");
};
