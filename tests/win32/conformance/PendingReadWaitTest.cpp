// A pending read is completed exactly once however its completion is waited for: WaitForSingleObject
// with and without a time-out, WaitForMultipleObjects beside an event another thread sets,
// GetOverlappedResult with bWait (with an hEvent and without one), or not at all (a cancel, a
// close, a disconnect), while another thread writes. On Windows the kernel completes the read; the
// Linux layer lets the waiting thread complete it and its I/O thread complete whatever nobody waits
// for, and this is the proof that the two never lose or double a completion.
//
// PENDING_READ_MESSAGES sets the number of messages of the long run (default 2,000,000).

#include "Support.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace w32test;

namespace {

uint32_t messageCount()
{
    const char* text = std::getenv("PENDING_READ_MESSAGES");
    const long value = text ? std::strtol(text, nullptr, 10) : 0;
    return value > 0 ? static_cast<uint32_t>(value) : 2000000u;
}

// How far the writer may run ahead of the reader: it keeps the reader waiting for most messages
// (a writer far ahead would leave every read complete at once, with nothing to race).
class Window {
public:
    // The reader has read `count` messages, or has stopped.
    void update(uint32_t count, bool stop = false)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            read_ = count;
            stopped_ = stop;
        }
        changed_.notify_all();
    }
    // Blocks until at most `ahead` messages are unread; false if the reader has stopped.
    bool room(uint32_t written, uint32_t ahead)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || written - read_ < ahead; });
        return !stopped_;
    }

private:
    std::mutex mutex_;  // protects read_ and stopped_
    std::condition_variable changed_;
    uint32_t read_ = 0;
    bool stopped_ = false;
};

// Ends the process with a message if no read completes for a minute until `done` is set: a lost
// completion would otherwise leave a wait hanging until CTest kills the run without saying where.
void watch(const std::atomic<uint32_t>* progress, HANDLE done)
{
    for (uint32_t last = *progress; WaitForSingleObject(done, 60000) == WAIT_TIMEOUT; last = *progress) {
        if (*progress == last) {
            std::fprintf(stderr, "no read completed for 60 s, at message %u: a completion was lost\n", last);
            std::abort();
        }
    }
}

enum class WaitKind { Infinite, TimeOuts, BesideAnother, OverlappedResult, FileEvent, Cancel, Count };

// One pipe of the run: a writer kept a few messages ahead of a reader that waits for each read in a
// way of its own choosing.
void RunOnePipe(uint32_t total, uint32_t seed, std::atomic<uint32_t>* progress)
{
    PipePair pair = connectedPair("pendingwait");
    Window window;
    std::thread writer([&] {
        std::mt19937 random(seed);
        Overlapped write;
        for (uint32_t i = 0; i < total; ++i) {
            if (!window.room(i, 1 + random() % 4))
                return;
            DWORD written = 0;
            if (!WriteFile(pair.client.get(), &i, sizeof i, &written, &write)) {
                if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(pair.client.get(), &write, &written, TRUE))
                    return;
            }
        }
    });
    // Sets the other event of the two-event waits at random moments, so that some of them end early.
    std::atomic<bool> pestering{true};
    Handle other = makeEvent(false, false);
    std::thread pest([&] {
        std::mt19937 random(seed + 1);
        while (pestering) {
            SetEvent(other.get());
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
        }
    });

    std::mt19937 random(seed + 2);
    Overlapped read;
    OVERLAPPED bare = {};  // no hEvent: waits go to the handle's own event
    uint32_t expected = 0;
    uint32_t value = 0;
    while (expected < total) {
        const auto kind = static_cast<WaitKind>(random() % static_cast<unsigned>(WaitKind::Count));
        OVERLAPPED* overlapped = kind == WaitKind::FileEvent ? &bare : &read;
        if (overlapped == &bare)
            bare = OVERLAPPED{};
        DWORD bytes = 0;
        BOOL ok = ReadFile(pair.server.get(), &value, sizeof value, &bytes, overlapped);
        if (!ok) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            switch (kind) {
            case WaitKind::Infinite:
                ASSERT_EQ(WaitForSingleObject(read.event.get(), INFINITE), WAIT_OBJECT_0);
                break;
            case WaitKind::TimeOuts:
                while (WaitForSingleObject(read.event.get(), random() % 3) == WAIT_TIMEOUT) {
                }
                break;
            case WaitKind::BesideAnother: {
                const HANDLE both[2] = {other.get(), read.event.get()};
                while (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0) {
                }
                break;
            }
            case WaitKind::Cancel:
                // The read may complete first; either way the message is read exactly once.
                CancelIoEx(pair.server.get(), &read);
                break;
            case WaitKind::OverlappedResult:
            case WaitKind::FileEvent:
            case WaitKind::Count:
                break;
            }
            ok = GetOverlappedResult(pair.server.get(), overlapped, &bytes, TRUE);
            if (!ok && GetLastError() == ERROR_OPERATION_ABORTED)
                continue;  // cancelled before any message came: read it again
            ASSERT_TRUE(ok) << GetLastError();
        }
        ASSERT_EQ(bytes, sizeof value);
        ASSERT_EQ(value, expected) << "a message was lost, doubled or reordered";
        ++expected;
        ++*progress;
        window.update(expected);
    }
    window.update(expected, true);
    pestering = false;
    pest.join();
    writer.join();
}

}  // namespace

