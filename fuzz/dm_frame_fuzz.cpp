// Bytes from a Domain Manager: the frame header parser and its checks. A
// header that passes must announce no more than the limit, and re-encoding
// the frame it describes must give the same bytes back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "avn/domain/dm_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes{data, size};
    dm_frame_header header{};
    const aud_error parsed = dm_frame_parse_header(bytes, &header);
    if ((parsed == AUD_SUCCESS) != (size >= DM_FRAME_HEADER_SIZE)) {
        std::abort();
    }
    if (parsed != AUD_SUCCESS) {
        return 0;
    }
    for (const uint32_t sync : {DM_FRAME_SYNC_FROM_SERVER, DM_FRAME_SYNC_TO_SERVER}) {
        const aud_error checked = dm_frame_check_header(header, sync);
        if (checked != AUD_SUCCESS) {
            if (header.sync == sync && header.length <= DM_FRAME_MAX_PAYLOAD) {
                std::abort();
            }
            continue;
        }
        if (header.length > DM_FRAME_MAX_PAYLOAD) {
            std::abort();
        }
        // The payload as far as the input holds it.
        const size_t available = size - DM_FRAME_HEADER_SIZE;
        if (header.length > available) {
            continue;
        }
        std::vector<uint8_t> again;
        if (dm_frame_encode(header.sync, header.type,
                            bytes.subspan(DM_FRAME_HEADER_SIZE, header.length),
                            &again) != AUD_SUCCESS ||
            again.size() != DM_FRAME_HEADER_SIZE + header.length ||
            std::memcmp(again.data(), data, again.size()) != 0) {
            std::abort();
        }
    }
    return 0;
}
