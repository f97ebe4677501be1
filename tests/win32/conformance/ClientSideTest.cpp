// The client's view: CreateFileW on missing and busy pipes, WaitNamedPipeW, and calls that only a
// server end accepts.

#include "ChildProcess.h"
#include "Support.h"

#include <thread>

using namespace w32test;

namespace {

TEST(ClientSide, OpeningAMissingPipeFailsWithFileNotFound)
{
    EXPECT_EQ(openError(uniquePipeName("missing")), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// The three ways an instance is busy.
enum class Busy { ClientConnected, ClientClosedNotDisconnected, DisconnectedNotListening };

class ClientSideBusy : public ::testing::TestWithParam<Busy> {};

TEST_P(ClientSideBusy, OpeningABusyInstanceFailsWithPipeBusy)
{
    PipePair pair = connectedPair("busy");
    if (GetParam() != Busy::ClientConnected)
        pair.client.reset();
    if (GetParam() == Busy::DisconnectedNotListening) {
        ASSERT_TRUE(DisconnectNamedPipe(pair.server.get())) << GetLastError();
    }
    EXPECT_EQ(openError(pair.name), static_cast<DWORD>(ERROR_PIPE_BUSY));
}

INSTANTIATE_TEST_SUITE_P(ClientSide, ClientSideBusy,
                         ::testing::Values(Busy::ClientConnected, Busy::ClientClosedNotDisconnected,
                                           Busy::DisconnectedNotListening),
                         [](const ::testing::TestParamInfo<Busy>& info) {
                             switch (info.param) {
                             case Busy::ClientConnected: return std::string("ClientConnected");
                             case Busy::ClientClosedNotDisconnected: return std::string("ClientClosedNotDisconnected");
                             case Busy::DisconnectedNotListening: return std::string("DisconnectedNotListening");
                             }
                             return std::string();
                         });

TEST(ClientSide, WaitNamedPipeWithoutAnInstanceFailsAtOnce)
{
    EXPECT_FAILS_WITH(WaitNamedPipeW(uniquePipeName("nowait").c_str(), 20000), ERROR_FILE_NOT_FOUND);
}

TEST(ClientSide, WaitNamedPipeSucceedsForAListeningInstance)
{
    const std::wstring name = uniquePipeName("free");
    Handle server = createServer(name);
    EXPECT_TRUE(WaitNamedPipeW(name.c_str(), 1)) << GetLastError();
    EXPECT_TRUE(WaitNamedPipeW(name.c_str(), NMPWAIT_WAIT_FOREVER)) << GetLastError();
}

TEST(ClientSide, WaitNamedPipeOnABusyInstanceTimesOut)
{
    PipePair pair = connectedPair("waitbusy");
    EXPECT_FAILS_WITH(WaitNamedPipeW(pair.name.c_str(), 100), ERROR_SEM_TIMEOUT);
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
    Overlapped readyConnect;
    EXPECT_FAILS_WITH(ConnectNamedPipe(ready.get(), &readyConnect), ERROR_IO_PENDING);
    auto child = ChildProcess::spawnSelf({"signal-ready", narrow(readyName)});
    ASSERT_TRUE(child);
    DWORD bytes = 0;
    ASSERT_TRUE(GetOverlappedResult(ready.get(), &readyConnect, &bytes, TRUE)) << GetLastError();

    char buffer[8];
    Overlapped read;
    EXPECT_FAILS_WITH(ReadFile(pair.client.get(), buffer, sizeof buffer, &bytes, &read), ERROR_IO_PENDING);
    pair.server.reset();
    EXPECT_EQ(WaitForSingleObject(read.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_FAILS_WITH(GetOverlappedResult(pair.client.get(), &read, &bytes, FALSE), ERROR_BROKEN_PIPE);
    // And the name is free again at once.
    Handle again = createServer(pair.name);
    EXPECT_TRUE(again.valid());
}

}  // namespace
