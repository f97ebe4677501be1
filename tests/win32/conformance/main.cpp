// The conformance suite's entry point. With "--child <mode> ..." the executable plays a second
// process for tests that need one (a peer in another process, an owner that gets killed).

#include "ChildProcess.h"
#include "Support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

using namespace w32test;

namespace {

// Exit codes that tell the parent what went wrong in the child.
enum ChildExit { kChildUsage = 64, kChildCreateFailed = 65, kChildOpenFailed = 66, kChildWriteFailed = 67 };

[[noreturn]] void blockUntilKilled()
{
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WaitForSingleObject(never, INFINITE);
    std::exit(0);
}

// Tells the parent we are ready by connecting to its "ready" pipe.
bool signalReady(const std::string& readyPipe)
{
    HANDLE ready = CreateFileW(widen(readyPipe).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    return ready != INVALID_HANDLE_VALUE;  // kept open until the process dies
}

int runChild(int argc, char** argv)
{
    const std::string mode = argc > 2 ? argv[2] : "";
    if (mode == "signal-ready" && argc == 4) {
        if (!signalReady(argv[3]))
            return kChildOpenFailed;
        blockUntilKilled();
    }
    if (mode == "hold-server" && argc == 5) {
        HANDLE server = CreateNamedPipeW(widen(argv[3]).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                         kMessagePipe, 1, 4096, 4096, 0, nullptr);
        if (server == INVALID_HANDLE_VALUE)
            return kChildCreateFailed;
        if (!signalReady(argv[4]))
            return kChildOpenFailed;
        blockUntilKilled();
    }
    if (mode == "write-and-hang" && argc == 5) {
        HANDLE client = CreateFileW(widen(argv[3]).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
        if (client == INVALID_HANDLE_VALUE)
            return kChildOpenFailed;
        const std::string data = patternBytes(std::strtoul(argv[4], nullptr, 10), 7);
        DWORD written = 0;
        if (!WriteFile(client, data.data(), static_cast<DWORD>(data.size()), &written, nullptr))
            return kChildWriteFailed;
        blockUntilKilled();
    }
    return kChildUsage;
}

}  // namespace

int main(int argc, char** argv)
{
    setSelfPath(argv[0]);
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0)
        return runChild(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
