#pragma once

// Helpers shared by the conformance tests. Everything here uses only the Win32 API, so the tests
// build unchanged against the layer and against the real <windows.h>.

#include "ChildProcess.h"
#include "win32layer/Win32Api.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace w32test {

// How long "eventually" may take: generous enough for a loaded 2-core machine running sanitizers
// or Wine. Only ever a bound on waiting for something that must happen.
constexpr DWORD kLongWaitMs = 60000;

constexpr DWORD kMessagePipe = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
constexpr DWORD kOverlappedDuplex = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;

// STATUS_* values as they appear in OVERLAPPED::Internal.
constexpr ULONG_PTR kStatusSuccess = 0x00000000;
constexpr ULONG_PTR kStatusPending = 0x00000103;
constexpr ULONG_PTR kStatusBufferOverflow = 0x80000005;

// A pipe name no other test, process or concurrent ctest run uses.
std::wstring uniquePipeName(const char* tag);
std::string narrow(const std::wstring& text);  // ASCII only
std::wstring widen(const std::string& text);   // ASCII only

// Owns a HANDLE and closes it.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() { reset(); }
    Handle(Handle&& other) noexcept : handle_(other.release()) {}
    Handle& operator=(Handle&& other) noexcept { return reset(other.release()), *this; }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release() { return std::exchange(handle_, nullptr); }
    void reset(HANDLE handle = nullptr);

private:
    HANDLE handle_ = nullptr;
};

Handle makeEvent(bool manualReset = true, bool initiallySignalled = false);
bool isSignalled(HANDLE object);

// A zeroed OVERLAPPED with its own manual-reset event.
struct Overlapped : OVERLAPPED {
    Overlapped();
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
    Handle event;
};

// A read into `buffer`, or a write too large for any pipe buffer, started on `pipe` and left pending.
struct PendingIo : Overlapped {
    PendingIo(HANDLE pipe, bool write);
    char buffer[16] = {};
};

Handle createServer(const std::wstring& name, DWORD pipeMode = kMessagePipe, DWORD openMode = kOverlappedDuplex);
Handle openClient(const std::wstring& name, DWORD flags = FILE_FLAG_OVERLAPPED);

// Waits for the operation's event, which must come, and returns how the operation ended:
// ERROR_SUCCESS or the error GetOverlappedResult reports. *bytes gets the count it reports.
DWORD outcome(HANDLE pipe, OVERLAPPED* overlapped, DWORD* bytes = nullptr);

// A read and a write on `end` that both fail at once. Overlapped, neither sets its event and a
// stale signal is cleared.
void expectReadWriteFail(HANDLE end, DWORD readError, DWORD writeError, bool overlapped = true);

// The error CreateFileW fails with for this name, or ERROR_SUCCESS (the handle is closed again).
DWORD openError(const std::wstring& name);

// A server instance and a client. Overlapped: connected the usual way (pending ConnectNamedPipe,
// then CreateFileW); otherwise both ends are synchronous and the client simply arrives. The client
// is switched to message-read mode when the server reads in that mode.
struct PipePair {
    std::wstring name;
    Handle server;
    Handle client;
};
PipePair connectedPair(const char* tag, DWORD pipeMode = kMessagePipe, bool overlapped = true);

// Runs this executable with "--child" and `args`; returns once the child has connected to `server`
// (a listening overlapped instance).
std::unique_ptr<ChildProcess> spawnConnectedChild(HANDLE server, const std::vector<std::string>& args);

// One whole overlapped WriteFile, waited for. Returns the bytes written.
DWORD writeMessage(HANDLE pipe, const std::string& data);
// One ReadFile of up to `capacity` bytes, waited for. *error gets ERROR_SUCCESS or the failure.
std::string readOnce(HANDLE pipe, DWORD capacity, DWORD* error);

// Bytes that can be checked after the trip: deterministic in (seed, index).
std::string patternBytes(size_t length, uint32_t seed);

}  // namespace w32test

// Expects `call` to fail (return a false value) with `code` as the last error.
#define EXPECT_FAILS_WITH(call, code)                                                                                 \
    do {                                                                                                             \
        SetLastError(0xdeadbeef);                                                                                    \
        const bool succeeded_ = static_cast<bool>(call);                                                             \
        const DWORD error_ = GetLastError();                                                                         \
        EXPECT_FALSE(succeeded_) << #call;                                                                           \
        EXPECT_EQ(error_, static_cast<DWORD>(code)) << #call;                                                        \
    } while (0)
