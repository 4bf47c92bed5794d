#include <ctime>

#include "avn/runtime/log_platform.h"

bool aud_log_local_time(time_t when, std::tm* out) {
    return localtime_r(&when, out) != nullptr;
}

// No debugger output on this platform: the other outputs cover it.
void aud_log_debugger_output(const char*) {}
