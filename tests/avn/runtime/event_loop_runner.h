// Steps an environment's event loop from a test, as the application's
// event-loop thread would: wait on the loop's sockets (never longer than a
// short slice, so that conditions are checked often), dispatch, then the
// deferred calls and timers that are due.
#pragma once

#include <chrono>
#include <functional>

#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_event_loop.h"

namespace test_loop {

inline void step(aud_event_loop* loop, std::chrono::milliseconds slice = std::chrono::milliseconds(20)) {
    aud_fdsets sets;
    aud_fdsets_clear(&sets);
    aud_event_loop_get_fdsets(loop, &sets);
    aud_time timeout = aud_event_loop_get_timeout(loop);
    const aud_time most = aud_time_from_milliseconds(slice.count());
    if (aud_time_compare(timeout, most) > 0) {
        timeout = most;
    }
    aud_fdsets_wait(&sets, timeout);
    aud_event_loop_dispatch(loop, &sets);
    aud_event_loop_step(loop);
}

// Steps until `done` holds (true) or `limit` has passed (false).
inline bool run_until(aud_env* env, const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    aud_event_loop* loop = aud_env_get_event_loop(env);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        step(loop);
    }
    return true;
}

// Steps for the whole of `duration`: for what must not happen meanwhile.
inline void run_for(aud_env* env, std::chrono::milliseconds duration) {
    const auto until = std::chrono::steady_clock::now() + duration;
    run_until(env, [&] { return std::chrono::steady_clock::now() >= until; }, duration * 2);
}

}  // namespace test_loop
