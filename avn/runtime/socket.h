// Socket helpers of the AVN runtime: UDP sockets, IPv4 address records and
// the socket sets that the application waits on. Every component reaches the
// operating system's sockets through these functions; the platform side lives
// in socket_posix.cpp and socket_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "avn/runtime/aud_error.h"
#include "avn/runtime/aud_time.h"

// A socket of the operating system: a descriptor on POSIX, a SOCKET handle on
// Windows. Both fit a pointer-sized integer, and both platforms' invalid
// value is all bits set.
using aud_socket_t = intptr_t;
inline constexpr aud_socket_t AUD_SOCKET_INVALID = -1;

// Address families as the operating systems number them (IPv4 is 2 on both).
enum : int { AUD_AF_UNSPEC = 0, AUD_AF_INET = 2 };

// An IPv4 socket address in the operating system's layout, preceded by its
// length (16 for IPv4, 0 when absent). Port and address are in network order.
struct aud_socket_address {
    uint8_t length;
    struct {
        uint16_t family;
        uint16_t port;     // network order
        uint32_t address;  // network order
        uint8_t zero[8];
    } inet;
};

enum : uint8_t { AUD_SOCKET_ADDRESS_IPV4_LENGTH = 16 };

// Fills an IPv4 record from host-order address and port.
void aud_socket_address_set_ipv4(aud_socket_address* out, uint32_t address, uint16_t port);
// True for a record of the IPv4 family; every other record counts as absent.
bool aud_socket_address_is_ipv4(const aud_socket_address* address);
// Host-order address and port (0 for a record that is not IPv4).
uint32_t aud_socket_address_get_ipv4(const aud_socket_address* address);
uint16_t aud_socket_address_get_port(const aud_socket_address* address);
// Same family, port and address; false when either is not IPv4.
bool aud_socket_address_equal(const aud_socket_address* a, const aud_socket_address* b);

// "a.b.c.d:PORT (len=16)"; empty text for a record that is not IPv4.
// Returns the buffer.
char* aud_socket_address_to_text(const aud_socket_address* address, char* buffer, size_t size);
enum : size_t { AUD_SOCKET_ADDRESS_TEXT_SIZE = 40 };

// Dotted IPv4 text and a host-order port. "255.255.255.255" is the broadcast
// address. Family 0 gives INVALIDPARAMETER, other families NOTSUPPORTED.
aud_error aud_socket_address_from_text(aud_socket_address* out, int family, const char* text,
                                       uint16_t port);
// Resolves host and service for a datagram UDP socket of the family and takes
// the first result.
aud_error aud_socket_address_resolve(aud_socket_address* out, int family, const char* host,
                                     const char* service);

// ---- Sockets ----
// Each operation takes the socket first; an invalid socket gives
// INVALIDPARAMETER, a failing system call the mapped system error.

// Opens a datagram UDP socket into *out, which must hold AUD_SOCKET_INVALID.
// ICMP port-unreachable is not reported as a receive error on it.
aud_error aud_socket_open_udp(aud_socket_t* out, int family);
// Connects; from then on a receive fails with CONNRESET once the peer's port
// is found closed (on every platform, whatever name the system gives it).
aud_error aud_socket_connect(aud_socket_t socket, const aud_socket_address* address);
// Opens a socket of the address's family and connects it; closes it again and
// leaves *out invalid on failure.
aud_error aud_socket_open_and_connect(aud_socket_t* out, const aud_socket_address* address);
// Opens a non-blocking socket bound to the address (port 0: the system
// chooses); `bound`, if given, receives the address it got. Closes it again
// and leaves *out invalid on failure.
aud_error aud_socket_open_bound(aud_socket_t* out, const aud_socket_address* address,
                                aud_socket_address* bound);
// Closes the socket (if any) and stores AUD_SOCKET_INVALID.
aud_error aud_socket_close(aud_socket_t* socket);

aud_error aud_socket_bind(aud_socket_t socket, const aud_socket_address* address);
aud_error aud_socket_get_local_address(aud_socket_t socket, aud_socket_address* out);

