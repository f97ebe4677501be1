#pragma once

#include "win32layer/Win32Api.h"

#include <QByteArray>
#include <QString>
#include <QThread>

#include <atomic>

// The module's end of the read pipe: creates the pipe instance, waits for the chat client,
// reads what it writes in chunks of up to 2048 bytes, reassembles the frames and emits each
// payload.
//
// Threads. The object belongs to the server's thread, which runs construction, CreatePipe,
// SetExitEvent, IsConnected and destruction. run() - the read loop, the frame reassembly and
// every signal - runs in the receiver's own thread; the signals reach the server as queued
// calls, in the order they were emitted. The read buffer, the reassembly buffer and the
// OVERLAPPED belong to the receiver's thread alone. m_bConnected is written by the receiver's
// thread and read by the server's. The exit event is the one way to end the loop from outside.
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
    void SetExitEvent();
    bool IsConnected() const;
    // Adds one chunk to the reassembly buffer and emits SigReadData for every complete payload.
    void AppendReadData(const QByteArray& data);

signals:
    void SigPipeConnected();
    void SigPipeDisconnected();
    void SigReadData(QByteArray data);

protected:
    void run() override;

private:
    void ReadLoop();
    void AppendReadData(const char* data, int size);
    // Ends the loop with the client gone: clears the flag, disconnects, emits SigPipeDisconnected.
    void Disconnected();

    QString m_pipeName;
    HANDLE m_hPipe;
    HANDLE m_hConnectEvent;  // manual reset, created signalled: the OVERLAPPED event of every I/O
    HANDLE m_hExitEvent;     // manual reset, created unsignalled: ends the loop
    char m_readBuffer[kReadBufferSize];
    std::atomic<bool> m_bConnected;
    QByteArray m_cacheData;  // received bytes not yet consumed as frames
};
