#include "avn/domain/dm_diagnostics.h"

#include <atomic>

namespace {

// Read on the event-loop thread and the TLS client's network thread.
std::atomic<bool> g_enabled{true};

}  // namespace

void dm_diagnostics_set_enabled(bool enabled) {
    g_enabled.store(enabled, std::memory_order_relaxed);
}

bool dm_diagnostics_enabled() {
    return g_enabled.load(std::memory_order_relaxed);
}
