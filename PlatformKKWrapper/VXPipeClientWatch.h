#pragma once

#include "win32layer/Win32Api.h"

// Notices the client of the write pipe going away. The module only writes that pipe, so nothing
// it does would fail when the client dies there; but a client that opened the write pipe and died
// before opening the read pipe leaves the write pipe held by a dead peer, and the next client
// would find it busy. Once the sender has its client, the watch keeps one small read pending on
// the write pipe (the pipe is duplex; a well-behaved client never writes it): the read fails when
// the client closes its end, and whatever a client does write there is read and ignored.
//
// Threads. Used by the receiver's thread alone, inside its read loop: the loop waits on Handle()
// with its own events and calls OnSignalled() when that handle is signalled. The write pipe and
// the sender's connected event belong to the sender, which outlives the receiver's thread (the
// server joins the receiver before it deletes the sender). The OVERLAPPED and the buffer live in
// this object, which must not move while a read is pending; the destructor settles that read.
class VXPipeClientWatch
{
public:
    // `pipe`: the write pipe; `connectedEvent`: set by the sender once a client is connected to
    // it. With either missing there is nothing to watch.
    VXPipeClientWatch(HANDLE pipe, HANDLE connectedEvent);
    ~VXPipeClientWatch();
    VXPipeClientWatch(const VXPipeClientWatch&) = delete;
    VXPipeClientWatch& operator=(const VXPipeClientWatch&) = delete;

    // What to wait on now (the sender's connected event, then the read's event), or null once
    // there is nothing more to watch.
    HANDLE Handle() const;
    // After Handle() was signalled: true while the client is still there, false once it has gone
    // (from then on Handle() is null).
    bool OnSignalled();

private:
    enum class State { WaitingForClient, Reading, Done };

    // Starts the next read; false if the client has gone.
    bool StartRead();

    HANDLE m_pipe;
    HANDLE m_connectedEvent;
    HANDLE m_readEvent;  // manual reset, owned
    State m_state;
    OVERLAPPED m_overlapped;
    char m_buffer[256];
};
