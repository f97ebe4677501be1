// Events, waits, handles and the last-error value.

#include "ApiGuard.h"
#include "Event.h"
#include "HandleTable.h"
#include "LastError.h"
#include "win32layer/Win32Api.h"

#include <algorithm>
#include <memory>
#include <vector>

using namespace win32layer;

extern "C" {

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES /*lpEventAttributes*/, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName)
{
    return apiGuard<HANDLE>(nullptr, [&]() -> HANDLE {
        if (lpName != nullptr) {
            // Named events would need a cross-process object; nothing here uses them.
            LastError::set(ERROR_NOT_SUPPORTED);
            return nullptr;
        }
        HANDLE handle = HandleTable::instance().insert(std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE));
        if (handle == nullptr)
            LastError::set(ERROR_NOT_ENOUGH_MEMORY);
        return handle;
    });
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    return apiGuard<BOOL>(FALSE, [&]() -> BOOL {
        std::shared_ptr<Event> event = HandleTable::instance().lookupAs<Event>(hEvent);
        if (!event) {
            LastError::set(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        event->set();
        return TRUE;
    });
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    return apiGuard<BOOL>(FALSE, [&]() -> BOOL {
        std::shared_ptr<Event> event = HandleTable::instance().lookupAs<Event>(hEvent);
        if (!event) {
            LastError::set(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        event->reset();
        return TRUE;
    });
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    return apiGuard<DWORD>(WAIT_FAILED, [&]() -> DWORD {
        if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
            LastError::set(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
        // The references taken here keep every event alive for the whole wait, even if another
        // thread closes its handle meanwhile.
        std::vector<std::shared_ptr<Event>> owned;
        std::vector<Event*> events;
        owned.reserve(nCount);
        events.reserve(nCount);
        for (DWORD i = 0; i < nCount; ++i) {
            std::shared_ptr<Event> event = HandleTable::instance().lookupAs<Event>(lpHandles[i]);
            if (!event) {
                LastError::set(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
            events.push_back(event.get());
            owned.push_back(std::move(event));
        }
        if (bWaitAll) {
            std::vector<Event*> sorted = events;
            std::sort(sorted.begin(), sorted.end());
            if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
                LastError::set(ERROR_INVALID_PARAMETER);  // as Windows: one object twice in a wait-all
                return WAIT_FAILED;
            }
        }
        return Event::wait(events, bWaitAll != FALSE, dwMilliseconds);
    });
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    return apiGuard<BOOL>(FALSE, [&]() -> BOOL {
        std::shared_ptr<KernelObject> object = HandleTable::instance().remove(hObject);
        if (!object) {
            LastError::set(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        object->onHandleClosed();
        return TRUE;
    });
}

DWORD WINAPI GetLastError(void) { return LastError::get(); }

void WINAPI SetLastError(DWORD dwErrCode) { LastError::set(dwErrCode); }

}  // extern "C"
