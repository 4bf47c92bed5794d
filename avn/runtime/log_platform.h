// What the log needs from the platform (not part of the public API).
#pragma once

#include <ctime>

// The local time of `when`; false when it cannot be converted.
bool aud_log_local_time(time_t when, std::tm* out);
// Hands a line to the debugger, where the platform has one.
void aud_log_debugger_output(const char* line);
