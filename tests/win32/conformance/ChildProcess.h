#pragma once

// The one place where the conformance suite needs more than the Win32 calls under test: starting,
// killing and reaping a second process. Windows has CreateProcessW/TerminateProcess; on Linux the
// layer does not emulate those, so fork/exec/kill stand in.

#include <memory>
#include <string>
#include <vector>

namespace w32test {

unsigned long currentProcessId();

class ChildProcess {
public:
    // Runs this test executable again with "--child" followed by args.
    static std::unique_ptr<ChildProcess> spawnSelf(const std::vector<std::string>& args);
    ~ChildProcess();

    void kill();
    // Waits for the process to end and returns its exit code.
    int wait();

private:
    ChildProcess() = default;
    struct Native;
    std::unique_ptr<Native> native_;
    bool reaped_ = false;
    int exitCode_ = -1;
};

// Remembered by main() so spawnSelf can find the executable.
void setSelfPath(const char* argv0);

}  // namespace w32test
