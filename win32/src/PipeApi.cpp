// Creating, connecting, disconnecting, opening and waiting for named pipes.

#include "ApiGuard.h"
#include "ClientPipe.h"
#include "HandleTable.h"
#include "IoCall.h"
#include "LastError.h"
#include "PipeName.h"
#include "PipeWaiter.h"
#include "ServerPipe.h"
#include "win32layer/Win32Api.h"

using namespace win32layer;

namespace {

HANDLE publish(std::shared_ptr<KernelObject> object)
{
    HANDLE handle = HandleTable::instance().insert(object);
    if (handle == nullptr) {
        object->onHandleClosed();
        LastError::set(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

BOOL failWith(DWORD error)
{
    LastError::set(error);
    return FALSE;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateNamedPipeW(LPCWSTR lpName, DWORD dwOpenMode, DWORD dwPipeMode, DWORD nMaxInstances,
                               DWORD /*nOutBufferSize*/, DWORD /*nInBufferSize*/, DWORD nDefaultTimeOut,
                               LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/)
{
    return apiGuard<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        PipeName name;
        DWORD error = PipeName::parse(lpName, &name);
        const bool badMode = (dwOpenMode & PIPE_ACCESS_DUPLEX) == 0 ||
                             ((dwPipeMode & PIPE_READMODE_MESSAGE) != 0 && (dwPipeMode & PIPE_TYPE_MESSAGE) == 0) ||
                             (dwPipeMode & PIPE_NOWAIT) != 0;  // non-blocking pipes are not supported
        if (error == ERROR_SUCCESS && (badMode || nMaxInstances == 0 || nMaxInstances > PIPE_UNLIMITED_INSTANCES))
            error = ERROR_INVALID_PARAMETER;
        std::shared_ptr<ServerPipe> pipe;
        if (error == ERROR_SUCCESS)
            error = ServerPipe::create(name, dwOpenMode, dwPipeMode, nDefaultTimeOut, &pipe);
        if (error != ERROR_SUCCESS) {
            LastError::set(error);
            return INVALID_HANDLE_VALUE;
        }
        return publish(pipe);
    });
}

BOOL WINAPI ConnectNamedPipe(HANDLE hNamedPipe, LPOVERLAPPED lpOverlapped)
{
    return apiGuard<BOOL>(FALSE, [&]() -> BOOL {
        std::shared_ptr<PipeEnd> end = HandleTable::instance().lookupAs<PipeEnd>(hNamedPipe);
        if (!end)
            return failWith(ERROR_INVALID_HANDLE);
        if (!end->isServer())
            return failWith(ERROR_INVALID_FUNCTION);
        auto server = std::static_pointer_cast<ServerPipe>(end);
        IoCall call(end, lpOverlapped);
        const DWORD error = call.prepare();
        if (error != ERROR_SUCCESS)
            return failWith(error);
        bool completedNow = false;
        const NtStatus::Value started = server->startConnect(call.makeRequest(IoRequest::Kind::Connect), &completedNow);
        return call.finish(started, completedNow, nullptr);
    });
}

BOOL WINAPI DisconnectNamedPipe(HANDLE hNamedPipe)
{
    return apiGuard<BOOL>(FALSE, [&]() -> BOOL {
        std::shared_ptr<PipeEnd> end = HandleTable::instance().lookupAs<PipeEnd>(hNamedPipe);
        if (!end)
            return failWith(ERROR_INVALID_HANDLE);
        if (!end->isServer())
            return failWith(ERROR_INVALID_FUNCTION);
        const NtStatus::Value status = std::static_pointer_cast<ServerPipe>(end)->disconnect();
        if (status != NtStatus::kSuccess)
            return failWith(NtStatus::toWin32Error(status));
        return TRUE;
    });
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                          LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD /*dwCreationDisposition*/,
                          DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/)
{
    return apiGuard<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        PipeName name;
        DWORD error = PipeName::parse(lpFileName, &name);
        // Only pipes exist here: any other path names nothing.
        if (error == ERROR_INVALID_NAME)
            error = ERROR_FILE_NOT_FOUND;
        std::shared_ptr<ClientPipe> pipe;
        if (error == ERROR_SUCCESS)
            error = ClientPipe::open(name, dwDesiredAccess, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0, &pipe);
        if (error != ERROR_SUCCESS) {
            LastError::set(error);
            return INVALID_HANDLE_VALUE;
        }
        return publish(pipe);
    });
}

BOOL WINAPI SetNamedPipeHandleState(HANDLE hNamedPipe, LPDWORD lpMode, LPDWORD lpMaxCollectionCount,
                                    LPDWORD lpCollectDataTimeout)
{
    return apiGuard<BOOL>(FALSE, [&]() -> BOOL {
        std::shared_ptr<PipeEnd> end = HandleTable::instance().lookupAs<PipeEnd>(hNamedPipe);
        if (!end)
            return failWith(ERROR_INVALID_HANDLE);
        // Collection settings only mean something for pipes to another machine.
        if (lpMaxCollectionCount != nullptr || lpCollectDataTimeout != nullptr)
            return failWith(ERROR_INVALID_PARAMETER);
        if (lpMode == nullptr)
            return TRUE;
        if ((*lpMode & ~(PIPE_READMODE_MESSAGE | PIPE_NOWAIT)) != 0 || (*lpMode & PIPE_NOWAIT) != 0)
            return failWith(ERROR_INVALID_PARAMETER);
        const NtStatus::Value status = end->setReadMode((*lpMode & PIPE_READMODE_MESSAGE) != 0);
        if (status != NtStatus::kSuccess)
            return failWith(NtStatus::toWin32Error(status));
        return TRUE;
    });
}

BOOL WINAPI WaitNamedPipeW(LPCWSTR lpNamedPipeName, DWORD nTimeOut)
{
    return apiGuard<BOOL>(FALSE, [&]() -> BOOL {
        PipeName name;
        DWORD error = PipeName::parse(lpNamedPipeName, &name);
        if (error == ERROR_INVALID_NAME)
            error = ERROR_PATH_NOT_FOUND;  // as Windows, for a name outside \\.\pipe\ .
        if (error == ERROR_SUCCESS)
            error = PipeWaiter::wait(name, nTimeOut);
        if (error != ERROR_SUCCESS)
            return failWith(error);
        return TRUE;
    });
}

}  // extern "C"
