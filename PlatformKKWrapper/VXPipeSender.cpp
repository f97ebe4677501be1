#include "PlatformKKWrapper/VXPipeSender.h"

#include "PlatformKKWrapper/KKThreadCheck.h"
#include "PlatformKKWrapper/VXPipeFrame.h"
#include "PlatformKKWrapper/VXPipeInstance.h"
#include "VXFoundation/VXThread.h"
#include "VXFoundation/VXThreadAnnotations.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEvent>

namespace {

// The largest frame buffer the worker keeps between writes.
const int kKeptFrameCapacity = 1024 * 1024;

// A payload for the worker to write. Created by the queueing thread, delivered and deleted by the
// worker's event loop.
class WriteEvent : public QEvent
{
public:
    explicit WriteEvent(const QByteArray& data) : QEvent(Type()), payload(data) {}
    static QEvent::Type Type()
    {
        static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
        return type;
    }
    const QByteArray payload;
};

void ConnectFailed(DWORD error)
{
    qDebug().noquote() << QString::asprintf("ConnectNamedPipe failed with %d./n", int(error));
}

}  // namespace

VXPipeSender::VXPipeSender(QObject* parent)
    : QObject(parent),
      m_pThread(nullptr),
      m_hPipe(nullptr),
      m_hConnectEvent(nullptr),
      m_hExitEvent(nullptr),
      m_hConnectedEvent(nullptr),
      m_hWriteEvent(nullptr),
      m_bConnected(false)
{
    m_pThread = new VXThread(this);
    m_pThread->SetThreadName(QStringLiteral("VXPipeSenderThread"));
    moveToThread(m_pThread);
    m_pThread->start(QThread::NormalPriority);

    m_hConnectEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    m_hExitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hConnectedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hWriteEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

VXPipeSender::~VXPipeSender()
{
    // Teardown runs in the server's thread while the worker may still wait for the client or
    // run a queued write. End both first, then join, and only then close the handles, so that
    // no write ever touches a handle that is already closed and no teardown waits for a client:
    //  - the exit event ends a connection wait at once;
    //  - disconnecting the pipe makes a write that blocks on a client which stopped reading fail.
    //    It is done whatever the flag says, because a Connect that completes right now may not
    //    have set the flag yet.
    if (m_hExitEvent)
        SetEvent(m_hExitEvent);
    m_bConnected = false;
    if (m_hPipe && m_hPipe != INVALID_HANDLE_VALUE)
        DisconnectNamedPipe(m_hPipe);
    StopThread();

    VXPipeInstance::CloseHandles(m_hConnectEvent, m_hExitEvent, m_hPipe);
    for (HANDLE* event : {&m_hConnectedEvent, &m_hWriteEvent}) {
        if (*event)
            CloseHandle(*event);
        *event = nullptr;
    }
}

bool VXPipeSender::CreatePipe(const QString& pipeName)
{
    KK_ASSERT_NOT_IN_THREAD(m_pThread);
    m_pipeName = pipeName;
    m_hPipe = VXPipeInstance::Create(m_pipeName);
    return m_hPipe != INVALID_HANDLE_VALUE;
}

bool VXPipeSender::IsConnected() const
{
    return m_bConnected;
}

QByteArray VXPipeSender::PackData(const QByteArray& data) const
{
    return VXPipeFrame::Pack(data);
}

void VXPipeSender::StopThread()
{
    if (!m_pThread)
        return;
    m_pThread->quit();
    m_pThread->wait();
    delete m_pThread;
    m_pThread = nullptr;
}

void VXPipeSender::QueueWrite(const QByteArray& data)
{
    auto* event = new WriteEvent(data);
    VX_HAPPENS_BEFORE(this);  // the event and its payload, for event() in the worker
    QCoreApplication::postEvent(this, event);
}

bool VXPipeSender::event(QEvent* event)
{
    // Qt hands posted events over under its own lock, which ThreadSanitizer cannot see.
    VX_HAPPENS_AFTER(this);
    if (event->type() == WriteEvent::Type()) {
        KK_ASSERT_IN_THREAD(m_pThread);
        WriteData(static_cast<WriteEvent*>(event)->payload);
        return true;
    }
    return QObject::event(event);
}

bool VXPipeSender::WriteData(const QByteArray& data)
{
    VX_HAPPENS_AFTER(this);  // queued by the server's thread
    if (data.isEmpty() || !m_bConnected)
        return false;
    if (QThread::currentThread() != m_pThread) {
        // A direct call from the server's thread: a frame and an event of its own, so that it
        // never shares either with a write the worker is doing.
        const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const bool ok = event && WriteFrame(PackData(data), event);
        if (event)
            CloseHandle(event);
        return ok;
    }
    // The worker packs every frame into the same buffer: a fresh one per message would be
    // allocated and, for large payloads, faulted in page by page on each write.
    VXPipeFrame::PackInto(m_frame, data);
    const bool ok = WriteFrame(m_frame, m_hWriteEvent);
    if (m_frame.capacity() > kKeptFrameCapacity)
        m_frame = QByteArray();  // a rare huge frame does not stay pinned in memory
    return ok;
}

bool VXPipeSender::WriteFrame(const QByteArray& frame, HANDLE event)
{
    // The handle is overlapped, and the receiver's thread keeps a read pending on it to notice the
    // client leaving: a write without an OVERLAPPED would be waited for on the handle itself,
    // which that read's completion signals too. Its own OVERLAPPED and event keep the two apart;
    // the call still returns only once the whole frame is written (or the write failed, for
    // example because teardown disconnected the pipe under a client that stopped reading).
    if (!event)
        return false;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    DWORD written = 0;
    BOOL ok = WriteFile(m_hPipe, frame.constData(), DWORD(frame.size()), &written, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(m_hPipe, &overlapped, &written, TRUE);
    return ok && written == DWORD(frame.size());
}

void VXPipeSender::Connect()
{
    KK_ASSERT_IN_THREAD(m_pThread);
    VX_HAPPENS_AFTER(this);  // queued by the server's thread after CreatePipe
    if (!m_hPipe || m_hPipe == INVALID_HANDLE_VALUE)
        return;

    OVERLAPPED overlapped = {};
    overlapped.hEvent = m_hConnectEvent;
    if (ConnectNamedPipe(m_hPipe, &overlapped)) {
        ConnectFailed(GetLastError());
        return;
    }

    bool pending = false;
    const DWORD error = GetLastError();
    switch (error) {
    case ERROR_PIPE_CONNECTED:
        // The client came between CreateNamedPipeW and ConnectNamedPipe; Windows leaves the
        // event unsignalled in that case, so signal it for the wait below.
        m_bConnected = true;
        if (!SetEvent(m_hConnectEvent)) {
            ConnectFailed(GetLastError());
            m_bConnected = false;
            return;
        }
        break;
    case ERROR_IO_PENDING:
        pending = true;
        break;
    case ERROR_NO_DATA:
        // A client opened the pipe and closed it again before this call. It came and went all
        // the same: set the connected event, so that the receiver's watch reads the pipe, finds
        // the client gone, and the server makes both pipes afresh instead of waiting for nobody.
        ConnectFailed(error);
        m_bConnected = false;
        SetEvent(m_hConnectedEvent);
        return;
    default:
        ConnectFailed(error);
        m_bConnected = false;
        return;
    }

    const HANDLE events[2] = {m_hConnectEvent, m_hExitEvent};
    const DWORD waited = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    DWORD transferred = 0;
    if (waited != WAIT_OBJECT_0) {
        // The exit event (or a failed wait): leave the flag as it is. The OVERLAPPED lives on this
        // stack frame, so a connection still pending must be over before we return: cancel it
        // and wait for the cancellation to land ("not found" just means it completed already).
        if (pending) {
            CancelIoEx(m_hPipe, &overlapped);
            GetOverlappedResult(m_hPipe, &overlapped, &transferred, TRUE);
        }
        return;
    }
    if (pending)
        m_bConnected = GetOverlappedResult(m_hPipe, &overlapped, &transferred, FALSE) != FALSE;
    if (m_bConnected)
        SetEvent(m_hConnectedEvent);
}

void VXPipeSender::DisConnect()
{
    KK_ASSERT_NOT_IN_THREAD(m_pThread);
    if (!m_bConnected)
        return;
    m_bConnected = false;
    if (m_hPipe)
        DisconnectNamedPipe(m_hPipe);
}
