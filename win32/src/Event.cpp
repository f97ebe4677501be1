#include "Event.h"

#include "ReadDriver.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <thread>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace win32layer {

namespace {

// At most this many pending reads are driven by one wait; the I/O thread completes any others.
constexpr size_t kMaxDrivenReads = 8;

// This thread's eventfd, made on its first driving wait and closed when the thread ends; -1 if it
// cannot be made (the wait then uses its condition variable).
int ThreadEventFd()
{
    struct Holder {
        int fd = -1;
        ~Holder()
        {
            if (fd >= 0)
                ::close(fd);
        }
    };
    static thread_local Holder holder;
    if (holder.fd < 0)
        holder.fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return holder.fd;
}

}  // namespace

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

    // Under syncMutex: a signal has been handed over; wake the thread (unless it is the one
    // handing it over, completing its own read, which finds out when that returns).
    void wakeLocked()
    {
        if (eventFd < 0) {
            wakeUp.notify_one();
        } else if (owner != std::this_thread::get_id()) {
            const uint64_t one = 1;
            (void)!::write(eventFd, &one, sizeof one);
        }
    }

    const std::vector<Event*>& events;
    const bool waitAll;
    int fired = -1;
    std::condition_variable wakeUp;
    int eventFd = -1;  // >= 0 while the thread sleeps in ppoll() rather than on wakeUp
    const std::thread::id owner = std::this_thread::get_id();
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
        // Woken under the mutex: the waiter cannot leave (and free its Waiter, or end its thread
        // and so close its eventfd) before we release it.
        if (waiter->trySatisfyLocked())
            waiter->wakeLocked();
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

void Event::attachRead(const void* key, const std::weak_ptr<ReadDriver>& driver, Event* a, Event* b, Event* c)
{
    std::lock_guard<std::mutex> guard(syncMutex());
    for (Event* event : {a, b, c}) {
        if (event != nullptr)
            event->reads_.emplace_back(key, driver);
    }
}

void Event::detachRead(const void* key, Event* a, Event* b, Event* c)
{
    std::lock_guard<std::mutex> guard(syncMutex());
    for (Event* event : {a, b, c}) {
        if (event == nullptr)
            continue;
        auto& reads = event->reads_;
        reads.erase(std::remove_if(reads.begin(), reads.end(), [key](const auto& read) { return read.first == key; }),
                    reads.end());
    }
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
    const bool forever = timeoutMs == INFINITE;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);

    // The reads whose completion would end this wait: this thread completes them itself. (Not for
    // wait-all, which no read of the module waits in.)
    std::vector<std::weak_ptr<ReadDriver>> drivers;
    if (!waitAll) {
        for (Event* event : events) {
            for (const auto& read : event->reads_) {
                const bool known = std::any_of(drivers.begin(), drivers.end(), [&read](const auto& d) {
                    return !d.owner_before(read.second) && !read.second.owner_before(d);
                });
                if (!known && drivers.size() < kMaxDrivenReads)
                    drivers.push_back(read.second);
            }
        }
    }
    const int eventFd = drivers.empty() ? -1 : ThreadEventFd();
    bool timedOut = false;
    if (eventFd >= 0) {
        waiter.eventFd = eventFd;
        guard.unlock();
        const bool driven = waitDriving(waiter, drivers, eventFd, forever, deadline);
        guard.lock();
        waiter.eventFd = -1;  // from here on, the condition variable (if the wait goes on at all)
        timedOut = driven && waiter.fired < 0;  // driving ends without a signal only at the deadline
    }

    while (waiter.fired < 0 && !timedOut) {
        if (forever) {
            waiter.wakeUp.wait(guard);
        } else if (waiter.wakeUp.wait_until(guard, deadline) == std::cv_status::timeout) {
            break;  // a signal handed over while we timed out still counts: fired is checked below
        }
    }
    for (Event* event : events)
        event->removeWaiterLocked(&waiter);
    return waiter.fired >= 0 ? WAIT_OBJECT_0 + static_cast<DWORD>(waiter.fired) : WAIT_TIMEOUT;
}

template <typename Deadline>
bool Event::waitDriving(Waiter& waiter, const std::vector<std::weak_ptr<ReadDriver>>& drivers, int eventFd,
                        bool forever, const Deadline& deadline)
{
    // Step 2: a hold on each end's connection and its socket (see the design in the docs).
    std::vector<std::shared_ptr<ReadDriver>> ends;
    std::vector<ReadDriver::Drive> drives;
    std::vector<bool> driving;
    std::vector<struct pollfd> fds;
    for (const auto& weak : drivers) {
        std::shared_ptr<ReadDriver> end = weak.lock();
        if (!end)
            continue;
        ReadDriver::Drive drive = end->beginDrive();
        if (drive.connection == 0)
            continue;
        fds.push_back({drive.socket ? drive.socket->fd() : -1, POLLIN, 0});  // poll skips -1
        ends.push_back(std::move(end));
        drives.push_back(std::move(drive));
        driving.push_back(true);
    }
    fds.push_back({eventFd, POLLIN, 0});
    const size_t eventSlot = fds.size() - 1;
    const auto stopDriving = [&](size_t i) {
        if (!driving[i])
            return;
        driving[i] = false;
        ends[i]->endDrive(drives[i]);  // the last driver settles once more: nothing is left behind
        drives[i].socket.reset();
        fds[i].fd = -1;
    };

    bool ok = true;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(syncMutex());
            if (waiter.fired >= 0)
                break;
        }
        // Steps 3 and 4.
        struct timespec limit = {};
        if (!forever) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= decltype(left)::zero())
                break;
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            limit.tv_sec = static_cast<time_t>(ns / 1000000000);
            limit.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        const int ready = ::ppoll(fds.data(), fds.size(), forever ? nullptr : &limit, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        if (fds[eventSlot].revents != 0) {
            uint64_t count = 0;
            (void)!::read(eventFd, &count, sizeof count);
        }
        for (size_t i = 0; i < ends.size(); ++i) {
            if (!driving[i] || fds[i].revents == 0)
                continue;
            // An end with no read pending any more is not polled again: its socket may stay
            // readable (data for a later read, the end of the stream), and polling it would spin.
            if (!ends[i]->drive(drives[i]))
                stopDriving(i);
        }
    }
    // Step 6.
    for (size_t i = 0; i < ends.size(); ++i)
        stopDriving(i);
    return ok;
}

}  // namespace win32layer