// Four pipes at once, so that waiters and I/O also race across pipes and both processors stay busy.
TEST(PendingReadWait, EveryMessageCompletesOnceWhateverTheWait)
{
    constexpr uint32_t kPipes = 4;
    const uint32_t total = messageCount();
    std::atomic<uint32_t> progress{0};
    Handle done = makeEvent();
    std::thread watchdog(watch, &progress, done.get());
    std::vector<std::thread> pipes;
    for (uint32_t p = 0; p < kPipes; ++p)
        pipes.emplace_back([&, p] { RunOnePipe(total / kPipes, 100 * p + 3, &progress); });
    for (std::thread& pipe : pipes)
        pipe.join();
    SetEvent(done.get());
    watchdog.join();
    EXPECT_EQ(progress.load(), total / kPipes * kPipes);
}

// A wait for a pending read ends however the read does: data, the peer leaving, the handle being
// closed by another thread, or the server disconnecting.
TEST(PendingReadWait, EndsWhenThePipeGoesFromUnderTheWaiter)
{
    enum class End { Data, PeerCloses, HandleClosed, Disconnected };
    std::mt19937 random(5);
    for (int round = 0; round < 400; ++round) {
        const auto end = static_cast<End>(round % 4);
        PipePair pair = connectedPair("pendingend");
        HANDLE server = pair.server.get();
        PendingIo read(server, false);
        std::atomic<int> outcome{-1};
        const bool byResult = random() % 2 == 0;
        std::thread waiter([&] {
            if (byResult) {
                DWORD got = 0;
                outcome = GetOverlappedResult(server, &read, &got, TRUE) ? 0 : static_cast<int>(GetLastError());
            } else {
                outcome = WaitForSingleObject(read.event.get(), kLongWaitMs) == WAIT_OBJECT_0 ? 0 : -2;
            }
        });
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));  // into the wait, most times
        switch (end) {
        case End::Data:
            writeMessage(pair.client.get(), "hello");
            break;
        case End::PeerCloses:
            pair.client.reset();
            break;
        case End::HandleClosed:
            pair.server.reset();
            break;
        case End::Disconnected:
            DisconnectNamedPipe(server);
            break;
        }
        waiter.join();
        ASSERT_NE(outcome.load(), -2) << "round " << round << ": the wait did not end";
        if (byResult) {
            if (end == End::Data)
                EXPECT_EQ(outcome.load(), 0) << "round " << round;
            else
                EXPECT_NE(outcome.load(), 0) << "round " << round;
        }
        // Settled: the OVERLAPPED is no longer the system's.
        EXPECT_NE(read.Internal, kStatusPending);
    }
}
