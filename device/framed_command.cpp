#include "device/framed_command.h"

#include <algorithm>
#include <cstdio>

#include "avn/runtime/byte_order.h"
#include "device/sync_event.h"

namespace {

constexpr uint8_t kSequencedBit = 0x80;
constexpr size_t kSequenceSize = 4;
constexpr size_t kCrcSize = 2;
constexpr size_t kReceiveBufferSize = 2038;
constexpr size_t kFixedPayloadSize = 72;

enum class Payload { None, Bytes, Fixed72, Text };

struct CommandRule {
    Payload payload;
    std::optional<uint16_t> attempts;     // fixed, or the caller's value
    std::optional<uint16_t> interval_ms;  // fixed, or the caller's value
};

// Every accepted sequenced type is an accepted plain type with bit 7 set.
std::optional<CommandRule> rule_for(uint8_t type) {
    switch (type & ~kSequencedBit) {
        case 1: case 2: case 5: case 7: case 9: case 12: case 14: case 15: case 16:
            return CommandRule{Payload::None, {}, {}};
        case 3:
            return CommandRule{Payload::Bytes, {}, {}};
        case 4:
            return CommandRule{Payload::None, 1, 10};
        case 6:
            return CommandRule{Payload::Fixed72, {}, {}};
        case 10:
            return CommandRule{Payload::Text, {}, {}};
        case 11: case 13:
            return CommandRule{Payload::None, 1, {}};
        default:
            return std::nullopt;
    }
}

bool is_sequenced(uint8_t type) {
    return (type & kSequencedBit) != 0;
}

std::optional<std::span<const uint8_t>> payload_for(Payload kind, std::span<const uint8_t> data) {
    switch (kind) {
        case Payload::None:
            return std::span<const uint8_t>{};
        case Payload::Bytes:
            return data;
        case Payload::Fixed72:
            if (data.size() < kFixedPayloadSize) {
                return std::nullopt;
            }
            return data.first(kFixedPayloadSize);
        case Payload::Text: {
            // The text up to and including its terminator.
            auto end = std::find(data.begin(), data.end(), uint8_t{0});
            if (end == data.end()) {
                return std::nullopt;
            }
            return data.first(static_cast<size_t>(end - data.begin()) + 1);
        }
    }
    return std::nullopt;
}

std::span<const uint8_t> reply_payload(std::span<const uint8_t> reply) {
    if (reply.size() < 1 + kCrcSize) {
        return {};
    }
    return reply.subspan(1, reply.size() - 1 - kCrcSize);
}

}  // namespace

FramedCommandLink::FramedCommandLink(std::unique_ptr<Transport> transport)
    : transport_(std::move(transport)) {}

FramedCommandLink::~FramedCommandLink() {
    if (transport_ && transport_->is_open()) {
        transport_->close();
    }
}

uint32_t FramedCommandLink::next_sequence_number(uint8_t type) {
    if (type == 1 || type == 129) {
        sequence_number_ = 0;
    }
    if (is_sequenced(type)) {
        if (++sequence_number_ == 0) {
            sequence_number_ = 1;
        }
    }
    return sequence_number_;
}

bool FramedCommandLink::assemble(uint8_t type, std::span<const uint8_t> data, uint16_t& attempts,
                                 uint16_t& interval_ms) {
    const std::optional<CommandRule> rule = rule_for(type);
    if (!rule) {
        return false;
    }
    const std::optional<std::span<const uint8_t>> payload = payload_for(rule->payload, data);
    if (!payload) {
        return false;
    }
    const size_t header = 1 + (is_sequenced(type) ? kSequenceSize : 0);
    std::array<uint8_t, kFrameBufferSize> message{};
    if (header + payload->size() + kCrcSize > message.size()) {
        return false;
    }
    message[0] = type;
    const uint32_t sequence = next_sequence_number(type);
    if (is_sequenced(type)) {
        byte_order::store_be32(&message[1], sequence);
    }
    std::copy(payload->begin(), payload->end(), message.begin() + static_cast<ptrdiff_t>(header));
    const size_t body = header + payload->size();
    byte_order::store_le16(&message[body], crc16_xmodem({message.data(), body}));

    frame_length_ = encode_frame({message.data(), body + kCrcSize}, frame_);
    if (frame_length_ == 0) {
        return false;  // the stuffed frame would not fit the frame buffer
    }
    attempts = rule->attempts.value_or(attempts);
    interval_ms = rule->interval_ms.value_or(interval_ms);
    return true;
}

