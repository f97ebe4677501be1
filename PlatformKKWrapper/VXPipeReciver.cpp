#include "PlatformKKWrapper/VXPipeReciver.h"

#include "PlatformKKWrapper/KKThreadCheck.h"
#include "PlatformKKWrapper/VXPipeBacklog.h"
#include "PlatformKKWrapper/VXPipeClientWatch.h"
#include "PlatformKKWrapper/VXPipeFrame.h"
#include "PlatformKKWrapper/VXPipeInstance.h"
#include "VXFoundation/VXThreadAnnotations.h"

#include <QDebug>

#include <cstring>

namespace {

// How long the loop waits for this pipe's connection to show once the write pipe's client has gone.
constexpr DWORD kConnectGraceMs = 100;

void DebugCode(const char* format, DWORD error)
{
    qDebug().noquote() << QString::asprintf(format, int(error));
}

}  // namespace

VXPipeReciver::VXPipeReciver(QObject* parent)
    : QThread(parent),
      m_hPipe(nullptr),
      m_hConnectEvent(nullptr),
      m_hExitEvent(nullptr),
      m_readBuffer{},
      m_bConnected(false),
      m_payloadLimit(VXPipeFrame::kDefaultPayloadLimit),
      m_pBacklog(nullptr),
      m_hWatchedPipe(nullptr),
      m_hWatchedConnected(nullptr)
{
    m_hConnectEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    m_hExitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

VXPipeReciver::~VXPipeReciver()
{
    VX_HAPPENS_AFTER(this);  // the thread was joined (through Qt) before the receiver is deleted
    VXPipeInstance::CloseHandles(m_hConnectEvent, m_hExitEvent, m_hPipe);
}

bool VXPipeReciver::CreatePipe(const QString& pipeName)
{
    KK_ASSERT_OWNER_THREAD(this);
    m_pipeName = pipeName;
    m_hPipe = VXPipeInstance::Create(m_pipeName);
    return m_hPipe != INVALID_HANDLE_VALUE;
}

void VXPipeReciver::SetPayloadLimit(int bytes)
{
    KK_ASSERT_OWNER_THREAD(this);
    m_payloadLimit = qBound(0, bytes, VXPipeFrame::kMaxPayload);
}

void VXPipeReciver::SetBacklog(VXPipeBacklog* backlog)
{
    KK_ASSERT_OWNER_THREAD(this);
    m_pBacklog = backlog;
}

void VXPipeReciver::WatchWritePipe(HANDLE pipe, HANDLE connectedEvent)
{
    KK_ASSERT_OWNER_THREAD(this);
    m_hWatchedPipe = pipe;
    m_hWatchedConnected = connectedEvent;
}

void VXPipeReciver::SetExitEvent()
{
    KK_ASSERT_OWNER_THREAD(this);
    if (m_hExitEvent)
        SetEvent(m_hExitEvent);
}

bool VXPipeReciver::IsConnected() const
{
    return m_bConnected;
}

bool VXPipeReciver::AppendReadData(const QByteArray& data)
{
    return AppendReadData(data.constData(), data.size());
}

bool VXPipeReciver::AppendReadData(const char* data, int size)
{
    const VXPipeFrame::Outcome outcome = VXPipeFrame::Reassemble(
        m_cacheData, data, size,
        [this](const QByteArray& payload) {
            if (m_pBacklog)
                m_pBacklog->Add(payload.size());
            emit SigReadData(payload);
        },
        m_payloadLimit);
    if (!outcome.dropped)
        return true;
    const QString text = QStringLiteral("frame length %1 is outside 0..%2; dropped %3 buffered bytes and ended the connection")
                             .arg(outcome.badLength)
                             .arg(m_payloadLimit)
                             .arg(outcome.droppedBytes);
    qDebug().noquote() << QStringLiteral("%1: %2").arg(m_pipeName, text);
    emit SigProtocolError(text);
    return false;
}

void VXPipeReciver::Disconnected()
{
    KK_ASSERT_IN_THREAD(this);
    if (!m_cacheData.isEmpty()) {
        // Whatever the client was sending is lost with it; say how much, once.
        const QString text =
            m_cacheData.size() < VXPipeFrame::kLengthSize
                ? QStringLiteral("the client left inside a frame's length field (%1 of 4 bytes)").arg(m_cacheData.size())
                : QStringLiteral("the client left in the middle of a frame (%1 of %2 bytes)")
                      .arg(m_cacheData.size())
                      .arg(qint64(VXPipeFrame::ReadLength(m_cacheData.constData())) + VXPipeFrame::kLengthSize);
        m_cacheData = QByteArray();
        emit SigProtocolError(text);
    }
    m_bConnected = false;
    DisconnectNamedPipe(m_hPipe);
    emit SigPipeDisconnected();
}

void VXPipeReciver::run()
{
    KK_ASSERT_IN_THREAD(this);
    switch (ReadLoop()) {
    case LoopEnd::ClientGone:
        Disconnected();
        break;
    case LoopEnd::EndedFromOutside:
        // Nothing to tell: whoever set the exit event is tearing the pipes down and knows.
        break;
    case LoopEnd::CouldNotListen:
        // Nothing to tell either: no client ever connected to this instance, so there is no close
        // for the server to handle. The debug message says why; the next launch finds this pipe
        // not waiting for a client (VXPipeServer::PrepareForClient) and makes both afresh.
        break;
    }
    VX_HAPPENS_BEFORE(this);  // paired with the destructor, which runs after the join
}

VXPipeReciver::LoopEnd VXPipeReciver::ReadLoop()
{
    KK_ASSERT_IN_THREAD(this);
    if (!m_hPipe || m_hPipe == INVALID_HANDLE_VALUE)
        return LoopEnd::CouldNotListen;

    // One OVERLAPPED for the connection and every read. It lives on this frame, so whatever I/O
    // is in flight when the loop ends is cancelled and waited for before run() returns; the watch
    // of the write pipe's client settles its own read in its destructor.
    OVERLAPPED overlapped = {};
    overlapped.hEvent = m_hConnectEvent;
    bool pending = false;
    DWORD transferred = 0;
    VXPipeClientWatch writePipeClient(m_hWatchedPipe, m_hWatchedConnected);
    const auto settleInFlightIo = [&] {
        CancelIoEx(m_hPipe, &overlapped);  // ERROR_NOT_FOUND: nothing was in flight
        GetOverlappedResult(m_hPipe, &overlapped, &transferred, TRUE);
    };
    const auto exitRequested = [&] {
        settleInFlightIo();
        DisconnectNamedPipe(m_hPipe);
        qDebug().noquote() << QStringLiteral("exit NamedPipeWorkThread/n");
    };

    if (ConnectNamedPipe(m_hPipe, &overlapped)) {
        DebugCode("ConnectNamedPipe failed with %d./n", GetLastError());
        return LoopEnd::CouldNotListen;
    }
    const DWORD connectError = GetLastError();
    if (connectError == ERROR_PIPE_CONNECTED) {
        // The client came before ConnectNamedPipe: Windows does not signal the event then.
        if (!SetEvent(m_hConnectEvent)) {
            DebugCode("ConnectNamedPipe failed with %d./n", GetLastError());
            return LoopEnd::CouldNotListen;
        }
        m_bConnected = true;
        emit SigPipeConnected();
    } else if (connectError == ERROR_IO_PENDING) {
        pending = true;
    } else {
        DebugCode("ConnectNamedPipe failed with %d./n", connectError);
        return LoopEnd::CouldNotListen;
    }

    for (;;) {
        // The I/O event first: WaitForMultipleObjects reports the lowest signalled index, so a
        // connection that has just completed is seen before the write pipe's client leaving.
        const HANDLE events[3] = {m_hConnectEvent, m_hExitEvent, writePipeClient.Handle()};
        const DWORD waited = WaitForMultipleObjects(events[2] ? 3 : 2, events, FALSE, INFINITE);
        if (waited == WAIT_OBJECT_0 + 2) {
            // A client that opened both pipes and died at once can look, from here, as if it had
            // left the write pipe first: this thread may learn of its death before it has seen
            // this pipe's connection complete. The connection, if there is one, has completed or
            // is about to; give it a moment to show before the client counts as never here.
            if (!writePipeClient.OnSignalled() && !m_bConnected &&
                WaitForMultipleObjects(2, events, FALSE, kConnectGraceMs) == WAIT_TIMEOUT) {
                // The write pipe's client has gone without ever opening this pipe: nobody is
                // coming, and the write pipe stays held until both are made afresh.
                settleInFlightIo();
                qDebug().noquote() << QStringLiteral("The client left the write pipe before opening %1").arg(m_pipeName);
                return LoopEnd::ClientGone;
            }
            continue;  // still there, or connected after all: the next wait tells
        }
        if (waited != WAIT_OBJECT_0) {
            exitRequested();  // the exit event, or a failed wait
            return LoopEnd::EndedFromOutside;
        }

        if (pending) {
            const BOOL ok = GetOverlappedResult(m_hPipe, &overlapped, &transferred, FALSE);
            const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
            if (!m_bConnected) {
                // The completion is that of the pending connection.
                if (!ok) {
                    DebugCode("Error %d./n", error);
                    return LoopEnd::CouldNotListen;
                }
                m_bConnected = true;
                emit SigPipeConnected();
            } else {
                if (transferred == 0 || (!ok && error != ERROR_MORE_DATA)) {
                    return LoopEnd::ClientGone;
                }
                // ERROR_MORE_DATA is no error: this is a message pipe and the message was longer
                // than the buffer; the rest comes with the next reads.
                if (!AppendReadData(m_readBuffer, int(transferred))) {
                    return LoopEnd::ClientGone;
                }
            }
        }

        // Nothing is in flight here. With too much handed over and not yet taken by the server's
        // thread, stop reading until it has caught up: the client's writes wait in the pipe.
        if (m_pBacklog && !m_pBacklog->WaitForRoom(m_hExitEvent)) {
            exitRequested();
            return LoopEnd::EndedFromOutside;
        }
        std::memset(m_readBuffer, 0, sizeof(m_readBuffer));
        DWORD read = 0;
        if (ReadFile(m_hPipe, m_readBuffer, kReadBufferSize, &read, &overlapped)) {
            if (read > 0) {
                pending = false;
                if (!AppendReadData(m_readBuffer, int(read))) {
                    return LoopEnd::ClientGone;
                }
            }
            continue;  // the event is signalled: the loop goes straight on
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING || error == ERROR_MORE_DATA) {
            pending = true;
            continue;
        }
        // Any other immediate failure (the client has just closed its end, ...) starts no I/O
        // that would signal the event; waiting would never end, so it counts as the client
        // leaving.
        return LoopEnd::ClientGone;
    }
}
