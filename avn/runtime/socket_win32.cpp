// Socket helpers over Winsock 2.2: what differs from BSD sockets (start-up,
// opening without ICMP reports, the extended receive function, blocking
// mode, select()). The rest is shared, in socket.cpp.
#include <climits>
#include <cstring>

#include "avn/runtime/socket.h"
#include "avn/runtime/socket_internal.h"
#include "avn/runtime/socket_platform.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

using socket_native::handle_of;
using socket_native::valid;

namespace {

// The extended receive function, looked up once per process.
LPFN_WSARECVMSG g_recvmsg = nullptr;
bool g_recvmsg_looked_up = false;

timeval to_timeval(aud_time timeout) {
    timeout = aud_time_normalise(timeout);
    if (timeout.seconds < 0) {
        return timeval{0, 0};
    }
    return timeval{timeout.seconds, timeout.microseconds};
}

// Whether ICMP port-unreachable is reported as WSAECONNRESET on receive.
aud_error set_connreset_reports(aud_socket_t socket, bool on) {
    BOOL value = on ? TRUE : FALSE;
    DWORD returned = 0;
    if (WSAIoctl(handle_of(socket), SIO_UDP_CONNRESET, &value, sizeof value, nullptr, 0, &returned,
                 nullptr, nullptr) != 0) {
        return socket_shared::last_error();
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

namespace socket_native {

void after_connect(aud_socket_t socket) {
    set_connreset_reports(socket, true);
}

aud_error resolver_error(int result) {
    return aud_error_from_resolver(static_cast<uint32_t>(result));
}

aud_error open_udp(aud_socket_t* out) {
    const SOCKET opened = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (opened == INVALID_SOCKET) {
        return socket_shared::last_error();
    }
    // An unconnected socket must not fail its receives because some earlier
    // destination's port was closed.
    set_connreset_reports(static_cast<aud_socket_t>(opened), false);
    *out = static_cast<aud_socket_t>(opened);
    return AUD_SUCCESS;
}

}  // namespace socket_native

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
    const aud_error error = socket_shared::last_error();
    return error == AUD_ERR_NOTINITIALISED ? AUD_SUCCESS : error;
}

aud_error aud_socket_recvfrom(aud_socket_t socket, void* buffer, size_t* length,
                              aud_socket_address* source) {
    if (!valid(socket) || buffer == nullptr || length == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    sockaddr_in from{};
    int from_length = sizeof from;
    const int received =
        ::recvfrom(handle_of(socket), static_cast<char*>(buffer), socket_native::io_length_of(*length),
                   0, reinterpret_cast<sockaddr*>(&from), &from_length);
    if (received == SOCKET_ERROR) {
        return socket_shared::last_datagram_error();
    }
    *length = static_cast<size_t>(received);
    if (source != nullptr) {
        *source = aud_socket_address{};
        if (from_length >= static_cast<int>(sizeof from) && from.sin_family == AF_INET) {
            socket_shared::from_sockaddr(from, source);
        }
    }
    return AUD_SUCCESS;
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
        return socket_shared::last_datagram_error();
    }
    *length = received;
    if (info == nullptr) {
        return AUD_SUCCESS;
    }
    info->flags = 0;
    if (message.namelen > 0) {
        socket_shared::note_source(wanted, source, static_cast<size_t>(message.namelen), info);
    }
    for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&message); c != nullptr;
         c = WSA_CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO ||
            c->cmsg_len < WSA_CMSG_LEN(sizeof(IN_PKTINFO))) {
            continue;
        }
        IN_PKTINFO packet{};
        std::memcpy(&packet, WSA_CMSG_DATA(c), sizeof packet);
        socket_shared::note_packet_info(socket, wanted, packet.ipi_addr.s_addr,
                                        packet.ipi_ifindex, info);
    }
    return AUD_SUCCESS;
}

aud_error aud_socket_set_blocking(aud_socket_t socket, bool blocking) {
    if (!valid(socket)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    u_long non_blocking = blocking ? 0 : 1;
    if (ioctlsocket(handle_of(socket), FIONBIO, &non_blocking) != 0) {
        return socket_shared::last_error();
    }
    return AUD_SUCCESS;
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
        return socket_shared::last_error();
    }
    return result == 0 ? AUD_ERR_TIMEDOUT : AUD_SUCCESS;
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
        return socket_shared::last_error();
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
