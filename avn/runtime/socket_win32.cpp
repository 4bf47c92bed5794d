// Socket helpers over Winsock 2.2.
//
// The native fd_set is built here from the library's socket sets, so it must
// hold as many sockets as they do.
#define FD_SETSIZE 1024

#include <mswsock.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstring>

#include "avn/runtime/socket.h"
#include "avn/runtime/socket_platform.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

static_assert(FD_SETSIZE >= AUD_FD_SET_SIZE);
static_assert(sizeof(SOCKET) == sizeof(aud_socket_t));

namespace {

// The extended receive function, looked up once per process.
LPFN_WSARECVMSG g_recvmsg = nullptr;
bool g_recvmsg_looked_up = false;

bool valid(aud_socket_t socket) {
    return static_cast<SOCKET>(socket) != INVALID_SOCKET;
}

SOCKET handle_of(aud_socket_t socket) {
    return static_cast<SOCKET>(socket);
}

aud_error last_error() {
    return aud_error_from_last_socket_error();
}

// Winsock names a datagram's closed peer port WSAECONNRESET; some Winsock
// implementations say WSAECONNREFUSED. The library reports CONNRESET.
aud_error last_datagram_error() {
    const aud_error error = last_error();
    return error == AUD_ERR_CONNREFUSED ? AUD_ERR_CONNRESET : error;
}

bool to_sockaddr(const aud_socket_address* address, sockaddr_in* out) {
    if (!aud_socket_address_is_ipv4(address)) {
        return false;
    }
    *out = sockaddr_in{};
    out->sin_family = AF_INET;
    out->sin_port = address->inet.port;
    out->sin_addr.s_addr = address->inet.address;
    return true;
}

void from_sockaddr(const sockaddr_in& in, aud_socket_address* out) {
    *out = aud_socket_address{};
    out->length = AUD_SOCKET_ADDRESS_IPV4_LENGTH;
    out->inet.family = AUD_AF_INET;
    out->inet.port = in.sin_port;
    out->inet.address = in.sin_addr.s_addr;
}

timeval to_timeval(aud_time timeout) {
    timeout = aud_time_normalise(timeout);
    if (timeout.seconds < 0) {
        return timeval{0, 0};
    }
    return timeval{timeout.seconds, timeout.microseconds};
}

aud_error set_dword_option(aud_socket_t socket, int level, int name, DWORD value) {
    if (!valid(socket)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (setsockopt(handle_of(socket), level, name, reinterpret_cast<const char*>(&value),
                   sizeof value) != 0) {
        return last_error();
    }
    return AUD_SUCCESS;
}

// Whether ICMP port-unreachable is reported as WSAECONNRESET on receive.
aud_error set_connreset_reports(aud_socket_t socket, bool on) {
    BOOL value = on ? TRUE : FALSE;
    DWORD returned = 0;
    if (WSAIoctl(handle_of(socket), SIO_UDP_CONNRESET, &value, sizeof value, nullptr, 0, &returned,
                 nullptr, nullptr) != 0) {
        return last_error();
    }
    return AUD_SUCCESS;
}

bool is_multicast_group(const aud_socket_address* group) {
    return aud_socket_address_is_ipv4(group) &&
           (aud_socket_address_get_ipv4(group) & 0xF0000000u) == 0xE0000000u;
}

aud_error change_membership(aud_socket_t socket, int option, const aud_socket_address* group,
                            const aud_socket_address* interface_address) {
    if (!valid(socket) || !is_multicast_group(group)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    ip_mreq request{};
    request.imr_multiaddr.s_addr = group->inet.address;
    request.imr_interface.s_addr = aud_socket_address_is_ipv4(interface_address)
                                       ? interface_address->inet.address
                                       : htonl(INADDR_ANY);
    if (setsockopt(handle_of(socket), IPPROTO_IP, option, reinterpret_cast<const char*>(&request),
                   sizeof request) != 0) {
        return last_error();
    }
    return AUD_SUCCESS;
}

void look_up_recvmsg() {
    if (g_recvmsg_looked_up) {
        return;
    }
    const SOCKET probe = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (probe == INVALID_SOCKET) {
        return;
    }
    GUID id = WSAID_WSARECVMSG;
    LPFN_WSARECVMSG function = nullptr;
    DWORD returned = 0;
    if (WSAIoctl(probe, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &function,
                 sizeof function, &returned, nullptr, nullptr) == 0) {
        g_recvmsg = function;
        g_recvmsg_looked_up = true;
    }
    closesocket(probe);
}

void fill_native(const aud_fd_set& set, fd_set* native) {
    native->fd_count = 0;
    for (int32_t i = 0; i < set.count && i < AUD_FD_SET_SIZE; ++i) {
        native->fd_array[native->fd_count++] = handle_of(set.sockets[i]);
    }
}

void take_native(const fd_set& native, aud_fd_set* set) {
    aud_fd_set_clear(set);
    for (u_int i = 0; i < native.fd_count; ++i) {
        aud_fd_set_add(set, static_cast<aud_socket_t>(native.fd_array[i]));
    }
}

}  // namespace

void aud_socket_platform_startup() {
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return;
    }
    look_up_recvmsg();
}

aud_error aud_socket_platform_cleanup() {
    if (WSACleanup() == 0) {
        return AUD_SUCCESS;
    }
    const aud_error error = last_error();
    return error == AUD_ERR_NOTINITIALISED ? AUD_SUCCESS : error;
}

aud_error aud_socket_open_udp(aud_socket_t* out, int family) {
    if (out == nullptr || *out != AUD_SOCKET_INVALID || family == AUD_AF_UNSPEC) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (family != AUD_AF_INET) {
        return AUD_ERR_NOTSUPPORTED;
    }
    const SOCKET handle = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (handle == INVALID_SOCKET) {
        return last_error();
    }
    // An unconnected socket must not fail its receives because some earlier
    // destination's port was closed.
    set_connreset_reports(static_cast<aud_socket_t>(handle), false);
    *out = static_cast<aud_socket_t>(handle);
    return AUD_SUCCESS;
}

aud_error aud_socket_connect(aud_socket_t socket, const aud_socket_address* address) {
    sockaddr_in peer{};
    if (!valid(socket) || !to_sockaddr(address, &peer)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (::connect(handle_of(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        return last_error();
    }
    // A connected socket has one peer: its closed port means the peer is gone.
    set_connreset_reports(socket, true);
    return AUD_SUCCESS;
}

aud_error aud_socket_close(aud_socket_t* socket) {
    if (socket == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (!valid(*socket)) {
        return AUD_SUCCESS;
    }
    const int result = closesocket(handle_of(*socket));
    *socket = AUD_SOCKET_INVALID;
    return result == 0 ? AUD_SUCCESS : last_error();
}

aud_error aud_socket_bind(aud_socket_t socket, const aud_socket_address* address) {
    sockaddr_in local{};
    if (!valid(socket) || !to_sockaddr(address, &local)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (::bind(handle_of(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return last_error();
    }
    return AUD_SUCCESS;
}

aud_error aud_socket_get_local_address(aud_socket_t socket, aud_socket_address* out) {
    if (!valid(socket) || out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    sockaddr_in local{};
    int length = sizeof local;
    if (getsockname(handle_of(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return last_error();
    }
    if (local.sin_family != AF_INET) {
        return AUD_ERR_AFNOSUPPORT;
    }
    from_sockaddr(local, out);
    return AUD_SUCCESS;
}

aud_error aud_socket_recvfrom(aud_socket_t socket, void* buffer, size_t* length,
                              aud_socket_address* source) {
    if (!valid(socket) || buffer == nullptr || length == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    sockaddr_in from{};
    int from_length = sizeof from;
    const int size = *length > INT_MAX ? INT_MAX : static_cast<int>(*length);
    const int received = ::recvfrom(handle_of(socket), static_cast<char*>(buffer), size, 0,
                                    reinterpret_cast<sockaddr*>(&from), &from_length);
    if (received == SOCKET_ERROR) {
        return last_datagram_error();
    }
    *length = static_cast<size_t>(received);
    if (source != nullptr) {
        *source = aud_socket_address{};
        if (from_length >= static_cast<int>(sizeof from) && from.sin_family == AF_INET) {
            from_sockaddr(from, source);
        }
    }
    return AUD_SUCCESS;
}

aud_error aud_socket_recv(aud_socket_t socket, void* buffer, size_t* length) {
    return aud_socket_recvfrom(socket, buffer, length, nullptr);
}

aud_error aud_socket_recvmsg(aud_socket_t socket, void* buffer, size_t* length,
                             aud_socket_msg_info* info) {
    if (!valid(socket) || buffer == nullptr || length == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (g_recvmsg == nullptr) {
        return AUD_ERR_NOTINITIALISED;
    }
    const uint32_t wanted = info != nullptr ? info->flags : 0;
    sockaddr_in source{};
    WSABUF part{};
    part.len = *length > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(*length);
    part.buf = static_cast<char*>(buffer);
    alignas(WSACMSGHDR) char control[1024];
    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr*>(&source);
    message.namelen = sizeof source;
    message.lpBuffers = &part;
    message.dwBufferCount = 1;
    message.Control.len = sizeof control;
    message.Control.buf = control;
    DWORD received = 0;
    if (g_recvmsg(handle_of(socket), &message, &received, nullptr, nullptr) != 0) {
        return last_datagram_error();
    }
    *length = received;
    if (info == nullptr) {
        return AUD_SUCCESS;
    }
    info->flags = 0;
    if ((wanted & AUD_SOCKET_MSG_SOURCE) != 0 &&
        message.namelen >= static_cast<int>(sizeof source) && source.sin_family == AF_INET) {
        from_sockaddr(source, &info->source);
        info->flags |= AUD_SOCKET_MSG_SOURCE;
    }
    for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&message); c != nullptr;
         c = WSA_CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO ||
            c->cmsg_len < WSA_CMSG_LEN(sizeof(IN_PKTINFO))) {
            continue;
        }
        IN_PKTINFO packet{};
        std::memcpy(&packet, WSA_CMSG_DATA(c), sizeof packet);
        aud_socket_address own{};
        if ((wanted & AUD_SOCKET_MSG_DESTINATION) != 0 &&
            aud_socket_get_local_address(socket, &own) == AUD_SUCCESS) {
            own.inet.address = packet.ipi_addr.s_addr;
            info->destination = own;
            info->flags |= AUD_SOCKET_MSG_DESTINATION;
        }
        if ((wanted & AUD_SOCKET_MSG_INTERFACE) != 0) {
            info->interface_index = packet.ipi_ifindex;
            info->flags |= AUD_SOCKET_MSG_INTERFACE;
        }
    }
    return AUD_SUCCESS;
}

aud_error aud_socket_send(aud_socket_t socket, const void* data, size_t* length) {
    if (!valid(socket) || data == nullptr || length == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const int size = *length > INT_MAX ? INT_MAX : static_cast<int>(*length);
    const int sent = ::send(handle_of(socket), static_cast<const char*>(data), size, 0);
    if (sent == SOCKET_ERROR) {
        return last_datagram_error();
    }
    *length = static_cast<size_t>(sent);
    return AUD_SUCCESS;
}

aud_error aud_socket_sendto(aud_socket_t socket, const void* data, size_t* length,
                            const aud_socket_address* address) {
    sockaddr_in peer{};
    if (!valid(socket) || data == nullptr || length == nullptr || !to_sockaddr(address, &peer)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const int size = *length > INT_MAX ? INT_MAX : static_cast<int>(*length);
    const int sent = ::sendto(handle_of(socket), static_cast<const char*>(data), size, 0,
                              reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    if (sent == SOCKET_ERROR) {
        return last_datagram_error();
    }
    *length = static_cast<size_t>(sent);
    return AUD_SUCCESS;
}

aud_error aud_socket_set_blocking(aud_socket_t socket, bool blocking) {
    if (!valid(socket)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    u_long non_blocking = blocking ? 0 : 1;
    if (ioctlsocket(handle_of(socket), FIONBIO, &non_blocking) != 0) {
        return last_error();
    }
    return AUD_SUCCESS;
}

aud_error aud_socket_join_multicast(aud_socket_t socket, const aud_socket_address* group,
                                    const aud_socket_address* interface_address) {
    return change_membership(socket, IP_ADD_MEMBERSHIP, group, interface_address);
}

aud_error aud_socket_leave_multicast(aud_socket_t socket, const aud_socket_address* group,
                                     const aud_socket_address* interface_address) {
    return change_membership(socket, IP_DROP_MEMBERSHIP, group, interface_address);
}

aud_error aud_socket_set_multicast_interface(aud_socket_t socket,
                                             const aud_socket_address* interface_address) {
    if (!valid(socket)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    in_addr chosen{};
    chosen.s_addr = aud_socket_address_is_ipv4(interface_address) ? interface_address->inet.address
                                                                  : htonl(INADDR_ANY);
    if (setsockopt(handle_of(socket), IPPROTO_IP, IP_MULTICAST_IF,
                   reinterpret_cast<const char*>(&chosen), sizeof chosen) != 0) {
        return last_error();
    }
    return AUD_SUCCESS;
}

aud_error aud_socket_set_multicast_loopback(aud_socket_t socket, bool on) {
    return set_dword_option(socket, IPPROTO_IP, IP_MULTICAST_LOOP, on ? 1 : 0);
}

aud_error aud_socket_set_pktinfo(aud_socket_t socket, bool on) {
    return set_dword_option(socket, IPPROTO_IP, IP_PKTINFO, on ? 1 : 0);
}

aud_error aud_socket_set_reuse_address(aud_socket_t socket, bool on) {
    return set_dword_option(socket, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}

aud_error aud_socket_wait_readable(aud_socket_t socket, const aud_time* timeout) {
    if (!valid(socket)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(handle_of(socket), &readable);
    timeval limit{};
    if (timeout != nullptr) {
        limit = to_timeval(*timeout);
    }
    const int result =
        select(0, &readable, nullptr, nullptr, timeout != nullptr ? &limit : nullptr);
    if (result == SOCKET_ERROR) {
        return last_error();
    }
    return result == 0 ? AUD_ERR_TIMEDOUT : AUD_SUCCESS;
}

aud_error aud_socket_address_resolve(aud_socket_address* out, int family, const char* host,
                                     const char* service) {
    if (out == nullptr || host == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (family != AUD_AF_INET && family != AUD_AF_UNSPEC) {
        return AUD_ERR_NOTSUPPORTED;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;  // the address record holds IPv4 only
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* results = nullptr;
    const int result = getaddrinfo(host, service, &hints, &results);
    if (result != 0) {
        return aud_error_from_resolver(static_cast<uint32_t>(result));
    }
    aud_error error = AUD_ERR_NODATA;
    if (results != nullptr && results->ai_family == AF_INET &&
        results->ai_addrlen >= sizeof(sockaddr_in)) {
        sockaddr_in first{};
        std::memcpy(&first, results->ai_addr, sizeof first);
        from_sockaddr(first, out);
        error = AUD_SUCCESS;
    }
    freeaddrinfo(results);
    return error;
}

aud_error aud_fdsets_wait(aud_fdsets* sets, aud_time timeout) {
    if (sets == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (sets->read.count <= 0 && sets->write.count <= 0) {
        // select() refuses empty sets on Windows; sleep, alertable, instead.
        const int64_t ms = aud_time_to_milliseconds_ceil(timeout);
        const DWORD result = SleepEx(ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(ms), TRUE);
        return result == 0 ? AUD_SUCCESS : aud_error_from_system(result);
    }
    // Two native sets of 1024 sockets are too big for a thread's stack frame
    // to waste; they live as long as the call.
    static thread_local fd_set readable;
    static thread_local fd_set writable;
    fill_native(sets->read, &readable);
    fill_native(sets->write, &writable);
    timeval limit = to_timeval(timeout);
    const int result = select(0, readable.fd_count > 0 ? &readable : nullptr,
                              writable.fd_count > 0 ? &writable : nullptr, nullptr, &limit);
    if (result == SOCKET_ERROR) {
        return last_error();
    }
    take_native(readable, &sets->read);
    take_native(writable, &sets->write);
    if (result == 0 || sets->read.count + sets->write.count == 0) {
        aud_fd_set_clear(&sets->read);
        aud_fd_set_clear(&sets->write);
    }
    sets->count = sets->read.count + sets->write.count;
    return AUD_SUCCESS;
}
