#pragma once

#include "KernelObject.h"
#include "win32layer/Win32Api.h"

#include <mutex>
#include <vector>

namespace win32layer {

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
// Thread use: any thread. signalled_ and waiters_ are guarded by syncMutex().
class Event final : public KernelObject {
public:
    Event(bool manualReset, bool initiallySignalled);

    void set();
    void reset();

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

    const bool manualReset_;
    bool signalled_;
    std::vector<Waiter*> waiters_;  // in arrival order
};

}  // namespace win32layer
