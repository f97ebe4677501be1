// ConnectNamedPipe and the life cycle of a server instance: listening from creation, pending
// connects, clients that came first, came and went, and reconnecting after DisconnectNamedPipe.

#include "Support.h"

#include <thread>

using namespace w32test;

namespace {

// Where the client stands when ConnectNamedPipe is called.
enum class Before { ClientArrived, ClientConnected, ClientCameAndLeft };

struct ImmediateConnect {
    const char* label;
    Before before;
    DWORD error;
};

class ConnectImmediate : public ::testing::TestWithParam<ImmediateConnect> {};

// A client that came first makes the call fail at once; the event is reset and not set, so the
// caller must not wait on it.
TEST_P(ConnectImmediate, FailsAtOnceAndClearsTheEvent)
{
    const ImmediateConnect& c = GetParam();
    PipePair pair;
    if (c.before == Before::ClientConnected) {
        pair = connectedPair("immediate");
    } else {
        pair.name = uniquePipeName("immediate");
        pair.server = createServer(pair.name);
        pair.client = openClient(pair.name);  // the instance listens before ConnectNamedPipe is called
        if (c.before == Before::ClientCameAndLeft)
            pair.client.reset();
    }
    Overlapped connect;
    SetEvent(connect.hEvent);
    EXPECT_FAILS_WITH(ConnectNamedPipe(pair.server.get(), &connect), c.error);
    EXPECT_FALSE(isSignalled(connect.hEvent));
    EXPECT_EQ(connect.Internal, kStatusPending);
}

INSTANTIATE_TEST_SUITE_P(
    Connect, ConnectImmediate,
    ::testing::Values(ImmediateConnect{"ClientArrivedFirst", Before::ClientArrived, ERROR_PIPE_CONNECTED},
                      ImmediateConnect{"AlreadyConnected", Before::ClientConnected, ERROR_PIPE_CONNECTED},
                      ImmediateConnect{"ClientCameAndLeft", Before::ClientCameAndLeft, ERROR_NO_DATA}),
    [](const ::testing::TestParamInfo<ImmediateConnect>& info) { return std::string(info.param.label); });

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

// Reads and writes on an instance nobody has connected to yet.
class ConnectBeforeClient : public ::testing::TestWithParam<bool> {};

TEST_P(ConnectBeforeClient, ReadAndWriteReportPipeListening)
{
    Handle server = createServer(uniquePipeName("listening"), kMessagePipe,
                                 GetParam() ? kOverlappedDuplex : PIPE_ACCESS_DUPLEX);
    expectReadWriteFail(server.get(), ERROR_PIPE_LISTENING, ERROR_PIPE_LISTENING, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Connect, ConnectBeforeClient, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Overlapped" : "Synchronous");
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

// One instance serving client after client: after DisconnectNamedPipe clients find it busy until
// ConnectNamedPipe is called again, which goes pending and accepts the next one.
TEST(Connect, DisconnectAndConnectServeEachClientInTurn)
{
    const std::wstring name = uniquePipeName("serve");
    Handle server = createServer(name);
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        Overlapped connect;
        EXPECT_FAILS_WITH(ConnectNamedPipe(server.get(), &connect), ERROR_IO_PENDING);
        Handle client = openClient(name);
        DWORD bytes = 0;
        ASSERT_TRUE(GetOverlappedResult(server.get(), &connect, &bytes, TRUE)) << GetLastError();
        const std::string text = "round " + std::to_string(round);
        EXPECT_EQ(writeMessage(client.get(), text), text.size());
        DWORD error = 0;
        EXPECT_EQ(readOnce(server.get(), 64, &error), text);
        EXPECT_EQ(error, ERROR_SUCCESS);
        EXPECT_EQ(writeMessage(server.get(), text + " back"), text.size() + 5);
        EXPECT_EQ(readOnce(client.get(), 64, &error), text + " back");
        EXPECT_TRUE(DisconnectNamedPipe(server.get())) << GetLastError();
        EXPECT_EQ(openError(name), static_cast<DWORD>(ERROR_PIPE_BUSY));
    }
}

TEST(Connect, PendingConnectCancelledReportsOperationAborted)
{
    const std::wstring name = uniquePipeName("cancel");
    Handle server = createServer(name);
    Overlapped connect;
    EXPECT_FAILS_WITH(ConnectNamedPipe(server.get(), &connect), ERROR_IO_PENDING);
    EXPECT_TRUE(CancelIoEx(server.get(), &connect)) << GetLastError();
    EXPECT_EQ(outcome(server.get(), &connect), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FAILS_WITH(CancelIoEx(server.get(), &connect), ERROR_NOT_FOUND);

    // The instance still listens: a new connect goes pending and a client completes it.
    Overlapped again;
    EXPECT_FAILS_WITH(ConnectNamedPipe(server.get(), &again), ERROR_IO_PENDING);
    Handle client = openClient(name);
    EXPECT_EQ(outcome(server.get(), &again), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST(Connect, PendingConnectEndsWithItsEventSetWhenTheHandleIsClosed)
{
    Handle server = createServer(uniquePipeName("closed"));
    Overlapped connect;
    EXPECT_FAILS_WITH(ConnectNamedPipe(server.get(), &connect), ERROR_IO_PENDING);
    server.reset();
    EXPECT_EQ(WaitForSingleObject(connect.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_NE(connect.Internal, kStatusPending);
}

}  // namespace
