// The conformance suite's entry point. With "--child <mode> ..." the executable plays a second
// process for tests that need one (a peer in another process, an owner that gets killed).

#include "Support.h"

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

// Opens a client end, kept open until the process dies.
HANDLE openPipe(const char* name)
{
    return CreateFileW(widen(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Modes: signal-ready <ready>; hold-server <name> <ready>; write-and-hang <name> <bytes>. A child
// tells the parent it is ready by connecting to the parent's <ready> pipe.
int runChild(int argc, char** argv)
{
    const std::string mode = argc > 2 ? argv[2] : "";
    if (mode == "hold-server" && argc == 5 &&
        CreateNamedPipeW(widen(argv[3]).c_str(), kOverlappedDuplex, kMessagePipe, 1, 4096, 4096, 0, nullptr) ==
            INVALID_HANDLE_VALUE)
        return kChildCreateFailed;
    if ((mode == "signal-ready" && argc == 4) || (mode == "hold-server" && argc == 5)) {
        if (openPipe(argv[argc - 1]) == INVALID_HANDLE_VALUE)
            return kChildOpenFailed;
        blockUntilKilled();
    }
    if (mode == "write-and-hang" && argc == 5) {
        HANDLE client = openPipe(argv[3]);
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
