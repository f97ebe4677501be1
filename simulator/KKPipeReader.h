#pragma once

#include "simulator/KKFrameStream.h"
#include "simulator/KKMessageMetaType.h"
#include "win32layer/Win32Api.h"

#include <QByteArray>
#include <QThread>

#include <atomic>

// The endpoint's reader thread. It reads the module's write pipe (the "incoming" handle),
// reassembles frames, turns each payload into a message and hands it over; and it keeps a read
// pending on the module's read pipe (the "outgoing" handle, which the module never writes) only to
// learn when the module closes it. Either handle may be absent.
//
// Threads. The object lives in its owner's thread (the endpoint's), which alone calls Start, Stop
// and ResetStream and receives the signals, queued. run() - the reads, the reassembly, the parsing
// and every emit - runs in the reader's own thread and calls nothing but the Win32 layer and the
// message parser. The handles and the session are written by Start before the thread starts; the
// frame stream belongs to the reader thread while it runs and to the owner between runs (start
// and join order the hand-over). m_stopRequested is written by the owner and read by the reader.
//
// Payloads are handed over in batches, in order: everything read since the thread last waited,
// at most kMaxBatch payloads or about kMaxBatchBytes at a time. A flood of small messages then
// costs one queued call per batch instead of one per message (client CPU per 100-byte message
// 8 -> 5 us), and a lone message is handed over as soon as the next read has to wait, so batching
// adds no delay. Large payloads go one by one: holding several 64 KiB texts at once made the
// allocator map and unmap fresh pages for each and cost more than the hand-over saves.
//
// Stopping is a protocol: set the flag and the stop event, the thread cancels its pending reads
// and waits for their completion, then returns; Stop joins it. Only after that may the owner close
// a handle, so no read of ours is ever left on a closed handle or a handle value used again.
class KKPipeReader : public QThread
{
    Q_OBJECT
public:
    // Bytes per ReadFile on the incoming pipe: a 64 KiB payload's frame arrives in one read.
    static constexpr DWORD kBufferSize = 256 * 1024;
    static constexpr int kMaxBatch = 256;
    static constexpr int kMaxBatchBytes = 64 * 1024;

    explicit KKPipeReader(QObject* parent = nullptr);
    ~KKPipeReader() override;

    // Starts the thread; it must not be running. `session` comes back with every signal so the
    // owner can ignore what an earlier connection left in its event queue.
    void Start(HANDLE incoming, HANDLE outgoing, int session);
    // Ends the thread and joins it. Returns at once if it is not running.
    void Stop();
    // Forgets a partly received frame (its pipe was closed). Only while stopped.
    void ResetStream() { m_stream.Clear(); }

signals:
    // Payloads in the order they arrived; always before a PipeGone of the same run.
    void Received(int session, KKReceivedBatch batch);
    // A pipe failed (109, 232, 233 ...): the module's end is gone. Emitted at most once per run,
    // and the run ends with it.
    void PipeGone(int session, quint32 error);

protected:
    void run() override;

private:
    struct Watch;
    // Starts a read on `watch` unless one is pending; false when the pipe failed (run ends).
    bool Issue(Watch& watch);
    // Takes the result of a finished read; false when the pipe failed (run ends).
    bool Complete(Watch& watch, BOOL ok, DWORD error, DWORD transferred);
    void Deliver(const char* data, int size);
    void Flush();
    void Settle(Watch& watch);

    HANDLE m_incoming = nullptr;
    HANDLE m_outgoing = nullptr;
    int m_session = 0;
    HANDLE m_stopEvent;  // manual reset; set by Stop, reset once the thread has been joined
    std::atomic<bool> m_stopRequested{false};
    KKFrameStream m_stream;
    KKReceivedBatch m_batch;  // the reader thread's, while it runs
    int m_batchBytes = 0;
};