// Receive one datagram; *length is the buffer size on entry and the
// datagram's size on return.
aud_error aud_socket_recv(aud_socket_t socket, void* buffer, size_t* length);
aud_error aud_socket_recvfrom(aud_socket_t socket, void* buffer, size_t* length,
                              aud_socket_address* source);

// What aud_socket_recvmsg is asked for (flags on entry) and what it found
// (flags on return).
enum : uint32_t {
    AUD_SOCKET_MSG_SOURCE = 1u << 0,
    AUD_SOCKET_MSG_DESTINATION = 1u << 1,  // needs aud_socket_set_pktinfo
    AUD_SOCKET_MSG_INTERFACE = 1u << 3,    // needs aud_socket_set_pktinfo
};
struct aud_socket_msg_info {
    uint32_t flags;
    aud_socket_address source;
    aud_socket_address destination;  // with the socket's own port
    uint32_t interface_index;
};
// One datagram with its source, destination and arrival interface.
// NOTINITIALISED when the system's extended receive function is unavailable.
aud_error aud_socket_recvmsg(aud_socket_t socket, void* buffer, size_t* length,
                             aud_socket_msg_info* info);

// Send one datagram; *length becomes the number of bytes sent.
aud_error aud_socket_send(aud_socket_t socket, const void* data, size_t* length);
aud_error aud_socket_sendto(aud_socket_t socket, const void* data, size_t* length,
                            const aud_socket_address* address);

aud_error aud_socket_set_blocking(aud_socket_t socket, bool blocking);

// Group must lie in 224.0.0.0/4. The membership is on the interface's IPv4
// address, or on any interface when none is given.
aud_error aud_socket_join_multicast(aud_socket_t socket, const aud_socket_address* group,
                                    const aud_socket_address* interface_address);
aud_error aud_socket_leave_multicast(aud_socket_t socket, const aud_socket_address* group,
                                     const aud_socket_address* interface_address);
// Sends multicast through the interface's IPv4 address; none clears the choice.
aud_error aud_socket_set_multicast_interface(aud_socket_t socket,
                                             const aud_socket_address* interface_address);
aud_error aud_socket_set_multicast_loopback(aud_socket_t socket, bool on);
aud_error aud_socket_set_pktinfo(aud_socket_t socket, bool on);
aud_error aud_socket_set_reuse_address(aud_socket_t socket, bool on);
// Always NOTSUPPORTED.
aud_error aud_socket_set_reuse_port(aud_socket_t socket, bool on);

// Waits until the socket is readable: TIMEDOUT when nothing arrives within
// the timeout. No timeout waits without limit.
aud_error aud_socket_wait_readable(aud_socket_t socket, const aud_time* timeout);

// ---- Socket sets ----

enum : int32_t { AUD_FD_SET_SIZE = 1024 };

// A set of sockets in the order of adding, at most AUD_FD_SET_SIZE.
struct aud_fd_set {
    int32_t count;
    aud_socket_t sockets[AUD_FD_SET_SIZE];
};

// The sockets the application waits on: the runtime fills them, the wait
// reduces them to the ready ones, the runtime processes those.
struct aud_fdsets {
    int32_t count;  // sockets in both sets, as counted by whoever filled them
    aud_fd_set read;
    aud_fd_set write;
};

void aud_fd_set_clear(aud_fd_set* set);
bool aud_fd_set_contains(const aud_fd_set* set, aud_socket_t socket);
// False when the set is full; adding a member again changes nothing.
bool aud_fd_set_add(aud_fd_set* set, aud_socket_t socket);
// Keeps the order of the others.
void aud_fd_set_remove(aud_fd_set* set, aud_socket_t socket);

void aud_fdsets_clear(aud_fdsets* sets);
// Waits until a socket of the sets is ready or the timeout passes, then
// reduces both sets to the ready sockets (both empty on a timeout). With no
// socket in either set it only sleeps for the timeout. Returns the mapped
// system error when the wait fails.
aud_error aud_fdsets_wait(aud_fdsets* sets, aud_time timeout);
