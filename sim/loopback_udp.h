// The UDP side that avn-sim's services share: a socket bound to 127.0.0.1
// (the services are for this computer only) and the reading of what waits
// on it, a bounded number of datagrams at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "avn/runtime/aud_error.h"
#include "avn/runtime/socket.h"

namespace sim {

inline constexpr uint32_t kLoopbackAddress = 0x7F000001;  // 127.0.0.1

// Opens a UDP socket bound to 127.0.0.1:port (0 for any free port) and gives
// the port it got. Nothing is left open on failure.
aud_error open_loopback_udp(uint16_t port, aud_socket_t* socket, uint16_t* bound_port);

// A datagram read, and who sent it.
using DatagramHandler = std::function<void(std::span<uint8_t> datagram, const aud_socket_address& from)>;

// Reads the datagrams waiting now, at most `most` of them (so that one busy
// sender cannot hold the service's thread), each into `buffer` and on to
// `handle`. Gives how many were read.
int read_waiting_datagrams(aud_socket_t socket, std::span<uint8_t> buffer, int most,
                           const DatagramHandler& handle);

}  // namespace sim
