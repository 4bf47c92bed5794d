// Reply bytes come from the network: the decoder must never store past its
// buffer, and any frame it completes must carry a good CRC and decode safely.
#include <cstddef>
#include <cstdint>

#include "avn/runtime/byte_order.h"
#include "device/frame_codec.h"
#include "device/framed_command.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FrameDecoder decoder;
    // Feed in uneven chunks, as reads would deliver them.
    size_t pos = 0;
    size_t chunk = 1;
    while (pos < size) {
        const size_t n = chunk < size - pos ? chunk : size - pos;
        if (decoder.feed({data + pos, n})) {
            const auto frame = decoder.frame();
            if (frame.size() <= 2 ||
                byte_order::load_le16(&frame[frame.size() - 2]) !=
                    crc16_xmodem(frame.first(frame.size() - 2))) {
                __builtin_trap();
            }
            (void)decode_bootloader_version(frame);
            (void)decode_application_version(frame);
            decoder.clear_complete();
        }
        if (decoder.frame().size() > FrameDecoder::kRestartLength) {
            __builtin_trap();
        }
        pos += n;
        chunk = chunk * 2 % 97 + 1;
    }
    return 0;
}
