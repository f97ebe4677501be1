#include "FakeClock.h"

#include <atomic>
#include <dlfcn.h>
#include <ctime>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::atomic<long long> g_offsetNs{0};
std::atomic<bool> g_frozen{false};
std::atomic<long long> g_frozenAtNs{0};

long long RealMonotonicNs()
{
    timespec ts;
    ::syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

bool IsMonotonic(clockid_t clock)
{
    return clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_COARSE || clock == CLOCK_MONOTONIC_RAW ||
           clock == CLOCK_BOOTTIME;
}

}  // namespace

// Overrides the C library's function for every caller in the process (the executable's
// definition comes first in symbol lookup, provided it is exported: the project builds with
// hidden visibility). The real reading comes from the system call.
extern "C" __attribute__((visibility("default"))) int clock_gettime(clockid_t clock, struct timespec* ts)
{
    if (!IsMonotonic(clock))
        return int(::syscall(SYS_clock_gettime, clock, ts));
    long long ns = g_frozen.load() ? g_frozenAtNs.load() : RealMonotonicNs() + g_offsetNs.load();
    ts->tv_sec = ns / 1000000000LL;
    ts->tv_nsec = ns % 1000000000LL;
    return 0;
}

// std::condition_variable (the Win32 layer's event waits among them) waits until an absolute
// CLOCK_MONOTONIC deadline computed from the fake reading; the kernel measures it against the real
// clock, so a clock moved forward would make every finite wait last that much longer. The deadline
// is moved back by the difference between the two readings before the real function sees it.
extern "C" __attribute__((visibility("default"))) int pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex,
                                                                          clockid_t clock, const struct timespec* abstime)
{
    using Real = int (*)(pthread_cond_t*, pthread_mutex_t*, clockid_t, const struct timespec*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pthread_cond_clockwait"));
    if (!IsMonotonic(clock))
        return real(cond, mutex, clock, abstime);
    timespec fake;
    clock_gettime(clock, &fake);
    const long long shift = (fake.tv_sec * 1000000000LL + fake.tv_nsec) - RealMonotonicNs();
    long long ns = abstime->tv_sec * 1000000000LL + abstime->tv_nsec - shift;
    if (ns < 0)
        ns = 0;
    const timespec moved{time_t(ns / 1000000000LL), long(ns % 1000000000LL)};
    return real(cond, mutex, CLOCK_MONOTONIC, &moved);
}

namespace FakeClock {

void Advance(long long milliseconds)
{
    g_offsetNs += milliseconds * 1000000LL;
    if (g_frozen.load())
        g_frozenAtNs += milliseconds * 1000000LL;
}

void Freeze()
{
    g_frozenAtNs = RealMonotonicNs() + g_offsetNs.load();
    g_frozen = true;
}

void Thaw()
{
    // Continue from the frozen reading: the offset absorbs the time that passed meanwhile.
    g_offsetNs = g_frozenAtNs.load() - RealMonotonicNs();
    g_frozen = false;
}

bool IsActive()
{
    // What every library in the process finds under the name, not just this file's own call.
    return dlsym(RTLD_DEFAULT, "clock_gettime") == reinterpret_cast<void*>(&clock_gettime);
}

}  // namespace FakeClock
