// Time values of the AVN runtime: whole seconds and microseconds.
//
// `aud_time_now` reads a monotonic clock. Every timer and deadline of the
// library is measured against it, so a change of the system clock never moves
// an expiry. Wall-clock time is only used for log timestamps
// (`aud_time_wall_now`).
#pragma once

#include <cstdint>

struct aud_time {
    int32_t seconds;
    int32_t microseconds;  // 0 to 999999 once normalised
};

enum : int32_t { AUD_TIME_MICROSECONDS_PER_SECOND = 1000000 };

// Now on the monotonic clock (or the test clock, when one is installed).
aud_time aud_time_now();
// Now on the wall clock: seconds since 1970-01-01 00:00 UTC.
aud_time aud_time_wall_now();

// A clock that replaces the monotonic clock, for tests that need to step
// time by hand; null restores the real clock.
using aud_time_clock = aud_time (*)();
void aud_time_set_clock(aud_time_clock clock);

// Carries whole seconds out of (or into) the microseconds so that they lie in
// 0 to 999999.
aud_time aud_time_normalise(aud_time time);
aud_time aud_time_add(aud_time a, aud_time b);
aud_time aud_time_sub(aud_time a, aud_time b);
// Negative, zero or positive as a is earlier than, equal to or later than b.
int aud_time_compare(aud_time a, aud_time b);

aud_time aud_time_from_milliseconds(int64_t milliseconds);
// Whole milliseconds, rounded up; negative durations give 0.
int64_t aud_time_to_milliseconds_ceil(aud_time duration);
