// What one end sees when the other closes its handle or its process dies: queued data is still
// read, then reads fail with ERROR_BROKEN_PIPE and writes with ERROR_NO_DATA; operations already
// pending fail with ERROR_BROKEN_PIPE.

#include "Support.h"

using namespace w32test;

namespace {

enum class Leaver { Client, Server };

class PeerLeaving : public ::testing::TestWithParam<Leaver> {
protected:
    void SetUp() override { pair_ = connectedPair("leaving"); }
    Handle& leaver() { return GetParam() == Leaver::Client ? pair_.client : pair_.server; }
    HANDLE stayer() { return GetParam() == Leaver::Client ? pair_.server.get() : pair_.client.get(); }

    PipePair pair_;
};

// With the peer gone and nothing left to read, reads fail at once with ERROR_BROKEN_PIPE and
// writes with ERROR_NO_DATA, every time.
void expectBrokenAtOnce(HANDLE stayer)
{
    for (int attempt = 0; attempt < 3; ++attempt)
        expectReadWriteFail(stayer, ERROR_BROKEN_PIPE, ERROR_NO_DATA);
}

TEST_P(PeerLeaving, QueuedMessagesAreStillReadThenReadsBreakAndWritesFindNoReader)
{
    ASSERT_EQ(writeMessage(leaver().get(), "Hello World"), 11u);
    ASSERT_EQ(writeMessage(leaver().get(), ""), 0u);
    leaver().reset();

    DWORD error = 0;
    EXPECT_EQ(readOnce(stayer(), 64, &error), "Hello World");
    EXPECT_EQ(error, ERROR_SUCCESS);
    EXPECT_EQ(readOnce(stayer(), 64, &error), "");
    EXPECT_EQ(error, ERROR_SUCCESS);
    expectBrokenAtOnce(stayer());
}

TEST_P(PeerLeaving, PendingReadAndWriteFailWithBrokenPipe)
{
    PendingIo read(stayer(), false), write(stayer(), true);
    leaver().reset();
    DWORD transferred = 0;
    EXPECT_EQ(outcome(stayer(), &read, &transferred), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(outcome(stayer(), &write), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    expectBrokenAtOnce(stayer());
}

INSTANTIATE_TEST_SUITE_P(PeerLeaving, PeerLeaving, ::testing::Values(Leaver::Client, Leaver::Server),
                         [](const ::testing::TestParamInfo<Leaver>& info) {
                             return std::string(info.param == Leaver::Client ? "ClientCloses" : "ServerCloses");
                         });

// A server instance whose client is a child process that wrote `bytes` bytes and hangs.
struct ChildWriter {
    explicit ChildWriter(size_t bytes)
    {
        const std::wstring name = uniquePipeName("child");
        server = createServer(name);
        child = spawnConnectedChild(server.get(), {"write-and-hang", narrow(name), std::to_string(bytes)});
    }
    Handle server;
    std::unique_ptr<ChildProcess> child;
};

// The peer is another process that dies without closing anything.
TEST(PeerLeaving, KilledClientProcessBreaksAPendingRead)
{
    ChildWriter peer(100);
    ASSERT_TRUE(peer.child);
    DWORD error = 0;
    EXPECT_EQ(readOnce(peer.server.get(), 1000, &error), patternBytes(100, 7));
    EXPECT_EQ(error, ERROR_SUCCESS);

    PendingIo read(peer.server.get(), false);
    peer.child->kill();
    peer.child->wait();
    EXPECT_EQ(outcome(peer.server.get(), &read), static_cast<DWORD>(ERROR_BROKEN_PIPE));
}

// The writer dies half-way through a message larger than the pipe's buffer: whatever of it had
// reached the pipe, a read never completes the message; it ends in ERROR_BROKEN_PIPE.
TEST(PeerLeaving, WriterKilledMidMessageLeavesABrokenPipe)
{
    ChildWriter peer(32u << 20);
    ASSERT_TRUE(peer.child);
    DWORD error = 0;
    EXPECT_EQ(readOnce(peer.server.get(), 10, &error), patternBytes(10, 7));
    EXPECT_EQ(error, ERROR_MORE_DATA);

    peer.child->kill();
    peer.child->wait();
    do {
        readOnce(peer.server.get(), 1u << 20, &error);
    } while (error == ERROR_MORE_DATA);
    EXPECT_EQ(error, ERROR_BROKEN_PIPE);
}

}  // namespace
