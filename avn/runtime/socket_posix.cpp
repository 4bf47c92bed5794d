// Socket helpers over BSD sockets: what differs from Winsock (opening,
// receiving with packet information, blocking mode, waiting). The rest is
// shared, in socket.cpp.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "avn/runtime/socket.h"
#include "avn/runtime/socket_internal.h"
#include "avn/runtime/socket_platform.h"

using socket_native::handle_of;
using socket_native::unusable;
using socket_native::valid;

namespace {

int poll_timeout_ms(const aud_time* timeout) {
    if (timeout == nullptr) {
        return -1;
    }
    const int64_t ms = aud_time_to_milliseconds_ceil(*timeout);
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

namespace socket_native {

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
            return socket_shared::last_error();
        default:
            return AUD_ERR_SYSTEM;
    }
}

aud_error open_udp(aud_socket_t* out) {
    // Unconnected UDP sockets do not report ICMP port-unreachable here.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        return socket_shared::last_error();
    }
    *out = fd;
    return AUD_SUCCESS;
}

}  // namespace socket_native

void aud_socket_platform_startup() {}

aud_error aud_socket_platform_cleanup() {
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
    const ssize_t received = ::recvmsg(handle_of(socket), &message, 0);
    if (received < 0) {
        return socket_shared::last_datagram_error();
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
    socket_shared::note_source(wanted, source, message.msg_namelen, info);
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO ||
            c->cmsg_len < CMSG_LEN(sizeof(in_pktinfo))) {
            continue;
        }
        in_pktinfo packet{};
        std::memcpy(&packet, CMSG_DATA(c), sizeof packet);
        socket_shared::note_packet_info(socket, wanted, packet.ipi_addr.s_addr,
                                        static_cast<uint32_t>(packet.ipi_ifindex), info);
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

aud_error aud_socket_set_blocking(aud_socket_t socket, bool blocking) {
    if (!valid(socket)) {
        return unusable(socket);
    }
    const int flags = fcntl(handle_of(socket), F_GETFL, 0);
    if (flags < 0) {
        return socket_shared::last_error();
    }
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (fcntl(handle_of(socket), F_SETFL, wanted) != 0) {
        return socket_shared::last_error();
    }
    return AUD_SUCCESS;
}

aud_error aud_socket_wait_readable(aud_socket_t socket, const aud_time* timeout) {
    if (!valid(socket)) {
        return unusable(socket);
    }
    pollfd entry{handle_of(socket), POLLIN, 0};
    const int result = ::poll(&entry, 1, poll_timeout_ms(timeout));
    if (result < 0) {
        return socket_shared::last_error();
    }
    if (result == 0) {
        return AUD_ERR_TIMEDOUT;
    }
    if ((entry.revents & POLLNVAL) != 0) {
        return AUD_ERR_NOTSOCK;  // a closed descriptor, as Winsock's select() reports it
    }
    return AUD_SUCCESS;
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
                if (entry.fd == handle_of(socket)) {
                    entry.events = static_cast<short>(entry.events | events);
                    merged = true;
                }
            }
            if (!merged && valid(socket)) {
                entries.push_back(pollfd{handle_of(socket), events, 0});
            }
        }
    };
    add(sets->read, POLLIN);
    add(sets->write, POLLOUT);
    const int timeout_arg = timeout_ms > INT_MAX ? INT_MAX : static_cast<int>(timeout_ms);
    const int result = ::poll(entries.data(), entries.size(), timeout_arg);
    if (result < 0) {
        return socket_shared::last_error();
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
