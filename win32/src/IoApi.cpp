// ReadFile, WriteFile, GetOverlappedResult and CancelIoEx on pipe handles.

#include "ApiGuard.h"
#include "Event.h"
#include "HandleTable.h"
#include "IoCall.h"
#include "IoRequest.h"
#include "LastError.h"
#include "PipeEnd.h"
#include "WireFormat.h"
#include "win32layer/Win32Api.h"

using namespace win32layer;

namespace {

// What ReadFile and WriteFile share: the handle must name a pipe end, then the parameters must be
// valid, then the call is prepared (event reset, synchronous wait set up) before `start` hands the
// request to the pipe end; the count of bytes is 0 until the call says otherwise.
template <typename Start>
BOOL Transfer(HANDLE handle, bool badParameter, LPOVERLAPPED overlapped, LPDWORD bytes, IoRequest::Kind kind,
              Start start)
{
    if (bytes != nullptr)
        *bytes = 0;
    std::shared_ptr<PipeEnd> end = HandleTable::instance().lookupAs<PipeEnd>(handle);
    if (!end) {
        LastError::set(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (badParameter) {
        LastError::set(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    IoCall call(end, overlapped);
    const DWORD error = call.prepare();
    if (error != ERROR_SUCCESS) {
        LastError::set(error);
        return FALSE;
    }
    bool completedNow = false;
    const NtStatus::Value started = start(*end, call.makeRequest(kind), &completedNow);
    return call.finish(started, completedNow, bytes);
}

}  // namespace

extern "C" {

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped)
{
    return apiGuard<BOOL>(FALSE, [&]() -> BOOL {
        const bool badParameter = lpBuffer == nullptr && nNumberOfBytesToRead != 0;
        return Transfer(hFile, badParameter, lpOverlapped, lpNumberOfBytesRead, IoRequest::Kind::Read,
                        [&](PipeEnd& end, std::unique_ptr<IoRequest> request, bool* completedNow) {
                            request->buffer = static_cast<char*>(lpBuffer);
                            request->capacity = nNumberOfBytesToRead;
                            return end.startRead(std::move(request), completedNow);
                        });
    });
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped)
{
    return apiGuard<BOOL>(FALSE, [&]() -> BOOL {
        const bool badParameter =
            (lpBuffer == nullptr && nNumberOfBytesToWrite != 0) || nNumberOfBytesToWrite > WireFormat::kMaxMessageBytes;
        return Transfer(hFile, badParameter, lpOverlapped, lpNumberOfBytesWritten, IoRequest::Kind::Write,
                        [&](PipeEnd& end, std::unique_ptr<IoRequest> request, bool* completedNow) {
                            request->data = static_cast<const char*>(lpBuffer);
                            request->length = nNumberOfBytesToWrite;
                            return end.startWrite(std::move(request), completedNow);
                        });
    });
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait)
{
    return apiGuard<BOOL>(FALSE, [&]() -> BOOL {
        if (lpOverlapped == nullptr) {
            LastError::set(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        // A finished operation is read from the OVERLAPPED alone; the handle may be closed by now.
        NtStatus::Value status = IoRequest::loadStatus(lpOverlapped);
        if (status == NtStatus::kPending) {
            if (!bWait) {
                LastError::set(ERROR_IO_INCOMPLETE);
                return FALSE;
            }
            const auto eventValue = reinterpret_cast<uintptr_t>(lpOverlapped->hEvent) & ~uintptr_t(1);
            std::shared_ptr<Event> event;
            if (eventValue != 0) {
                event = HandleTable::instance().lookupAs<Event>(reinterpret_cast<HANDLE>(eventValue));
            } else if (std::shared_ptr<PipeEnd> end = HandleTable::instance().lookupAs<PipeEnd>(hFile)) {
                event = end->fileEvent();
            }
            if (!event) {
                LastError::set(ERROR_INVALID_HANDLE);
                return FALSE;
            }
            event->wait(INFINITE);
            status = IoRequest::loadStatus(lpOverlapped);
            if (status == NtStatus::kPending) {
                // The event was set by someone else; the operation itself is still running.
                LastError::set(ERROR_IO_INCOMPLETE);
                return FALSE;
            }
        }
        if (lpNumberOfBytesTransferred != nullptr)
            *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
        if (status == NtStatus::kSuccess)
            return TRUE;
        LastError::set(NtStatus::toWin32Error(status));
        return FALSE;
    });
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    return apiGuard<BOOL>(FALSE, [&]() -> BOOL {
        std::shared_ptr<PipeEnd> end = HandleTable::instance().lookupAs<PipeEnd>(hFile);
        if (!end) {
            LastError::set(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (!end->cancel(lpOverlapped)) {
            LastError::set(ERROR_NOT_FOUND);
            return FALSE;
        }
        return TRUE;
    });
}

}  // extern "C"
