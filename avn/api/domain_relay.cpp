#include "avn/api/domain_relay.h"

#include <optional>

#include "avn/runtime/byte_order.h"
#include "avn/runtime/domain_provider.h"

namespace {

constexpr size_t kMinHeaderLength = 8;
constexpr size_t kOptionSize = 8;
constexpr uint8_t kOptionDestination = 64;
constexpr uint8_t kOptionSource = 65;
constexpr uint16_t kNoListener = 0xFFFF;

struct packet_option {
    uint32_t node;
    uint16_t listener;
};

struct packet_options {
    std::optional<packet_option> destination;
    std::optional<packet_option> source;
};

// The options between the first-option offset and the header length; a
// free slot (length 0) or an option of another length ends the walk.
packet_options read_options(const uint8_t* packet, size_t header_length) {
    packet_options options;
    for (size_t at = packet[7]; at + kOptionSize <= header_length; at += kOptionSize) {
        const uint8_t* option = packet + at;
        if (option[0] != kOptionSize) {
            break;
        }
        const packet_option value{
            static_cast<uint32_t>(byte_order::load_be16(option + 2)) << 16 | byte_order::load_be16(option + 4),
            byte_order::load_be16(option + 6)};
        if (option[1] == kOptionDestination && !options.destination) {
            options.destination = value;
        } else if (option[1] == kOptionSource && !options.source) {
            options.source = value;
        }
    }
    return options;
}

}  // namespace

aud_error domain_relay_receive(domain_provider* provider, const uint8_t* packet, size_t length) {
    if (packet == nullptr || length < kMinHeaderLength) {
        return AUD_ERR_INVALIDDATA;
    }
    const size_t header_length = byte_order::load_be16(packet);
    if (header_length < kMinHeaderLength || header_length > length) {
        return AUD_ERR_INVALIDDATA;
    }
    const packet_options options = read_options(packet, header_length);
    if (!options.destination) {
        return AUD_ERR_NOTFOUND;
    }
    if (!options.source) {
        return AUD_ERR_INVALIDDATA;
    }
    const packet_option destination = *options.destination;
    if (destination.node == 0 || destination.listener == kNoListener || destination.listener == 0) {
        return AUD_ERR_INVALIDDATA;
    }
    if (destination.listener == kDomainRelayListenerId) {
        return AUD_SUCCESS;
    }
    return domain_provider_deliver(provider, destination.listener, packet, length);
}
