// Waiting for the event of a pending read: from another thread, with a time-out, from several
// threads at once, for several pipes at once, and while the handle is closed or the event is set by
// hand. Part of the events and waits group.

#include "Support.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace w32test;

namespace {

// A read on the server end of a fresh pair that is pending when the constructor returns.
struct PendingRead {
    explicit PendingRead(const char* tag) : pair(connectedPair(tag))
    {
        DWORD got = 0;
        EXPECT_FAILS_WITH(ReadFile(pair.server.get(), buffer, sizeof buffer, &got, &overlapped), ERROR_IO_PENDING);
    }
    ~PendingRead()
    {
        // Whatever happened, the OVERLAPPED is not left in use.
        DWORD got = 0;
        if (pair.server.valid() && CancelIoEx(pair.server.get(), &overlapped))
            GetOverlappedResult(pair.server.get(), &overlapped, &got, TRUE);
    }
    std::string result(DWORD* error)
    {
        DWORD got = 0;
        *error = GetOverlappedResult(pair.server.get(), &overlapped, &got, FALSE) ? ERROR_SUCCESS : GetLastError();
        return std::string(buffer, got);
    }

    char buffer[64] = {};
    Overlapped overlapped;
    PipePair pair;
};

TEST(EventsWaitsPendingRead, ReadCompletesWhileAnotherThreadWaitsWithATimeout)
{
    PendingRead read("waitother");
    DWORD waited = WAIT_FAILED;
    std::thread waiter([&] { waited = WaitForSingleObject(read.overlapped.hEvent, kLongWaitMs); });
    EXPECT_EQ(writeMessage(read.pair.client.get(), "hello"), 5u);
    waiter.join();
    EXPECT_EQ(waited, WAIT_OBJECT_0);
    DWORD error = 0;
    EXPECT_EQ(read.result(&error), "hello");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
}

TEST(EventsWaitsPendingRead, WaitThatTimesOutLeavesTheReadPendingUntilDataComes)
{
    PendingRead read("timeout");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(read.overlapped.hEvent, 50), WAIT_TIMEOUT);
    // Not a speed check: the wait must not end long before its time-out.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    DWORD error = 0;
    read.result(&error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(writeMessage(read.pair.client.get(), "late"), 4u);
    EXPECT_EQ(WaitForSingleObject(read.overlapped.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(read.result(&error), "late");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
}

TEST(EventsWaitsPendingRead, EveryThreadWaitingForTheReadIsReleased)
{
    constexpr int kWaiters = 3;
    PendingRead read("herd");
    std::vector<DWORD> waited(kWaiters, WAIT_FAILED);
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i)
        waiters.emplace_back([&, i] { waited[i] = WaitForSingleObject(read.overlapped.hEvent, kLongWaitMs); });
    EXPECT_EQ(writeMessage(read.pair.client.get(), "all"), 3u);
    for (auto& waiter : waiters)
        waiter.join();
    for (int i = 0; i < kWaiters; ++i)
        EXPECT_EQ(waited[i], WAIT_OBJECT_0) << "waiter " << i;
    DWORD error = 0;
    EXPECT_EQ(read.result(&error), "all");
    // The message was read once: nothing else is waiting.
    char byte = 0;
    DWORD got = 0;
    Overlapped next;
    EXPECT_FAILS_WITH(ReadFile(read.pair.server.get(), &byte, 1, &got, &next), ERROR_IO_PENDING);
    EXPECT_TRUE(CancelIoEx(read.pair.server.get(), &next));
    GetOverlappedResult(read.pair.server.get(), &next, &got, TRUE);
}

TEST(EventsWaitsPendingRead, SetEventReleasesTheWaiterWhileTheReadStaysPending)
{
    PendingRead read("sethand");
    DWORD waited = WAIT_FAILED;
    std::thread waiter([&] { waited = WaitForSingleObject(read.overlapped.hEvent, kLongWaitMs); });
    SetEvent(read.overlapped.hEvent);
    waiter.join();
    EXPECT_EQ(waited, WAIT_OBJECT_0);
    DWORD error = 0;
    read.result(&error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    ResetEvent(read.overlapped.hEvent);
    EXPECT_EQ(writeMessage(read.pair.client.get(), "real"), 4u);
    EXPECT_EQ(WaitForSingleObject(read.overlapped.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(read.result(&error), "real");
}

TEST(EventsWaitsPendingRead, ClosingTheHandleReleasesAThreadWaitingForItsRead)
{
    PendingRead read("closewait");
    DWORD waited = WAIT_FAILED;
    std::thread waiter([&] { waited = WaitForSingleObject(read.overlapped.hEvent, kLongWaitMs); });
    read.pair.server.reset();
    waiter.join();
    EXPECT_EQ(waited, WAIT_OBJECT_0);
    // Which error is not something every implementation agrees on; that the read ended is.
    DWORD got = 0;
    EXPECT_FALSE(GetOverlappedResult(read.pair.server.get(), &read.overlapped, &got, FALSE));
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
}

TEST(EventsWaitsPendingRead, OneWaitForTheReadsOfSeveralPipesReportsThePipeThatGotData)
{
    std::vector<std::unique_ptr<PendingRead>> reads;
    std::vector<HANDLE> events;
    for (const char* tag : {"multi0", "multi1", "multi2"}) {
        reads.push_back(std::make_unique<PendingRead>(tag));
        events.push_back(reads.back()->overlapped.hEvent);
    }
    for (int target : {1, 2, 0}) {
        DWORD waited = WAIT_FAILED;
        std::thread waiter([&] { waited = WaitForMultipleObjects(3, events.data(), FALSE, kLongWaitMs); });
        const std::string message = "to " + std::to_string(target);
        EXPECT_EQ(writeMessage(reads[target]->pair.client.get(), message), message.size());
        waiter.join();
        EXPECT_EQ(waited, WAIT_OBJECT_0 + target);
        DWORD error = 0;
        EXPECT_EQ(reads[target]->result(&error), message);
        ResetEvent(events[target]);  // its read is done: the next waits must not report this pipe again
    }
}

}  // namespace
