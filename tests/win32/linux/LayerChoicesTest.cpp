// Where the layer deliberately goes its own way, or promises more than Windows documents: stricter
// argument checks, one instance per name, and synchronous calls that another thread's CloseHandle
// always ends. These are not part of the conformance suite because Wine (or Windows) differs.

#include "LayerSupport.h"

#include <thread>

using namespace w32layertest;

namespace {

// A call on a fresh pipe name and the error the layer gives it.
using Name = const std::wstring&;
struct Call {
    const char* label;
    DWORD error;
    DWORD (*run)(Name name);
};

class LayerChoicesCalls : public LayerTest, public ::testing::WithParamInterface<Call> {};

TEST_P(LayerChoicesCalls, GiveTheLayersAnswer)
{
    SetLastError(0);
    EXPECT_EQ(GetParam().run(uniqueName("call")), GetParam().error);
}

DWORD createError(const std::wstring& name, DWORD openMode, DWORD maxInstances, DWORD pipeMode = kMessagePipe)
{
    return errorOf(Handle(createServer(name, openMode, maxInstances, pipeMode)).valid());
}

// Switches a client opened with `access` to message-read mode.
DWORD setReadModeWith(const std::wstring& name, DWORD access)
{
    Handle server(createServer(name));
    Handle client(openClient(name, access));
    DWORD mode = PIPE_READMODE_MESSAGE;
    return client.valid() ? errorOf(SetNamedPipeHandleState(client.h, &mode, nullptr, nullptr)) : GetLastError();
}

INSTANTIATE_TEST_SUITE_P(
    LayerChoices, LayerChoicesCalls,
    ::testing::Values(
        Call{"ZeroInstances", ERROR_INVALID_PARAMETER, [](Name n) { return createError(n, PIPE_ACCESS_DUPLEX, 0); }},
        Call{"MoreThan255Instances", ERROR_INVALID_PARAMETER,
             [](Name n) { return createError(n, PIPE_ACCESS_DUPLEX, 256); }},
        Call{"NoAccess", ERROR_INVALID_PARAMETER, [](Name n) { return createError(n, FILE_FLAG_OVERLAPPED, 1); }},
        Call{"NonBlockingPipe", ERROR_INVALID_PARAMETER,
             [](Name n) { return createError(n, PIPE_ACCESS_DUPLEX, 1, kMessagePipe | PIPE_NOWAIT); }},
        // One instance per name, whatever the maximum.
        Call{"SecondInstance", ERROR_PIPE_BUSY,
             [](Name n) {
                 Handle first(createServer(n, PIPE_ACCESS_DUPLEX, 4));
                 return createError(n, PIPE_ACCESS_DUPLEX, 4);
             }},
        Call{"FirstInstanceFlagOnATakenName", ERROR_ACCESS_DENIED,
             [](Name n) {
                 Handle first(createServer(n, PIPE_ACCESS_DUPLEX, 4));
                 return createError(n, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE, 4);
             }},
        Call{"CancelWithNothingPending", ERROR_NOT_FOUND,
             [](Name n) {
                 Handle server(createServer(n));
                 return errorOf(CancelIoEx(server.h, nullptr));
             }},
        // Changing the read mode needs FILE_WRITE_ATTRIBUTES.
        Call{"ReadModeWithoutWriteAttributes", ERROR_ACCESS_DENIED,
             [](Name n) { return setReadModeWith(n, GENERIC_READ); }},
        Call{"ReadModeWithWriteAttributes", ERROR_SUCCESS,
             [](Name n) { return setReadModeWith(n, GENERIC_READ | FILE_WRITE_ATTRIBUTES); }},
        // A finished operation's result is read from the OVERLAPPED alone.
        Call{"ResultAfterTheHandleIsClosed", ERROR_SUCCESS,
             [](Name n) {
                 HANDLE server = createServer(n);
                 Handle client(openClient(n));
                 DWORD bytes = 0;
                 OVERLAPPED overlapped = {};
                 char buffer[8];
                 if (!WriteFile(client.h, "done", 4, &bytes, nullptr) ||
                     !ReadFile(server, buffer, sizeof buffer, &bytes, &overlapped))
                     return DWORD(ERROR_GEN_FAILURE);  // the read was to complete at once
                 CloseHandle(server);
                 const DWORD error = errorOf(GetOverlappedResult(server, &overlapped, &bytes, TRUE));
                 return bytes == 4 ? error : DWORD(ERROR_GEN_FAILURE);
             }},
        Call{"NamedEvent", ERROR_NOT_SUPPORTED,
             [](Name) { return errorOf(CreateEventW(nullptr, TRUE, FALSE, L"shared")); }}),
    [](const ::testing::TestParamInfo<Call>& info) { return std::string(info.param.label); });

// A synchronous call blocked in one thread ends, with an error, when another thread closes the
// handle: it is a pending operation plus a wait, and closing completes every pending operation.
enum class Blocked { Read, Write, Connect };

class LayerChoicesBlocked : public LayerTest, public ::testing::WithParamInterface<Blocked> {};

TEST_P(LayerChoicesBlocked, CloseHandleFromAnotherThreadEndsTheCall)
{
    const std::wstring name = uniqueName("blocked");
    HANDLE server = createServer(name, PIPE_ACCESS_DUPLEX);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    Handle client(GetParam() == Blocked::Connect ? INVALID_HANDLE_VALUE : openClient(name));
    ASSERT_TRUE(GetParam() == Blocked::Connect || client.valid()) << GetLastError();
    const std::string big(32u << 20, 'b');
    Handle started(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    BOOL result = TRUE;
    std::thread blocked([&] {
        SetEvent(started.h);
        char buffer[16];
        DWORD bytes = 0;
        switch (GetParam()) {
        case Blocked::Read: result = ReadFile(server, buffer, sizeof buffer, &bytes, nullptr); break;
        case Blocked::Write: result = WriteFile(server, big.data(), DWORD(big.size()), &bytes, nullptr); break;
        case Blocked::Connect: result = ConnectNamedPipe(server, nullptr); break;
        }
    });
    ASSERT_EQ(WaitForSingleObject(started.h, kLongWaitMs), WAIT_OBJECT_0);
    // Closed either while the call waits or before it starts: both must end it with a failure.
    CloseHandle(server);
    blocked.join();
    EXPECT_FALSE(result);
}

INSTANTIATE_TEST_SUITE_P(LayerChoices, LayerChoicesBlocked,
                         ::testing::Values(Blocked::Read, Blocked::Write, Blocked::Connect));

using LayerChoices = LayerTest;

// With one instance per name, "a new instance" can only appear after the old one is gone.
TEST_F(LayerChoices, WaitNamedPipeIsWokenByTheNextInstanceOfTheName)
{
    const std::wstring name = uniqueName("successor");
    Handle server(createServer(name, PIPE_ACCESS_DUPLEX));
    Handle client(openClient(name));
    ASSERT_TRUE(client.valid());
    Handle started(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    BOOL waited = FALSE;
    DWORD error = 0;
    std::thread waiter([&] {
        SetEvent(started.h);
        waited = WaitNamedPipeW(name.c_str(), kLongWaitMs);
        error = GetLastError();
    });
    ASSERT_EQ(WaitForSingleObject(started.h, kLongWaitMs), WAIT_OBJECT_0);
    client.reset();
    server.reset();
    Handle successor(createServer(name, PIPE_ACCESS_DUPLEX));
    ASSERT_TRUE(successor.valid());
    waiter.join();
    // A waiter that was already waiting sees the successor; one that only started once the name had
    // no instance is told so at once. It must never sit out its time-out.
    EXPECT_TRUE(waited || error == ERROR_FILE_NOT_FOUND) << error;
}

}  // namespace
