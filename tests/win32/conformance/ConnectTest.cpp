// ConnectNamedPipe and the life cycle of a server instance: listening from creation, pending
// connects, clients that came first, came and went, and reconnecting after DisconnectNamedPipe.

#include "Support.h"

#include <thread>

using namespace w32test;

namespace {

TEST(Connect, ClientArrivingFirstMakesConnectReportPipeConnectedWithoutSettingTheEvent)
{
    const std::wstring name = uniquePipeName("first");
    Handle server = createServer(name);
    Handle client = openClient(name);  // the instance listens before ConnectNamedPipe is called

    Overlapped connect;
    SetEvent(connect.hEvent);  // a stale signal must be cleared by the call
    EXPECT_FAILS_WITH(ConnectNamedPipe(server.get(), &connect), ERROR_PIPE_CONNECTED);
    EXPECT_FALSE(isSignalled(connect.hEvent));
    EXPECT_EQ(connect.Internal, kStatusPending);
}

TEST(Connect, PendingConnectCompletesWhenAClientArrives)
{
    const std::wstring name = uniquePipeName("pending");
    Handle server = createServer(name);
    Overlapped connect;
    SetEvent(connect.hEvent);
    EXPECT_FAILS_WITH(ConnectNamedPipe(server.get(), &connect), ERROR_IO_PENDING);
    EXPECT_FALSE(isSignalled(connect.hEvent));
    DWORD bytes = 0xdeadbeef;
    EXPECT_FAILS_WITH(GetOverlappedResult(server.get(), &connect, &bytes, FALSE), ERROR_IO_INCOMPLETE);

    Handle client = openClient(name);
    EXPECT_EQ(WaitForSingleObject(connect.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(server.get(), &connect, &bytes, TRUE));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(connect.Internal, kStatusSuccess);
}

TEST(Connect, ClientThatCameAndLeftMakesConnectReportNoData)
{
    const std::wstring name = uniquePipeName("gone");
    Handle server = createServer(name);
    openClient(name).reset();

    Overlapped connect;
    EXPECT_FAILS_WITH(ConnectNamedPipe(server.get(), &connect), ERROR_NO_DATA);
    EXPECT_FALSE(isSignalled(connect.hEvent));
}

TEST(Connect, SecondConnectOnAConnectedPipeReportsPipeConnected)
{
    PipePair pair = connectedPair("again");
    Overlapped connect;
    EXPECT_FAILS_WITH(ConnectNamedPipe(pair.server.get(), &connect), ERROR_PIPE_CONNECTED);
}

TEST(Connect, AfterDisconnectClientsAreBusyUntilConnectIsCalledAgain)
{
    PipePair pair = connectedPair("cycle");
    EXPECT_TRUE(DisconnectNamedPipe(pair.server.get()));

    EXPECT_EQ(openError(pair.name), static_cast<DWORD>(ERROR_PIPE_BUSY));

    Overlapped connect;
    EXPECT_FAILS_WITH(ConnectNamedPipe(pair.server.get(), &connect), ERROR_IO_PENDING);
    Handle next = openClient(pair.name);
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(pair.server.get(), &connect, &bytes, TRUE)) << GetLastError();
    EXPECT_EQ(writeMessage(next.get(), "hello"), 5u);
    DWORD error = 0;
    EXPECT_EQ(readOnce(pair.server.get(), 64, &error), "hello");
    EXPECT_EQ(error, ERROR_SUCCESS);
}

// Reads and writes on an instance nobody has connected to yet.
class ConnectBeforeClient : public ::testing::TestWithParam<bool> {};

TEST_P(ConnectBeforeClient, ReadAndWriteReportPipeListening)
{
    const bool overlapped = GetParam();
    const std::wstring name = uniquePipeName("listening");
    Handle server = createServer(name, kMessagePipe, overlapped ? kOverlappedDuplex : PIPE_ACCESS_DUPLEX);
    char buffer[16] = {};
    DWORD bytes = 0;
    Overlapped read, write;
    EXPECT_FAILS_WITH(ReadFile(server.get(), buffer, sizeof buffer, &bytes, overlapped ? &read : nullptr),
                      ERROR_PIPE_LISTENING);
    EXPECT_FAILS_WITH(WriteFile(server.get(), "x", 1, &bytes, overlapped ? &write : nullptr), ERROR_PIPE_LISTENING);
    EXPECT_FALSE(isSignalled(read.hEvent));
    EXPECT_FALSE(isSignalled(write.hEvent));
}

INSTANTIATE_TEST_SUITE_P(Connect, ConnectBeforeClient, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Overlapped") : std::string("Synchronous");
                         });

