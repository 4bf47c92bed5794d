// AVN packets as they travel over the Domain Manager connection: a packet
// header with a destination and a source option, then one message chunk
// (chunk header, a 4-byte header part of sequence number and status, the
// fixed data, and pieces appended after it that the data reaches through
// 16-bit offsets counted from the start of the chunk). Big-endian
// throughout. The conmon client's domain messages and the device-lookup
// service both build and read them here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "avn/runtime/aud_error.h"

struct domain_listener;

inline constexpr size_t AVN_PACKET_HEADER_SIZE = 24;
inline constexpr size_t AVN_PACKET_CHUNK_HEADER_SIZE = 8;
inline constexpr size_t AVN_PACKET_HEADER_PART_SIZE = 4;
// Where the fixed data of the message chunk starts within the packet.
inline constexpr size_t AVN_PACKET_DATA_OFFSET =
    AVN_PACKET_HEADER_SIZE + AVN_PACKET_CHUNK_HEADER_SIZE + AVN_PACKET_HEADER_PART_SIZE;
// The relay's buffer: no packet built here is longer.
inline constexpr size_t AVN_PACKET_MAX_SIZE = 1500;

inline constexpr uint32_t AVN_PACKET_NODE_DOMAIN_MANAGER = 0xFFFFFFFFu;

enum : uint8_t {
    AVN_PACKET_KIND_REQUEST = 2,
    AVN_PACKET_KIND_REPLY = 3,
};

struct avn_packet_address {
    uint32_t node = 0;
    uint16_t listener = 0;

    bool operator==(const avn_packet_address&) const = default;
};

// ---- Building ----

struct avn_packet_builder {
    std::span<uint8_t> buffer;
    size_t length = 0;      // bytes written so far
    size_t data_fixed = 0;  // length of the declared data region
    bool has_chunk = false;
};

// Header (24 bytes, kind, both options) in `buffer`; NOMEMORY when it is
// too small.
aud_error avn_packet_begin(avn_packet_builder* builder, std::span<uint8_t> buffer, uint8_t kind,
                           avn_packet_address destination, avn_packet_address source);
// The message chunk's header and header part. Call once, after begin.
aud_error avn_packet_add_chunk(avn_packet_builder* builder, uint16_t type, uint16_t sequence,
                               uint16_t status);
// Fixed data, padded to a multiple of 4; only before anything is appended.
aud_error avn_packet_add_data(avn_packet_builder* builder, std::span<const uint8_t> data);
// A piece after the fixed data, padded to a multiple of 4; `offset` gets its
// position within the chunk. NOMEMORY when the buffer is full.
aud_error avn_packet_append(avn_packet_builder* builder, std::span<const uint8_t> piece,
                            uint16_t* offset);
// A zero-terminated text, appended as above.
aud_error avn_packet_append_text(avn_packet_builder* builder, const char* text, uint16_t* offset);
// Writes a 16-bit value into the fixed data at `at` (bytes from the data start).
void avn_packet_patch16(avn_packet_builder* builder, size_t at, uint16_t value);
// Writes the chunk's lengths; the packet is buffer.first(length).
std::span<uint8_t> avn_packet_finish(avn_packet_builder* builder);

// ---- Reading ----

struct avn_packet_view {
    std::span<const uint8_t> packet;
    size_t header_length = 0;
    uint8_t kind = 0;
    bool has_destination = false;
    bool has_source = false;
    avn_packet_address destination;
    avn_packet_address source;
    // The first message chunk (empty when the packet has none that is valid).
    std::span<const uint8_t> chunk;
    uint16_t type = 0;
    uint16_t sequence = 0;
    uint16_t status = 0;
    size_t data_offset = 0;  // within the chunk
    size_t data_length = 0;
};

// Reads the header and its options: INVALIDDATA for a header under 8 bytes
// or longer than the packet. Then the first message chunk, which must be
// valid (INVALIDDATA otherwise): its total length a multiple of 4, within
// the packet and covering header part and data, the header part at least 4.
aud_error avn_packet_read(std::span<const uint8_t> packet, avn_packet_view* out);
// Only the header and options (for routing).
aud_error avn_packet_read_header(std::span<const uint8_t> packet, avn_packet_view* out);

// The fixed data of the chunk.
std::span<const uint8_t> avn_packet_data(const avn_packet_view& view);
// A piece at an offset within the chunk: empty unless the offset is not 0,
// lies at or after the data region, and `size` bytes fit in the chunk.
std::span<const uint8_t> avn_packet_at(const avn_packet_view& view, uint16_t offset, size_t size);
// A zero-terminated text at an offset, shorter than `limit` characters:
// false unless it is found whole within the chunk.
bool avn_packet_text(const avn_packet_view& view, uint16_t offset, size_t limit, const char** text);

// A reply to `request` in `buffer`: options swapped, kind 3, the request's
// type and sequence number, with `status`.
aud_error avn_packet_begin_reply(avn_packet_builder* builder, std::span<uint8_t> buffer,
                                 const avn_packet_view& request, uint16_t status);

// Sends a packet through the domain relay on behalf of `listener`. The
// packet must carry a source option (INVALIDDATA); a request's source
// listener id 0 becomes the sender's id, any other id than the sender's is
// INVALIDDATA. NOTINITIALISED without a listener.
aud_error avn_packet_relay_send(domain_listener* listener, std::span<uint8_t> packet);
