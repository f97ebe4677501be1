// What one end sees when the other closes its handle or its process dies: queued data is still
// read, then reads fail with ERROR_BROKEN_PIPE and writes with ERROR_NO_DATA; operations already
// pending fail with ERROR_BROKEN_PIPE.

#include "ChildProcess.h"
#include "Support.h"

#include <thread>

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

    char buffer[16];
    DWORD bytes = 0;
    Overlapped read;
    EXPECT_FAILS_WITH(ReadFile(stayer(), buffer, sizeof buffer, &bytes, &read), ERROR_BROKEN_PIPE);
    EXPECT_FALSE(isSignalled(read.hEvent));
    Overlapped write;
    EXPECT_FAILS_WITH(WriteFile(stayer(), "late", 4, &bytes, &write), ERROR_NO_DATA);
    EXPECT_FALSE(isSignalled(write.hEvent));
}

TEST_P(PeerLeaving, PendingReadFailsWithBrokenPipe)
{
    char buffer[16];
    DWORD bytes = 0;
    Overlapped read;
    EXPECT_FAILS_WITH(ReadFile(stayer(), buffer, sizeof buffer, &bytes, &read), ERROR_IO_PENDING);
    leaver().reset();
    EXPECT_EQ(WaitForSingleObject(read.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    DWORD transferred = 0xdeadbeef;
    EXPECT_FAILS_WITH(GetOverlappedResult(stayer(), &read, &transferred, FALSE), ERROR_BROKEN_PIPE);
    EXPECT_EQ(transferred, 0u);
}

TEST_P(PeerLeaving, PendingWriteFailsWithBrokenPipe)
{
    // Far more than any pipe buffer holds, so the write waits for a reader that never reads.
    const std::string big(16u << 20, 'w');
    DWORD bytes = 0;
    Overlapped write;
    EXPECT_FAILS_WITH(WriteFile(stayer(), big.data(), static_cast<DWORD>(big.size()), &bytes, &write), ERROR_IO_PENDING);
    leaver().reset();
    EXPECT_EQ(WaitForSingleObject(write.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    DWORD transferred = 0;
    EXPECT_FAILS_WITH(GetOverlappedResult(stayer(), &write, &transferred, FALSE), ERROR_BROKEN_PIPE);
}

TEST_P(PeerLeaving, ReadingFromAPipeWithNothingLeftFailsAtOnceEveryTime)
{
    leaver().reset();
    for (int attempt = 0; attempt < 3; ++attempt) {
        char buffer[4];
        DWORD bytes = 0;
        Overlapped read;
        SetEvent(read.hEvent);
        EXPECT_FAILS_WITH(ReadFile(stayer(), buffer, sizeof buffer, &bytes, &read), ERROR_BROKEN_PIPE);
        EXPECT_FALSE(isSignalled(read.hEvent));
    }
}

INSTANTIATE_TEST_SUITE_P(PeerLeaving, PeerLeaving, ::testing::Values(Leaver::Client, Leaver::Server),
                         [](const ::testing::TestParamInfo<Leaver>& info) {
                             return info.param == Leaver::Client ? std::string("ClientCloses")
                                                                 : std::string("ServerCloses");
                         });

// The peer is another process that dies without closing anything.
TEST(PeerLeaving, KilledClientProcessBreaksAPendingRead)
{
    const std::wstring name = uniquePipeName("killed");
    Handle server = createServer(name);
    Overlapped connect;
    EXPECT_FAILS_WITH(ConnectNamedPipe(server.get(), &connect), ERROR_IO_PENDING);
    auto child = ChildProcess::spawnSelf({"write-and-hang", narrow(name), "100"});
    ASSERT_TRUE(child);
    DWORD bytes = 0;
    ASSERT_TRUE(GetOverlappedResult(server.get(), &connect, &bytes, TRUE)) << GetLastError();
    DWORD error = 0;
    EXPECT_EQ(readOnce(server.get(), 1000, &error), patternBytes(100, 7));
    EXPECT_EQ(error, ERROR_SUCCESS);

    char buffer[16];
    Overlapped read;
    EXPECT_FAILS_WITH(ReadFile(server.get(), buffer, sizeof buffer, &bytes, &read), ERROR_IO_PENDING);
    child->kill();
    child->wait();
    EXPECT_EQ(WaitForSingleObject(read.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_FAILS_WITH(GetOverlappedResult(server.get(), &read, &bytes, FALSE), ERROR_BROKEN_PIPE);
}

// The writer dies half-way through a message larger than the pipe's buffer: the part never
// completed is not delivered as if it were a message.
TEST(PeerLeaving, WriterKilledMidMessageLeavesABrokenPipe)
{
    const std::wstring name = uniquePipeName("midway");
    Handle server = createServer(name);
    Overlapped connect;
    EXPECT_FAILS_WITH(ConnectNamedPipe(server.get(), &connect), ERROR_IO_PENDING);
    auto child = ChildProcess::spawnSelf({"write-and-hang", narrow(name), std::to_string(32u << 20)});
    ASSERT_TRUE(child);
    DWORD bytes = 0;
    ASSERT_TRUE(GetOverlappedResult(server.get(), &connect, &bytes, TRUE)) << GetLastError();
    DWORD error = 0;
    EXPECT_EQ(readOnce(server.get(), 10, &error), patternBytes(10, 7));
    EXPECT_EQ(error, ERROR_MORE_DATA);

    child->kill();
    child->wait();
    // Whatever of the message had reached the pipe, a read never completes the message: it ends
    // in ERROR_BROKEN_PIPE.
    std::string piece;
    do {
        piece = readOnce(server.get(), 1u << 20, &error);
    } while (error == ERROR_MORE_DATA);
    EXPECT_EQ(error, ERROR_BROKEN_PIPE);
}

}  // namespace
