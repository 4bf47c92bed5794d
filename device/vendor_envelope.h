// The vendor envelope that carries every message to and from a TPX-2 inside
// a vendor-specific conmon message: channel, payload length, payload, CRC-32,
// all big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

inline constexpr size_t kEnvelopeOverhead = 12;
inline constexpr size_t kEnvelopeHeaderSize = 8;

// CRC-32 of IEEE 802.3 / zlib (reflected 0xEDB88320, init and final XOR all ones).
uint32_t envelope_crc32(std::span<const uint8_t> bytes);

// Wraps `payload` for `channel` into `out`. Returns the envelope's length
// (payload + 12), or 0 when it does not fit.
size_t encode_vendor_envelope(uint32_t channel, std::span<const uint8_t> payload,
                              std::span<uint8_t> out);

struct VendorEnvelope {
    uint32_t channel = 0;
    std::span<const uint8_t> payload;
};

// The envelope in `message`, or nothing when it is shorter than 12 bytes, its
// CRC does not match, or its length field claims more bytes than are there.
std::optional<VendorEnvelope> decode_vendor_envelope(std::span<const uint8_t> message);
