#include "sim/sim_log.h"

#include <cstdarg>
#include <cstdio>

#include "avn/runtime/aud_time.h"

namespace sim {

void SimLog::line(const char* service, const char* format, ...) {
    if (quiet_) {
        return;
    }
    char text[1024];
    va_list args;
    va_start(args, format);
    aud_vsnprintf(text, sizeof text, format, args);
    va_end(args);

    // Time of day in UTC: enough to line the simulator's events up with the
    // client's log, and the same on every platform.
    const aud_time now = aud_time_wall_now();
    const int32_t seconds_of_day = now.seconds % 86400;
    char stamp[32];
    aud_snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", seconds_of_day / 3600,
                 seconds_of_day / 60 % 60, seconds_of_day % 60, now.microseconds / 1000);

    const std::lock_guard<std::mutex> lock(mutex_);
    std::printf("%s avn-sim %s: %s\n", stamp, service, text);
    std::fflush(stdout);
}

}  // namespace sim
