#pragma once

#include "NtStatus.h"
#include "win32layer/Win32Api.h"

#include <cstdint>
#include <memory>

namespace win32layer {

class Event;
class ReadDriver;

// One pending ConnectNamedPipe, ReadFile or WriteFile: where its result goes and whom to wake.
//
// The OVERLAPPED is the caller's (or, for a call without one, a local of the blocked caller). While
// the request is pending it belongs to the layer: Internal reads STATUS_PENDING. complete() fills in
// InternalHigh, then publishes Internal with a release store and only then sets the events, so a
// thread that sees the final status, by GetOverlappedResult or by waiting on the event, also sees
// the byte count and the data. complete() is the last time the layer touches the OVERLAPPED or the
// buffer; the events were resolved when the call started, so hEvent is never read again.
//
// A read announces itself, for as long as it exists, to the events its completion will set, so that
// a thread waiting for them can complete it (Event::attachRead).
//
// Thread use: created by the calling thread, then owned by a pipe's queues and touched only under
// that pipe's mutex (by API threads and the reactor thread).
class IoRequest {
public:
    enum class Kind { Connect, Read, Write };

    // `driver`: for a read, the pipe end it is made on.
    IoRequest(Kind kind, OVERLAPPED* overlapped, std::shared_ptr<Event> userEvent,
              std::shared_ptr<Event> fileEvent, std::shared_ptr<Event> callerWakeup,
              const std::weak_ptr<ReadDriver>& driver = {});
    ~IoRequest();
    IoRequest(const IoRequest&) = delete;
    IoRequest& operator=(const IoRequest&) = delete;

    Kind kind() const { return kind_; }
    const OVERLAPPED* overlapped() const { return overlapped_; }

    void complete(NtStatus::Value status, uint32_t bytes);
    // Called under the pipe's mutex as the request starts: resets hEvent and the handle's event
    // once more. The call reset hEvent already; doing it again under the mutex orders it after any
    // completion still setting that event (a completion stores the status, then sets the events,
    // all under the mutex, and the caller may see the status and start this request in between).
    void resetEventsLocked();

    // Reads: the destination and its size, and the read mode in force when the call was made.
    char* buffer = nullptr;
    uint32_t capacity = 0;
    bool messageMode = false;
    // Writes: the caller's data.
    const char* data = nullptr;
    uint32_t length = 0;

    // Atomic access to OVERLAPPED::Internal, which other threads poll without a lock.
    static void storeStatus(OVERLAPPED* overlapped, NtStatus::Value status);
    static NtStatus::Value loadStatus(const OVERLAPPED* overlapped);

private:
    const Kind kind_;
    OVERLAPPED* const overlapped_;
    std::shared_ptr<Event> userEvent_;     // hEvent, if any
    std::shared_ptr<Event> fileEvent_;     // the handle's own event, for GetOverlappedResult without hEvent
    std::shared_ptr<Event> callerWakeup_;  // set when the caller blocks until completion
    bool attached_ = false;                // announced to the events as a read to drive
};

}  // namespace win32layer
