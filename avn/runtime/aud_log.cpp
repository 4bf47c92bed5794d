#include "avn/runtime/aud_log.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "avn/runtime/log_platform.h"

namespace {

const char* const kNames[] = {"None",   "Critical", "Error", "Warning",
                              "Notice", "Info",     "Debug", "Verbose"};

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The nested report of a failed network send is small; it is formatted into
// a buffer of its own so that the line being sent is not overwritten.
constexpr size_t kReportSize = 256;

struct Destination {
    aud_socket_t socket = AUD_SOCKET_INVALID;
    aud_socket_address address{};
};

bool valid_level(int level) {
    return level >= AUD_LOG_LEVEL_NONE && level <= AUD_LOG_LEVEL_VERBOSE;
}

}  // namespace

struct aud_log {
    char identifier[AUD_LOG_IDENTIFIER_MAX + 1] = {};
    int level = AUD_LOG_LEVEL_NONE;
    int thresholds[AUD_LOG_OUTPUT_COUNT] = {};
    uint32_t timestamp_flags = AUD_LOG_TIMESTAMP_DEFAULT;
    std::FILE* file = nullptr;
    Destination destinations[AUD_LOG_DESTINATIONS];
    aud_log_callback callback = nullptr;
    void* callback_context = nullptr;
    std::unique_ptr<char[]> buffer;  // AUD_LOG_BUFFER_SIZE, made on first use
};

