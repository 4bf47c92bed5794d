// The platform-independent half of the socket helpers: address records,
// their text forms, socket sets, and the socket operations whose system calls
// are the same everywhere but for names and types (socket_native_*.h). The
// platform halves keep only what differs: opening, receiving, blocking mode
// and waiting.
#include "avn/runtime/socket.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "avn/runtime/byte_order.h"
#include "avn/runtime/socket_internal.h"

using socket_native::handle_of;
using socket_native::unusable;
using socket_native::valid;

namespace {

uint32_t to_network_order32(uint32_t host) {
    uint32_t network = 0;
    byte_order::store_be32(reinterpret_cast<uint8_t*>(&network), host);
    return network;
}

uint16_t to_network_order16(uint16_t host) {
    uint16_t network = 0;
    byte_order::store_be16(reinterpret_cast<uint8_t*>(&network), host);
    return network;
}

uint32_t from_network_order32(uint32_t network) {
    return byte_order::load_be32(reinterpret_cast<const uint8_t*>(&network));
}

uint16_t from_network_order16(uint16_t network) {
    return byte_order::load_be16(reinterpret_cast<const uint8_t*>(&network));
}

// Strict dotted-decimal: four parts of 1 to 3 digits, each at most 255.
bool parse_dotted_quad(std::string_view text, uint32_t* out) {
    uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (text.empty() || text.front() != '.') {
                return false;
            }
            text.remove_prefix(1);
        }
        uint32_t value = 0;
        size_t digits = 0;
        while (!text.empty() && text.front() >= '0' && text.front() <= '9' && digits < 3) {
            value = value * 10 + static_cast<uint32_t>(text.front() - '0');
            text.remove_prefix(1);
            ++digits;
        }
        if (digits == 0 || value > 255) {
            return false;
        }
        address = (address << 8) | value;
    }
    if (!text.empty()) {
        return false;
    }
    *out = address;
    return true;
}

aud_error set_int_option(aud_socket_t socket, int level, int name, int value) {
    if (!valid(socket)) {
        return unusable(socket);
    }
    const socket_native::option_int native = static_cast<socket_native::option_int>(value);
    if (setsockopt(handle_of(socket), level, name, reinterpret_cast<const char*>(&native),
                   sizeof native) != 0) {
        return socket_shared::last_error();
    }
    return AUD_SUCCESS;
}

bool is_multicast_group(const aud_socket_address* group) {
    return aud_socket_address_is_ipv4(group) &&
           (aud_socket_address_get_ipv4(group) & 0xF0000000u) == 0xE0000000u;
}

aud_error change_membership(aud_socket_t socket, int option, const aud_socket_address* group,
                            const aud_socket_address* interface_address) {
    if (!valid(socket)) {
        return unusable(socket);
    }
    if (!is_multicast_group(group)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    ip_mreq request{};
    request.imr_multiaddr.s_addr = group->inet.address;
    request.imr_interface.s_addr = aud_socket_address_is_ipv4(interface_address)
                                       ? interface_address->inet.address
                                       : htonl(INADDR_ANY);
    if (setsockopt(handle_of(socket), IPPROTO_IP, option, reinterpret_cast<const char*>(&request),
                   sizeof request) != 0) {
        return socket_shared::last_error();
    }
    return AUD_SUCCESS;
}

}  // namespace

namespace socket_shared {

aud_error last_error() {
    return aud_error_from_last_socket_error();
}

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

void note_source(uint32_t wanted, const sockaddr_in& source, size_t name_length,
                 aud_socket_msg_info* info) {
    if ((wanted & AUD_SOCKET_MSG_SOURCE) != 0 && name_length >= sizeof source &&
        source.sin_family == AF_INET) {
        from_sockaddr(source, &info->source);
        info->flags |= AUD_SOCKET_MSG_SOURCE;
    }
}

void note_packet_info(aud_socket_t socket, uint32_t wanted, uint32_t destination_address,
                      uint32_t interface_index, aud_socket_msg_info* info) {
    aud_socket_address own{};
    if ((wanted & AUD_SOCKET_MSG_DESTINATION) != 0 &&
        aud_socket_get_local_address(socket, &own) == AUD_SUCCESS) {
        own.inet.address = destination_address;
        info->destination = own;
        info->flags |= AUD_SOCKET_MSG_DESTINATION;
    }
    if ((wanted & AUD_SOCKET_MSG_INTERFACE) != 0) {
        info->interface_index = interface_index;
        info->flags |= AUD_SOCKET_MSG_INTERFACE;
    }
}

}  // namespace socket_shared

void aud_socket_address_set_ipv4(aud_socket_address* out, uint32_t address, uint16_t port) {
    if (out == nullptr) {
        return;
    }
    *out = aud_socket_address{};
    out->length = AUD_SOCKET_ADDRESS_IPV4_LENGTH;
    out->inet.family = AUD_AF_INET;
    out->inet.port = to_network_order16(port);
    out->inet.address = to_network_order32(address);
}