bool FramedCommandLink::send_command(uint8_t type, std::span<const uint8_t> data,
                                     uint16_t attempts, uint16_t interval_ms) {
    if (!transport_ || !transport_->is_open()) {
        return false;
    }
    if (!assemble(type, data, attempts, interval_ms)) {
        return false;
    }
    if (attempts == 0) {
        return false;  // nothing would ever be sent, and so nothing answered
    }
    command_type_ = type;
    interval_ms_ = interval_ms;
    send_state_ = SendState::NotSent;
    attempts_left_ = attempts;
    gave_up_ = false;

    for (;;) {
        resend_step();
        bool matched = false;
        if (!receive_step(matched)) {
            gave_up_ = false;
            decoder_.clear_complete();
            return false;
        }
        if (matched) {
            if (is_sequenced(command_type_)) {
                strip_sequence_number();
            }
            send_state_ = SendState::NotSent;
            return true;
        }
    }
}

void FramedCommandLink::resend_step() {
    const std::span<const uint8_t> frame{frame_.data(), frame_length_};
    if (send_state_ == SendState::NotSent) {
        if (attempts_left_ > 0) {
            transport_->write(frame, interval_ms_);  // a failed write still uses an attempt
            --attempts_left_;
            send_state_ = SendState::Waiting;
            next_resend_ms_ = tick_count_ms() + interval_ms_;
        }
        return;
    }
    if (attempts_left_ == 0) {
        gave_up_ = true;
        send_state_ = SendState::NotSent;
        return;
    }
    if (tick_count_ms() > next_resend_ms_) {
        next_resend_ms_ = tick_count_ms() + interval_ms_;
        transport_->write(frame, interval_ms_);
        --attempts_left_;
    }
}

// Polls once. Returns false when the exchange has to give up; sets `matched`
// when a reply to the command arrived.
bool FramedCommandLink::receive_step(bool& matched) {
    std::array<uint8_t, kReceiveBufferSize> received;
    const size_t n = transport_->read(received, 0);
    if (decoder_.feed({received.data(), std::min(n, received.size())})) {
        decoder_.clear_complete();
        matched = reply_matches();
        return true;
    }
    return !gave_up_ && transport_->is_open();
}

bool FramedCommandLink::reply_matches() const {
    const std::span<const uint8_t> reply = decoder_.frame();
    if (reply.empty() || reply[0] != command_type_) {
        return false;
    }
    if (!is_sequenced(command_type_)) {
        return true;
    }
    return reply.size() >= 1 + kSequenceSize + kCrcSize &&
           byte_order::load_be32(&reply[1]) == sequence_number_;
}

void FramedCommandLink::strip_sequence_number() {
    std::span<uint8_t> reply = decoder_.frame();
    const size_t body = reply.size() - kCrcSize - kSequenceSize;
    reply[0] = static_cast<uint8_t>(command_type_ & ~kSequencedBit);
    std::copy(reply.begin() + 1 + kSequenceSize, reply.end() - kCrcSize, reply.begin() + 1);
    byte_order::store_le16(&reply[body], crc16_xmodem(reply.first(body)));
    decoder_.set_frame_length(body + kCrcSize);
}

std::optional<uint16_t> decode_bootloader_version(std::span<const uint8_t> reply_message) {
    const std::span<const uint8_t> payload = reply_payload(reply_message);
    if (payload.size() < 2) {
        return std::nullopt;
    }
    return byte_order::load_be16(payload.data());
}

std::optional<uint32_t> decode_application_version(std::span<const uint8_t> reply_message) {
    const std::span<const uint8_t> payload = reply_payload(reply_message);
    if (payload.size() < 4) {
        return std::nullopt;
    }
    return byte_order::load_le32(payload.data());
}

std::string format_bootloader_version(uint16_t version) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u", unsigned{version} >> 8, unsigned{version} & 0xFFu);
    return text;
}

std::string format_application_version(uint32_t version) {
    char text[24];
    std::snprintf(text, sizeof text, "%u.%u", static_cast<unsigned>(version >> 16),
                  static_cast<unsigned>(version & 0xFFFFu));
    return text;
}
