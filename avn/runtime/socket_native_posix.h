// The system's socket declarations on POSIX systems, for the socket code
// that every platform shares (socket.cpp) and for socket_posix.cpp.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstddef>

#include "avn/runtime/socket.h"

namespace socket_native {

using handle = int;
using address_length = socklen_t;
using option_int = int;
using io_length = size_t;

// No SIGPIPE from a send to a socket whose peer went away.
inline constexpr int kSendFlags = MSG_NOSIGNAL;

inline bool valid(aud_socket_t socket) {
    return socket >= 0 && socket <= INT_MAX;
}

inline handle handle_of(aud_socket_t socket) {
    return static_cast<int>(socket);
}

// Why a socket argument cannot be used. AUD_SOCKET_INVALID is the caller's
// "no socket", a bad argument on every platform; any other value that names
// no descriptor is, as Winsock reports it, not a socket.
inline aud_error unusable(aud_socket_t socket) {
    return socket == AUD_SOCKET_INVALID ? AUD_ERR_INVALIDPARAMETER : AUD_ERR_NOTSOCK;
}

inline io_length io_length_of(size_t length) {
    return length;
}

inline int close_handle(handle socket) {
    return ::close(socket);
}

// What a connected socket needs beyond connect(): nothing here, since a
// connected UDP socket reports the peer's closed port on its next receive.
inline void after_connect(aud_socket_t) {}

// getaddrinfo's results in the names that the Windows resolver numbers map to.
aud_error resolver_error(int result);

// Opens an IPv4 datagram socket into *out; ICMP port-unreachable is not
// reported as a receive error on it.
aud_error open_udp(aud_socket_t* out);

}  // namespace socket_native
