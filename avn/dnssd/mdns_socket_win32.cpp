// Multicast DNS sockets over Winsock 2.2. Windows has no socketpair: a signal
// pair is two UDP sockets on loopback ports, each connected to the other.
#define FD_SETSIZE 1024

// Winsock first: the IP helper's adapter records need its types.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>
#include <mswsock.h>
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>

#include "avn/dnssd/mdns_packet.h"
#include "avn/dnssd/mdns_socket.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

static_assert(sizeof(SOCKET) == sizeof(mdns::socket_t));

namespace mdns {

namespace {

std::mutex g_startup_mutex;
int g_startups = 0;
LPFN_WSARECVMSG g_recvmsg = nullptr;

SOCKET handle_of(socket_t socket) {
    return static_cast<SOCKET>(socket);
}

bool set_option(SOCKET socket, int level, int name, DWORD value) {
    return setsockopt(socket, level, name, reinterpret_cast<const char*>(&value), sizeof value) ==
           0;
}

bool set_non_blocking(SOCKET socket) {
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}

// ICMP port-unreachable would otherwise show as a receive error.
void ignore_connection_reset(SOCKET socket) {
    BOOL off = FALSE;
    DWORD returned = 0;
    WSAIoctl(socket, SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &returned, nullptr, nullptr);
}

void look_up_recvmsg(SOCKET socket) {
    if (g_recvmsg != nullptr) {
        return;
    }
    GUID id = WSAID_WSARECVMSG;
    LPFN_WSARECVMSG function = nullptr;
    DWORD returned = 0;
    if (WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &function,
                 sizeof function, &returned, nullptr, nullptr) == 0) {
        g_recvmsg = function;
    }
}

bool change_membership(socket_t socket, int option, const Interface& netif) {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = htonl(kGroupAddress);
    request.imr_interface.s_addr = htonl(netif.address);
    return setsockopt(handle_of(socket), IPPROTO_IP, option,
                      reinterpret_cast<const char*>(&request), sizeof request) == 0;
}

}  // namespace

void platform_startup() {
    const std::lock_guard<std::mutex> lock(g_startup_mutex);
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) == 0) {
        ++g_startups;
    }
}

void platform_cleanup() {
    const std::lock_guard<std::mutex> lock(g_startup_mutex);
    if (g_startups > 0) {
        --g_startups;
        WSACleanup();
    }
}

std::vector<Interface> multicast_interfaces() {
    std::vector<Interface> interfaces;
    ULONG size = 16 * 1024;
    std::vector<uint8_t> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result = GetAdaptersAddresses(
            AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
            nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != NO_ERROR) {
        return interfaces;
    }
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
         adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp ||
            (adapter->Flags & IP_ADAPTER_NO_MULTICAST) != 0) {
            continue;
        }
        Interface netif;
        for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
             unicast = unicast->Next) {
            const sockaddr* address = unicast->Address.lpSockaddr;
            if (address == nullptr || address->sa_family != AF_INET) {
                continue;
            }
            sockaddr_in inet{};
            std::memcpy(&inet, address, sizeof inet);
            const uint32_t host_order = ntohl(inet.sin_addr.s_addr);
            const unsigned prefix = std::min<unsigned>(unicast->OnLinkPrefixLength, 32);
            const uint32_t mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
            if (netif.subnets.empty()) {
                netif.index = adapter->IfIndex;
                netif.address = host_order;
                netif.name = adapter->AdapterName;
            }
            netif.subnets.push_back(Subnet{host_order, mask});
        }
        if (!netif.subnets.empty()) {
            interfaces.push_back(std::move(netif));
        }
    }
    std::sort(interfaces.begin(), interfaces.end(),
              [](const Interface& a, const Interface& b) { return a.index < b.index; });
    return interfaces;
}

