// Where the layer deliberately goes its own way, or promises more than Windows documents: stricter
// argument checks, one instance per name, and synchronous calls that another thread's CloseHandle
// always ends. These are not part of the conformance suite because Wine (or Windows) differs.

#include "LayerSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

using namespace w32layertest;

namespace {

constexpr DWORD kMessagePipe = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE;

DWORD createError(const std::wstring& name, DWORD openMode, DWORD pipeMode, DWORD maxInstances)
{
    SetLastError(0);
    HANDLE pipe = CreateNamedPipeW(name.c_str(), openMode, pipeMode, maxInstances, 0, 0, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(pipe);
    return ERROR_SUCCESS;
}

class LayerChoices : public ::testing::Test {
protected:
    TempRuntimeDir runtime_;
};

TEST_F(LayerChoices, NamesOfMoreThan256CharactersAreRefused)
{
    std::wstring name = uniqueName("limit");
    name.resize(256, L'x');
    EXPECT_EQ(createError(name, PIPE_ACCESS_DUPLEX, kMessagePipe, 1), static_cast<DWORD>(ERROR_SUCCESS));
    name.push_back(L'x');
    EXPECT_EQ(createError(name, PIPE_ACCESS_DUPLEX, kMessagePipe, 1), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

struct BadArguments {
    const char* label;
    DWORD openMode;
    DWORD pipeMode;
    DWORD maxInstances;
};

class LayerChoicesArguments : public LayerChoices, public ::testing::WithParamInterface<BadArguments> {};

TEST_P(LayerChoicesArguments, AreRejectedAsInvalidParameters)
{
    const BadArguments& a = GetParam();
    EXPECT_EQ(createError(uniqueName("args"), a.openMode, a.pipeMode, a.maxInstances),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

INSTANTIATE_TEST_SUITE_P(
    LayerChoices, LayerChoicesArguments,
    ::testing::Values(BadArguments{"ZeroInstances", PIPE_ACCESS_DUPLEX, kMessagePipe, 0},
                      BadArguments{"MoreThan255Instances", PIPE_ACCESS_DUPLEX, kMessagePipe, 256},
                      BadArguments{"NoAccess", FILE_FLAG_OVERLAPPED, kMessagePipe, 1},
                      BadArguments{"NonBlockingPipe", PIPE_ACCESS_DUPLEX, kMessagePipe | PIPE_NOWAIT, 1}),
    [](const ::testing::TestParamInfo<BadArguments>& info) { return std::string(info.param.label); });

TEST_F(LayerChoices, OneInstancePerNameWhateverTheMaximum)
{
    const std::wstring name = uniqueName("single");
    HANDLE first = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, kMessagePipe, 4, 0, 0, 0, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(createError(name, PIPE_ACCESS_DUPLEX, kMessagePipe, 4), static_cast<DWORD>(ERROR_PIPE_BUSY));
    EXPECT_EQ(createError(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE, kMessagePipe, 4),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(first);
}

TEST_F(LayerChoices, CancelWithNothingPendingReportsNotFound)
{
    const std::wstring name = uniqueName("nocancel");
    HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, kMessagePipe, 1, 0, 0, 0,
                                     nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    SetLastError(0);
    EXPECT_FALSE(CancelIoEx(server, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    CloseHandle(server);
}

TEST_F(LayerChoices, ChangingTheReadModeNeedsWriteAttributesAccess)
{
    const std::wstring name = uniqueName("rights");
    HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, kMessagePipe, 1, 0, 0, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE readOnly = CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(readOnly, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetLastError(0);
    EXPECT_FALSE(SetNamedPipeHandleState(readOnly, &mode, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(readOnly);
    CloseHandle(server);

    server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, kMessagePipe, 1, 0, 0, 0, nullptr);
    HANDLE reader = CreateFileW(name.c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(SetNamedPipeHandleState(reader, &mode, nullptr, nullptr)) << GetLastError();
    CloseHandle(reader);
    CloseHandle(server);
}

TEST_F(LayerChoices, NamedEventsAreNotSupported)
{
    SetLastError(0);
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, L"shared"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

// A synchronous call blocked in one thread ends, with an error, when another thread closes the
// handle: it is a pending operation plus a wait, and closing completes every pending operation.
enum class Blocked { Read, Write, Connect };

class LayerChoicesBlocked : public LayerChoices, public ::testing::WithParamInterface<Blocked> {};

TEST_P(LayerChoicesBlocked, CloseHandleFromAnotherThreadEndsTheCall)
{
    const std::wstring name = uniqueName("blocked");
    HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, kMessagePipe, 1, 0, 0, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE client = INVALID_HANDLE_VALUE;
    if (GetParam() != Blocked::Connect) {
        client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(client, INVALID_HANDLE_VALUE);
    }
    const std::string big(32u << 20, 'b');
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL result = TRUE;
    std::thread blocked([&] {
        SetEvent(started);
        char buffer[16];
        DWORD bytes = 0;
        switch (GetParam()) {
        case Blocked::Read: result = ReadFile(server, buffer, sizeof buffer, &bytes, nullptr); break;
        case Blocked::Write: result = WriteFile(server, big.data(), static_cast<DWORD>(big.size()), &bytes, nullptr); break;
        case Blocked::Connect: result = ConnectNamedPipe(server, nullptr); break;
        }
    });
    ASSERT_EQ(WaitForSingleObject(started, 60000), WAIT_OBJECT_0);
    // Closed either while the call waits or before it starts: both must end it with a failure.
    CloseHandle(server);
    blocked.join();
    EXPECT_FALSE(result);
    if (client != INVALID_HANDLE_VALUE)
        CloseHandle(client);
    CloseHandle(started);
}

INSTANTIATE_TEST_SUITE_P(LayerChoices, LayerChoicesBlocked, ::testing::Values(Blocked::Read, Blocked::Write, Blocked::Connect));

// With one instance per name, "a new instance" can only appear after the old one is gone.
TEST_F(LayerChoices, WaitNamedPipeIsWokenByTheNextInstanceOfTheName)
{
    const std::wstring name = uniqueName("successor");
    HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, kMessagePipe, 1, 0, 0, 0, nullptr);
    HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL waited = FALSE;
    DWORD error = 0;
    std::thread waiter([&] {
        SetEvent(started);
        waited = WaitNamedPipeW(name.c_str(), 60000);
        error = GetLastError();
    });
    ASSERT_EQ(WaitForSingleObject(started, 60000), WAIT_OBJECT_0);
    CloseHandle(client);
    CloseHandle(server);
    HANDLE successor = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, kMessagePipe, 1, 0, 0, 0, nullptr);
    ASSERT_NE(successor, INVALID_HANDLE_VALUE);
    waiter.join();
    // A waiter that was already waiting sees the successor; one that only started once the name had
    // no instance is told so at once. It must never sit out its time-out.
    EXPECT_TRUE(waited || error == ERROR_FILE_NOT_FOUND) << error;
    CloseHandle(successor);
    CloseHandle(started);
}

TEST_F(LayerChoices, CompletedResultIsReadableAfterTheHandleIsClosed)
{
    const std::wstring name = uniqueName("afterclose");
    HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, kMessagePipe, 1, 0, 0, 0,
                                     nullptr);
    HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    DWORD bytes = 0;
    ASSERT_TRUE(WriteFile(client, "done", 4, &bytes, nullptr));
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    char buffer[8];
    ASSERT_TRUE(ReadFile(server, buffer, sizeof buffer, &bytes, &overlapped));
    CloseHandle(server);
    EXPECT_TRUE(GetOverlappedResult(server, &overlapped, &bytes, TRUE));
    EXPECT_EQ(bytes, 4u);
    CloseHandle(client);
    CloseHandle(event);
}

}  // namespace