bool aud_socket_address_is_ipv4(const aud_socket_address* address) {
    return address != nullptr && address->inet.family == AUD_AF_INET;
}

uint32_t aud_socket_address_get_ipv4(const aud_socket_address* address) {
    return aud_socket_address_is_ipv4(address) ? from_network_order32(address->inet.address) : 0;
}

uint16_t aud_socket_address_get_port(const aud_socket_address* address) {
    return aud_socket_address_is_ipv4(address) ? from_network_order16(address->inet.port) : 0;
}

bool aud_socket_address_equal(const aud_socket_address* a, const aud_socket_address* b) {
    return aud_socket_address_is_ipv4(a) && aud_socket_address_is_ipv4(b) &&
           a->inet.port == b->inet.port && a->inet.address == b->inet.address;
}

char* aud_socket_address_to_text(const aud_socket_address* address, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return buffer;
    }
    buffer[0] = '\0';
    if (!aud_socket_address_is_ipv4(address)) {
        return buffer;
    }
    const uint32_t ip = aud_socket_address_get_ipv4(address);
    std::snprintf(buffer, size, "%u.%u.%u.%u:%u (len=%u)", (ip >> 24) & 0xFF, (ip >> 16) & 0xFF,
                  (ip >> 8) & 0xFF, ip & 0xFF, unsigned{aud_socket_address_get_port(address)},
                  unsigned{address->length});
    return buffer;
}

