// The operating system's side of multicast DNS: the interfaces that carry
// multicast, the shared port-5353 socket with its group memberships, datagrams
// with their arrival interface, waits, and the signal sockets through which
// the engine tells a service reference that results are pending. One
// implementation per platform (mdns_socket_posix.cpp, mdns_socket_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mdns {

// A descriptor on POSIX, a SOCKET on Windows; all bits set when invalid.
using socket_t = intptr_t;
inline constexpr socket_t kInvalidSocket = -1;

struct Subnet {
    uint32_t address = 0;  // IPv4, host order
    uint32_t mask = 0;
};

struct Interface {
    uint32_t index = 0;
    uint32_t address = 0;  // IPv4, host order: the first of its addresses
    std::string name;
    // Every IPv4 subnet the interface is on: the link's senders are there.
    std::vector<Subnet> subnets;
};

// Starts the system's socket layer where it needs starting (counted).
void platform_startup();
void platform_cleanup();

// IPv4 interfaces that are up and carry multicast, in index order.
std::vector<Interface> multicast_interfaces();

// A non-blocking UDP socket bound to INADDR_ANY:port with address and port
// reuse (so other responders on this machine keep working), the arrival
// interface reported, multicast loopback on and a multicast TTL of 255.
socket_t open_multicast_socket(uint16_t port);
bool join_group(socket_t socket, const Interface& netif);
bool leave_group(socket_t socket, const Interface& netif);
void close_socket(socket_t* socket);

struct Datagram {
    size_t length = 0;
    uint32_t source_address = 0;  // host order
    uint16_t source_port = 0;     // host order
    uint32_t interface_index = 0;
};
// One datagram without waiting; false when none is there (or on an error).
bool receive(socket_t socket, uint8_t* buffer, size_t capacity, Datagram* out);
// Sends through the interface (for multicast destinations); address and
// port in host order.
bool send_to(socket_t socket, const Interface& via, const uint8_t* data, size_t length,
             uint32_t address, uint16_t port);

// Waits until one of the sockets is readable or the timeout passes (a
// negative timeout waits without limit). `ready[i]` tells which. False when
// the wait itself failed.
bool wait_readable(const socket_t* sockets, size_t count, int timeout_ms, bool* ready);

// A pair of connected sockets: a byte written to `writer` makes `reader`
// readable until it is drained.
struct SignalPair {
    socket_t reader = kInvalidSocket;
    socket_t writer = kInvalidSocket;
};
bool signal_open(SignalPair* pair);
void signal_raise(const SignalPair& pair);
void signal_drain(const SignalPair& pair);
void signal_close(SignalPair* pair);
// The loopback port of the reader where the pair is made of UDP sockets; 0
// where nothing outside the pair can reach it (a socketpair).
uint16_t signal_port(const SignalPair& pair);

}  // namespace mdns
