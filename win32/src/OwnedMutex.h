#pragma once

#include <cassert>
#include <mutex>
#ifndef NDEBUG
#include <atomic>
#include <thread>
#endif

namespace win32layer {

// A std::mutex that, in debug builds, knows which thread holds it, so that a method whose name
// ends in "Locked" can assert its precondition (assertHeld). Release builds (NDEBUG) keep only
// the mutex. Lockable: use it with std::lock_guard / std::unique_lock, not with
// std::condition_variable.
//
// Thread use: any thread; owner_ is written by the holder and read by any thread asking.
class OwnedMutex {
public:
    void lock()
    {
        mutex_.lock();
        setOwner();
    }
    bool try_lock()
    {
        if (!mutex_.try_lock())
            return false;
        setOwner();
        return true;
    }
    void unlock()
    {
#ifndef NDEBUG
        owner_.store(std::thread::id(), std::memory_order_relaxed);
#endif
        mutex_.unlock();
    }

#ifndef NDEBUG
    bool heldByThisThread() const { return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }
#endif

private:
    void setOwner()
    {
#ifndef NDEBUG
        owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
#endif
    }

    std::mutex mutex_;
#ifndef NDEBUG
    std::atomic<std::thread::id> owner_{};
#endif
};

}  // namespace win32layer

// The calling thread holds `mutex` (an OwnedMutex): checked in debug builds only.
#define W32_ASSERT_HELD(mutex) assert((mutex).heldByThisThread() && "called without the pipe's mutex")
