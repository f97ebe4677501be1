#pragma once

#include "KernelObject.h"
#include "WaitSource.h"
#include "win32layer/Win32Api.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

namespace win32layer {

// A Win32 event: manual or auto reset, waited on alone or with others.
//
// How waiting works (after Chromium's POSIX WaitableEvent): a waiting thread puts one Waiter on the
// list of every event it waits for. SetEvent walks that event's list in arrival order and hands the
// signal over directly: the first waiter it satisfies is marked with the index that satisfied it
// and woken, and an auto-reset event is consumed by that waiter alone. Only the threads the signal
// is for are woken; nobody polls, and a waiter never has to race other threads for the object after
// waking up.
//
// Wait-any semantics follow Windows: the lowest index of a signalled object wins and only that
// object is consumed. When a waiter starts, none of its objects is signalled (it would not have
// blocked otherwise), so the object that wakes it is always the lowest signalled one.
//
// Two ways to sleep. A waiter normally sleeps on its own condition variable. But when an event it
// waits for belongs to a pending read (a WaitSource is attached), the waiter sleeps in poll() on
// that read's sockets and on its thread's eventfd instead; when a socket becomes readable it drives
// the read itself, under the pipe's mutex and through the reactor's own code, so the data does not
// have to pass through the reactor thread first. A SetEvent that satisfies such a waiter writes to
// its eventfd rather than notifying a condition variable. Either way the result is decided under
// syncMutex exactly as before.
//
// All events share one mutex (syncMutex). A multi-object wait has to test and consume several
// events atomically; one lock gives that without lock ordering or the hand-back dance Chromium needs
// for per-event locks, and every critical section is a few pointer operations long. Lock order: a
// pipe's mutex may be held when an event is set (completions) or a source attached, never the other
// way round; a waiter drives its sources with syncMutex released.
//
// Thread use: any thread. signalled_, waiters_ and sources_ are guarded by syncMutex().
class Event final : public KernelObject {
public:
    // The most pending reads one wait drives itself. A wait for more (a handle with many reads
    // pending on its own event, say) leaves the others to the reactor, which completes them anyway.
    static constexpr size_t kMaxDrivenSources = 16;

    Event(bool manualReset, bool initiallySignalled);

    void set();
    // Sets the event for a completion: also detaches the completed operation's source.
    void set(const WaitSource* finished);
    void reset();

    // A pending operation whose completion will set this event; threads that wait for the event
    // from now on may drive it (see WaitSource). Best effort: on allocation failure nothing is
    // attached and waiters simply sleep until the reactor completes the operation.
    void attach(const std::shared_ptr<WaitSource>& source);
    void detach(const WaitSource* source);

    // Waits until one (waitAll false) or all (waitAll true) of the events are signalled, or until
    // timeoutMs (INFINITE for no limit) has passed on the monotonic clock. Returns WAIT_OBJECT_0 + the
    // index that satisfied the wait, or WAIT_TIMEOUT. The caller keeps the events alive.
    static DWORD wait(const std::vector<Event*>& events, bool waitAll, DWORD timeoutMs);
    DWORD wait(DWORD timeoutMs);

private:
    struct Waiter;
    using Clock = std::chrono::steady_clock;

    static std::mutex& syncMutex();
    void consumeLocked();
    void removeWaiterLocked(Waiter* waiter);
    // Sleeps on the waiter's condition variable until it fires or the deadline (if any) passes.
    static void sleepLocked(std::unique_lock<std::mutex>& guard, Waiter& waiter, const Clock::time_point* deadline);
    // Sleeps in poll() on the sources' sockets, driving them as they become readable, until the
    // waiter fires, the deadline passes, or no source is left to poll (then returns false, locked,
    // and the caller sleeps on the condition variable instead).
    static bool driveLocked(std::unique_lock<std::mutex>& guard, Waiter& waiter,
                            std::vector<std::shared_ptr<WaitSource>>& sources, const Clock::time_point* deadline);

    const bool manualReset_;
    bool signalled_;
    std::vector<Waiter*> waiters_;                     // in arrival order
    std::vector<std::shared_ptr<WaitSource>> sources_;  // pending reads that will set this event
};

}  // namespace win32layer
