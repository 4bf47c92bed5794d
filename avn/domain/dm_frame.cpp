#include "avn/domain/dm_frame.h"

#include <limits>

#include "avn/runtime/byte_order.h"

aud_error dm_frame_encode(uint32_t sync, uint32_t type, std::span<const uint8_t> payload,
                          std::vector<uint8_t>* out) {
    if (out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (payload.size() > std::numeric_limits<uint32_t>::max()) {
        return AUD_ERR_MSGSIZE;
    }
    const size_t start = out->size();
    // One allocation: the payload is copied once, into the frame's storage.
    out->reserve(start + DM_FRAME_HEADER_SIZE + payload.size());
    out->resize(start + DM_FRAME_HEADER_SIZE);
    uint8_t* header = out->data() + start;
    byte_order::store_be32(header, sync);
    byte_order::store_be32(header + 4, type);
    byte_order::store_be32(header + 8, static_cast<uint32_t>(payload.size()));
    out->insert(out->end(), payload.begin(), payload.end());
    return AUD_SUCCESS;
}

aud_error dm_frame_parse_header(std::span<const uint8_t> bytes, dm_frame_header* out) {
    if (out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (bytes.size() < DM_FRAME_HEADER_SIZE) {
        return AUD_ERR_TRUNCATED;
    }
    out->sync = byte_order::load_be32(bytes.data());
    out->type = byte_order::load_be32(bytes.data() + 4);
    out->length = byte_order::load_be32(bytes.data() + 8);
    return AUD_SUCCESS;
}

aud_error dm_frame_check_header(const dm_frame_header& header, uint32_t expected_sync) {
    if (header.sync != expected_sync) {
        return AUD_ERR_INVALIDDATA;
    }
    if (header.length > DM_FRAME_MAX_PAYLOAD) {
        return AUD_ERR_MSGSIZE;
    }
    return AUD_SUCCESS;
}
