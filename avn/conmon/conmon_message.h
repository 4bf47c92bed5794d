// Conmon messages as AVN devices exchange them: a 24-byte head in network
// byte order, then the body. A vendor-specific message carries the vendor's
// 8-byte manufacturer ID in its head.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "avn/runtime/aud_error.h"

enum : uint16_t {
    CONMON_CHANNEL_TYPE_CONTROL = 0,
    CONMON_CHANNEL_TYPE_METERING = 1,
    CONMON_CHANNEL_TYPE_STATUS = 2,
    CONMON_CHANNEL_TYPE_BROADCAST = 3,
    CONMON_CHANNEL_TYPE_LOCAL = 4,
    CONMON_CHANNEL_TYPE_SERIAL = 5,
    CONMON_CHANNEL_TYPE_KEEPALIVE = 6,
    CONMON_CHANNEL_TYPE_VENDOR_BROADCAST = 7,
    CONMON_CHANNEL_TYPE_MONITORING = 8,
    CONMON_NUM_CHANNEL_TYPES = 9,
};

// Direction of received messages: those of the local device, or of remote ones.
enum : uint16_t {
    CONMON_DIRECTION_LOCAL = 0,
    CONMON_DIRECTION_REMOTE = 1,
};

inline constexpr size_t CONMON_MESSAGE_HEAD_SIZE = 24;
inline constexpr size_t CONMON_MESSAGE_MAX_BODY_SIZE = 1448;
inline constexpr size_t CONMON_MESSAGE_MAX_BODY_SIZE_DOMAIN = 1320;
inline constexpr size_t CONMON_VENDOR_ID_SIZE = 8;
inline constexpr size_t CONMON_DEVICE_ID_SIZE = 8;

// Messages with this manufacturer ID need a body of at least 8 bytes.
inline constexpr uint8_t CONMON_VENDOR_ID_AVN_CORE[CONMON_VENDOR_ID_SIZE] = {
    'A', 'V', 'N', '-', 'C', 'O', 'R', 'E'};

// "control", "metering", ...; "???" outside the table.
const char* conmon_channel_type_name(uint16_t channel_type);

struct conmon_source {
    uint8_t device_id[CONMON_DEVICE_ID_SIZE];
    uint16_t process_id;

    bool operator==(const conmon_source&) const = default;
};

// A conmon message in memory: the head bytes, followed by the body. Only
// ever handled through a pointer to validated bytes.
struct conmon_message;

// True when `bytes` hold a whole message: at least a head, and the head's
// length field equal to the size.
bool conmon_message_is_valid(std::span<const uint8_t> bytes);
const conmon_message* conmon_message_from_bytes(const uint8_t* bytes);

uint16_t conmon_message_type(const conmon_message* message);
uint16_t conmon_message_length(const conmon_message* message);
uint16_t conmon_message_body_size(const conmon_message* message);
uint16_t conmon_message_sequence(const conmon_message* message);
conmon_source conmon_message_source(const conmon_message* message);
const uint8_t* conmon_message_vendor_id(const conmon_message* message);
const uint8_t* conmon_message_body(const conmon_message* message);

// Writes a message for the local server: type, length, manufacturer ID and
// body, with sequence and source zero. INVALIDPARAMETER for a body above
// 1448 bytes, NOBUFS when `out` is too small. `out_size` gets the length.
aud_error conmon_message_build(std::span<uint8_t> out, uint16_t type,
                               const uint8_t vendor_id[CONMON_VENDOR_ID_SIZE],
                               std::span<const uint8_t> body, size_t* out_size);

// Fills the sequence number and source of a built message (domain relay).
void conmon_message_set_origin(uint8_t* message, uint16_t sequence, const conmon_source& source);
