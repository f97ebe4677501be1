#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace win32layer {

// Receives readiness callbacks from the reactor thread.
class IoSource {
public:
    virtual ~IoSource() = default;
    // Called on the reactor thread, with no lock held. `registration` tells which of the source's
    // descriptors is ready; a source must ignore registrations it no longer owns (the event may have
    // been fetched just before the descriptor was removed).
    virtual void onIoReady(uint64_t registration, uint32_t events) = 0;
};

// The layer's one background thread: an edge-triggered epoll loop that completes overlapped I/O
// whether or not anyone waits for it.
//
// Created on first use, so loading the library starts no thread, and never destroyed: it lives as
// long as the process, because pipes may still be closed (and events set) from static destructors
// and at exit, and a thread cannot be joined safely from there. The thread never calls user code; it
// only moves bytes, fills in OVERLAPPED structures and sets events, through its IoSources.
//
// Edge-triggered readiness is safe because every change of demand (a new read or write) is followed
// by an attempt to make progress under the pipe's mutex in the calling thread, and the reactor
// thread drives a descriptor until EAGAIN whenever there is demand, so no edge is needed that was
// consumed earlier.
//
// Thread use: add/remove from any thread (under a pipe's mutex); sources_ and nextRegistration_ are
// guarded by mutex_, which is never held while a callback runs.
class Reactor {
public:
    // nullptr when the epoll instance or the thread could not be created (errno tells why).
    static Reactor* instance();

    // Registers fd for the given epoll events. Returns the registration id, or 0 on failure with
    // errno set.
    uint64_t add(int fd, uint32_t events, std::weak_ptr<IoSource> source);
    // Changes the events of a registration. Readiness is checked again at once, so an edge that
    // came before the change is not lost. False on failure, with errno set.
    bool modify(uint64_t registration, int fd, uint32_t events);
    // Unregisters; call before closing fd.
    void remove(uint64_t registration, int fd);
    // Whether the calling thread is the reactor's (for the thread checks of debug builds).
    bool isReactorThread() const { return std::this_thread::get_id() == thread_.load(std::memory_order_acquire); }

private:
    Reactor() = default;
    bool start();
    void run();

    int epollFd_ = -1;
    std::atomic<std::thread::id> thread_{};  // set by the reactor thread when it starts
    std::mutex mutex_;  // protects sources_ and nextRegistration_
    std::unordered_map<uint64_t, std::weak_ptr<IoSource>> sources_;
    uint64_t nextRegistration_ = 1;
};

}  // namespace win32layer
