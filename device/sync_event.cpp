#include "device/sync_event.h"

void SyncEvent::set() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    changed_.notify_all();
}

void SyncEvent::reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool SyncEvent::wait_for(uint32_t milliseconds) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                           [this] { return signalled_; })) {
        return false;
    }
    if (automatic_) {
        signalled_ = false;
    }
    return true;
}

uint64_t tick_count_ms() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
