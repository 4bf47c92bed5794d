#include "avn/conmon/conmon_message.h"

#include <cstring>

#include "avn/runtime/byte_order.h"

namespace {

constexpr size_t kTypeOffset = 0;
constexpr size_t kLengthOffset = 2;
constexpr size_t kSequenceOffset = 4;
constexpr size_t kProcessIdOffset = 6;
constexpr size_t kDeviceIdOffset = 8;
constexpr size_t kVendorIdOffset = 16;

constexpr const char* kChannelTypeNames[CONMON_NUM_CHANNEL_TYPES] = {
    "control", "metering", "status", "broadcast", "local",
    "serial", "keepalive", "vendor_broadcast", "monitoring",
};

const uint8_t* bytes_of(const conmon_message* message) {
    return reinterpret_cast<const uint8_t*>(message);
}

}  // namespace

const char* conmon_channel_type_name(uint16_t channel_type) {
    return channel_type < CONMON_NUM_CHANNEL_TYPES ? kChannelTypeNames[channel_type] : "???";
}

bool conmon_message_is_valid(std::span<const uint8_t> bytes) {
    return bytes.size() >= CONMON_MESSAGE_HEAD_SIZE &&
           byte_order::load_be16(&bytes[kLengthOffset]) == bytes.size();
}

const conmon_message* conmon_message_from_bytes(const uint8_t* bytes) {
    return reinterpret_cast<const conmon_message*>(bytes);
}

uint16_t conmon_message_type(const conmon_message* message) {
    return byte_order::load_be16(bytes_of(message) + kTypeOffset);
}

uint16_t conmon_message_length(const conmon_message* message) {
    return byte_order::load_be16(bytes_of(message) + kLengthOffset);
}

uint16_t conmon_message_body_size(const conmon_message* message) {
    const uint16_t length = conmon_message_length(message);
    return length >= CONMON_MESSAGE_HEAD_SIZE
               ? static_cast<uint16_t>(length - CONMON_MESSAGE_HEAD_SIZE)
               : 0;
}

uint16_t conmon_message_sequence(const conmon_message* message) {
    return byte_order::load_be16(bytes_of(message) + kSequenceOffset);
}

conmon_source conmon_message_source(const conmon_message* message) {
    conmon_source source{};
    std::memcpy(source.device_id, bytes_of(message) + kDeviceIdOffset, CONMON_DEVICE_ID_SIZE);
    source.process_id = byte_order::load_be16(bytes_of(message) + kProcessIdOffset);
    return source;
}

const uint8_t* conmon_message_vendor_id(const conmon_message* message) {
    return bytes_of(message) + kVendorIdOffset;
}

const uint8_t* conmon_message_body(const conmon_message* message) {
    return bytes_of(message) + CONMON_MESSAGE_HEAD_SIZE;
}

aud_error conmon_message_build(std::span<uint8_t> out, uint16_t type,
                               const uint8_t vendor_id[CONMON_VENDOR_ID_SIZE],
                               std::span<const uint8_t> body, size_t* out_size) {
    if (body.size() > CONMON_MESSAGE_MAX_BODY_SIZE || vendor_id == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const size_t length = CONMON_MESSAGE_HEAD_SIZE + body.size();
    if (out.size() < length) {
        return AUD_ERR_NOBUFS;
    }
    std::memset(out.data(), 0, CONMON_MESSAGE_HEAD_SIZE);
    byte_order::store_be16(&out[kTypeOffset], type);
    byte_order::store_be16(&out[kLengthOffset], static_cast<uint16_t>(length));
    std::memcpy(&out[kVendorIdOffset], vendor_id, CONMON_VENDOR_ID_SIZE);
    if (!body.empty()) {
        std::memcpy(&out[CONMON_MESSAGE_HEAD_SIZE], body.data(), body.size());
    }
    if (out_size != nullptr) {
        *out_size = length;
    }
    return AUD_SUCCESS;
}

void conmon_message_set_origin(uint8_t* message, uint16_t sequence, const conmon_source& source) {
    byte_order::store_be16(message + kSequenceOffset, sequence);
    byte_order::store_be16(message + kProcessIdOffset, source.process_id);
    std::memcpy(message + kDeviceIdOffset, source.device_id, CONMON_DEVICE_ID_SIZE);
}
