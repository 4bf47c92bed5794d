// What the shared socket code (socket.cpp) offers the platform halves
// (socket_posix.cpp, socket_win32.cpp): address conversion and the parts of
// a received datagram's information that do not depend on the system.
#pragma once

#include AUD_SOCKET_NATIVE_HEADER

#include <cstddef>
#include <cstdint>

#include "avn/runtime/socket.h"

namespace socket_shared {

aud_error last_error();
// A datagram socket learns that its peer's port is closed as ECONNREFUSED on
// some systems, WSAECONNRESET on others; the library reports CONNRESET.
aud_error last_datagram_error();

bool to_sockaddr(const aud_socket_address* address, sockaddr_in* out);
void from_sockaddr(const sockaddr_in& in, aud_socket_address* out);

// Notes a received datagram's source in `info` when it was asked for and the
// system gave an IPv4 one (`name_length` as the system returned it).
void note_source(uint32_t wanted, const sockaddr_in& source, size_t name_length,
                 aud_socket_msg_info* info);
// Notes the destination address (with the socket's own port) and the arrival
// interface of a datagram, as far as they were asked for.
void note_packet_info(aud_socket_t socket, uint32_t wanted, uint32_t destination_address,
                      uint32_t interface_index, aud_socket_msg_info* info);

}  // namespace socket_shared
