#pragma once

#include <cstdint>
#include <memory>

namespace win32layer {

// A pipe end's data socket, shared by its connection and by the threads that poll it while they
// wait for a read; closed by whoever lets go last, so a descriptor a thread polls is never closed
// or reused under it.
class SharedSocket {
public:
    explicit SharedSocket(int fd) : fd_(fd) {}
    ~SharedSocket();
    SharedSocket(const SharedSocket&) = delete;
    SharedSocket& operator=(const SharedSocket&) = delete;
    int fd() const { return fd_; }

private:
    const int fd_;
};

// What a waiting thread needs of a pipe end to complete a read it waits for (docs/win32-layer.md,
// "A thread that waits for a read completes it itself"). Implemented by PipeEnd; every call takes
// the pipe's mutex.
class ReadDriver {
public:
    // One waiting thread's hold on the end's current connection.
    struct Drive {
        uint64_t connection = 0;               // the connection's id; 0: nothing to drive
        std::shared_ptr<SharedSocket> socket;  // what to poll for incoming data
    };

    virtual ~ReadDriver() = default;
    // Counts the caller as driving the current connection's reads; the I/O thread leaves its
    // incoming data alone meanwhile.
    virtual Drive beginDrive() = 0;
    // The socket is readable: move what it holds into the pending reads, completing them. False
    // once no read is pending there any more (or the connection is gone).
    virtual bool drive(const Drive& drive) = 0;
    // The caller stops driving; the last one to stop settles once more.
    virtual void endDrive(const Drive& drive) = 0;
};

}  // namespace win32layer
