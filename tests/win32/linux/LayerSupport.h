#pragma once

// Helpers for the Linux-only tests: private XDG_RUNTIME_DIR and HOME per test, where the layer puts
// a pipe's files, and the calls most tests make.

#include "win32layer/Win32Api.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/un.h>

namespace w32layertest {

// A fresh directory (mode 0700) that `variable` names for the object's lifetime; then the
// directory is removed and the variable put back as it was, whatever the test set it to.
class TempDirVariable {
public:
    explicit TempDirVariable(const char* variable);
    ~TempDirVariable();
    const std::string& path() const { return path_; }

private:
    const char* variable_;
    bool hadPrevious_;
    std::string previous_;
    std::string path_;
};

// Every test has its own XDG_RUNTIME_DIR and HOME: sockets never touch the real ones, and a test may
// point either variable elsewhere (it is put back afterwards).
class LayerTest : public ::testing::Test {
protected:
    TempDirVariable runtime_{"XDG_RUNTIME_DIR"};
    TempDirVariable home_{"HOME"};
};

// Closes the handle it holds.
struct Handle {
    explicit Handle(HANDLE handle) : h(handle) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    void reset()
    {
        if (valid())
            CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
    HANDLE h;
};

constexpr DWORD kMessagePipe = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE;
constexpr DWORD kLongWaitMs = 60000;

HANDLE createServer(const std::wstring& name, DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                    DWORD maxInstances = 1, DWORD pipeMode = kMessagePipe);
HANDLE openClient(const std::wstring& name, DWORD access = GENERIC_READ | GENERIC_WRITE);
// GetLastError() after a failed call, ERROR_SUCCESS after one that succeeded.
DWORD errorOf(bool succeeded);

std::wstring uniqueName(const char* tag);
std::string socketPathOf(const std::wstring& pipeName);
std::string lockPathOf(const std::wstring& pipeName);
sockaddr_un unixAddress(const std::string& path);
// A record header, as the layer puts one before each message.
std::string header(uint32_t length);

}  // namespace w32layertest
