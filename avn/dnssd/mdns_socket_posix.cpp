// Multicast DNS sockets over BSD sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "avn/dnssd/mdns_packet.h"
#include "avn/dnssd/mdns_socket.h"

namespace mdns {

namespace {

int fd_of(socket_t socket) {
    return static_cast<int>(socket);
}

bool set_option(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value) == 0;
}

bool set_non_blocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool change_membership(socket_t socket, int option, const Interface& netif) {
    ip_mreqn request{};
    request.imr_multiaddr.s_addr = htonl(kGroupAddress);
    request.imr_address.s_addr = htonl(netif.address);
    request.imr_ifindex = static_cast<int>(netif.index);
    return setsockopt(fd_of(socket), IPPROTO_IP, option, &request, sizeof request) == 0;
}

}  // namespace

void platform_startup() {}
void platform_cleanup() {}

std::vector<Interface> multicast_interfaces() {
    std::vector<Interface> interfaces;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return interfaces;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        const unsigned wanted = IFF_UP | IFF_MULTICAST;
        if ((entry->ifa_flags & wanted) != wanted) {
            continue;
        }
        Interface netif;
        netif.name = entry->ifa_name;
        netif.index = if_nametoindex(entry->ifa_name);
        sockaddr_in address{};
        std::memcpy(&address, entry->ifa_addr, sizeof address);
        netif.address = ntohl(address.sin_addr.s_addr);
        Subnet subnet{netif.address, 0xFFFFFFFFu};
        if (entry->ifa_netmask != nullptr && entry->ifa_netmask->sa_family == AF_INET) {
            sockaddr_in mask{};
            std::memcpy(&mask, entry->ifa_netmask, sizeof mask);
            subnet.mask = ntohl(mask.sin_addr.s_addr);
        }
        const auto seen = std::find_if(interfaces.begin(), interfaces.end(),
                                       [&](const Interface& i) { return i.index == netif.index; });
        if (seen != interfaces.end()) {
            seen->subnets.push_back(subnet);
        } else if (netif.index != 0) {
            netif.subnets.push_back(subnet);
            interfaces.push_back(std::move(netif));
        }
    }
    freeifaddrs(list);
    std::sort(interfaces.begin(), interfaces.end(),
              [](const Interface& a, const Interface& b) { return a.index < b.index; });
    return interfaces;
}

socket_t open_multicast_socket(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return kInvalidSocket;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool ok = set_option(fd, SOL_SOCKET, SO_REUSEADDR, 1) &&
                    set_option(fd, SOL_SOCKET, SO_REUSEPORT, 1) &&
                    set_option(fd, IPPROTO_IP, IP_PKTINFO, 1) &&
                    set_option(fd, IPPROTO_IP, IP_MULTICAST_LOOP, 1) &&
                    set_option(fd, IPPROTO_IP, IP_MULTICAST_TTL, 255) &&
                    set_option(fd, IPPROTO_IP, IP_TTL, 255) && set_non_blocking(fd) &&
                    // Room for a burst of answers from a busy network (the
                    // system may grant less).
                    (set_option(fd, SOL_SOCKET, SO_RCVBUF, 1 << 20) || true) &&
                    bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (!ok) {
        close(fd);
        return kInvalidSocket;
    }
    return fd;
}

bool join_group(socket_t socket, const Interface& netif) {
    return change_membership(socket, IP_ADD_MEMBERSHIP, netif);
}

bool leave_group(socket_t socket, const Interface& netif) {
    return change_membership(socket, IP_DROP_MEMBERSHIP, netif);
}

void close_socket(socket_t* socket) {
    if (*socket != kInvalidSocket) {
        close(fd_of(*socket));
        *socket = kInvalidSocket;
    }
}

bool receive(socket_t socket, uint8_t* buffer, size_t capacity, Datagram* out) {
    sockaddr_in source{};
    iovec vector{buffer, capacity};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t received = recvmsg(fd_of(socket), &message, MSG_DONTWAIT);
    if (received < 0) {
        return false;
    }
    *out = Datagram{};
    out->length = static_cast<size_t>(received);
    if ((message.msg_flags & MSG_TRUNC) != 0) {
        out->length = 0;  // too large for us: treated as empty
    }
    out->source_address = ntohl(source.sin_addr.s_addr);
    out->source_port = ntohs(source.sin_port);
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(header), sizeof info);
            out->interface_index = static_cast<uint32_t>(info.ipi_ifindex);
        }
    }
    return true;
}

bool send_to(socket_t socket, const Interface& via, const uint8_t* data, size_t length,
             uint32_t address, uint16_t port) {
    ip_mreqn choice{};
    choice.imr_address.s_addr = htonl(via.address);
    choice.imr_ifindex = static_cast<int>(via.index);
    if (setsockopt(fd_of(socket), IPPROTO_IP, IP_MULTICAST_IF, &choice, sizeof choice) != 0) {
        return false;
    }
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    destination.sin_addr.s_addr = htonl(address);
    const ssize_t sent =
        sendto(fd_of(socket), data, length, 0, reinterpret_cast<const sockaddr*>(&destination),
               sizeof destination);
    return sent == static_cast<ssize_t>(length);
}

bool wait_readable(const socket_t* sockets, size_t count, int timeout_ms, bool* ready) {
    std::vector<pollfd> polls(count);
    for (size_t i = 0; i < count; ++i) {
        polls[i].fd = fd_of(sockets[i]);
        polls[i].events = POLLIN;
        ready[i] = false;
    }
    const int result = poll(polls.data(), polls.size(), timeout_ms < 0 ? -1 : timeout_ms);
    if (result < 0) {
        return errno == EINTR;
    }
    for (size_t i = 0; i < count; ++i) {
        ready[i] = (polls[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    }
    return true;
}

bool signal_open(SignalPair* pair) {
    int fds[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        return false;
    }
    if (!set_non_blocking(fds[0]) || !set_non_blocking(fds[1])) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    pair->reader = fds[0];
    pair->writer = fds[1];
    return true;
}

void signal_raise(const SignalPair& pair) {
    const char byte = 1;
    // A full buffer already makes the reader readable.
    [[maybe_unused]] const ssize_t written = send(fd_of(pair.writer), &byte, 1, MSG_NOSIGNAL);
}

void signal_drain(const SignalPair& pair) {
    char bytes[64];
    while (recv(fd_of(pair.reader), bytes, sizeof bytes, MSG_DONTWAIT) > 0) {
    }
}

void signal_close(SignalPair* pair) {
    close_socket(&pair->reader);
    close_socket(&pair->writer);
}

uint16_t signal_port(const SignalPair&) {
    return 0;  // a socketpair has no port
}

}  // namespace mdns
