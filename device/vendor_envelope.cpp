#include "device/vendor_envelope.h"

#include <zlib.h>

#include <algorithm>

#include "avn/runtime/byte_order.h"

uint32_t envelope_crc32(std::span<const uint8_t> bytes) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes lengths as uInt; feed large inputs in pieces.
    while (!bytes.empty()) {
        const size_t piece = std::min<size_t>(bytes.size(), 1u << 30);
        crc = crc32(crc, bytes.data(), static_cast<uInt>(piece));
        bytes = bytes.subspan(piece);
    }
    return static_cast<uint32_t>(crc);
}

size_t encode_vendor_envelope(uint32_t channel, std::span<const uint8_t> payload,
                              std::span<uint8_t> out) {
    const size_t length = payload.size() + kEnvelopeOverhead;
    if (out.size() < length || payload.size() > UINT32_MAX) {
        return 0;
    }
    byte_order::store_be32(&out[0], channel);
    byte_order::store_be32(&out[4], static_cast<uint32_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), out.begin() + kEnvelopeHeaderSize);
    const size_t body = kEnvelopeHeaderSize + payload.size();
    byte_order::store_be32(&out[body], envelope_crc32(out.first(body)));
    return length;
}

std::optional<VendorEnvelope> decode_vendor_envelope(std::span<const uint8_t> message) {
    if (message.size() < kEnvelopeOverhead) {
        return std::nullopt;
    }
    const size_t body = message.size() - 4;
    if (envelope_crc32(message.first(body)) != byte_order::load_be32(&message[body])) {
        return std::nullopt;
    }
    const uint32_t length = byte_order::load_be32(&message[4]);
    if (length > message.size() - kEnvelopeOverhead) {
        return std::nullopt;  // claims more payload than arrived
    }
    return VendorEnvelope{byte_order::load_be32(&message[0]),
                          message.subspan(kEnvelopeHeaderSize, length)};
}
