// A Win32-style event: manual or automatic reset, with waits bounded in
// milliseconds. Portable, over a condition variable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

class SyncEvent {
public:
    enum class Reset { Manual, Automatic };

    explicit SyncEvent(Reset reset, bool signalled = false)
        : automatic_(reset == Reset::Automatic), signalled_(signalled) {}
    SyncEvent(const SyncEvent&) = delete;
    SyncEvent& operator=(const SyncEvent&) = delete;

    void set();
    void reset();

    // True when the event was signalled within the limit. An automatic-reset
    // event is reset by the wait that sees it signalled.
    bool wait_for(uint32_t milliseconds);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool automatic_;
    bool signalled_;
};

// Milliseconds from a monotonic clock, for time limits and intervals.
uint64_t tick_count_ms();

// Takes a worker queue's mutex in waits of `slice_ms`, looking at the stop
// flag after each wait that times out: nothing once a stop is asked.
template <typename StopFlag>
std::optional<std::unique_lock<std::recursive_timed_mutex>> lock_unless_stopped(
    std::recursive_timed_mutex& mutex, const StopFlag& stop, uint32_t slice_ms = 250) {
    std::unique_lock lock(mutex, std::defer_lock);
    while (!lock.try_lock_for(std::chrono::milliseconds(slice_ms))) {
        if (stop) {
            return std::nullopt;
        }
    }
    return lock;
}