namespace {

bool admits(const aud_log* log, int output, int level) {
    return level <= log->thresholds[output];
}

// [timestamp ]Level text\n to one stream.
void write_stream(std::FILE* stream, const char* timestamp, int level, const char* text,
                  size_t length) {
    if (stream == nullptr) {
        return;
    }
    if (timestamp != nullptr) {
        std::fputs(timestamp, stream);
        std::fputc(' ', stream);
    }
    std::fputs(aud_log_level_name(level), stream);
    std::fputc(' ', stream);
    std::fwrite(text, 1, length, stream);
    if (length == 0 || text[length - 1] != '\n') {
        std::fputc('\n', stream);
    }
    std::fflush(stream);
}

void write_line(aud_log* log, int level, const char* text, size_t length,
                unsigned excluded_destinations);

// Reports a failed send through the log itself, leaving out the destination
// that failed so that the report cannot recurse.
void report_send_failure(aud_log* log, int index, aud_error error, unsigned excluded_destinations) {
    Destination& d = log->destinations[index];
    char report[kReportSize];
    int length = 0;
    int level = AUD_LOG_LEVEL_NOTICE;
    if (error == AUD_ERR_NOTSOCK) {
        level = AUD_LOG_LEVEL_ERROR;
        const int socket = static_cast<int>(d.socket);
        aud_socket_close(&d.socket);
        length = aud_snprintf(report, sizeof report,
                              "aud_log: bad network logging socket %d - network logging "
                              "disabled: %s (%d)",
                              socket, aud_error_name(error), error);
    } else {
        char where[AUD_SOCKET_ADDRESS_TEXT_SIZE];
        length = aud_snprintf(report, sizeof report,
                              "aud_log: network logging to %s (fd %d) failed: %s (%d)",
                              aud_socket_address_to_text(&d.address, where, sizeof where),
                              static_cast<int>(d.socket), aud_error_name(error), error);
    }
    if (length <= 0 || level > log->level) {
        return;
    }
    const size_t size = static_cast<size_t>(length) < sizeof report ? static_cast<size_t>(length)
                                                                    : sizeof report - 1;
    write_line(log, level, report, size, excluded_destinations | (1u << index));
}

// Sends one datagram to every destination that is still enabled.
void send_datagram(aud_log* log, const char* data, size_t length, unsigned* excluded) {
    for (int i = 0; i < static_cast<int>(AUD_LOG_DESTINATIONS); ++i) {
        Destination& d = log->destinations[i];
        if (d.socket == AUD_SOCKET_INVALID || (*excluded & (1u << i)) != 0) {
            continue;
        }
        size_t sent = length;
        aud_error error = aud_socket_sendto(d.socket, data, &sent, &d.address);
        if (error == AUD_SUCCESS && sent == 0) {
            error = AUD_ERR_FAULT;
        }
        if (error != AUD_SUCCESS) {
            // The rest of this line is not sent there either.
            const unsigned before = *excluded;
            *excluded |= 1u << i;
            report_send_failure(log, i, error, before);
        }
    }
}

// "[timestamp] L text" in datagrams of at most 1458 bytes; only the first
// carries the prefix.
void write_network(aud_log* log, const char* timestamp, int level, const char* text, size_t length,
                   unsigned excluded) {
    char datagram[AUD_LOG_DATAGRAM_SIZE];
    const int prefix =
        aud_snprintf(datagram, sizeof datagram, "%s %c ", timestamp != nullptr ? timestamp : "",
                     aud_log_level_name(level)[0]);
    size_t used = prefix > 0 ? static_cast<size_t>(prefix) : 0;
    size_t offset = 0;
    do {
        const size_t room = sizeof datagram - used;
        const size_t part = length - offset < room ? length - offset : room;
        std::memcpy(datagram + used, text + offset, part);
        send_datagram(log, datagram, used + part, &excluded);
        offset += part;
        used = 0;
    } while (offset < length);
}

void write_debugger(const aud_log* log, int level, const char* text, size_t length) {
    char line[AUD_LOG_DEBUGGER_LINE_SIZE];
    const int size = static_cast<int>(length < sizeof line ? length : sizeof line);
    if (log->identifier[0] != '\0') {
        aud_snprintf(line, sizeof line, "%s:%s:%.*s", log->identifier, aud_log_level_name(level),
                     size, text);
    } else {
        aud_snprintf(line, sizeof line, "%s:%.*s", aud_log_level_name(level), size, text);
    }
    aud_log_debugger_output(line);
}

void write_line(aud_log* log, int level, const char* text, size_t length,
                unsigned excluded_destinations) {
    char timestamp[AUD_LOG_TIMESTAMP_SIZE] = {};
    if (log->timestamp_flags != 0) {
        aud_log_format_timestamp(std::time(nullptr), timestamp, sizeof timestamp);
    }
    auto stamp = [&](uint32_t flag) {
        return (log->timestamp_flags & flag) != 0 ? timestamp : nullptr;
    };
    if (admits(log, AUD_LOG_OUTPUT_STDOUT, level)) {
        write_stream(stdout, stamp(AUD_LOG_TIMESTAMP_STDOUT), level, text, length);
    }
    if (admits(log, AUD_LOG_OUTPUT_STDERR, level)) {
        write_stream(stderr, stamp(AUD_LOG_TIMESTAMP_STDERR), level, text, length);
    }
    if (admits(log, AUD_LOG_OUTPUT_FILE, level)) {
        write_stream(log->file, stamp(AUD_LOG_TIMESTAMP_FILE), level, text, length);
    }
    if (admits(log, AUD_LOG_OUTPUT_NETWORK, level)) {
        write_network(log, stamp(AUD_LOG_TIMESTAMP_NETWORK), level, text, length,
                      excluded_destinations);
    }
    if (admits(log, AUD_LOG_OUTPUT_DEBUGGER, level)) {
        write_debugger(log, level, text, length);
    }
    if (admits(log, AUD_LOG_OUTPUT_CALLBACK, level) && log->callback != nullptr) {
        log->callback(log, stamp(AUD_LOG_TIMESTAMP_CALLBACK), level, text, length,
                      log->callback_context);
    }
}

void close_destination(Destination& d) {
    aud_socket_close(&d.socket);
    d.address = aud_socket_address{};
}

}  // namespace

