#pragma once

#include <memory>

namespace win32layer {

// A descriptor that is closed when its last owner lets go of it.
//
// A connection shares its sockets with the threads that poll them while they wait (see
// WaitSource): the connection may be closed by another thread in the meantime, and the descriptor
// number must not be closed, and perhaps reused for an unrelated file, under a thread that is still
// in poll() on it. Immutable; any thread.
class SharedDescriptor {
public:
    explicit SharedDescriptor(int fd) : fd_(fd) {}
    ~SharedDescriptor();
    SharedDescriptor(const SharedDescriptor&) = delete;
    SharedDescriptor& operator=(const SharedDescriptor&) = delete;

    int get() const { return fd_; }

private:
    const int fd_;
};

// The sockets a waiting thread polls for one pending operation: the data socket, and for a
// client end the control socket, which announces a disconnect. Either may be null.
struct WaitTargets {
    static constexpr unsigned kData = 0;
    static constexpr unsigned kControl = 1;
    static constexpr unsigned kCount = 2;

    std::shared_ptr<const SharedDescriptor> sockets[kCount];
};

// A pending operation that a thread waiting for one of its events can drive itself, instead of
// sleeping until the reactor thread completes it: a pending ReadFile attaches one to every event
// its completion sets (see Event::attach).
//
// The waiting thread calls service() with no lock held, first with enrol set. The source takes its
// pipe's mutex, runs exactly what the reactor runs when the sockets flagged in `ready` (bit
// 1 << WaitTargets::kData and so on) were readable, and reports whether the operation is still
// pending; if it is, it fills `targets` with the sockets to poll until something changes. While
// at least one thread is enrolled (drives the read), the pipe stops asking the reactor to watch
// for incoming data, so the reactor thread does not wake up for what the waiting thread handles
// anyway. A thread that stops polling a source that last returned true calls leave(); one that got
// false is no longer enrolled. The reactor may still serve the same sockets (it watches them again
// as soon as nobody is enrolled, and may hold an event fetched earlier): whichever thread takes the
// pipe's mutex first completes the operation, and the other finds nothing to do.
//
// Thread use: created and finished under the owning pipe's mutex; finished_ and drivers_ are
// guarded by it. service() and leave() from any waiting thread.
class WaitSource {
public:
    WaitSource() = default;
    WaitSource(const WaitSource&) = delete;
    WaitSource& operator=(const WaitSource&) = delete;
    virtual ~WaitSource() = default;

    // False when there is nothing (more) to poll for: the operation has completed, or its pipe end
    // has gone. Never throws.
    virtual bool service(bool enrol, unsigned ready, WaitTargets* targets) = 0;
    virtual void leave() = 0;

    // Under the owning pipe's mutex.
    void finishLocked() { finished_ = true; }
    bool finishedLocked() const { return finished_; }
    void enrolLocked() { ++drivers_; }
    void leaveLocked() { --drivers_; }
    bool drivenLocked() const { return drivers_ > 0; }

private:
    bool finished_ = false;
    int drivers_ = 0;  // threads polling for this operation
};

}  // namespace win32layer