socket_t open_multicast_socket(uint16_t port) {
    const SOCKET socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (socket == INVALID_SOCKET) {
        return kInvalidSocket;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ignore_connection_reset(socket);
    // On Windows SO_REUSEADDR alone lets several sockets share the port.
    const bool ok = set_option(socket, SOL_SOCKET, SO_REUSEADDR, 1) &&
                    set_option(socket, IPPROTO_IP, IP_PKTINFO, 1) &&
                    set_option(socket, IPPROTO_IP, IP_MULTICAST_LOOP, 1) &&
                    set_option(socket, IPPROTO_IP, IP_MULTICAST_TTL, 255) &&
                    set_non_blocking(socket) &&
                    bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (!ok) {
        closesocket(socket);
        return kInvalidSocket;
    }
    look_up_recvmsg(socket);
    return static_cast<socket_t>(socket);
}

bool join_group(socket_t socket, const Interface& netif) {
    return change_membership(socket, IP_ADD_MEMBERSHIP, netif);
}

bool leave_group(socket_t socket, const Interface& netif) {
    return change_membership(socket, IP_DROP_MEMBERSHIP, netif);
}

void close_socket(socket_t* socket) {
    if (*socket != kInvalidSocket) {
        closesocket(handle_of(*socket));
        *socket = kInvalidSocket;
    }
}

bool receive(socket_t socket, uint8_t* buffer, size_t capacity, Datagram* out) {
    sockaddr_in source{};
    WSABUF part{};
    part.len = capacity > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(capacity);
    part.buf = reinterpret_cast<char*>(buffer);
    alignas(WSACMSGHDR) char control[256];
    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr*>(&source);
    message.namelen = sizeof source;
    message.lpBuffers = &part;
    message.dwBufferCount = 1;
    message.Control.len = sizeof control;
    message.Control.buf = control;
    DWORD received = 0;
    *out = Datagram{};
    if (g_recvmsg != nullptr) {
        if (g_recvmsg(handle_of(socket), &message, &received, nullptr, nullptr) != 0) {
            // A datagram larger than the buffer is dropped as empty.
            return WSAGetLastError() == WSAEMSGSIZE;
        }
        for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&message); c != nullptr;
             c = WSA_CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO &&
                c->cmsg_len >= WSA_CMSG_LEN(sizeof(IN_PKTINFO))) {
                IN_PKTINFO info{};
                std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
                out->interface_index = info.ipi_ifindex;
            }
        }
    } else {
        int length = sizeof source;
        const int got = recvfrom(handle_of(socket), part.buf, static_cast<int>(part.len), 0,
                                 reinterpret_cast<sockaddr*>(&source), &length);
        if (got < 0) {
            return WSAGetLastError() == WSAEMSGSIZE;
        }
        received = static_cast<DWORD>(got);
    }
    out->length = received;
    out->source_address = ntohl(source.sin_addr.s_addr);
    out->source_port = ntohs(source.sin_port);
    return true;
}

bool send_to(socket_t socket, const Interface& via, const uint8_t* data, size_t length,
             uint32_t address, uint16_t port) {
    in_addr choice{};
    choice.s_addr = htonl(via.address);
    if (setsockopt(handle_of(socket), IPPROTO_IP, IP_MULTICAST_IF,
                   reinterpret_cast<const char*>(&choice), sizeof choice) != 0) {
        return false;
    }
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    destination.sin_addr.s_addr = htonl(address);
    const int sent =
        sendto(handle_of(socket), reinterpret_cast<const char*>(data), static_cast<int>(length), 0,
               reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    return sent == static_cast<int>(length);
}

bool wait_readable(const socket_t* sockets, size_t count, int timeout_ms, bool* ready) {
    fd_set set;
    FD_ZERO(&set);
    for (size_t i = 0; i < count && i < FD_SETSIZE; ++i) {
        FD_SET(handle_of(sockets[i]), &set);
        ready[i] = false;
    }
    timeval limit{};
    limit.tv_sec = timeout_ms / 1000;
    limit.tv_usec = (timeout_ms % 1000) * 1000;
    const int result = select(0, &set, nullptr, nullptr, timeout_ms < 0 ? nullptr : &limit);
    if (result == SOCKET_ERROR) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        ready[i] = FD_ISSET(handle_of(sockets[i]), &set) != 0;
    }
    return true;
}

bool signal_open(SignalPair* pair) {
    SOCKET reader = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SOCKET writer = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in writer_address{};
    int length = sizeof address;
    int writer_length = sizeof writer_address;
    // Both ends are connected to each other: a connected UDP socket takes
    // datagrams from its peer only, so no other program on this machine can
    // make the reader readable by sending to its port.
    const bool ok =
        reader != INVALID_SOCKET && writer != INVALID_SOCKET &&
        bind(reader, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(reader, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        connect(writer, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(writer, reinterpret_cast<sockaddr*>(&writer_address), &writer_length) == 0 &&
        connect(reader, reinterpret_cast<const sockaddr*>(&writer_address),
                sizeof writer_address) == 0 &&
        set_non_blocking(reader) && set_non_blocking(writer);
    if (!ok) {
        if (reader != INVALID_SOCKET) {
            closesocket(reader);
        }
        if (writer != INVALID_SOCKET) {
            closesocket(writer);
        }
        return false;
    }
    ignore_connection_reset(reader);
    ignore_connection_reset(writer);
    pair->reader = static_cast<socket_t>(reader);
    pair->writer = static_cast<socket_t>(writer);
    return true;
}

void signal_raise(const SignalPair& pair) {
    const char byte = 1;
    send(handle_of(pair.writer), &byte, 1, 0);
}

void signal_drain(const SignalPair& pair) {
    char bytes[64];
    while (recv(handle_of(pair.reader), bytes, sizeof bytes, 0) > 0) {
    }
}

void signal_close(SignalPair* pair) {
    close_socket(&pair->reader);
    close_socket(&pair->writer);
}

uint16_t signal_port(const SignalPair& pair) {
    sockaddr_in address{};
    int length = sizeof address;
    if (getsockname(handle_of(pair.reader), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

}  // namespace mdns
