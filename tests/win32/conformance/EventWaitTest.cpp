// Events and waits: manual and auto reset, time-outs, wait-any order and consumption, every order
// of signalling, bad arguments, and handles closed while another thread waits.

#include "Support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>
#include <vector>

using namespace w32test;

namespace {

// (manual reset, initially signalled)
class EventsWaitsReset : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(EventsWaitsReset, ZeroTimeoutWaitsSeeAndConsumeAsTheResetModeSays)
{
    const bool manualReset = std::get<0>(GetParam()), signalled = std::get<1>(GetParam());
    Handle event = makeEvent(manualReset, signalled);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
    // The wait that sees an auto-reset event signalled consumes it.
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), signalled && manualReset ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
}

INSTANTIATE_TEST_SUITE_P(EventsWaits, EventsWaitsReset, ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<bool, bool>>& info) {
                             return std::string(std::get<0>(info.param) ? "Manual" : "Auto") +
                                    (std::get<1>(info.param) ? "Signalled" : "Unsignalled");
                         });

TEST(EventsWaits, FiniteTimeoutExpires)
{
    Handle event = makeEvent();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event.get(), 50), WAIT_TIMEOUT);
    const auto waited = std::chrono::steady_clock::now() - start;
    // Not a speed check: the wait must not end long before its time-out (timer granularity aside).
    EXPECT_GE(waited, std::chrono::milliseconds(30));
}

// Auto-reset events (manual-reset ones for the count checks), owned, with their handles in a row.
struct Events {
    explicit Events(size_t count, bool manualReset = false)
    {
        for (size_t i = 0; i < count; ++i) {
            owned.push_back(makeEvent(manualReset, false));
            handles.push_back(owned.back().get());
        }
    }
    DWORD waitAny(DWORD timeoutMs = 0)
    {
        return WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeoutMs);
    }
    std::vector<Handle> owned;
    std::vector<HANDLE> handles;
};

// Every order in which four auto-reset events can be signalled: waits always drain them lowest
// index first, and each wait consumes exactly one, also when lower ones are not signalled.
class EventsWaitsOrder : public ::testing::TestWithParam<std::vector<int>> {};

TEST_P(EventsWaitsOrder, WaitsDrainLowestIndexFirstWhateverTheSignallingOrder)
{
    const std::vector<int>& order = GetParam();
    Events events(4);
    for (int index : order)
        SetEvent(events.handles[index]);
    for (DWORD expected = 0; expected < 4; ++expected)
        EXPECT_EQ(events.waitAny(), WAIT_OBJECT_0 + expected);
    EXPECT_EQ(events.waitAny(), WAIT_TIMEOUT);

    SetEvent(events.handles[order[2]]);
    SetEvent(events.handles[order[3]]);
    EXPECT_EQ(events.waitAny(), WAIT_OBJECT_0 + std::min(order[2], order[3]));
    EXPECT_EQ(events.waitAny(), WAIT_OBJECT_0 + std::max(order[2], order[3]));
    EXPECT_EQ(events.waitAny(), WAIT_TIMEOUT);
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
    Events events(4);
    DWORD result = WAIT_FAILED;
    std::thread waiter([&] { result = events.waitAny(kLongWaitMs); });
    SetEvent(events.handles[GetParam()]);
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0 + GetParam());
    EXPECT_EQ(events.waitAny(), WAIT_TIMEOUT);
}

INSTANTIATE_TEST_SUITE_P(EventsWaits, EventsWaitsWake, ::testing::Range(0, 4));

// Four threads wait on one event: an auto-reset signal releases exactly one of them, a
// manual-reset one releases all and stays set.
class EventsWaitsRelease : public ::testing::TestWithParam<bool> {};

TEST_P(EventsWaitsRelease, ASignalReleasesOneWaiterOrAllAsTheResetModeSays)
{
    constexpr int kWaiters = 4;
    const bool manualReset = GetParam();
    Handle event = makeEvent(manualReset, false);
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
    // Each auto-reset signal is handed over before the next, so none is lost to an already
    // signalled event.
    for (int i = 0; i < (manualReset ? 1 : kWaiters); ++i) {
        SetEvent(event.get());
        ASSERT_EQ(WaitForSingleObject(taken.get(), kLongWaitMs), WAIT_OBJECT_0);
        if (!manualReset) {
            EXPECT_EQ(released.load(), i + 1);
        }
    }
    for (auto& waiter : waiters)
        waiter.join();
    EXPECT_EQ(released.load(), kWaiters);
    EXPECT_EQ(isSignalled(event.get()), manualReset);
}

INSTANTIATE_TEST_SUITE_P(EventsWaits, EventsWaitsRelease, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "ManualReset" : "AutoReset");
                         });

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

// From one to MAXIMUM_WAIT_OBJECTS handles; any other count is invalid.
class EventsWaitsCount : public ::testing::TestWithParam<DWORD> {};

TEST_P(EventsWaitsCount, CountMustBeFromOneToTheMaximum)
{
    const DWORD count = GetParam();
    Events events(std::max<DWORD>(count, 1), true);
    SetEvent(events.handles.back());
    SetLastError(0xdeadbeef);
    const DWORD result = WaitForMultipleObjects(count, events.handles.data(), FALSE, 0);
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
        EXPECT_EQ(result, WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    } else {
        EXPECT_EQ(result, WAIT_OBJECT_0 + count - 1);
    }
}

INSTANTIATE_TEST_SUITE_P(EventsWaits, EventsWaitsCount,
                         ::testing::Values(0u, MAXIMUM_WAIT_OBJECTS, MAXIMUM_WAIT_OBJECTS + 1u));

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
        EXPECT_FAILS_WITH(CancelIoEx(bad, nullptr), ERROR_INVALID_HANDLE);
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
