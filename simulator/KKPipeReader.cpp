#include "simulator/KKPipeReader.h"

#include <QDebug>

#include <vector>

namespace {

constexpr DWORD kWatchBufferSize = 512;  // bytes; the module never writes its read pipe

// The codes with which a pipe tells that its server end has gone: closed (109), closing (232), or
// disconnected by the server (233).
bool IsPeerGone(DWORD error)
{
    return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
}

}  // namespace

// One pipe the reader keeps a read pending on. Lives on run()'s frame: the OVERLAPPED and the
// buffer must not move while a read is pending, and every read is settled before run() returns.
struct KKPipeReader::Watch
{
    HANDLE pipe = nullptr;
    HANDLE event = nullptr;
    OVERLAPPED overlapped = {};
    std::vector<char> buffer;
    bool frames = false;   // incoming: its bytes are frames; outgoing: only watched for its end
    bool active = false;
    bool pending = false;
};

KKPipeReader::KKPipeReader(QObject* parent) : QThread(parent)
{
    m_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    setObjectName(QStringLiteral("KKPipeReader"));
}

KKPipeReader::~KKPipeReader()
{
    Stop();
    if (m_stopEvent)
        CloseHandle(m_stopEvent);
}

void KKPipeReader::Start(HANDLE incoming, HANDLE outgoing, int session)
{
    Stop();  // normally a no-op: a run that ended by itself (PipeGone) is only joined
    m_incoming = incoming;
    m_outgoing = outgoing;
    m_session = session;
    start();
}

void KKPipeReader::Stop()
{
    m_stopRequested = true;
    if (m_stopEvent)
        SetEvent(m_stopEvent);
    wait();
    if (m_stopEvent)
        ResetEvent(m_stopEvent);
    m_stopRequested = false;
}

void KKPipeReader::run()
{
    Watch watches[2];
    watches[0].pipe = m_incoming;
    watches[0].frames = true;
    watches[0].buffer.resize(kBufferSize);
    watches[1].pipe = m_outgoing;
    watches[1].buffer.resize(kWatchBufferSize);
    for (Watch& watch : watches) {
        watch.active = watch.pipe != nullptr;
        if (watch.active)
            watch.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (watch.active && !watch.event) {
            const DWORD error = GetLastError();  // before Qt's logging can reset it
            qDebug().noquote() << QStringLiteral("KKPipeReader: CreateEvent failed with %1").arg(error);
            watch.active = false;
        }
    }

    bool alive = m_stopEvent != nullptr;
    while (alive && !m_stopRequested) {
        // Start a read on every pipe that has none. One that completes at once is taken and the
        // loop comes round again (checking the stop flag) before anything waits.
        bool completedAtOnce = false;
        for (Watch& watch : watches) {
            if (alive && watch.active && !watch.pending) {
                alive = Issue(watch);
                completedAtOnce = completedAtOnce || !watch.pending;
            }
        }
        if (!alive || completedAtOnce)
            continue;
        Flush();  // nothing more is here for now: hand over what was read before sleeping

        // The stop event first: WaitForMultipleObjects reports the lowest signalled index.
        HANDLE handles[3] = {m_stopEvent, nullptr, nullptr};
        Watch* waited[3] = {nullptr, nullptr, nullptr};
        DWORD count = 1;
        for (Watch& watch : watches) {
            if (watch.active && watch.pending) {
                handles[count] = watch.event;
                waited[count] = &watch;
                ++count;
            }
        }
        const DWORD index = WaitForMultipleObjects(count, handles, FALSE, INFINITE) - WAIT_OBJECT_0;
        if (index == 0)
            break;
        if (index >= count) {
            // Cannot happen with valid events; if it does, the reader is of no more use, and the
            // owner is told as if the pipes had gone.
            const DWORD error = GetLastError();
            qDebug().noquote() << QStringLiteral("KKPipeReader: WaitForMultipleObjects failed with %1").arg(error);
            Flush();
            emit PipeGone(m_session, error);
            break;
        }
        Watch& watch = *waited[index];
        DWORD transferred = 0;
        const BOOL ok = GetOverlappedResult(watch.pipe, &watch.overlapped, &transferred, FALSE);
        const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        watch.pending = false;
        alive = Complete(watch, ok, error, transferred);
    }

    for (Watch& watch : watches) {
        Settle(watch);
        if (watch.event)
            CloseHandle(watch.event);
    }
    Flush();
}

