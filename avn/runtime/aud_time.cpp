#include "avn/runtime/aud_time.h"

#include <chrono>

namespace {

aud_time_clock g_test_clock = nullptr;

template <typename Clock>
aud_time read_clock() {
    const auto since_epoch =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch());
    const int64_t us = since_epoch.count();
    aud_time t{};
    t.seconds = static_cast<int32_t>(us / AUD_TIME_MICROSECONDS_PER_SECOND);
    t.microseconds = static_cast<int32_t>(us % AUD_TIME_MICROSECONDS_PER_SECOND);
    return aud_time_normalise(t);
}

}  // namespace

aud_time aud_time_now() {
    if (g_test_clock != nullptr) {
        return g_test_clock();
    }
    return read_clock<std::chrono::steady_clock>();
}

aud_time aud_time_wall_now() {
    return read_clock<std::chrono::system_clock>();
}

void aud_time_set_clock(aud_time_clock clock) {
    g_test_clock = clock;
}

aud_time aud_time_normalise(aud_time time) {
    int64_t seconds = time.seconds + time.microseconds / AUD_TIME_MICROSECONDS_PER_SECOND;
    int32_t us = time.microseconds % AUD_TIME_MICROSECONDS_PER_SECOND;
    if (us < 0) {
        us += AUD_TIME_MICROSECONDS_PER_SECOND;
        --seconds;
    }
    return aud_time{static_cast<int32_t>(seconds), us};
}

aud_time aud_time_add(aud_time a, aud_time b) {
    a = aud_time_normalise(a);
    b = aud_time_normalise(b);
    return aud_time_normalise(aud_time{a.seconds + b.seconds, a.microseconds + b.microseconds});
}

aud_time aud_time_sub(aud_time a, aud_time b) {
    a = aud_time_normalise(a);
    b = aud_time_normalise(b);
    return aud_time_normalise(aud_time{a.seconds - b.seconds, a.microseconds - b.microseconds});
}

int aud_time_compare(aud_time a, aud_time b) {
    a = aud_time_normalise(a);
    b = aud_time_normalise(b);
    if (a.seconds != b.seconds) {
        return a.seconds < b.seconds ? -1 : 1;
    }
    if (a.microseconds != b.microseconds) {
        return a.microseconds < b.microseconds ? -1 : 1;
    }
    return 0;
}

aud_time aud_time_from_milliseconds(int64_t milliseconds) {
    aud_time t{};
    t.seconds = static_cast<int32_t>(milliseconds / 1000);
    t.microseconds = static_cast<int32_t>((milliseconds % 1000) * 1000);
    return aud_time_normalise(t);
}

int64_t aud_time_to_milliseconds_ceil(aud_time duration) {
    duration = aud_time_normalise(duration);
    if (duration.seconds < 0) {
        return 0;
    }
    return int64_t{duration.seconds} * 1000 + (duration.microseconds + 999) / 1000;
}
