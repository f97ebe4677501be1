// Events and waits: manual and auto reset, time-outs, wait-any order and consumption, every order
// of signalling, bad arguments, and handles closed while another thread waits.

#include "Support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace w32test;

namespace {

struct ResetCase {
    const char* label;
    bool manualReset;
    bool initiallySignalled;
    DWORD firstWait;
    DWORD secondWait;
};

class EventsWaitsReset : public ::testing::TestWithParam<ResetCase> {};

TEST_P(EventsWaitsReset, ZeroTimeoutWaitsSeeAndConsumeAsTheResetModeSays)
{
    const ResetCase& c = GetParam();
    Handle event = makeEvent(c.manualReset, c.initiallySignalled);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), c.firstWait);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), c.secondWait);
}

INSTANTIATE_TEST_SUITE_P(
    EventsWaits, EventsWaitsReset,
    ::testing::Values(ResetCase{"ManualSignalledStaysSignalled", true, true, WAIT_OBJECT_0, WAIT_OBJECT_0},
                      ResetCase{"AutoSignalledIsConsumedByOneWait", false, true, WAIT_OBJECT_0, WAIT_TIMEOUT},
                      ResetCase{"ManualUnsignalled", true, false, WAIT_TIMEOUT, WAIT_TIMEOUT},
                      ResetCase{"AutoUnsignalled", false, false, WAIT_TIMEOUT, WAIT_TIMEOUT}),
    [](const ::testing::TestParamInfo<ResetCase>& info) { return std::string(info.param.label); });

TEST(EventsWaits, FiniteTimeoutExpires)
{
    Handle event = makeEvent();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event.get(), 50), WAIT_TIMEOUT);
    const auto waited = std::chrono::steady_clock::now() - start;
    // Not a speed check: the wait must not end long before its time-out (timer granularity aside).
    EXPECT_GE(waited, std::chrono::milliseconds(30));
}

TEST(EventsWaits, LowestSignalledIndexWinsAndOnlyItIsConsumed)
{
    std::vector<Handle> events;
    std::vector<HANDLE> handles;
    for (int i = 0; i < 4; ++i) {
        events.push_back(makeEvent(false, false));
        handles.push_back(events.back().get());
    }
    SetEvent(handles[3]);
    SetEvent(handles[1]);
    EXPECT_EQ(WaitForMultipleObjects(4, handles.data(), FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_FALSE(isSignalled(handles[1]));
    EXPECT_TRUE(isSignalled(handles[3]));  // consumed by isSignalled itself
    EXPECT_EQ(WaitForMultipleObjects(4, handles.data(), FALSE, 0), WAIT_TIMEOUT);
}

// Every order in which four auto-reset events can be signalled: waits always drain them lowest
// index first, and each wait consumes exactly one.
class EventsWaitsOrder : public ::testing::TestWithParam<std::vector<int>> {};

TEST_P(EventsWaitsOrder, WaitsDrainLowestIndexFirstWhateverTheSignallingOrder)
{
    std::vector<Handle> events;
    std::vector<HANDLE> handles;
    for (int i = 0; i < 4; ++i) {
        events.push_back(makeEvent(false, false));
        handles.push_back(events.back().get());
    }
    for (int index : GetParam())
        SetEvent(handles[index]);
    for (DWORD expected = 0; expected < 4; ++expected)
        EXPECT_EQ(WaitForMultipleObjects(4, handles.data(), FALSE, 0), WAIT_OBJECT_0 + expected);
    EXPECT_EQ(WaitForMultipleObjects(4, handles.data(), FALSE, 0), WAIT_TIMEOUT);
}

std::vector<std::vector<int>> allOrders()
{
    std::vector<int> order{0, 1, 2, 3};
    std::vector<std::vector<int>> orders;
    do {
        orders.push_back(order);
    } while (std::next_permutation(order.begin(), order.end()));
    return orders;
}

INSTANTIATE_TEST_SUITE_P(EventsWaits, EventsWaitsOrder, ::testing::ValuesIn(allOrders()));

// A thread blocked on four events is released by whichever one is set, and reports that index.
class EventsWaitsWake : public ::testing::TestWithParam<int> {};

TEST_P(EventsWaitsWake, BlockedWaiterReportsTheIndexThatWasSet)
{
    std::vector<Handle> events;
    std::vector<HANDLE> handles;
    for (int i = 0; i < 4; ++i) {
        events.push_back(makeEvent(false, false));
        handles.push_back(events.back().get());
    }
    DWORD result = WAIT_FAILED;
    std::thread waiter([&] { result = WaitForMultipleObjects(4, handles.data(), FALSE, kLongWaitMs); });
    SetEvent(handles[GetParam()]);
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0 + GetParam());
    EXPECT_EQ(WaitForMultipleObjects(4, handles.data(), FALSE, 0), WAIT_TIMEOUT);
}

INSTANTIATE_TEST_SUITE_P(EventsWaits, EventsWaitsWake, ::testing::Range(0, 4));

TEST(EventsWaits, AutoResetReleasesExactlyOneWaiterPerSignal)
{
    constexpr int kWaiters = 4;
    Handle event = makeEvent(false, false);
    Handle taken = makeEvent(false, false);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            if (WaitForSingleObject(event.get(), kLongWaitMs) == WAIT_OBJECT_0) {
                ++released;
                SetEvent(taken.get());
            }
        });
    }
    // Each signal is handed over before the next, so none is lost to an already signalled event.
    for (int i = 0; i < kWaiters; ++i) {
        SetEvent(event.get());
        ASSERT_EQ(WaitForSingleObject(taken.get(), kLongWaitMs), WAIT_OBJECT_0);
        EXPECT_EQ(released.load(), i + 1);
    }
    for (auto& waiter : waiters)
        waiter.join();
    EXPECT_FALSE(isSignalled(event.get()));
}

