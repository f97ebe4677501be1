#include "Event.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>
#include <utility>

namespace win32layer {

namespace {

// The eventfd a thread sleeps on in poll() beside a pending read's sockets, made the first time the
// thread waits for such a read and closed when the thread ends. Thread use: read (drained) only by
// its own thread; written by Event::set in any thread, under syncMutex, while the owning thread is
// registered as a waiter, so never after the thread has ended.
class ThreadWakeFd {
public:
    ThreadWakeFd() = default;
    ThreadWakeFd(const ThreadWakeFd&) = delete;
    ThreadWakeFd& operator=(const ThreadWakeFd&) = delete;
    ~ThreadWakeFd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    // -1 if none can be made (the thread then sleeps on its condition variable).
    int get()
    {
        if (fd_ < 0)
            fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        return fd_;
    }

private:
    int fd_ = -1;
};

thread_local ThreadWakeFd threadWakeFd;

}  // namespace

// Lives on the waiting thread's stack for the duration of one wait. Fields other than events and
// waitAll are guarded by syncMutex(); the waiter removes itself from every list before returning,
// under that mutex, so a SetEvent never sees a dangling Waiter.
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

    // Wakes the thread once another thread's set() has satisfied it.
    void wakeLocked()
    {
        if (wakeFd < 0) {
            wakeUp.notify_one();
        } else if (polling && !kicked) {
            // A thread that is not in poll() checks `fired` before it sleeps again: no write needed,
            // and none when it completed the read itself (the common case).
            kicked = true;
            const uint64_t one = 1;
            (void)!::write(wakeFd, &one, sizeof one);
        }
    }

