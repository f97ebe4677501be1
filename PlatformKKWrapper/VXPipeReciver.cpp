#include "PlatformKKWrapper/VXPipeReciver.h"

#include "PlatformKKWrapper/VXPipeFrame.h"
#include "PlatformKKWrapper/VXPipeInstance.h"
#include "VXFoundation/VXThreadAnnotations.h"

#include <QDebug>

#include <cstring>

namespace {

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
      m_bConnected(false)
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
    m_pipeName = pipeName;
    m_hPipe = VXPipeInstance::Create(m_pipeName);
    return m_hPipe != INVALID_HANDLE_VALUE;
}

void VXPipeReciver::SetExitEvent()
{
    if (m_hExitEvent)
        SetEvent(m_hExitEvent);
}

bool VXPipeReciver::IsConnected() const
{
    return m_bConnected;
}

void VXPipeReciver::AppendReadData(const QByteArray& data)
{
    AppendReadData(data.constData(), data.size());
}

void VXPipeReciver::AppendReadData(const char* data, int size)
{
    const VXPipeFrame::Outcome outcome =
        VXPipeFrame::Reassemble(m_cacheData, data, size, [this](const QByteArray& payload) { emit SigReadData(payload); });
    if (outcome.dropped) {
        qDebug().noquote() << QStringLiteral("Invalid frame length %1 from %2, dropped %3 buffered bytes")
                                  .arg(outcome.badLength)
                                  .arg(m_pipeName)
                                  .arg(outcome.droppedBytes);
    }
}

void VXPipeReciver::Disconnected()
{
    m_bConnected = false;
    DisconnectNamedPipe(m_hPipe);
    emit SigPipeDisconnected();
}

void VXPipeReciver::run()
{
    ReadLoop();
    VX_HAPPENS_BEFORE(this);  // paired with the destructor, which runs after the join
}

void VXPipeReciver::ReadLoop()
{
    if (!m_hPipe || m_hPipe == INVALID_HANDLE_VALUE)
        return;

    // One OVERLAPPED for the connection and every read. It lives on this frame, so whatever I/O
    // is in flight when the loop ends is cancelled and waited for before run() returns.
    OVERLAPPED overlapped = {};
    overlapped.hEvent = m_hConnectEvent;
    bool pending = false;
    DWORD transferred = 0;
    const auto settleInFlightIo = [&] {
        CancelIoEx(m_hPipe, &overlapped);  // ERROR_NOT_FOUND: nothing was in flight
        GetOverlappedResult(m_hPipe, &overlapped, &transferred, TRUE);
    };

    if (ConnectNamedPipe(m_hPipe, &overlapped)) {
        DebugCode("ConnectNamedPipe failed with %d./n", GetLastError());
        return;
    }
    const DWORD connectError = GetLastError();
    if (connectError == ERROR_PIPE_CONNECTED) {
        // The client came before ConnectNamedPipe: Windows does not signal the event then.
        if (!SetEvent(m_hConnectEvent)) {
            DebugCode("ConnectNamedPipe failed with %d./n", GetLastError());
            return;
        }
        m_bConnected = true;
        emit SigPipeConnected();
    } else if (connectError == ERROR_IO_PENDING) {
        pending = true;
    } else {
        DebugCode("ConnectNamedPipe failed with %d./n", connectError);
        return;
    }

    const HANDLE events[2] = {m_hConnectEvent, m_hExitEvent};
    for (;;) {
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
            settleInFlightIo();
            DisconnectNamedPipe(m_hPipe);
            qDebug().noquote() << QStringLiteral("exit NamedPipeWorkThread/n");
            return;
        }

        if (pending) {
            const BOOL ok = GetOverlappedResult(m_hPipe, &overlapped, &transferred, FALSE);
            const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
            if (!m_bConnected) {
                // The completion is that of the pending connection.
                if (!ok) {
                    DebugCode("Error %d./n", error);
                    return;
                }
                m_bConnected = true;
                emit SigPipeConnected();
            } else {
                if (transferred == 0 || (!ok && error != ERROR_MORE_DATA)) {
                    Disconnected();
                    return;
                }
                // ERROR_MORE_DATA is no error: this is a message pipe and the message was longer
                // than the buffer; the rest comes with the next reads.
                AppendReadData(m_readBuffer, int(transferred));
            }
        }

        std::memset(m_readBuffer, 0, sizeof(m_readBuffer));
        DWORD read = 0;
        if (ReadFile(m_hPipe, m_readBuffer, kReadBufferSize, &read, &overlapped)) {
            if (read > 0) {
                pending = false;
                AppendReadData(m_readBuffer, int(read));
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
        Disconnected();
        return;
    }
}
