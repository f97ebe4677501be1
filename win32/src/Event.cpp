#include "Event.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>

namespace win32layer {

// Lives on the waiting thread's stack for the duration of one wait. Fields other than wakeUp are
// guarded by syncMutex(); the waiter removes itself from every list before returning, under that
// mutex, so a SetEvent never sees a dangling Waiter.
struct Event::Waiter {
    Waiter(const std::vector<Event*>& objects, bool all) : events(objects), waitAll(all) {}

    // If the wait can be satisfied now, consumes what it takes and records the index.
    bool trySatisfyLocked()
    {
        if (!waitAll) {
            for (size_t i = 0; i < events.size(); ++i) {
                if (events[i]->signalled_) {
                    events[i]->consumeLocked();
                    fired = static_cast<int>(i);
                    return true;
                }
            }
            return false;
        }
        for (Event* event : events) {
            if (!event->signalled_)
                return false;
        }
        for (Event* event : events)
            event->consumeLocked();
        fired = 0;
        return true;
    }

    const std::vector<Event*>& events;
    const bool waitAll;
    int fired = -1;
    std::condition_variable wakeUp;
};

Event::Event(bool manualReset, bool initiallySignalled)
    : manualReset_(manualReset), signalled_(initiallySignalled)
{
}

std::mutex& Event::syncMutex()
{
    // Leaked on purpose: events may be set from other libraries' static destructors.
    static std::mutex* mutex = new std::mutex();
    return *mutex;
}

void Event::consumeLocked()
{
    if (!manualReset_)
        signalled_ = false;
}

void Event::removeWaiterLocked(Waiter* waiter)
{
    waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), waiter), waiters_.end());
}

void Event::set()
{
    std::lock_guard<std::mutex> guard(syncMutex());
    if (signalled_)
        return;
    signalled_ = true;
    for (Waiter* waiter : waiters_) {
        if (waiter->fired >= 0)
            continue;
        // Notified under the mutex: the waiter cannot leave (and free its Waiter) before we release it.
        if (waiter->trySatisfyLocked())
            waiter->wakeUp.notify_one();
        if (!signalled_)
            break;  // an auto-reset event goes to one waiter only
    }
}

void Event::reset()
{
    std::lock_guard<std::mutex> guard(syncMutex());
    signalled_ = false;
}

DWORD Event::wait(DWORD timeoutMs)
{
    const std::vector<Event*> one{this};
    return wait(one, false, timeoutMs);
}

DWORD Event::wait(const std::vector<Event*>& events, bool waitAll, DWORD timeoutMs)
{
    std::unique_lock<std::mutex> guard(syncMutex());
    Waiter waiter(events, waitAll);
    if (waiter.trySatisfyLocked())
        return WAIT_OBJECT_0 + static_cast<DWORD>(waiter.fired);
    if (timeoutMs == 0)
        return WAIT_TIMEOUT;

    for (Event* event : events)
        event->waiters_.push_back(&waiter);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (waiter.fired < 0) {
        if (timeoutMs == INFINITE) {
            waiter.wakeUp.wait(guard);
        } else if (waiter.wakeUp.wait_until(guard, deadline) == std::cv_status::timeout) {
            break;  // a signal handed over while we timed out still counts: fired is checked below
        }
    }
    for (Event* event : events)
        event->removeWaiterLocked(&waiter);
    return waiter.fired >= 0 ? WAIT_OBJECT_0 + static_cast<DWORD>(waiter.fired) : WAIT_TIMEOUT;
}

}  // namespace win32layer
