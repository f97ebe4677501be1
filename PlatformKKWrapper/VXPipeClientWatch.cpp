#include "PlatformKKWrapper/VXPipeClientWatch.h"

#include <QDebug>

namespace {

// A read on the server's end fails with one of these once the client has closed its end.
bool IsClientGone(DWORD error)
{
    return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
}

}  // namespace

VXPipeClientWatch::VXPipeClientWatch(HANDLE pipe, HANDLE connectedEvent)
    : m_pipe(pipe),
      m_connectedEvent(connectedEvent),
      m_readEvent(nullptr),
      m_state(State::Done),
      m_overlapped{}
{
    if (!m_pipe || m_pipe == INVALID_HANDLE_VALUE || !m_connectedEvent)
        return;
    m_readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_readEvent)
        m_state = State::WaitingForClient;
}

VXPipeClientWatch::~VXPipeClientWatch()
{
    if (m_state == State::Reading) {
        // "Not found" from the cancel only means the read finished first; the wait returns once
        // nothing of ours is in flight on the OVERLAPPED.
        CancelIoEx(m_pipe, &m_overlapped);
        DWORD transferred = 0;
        GetOverlappedResult(m_pipe, &m_overlapped, &transferred, TRUE);
    }
    if (m_readEvent)
        CloseHandle(m_readEvent);
}

HANDLE VXPipeClientWatch::Handle() const
{
    switch (m_state) {
    case State::WaitingForClient: return m_connectedEvent;
    case State::Reading: return m_readEvent;
    case State::Done: break;
    }
    return nullptr;
}

bool VXPipeClientWatch::OnSignalled()
{
    if (m_state == State::Reading) {
        DWORD transferred = 0;
        if (!GetOverlappedResult(m_pipe, &m_overlapped, &transferred, FALSE)) {
            const DWORD error = GetLastError();
            if (error != ERROR_MORE_DATA) {
                if (!IsClientGone(error))
                    qDebug().noquote() << QStringLiteral("Watching the write pipe failed with %1").arg(error);
                m_state = State::Done;
                return false;
            }
        }
        if (transferred > 0)
            qDebug().noquote() << QStringLiteral("Ignored %1 bytes the client wrote on the write pipe").arg(transferred);
    } else if (m_state != State::WaitingForClient) {
        return false;
    }
    return StartRead();
}

bool VXPipeClientWatch::StartRead()
{
    // One read per signal, even when it completes at once: its event is then set, the loop comes
    // back here after serving its own pipe first, and a client that floods the write pipe cannot
    // hold the receiver's thread in this function.
    m_overlapped = OVERLAPPED{};
    m_overlapped.hEvent = m_readEvent;
    DWORD read = 0;
    if (ReadFile(m_pipe, m_buffer, DWORD(sizeof m_buffer), &read, &m_overlapped)) {
        m_state = State::Reading;
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING || error == ERROR_MORE_DATA) {
        m_state = State::Reading;
        return true;
    }
    if (!IsClientGone(error))
        qDebug().noquote() << QStringLiteral("Watching the write pipe failed with %1").arg(error);
    m_state = State::Done;
    return false;
}