    const std::vector<Event*>& events;
    const bool waitAll;
    int fired = -1;
    std::condition_variable wakeUp;  // how the thread sleeps while wakeFd < 0
    int wakeFd = -1;                 // the thread's eventfd while it sleeps in poll() instead
    bool polling = false;            // in poll(), or about to enter it: a wake-up must write wakeFd
    bool kicked = false;             // wakeFd was written in this wait and must be drained
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

void Event::set() { set(nullptr); }

void Event::set(const WaitSource* finished)
{
    std::lock_guard<std::mutex> guard(syncMutex());
    if (finished != nullptr) {
        sources_.erase(std::remove_if(sources_.begin(), sources_.end(),
                                      [finished](const std::shared_ptr<WaitSource>& s) { return s.get() == finished; }),
                       sources_.end());
    }
    if (signalled_)
        return;
    signalled_ = true;
    for (Waiter* waiter : waiters_) {
        if (waiter->fired >= 0)
            continue;
        // Woken under the mutex: the waiter cannot leave (and free its Waiter) before we release it.
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

void Event::attach(const std::shared_ptr<WaitSource>& source)
{
    std::lock_guard<std::mutex> guard(syncMutex());
    try {
        sources_.push_back(source);
    } catch (...) {
        // Out of memory: waiters sleep until the reactor completes the operation, as they may.
    }
}

void Event::detach(const WaitSource* source)
{
    std::lock_guard<std::mutex> guard(syncMutex());
    sources_.erase(std::remove_if(sources_.begin(), sources_.end(),
                                  [source](const std::shared_ptr<WaitSource>& s) { return s.get() == source; }),
                   sources_.end());
}

DWORD Event::wait(DWORD timeoutMs)
{
    const std::vector<Event*> one{this};
    return wait(one, false, timeoutMs);
}

DWORD Event::wait(const std::vector<Event*>& events, bool waitAll, DWORD timeoutMs)
{
    // Declared before the lock: released (and the last reference to a source dropped) after it.
    std::vector<std::shared_ptr<WaitSource>> sources;
    std::unique_lock<std::mutex> guard(syncMutex());
    Waiter waiter(events, waitAll);
    if (waiter.trySatisfyLocked())
        return WAIT_OBJECT_0 + static_cast<DWORD>(waiter.fired);
    if (timeoutMs == 0)
        return WAIT_TIMEOUT;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const Clock::time_point* limit = timeoutMs == INFINITE ? nullptr : &deadline;

    // The pending reads these events are waiting for, each once: this thread drives them itself.
    try {
        for (Event* event : events) {
            for (const std::shared_ptr<WaitSource>& source : event->sources_) {
                if (sources.size() < kMaxDrivenSources && std::find(sources.begin(), sources.end(), source) == sources.end())
                    sources.push_back(source);
            }
        }
    } catch (...) {
        sources.clear();  // out of memory: sleep on the condition variable
    }
    const int wakeFd = sources.empty() ? -1 : threadWakeFd.get();
    waiter.wakeFd = wakeFd;

    try {
        for (Event* event : events)
            event->waiters_.push_back(&waiter);
    } catch (...) {
        for (Event* event : events)
            event->removeWaiterLocked(&waiter);
        throw;  // out of memory: the API call fails
    }
    if (waiter.wakeFd < 0 || !driveLocked(guard, waiter, sources, limit)) {
        waiter.wakeFd = -1;
        sleepLocked(guard, waiter, limit);
    }
    for (Event* event : events)
        event->removeWaiterLocked(&waiter);
    const bool kicked = waiter.kicked;
    const int fired = waiter.fired;
    guard.unlock();
    if (kicked) {
        // Nobody writes it any more; leave it empty for the thread's next wait.
        uint64_t count = 0;
        (void)!::read(wakeFd, &count, sizeof count);
    }
    return fired >= 0 ? WAIT_OBJECT_0 + static_cast<DWORD>(fired) : WAIT_TIMEOUT;
}

void Event::sleepLocked(std::unique_lock<std::mutex>& guard, Waiter& waiter, const Clock::time_point* deadline)
{
    while (waiter.fired < 0) {
        if (deadline == nullptr) {
            waiter.wakeUp.wait(guard);
        } else if (waiter.wakeUp.wait_until(guard, *deadline) == std::cv_status::timeout) {
            break;  // a signal handed over while we timed out still counts: fired is checked by the caller
        }
    }
}

bool Event::driveLocked(std::unique_lock<std::mutex>& guard, Waiter& waiter,
                        std::vector<std::shared_ptr<WaitSource>>& sources, const Clock::time_point* deadline)
{
    // Sized once, so the loop never allocates. Per source: the sockets it last asked for (held, so
    // their descriptors stay open while we poll them), what poll() found readable among them, and
    // whether this thread is enrolled with it (see WaitSource).
    enum : unsigned char { kFresh, kEnrolled, kBroken };
    std::vector<WaitTargets> pinned;
    std::vector<unsigned> ready;
    std::vector<unsigned char> state;
    std::vector<struct pollfd> polled;
    std::vector<std::pair<size_t, unsigned>> owners;  // polled[j] (but the last) is socket bit .second of source .first
    try {
        pinned.resize(sources.size());
        ready.assign(sources.size(), 0);
        state.assign(sources.size(), kFresh);
        polled.reserve(sources.size() * WaitTargets::kCount + 1);
        owners.reserve(sources.size() * WaitTargets::kCount);
    } catch (...) {
        return false;
    }

    bool fallBack = false;
    for (;;) {
        // Drive what poll() found readable, and learn what to poll next. Not under syncMutex: a
        // source takes its pipe's mutex, and completing a read sets events.
        guard.unlock();
        polled.clear();
        owners.clear();
        for (size_t i = 0; i < sources.size(); ++i) {
            if (!sources[i])
                continue;
            pinned[i] = WaitTargets();
            if (state[i] == kBroken) {
                sources[i]->leave();
                sources[i].reset();
                continue;
            }
            if (!sources[i]->service(state[i] == kFresh, ready[i], &pinned[i])) {
                sources[i].reset();  // completed (by us or by the reactor), or its pipe end has gone
                continue;
            }
            state[i] = kEnrolled;
            ready[i] = 0;
            for (unsigned k = 0; k < WaitTargets::kCount; ++k) {
                if (pinned[i].sockets[k]) {
                    polled.push_back({pinned[i].sockets[k]->get(), POLLIN | POLLRDHUP, 0});
                    owners.emplace_back(i, 1u << k);
                }
            }
        }
        polled.push_back({waiter.wakeFd, POLLIN, 0});
        guard.lock();

        if (waiter.fired >= 0)
            break;
        if (owners.empty()) {
            fallBack = true;  // nothing left to drive: only a set() can end this wait now
            break;
        }
        struct timespec remaining = {};
        if (deadline != nullptr) {
            const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(*deadline - Clock::now()).count();
            if (left <= 0)
                break;
            remaining.tv_sec = static_cast<time_t>(left / 1000000000);
            remaining.tv_nsec = static_cast<long>(left % 1000000000);
        }
        waiter.polling = true;
        guard.unlock();
        const int result = ::ppoll(polled.data(), polled.size(), deadline != nullptr ? &remaining : nullptr, nullptr);
        const int error = errno;
        guard.lock();
        waiter.polling = false;
        if (waiter.fired >= 0)
            break;
        if (result < 0 && error != EINTR) {
            fallBack = true;
            break;
        }
        for (size_t j = 0; result > 0 && j < owners.size(); ++j) {
            const short revents = polled[j].revents;
            if ((revents & POLLNVAL) != 0)
                state[owners[j].first] = kBroken;  // cannot happen while pinned; never spin on it
            else if (revents != 0)
                ready[owners[j].first] |= owners[j].second;
        }
    }
    // Outside syncMutex: leaving takes a pipe's mutex, and the last owner of a socket closes it.
    guard.unlock();
    for (size_t i = 0; i < sources.size(); ++i) {
        if (sources[i] && state[i] != kFresh)
            sources[i]->leave();
    }
    pinned.clear();
    guard.lock();
    return !fallBack;
}

}  // namespace win32layer
