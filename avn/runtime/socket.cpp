// The platform-independent half of the socket helpers: address records,
// their text forms and socket sets.
#include "avn/runtime/socket.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "avn/runtime/byte_order.h"

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

}  // namespace

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
