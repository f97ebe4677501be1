#pragma once

// Helpers for the Linux-only tests: a private runtime directory per test, and raw sockets that
// talk to the layer's pipes without going through it.

#include "win32layer/Win32Api.h"

#include <cstdint>
#include <string>
#include <vector>

namespace w32layertest {

// Points XDG_RUNTIME_DIR at a fresh private directory for the lifetime of the object, so the test
// controls (and can inspect) where sockets live.
class TempRuntimeDir {
public:
    TempRuntimeDir();
    ~TempRuntimeDir();
    TempRuntimeDir(const TempRuntimeDir&) = delete;
    TempRuntimeDir& operator=(const TempRuntimeDir&) = delete;

    const std::string& path() const { return path_; }
    // Where the layer keeps its sockets inside it.
    std::string socketDirectory() const { return path_ + "/win32layer"; }

private:
    std::string path_;
    std::string previous_;
    bool hadPrevious_ = false;
};

std::wstring uniqueName(const char* tag);
std::string socketPathOf(const std::wstring& pipeName);
std::string lockPathOf(const std::wstring& pipeName);
std::vector<std::string> listDirectory(const std::string& path);
void removeTree(const std::string& path);

// A client that speaks the wire protocol by hand.
class RawClient {
public:
    // Connects and reads the handshake. connected() tells whether the server admitted us.
    explicit RawClient(const std::wstring& pipeName);
    ~RawClient();
    bool connected() const { return connected_; }
    void send(const std::string& bytes);
    void close();

private:
    int fd_ = -1;
    int control_ = -1;
    bool connected_ = false;
};

std::string header(uint32_t length);

}  // namespace w32layertest
