// Byte frames of the TPX-2's framed command protocol: CRC-16 (XMODEM),
// byte stuffing between SOH and EOT, and the receiving decoder.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr uint8_t kFrameStart = 0x01;   // SOH
inline constexpr uint8_t kFrameEnd = 0x04;     // EOT
inline constexpr uint8_t kFrameEscape = 0x10;  // DLE
inline constexpr size_t kFrameBufferSize = 2048;

// Polynomial 0x1021, initial 0, not reflected, no final XOR; four bits at a time.
uint16_t crc16_xmodem(std::span<const uint8_t> bytes);

// Frames a message (its CRC already appended) into `out`: SOH, the stuffed
// bytes, EOT. Returns the frame's length, or 0 when it does not fit.
size_t encode_frame(std::span<const uint8_t> message, std::span<uint8_t> out);

// Un-stuffs received bytes until a frame with a good CRC is complete.
class FrameDecoder {
public:
    // A frame that grows this long without completing is dropped.
    static constexpr size_t kRestartLength = 2046;

    // Feeds bytes in order. Stops at the end of the bytes or as soon as a
    // frame completes; the rest of `bytes` is then dropped. Returns true
    // when a frame completed.
    bool feed(std::span<const uint8_t> bytes);

    bool complete() const { return complete_; }
    void clear_complete() { complete_ = false; }

    // The un-stuffed bytes of the current frame: message bytes and CRC.
    std::span<uint8_t> frame() { return {buffer_.data(), length_}; }
    std::span<const uint8_t> frame() const { return {buffer_.data(), length_}; }
    void set_frame_length(size_t length) { length_ = length; }

private:
    void store(uint8_t byte);
    bool end_of_frame();

    std::array<uint8_t, kFrameBufferSize> buffer_{};
    size_t length_ = 0;
    bool escape_ = false;
    bool complete_ = false;
};
