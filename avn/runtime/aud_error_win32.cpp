#include <winsock2.h>
#include <windows.h>

#include "avn/runtime/aud_error.h"

uint32_t aud_system_last_error_number() {
    return static_cast<uint32_t>(GetLastError());
}

aud_error aud_error_from_last_system_error() {
    return aud_error_from_system(static_cast<uint32_t>(GetLastError()));
}

aud_error aud_error_from_last_socket_error() {
    return aud_error_from_system(static_cast<uint32_t>(WSAGetLastError()));
}

const char* aud_system_error_text(uint32_t number) {
    static char text[1024];
    text[0] = '\0';
    if (number == 0) {
        return text;
    }
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, number,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    if (length == 0) {
        text[0] = '\0';
    }
    return text;
}
