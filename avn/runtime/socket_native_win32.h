// The system's socket declarations on Windows (Winsock 2.2), for the socket
// code that every platform shares (socket.cpp) and for socket_win32.cpp.
#pragma once

// The native fd_set is built from the library's socket sets, so it must hold
// as many sockets as they do.
#define FD_SETSIZE 1024

#include <mswsock.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstddef>

#include "avn/runtime/socket.h"

static_assert(FD_SETSIZE >= AUD_FD_SET_SIZE);
static_assert(sizeof(SOCKET) == sizeof(aud_socket_t));

namespace socket_native {

using handle = SOCKET;
using address_length = int;
using option_int = DWORD;
using io_length = int;

inline constexpr int kSendFlags = 0;

inline bool valid(aud_socket_t socket) {
    return static_cast<SOCKET>(socket) != INVALID_SOCKET;
}

inline handle handle_of(aud_socket_t socket) {
    return static_cast<SOCKET>(socket);
}

// Every unusable socket argument is a bad parameter here.
inline aud_error unusable(aud_socket_t) {
    return AUD_ERR_INVALIDPARAMETER;
}

inline io_length io_length_of(size_t length) {
    return length > INT_MAX ? INT_MAX : static_cast<int>(length);
}

inline int close_handle(handle socket) {
    return closesocket(socket);
}

// A connected socket has one peer: its closed port means the peer is gone, so
// ICMP port-unreachable is reported from then on.
void after_connect(aud_socket_t socket);

aud_error resolver_error(int result);

// Opens an IPv4 datagram socket into *out; ICMP port-unreachable is not
// reported as a receive error on it.
aud_error open_udp(aud_socket_t* out);

}  // namespace socket_native
