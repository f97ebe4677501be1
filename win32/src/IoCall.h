#pragma once

#include "IoRequest.h"
#include "NtStatus.h"
#include "win32layer/Win32Api.h"

#include <memory>

namespace win32layer {

class Event;
class PipeEnd;

// The Windows calling convention of one ConnectNamedPipe, ReadFile or WriteFile call, shared by all
// three: resolve hEvent, mark the OVERLAPPED pending and reset its event, then, once the pipe has
// taken the request, either return (overlapped and still pending: ERROR_IO_PENDING) or wait for the
// completion (a call without OVERLAPPED, or on a handle opened without FILE_FLAG_OVERLAPPED), and
// report the result.
//
// Synchronous calls are the same pending request plus a wait on a private event, so a CloseHandle
// from another thread, which completes every pending request, also ends a blocked call.
//
// Lives on the calling thread's stack for one call.
class IoCall {
public:
    IoCall(const std::shared_ptr<PipeEnd>& end, OVERLAPPED* overlapped);

    // Returns ERROR_SUCCESS, or the error to fail the call with before anything started.
    DWORD prepare();
    std::unique_ptr<IoRequest> makeRequest(IoRequest::Kind kind);
    // Turns what the pipe said into the call's result; writes *bytes (if given) as Windows does.
    BOOL finish(NtStatus::Value started, bool completedNow, LPDWORD bytes);

private:
    const std::shared_ptr<PipeEnd>& end_;
    OVERLAPPED* const callerOverlapped_;
    OVERLAPPED localOverlapped_ = {};
    OVERLAPPED* target_;
    bool blocking_;
    std::shared_ptr<Event> userEvent_;
    std::shared_ptr<Event> wakeup_;
};

}  // namespace win32layer
