#pragma once

#include "KernelObject.h"
#include "win32layer/Win32Api.h"

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace win32layer {

class ReadDriver;

// A Win32 event: manual or auto reset, waited on alone or with others.
//
// How waiting works (after Chromium's POSIX WaitableEvent): a waiting thread puts one Waiter, with
// its own condition variable, on the list of every event it waits for. SetEvent walks that event's
// list in arrival order and hands the signal over directly: the first waiter it satisfies is marked
// with the index that satisfied it and woken, and an auto-reset event is consumed by that waiter
// alone. Only the threads the signal is for are woken; nobody polls, and a waiter never has to race
// other threads for the object after waking up.
//
// Wait-any semantics follow Windows: the lowest index of a signalled object wins and only that
// object is consumed. When a waiter starts, none of its objects is signalled (it would not have
// blocked otherwise), so the object that wakes it is always the lowest signalled one.
//
// All events share one mutex (syncMutex). A multi-object wait has to test and consume several
// events atomically; one lock gives that without lock ordering or the hand-back dance Chromium needs
// for per-event locks, and every critical section is a few pointer operations long. Lock order: a
// pipe's mutex may be held when an event is set (completions), never the other way round.
//
// A wait for events whose setting a pending read will cause drives that read itself: the thread
// sleeps in ppoll() on the reads' sockets and an eventfd of its own instead of on its condition
// variable, and completes the read when its data comes (docs/win32-layer.md, "A thread that waits
// for a read completes it itself"). Pending reads announce themselves with attachRead.
//
// Thread use: any thread. signalled_, waiters_ and reads_ are guarded by syncMutex().
class Event final : public KernelObject {
public:
    Event(bool manualReset, bool initiallySignalled);

    void set();
    void reset();

    // A read, known by `key`, is pending on `driver` and will set these events (nullptrs skipped)
    // when it completes; detachRead forgets it. One lock for all of them.
    static void attachRead(const void* key, const std::weak_ptr<ReadDriver>& driver, Event* a, Event* b, Event* c);
    static void detachRead(const void* key, Event* a, Event* b, Event* c);

    // Waits until one (waitAll false) or all (waitAll true) of the events are signalled, or until
    // timeoutMs (INFINITE for no limit) has passed on the monotonic clock. Returns WAIT_OBJECT_0 + the
    // index that satisfied the wait, or WAIT_TIMEOUT. The caller keeps the events alive.
    static DWORD wait(const std::vector<Event*>& events, bool waitAll, DWORD timeoutMs);
    DWORD wait(DWORD timeoutMs);

private:
    struct Waiter;

    static std::mutex& syncMutex();
    void consumeLocked();
    void removeWaiterLocked(Waiter* waiter);
    // Sleeps in ppoll() while driving the reads behind the waiter's events, until it is woken or
    // `deadline` passes. Called without syncMutex. False if this way of waiting failed (the
    // caller falls back to the condition variable).
    template <typename Deadline>
    static bool waitDriving(Waiter& waiter, const std::vector<std::weak_ptr<ReadDriver>>& drivers, int eventFd,
                            bool forever, const Deadline& deadline);

    const bool manualReset_;
    bool signalled_;
    std::vector<Waiter*> waiters_;  // in arrival order
    std::vector<std::pair<const void*, std::weak_ptr<ReadDriver>>> reads_;  // pending reads that set this
};

}  // namespace win32layer
