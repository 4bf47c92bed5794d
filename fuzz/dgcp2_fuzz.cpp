// DGCP2 datagrams: the header checks and every node of the body tree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

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
    return 0;
}
