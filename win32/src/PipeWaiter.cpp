#include "PipeWaiter.h"

#include "Errno.h"
#include "InstanceLock.h"
#include "SocketDirectory.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace win32layer {

namespace {

// What Windows uses when the server passed 0 as its default time-out.
constexpr DWORD kSystemDefaultTimeoutMs = 50;

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

DWORD PipeWaiter::wait(const PipeName& name, DWORD timeoutMs)
{
    std::string directory;
    const DWORD error = SocketDirectory::resolve(false, &directory);
    if (error != ERROR_SUCCESS)
        return error;
    const std::string lockPath = SocketDirectory::lockPath(directory, name);

    DWORD serverDefault = 0;
    switch (InstanceLock::probe(lockPath, &serverDefault)) {
    case InstanceLock::Probe::NoInstance: return ERROR_FILE_NOT_FOUND;
    case InstanceLock::Probe::Listening: return ERROR_SUCCESS;
    case InstanceLock::Probe::Busy: break;
    }
    if (timeoutMs == NMPWAIT_USE_DEFAULT_WAIT)
        timeoutMs = serverDefault != 0 ? serverDefault : kSystemDefaultTimeoutMs;
    const bool forever = timeoutMs == NMPWAIT_WAIT_FOREVER;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);

    Descriptor watcher(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (watcher.get() < 0)
        return Errno::toWin32Error(errno);
    // A new instance shows up as a new lock file.
    if (::inotify_add_watch(watcher.get(), directory.c_str(), IN_CREATE | IN_MOVED_TO) < 0)
        return Errno::toWin32Error(errno);

    for (;;) {
        // Re-added every round: the lock file may have been replaced by a new instance's. Fails
        // harmlessly while there is none.
        (void)::inotify_add_watch(watcher.get(), lockPath.c_str(), IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF);
        if (InstanceLock::probe(lockPath, &serverDefault) == InstanceLock::Probe::Listening)
            return ERROR_SUCCESS;

        int waitMs = -1;
        if (!forever) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return ERROR_SEM_TIMEOUT;
            waitMs = static_cast<int>(std::min<long long>(left.count(), INT_MAX));
        }
        struct pollfd change = {watcher.get(), POLLIN, 0};
        const int ready = ::poll(&change, 1, waitMs);
        if (ready < 0 && errno != EINTR)
            return Errno::toWin32Error(errno);
        if (ready == 0)
            continue;  // the deadline is checked at the top
        // Drain the notifications; what changed is read from the file itself.
        alignas(struct inotify_event) char events[4096];
        while (::read(watcher.get(), events, sizeof events) > 0) {
        }
    }
}

}  // namespace win32layer
