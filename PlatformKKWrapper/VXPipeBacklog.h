#pragma once

#include "win32layer/Win32Api.h"

#include <QtGlobal>

#include <atomic>

// The payloads the receiver's thread has handed to the server's thread that the server's thread
// has not taken yet. The hand-over is a queued signal per payload, and a queue has no limit of its
// own: a client that floods while the host's thread is busy would grow the host without bound.
// So the receiver counts what it hands over, the server counts what it takes, and once either
// limit is reached the receiver stops reading until the backlog has drained to half of both
// limits. Meanwhile the client's writes stay in the pipe, which holds them back as a pipe does.
//
// Threads. One producer, the receiver's thread (Add, WaitForRoom), and one consumer, the server's
// thread (Take). The counters are atomics read by both; the room event is set by the consumer and
// reset and waited on by the producer. The object belongs to the server, which outlives every
// receiver that uses it, so payloads of a receiver that is gone are still taken correctly.
class VXPipeBacklog
{
public:
    static constexpr qint64 kDefaultMaxBytes = 64 * 1024 * 1024;
    static constexpr int kDefaultMaxPayloads = 10000;

    explicit VXPipeBacklog(qint64 maxBytes = kDefaultMaxBytes, int maxPayloads = kDefaultMaxPayloads);
    ~VXPipeBacklog();
    VXPipeBacklog(const VXPipeBacklog&) = delete;
    VXPipeBacklog& operator=(const VXPipeBacklog&) = delete;

    // Producer: one payload of `bytes` handed over.
    void Add(int bytes);
    // Consumer: one payload of `bytes` taken.
    void Take(int bytes);
    // Whether the producer should stop reading now.
    bool IsFull() const;
    // Producer: returns at once while there is room, else waits until the backlog has drained to
    // half of both limits (true) or `exitEvent` is set (false).
    bool WaitForRoom(HANDLE exitEvent);

    // Any thread; for reports and tests.
    qint64 Bytes() const { return m_bytes.load(); }
    int Payloads() const { return m_payloads.load(); }
    // The most the backlog has held since it was created.
    qint64 PeakBytes() const { return m_peakBytes.load(); }
    int PeakPayloads() const { return m_peakPayloads.load(); }
    bool IsProducerWaiting() const { return m_producerWaiting.load(); }

private:
    bool HasDrained() const;

    const qint64 m_maxBytes;
    const int m_maxPayloads;
    std::atomic<qint64> m_bytes{0};
    std::atomic<int> m_payloads{0};
    std::atomic<qint64> m_peakBytes{0};  // written by the producer only
    std::atomic<int> m_peakPayloads{0};  // written by the producer only
    // True while the producer waits (or is about to): only then does Take set the room event, so
    // the consumer pays no system call per payload.
    std::atomic<bool> m_producerWaiting{false};
    HANDLE m_hRoomEvent;  // manual reset
};