TEST(Connect, SynchronousConnectReturnsOnceAClientHasArrived)
{
    const std::wstring name = uniquePipeName("sync");
    Handle server = createServer(name, kMessagePipe, PIPE_ACCESS_DUPLEX);
    BOOL connected = FALSE;
    DWORD error = 0;
    std::thread waiter([&] {
        connected = ConnectNamedPipe(server.get(), nullptr);
        error = GetLastError();
    });
    Handle client = openClient(name, 0);
    waiter.join();
    // Whichever came first: the call saw the client arrive, or found it there.
    EXPECT_TRUE(connected || error == ERROR_PIPE_CONNECTED) << error;
}

// A server serving one client after another on the same instance.
class ConnectCycles : public ::testing::TestWithParam<int> {};

TEST_P(ConnectCycles, DisconnectAndConnectServeEachClientInTurn)
{
    const std::wstring name = uniquePipeName("serve");
    Handle server = createServer(name);
    for (int round = 0; round < GetParam(); ++round) {
        SCOPED_TRACE(round);
        Overlapped connect;
        if (!ConnectNamedPipe(server.get(), &connect)) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        }
        Handle client = openClient(name);
        DWORD bytes = 0;
        ASSERT_TRUE(GetOverlappedResult(server.get(), &connect, &bytes, TRUE)) << GetLastError();
        const std::string text = "round " + std::to_string(round);
        EXPECT_EQ(writeMessage(client.get(), text), text.size());
        DWORD error = 0;
        EXPECT_EQ(readOnce(server.get(), 64, &error), text);
        EXPECT_EQ(writeMessage(server.get(), text + " back"), text.size() + 5);
        EXPECT_EQ(readOnce(client.get(), 64, &error), text + " back");
        EXPECT_TRUE(DisconnectNamedPipe(server.get())) << GetLastError();
    }
}

INSTANTIATE_TEST_SUITE_P(Connect, ConnectCycles, ::testing::Values(1, 8));

TEST(Connect, PendingConnectCancelledReportsOperationAborted)
{
    const std::wstring name = uniquePipeName("cancel");
    Handle server = createServer(name);
    Overlapped connect;
    EXPECT_FAILS_WITH(ConnectNamedPipe(server.get(), &connect), ERROR_IO_PENDING);
    EXPECT_TRUE(CancelIoEx(server.get(), &connect)) << GetLastError();
    EXPECT_EQ(WaitForSingleObject(connect.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    DWORD bytes = 0;
    EXPECT_FAILS_WITH(GetOverlappedResult(server.get(), &connect, &bytes, TRUE), ERROR_OPERATION_ABORTED);
    EXPECT_FAILS_WITH(CancelIoEx(server.get(), &connect), ERROR_NOT_FOUND);

    // The instance still listens: a new connect goes pending and a client completes it.
    Overlapped again;
    EXPECT_FAILS_WITH(ConnectNamedPipe(server.get(), &again), ERROR_IO_PENDING);
    Handle client = openClient(name);
    EXPECT_TRUE(GetOverlappedResult(server.get(), &again, &bytes, TRUE)) << GetLastError();
}

TEST(Connect, PendingConnectEndsWithItsEventSetWhenTheHandleIsClosed)
{
    const std::wstring name = uniquePipeName("closed");
    Handle server = createServer(name);
    Overlapped connect;
    EXPECT_FAILS_WITH(ConnectNamedPipe(server.get(), &connect), ERROR_IO_PENDING);
    server.reset();
    EXPECT_EQ(WaitForSingleObject(connect.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_NE(connect.Internal, kStatusPending);
}

}  // namespace
