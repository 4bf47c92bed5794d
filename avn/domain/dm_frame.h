// Frames of the Domain Manager connection: a 12-byte big-endian header
// (sync value, message type, payload length) followed by the payload. The
// two directions use different sync values, so a peer that echoes our own
// frames back is told apart from one that speaks the protocol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "avn/runtime/aud_error.h"

inline constexpr uint32_t DM_FRAME_SYNC_TO_SERVER = 0xB91A3726u;    // frames the client sends
inline constexpr uint32_t DM_FRAME_SYNC_FROM_SERVER = 0xB91A3725u;  // frames the client reads
inline constexpr size_t DM_FRAME_HEADER_SIZE = 12;

// The largest payload a received frame may announce. The length field could
// announce up to 4 GiB, and the reader allocates the payload before reading
// it. The largest message the connection carries is a domain list, an AVN
// packet whose header and message chunk each state their length in 16 bits
// (so under 128 KiB together); relayed messages are small. Anything above
// this is a broken or hostile peer, refused before any allocation.
inline constexpr uint32_t DM_FRAME_MAX_PAYLOAD = 128u * 1024u;

// The message types on the Domain Manager connection.
enum : uint32_t {
    DM_MESSAGE_TOKEN = 1,        // client: the authentication token
    DM_MESSAGE_RELAYED = 2,      // both ways: a relayed AVN packet
    DM_MESSAGE_DOMAIN_LIST = 3,  // server: the domain list or an update
    DM_MESSAGE_HELLO = 5,        // client: four zero bytes, first
    DM_MESSAGE_KEEPALIVE = 6,    // client: no payload
};

struct dm_frame_header {
    uint32_t sync;
    uint32_t type;
    uint32_t length;  // of the payload
};

// Appends a whole frame to *out. MSGSIZE when the payload does not fit the
// 32-bit length field; INVALIDPARAMETER without an out vector.
aud_error dm_frame_encode(uint32_t sync, uint32_t type, std::span<const uint8_t> payload,
                          std::vector<uint8_t>* out);

// Reads the header at the start of `bytes`: TRUNCATED when fewer than 12
// bytes are given. Checks nothing else.
aud_error dm_frame_parse_header(std::span<const uint8_t> bytes, dm_frame_header* out);

// Whether a parsed header may be read on: INVALIDDATA for another sync value,
// MSGSIZE for a payload above DM_FRAME_MAX_PAYLOAD.
aud_error dm_frame_check_header(const dm_frame_header& header, uint32_t expected_sync);
