#include "device/frame_codec.h"

#include "avn/runtime/byte_order.h"

namespace {

// Entry n is n * 0x1000 shifted four times through the polynomial 0x1021.
constexpr std::array<uint16_t, 16> make_nibble_table() {
    std::array<uint16_t, 16> table{};
    for (uint16_t n = 0; n < 16; ++n) {
        uint16_t crc = static_cast<uint16_t>(n << 12);
        for (int bit = 0; bit < 4; ++bit) {
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
        }
        table[n] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 16> kNibbleTable = make_nibble_table();
static_assert(kNibbleTable[1] == 0x1021 && kNibbleTable[15] == 0xF1EF);

uint16_t crc16_nibble(uint16_t crc, uint8_t nibble) {
    return static_cast<uint16_t>((crc << 4) ^ kNibbleTable[((crc >> 12) ^ nibble) & 0x0F]);
}

bool needs_escape(uint8_t byte) {
    return byte == kFrameStart || byte == kFrameEnd || byte == kFrameEscape;
}

}  // namespace

uint16_t crc16_xmodem(std::span<const uint8_t> bytes) {
    uint16_t crc = 0;
    for (uint8_t byte : bytes) {
        crc = crc16_nibble(crc, static_cast<uint8_t>(byte >> 4));
        crc = crc16_nibble(crc, static_cast<uint8_t>(byte & 0x0F));
    }
    return crc;
}

size_t encode_frame(std::span<const uint8_t> message, std::span<uint8_t> out) {
    size_t needed = 2;  // SOH and EOT
    for (uint8_t byte : message) {
        needed += needs_escape(byte) ? 2 : 1;
    }
    if (needed > out.size()) {
        return 0;
    }
    size_t pos = 0;
    out[pos++] = kFrameStart;
    for (uint8_t byte : message) {
        if (needs_escape(byte)) {
            out[pos++] = kFrameEscape;
        }
        out[pos++] = byte;
    }
    out[pos++] = kFrameEnd;
    return pos;
}

bool FrameDecoder::feed(std::span<const uint8_t> bytes) {
    for (uint8_t byte : bytes) {
        if (length_ >= kRestartLength) {
            length_ = 0;
        }
        if (escape_) {
            store(byte);
            continue;
        }
        switch (byte) {
            case kFrameStart:
                length_ = 0;
                break;
            case kFrameEnd:
                if (end_of_frame()) {
                    complete_ = true;
                    return true;
                }
                break;
            case kFrameEscape:
                escape_ = true;
                break;
            default:
                store(byte);
                break;
        }
    }
    return false;
}

void FrameDecoder::store(uint8_t byte) {
    buffer_[length_++] = byte;
    escape_ = false;
}

bool FrameDecoder::end_of_frame() {
    if (length_ <= 2) {
        return false;
    }
    const size_t body = length_ - 2;
    return byte_order::load_le16(&buffer_[body]) == crc16_xmodem({buffer_.data(), body});
}
