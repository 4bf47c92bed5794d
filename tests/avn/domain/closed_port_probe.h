// Whether this system tells a connected UDP socket that its peer's port is
// closed in a way an event loop can see: the wait wakes and the receive
// fails with CONNRESET. Wine does neither, so tests of that path skip there.
#pragma once

#include <cstddef>

#include "avn/runtime/socket.h"

inline bool closed_port_reported_through_wait() {
    aud_socket_t probe = AUD_SOCKET_INVALID;
    aud_socket_address closed{};
    aud_socket_address_set_ipv4(&closed, 0x7F000001, 0);
    if (aud_socket_open_udp(&probe, AUD_AF_INET) != AUD_SUCCESS ||
        aud_socket_bind(probe, &closed) != AUD_SUCCESS ||
        aud_socket_get_local_address(probe, &closed) != AUD_SUCCESS) {
        aud_socket_close(&probe);
        return false;
    }
    aud_socket_close(&probe);
    if (aud_socket_open_and_connect(&probe, &closed) != AUD_SUCCESS) {
        return false;
    }
    aud_socket_set_blocking(probe, false);
    size_t length = 4;
    aud_error error = aud_socket_send(probe, "ping", &length);
    if (error == AUD_SUCCESS) {
        aud_fdsets sets{};
        aud_fdsets_clear(&sets);
        aud_fd_set_add(&sets.read, probe);
        aud_fdsets_wait(&sets, aud_time_from_milliseconds(500));
        char buffer[8];
        length = sizeof buffer;
        error = aud_socket_recv(probe, buffer, &length);
    }
    aud_socket_close(&probe);
    return error == AUD_ERR_CONNRESET;
}
