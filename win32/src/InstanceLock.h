#pragma once

#include "win32layer/Win32Api.h"

#include <memory>
#include <string>

namespace win32layer {

// Tells a live pipe instance from files a dead process left behind, across processes.
//
// The instance holds a write lock on its lock file for as long as it exists. It is an open file
// description lock (F_OFD_SETLK): like flock it belongs to the open file, not to the process, so
// closing some other descriptor of the file never drops it (POSIX record locks would), and the
// kernel releases it when the process dies however it dies. Unlike flock it can be tested without
// being taken (F_OFD_GETLK), which WaitNamedPipeW relies on: a probing flock could make a concurrent
// CreateNamedPipeW fail with ERROR_PIPE_BUSY.
//
// The lock file also holds a small record that WaitNamedPipeW reads: whether the instance is
// listening for a client, and its default time-out. The owner updates it on every state change, and
// a waiter watches it with inotify.
//
// Thread use: the owning ServerPipe calls publish/release under its own mutex; probe is stateless.
class InstanceLock {
public:
    enum class Probe { NoInstance, Busy, Listening };

    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the name. Returns ERROR_SUCCESS, ERROR_PIPE_BUSY when a live instance holds it, or the
    // error of the failing system call.
    static DWORD acquire(const std::string& lockPath, DWORD defaultTimeoutMs, std::unique_ptr<InstanceLock>* out);

    void publishListening(bool listening);

    // Removes the socket file, then the lock file, then drops the lock. Unlinking while the lock is
    // still held means a newer instance can never lose its fresh files to this cleanup.
    void release(const std::string& socketPath);

    static Probe probe(const std::string& lockPath, DWORD* defaultTimeoutMs);

private:
    InstanceLock(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

    int fd_;
    std::string path_;
};

}  // namespace win32layer