aud_error aud_socket_address_from_text(aud_socket_address* out, int family, const char* text,
                                       uint16_t port) {
    if (out == nullptr || text == nullptr || family == AUD_AF_UNSPEC) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (family != AUD_AF_INET) {
        return AUD_ERR_NOTSUPPORTED;
    }
    uint32_t address = 0;
    if (!parse_dotted_quad(text, &address)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    aud_socket_address_set_ipv4(out, address, port);
    return AUD_SUCCESS;
}

void aud_fd_set_clear(aud_fd_set* set) {
    if (set != nullptr) {
        set->count = 0;
    }
}

bool aud_fd_set_contains(const aud_fd_set* set, aud_socket_t socket) {
    if (set == nullptr) {
        return false;
    }
    const int32_t count = set->count < AUD_FD_SET_SIZE ? set->count : AUD_FD_SET_SIZE;
    for (int32_t i = 0; i < count; ++i) {
        if (set->sockets[i] == socket) {
            return true;
        }
    }
    return false;
}

bool aud_fd_set_add(aud_fd_set* set, aud_socket_t socket) {
    if (set == nullptr || socket == AUD_SOCKET_INVALID) {
        return false;
    }
    if (aud_fd_set_contains(set, socket)) {
        return true;
    }
    if (set->count < 0 || set->count >= AUD_FD_SET_SIZE) {
        return false;
    }
    set->sockets[set->count++] = socket;
    return true;
}

void aud_fd_set_remove(aud_fd_set* set, aud_socket_t socket) {
    if (set == nullptr) {
        return;
    }
    const int32_t count = set->count < AUD_FD_SET_SIZE ? set->count : AUD_FD_SET_SIZE;
    for (int32_t i = 0; i < count; ++i) {
        if (set->sockets[i] == socket) {
            std::memmove(&set->sockets[i], &set->sockets[i + 1],
                         sizeof set->sockets[0] * static_cast<size_t>(count - i - 1));
            set->count = count - 1;
            return;
        }
    }
}

void aud_fdsets_clear(aud_fdsets* sets) {
    if (sets == nullptr) {
        return;
    }
    sets->count = 0;
    aud_fd_set_clear(&sets->read);
    aud_fd_set_clear(&sets->write);
}

aud_error aud_socket_open_and_connect(aud_socket_t* out, const aud_socket_address* address) {
    if (out == nullptr || *out != AUD_SOCKET_INVALID || !aud_socket_address_is_ipv4(address)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    aud_error error = aud_socket_open_udp(out, address->inet.family);
    if (error != AUD_SUCCESS) {
        return error;
    }
    error = aud_socket_connect(*out, address);
    if (error != AUD_SUCCESS) {
        aud_socket_close(out);
    }
    return error;
}

aud_error aud_socket_open_bound(aud_socket_t* out, const aud_socket_address* address,
                                aud_socket_address* bound) {
    if (out == nullptr || *out != AUD_SOCKET_INVALID || !aud_socket_address_is_ipv4(address)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    aud_error error = aud_socket_open_udp(out, address->inet.family);
    if (error != AUD_SUCCESS) {
        return error;
    }
    aud_socket_address local{};
    error = aud_socket_bind(*out, address);
    if (error == AUD_SUCCESS) {
        error = aud_socket_get_local_address(*out, &local);
    }
    if (error == AUD_SUCCESS) {
        error = aud_socket_set_blocking(*out, false);
    }
    if (error != AUD_SUCCESS) {
        aud_socket_close(out);
        return error;
    }
    if (bound != nullptr) {
        *bound = local;
    }
    return AUD_SUCCESS;
}

aud_error aud_socket_set_reuse_port(aud_socket_t, bool) {
    return AUD_ERR_NOTSUPPORTED;
}

aud_error aud_socket_open_udp(aud_socket_t* out, int family) {
    if (out == nullptr || *out != AUD_SOCKET_INVALID || family == AUD_AF_UNSPEC) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (family != AUD_AF_INET) {
        return AUD_ERR_NOTSUPPORTED;
    }
    return socket_native::open_udp(out);
}

aud_error aud_socket_connect(aud_socket_t socket, const aud_socket_address* address) {
    sockaddr_in peer{};
    if (!valid(socket)) {
        return unusable(socket);
    }
    if (!socket_shared::to_sockaddr(address, &peer)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (::connect(handle_of(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        return socket_shared::last_error();
    }
    socket_native::after_connect(socket);
    return AUD_SUCCESS;
}

aud_error aud_socket_close(aud_socket_t* socket) {
    if (socket == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (!valid(*socket)) {
        *socket = AUD_SOCKET_INVALID;
        return AUD_SUCCESS;
    }
    const int result = socket_native::close_handle(handle_of(*socket));
    *socket = AUD_SOCKET_INVALID;
    return result == 0 ? AUD_SUCCESS : socket_shared::last_error();
}

aud_error aud_socket_bind(aud_socket_t socket, const aud_socket_address* address) {
    sockaddr_in local{};
    if (!valid(socket)) {
        return unusable(socket);
    }
    if (!socket_shared::to_sockaddr(address, &local)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (::bind(handle_of(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return socket_shared::last_error();
    }
    return AUD_SUCCESS;
}

aud_error aud_socket_get_local_address(aud_socket_t socket, aud_socket_address* out) {
    if (!valid(socket)) {
        return unusable(socket);
    }
    if (out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    sockaddr_in local{};
    socket_native::address_length length = sizeof local;
    if (getsockname(handle_of(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return socket_shared::last_error();
    }
    if (local.sin_family != AF_INET) {
        return AUD_ERR_AFNOSUPPORT;
    }
    socket_shared::from_sockaddr(local, out);
    return AUD_SUCCESS;
}

aud_error aud_socket_recv(aud_socket_t socket, void* buffer, size_t* length) {
    return aud_socket_recvfrom(socket, buffer, length, nullptr);
}

aud_error aud_socket_send(aud_socket_t socket, const void* data, size_t* length) {
    if (!valid(socket)) {
        return unusable(socket);
    }
    if (data == nullptr || length == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const auto sent = ::send(handle_of(socket), static_cast<const char*>(data),
                             socket_native::io_length_of(*length), socket_native::kSendFlags);
    if (sent < 0) {
        return socket_shared::last_datagram_error();
    }
    *length = static_cast<size_t>(sent);
    return AUD_SUCCESS;
}

aud_error aud_socket_sendto(aud_socket_t socket, const void* data, size_t* length,
                            const aud_socket_address* address) {
    sockaddr_in peer{};
    if (!valid(socket)) {
        return unusable(socket);
    }
    if (data == nullptr || length == nullptr || !socket_shared::to_sockaddr(address, &peer)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const auto sent = ::sendto(handle_of(socket), static_cast<const char*>(data),
                               socket_native::io_length_of(*length), socket_native::kSendFlags,
                               reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    if (sent < 0) {
        return socket_shared::last_datagram_error();
    }
    *length = static_cast<size_t>(sent);
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
        return unusable(socket);
    }
    in_addr chosen{};
    chosen.s_addr = aud_socket_address_is_ipv4(interface_address) ? interface_address->inet.address
                                                                  : htonl(INADDR_ANY);
    if (setsockopt(handle_of(socket), IPPROTO_IP, IP_MULTICAST_IF,
                   reinterpret_cast<const char*>(&chosen), sizeof chosen) != 0) {
        return socket_shared::last_error();
    }
    return AUD_SUCCESS;
}

aud_error aud_socket_set_multicast_loopback(aud_socket_t socket, bool on) {
    return set_int_option(socket, IPPROTO_IP, IP_MULTICAST_LOOP, on ? 1 : 0);
}

aud_error aud_socket_set_pktinfo(aud_socket_t socket, bool on) {
    return set_int_option(socket, IPPROTO_IP, IP_PKTINFO, on ? 1 : 0);
}

aud_error aud_socket_set_reuse_address(aud_socket_t socket, bool on) {
    return set_int_option(socket, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
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
        return socket_native::resolver_error(result);
    }
    aud_error error = AUD_ERR_NODATA;
    if (results != nullptr && results->ai_family == AF_INET &&
        results->ai_addrlen >= sizeof(sockaddr_in)) {
        sockaddr_in first{};
        std::memcpy(&first, results->ai_addr, sizeof first);
        socket_shared::from_sockaddr(first, out);
        error = AUD_SUCCESS;
    }
    freeaddrinfo(results);
    return error;
}
