#pragma once

// Helpers for the Linux-only tests: private runtime and home directories per test, and raw sockets
// that talk to the layer's pipes without going through it.

#include "win32layer/Win32Api.h"

#include <cstdint>
#include <string>
#include <vector>

namespace w32layertest {

// Sets an environment variable (nullptr: unsets it) for the lifetime of the object, then puts back
// what was there before.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value);
    ~ScopedVariable();
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::string name_;
    std::string previous_;
    bool hadPrevious_ = false;
};

// A fresh private directory (mode 0700) that an environment variable points at for the lifetime of
// the object, so the test controls (and can inspect) where sockets live. Removed afterwards.
class TempDirVariable {
public:
    TempDirVariable(const char* variable, const char* tag);
    ~TempDirVariable();
    TempDirVariable(const TempDirVariable&) = delete;
    TempDirVariable& operator=(const TempDirVariable&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    ScopedVariable variable_;
};

// XDG_RUNTIME_DIR; the layer keeps its sockets in socketDirectory() inside it.
class TempRuntimeDir : public TempDirVariable {
public:
    TempRuntimeDir() : TempDirVariable("XDG_RUNTIME_DIR", "run") {}
    std::string socketDirectory() const { return path() + "/win32layer"; }
};

// HOME, where the layer keeps its sockets when XDG_RUNTIME_DIR is unset or unusable.
class TempHomeDir : public TempDirVariable {
public:
    TempHomeDir() : TempDirVariable("HOME", "home") {}
    std::string socketDirectory() const { return path() + "/.win32layer"; }
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