TEST(EventsWaits, ManualResetReleasesEveryWaiter)
{
    constexpr int kWaiters = 4;
    Handle event = makeEvent(true, false);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            if (WaitForSingleObject(event.get(), kLongWaitMs) == WAIT_OBJECT_0)
                ++released;
        });
    }
    SetEvent(event.get());
    for (auto& waiter : waiters)
        waiter.join();
    EXPECT_EQ(released.load(), kWaiters);
    EXPECT_TRUE(isSignalled(event.get()));
}

TEST(EventsWaits, WaitAllNeedsEveryObjectAndConsumesThemAll)
{
    Handle a = makeEvent(false, false);
    Handle b = makeEvent(false, false);
    HANDLE both[2] = {a.get(), b.get()};
    SetEvent(a.get());
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(isSignalled(a.get()));  // a partial wait-all takes nothing (isSignalled takes it now)
    SetEvent(a.get());
    SetEvent(b.get());
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(isSignalled(a.get()));
    EXPECT_FALSE(isSignalled(b.get()));
}

class EventsWaitsCount : public ::testing::TestWithParam<DWORD> {};

TEST_P(EventsWaitsCount, CountOfZeroOrAboveTheMaximumIsInvalid)
{
    std::vector<Handle> events;
    std::vector<HANDLE> handles;
    for (DWORD i = 0; i < std::max<DWORD>(GetParam(), 1); ++i) {
        events.push_back(makeEvent());
        handles.push_back(events.back().get());
    }
    SetLastError(0xdeadbeef);
    EXPECT_EQ(WaitForMultipleObjects(GetParam(), handles.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

INSTANTIATE_TEST_SUITE_P(EventsWaits, EventsWaitsCount, ::testing::Values(0u, MAXIMUM_WAIT_OBJECTS + 1u));

TEST(EventsWaits, MaximumCountIsAccepted)
{
    std::vector<Handle> events;
    std::vector<HANDLE> handles;
    for (int i = 0; i < MAXIMUM_WAIT_OBJECTS; ++i) {
        events.push_back(makeEvent());
        handles.push_back(events.back().get());
    }
    SetEvent(handles.back());
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, handles.data(), FALSE, 0),
              WAIT_OBJECT_0 + MAXIMUM_WAIT_OBJECTS - 1);
}

TEST(EventsWaits, InvalidHandlesFailTheWait)
{
    // Created first: Windows hands a closed handle's value to the next object at once.
    Handle good = makeEvent(true, true);
    Handle event = makeEvent();
    HANDLE stale = event.get();
    event.reset();
    for (HANDLE bad : {stale, static_cast<HANDLE>(nullptr)}) {
        SetLastError(0xdeadbeef);
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        HANDLE mixed[2] = {good.get(), bad};
        SetLastError(0xdeadbeef);
        EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FAILS_WITH(SetEvent(bad), ERROR_INVALID_HANDLE);
        EXPECT_FAILS_WITH(ResetEvent(bad), ERROR_INVALID_HANDLE);
        EXPECT_FAILS_WITH(CloseHandle(bad), ERROR_INVALID_HANDLE);
    }
}

TEST(EventsWaits, ClosingAnEventWhileAnotherThreadWaitsOnItIsSafe)
{
    Handle closed = makeEvent(false, false);
    Handle release = makeEvent(false, false);
    HANDLE handles[2] = {closed.get(), release.get()};
    Handle started = makeEvent(true, false);
    DWORD result = 0;
    DWORD error = 0;
    std::thread waiter([&] {
        SetEvent(started.get());
        result = WaitForMultipleObjects(2, handles, FALSE, kLongWaitMs);
        error = GetLastError();
    });
    ASSERT_EQ(WaitForSingleObject(started.get(), kLongWaitMs), WAIT_OBJECT_0);
    closed.reset();
    SetEvent(release.get());
    waiter.join();
    // The waiter had either started waiting (it keeps the closed event and is released by the
    // other), or had not yet (the handle was already invalid). Never anything else.
    if (result == WAIT_FAILED)
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    else
        EXPECT_EQ(result, WAIT_OBJECT_0 + 1);
}

}  // namespace
