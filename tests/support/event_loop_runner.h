// Steps an environment's event loop from a test, as the application's
// event-loop thread would: wait on the loop's sockets (never longer than a
// short slice, so that conditions are checked often), dispatch, then the
// deferred calls and timers that are due.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_event_loop.h"
#include "avn/runtime/aud_log.h"
#include "avn/runtime/avnapi_runtime.h"

namespace test_loop {

// One step; the first failure of the wait, the dispatch or the step (callers
// that check the loop itself assert it is SUCCESS).
inline aud_error step(aud_event_loop* loop, std::chrono::milliseconds slice = std::chrono::milliseconds(20)) {
    aud_fdsets sets;
    aud_fdsets_clear(&sets);
    aud_error result = aud_event_loop_get_fdsets(loop, &sets);
    aud_time timeout = aud_event_loop_get_timeout(loop);
    const aud_time most = aud_time_from_milliseconds(slice.count());
    if (aud_time_compare(timeout, most) > 0) {
        timeout = most;
    }
    const aud_error waited = aud_fdsets_wait(&sets, timeout);
    const aud_error dispatched = aud_event_loop_dispatch(loop, &sets);
    const aud_error stepped = aud_event_loop_step(loop);
    for (const aud_error later : {waited, dispatched, stepped}) {
        if (result == AUD_SUCCESS) {
            result = later;
        }
    }
    return result;
}

// The same step for an AVN API instance's runtime, as a program that drives
// that runtime from a loop of its own takes it: wait on its sockets, then
// process what is ready and what is due.
inline aud_error step_runtime(avnapi_runtime* runtime,
                              std::chrono::milliseconds slice = std::chrono::milliseconds(20)) {
    aud_fdsets sets;
    aud_fdsets_clear(&sets);
    aud_time timeout{};
    aud_error result = avnapi_runtime_get_fdsets(runtime, &sets, &timeout);
    const aud_time most = aud_time_from_milliseconds(slice.count());
    if (aud_time_compare(timeout, most) > 0) {
        timeout = most;
    }
    const aud_error waited = aud_fdsets_wait(&sets, timeout);
    const aud_error processed = avnapi_runtime_process(runtime, &sets);
    for (const aud_error later : {waited, processed}) {
        if (result == AUD_SUCCESS) {
            result = later;
        }
    }
    return result;
}

// Collects the environment's log lines (every level) into `lines`.
inline void capture_log(aud_env* env, std::vector<std::string>* lines) {
    aud_log* log = aud_env_get_log(env);
    aud_log_set_level(log, AUD_LOG_LEVEL_DEBUG);
    aud_log_set_threshold(log, AUD_LOG_OUTPUT_CALLBACK, AUD_LOG_LEVEL_DEBUG);
    aud_log_set_callback(
        log,
        [](aud_log*, const char*, int, const char* text, size_t length, void* context) {
            static_cast<std::vector<std::string>*>(context)->emplace_back(text, length);
        },
        lines);
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
