// The framed command exchange with a TPX-2: one command at a time, resent at
// a fixed interval until a reply with a good CRC and the right type (and
// sequence number) arrives or the attempts run out. Used for the version
// queries.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "device/frame_codec.h"
#include "device/transport.h"

enum FramedCommandType : uint8_t {
    CMD_BOOTLOADER_VERSION = 1,
    CMD_APPLICATION_VERSION = 9,
};

inline constexpr uint16_t kVersionQueryAttempts = 5;
inline constexpr uint16_t kVersionQueryIntervalMs = 500;

class FramedCommandLink {
public:
    // Takes ownership of the transport; the link's destructor closes it (if
    // open) and deletes it.
    explicit FramedCommandLink(std::unique_ptr<Transport> transport);
    ~FramedCommandLink();
    FramedCommandLink(const FramedCommandLink&) = delete;
    FramedCommandLink& operator=(const FramedCommandLink&) = delete;

    Transport& transport() { return *transport_; }

    // Sends the command and waits for its reply. False when the transport is
    // not open, the type is refused, the message does not fit a frame, or no
    // matching reply came before the attempts ran out. Types with fixed
    // retry rules ignore the caller's attempts and interval.
    bool send_command(uint8_t type, std::span<const uint8_t> data, uint16_t attempts,
                      uint16_t interval_ms);

    // The accepted reply: type byte, payload, two CRC bytes (a sequenced
    // reply is rewritten into this unsequenced form).
    std::span<const uint8_t> reply_message() const { return decoder_.frame(); }

    uint32_t sequence_number() const { return sequence_number_; }

private:
    enum class SendState { NotSent, Waiting };

    bool assemble(uint8_t type, std::span<const uint8_t> data, uint16_t& attempts,
                  uint16_t& interval_ms);
    uint32_t next_sequence_number(uint8_t type);
    void resend_step();
    bool receive_step(bool& matched);
    bool reply_matches() const;
    void strip_sequence_number();

    std::unique_ptr<Transport> transport_;
    std::array<uint8_t, kFrameBufferSize> frame_{};
    size_t frame_length_ = 0;
    FrameDecoder decoder_;
    uint8_t command_type_ = 0;
    uint16_t attempts_left_ = 0;
    uint32_t sequence_number_ = 0;
    bool gave_up_ = false;
    SendState send_state_ = SendState::NotSent;
    uint16_t interval_ms_ = 0;
    uint64_t next_resend_ms_ = 0;
};

// Decoded from an accepted reply; nothing when its payload is too short.
std::optional<uint16_t> decode_bootloader_version(std::span<const uint8_t> reply_message);
std::optional<uint32_t> decode_application_version(std::span<const uint8_t> reply_message);

// "%u.%u" of (major, minor).
std::string format_bootloader_version(uint16_t version);
std::string format_application_version(uint32_t version);
