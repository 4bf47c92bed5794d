// The AVN API's log: diagnostic lines with a level, handed to up to six
// outputs (network, standard output, standard error, file, debugger,
// callback). Every level and threshold starts at None, so a new log writes
// nothing until an integrator raises them.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "avn/runtime/aud_error.h"
#include "avn/runtime/aud_format.h"
#include "avn/runtime/socket.h"

struct aud_log;

enum : int {
    AUD_LOG_LEVEL_NONE = 0,
    AUD_LOG_LEVEL_CRITICAL = 1,
    AUD_LOG_LEVEL_ERROR = 2,
    AUD_LOG_LEVEL_WARNING = 3,
    AUD_LOG_LEVEL_NOTICE = 4,
    AUD_LOG_LEVEL_INFO = 5,
    AUD_LOG_LEVEL_DEBUG = 6,
    AUD_LOG_LEVEL_VERBOSE = 7,
};

// The outputs, in the order of their thresholds.
enum : int {
    AUD_LOG_OUTPUT_NETWORK = 0,
    AUD_LOG_OUTPUT_STDOUT = 1,
    AUD_LOG_OUTPUT_STDERR = 2,
    AUD_LOG_OUTPUT_FILE = 3,
    AUD_LOG_OUTPUT_DEBUGGER = 4,
    AUD_LOG_OUTPUT_CALLBACK = 5,
    AUD_LOG_OUTPUT_COUNT = 6,
};

// Which outputs put a timestamp in front of a line (the debugger never does).
enum : uint32_t {
    AUD_LOG_TIMESTAMP_NETWORK = 1u << 0,
    AUD_LOG_TIMESTAMP_STDOUT = 1u << 1,
    AUD_LOG_TIMESTAMP_STDERR = 1u << 2,
    AUD_LOG_TIMESTAMP_FILE = 1u << 3,
    AUD_LOG_TIMESTAMP_CALLBACK = 1u << 4,
    AUD_LOG_TIMESTAMP_DEFAULT =
        AUD_LOG_TIMESTAMP_STDOUT | AUD_LOG_TIMESTAMP_STDERR | AUD_LOG_TIMESTAMP_FILE,
};

enum : size_t {
    AUD_LOG_IDENTIFIER_MAX = 127,
    AUD_LOG_BUFFER_SIZE = 16384,
    AUD_LOG_DATAGRAM_SIZE = 1458,
    AUD_LOG_DEBUGGER_LINE_SIZE = 2048,
    AUD_LOG_TIMESTAMP_SIZE = 16,  // "Mmm dd hh:mm:ss" and the terminator
    AUD_LOG_DESTINATIONS = 2,
};

// The callback output: the timestamp is none unless the callback's
// timestamp flag is set.
using aud_log_callback = void (*)(aud_log* log, const char* timestamp, int level, const char* text,
                                  size_t length, void* context);

aud_error aud_log_new(aud_log** out);
// Closes the log's file and network sockets and frees it.
void aud_log_delete(aud_log* log);

// "None" to "Verbose"; "Undef" for any other level.
const char* aud_log_level_name(int level);

// The overall level: a line is formatted at all only at or below it.
aud_error aud_log_set_level(aud_log* log, int level);
// A line goes to the output when its level is at or below the threshold.
aud_error aud_log_set_threshold(aud_log* log, int output, int level);
// Text of up to 127 characters (longer text is cut); none empties it.
aud_error aud_log_set_identifier(aud_log* log, const char* identifier);
aud_error aud_log_set_timestamp_flags(aud_log* log, uint32_t flags);
// Opens (appending) the file for the file output; none closes it.
aud_error aud_log_set_file(aud_log* log, const char* path);
// Sends the network output of destination 0 or 1 to the address from a UDP
// socket of its own; none disables the destination.
aud_error aud_log_set_network_destination(aud_log* log, int index,
                                          const aud_socket_address* destination);
aud_error aud_log_set_callback(aud_log* log, aud_log_callback callback, void* context);

// Formats one line and hands it to the outputs whose thresholds admit it.
// Does nothing for an absent log, a level above the overall level, or a level
// of None.
void aud_log_printf(aud_log* log, int level, const char* format, ...) AUD_FORMAT_CHECK(3, 4);
void aud_log_vprintf(aud_log* log, int level, const char* format, va_list args);

// The timestamp of a line written at `when`: the local time as "Mmm dd
// hh:mm:ss", the day of the month padded with a blank ("Jan  5 09:03:07").
// Returns the buffer (at least AUD_LOG_TIMESTAMP_SIZE bytes).
char* aud_log_format_timestamp(time_t when, char* buffer, size_t size);
