// Socket helpers over BSD sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "avn/runtime/socket.h"
#include "avn/runtime/socket_platform.h"

namespace {

bool valid(aud_socket_t socket) {
    return socket >= 0 && socket <= INT_MAX;
}

// Why a socket argument cannot be used. AUD_SOCKET_INVALID is the caller's
// "no socket", a bad argument on every platform; any other value that names
// no descriptor is, as Winsock reports it, not a socket.
aud_error unusable(aud_socket_t socket) {
    return socket == AUD_SOCKET_INVALID ? AUD_ERR_INVALIDPARAMETER : AUD_ERR_NOTSOCK;
}

int fd_of(aud_socket_t socket) {
    return static_cast<int>(socket);
}

aud_error last_error() {
    return aud_error_from_last_socket_error();
}

// A datagram socket learns that its peer's port is closed as ECONNREFUSED;
// the library reports that as CONNRESET on every platform.
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

int poll_timeout_ms(const aud_time* timeout) {
    if (timeout == nullptr) {
        return -1;
    }
    const int64_t ms = aud_time_to_milliseconds_ceil(*timeout);
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

aud_error set_int_option(aud_socket_t socket, int level, int name, int value) {
    if (!valid(socket)) {
        return unusable(socket);
    }
    if (setsockopt(fd_of(socket), level, name, &value, sizeof value) != 0) {
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
    if (setsockopt(fd_of(socket), IPPROTO_IP, option, &request, sizeof request) != 0) {
        return last_error();
    }
    return AUD_SUCCESS;
}

// getaddrinfo's results in the names that the Windows resolver numbers map to.
aud_error resolver_error(int result) {
    switch (result) {
        case EAI_MEMORY:
            return AUD_ERR_NOMEMORY;
        case EAI_BADFLAGS:
            return AUD_ERR_INVALIDPARAMETER;
        case EAI_SOCKTYPE:
        case EAI_FAMILY:
            return AUD_ERR_NOTSUPPORTED;
        case EAI_SERVICE:
            return AUD_ERR_NOTFOUND;
        case EAI_NONAME:
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
            return AUD_ERR_NODATA;
        case EAI_AGAIN:
            return AUD_ERR_TRYAGAIN;
        case EAI_FAIL:
            return AUD_ERR_FAULT;
        case EAI_SYSTEM:
            return last_error();
        default:
            return AUD_ERR_SYSTEM;
    }
}

}  // namespace

void aud_socket_platform_startup() {}

aud_error aud_socket_platform_cleanup() {
    return AUD_SUCCESS;
}

aud_error aud_socket_open_udp(aud_socket_t* out, int family) {
    if (out == nullptr || *out != AUD_SOCKET_INVALID || family == AUD_AF_UNSPEC) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (family != AUD_AF_INET) {
        return AUD_ERR_NOTSUPPORTED;
    }
    // Unconnected UDP sockets do not report ICMP port-unreachable here.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        return last_error();
    }
    *out = fd;
    return AUD_SUCCESS;
}

aud_error aud_socket_connect(aud_socket_t socket, const aud_socket_address* address) {
    sockaddr_in peer{};
    if (!valid(socket)) {
        return unusable(socket);
    }
    if (!to_sockaddr(address, &peer)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    // A connected UDP socket reports the peer's closed port on its next receive.
    if (::connect(fd_of(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        return last_error();
    }
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
    const int result = ::close(fd_of(*socket));
    *socket = AUD_SOCKET_INVALID;
    return result == 0 ? AUD_SUCCESS : last_error();
}

aud_error aud_socket_bind(aud_socket_t socket, const aud_socket_address* address) {
    sockaddr_in local{};
    if (!valid(socket)) {
        return unusable(socket);
    }
    if (!to_sockaddr(address, &local)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (::bind(fd_of(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return last_error();
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
    socklen_t length = sizeof local;
    if (getsockname(fd_of(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return last_error();
    }
    if (local.sin_family != AF_INET) {
        return AUD_ERR_AFNOSUPPORT;
    }
    from_sockaddr(local, out);
    return AUD_SUCCESS;
}

aud_error aud_socket_recvmsg(aud_socket_t socket, void* buffer, size_t* length,
                             aud_socket_msg_info* info) {
    if (!valid(socket)) {
        return unusable(socket);
    }
    if (buffer == nullptr || length == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const uint32_t wanted = info != nullptr ? info->flags : 0;
    sockaddr_in source{};
    iovec part{buffer, *length};
    alignas(cmsghdr) unsigned char control[1024];
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t received = ::recvmsg(fd_of(socket), &message, 0);
    if (received < 0) {
        return last_datagram_error();
    }
    // As on Windows, a datagram that did not fit is an error; the buffer
    // holds its first part.
    if ((message.msg_flags & MSG_TRUNC) != 0) {
        return AUD_ERR_MSGSIZE;
    }
    *length = static_cast<size_t>(received);
    if (info == nullptr) {
        return AUD_SUCCESS;
    }
    info->flags = 0;
    if ((wanted & AUD_SOCKET_MSG_SOURCE) != 0 && message.msg_namelen >= sizeof source &&
        source.sin_family == AF_INET) {
        from_sockaddr(source, &info->source);
        info->flags |= AUD_SOCKET_MSG_SOURCE;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO ||
            c->cmsg_len < CMSG_LEN(sizeof(in_pktinfo))) {
            continue;
        }
        in_pktinfo packet{};
        std::memcpy(&packet, CMSG_DATA(c), sizeof packet);
        aud_socket_address own{};
        if ((wanted & AUD_SOCKET_MSG_DESTINATION) != 0 &&
            aud_socket_get_local_address(socket, &own) == AUD_SUCCESS) {
            own.inet.address = packet.ipi_addr.s_addr;
            info->destination = own;
            info->flags |= AUD_SOCKET_MSG_DESTINATION;
        }
        if ((wanted & AUD_SOCKET_MSG_INTERFACE) != 0) {
            info->interface_index = static_cast<uint32_t>(packet.ipi_ifindex);
            info->flags |= AUD_SOCKET_MSG_INTERFACE;
        }
    }
    return AUD_SUCCESS;
}

aud_error aud_socket_recvfrom(aud_socket_t socket, void* buffer, size_t* length,
                              aud_socket_address* source) {
    aud_socket_msg_info info{};
    info.flags = source != nullptr ? uint32_t{AUD_SOCKET_MSG_SOURCE} : 0u;
    const aud_error error = aud_socket_recvmsg(socket, buffer, length, &info);
    if (error == AUD_SUCCESS && source != nullptr) {
        if ((info.flags & AUD_SOCKET_MSG_SOURCE) != 0) {
            *source = info.source;
        } else {
            *source = aud_socket_address{};
        }
    }
    return error;
}

aud_error aud_socket_recv(aud_socket_t socket, void* buffer, size_t* length) {
    return aud_socket_recvmsg(socket, buffer, length, nullptr);
}

aud_error aud_socket_send(aud_socket_t socket, const void* data, size_t* length) {
    if (!valid(socket)) {
        return unusable(socket);
    }
    if (data == nullptr || length == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const ssize_t sent = ::send(fd_of(socket), data, *length, MSG_NOSIGNAL);
    if (sent < 0) {
        return last_datagram_error();
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
    if (data == nullptr || length == nullptr || !to_sockaddr(address, &peer)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const ssize_t sent = ::sendto(fd_of(socket), data, *length, MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    if (sent < 0) {
        return last_datagram_error();
    }
    *length = static_cast<size_t>(sent);
    return AUD_SUCCESS;
}

aud_error aud_socket_set_blocking(aud_socket_t socket, bool blocking) {
    if (!valid(socket)) {
        return unusable(socket);
    }
    const int flags = fcntl(fd_of(socket), F_GETFL, 0);
    if (flags < 0) {
        return last_error();
    }
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (fcntl(fd_of(socket), F_SETFL, wanted) != 0) {
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
        return unusable(socket);
    }
    in_addr chosen{};
    chosen.s_addr = aud_socket_address_is_ipv4(interface_address) ? interface_address->inet.address
                                                                  : htonl(INADDR_ANY);
    if (setsockopt(fd_of(socket), IPPROTO_IP, IP_MULTICAST_IF, &chosen, sizeof chosen) != 0) {
        return last_error();
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

aud_error aud_socket_wait_readable(aud_socket_t socket, const aud_time* timeout) {
    if (!valid(socket)) {
        return unusable(socket);
    }
    pollfd entry{fd_of(socket), POLLIN, 0};
    const int result = ::poll(&entry, 1, poll_timeout_ms(timeout));
    if (result < 0) {
        return last_error();
    }
    if (result == 0) {
        return AUD_ERR_TIMEDOUT;
    }
    if ((entry.revents & POLLNVAL) != 0) {
        return AUD_ERR_NOTSOCK;  // a closed descriptor, as Winsock's select() reports it
    }
    return AUD_SUCCESS;
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
        return resolver_error(result);
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

// poll() rather than select(): it has no limit on descriptor numbers, and the
// sets already carry the sockets as a list.
aud_error aud_fdsets_wait(aud_fdsets* sets, aud_time timeout) {
    if (sets == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const int64_t timeout_ms = aud_time_to_milliseconds_ceil(timeout);
    if (sets->read.count <= 0 && sets->write.count <= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return AUD_SUCCESS;
    }
    std::vector<pollfd> entries;
    try {
        entries.reserve(static_cast<size_t>(sets->read.count + sets->write.count));
    } catch (const std::bad_alloc&) {
        return AUD_ERR_NOMEMORY;
    }
    auto add = [&entries](const aud_fd_set& set, short events) {
        for (int32_t i = 0; i < set.count && i < AUD_FD_SET_SIZE; ++i) {
            const aud_socket_t socket = set.sockets[i];
            bool merged = false;
            for (pollfd& entry : entries) {
                if (entry.fd == fd_of(socket)) {
                    entry.events = static_cast<short>(entry.events | events);
                    merged = true;
                }
            }
            if (!merged && valid(socket)) {
                entries.push_back(pollfd{fd_of(socket), events, 0});
            }
        }
    };
    add(sets->read, POLLIN);
    add(sets->write, POLLOUT);
    const int timeout_arg = timeout_ms > INT_MAX ? INT_MAX : static_cast<int>(timeout_ms);
    const int result = ::poll(entries.data(), entries.size(), timeout_arg);
    if (result < 0) {
        return last_error();
    }
    // As with select(): an error condition makes a socket ready in the
    // direction it was asked for, so that the next call reports the error.
    const aud_fd_set read = sets->read;
    const aud_fd_set write = sets->write;
    aud_fd_set_clear(&sets->read);
    aud_fd_set_clear(&sets->write);
    for (const pollfd& entry : entries) {
        if ((entry.revents & POLLNVAL) != 0) {
            return AUD_ERR_NOTSOCK;  // a closed descriptor, as Winsock's select() reports it
        }
        const bool failed = (entry.revents & (POLLERR | POLLHUP)) != 0;
        if (aud_fd_set_contains(&read, entry.fd) && (failed || (entry.revents & POLLIN) != 0)) {
            aud_fd_set_add(&sets->read, entry.fd);
        }
        if (aud_fd_set_contains(&write, entry.fd) && (failed || (entry.revents & POLLOUT) != 0)) {
            aud_fd_set_add(&sets->write, entry.fd);
        }
    }
    sets->count = sets->read.count + sets->write.count;
    return AUD_SUCCESS;
}
