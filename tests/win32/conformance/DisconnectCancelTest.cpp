// DisconnectNamedPipe (unread data dropped both ways, both ends see ERROR_PIPE_NOT_CONNECTED) and
// cancellation (CancelIoEx, and CloseHandle with operations pending).

#include "Support.h"

#include <thread>

using namespace w32test;

namespace {

TEST(DisconnectCancel, DisconnectDropsUnreadDataAndBothEndsSeeNotConnected)
{
    PipePair pair = connectedPair("dropped");
    ASSERT_EQ(writeMessage(pair.client.get(), "to server"), 9u);
    ASSERT_EQ(writeMessage(pair.server.get(), "to client"), 9u);
    ASSERT_TRUE(DisconnectNamedPipe(pair.server.get())) << GetLastError();

    char buffer[32];
    DWORD bytes = 0;
    for (HANDLE end : {pair.client.get(), pair.server.get()}) {
        Overlapped read, write;
        EXPECT_FAILS_WITH(ReadFile(end, buffer, sizeof buffer, &bytes, &read), ERROR_PIPE_NOT_CONNECTED);
        EXPECT_FAILS_WITH(WriteFile(end, "x", 1, &bytes, &write), ERROR_PIPE_NOT_CONNECTED);
        EXPECT_FALSE(isSignalled(read.hEvent));
        EXPECT_FALSE(isSignalled(write.hEvent));
    }
    EXPECT_FAILS_WITH(DisconnectNamedPipe(pair.server.get()), ERROR_PIPE_NOT_CONNECTED);
}

TEST(DisconnectCancel, DisconnectAfterTheClientClosedSucceeds)
{
    PipePair pair = connectedPair("closedfirst");
    pair.client.reset();
    EXPECT_TRUE(DisconnectNamedPipe(pair.server.get())) << GetLastError();
}

TEST(DisconnectCancel, DisconnectFailsPendingReadsOnBothEnds)
{
    PipePair pair = connectedPair("pendingboth");
    char serverBuffer[8], clientBuffer[8];
    DWORD bytes = 0;
    Overlapped serverRead, clientRead;
    EXPECT_FAILS_WITH(ReadFile(pair.server.get(), serverBuffer, sizeof serverBuffer, &bytes, &serverRead), ERROR_IO_PENDING);
    EXPECT_FAILS_WITH(ReadFile(pair.client.get(), clientBuffer, sizeof clientBuffer, &bytes, &clientRead), ERROR_IO_PENDING);
    ASSERT_TRUE(DisconnectNamedPipe(pair.server.get())) << GetLastError();
    for (auto* overlapped : {&serverRead, &clientRead}) {
        EXPECT_EQ(WaitForSingleObject(overlapped->hEvent, kLongWaitMs), WAIT_OBJECT_0);
        DWORD transferred = 0;
        EXPECT_FAILS_WITH(GetOverlappedResult(pair.server.get(), overlapped, &transferred, FALSE),
                          ERROR_PIPE_NOT_CONNECTED);
    }
}

TEST(DisconnectCancel, DisconnectFailsPendingWritesOnBothEnds)
{
    PipePair pair = connectedPair("pendingwrites");
    // Far more than any pipe buffer holds, so both writes wait for a reader.
    const std::string big(16u << 20, 'd');
    DWORD bytes = 0;
    Overlapped serverWrite, clientWrite;
    EXPECT_FAILS_WITH(WriteFile(pair.server.get(), big.data(), static_cast<DWORD>(big.size()), &bytes, &serverWrite),
                      ERROR_IO_PENDING);
    EXPECT_FAILS_WITH(WriteFile(pair.client.get(), big.data(), static_cast<DWORD>(big.size()), &bytes, &clientWrite),
                      ERROR_IO_PENDING);
    ASSERT_TRUE(DisconnectNamedPipe(pair.server.get())) << GetLastError();
    for (auto* overlapped : {&serverWrite, &clientWrite}) {
        EXPECT_EQ(WaitForSingleObject(overlapped->hEvent, kLongWaitMs), WAIT_OBJECT_0);
        EXPECT_FAILS_WITH(GetOverlappedResult(pair.server.get(), overlapped, &bytes, FALSE), ERROR_PIPE_NOT_CONNECTED);
    }
    // However much of the server's message got out, the client never reads it as a message.
    char buffer[16];
    Overlapped read;
    EXPECT_FAILS_WITH(ReadFile(pair.client.get(), buffer, sizeof buffer, &bytes, &read), ERROR_PIPE_NOT_CONNECTED);
}

TEST(DisconnectCancel, CancellingOneReadLeavesTheOtherPending)
{
    PipePair pair = connectedPair("cancelone");
    char first[1], second[1];
    DWORD bytes = 0;
    Overlapped one, two;
    EXPECT_FAILS_WITH(ReadFile(pair.client.get(), first, 1, &bytes, &one), ERROR_IO_PENDING);
    EXPECT_FAILS_WITH(ReadFile(pair.client.get(), second, 1, &bytes, &two), ERROR_IO_PENDING);
    EXPECT_TRUE(CancelIoEx(pair.client.get(), &two)) << GetLastError();
    EXPECT_TRUE(isSignalled(two.hEvent));
    DWORD transferred = 0xdeadbeef;
    EXPECT_FAILS_WITH(GetOverlappedResult(pair.client.get(), &two, &transferred, FALSE), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(transferred, 0u);
    EXPECT_FALSE(isSignalled(one.hEvent));
    EXPECT_FAILS_WITH(CancelIoEx(pair.client.get(), &two), ERROR_NOT_FOUND);

    ASSERT_EQ(writeMessage(pair.server.get(), "z"), 1u);
    EXPECT_TRUE(GetOverlappedResult(pair.client.get(), &one, &transferred, TRUE)) << GetLastError();
    EXPECT_EQ(transferred, 1u);
    EXPECT_EQ(first[0], 'z');
}

TEST(DisconnectCancel, CancelWithoutAnOverlappedCancelsEverythingOnTheHandle)
{
    PipePair pair = connectedPair("cancelall");
    char buffer[3][4];
    DWORD bytes = 0;
    Overlapped reads[3];
    for (int i = 0; i < 3; ++i)
        EXPECT_FAILS_WITH(ReadFile(pair.server.get(), buffer[i], 4, &bytes, &reads[i]), ERROR_IO_PENDING);
    EXPECT_TRUE(CancelIoEx(pair.server.get(), nullptr)) << GetLastError();
    for (auto& read : reads) {
        EXPECT_EQ(WaitForSingleObject(read.hEvent, kLongWaitMs), WAIT_OBJECT_0);
        EXPECT_FAILS_WITH(GetOverlappedResult(pair.server.get(), &read, &bytes, FALSE), ERROR_OPERATION_ABORTED);
    }
    // (With nothing left, Windows documents ERROR_NOT_FOUND but Wine succeeds; not asserted here.)
}

TEST(DisconnectCancel, CancelOnABadHandleFails)
{
    Handle event = makeEvent();
    HANDLE stale = event.get();
    event.reset();
    EXPECT_FAILS_WITH(CancelIoEx(stale, nullptr), ERROR_INVALID_HANDLE);
}

TEST(DisconnectCancel, ClosingAHandleWithAReadPendingSignalsItsEvent)
{
    PipePair pair = connectedPair("closepending");
    char buffer[8];
    DWORD bytes = 0;
    Overlapped read;
    EXPECT_FAILS_WITH(ReadFile(pair.client.get(), buffer, sizeof buffer, &bytes, &read), ERROR_IO_PENDING);
    pair.client.reset();
    EXPECT_EQ(WaitForSingleObject(read.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    // The status is not one every implementation agrees on; that the read ended is what matters,
    // and the OVERLAPPED can be examined without the handle.
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(pair.client.get(), &read, &transferred, FALSE));
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
}

}  // namespace
