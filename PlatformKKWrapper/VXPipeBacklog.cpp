#include "PlatformKKWrapper/VXPipeBacklog.h"

#include <QDebug>

VXPipeBacklog::VXPipeBacklog(qint64 maxBytes, int maxPayloads)
    : m_maxBytes(qMax<qint64>(1, maxBytes)),
      m_maxPayloads(qMax(1, maxPayloads)),
      m_hRoomEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

VXPipeBacklog::~VXPipeBacklog()
{
    if (m_hRoomEvent)
        CloseHandle(m_hRoomEvent);
}

void VXPipeBacklog::Add(int bytes)
{
    const qint64 nowBytes = m_bytes.fetch_add(bytes) + bytes;
    const int nowPayloads = m_payloads.fetch_add(1) + 1;
    if (nowBytes > m_peakBytes.load(std::memory_order_relaxed))
        m_peakBytes.store(nowBytes, std::memory_order_relaxed);
    if (nowPayloads > m_peakPayloads.load(std::memory_order_relaxed))
        m_peakPayloads.store(nowPayloads, std::memory_order_relaxed);
}

void VXPipeBacklog::Take(int bytes)
{
    m_bytes.fetch_sub(bytes);
    m_payloads.fetch_sub(1);
    // Sequentially consistent with the producer's "waiting, then check again": either the producer
    // sees what was just taken, or this sees the producer waiting and wakes it.
    if (m_producerWaiting.load() && HasDrained())
        SetEvent(m_hRoomEvent);
}

bool VXPipeBacklog::IsFull() const
{
    return m_bytes.load() >= m_maxBytes || m_payloads.load() >= m_maxPayloads;
}

bool VXPipeBacklog::HasDrained() const
{
    return m_bytes.load() <= m_maxBytes / 2 && m_payloads.load() <= m_maxPayloads / 2;
}

bool VXPipeBacklog::WaitForRoom(HANDLE exitEvent)
{
    if (!IsFull())
        return true;
    if (!m_hRoomEvent) {
        // Without the event there is no way to wait; reading on keeps the module working, only
        // without the bound.
        qDebug().noquote() << QStringLiteral("VXPipeBacklog: no room event, the receive backlog is not bounded");
        return true;
    }
    const HANDLE events[2] = {m_hRoomEvent, exitEvent};
    bool room = true;
    while (!HasDrained()) {
        // Reset before announcing the wait, and check again after it: a Take that lands in
        // between either is seen by the check or sees the flag and sets the event.
        ResetEvent(m_hRoomEvent);
        m_producerWaiting.store(true);
        if (HasDrained()) {
            m_producerWaiting.store(false);
            break;
        }
        const DWORD waited = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        m_producerWaiting.store(false);
        if (waited != WAIT_OBJECT_0) {
            room = false;  // the exit event, or a wait that failed: either way, stop
            break;
        }
    }
    return room;
}
