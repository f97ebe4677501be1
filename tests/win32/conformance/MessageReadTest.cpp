// Message-read mode: partial reads with ERROR_MORE_DATA, reads that never span two messages, empty
// messages, byte-read mode on the client, and how the OVERLAPPED event and fields report each case.

#include "Support.h"

#include <cstring>
#include <thread>

using namespace w32test;

namespace {

TEST(MessageRead, ShortBufferGetsMoreDataThenTheRest)
{
    PipePair pair = connectedPair("partial");
    ASSERT_EQ(writeMessage(pair.server.get(), "0123456789"), 10u);
    HANDLE reader = pair.client.get();

    char buffer[32] = {};
    DWORD read = 0;
    Overlapped first, second, third;
    EXPECT_FAILS_WITH(ReadFile(reader, buffer, 4, &read, &first), ERROR_MORE_DATA);
    EXPECT_FAILS_WITH(ReadFile(reader, buffer + 4, 4, &read, &second), ERROR_MORE_DATA);
    EXPECT_TRUE(ReadFile(reader, buffer + 8, sizeof buffer - 8, &read, &third)) << GetLastError();
    EXPECT_EQ(read, 2u);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
}

TEST(MessageRead, OverlappedPartialReadSignalsAndReportsBufferOverflow)
{
    PipePair pair = connectedPair("overflow");
    ASSERT_EQ(writeMessage(pair.server.get(), std::string(512, 'm')), 512u);

    char buffer[1];
    DWORD read = 0xdeadbeef;
    Overlapped overlapped;
    EXPECT_FAILS_WITH(ReadFile(pair.client.get(), buffer, 1, &read, &overlapped), ERROR_MORE_DATA);
    EXPECT_EQ(read, 0u);  // with an OVERLAPPED the count is only reported for a plain success
    EXPECT_EQ(overlapped.Internal, kStatusBufferOverflow);
    EXPECT_EQ(overlapped.InternalHigh, 1u);
    EXPECT_TRUE(isSignalled(overlapped.hEvent));
    DWORD transferred = 0;
    EXPECT_FAILS_WITH(GetOverlappedResult(pair.client.get(), &overlapped, &transferred, FALSE), ERROR_MORE_DATA);
    EXPECT_EQ(transferred, 1u);
}

TEST(MessageRead, SynchronousPartialReadReportsTheCount)
{
    const std::wstring name = uniquePipeName("syncpartial");
    Handle server = createServer(name, kMessagePipe, PIPE_ACCESS_DUPLEX);
    Handle client = openClient(name, 0);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(client.get(), "abcdef", 6, &written, nullptr));
    char buffer[8] = {};
    DWORD read = 0;
    EXPECT_FAILS_WITH(ReadFile(server.get(), buffer, 1, &read, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(read, 1u);
    EXPECT_TRUE(ReadFile(server.get(), buffer + 1, sizeof buffer - 1, &read, nullptr));
    EXPECT_EQ(read, 5u);
    EXPECT_EQ(std::string(buffer, 6), "abcdef");
}

TEST(MessageRead, ImmediateSuccessSetsTheEventAndReportsTheCountEverywhere)
{
    PipePair pair = connectedPair("immediate");
    ASSERT_EQ(writeMessage(pair.server.get(), "ping"), 4u);
    char buffer[16];
    DWORD read = 0;
    Overlapped overlapped;
    ASSERT_TRUE(ReadFile(pair.client.get(), buffer, sizeof buffer, &read, &overlapped)) << GetLastError();
    EXPECT_EQ(read, 4u);
    EXPECT_EQ(overlapped.InternalHigh, 4u);
    EXPECT_EQ(overlapped.Internal, kStatusSuccess);
    EXPECT_TRUE(isSignalled(overlapped.hEvent));
    DWORD transferred = 0;
    EXPECT_TRUE(GetOverlappedResult(pair.client.get(), &overlapped, &transferred, FALSE));
    EXPECT_EQ(transferred, 4u);
}

TEST(MessageRead, PendingReadResetsTheEventThenCompletesWhenAMessageArrives)
{
    PipePair pair = connectedPair("pendingread");
    char buffer[16];
    DWORD read = 0xdeadbeef;
    Overlapped overlapped;
    SetEvent(overlapped.hEvent);
    EXPECT_FAILS_WITH(ReadFile(pair.server.get(), buffer, sizeof buffer, &read, &overlapped), ERROR_IO_PENDING);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(overlapped.Internal, kStatusPending);
    EXPECT_FALSE(isSignalled(overlapped.hEvent));
    DWORD transferred = 0;
    EXPECT_FAILS_WITH(GetOverlappedResult(pair.server.get(), &overlapped, &transferred, FALSE), ERROR_IO_INCOMPLETE);

    ASSERT_EQ(writeMessage(pair.client.get(), "pong"), 4u);
    EXPECT_TRUE(GetOverlappedResult(pair.server.get(), &overlapped, &transferred, TRUE)) << GetLastError();
    EXPECT_EQ(transferred, 4u);
    EXPECT_EQ(std::string(buffer, 4), "pong");
}

TEST(MessageRead, AReadNeverSpansTwoMessages)
{
    PipePair pair = connectedPair("boundaries");
    for (const char* text : {"abc", "defg", "h"})
        ASSERT_EQ(writeMessage(pair.client.get(), text), strlen(text));
    DWORD error = 0;
    EXPECT_EQ(readOnce(pair.server.get(), 100, &error), "abc");
    EXPECT_EQ(readOnce(pair.server.get(), 100, &error), "defg");
    EXPECT_EQ(readOnce(pair.server.get(), 100, &error), "h");
}

TEST(MessageRead, ClientStartsInByteReadModeAndReadsAcrossMessages)
{
    const std::wstring name = uniquePipeName("bytemode");
    Handle server = createServer(name);
    Handle client = openClient(name);  // no SetNamedPipeHandleState: byte-read mode
    ASSERT_EQ(writeMessage(server.get(), "Bit Bucket"), 10u);
    ASSERT_EQ(writeMessage(server.get(), "More bits"), 9u);
    DWORD error = 0;
    EXPECT_EQ(readOnce(client.get(), 64, &error), "Bit BucketMore bits");
    EXPECT_EQ(error, ERROR_SUCCESS);
}

TEST(MessageRead, AnotherThreadReadsTheRestOfAMessage)
{
    PipePair pair = connectedPair("threads");
    ASSERT_EQ(writeMessage(pair.server.get(), "Bit Bucket"), 10u);
    DWORD error = 0;
    EXPECT_EQ(readOnce(pair.client.get(), 4, &error), "Bit ");
    EXPECT_EQ(error, ERROR_MORE_DATA);
    std::string rest;
    std::thread other([&] { rest = readOnce(pair.client.get(), 64, &error); });
    other.join();
    EXPECT_EQ(rest, "Bucket");
    EXPECT_EQ(error, ERROR_SUCCESS);
}

TEST(MessageRead, EmptyMessagesArriveAsZeroByteReads)
{
    PipePair pair = connectedPair("empty");
    DWORD written = 0xdeadbeef;
    Overlapped write;
    EXPECT_TRUE(WriteFile(pair.client.get(), "", 0, &written, &write)) << GetLastError();
    EXPECT_EQ(written, 0u);
    ASSERT_EQ(writeMessage(pair.client.get(), "x"), 1u);
    DWORD error = 0;
    EXPECT_EQ(readOnce(pair.server.get(), 16, &error), "");
    EXPECT_EQ(error, ERROR_SUCCESS);
    EXPECT_EQ(readOnce(pair.server.get(), 16, &error), "x");
}

TEST(MessageRead, ZeroByteWriteCompletesExactlyOnePendingRead)
{
    PipePair pair = connectedPair("wakeone");
    char first[1], second[1];
    DWORD read = 0;
    Overlapped one, two;
    EXPECT_FAILS_WITH(ReadFile(pair.client.get(), first, 0, &read, &one), ERROR_IO_PENDING);
    EXPECT_FAILS_WITH(ReadFile(pair.client.get(), second, 1, &read, &two), ERROR_IO_PENDING);

    DWORD written = 0;
    Overlapped write;
    EXPECT_TRUE(WriteFile(pair.server.get(), "", 0, &written, &write)) << GetLastError();
    DWORD transferred = 0xdeadbeef;
    EXPECT_TRUE(GetOverlappedResult(pair.client.get(), &one, &transferred, TRUE)) << GetLastError();
    EXPECT_EQ(transferred, 0u);
    EXPECT_FALSE(isSignalled(two.hEvent));

    ASSERT_EQ(writeMessage(pair.server.get(), "y"), 1u);
    EXPECT_TRUE(GetOverlappedResult(pair.client.get(), &two, &transferred, TRUE)) << GetLastError();
    EXPECT_EQ(transferred, 1u);
    EXPECT_EQ(second[0], 'y');
}

TEST(MessageRead, ZeroByteReadOfAWaitingMessageReportsMoreData)
{
    PipePair pair = connectedPair("zeroread");
    ASSERT_EQ(writeMessage(pair.server.get(), "abc"), 3u);
    char buffer[8];
    DWORD read = 0xdeadbeef;
    EXPECT_FAILS_WITH(ReadFile(pair.client.get(), buffer, 0, &read, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(read, 0u);
    DWORD error = 0;
    EXPECT_EQ(readOnce(pair.client.get(), 8, &error), "abc");
}

TEST(MessageRead, SynchronousWriteOnAnOverlappedHandleReturnsOnceTheMessageIsWritten)
{
    PipePair pair = connectedPair("syncwrite");
    const std::string message = patternBytes(1u << 20, 11);
    BOOL written = FALSE;
    DWORD count = 0;
    // No OVERLAPPED on a FILE_FLAG_OVERLAPPED handle: the call waits for its own completion.
    std::thread writer(
        [&] { written = WriteFile(pair.server.get(), message.data(), static_cast<DWORD>(message.size()), &count, nullptr); });
    std::string received;
    DWORD error = ERROR_MORE_DATA;
    while (error == ERROR_MORE_DATA)
        received += readOnce(pair.client.get(), 65536, &error);
    writer.join();
    EXPECT_TRUE(written);
    EXPECT_EQ(count, message.size());
    EXPECT_TRUE(received == message);
}

// A message much longer than the reader's buffer, read in pieces the way a transport does.
struct LongMessage {
    size_t messageBytes;
    DWORD pieceBytes;
};

class MessageReadPieces : public ::testing::TestWithParam<LongMessage> {};

TEST_P(MessageReadPieces, LongMessageArrivesIntactInPieces)
{
    const LongMessage shape = GetParam();
    PipePair pair = connectedPair("pieces");
    const std::string message = patternBytes(shape.messageBytes, 3);
    // The writer may have to wait for the reader: a message larger than the pipe's buffer is
    // pending until most of it has been read.
    std::thread writer([&] { EXPECT_EQ(writeMessage(pair.server.get(), message), message.size()); });
    std::string received;
    DWORD error = ERROR_MORE_DATA;
    size_t pieces = 0;
    while (error == ERROR_MORE_DATA) {
        const std::string piece = readOnce(pair.client.get(), shape.pieceBytes, &error);
        received += piece;
        ++pieces;
        if (error == ERROR_MORE_DATA) {
            ASSERT_EQ(piece.size(), shape.pieceBytes);
        }
    }
    writer.join();
    EXPECT_EQ(error, ERROR_SUCCESS);
    EXPECT_EQ(received.size(), message.size());
    EXPECT_TRUE(received == message);
    EXPECT_EQ(pieces, (message.size() + shape.pieceBytes - 1) / shape.pieceBytes);
}

INSTANTIATE_TEST_SUITE_P(MessageRead, MessageReadPieces,
                         ::testing::Values(LongMessage{10000, 1}, LongMessage{100000, 2048},
                                           LongMessage{300000, 65536}, LongMessage{300000, 299999}));

// SetNamedPipeHandleState: which read modes each end of each pipe type accepts.
struct ReadModeCase {
    const char* label;
    DWORD pipeType;
    bool onServer;
    DWORD mode;
    DWORD expectedError;  // ERROR_SUCCESS for success
};

class MessageReadModes : public ::testing::TestWithParam<ReadModeCase> {};

TEST_P(MessageReadModes, SetNamedPipeHandleStateAcceptsOnlyModesThePipeTypeAllows)
{
    const ReadModeCase& c = GetParam();
    const std::wstring name = uniquePipeName("modes");
    Handle server = createServer(name, c.pipeType | PIPE_WAIT);
    Handle client = openClient(name);
    DWORD mode = c.mode;
    SetLastError(0xdeadbeef);
    const BOOL ok = SetNamedPipeHandleState(c.onServer ? server.get() : client.get(), &mode, nullptr, nullptr);
    if (c.expectedError == ERROR_SUCCESS) {
        EXPECT_TRUE(ok) << GetLastError();
    } else {
        EXPECT_FALSE(ok);
        EXPECT_EQ(GetLastError(), c.expectedError);
    }
}

INSTANTIATE_TEST_SUITE_P(
    MessageRead, MessageReadModes,
    ::testing::Values(ReadModeCase{"ByteServerToMessage", PIPE_TYPE_BYTE, true, PIPE_READMODE_MESSAGE, ERROR_INVALID_PARAMETER},
                      ReadModeCase{"ByteClientToMessage", PIPE_TYPE_BYTE, false, PIPE_READMODE_MESSAGE, ERROR_INVALID_PARAMETER},
                      ReadModeCase{"ByteClientToByte", PIPE_TYPE_BYTE, false, PIPE_READMODE_BYTE, ERROR_SUCCESS},
                      ReadModeCase{"MessageServerToByte", PIPE_TYPE_MESSAGE, true, PIPE_READMODE_BYTE, ERROR_SUCCESS},
                      ReadModeCase{"MessageClientToMessage", PIPE_TYPE_MESSAGE, false, PIPE_READMODE_MESSAGE, ERROR_SUCCESS},
                      ReadModeCase{"MessageClientToByte", PIPE_TYPE_MESSAGE, false, PIPE_READMODE_BYTE, ERROR_SUCCESS}),
    [](const ::testing::TestParamInfo<ReadModeCase>& info) { return std::string(info.param.label); });

}  // namespace
