// Message-read mode: partial reads with ERROR_MORE_DATA, reads that never span two messages, empty
// messages, byte-read mode on the client, and how the OVERLAPPED event and fields report each case.

#include "Support.h"

#include <thread>
#include <vector>

using namespace w32test;

namespace {

// How the reads of a case are made: with an OVERLAPPED, without one on an overlapped handle, or on
// synchronous handles.
enum class Calls { Overlapped, NoOverlapped, Synchronous };

struct Read {
    DWORD capacity;
    std::string expected;
    DWORD error;  // ERROR_SUCCESS or ERROR_MORE_DATA
    bool onAnotherThread = false;
};

struct MessageCase {
    const char* label;
    Calls calls;
    bool toServer;
    DWORD pipeMode;
    std::vector<std::string> messages;
    std::vector<Read> reads;
};

class MessageReadSizes : public ::testing::TestWithParam<MessageCase> {};

TEST_P(MessageReadSizes, EachReadGetsWhatItsBufferHoldsOfOneMessage)
{
    const MessageCase& c = GetParam();
    PipePair pair = connectedPair("sizes", c.pipeMode, c.calls != Calls::Synchronous);
    HANDLE writer = c.toServer ? pair.client.get() : pair.server.get();
    HANDLE reader = c.toServer ? pair.server.get() : pair.client.get();
    for (const std::string& message : c.messages) {
        DWORD written = 0xdeadbeef;
        Overlapped write;
        // Each fits the pipe's buffer, so each completes at once (an empty one too).
        EXPECT_TRUE(WriteFile(writer, message.data(), static_cast<DWORD>(message.size()), &written,
                              c.calls == Calls::Synchronous ? nullptr : &write))
            << GetLastError();
        EXPECT_EQ(written, message.size());
    }
    for (const Read& r : c.reads) {
        SCOPED_TRACE(r.expected);
        auto readOne = [&] {
            const DWORD size = static_cast<DWORD>(r.expected.size());
            std::string buffer(r.capacity + 1, '\0');
            DWORD read = 0xdeadbeef;
            Overlapped overlapped;
            OVERLAPPED* o = c.calls == Calls::Overlapped ? &overlapped : nullptr;
            SetLastError(0xdeadbeef);
            const BOOL ok = ReadFile(reader, &buffer[0], r.capacity, &read, o);
            EXPECT_EQ(ok ? static_cast<DWORD>(ERROR_SUCCESS) : GetLastError(), r.error);
            if (o != nullptr) {
                // With an OVERLAPPED the count is only reported for a plain success; the event is set
                // and the fields tell the rest either way.
                EXPECT_EQ(read, ok ? size : 0u);
                EXPECT_EQ(overlapped.Internal, ok ? kStatusSuccess : kStatusBufferOverflow);
                EXPECT_EQ(overlapped.InternalHigh, size);
                EXPECT_TRUE(isSignalled(overlapped.hEvent));
                EXPECT_EQ(outcome(reader, o, &read), r.error);
            }
            ASSERT_LE(read, r.capacity);
            EXPECT_EQ(buffer.substr(0, read), r.expected);
        };
        if (r.onAnotherThread)
            std::thread(readOne).join();
        else
            readOne();
    }
}

constexpr DWORD kMessageServerByteClient = PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_WAIT;

INSTANTIATE_TEST_SUITE_P(
    MessageRead, MessageReadSizes,
    ::testing::Values(
        MessageCase{"ShortBufferGetsMoreDataThenTheRest", Calls::Overlapped, false, kMessagePipe, {"0123456789"},
                    {{4, "0123", ERROR_MORE_DATA}, {4, "4567", ERROR_MORE_DATA}, {32, "89", ERROR_SUCCESS}}},
        MessageCase{"WholeMessageAtOnce", Calls::Overlapped, false, kMessagePipe, {"ping"},
                    {{16, "ping", ERROR_SUCCESS}}},
        MessageCase{"ReadsNeverSpanTwoMessages", Calls::Overlapped, true, kMessagePipe, {"abc", "defg", "h"},
                    {{100, "abc", ERROR_SUCCESS}, {100, "defg", ERROR_SUCCESS}, {100, "h", ERROR_SUCCESS}}},
        MessageCase{"EmptyMessagesAreZeroByteReads", Calls::Overlapped, true, kMessagePipe, {"", "x"},
                    {{16, "", ERROR_SUCCESS}, {16, "x", ERROR_SUCCESS}}},
        MessageCase{"ZeroByteReadOfAWaitingMessage", Calls::NoOverlapped, false, kMessagePipe, {"abc"},
                    {{0, "", ERROR_MORE_DATA}, {8, "abc", ERROR_SUCCESS}}},
        MessageCase{"SynchronousHandles", Calls::Synchronous, true, kMessagePipe, {"abcdef"},
                    {{1, "a", ERROR_MORE_DATA}, {7, "bcdef", ERROR_SUCCESS}}},
        MessageCase{"AnotherThreadReadsTheRest", Calls::Overlapped, false, kMessagePipe, {"Bit Bucket"},
                    {{4, "Bit ", ERROR_MORE_DATA}, {64, "Bucket", ERROR_SUCCESS, true}}},
        // Without SetNamedPipeHandleState a client reads bytes, across message boundaries.
        MessageCase{"ClientStartsInByteReadMode", Calls::Overlapped, false, kMessageServerByteClient,
                    {"Bit Bucket", "More bits"}, {{64, "Bit BucketMore bits", ERROR_SUCCESS}}}),
    [](const ::testing::TestParamInfo<MessageCase>& info) { return std::string(info.param.label); });

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

// A message much longer than the reader's buffer, read in pieces the way a transport does.
struct LongMessage {
    size_t messageBytes;
    DWORD pieceBytes;
    bool withoutOverlapped;  // the write: on a FILE_FLAG_OVERLAPPED handle it then waits for itself
};

class MessageReadPieces : public ::testing::TestWithParam<LongMessage> {};

TEST_P(MessageReadPieces, LongMessageArrivesIntactInPieces)
{
    const LongMessage shape = GetParam();
    PipePair pair = connectedPair("pieces");
    const std::string message = patternBytes(shape.messageBytes, 3);
    // The writer may have to wait for the reader: a message larger than the pipe's buffer is
    // pending until most of it has been read.
    BOOL written = FALSE;
    DWORD count = 0;
    std::thread writer([&] {
        if (shape.withoutOverlapped)
            written = WriteFile(pair.server.get(), message.data(), static_cast<DWORD>(message.size()), &count, nullptr);
        else
            written = (count = writeMessage(pair.server.get(), message)) == message.size();
    });
    DWORD error = ERROR_MORE_DATA;
    size_t offset = 0, pieces = 0, mismatches = 0;
    while (error == ERROR_MORE_DATA) {
        const std::string piece = readOnce(pair.client.get(), shape.pieceBytes, &error);
        if (error == ERROR_MORE_DATA) {
            EXPECT_EQ(piece.size(), shape.pieceBytes);
        }
        if (message.compare(offset, piece.size(), piece) != 0 && mismatches++ == 0)
            ADD_FAILURE() << "wrong bytes at offset " << offset;
        offset += piece.size();
        ++pieces;
    }
    if (offset != message.size())
        CancelIoEx(pair.server.get(), nullptr);  // or a writer still waiting for a reader hangs the run
    writer.join();
    EXPECT_EQ(error, ERROR_SUCCESS);
    EXPECT_EQ(offset, message.size());
    EXPECT_EQ(pieces, (message.size() + shape.pieceBytes - 1) / shape.pieceBytes);
    EXPECT_TRUE(written);
    EXPECT_EQ(count, message.size());
}

INSTANTIATE_TEST_SUITE_P(MessageRead, MessageReadPieces,
                         ::testing::Values(LongMessage{10000, 1, false}, LongMessage{100000, 2048, false},
                                           LongMessage{300000, 65536, false}, LongMessage{300000, 299999, false},
                                           LongMessage{1u << 20, 65536, true}));
INSTANTIATE_TEST_SUITE_P(Stress, MessageReadPieces, ::testing::Values(LongMessage{64u << 20, 1u << 20, false}));

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
    EXPECT_EQ(ok ? static_cast<DWORD>(ERROR_SUCCESS) : GetLastError(), c.expectedError);
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
