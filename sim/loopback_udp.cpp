#include "sim/loopback_udp.h"

namespace sim {

aud_error open_loopback_udp(uint16_t port, aud_socket_t* socket, uint16_t* bound_port) {
    aud_socket_address address{};
    aud_socket_address_set_ipv4(&address, kLoopbackAddress, port);
    aud_socket_address bound{};
    aud_socket_t opened = AUD_SOCKET_INVALID;
    if (const aud_error error = aud_socket_open_bound(&opened, &address, &bound); error != AUD_SUCCESS) {
        return error;
    }
    *socket = opened;
    *bound_port = aud_socket_address_get_port(&bound);
    return AUD_SUCCESS;
}

int read_waiting_datagrams(aud_socket_t socket, std::span<uint8_t> buffer, int most,
                           const DatagramHandler& handle) {
    int read = 0;
    while (read < most) {
        size_t length = buffer.size();
        aud_socket_address from{};
        if (aud_socket_recvfrom(socket, buffer.data(), &length, &from) != AUD_SUCCESS) {
            break;  // nothing more to read now
        }
        ++read;
        handle(buffer.first(length), from);
    }
    return read;
}

}  // namespace sim
