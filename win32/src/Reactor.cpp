#include "Reactor.h"

#include <cerrno>
#include <sys/epoll.h>
#include <thread>
#include <unistd.h>

namespace win32layer {

Reactor* Reactor::instance()
{
    // Leaked on purpose (see the class comment); a function-local static makes creation thread-safe.
    static int startError = 0;
    static Reactor* reactor = [] {
        Reactor* created = new Reactor();
        if (!created->start()) {
            startError = errno != 0 ? errno : EAGAIN;
            delete created;
            return static_cast<Reactor*>(nullptr);
        }
        return created;
    }();
    if (reactor == nullptr)
        errno = startError;
    return reactor;
}

bool Reactor::start()
{
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0)
        return false;
    try {
        std::thread(&Reactor::run, this).detach();
    } catch (...) {
        ::close(epollFd_);
        epollFd_ = -1;
        errno = EAGAIN;
        return false;
    }
    return true;
}

uint64_t Reactor::add(int fd, uint32_t events, std::weak_ptr<IoSource> source)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t registration = nextRegistration_++;
    struct epoll_event event = {};
    event.events = events;
    event.data.u64 = registration;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0)
        return 0;
    sources_.emplace(registration, std::move(source));
    return registration;
}

bool Reactor::modify(uint64_t registration, int fd, uint32_t events)
{
    struct epoll_event event = {};
    event.events = events;
    event.data.u64 = registration;
    return ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event) == 0;
}

void Reactor::remove(uint64_t registration, int fd)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (sources_.erase(registration) != 0)
        ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
}

void Reactor::run()
{
    thread_.store(std::this_thread::get_id(), std::memory_order_release);
    constexpr int kMaxEvents = 64;
    struct epoll_event events[kMaxEvents];
    for (;;) {
        const int count = ::epoll_wait(epollFd_, events, kMaxEvents, -1);
        if (count < 0)
            continue;  // EINTR; epoll_wait reports no other error for a valid descriptor
        for (int i = 0; i < count; ++i) {
            const uint64_t registration = events[i].data.u64;
            std::shared_ptr<IoSource> source;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                auto it = sources_.find(registration);
                if (it != sources_.end())
                    source = it->second.lock();
            }
            if (source)
                source->onIoReady(registration, events[i].events);
        }
    }
}

}  // namespace win32layer
