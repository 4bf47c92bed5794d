// Datagrams from the connection-manager service: the DGCP2 header checks,
// every node of the body tree, and the CMM body decoders. Whatever decodes
// must survive encoding and decoding again unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "avn/domain/cmm_messages.h"
#include "avn/domain/dgcp2_codec.h"

namespace {

constexpr int kMaxDepth = 6;
constexpr int kMaxNodes = 512;

// Reads the node at `offset` as every type; arrays are followed through
// their slots. Bounded in depth and in the number of nodes visited.
void walk(const dgcp2_message* m, uint16_t offset, int depth, int* budget) {
    if (depth > kMaxDepth || --*budget < 0) {
        return;
    }
    char text[64];
    char16_t wide[64];
    uint32_t number = 0;
    uint8_t raw[8];
    dgcp2_body_read_string(m, offset, text, sizeof text);
    dgcp2_body_read_utf32(m, offset, wide, 64);
    dgcp2_body_read_u32(m, offset, &number);
    dgcp2_body_read_bytes(m, offset, raw, sizeof raw);
    uint16_t count = 0;
    if (dgcp2_body_read_array(m, offset, &count) != AUD_SUCCESS) {
        return;
    }
    for (uint16_t i = 0; i < count; ++i) {
        if (*budget <= 0) {
            return;
        }
        uint16_t slot = 0;
        if (dgcp2_body_read_slot(m, offset, i, &slot) != AUD_SUCCESS) {
            std::abort();  // the array was checked whole
        }
        walk(m, slot, depth + 1, budget);
    }
}

// decode(m) == decode(encode(decode(m))) for every record that decodes and
// whose encoding fits (shared nodes may make it larger).
template <typename Record, typename Decode, typename Encode>
void round_trip(const dgcp2_message* m, Decode decode, Encode encode) {
    Record first;
    if (decode(m, &first) != AUD_SUCCESS) {
        return;
    }
    dgcp2_message again;
    dgcp2_message_init(&again, CMM_HEADER_TYPE);
    if (encode(&again, &first) != AUD_SUCCESS) {
        return;
    }
    Record second;
    if (decode(&again, &second) != AUD_SUCCESS || std::memcmp(&first, &second, sizeof first) != 0) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> datagram{data, size};
    dgcp2_message m;
    for (const int type : {DGCP2_HEADER_TYPE_1, DGCP2_HEADER_TYPE_2}) {
        if (dgcp2_message_load(&m, type, datagram) != AUD_SUCCESS) {
            continue;
        }
        int budget = kMaxNodes;
        walk(&m, 0, 0, &budget);
    }
    // The CMM reads type-2 messages; decode the body whatever the header
    // says, as long as the length field is consistent.
    if (dgcp2_message_load(&m, CMM_HEADER_TYPE, datagram) != AUD_SUCCESS) {
        return 0;
    }
    round_trip<cmm_options>(&m, cmm_decode_options, cmm_encode_options);
    round_trip<cmm_state>(&m, cmm_decode_state, cmm_encode_state);
    round_trip<cmm_connection_info>(&m, cmm_decode_connect_response, cmm_encode_connect_response);
    round_trip<cmm_registration>(&m, cmm_decode_connect_request, cmm_encode_connect_request);
    cmm_config_request config;
    cmm_decode_set_config_request(&m, &config);
    dgcp2_kind_name(dgcp2_message_get_kind(&m));
    return 0;
}
