#include "Support.h"

#include "ChildProcess.h"

#include <atomic>
#include <chrono>
#include <random>

namespace w32test {

std::wstring uniquePipeName(const char* tag)
{
    static const unsigned long long run = [] {
        std::random_device device;
        return (static_cast<unsigned long long>(device()) << 32) ^ device() ^
               static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    }();
    static std::atomic<unsigned> counter{0};
    const std::string name = "\\\\.\\pipe\\w32t-" + std::to_string(currentProcessId()) + "-" + std::to_string(run) + "-" +
                             std::to_string(counter++) + "-" + tag;
    return widen(name);
}

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

void Handle::reset(HANDLE handle)
{
    if (valid())
        CloseHandle(handle_);
    handle_ = handle;
}

Handle makeEvent(bool manualReset, bool initiallySignalled)
{
    Handle event(CreateEventW(nullptr, manualReset ? TRUE : FALSE, initiallySignalled ? TRUE : FALSE, nullptr));
    EXPECT_TRUE(event.valid()) << GetLastError();
    return event;
}

bool isSignalled(HANDLE object) { return WaitForSingleObject(object, 0) == WAIT_OBJECT_0; }

Overlapped::Overlapped() : OVERLAPPED(), event(makeEvent())
{
    hEvent = event.get();
}

Handle createServer(const std::wstring& name, DWORD pipeMode, DWORD openMode)
{
    Handle server(CreateNamedPipeW(name.c_str(), openMode, pipeMode, 1, 4096, 4096, 0, nullptr));
    EXPECT_TRUE(server.valid()) << "CreateNamedPipeW: " << GetLastError();
    return server;
}

Handle openClient(const std::wstring& name, DWORD flags, DWORD access)
{
    Handle client(CreateFileW(name.c_str(), access, 0, nullptr, OPEN_EXISTING, flags, nullptr));
    EXPECT_TRUE(client.valid()) << "CreateFileW: " << GetLastError();
    return client;
}

DWORD openError(const std::wstring& name)
{
    HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (client == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(client);
    return ERROR_SUCCESS;
}

PipePair connectedPair(const char* tag, DWORD pipeMode)
{
    PipePair pair;
    pair.name = uniquePipeName(tag);
    pair.server = createServer(pair.name, pipeMode);
    Overlapped connect;
    const BOOL connected = ConnectNamedPipe(pair.server.get(), &connect);
    EXPECT_FALSE(connected);
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    pair.client = openClient(pair.name);
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(pair.server.get(), &connect, &bytes, TRUE)) << GetLastError();
    if ((pipeMode & PIPE_TYPE_MESSAGE) != 0) {
        DWORD mode = PIPE_READMODE_MESSAGE;
        EXPECT_TRUE(SetNamedPipeHandleState(pair.client.get(), &mode, nullptr, nullptr)) << GetLastError();
    }
    return pair;
}

DWORD writeMessage(HANDLE pipe, const std::string& data)
{
    Overlapped write;
    DWORD written = 0;
    if (!WriteFile(pipe, data.data(), static_cast<DWORD>(data.size()), &written, &write)) {
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        EXPECT_TRUE(GetOverlappedResult(pipe, &write, &written, TRUE)) << GetLastError();
    }
    return written;
}

std::string readOnce(HANDLE pipe, DWORD capacity, DWORD* error)
{
    std::string buffer(capacity, '\0');
    Overlapped read;
    DWORD got = 0;
    *error = ERROR_SUCCESS;
    if (!ReadFile(pipe, &buffer[0], capacity, &got, &read)) {
        DWORD failure = GetLastError();
        if (failure == ERROR_IO_PENDING || failure == ERROR_MORE_DATA) {
            if (!GetOverlappedResult(pipe, &read, &got, TRUE))
                failure = GetLastError();
            else
                failure = ERROR_SUCCESS;
        }
        *error = failure;
    }
    buffer.resize(got);
    return buffer;
}

std::string patternBytes(size_t length, uint32_t seed)
{
    std::string bytes(length, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < length; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = static_cast<char>(state);
    }
    return bytes;
}

}  // namespace w32test
