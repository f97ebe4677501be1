#include "FakeClock.h"

#include <atomic>
#include <dlfcn.h>
#include <ctime>
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