aud_error aud_log_new(aud_log** out) {
    if (out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    *out = new (std::nothrow) aud_log{};
    return *out != nullptr ? AUD_SUCCESS : AUD_ERR_NOMEMORY;
}

void aud_log_delete(aud_log* log) {
    if (log == nullptr) {
        return;
    }
    aud_log_set_file(log, nullptr);
    for (Destination& d : log->destinations) {
        close_destination(d);
    }
    delete log;
}

const char* aud_log_level_name(int level) {
    return valid_level(level) ? kNames[level] : "Undef";
}

aud_error aud_log_set_level(aud_log* log, int level) {
    if (log == nullptr || !valid_level(level)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    log->level = level;
    return AUD_SUCCESS;
}

aud_error aud_log_set_threshold(aud_log* log, int output, int level) {
    if (log == nullptr || output < 0 || output >= AUD_LOG_OUTPUT_COUNT || !valid_level(level)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    log->thresholds[output] = level;
    return AUD_SUCCESS;
}

aud_error aud_log_set_identifier(aud_log* log, const char* identifier) {
    if (log == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    aud_snprintf(log->identifier, sizeof log->identifier, "%s",
                 identifier != nullptr ? identifier : "");
    return AUD_SUCCESS;
}

aud_error aud_log_set_timestamp_flags(aud_log* log, uint32_t flags) {
    if (log == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    log->timestamp_flags = flags;
    return AUD_SUCCESS;
}

aud_error aud_log_set_file(aud_log* log, const char* path) {
    if (log == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (log->file != nullptr) {
        std::fclose(log->file);
        log->file = nullptr;
    }
    if (path == nullptr) {
        return AUD_SUCCESS;
    }
    log->file = std::fopen(path, "a");
    return log->file != nullptr ? AUD_SUCCESS : aud_error_from_last_system_error();
}

aud_error aud_log_set_network_destination(aud_log* log, int index,
                                          const aud_socket_address* destination) {
    if (log == nullptr || index < 0 || index >= static_cast<int>(AUD_LOG_DESTINATIONS)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    Destination& d = log->destinations[index];
    close_destination(d);
    if (destination == nullptr) {
        return AUD_SUCCESS;
    }
    if (!aud_socket_address_is_ipv4(destination)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const aud_error error = aud_socket_open_udp(&d.socket, AUD_AF_INET);
    if (error == AUD_SUCCESS) {
        d.address = *destination;
    }
    return error;
}

aud_error aud_log_set_callback(aud_log* log, aud_log_callback callback, void* context) {
    if (log == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    log->callback = callback;
    log->callback_context = context;
    return AUD_SUCCESS;
}

void aud_log_vprintf(aud_log* log, int level, const char* format, va_list args) {
    // A line of level None would pass thresholds of None: it has no place.
    if (log == nullptr || format == nullptr || level <= AUD_LOG_LEVEL_NONE || level > log->level) {
        return;
    }
    if (log->buffer == nullptr) {
        log->buffer.reset(new (std::nothrow) char[AUD_LOG_BUFFER_SIZE]());
        if (log->buffer == nullptr) {
            return;
        }
    }
    const int result = aud_vsnprintf(log->buffer.get(), AUD_LOG_BUFFER_SIZE, format, args);
    if (result <= 0) {
        return;
    }
    const size_t length = static_cast<size_t>(result) < AUD_LOG_BUFFER_SIZE
                              ? static_cast<size_t>(result)
                              : AUD_LOG_BUFFER_SIZE - 1;
    write_line(log, level, log->buffer.get(), length, 0);
}

void aud_log_printf(aud_log* log, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    aud_log_vprintf(log, level, format, args);
    va_end(args);
}

char* aud_log_format_timestamp(time_t when, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return buffer;
    }
    std::tm local{};
    if (!aud_log_local_time(when, &local) || local.tm_mon < 0 || local.tm_mon > 11) {
        buffer[0] = '\0';
        return buffer;
    }
    // The day is padded with a blank, not a zero: "Jan  5".
    aud_snprintf(buffer, size, "%s %2d %02d:%02d:%02d", kMonths[local.tm_mon], local.tm_mday,
                 local.tm_hour, local.tm_min, local.tm_sec);
    return buffer;
}
