#include <cerrno>
#include <cstdio>
#include <cstring>

#include "avn/runtime/aud_error.h"

uint32_t aud_system_last_error_number() {
    return static_cast<uint32_t>(errno);
}

aud_error aud_error_from_last_system_error() {
    return aud_error_from_errno(errno);
}

aud_error aud_error_from_last_socket_error() {
    return aud_error_from_socket_errno(errno);
}

const char* aud_system_error_text(uint32_t number) {
    static char text[1024];
    text[0] = '\0';
    if (number == 0) {
        return text;
    }
    // GNU strerror_r: may return a static text instead of filling the buffer.
    const char* message = strerror_r(static_cast<int>(number), text, sizeof text);
    if (message != text) {
        std::snprintf(text, sizeof text, "%s", message);
    }
    return text;
}
