#include <windows.h>

#include <ctime>

#include "avn/runtime/log_platform.h"

bool aud_log_local_time(time_t when, std::tm* out) {
    return localtime_s(out, &when) == 0;
}

void aud_log_debugger_output(const char* line) {
    OutputDebugStringA(line);
}
