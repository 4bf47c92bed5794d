#include "avn/api/domain_relay.h"

#include <span>

#include "avn/conmon/avn_packet.h"
#include "avn/runtime/domain_provider.h"

namespace {

constexpr uint16_t kNoListener = 0xFFFF;

}  // namespace

aud_error domain_relay_receive(domain_provider* provider, const uint8_t* packet, size_t length) {
    if (packet == nullptr) {
        return AUD_ERR_INVALIDDATA;
    }
    avn_packet_view view;
    const aud_error result = avn_packet_read_header(std::span<const uint8_t>(packet, length), &view);
    if (result != AUD_SUCCESS) {
        return result;
    }
    if (!view.has_destination) {
        return AUD_ERR_NOTFOUND;
    }
    if (!view.has_source) {
        return AUD_ERR_INVALIDDATA;
    }
    const avn_packet_address destination = view.destination;
    if (destination.node == 0 || destination.listener == kNoListener || destination.listener == 0) {
        return AUD_ERR_INVALIDDATA;
    }
    if (destination.listener == kDomainRelayListenerId) {
        return AUD_SUCCESS;
    }
    return domain_provider_deliver(provider, destination.listener, packet, length);
}
