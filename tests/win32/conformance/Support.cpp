#include "Support.h"

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

PendingIo::PendingIo(HANDLE pipe, bool write)
{
    static const std::string big(16u << 20, 'w');
    DWORD bytes = 0;
    EXPECT_FAILS_WITH(write ? WriteFile(pipe, big.data(), static_cast<DWORD>(big.size()), &bytes, this)
                            : ReadFile(pipe, buffer, sizeof buffer, &bytes, this),
                      ERROR_IO_PENDING);
}

Handle createServer(const std::wstring& name, DWORD pipeMode, DWORD openMode)
{
    Handle server(CreateNamedPipeW(name.c_str(), openMode, pipeMode, 1, 4096, 4096, 0, nullptr));
    EXPECT_TRUE(server.valid()) << "CreateNamedPipeW: " << GetLastError();
    return server;
}

Handle openClient(const std::wstring& name, DWORD flags)
{
    Handle client(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr));
    EXPECT_TRUE(client.valid()) << "CreateFileW: " << GetLastError();
    return client;
}

DWORD outcome(HANDLE pipe, OVERLAPPED* overlapped, DWORD* bytes)
{
    EXPECT_EQ(WaitForSingleObject(overlapped->hEvent, kLongWaitMs), WAIT_OBJECT_0);
    DWORD transferred = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    const DWORD error = GetOverlappedResult(pipe, overlapped, &transferred, FALSE) ? ERROR_SUCCESS : GetLastError();
    if (bytes != nullptr)
        *bytes = transferred;
    return error;
}

void expectReadWriteFail(HANDLE end, DWORD readError, DWORD writeError, bool overlapped)
{
    char buffer[16];
    DWORD bytes = 0;
    Overlapped read, write;
    if (overlapped) {
        SetEvent(read.hEvent);
        SetEvent(write.hEvent);
    }
    EXPECT_FAILS_WITH(ReadFile(end, buffer, sizeof buffer, &bytes, overlapped ? &read : nullptr), readError);
    EXPECT_FAILS_WITH(WriteFile(end, "x", 1, &bytes, overlapped ? &write : nullptr), writeError);
    EXPECT_FALSE(isSignalled(read.hEvent));
    EXPECT_FALSE(isSignalled(write.hEvent));
}

DWORD openError(const std::wstring& name)
{
    Handle client(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    return client.valid() ? static_cast<DWORD>(ERROR_SUCCESS) : GetLastError();
}

PipePair connectedPair(const char* tag, DWORD pipeMode, bool overlapped)
{
    PipePair pair;
    pair.name = uniquePipeName(tag);
    pair.server = createServer(pair.name, pipeMode, overlapped ? kOverlappedDuplex : PIPE_ACCESS_DUPLEX);
    if (overlapped) {
        Overlapped connect;
        EXPECT_FAILS_WITH(ConnectNamedPipe(pair.server.get(), &connect), ERROR_IO_PENDING);
        pair.client = openClient(pair.name);
        DWORD bytes = 0;
        EXPECT_TRUE(GetOverlappedResult(pair.server.get(), &connect, &bytes, TRUE)) << GetLastError();
    } else {
        pair.client = openClient(pair.name, 0);
    }
    if ((pipeMode & PIPE_READMODE_MESSAGE) != 0) {
        DWORD mode = PIPE_READMODE_MESSAGE;
        EXPECT_TRUE(SetNamedPipeHandleState(pair.client.get(), &mode, nullptr, nullptr)) << GetLastError();
    }
    return pair;
}

std::unique_ptr<ChildProcess> spawnConnectedChild(HANDLE server, const std::vector<std::string>& args)
{
    Overlapped connect;
    EXPECT_FAILS_WITH(ConnectNamedPipe(server, &connect), ERROR_IO_PENDING);
    auto child = ChildProcess::spawnSelf(args);
    DWORD bytes = 0;
    if (!child)
        ADD_FAILURE() << "the child process did not start";
    else if (!GetOverlappedResult(server, &connect, &bytes, TRUE))
        ADD_FAILURE() << "the child did not connect: " << GetLastError();
    return child;
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
        *error = GetLastError();
        if (*error == ERROR_IO_PENDING || *error == ERROR_MORE_DATA)
            *error = GetOverlappedResult(pipe, &read, &got, TRUE) ? ERROR_SUCCESS : GetLastError();
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
