#pragma once

// A monotonic clock the test can move. Linking FakeClock.cpp into a test executable replaces
// clock_gettime() for the whole process (Qt's QElapsedTimer and QDeadlineTimer, std::chrono's
// steady_clock): CLOCK_MONOTONIC readings gain an offset the test controls, so a 60-second
// window can be aged without waiting a minute. Time still runs at its normal rate; only
// finite kernel waits on an absolute monotonic deadline notice the jump (they last longer), so
// tests advance the clock only while nothing important waits with a time limit. The waits of
// std::condition_variable (and so of the Win32 layer's events) are translated back to the real
// clock, so they last as long as they ask whatever the test does to the clock.

namespace FakeClock {

// Moves the monotonic clock forward by `milliseconds` from now on.
void Advance(long long milliseconds);
// Stops the monotonic clock at its current reading (until Thaw), so that arithmetic on elapsed
// time can be tested to the millisecond.
void Freeze();
void Thaw();
// Whether this process runs with the fake clock (false if the override did not take).
bool IsActive();

}  // namespace FakeClock
