// The client's view: CreateFileW on missing and busy pipes, WaitNamedPipeW, and calls that only a
// server end accepts.

#include "Support.h"

#include <thread>

using namespace w32test;

namespace {

TEST(ClientSide, AMissingPipeFailsAtOnceWithFileNotFound)
{
    const std::wstring name = uniquePipeName("missing");
    EXPECT_EQ(openError(name), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FAILS_WITH(WaitNamedPipeW(name.c_str(), 20000), ERROR_FILE_NOT_FOUND);
}

// The three ways an instance is busy.
enum class Busy { ClientConnected, ClientClosedNotDisconnected, DisconnectedNotListening };

class ClientSideBusy : public ::testing::TestWithParam<Busy> {};

TEST_P(ClientSideBusy, OpeningFailsWithPipeBusyAndWaitingTimesOut)
{
    PipePair pair = connectedPair("busy");
    if (GetParam() != Busy::ClientConnected)
        pair.client.reset();
    if (GetParam() == Busy::DisconnectedNotListening) {
        ASSERT_TRUE(DisconnectNamedPipe(pair.server.get())) << GetLastError();  // after the client closed too
    }
    EXPECT_EQ(openError(pair.name), static_cast<DWORD>(ERROR_PIPE_BUSY));
    EXPECT_FAILS_WITH(WaitNamedPipeW(pair.name.c_str(), 100), ERROR_SEM_TIMEOUT);
}

std::string busyName(const ::testing::TestParamInfo<Busy>& info)
{
    static const char* const names[] = {"ClientConnected", "ClientClosedNotDisconnected", "DisconnectedNotListening"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(ClientSide, ClientSideBusy,
                         ::testing::Values(Busy::ClientConnected, Busy::ClientClosedNotDisconnected,
                                           Busy::DisconnectedNotListening),
                         busyName);

TEST(ClientSide, WaitNamedPipeSucceedsForAListeningInstance)
{
    const std::wstring name = uniquePipeName("free");
    Handle server = createServer(name);
    EXPECT_TRUE(WaitNamedPipeW(name.c_str(), 1)) << GetLastError();
    EXPECT_TRUE(WaitNamedPipeW(name.c_str(), NMPWAIT_WAIT_FOREVER)) << GetLastError();
}

TEST(ClientSide, WaitNamedPipeIsWokenWhenTheServerListensAgain)
{
    PipePair pair = connectedPair("waitwake");
    pair.client.reset();
    ASSERT_TRUE(DisconnectNamedPipe(pair.server.get())) << GetLastError();
    BOOL waited = FALSE;
    DWORD error = 0;
    std::thread waiter([&] {
        waited = WaitNamedPipeW(pair.name.c_str(), kLongWaitMs);
        error = GetLastError();
    });
    Overlapped connect;
    EXPECT_FAILS_WITH(ConnectNamedPipe(pair.server.get(), &connect), ERROR_IO_PENDING);
    waiter.join();
    EXPECT_TRUE(waited) << error;
    Handle client = openClient(pair.name);
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(pair.server.get(), &connect, &bytes, TRUE)) << GetLastError();
}

TEST(ClientSide, ServerOnlyCallsOnAClientHandleAreInvalidFunctions)
{
    PipePair pair = connectedPair("clientcalls");
    Overlapped connect;
    EXPECT_FAILS_WITH(ConnectNamedPipe(pair.client.get(), &connect), ERROR_INVALID_FUNCTION);
}

TEST(ClientSide, SynchronousClientTalksToAnOverlappedServer)
{
    const std::wstring name = uniquePipeName("syncclient");
    Handle server = createServer(name);
    Handle client = openClient(name, 0);
    DWORD mode = PIPE_READMODE_MESSAGE;
    ASSERT_TRUE(SetNamedPipeHandleState(client.get(), &mode, nullptr, nullptr)) << GetLastError();
    DWORD bytes = 0;
    ASSERT_TRUE(WriteFile(client.get(), "question", 8, &bytes, nullptr)) << GetLastError();
    EXPECT_EQ(bytes, 8u);
    DWORD error = 0;
    EXPECT_EQ(readOnce(server.get(), 64, &error), "question");
    ASSERT_EQ(writeMessage(server.get(), "answer"), 6u);
    char buffer[16] = {};
    ASSERT_TRUE(ReadFile(client.get(), buffer, sizeof buffer, &bytes, nullptr)) << GetLastError();
    EXPECT_EQ(std::string(buffer, bytes), "answer");
}

// A pipe end must not live on in a child process started while it was open: the peer still sees
// it close when its owner closes it.
TEST(ClientSide, ChildProcessDoesNotKeepAPipeEndAlive)
{
    PipePair pair = connectedPair("inherit");
    const std::wstring readyName = uniquePipeName("ready");
    Handle ready = createServer(readyName);
    auto child = spawnConnectedChild(ready.get(), {"signal-ready", narrow(readyName)});
    ASSERT_TRUE(child);

    PendingIo read(pair.client.get(), false);
    pair.server.reset();
    EXPECT_EQ(outcome(pair.client.get(), &read), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    // And the name is free again at once.
    EXPECT_TRUE(createServer(pair.name).valid());
}

}  // namespace