bool KKPipeReader::Issue(Watch& watch)
{
    watch.overlapped = OVERLAPPED{};
    watch.overlapped.hEvent = watch.event;
    DWORD read = 0;
    if (ReadFile(watch.pipe, watch.buffer.data(), DWORD(watch.buffer.size()), &read, &watch.overlapped))
        return Complete(watch, TRUE, ERROR_SUCCESS, read);
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        watch.pending = true;
        return true;
    }
    if (error == ERROR_MORE_DATA) {
        // A partial message read that completed at once reports its count in the OVERLAPPED.
        GetOverlappedResult(watch.pipe, &watch.overlapped, &read, FALSE);
    }
    return Complete(watch, FALSE, error, read);
}

bool KKPipeReader::Complete(Watch& watch, BOOL ok, DWORD error, DWORD transferred)
{
    // ERROR_MORE_DATA is no failure: the message was longer than the buffer, its first bytes are
    // here and the next read returns the rest. Frames are reassembled as a byte stream anyway.
    if (ok || error == ERROR_MORE_DATA) {
        if (watch.frames)
            Deliver(watch.buffer.data(), int(transferred));
        else if (transferred > 0)
            qDebug().noquote() << QStringLiteral("KKPipeReader: ignored %1 bytes on the read pipe").arg(transferred);
        return true;
    }
    if (!watch.frames && !IsPeerGone(error)) {
        // The watch is a convenience; a pipe that cannot be read this way is simply not watched.
        qDebug().noquote() << QStringLiteral("KKPipeReader: cannot watch the read pipe (error %1)").arg(error);
        watch.active = false;
        return true;
    }
    if (!IsPeerGone(error))
        qDebug().noquote() << QStringLiteral("KKPipeReader: ReadFile failed with %1").arg(error);
    Flush();  // what came before the end is handed over before the end is reported
    emit PipeGone(m_session, error);
    return false;
}

void KKPipeReader::Deliver(const char* data, int size)
{
    const KKFrameStream::Result result = m_stream.Append(data, size);
    for (const QByteArray& payload : result.payloads) {
        // The whole payload is decoded, NUL bytes included: a text form never holds one, so a
        // payload that does is not a message.
        m_batch.append({VXProcessMessage::CreateFromString(QString::fromUtf8(payload.constData(), payload.size())),
                        payload});
        m_batchBytes += payload.size();
        if (m_batch.size() >= kMaxBatch || m_batchBytes >= kMaxBatchBytes)
            Flush();
    }
    if (result.dropped) {
        qDebug().noquote() << QStringLiteral("KKPipeReader: invalid frame length %1, dropped %2 buffered bytes")
                                  .arg(result.badLength)
                                  .arg(result.droppedBytes);
    }
}

void KKPipeReader::Flush()
{
    if (m_batch.isEmpty())
        return;
    KKReceivedBatch batch;
    batch.reserve(kMaxBatch);
    m_batch.swap(batch);
    m_batchBytes = 0;
    emit Received(m_session, batch);
}

void KKPipeReader::Settle(Watch& watch)
{
    if (!watch.pending)
        return;
    // ERROR_NOT_FOUND from the cancel only means the read finished first; either way the wait
    // below returns once nothing of ours is in flight. Bytes that made it are kept: they have
    // left the pipe, and the next run continues the stream.
    CancelIoEx(watch.pipe, &watch.overlapped);
    DWORD transferred = 0;
    const BOOL ok = GetOverlappedResult(watch.pipe, &watch.overlapped, &transferred, TRUE);
    if (watch.frames && (ok || GetLastError() == ERROR_MORE_DATA))
        Deliver(watch.buffer.data(), int(transferred));
    watch.pending = false;
}
