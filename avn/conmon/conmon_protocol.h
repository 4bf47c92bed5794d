// The local conmon protocol between the conmon client and the local conmon
// server over loopback UDP: a 10-byte little-endian header, then an
// opcode-specific body. Builders for both sides, parsers, and the validation
// the client applies to every datagram from the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "avn/conmon/conmon_message.h"
#include "avn/runtime/aud_error.h"

inline constexpr uint16_t CONMON_PROTOCOL_VERSION = 0x1503;
inline constexpr uint16_t CONMON_PROTOCOL_VERSION_MIN = 0x1000;
inline constexpr uint16_t CONMON_PROTOCOL_VERSION_MAX = 0x1FFF;
// Versions from which body layouts change.
inline constexpr uint16_t CONMON_VERSION_PORT_FIELD = 0x1100;
inline constexpr uint16_t CONMON_VERSION_NEW_LAYOUT = 0x1200;
inline constexpr uint16_t CONMON_VERSION_STATUS_VALUES = 0x1300;
inline constexpr uint16_t CONMON_VERSION_KEEPALIVE_FIELD = 0x1400;

inline constexpr size_t CONMON_PROTOCOL_HEADER_SIZE = 10;
inline constexpr size_t CONMON_NAME_SIZE = 32;
inline constexpr size_t CONMON_TEXT_SIZE = 256;
inline constexpr size_t CONMON_PROTOCOL_MAX_MESSAGE_SIZE = 6940;
inline constexpr size_t CONMON_MAX_INTERFACES = 2;

enum : uint16_t {
    CONMON_OPCODE_KEEPALIVE = 0x000,
    CONMON_OPCODE_CONNECT = 0x100,
    CONMON_OPCODE_DISCONNECT = 0x101,
    CONMON_OPCODE_DEVICE_NAME = 0x200,
    CONMON_OPCODE_0x210 = 0x210,
    CONMON_OPCODE_REGISTER = 0x300,
    CONMON_OPCODE_UNREGISTER = 0x301,
    CONMON_OPCODE_SUBSCRIBE = 0x310,
    CONMON_OPCODE_UNSUBSCRIBE = 0x311,
    CONMON_OPCODE_0x320 = 0x320,
    CONMON_OPCODE_0x321 = 0x321,
    CONMON_OPCODE_CLEAR_REMOTE = 0x330,
    CONMON_OPCODE_CONTROL = 0x400,
    CONMON_OPCODE_0x401 = 0x401,
    CONMON_OPCODE_INTERFACES = 0x500,
    CONMON_OPCODE_LOCAL_NAME = 0x501,
    CONMON_OPCODE_LOCAL_TEXT = 0x502,
    CONMON_OPCODE_RX_MESSAGE = 0x510,
    CONMON_OPCODE_RX_NAMED_MESSAGE = 0x511,
    CONMON_OPCODE_0x520 = 0x520,
    CONMON_OPCODE_SUBSCRIPTIONS = 0x521,
};

// The kind-or-status field: 0 request, 1 response, 2 event, 3 and up errors.
enum : uint16_t {
    CONMON_STATUS_REQUEST = 0,
    CONMON_STATUS_RESPONSE = 1,
    CONMON_STATUS_EVENT = 2,
    CONMON_STATUS_INVALID_VERSION = 3,
    CONMON_STATUS_INVALID_SIZE = 4,
    CONMON_STATUS_INVALID_OPCODE = 5,
    CONMON_STATUS_INVALID_STATUS = 6,
    CONMON_STATUS_INVALID_DATA = 7,
    CONMON_STATUS_INTERNAL_ERROR = 8,
    CONMON_STATUS_NOT_SUPPORTED = 9,
    CONMON_STATUS_TIMEOUT = 10,
    CONMON_STATUS_INVALID_STATE = 11,
    CONMON_STATUS_NO_BUFFERS = 12,
    CONMON_STATUS_NOT_FOUND = 13,
};
inline constexpr uint16_t CONMON_STATUS_KIND_MASK = 0x0FFF;
// Marks a request whose sender waits for no response.
inline constexpr uint16_t CONMON_STATUS_NO_RESPONSE = 0xF000;
// Capability bit of the connect response: the server understands that marking.
inline constexpr uint16_t CONMON_CAPABILITY_NO_RESPONSE = 0x0001;

// "Request", "Invalid size", ...; "???" for an unknown value.
const char* conmon_status_name(uint16_t status);
// SUCCESS for 0 to 2, the matching error for the others, SYSTEM when unknown.
aud_error conmon_status_error(uint16_t status);

struct conmon_protocol_header {
    uint16_t version = 0;
    uint16_t length = 0;
    uint16_t request_id = 0;
    uint16_t opcode = 0;
    uint16_t status = 0;  // kind in the low 12 bits
};

// False when fewer than 10 bytes are given.
bool conmon_protocol_read_header(std::span<const uint8_t> message, conmon_protocol_header* header);
void conmon_protocol_write_header(std::span<uint8_t> message, const conmon_protocol_header& header);
void conmon_protocol_set_request_id(std::span<uint8_t> message, uint16_t request_id);
uint16_t conmon_protocol_kind(uint16_t status);

// 0 when the message is valid, else the status value naming the fault.
uint16_t conmon_protocol_validate(std::span<const uint8_t> message);

// ---- Requests (client to server). Each returns the message's length, or 0
// when it does not fit `out`. The request id is left 0 for the sender. ----

size_t conmon_build_header_only(std::span<uint8_t> out, uint16_t version, uint16_t opcode);
size_t conmon_build_connect(std::span<uint8_t> out, uint16_t version, const char* client_name,
                            bool auto_connect);
size_t conmon_build_register(std::span<uint8_t> out, uint16_t version, uint16_t opcode,
                             uint16_t channel_type, uint16_t direction, uint16_t port);
size_t conmon_build_subscribe(std::span<uint8_t> out, uint16_t version, uint16_t opcode,
                              uint16_t channel_type, uint16_t port, const char* device_name);
size_t conmon_build_control(std::span<uint8_t> out, uint16_t version, const char* device_name,
                            uint32_t timeout_seconds, uint32_t timeout_microseconds,
                            std::span<const uint8_t> conmon_message);

// ---- Parsed bodies ----

// One network interface of the local device, as the server describes it.
struct conmon_interface_record {
    uint32_t index = 0;
    uint32_t flags = 0;    // CONMON_INTERFACE_FLAG_*
    uint32_t address = 0;  // IPv4, network byte order
    uint32_t netmask = 0;  // network byte order
    uint8_t mac[6] = {};
    uint32_t link_speed = 0;  // Mbit/s

    // Field by field: the padding after `mac` holds nothing comparable.
    bool operator==(const conmon_interface_record&) const = default;
};
inline constexpr uint32_t CONMON_INTERFACE_FLAG_LINK_UP = 0x1;
inline constexpr size_t CONMON_INTERFACE_RECORD_SIZE = 36;
inline constexpr size_t CONMON_INTERFACE_RECORD_SIZE_OLD = 88;

struct conmon_connect_info {
    uint16_t capabilities = 0;
    char device_name[CONMON_NAME_SIZE + 1] = {};
    char device_text[CONMON_TEXT_SIZE + 1] = {};
    conmon_source source{};  // the local device id and process id
    size_t interface_count = 0;  // at most two are kept
    conmon_interface_record interfaces[CONMON_MAX_INTERFACES];
    uint32_t extra[2] = {};  // the two values of newer servers, kept as they are
};

// A validated CONNECT response of the given version.
bool conmon_parse_connect_response(std::span<const uint8_t> message, uint16_t version,
                                   conmon_connect_info* info);
// A validated INTERFACES event: at most two records.
bool conmon_parse_interfaces(std::span<const uint8_t> message, uint16_t version,
                             conmon_interface_record* records, size_t* count);

struct conmon_rx_message {
    uint16_t channel_type = 0;
    uint16_t direction = 0;
    uint8_t flags = 0;  // low two bits: kind of domain the message came from
    char sender[CONMON_NAME_SIZE + 1] = {};  // empty for RX_MESSAGE
    std::span<const uint8_t> message;        // head and body, its length field long
};
// A validated RX_MESSAGE or RX_NAMED_MESSAGE event.
bool conmon_parse_rx_message(std::span<const uint8_t> message, conmon_rx_message* rx);

// Subscription records (SUBSCRIPTIONS events and SUBSCRIBE responses).
inline constexpr uint16_t CONMON_SUBSCRIPTION_FLAG_RX_ADDRESS = 0x01;
inline constexpr uint16_t CONMON_SUBSCRIPTION_FLAG_DOMAIN_ADDRESS = 0x02;
inline constexpr uint16_t CONMON_SUBSCRIPTION_FLAG_SOURCE = 0x08;
inline constexpr uint16_t CONMON_SUBSCRIPTION_FLAG_SUBSCRIPTION = 0x100;
inline constexpr size_t CONMON_SUBSCRIPTION_RECORD_SIZE = 72;
inline constexpr size_t CONMON_SUBSCRIPTION_RECORD_SIZE_OLD = 48;

struct conmon_subscription_record {
    uint16_t flags = 0;
    uint16_t subscription_id = 0;
    char device_name[CONMON_NAME_SIZE + 1] = {};
    uint16_t channel_type = 0;
    uint8_t status[2] = {};
    uint32_t key = 0;
    conmon_source source{};
    uint32_t rx_address = 0;  // network byte order
    uint16_t rx_port = 0;
    uint8_t domain_route[8] = {};
};

// Number of records in a validated SUBSCRIPTIONS event or SUBSCRIBE
// response, and one record by position.
size_t conmon_subscription_record_count(std::span<const uint8_t> message, uint16_t version);
bool conmon_parse_subscription_record(std::span<const uint8_t> message, uint16_t version,
                                      size_t position, conmon_subscription_record* record);

// ---- Server side (the simulated network and tests) ----

size_t conmon_build_response(std::span<uint8_t> out, const conmon_protocol_header& request,
                             uint16_t status, std::span<const uint8_t> body = {});
size_t conmon_build_connect_response(std::span<uint8_t> out, const conmon_protocol_header& request,
                                     uint16_t version, const conmon_connect_info& info);
size_t conmon_build_interfaces_event(std::span<uint8_t> out, uint16_t version,
                                     std::span<const conmon_interface_record> records);
size_t conmon_build_name_event(std::span<uint8_t> out, uint16_t version, uint16_t opcode,
                               const char* name);
size_t conmon_build_text_event(std::span<uint8_t> out, uint16_t version, const char* text);
size_t conmon_build_rx_message(std::span<uint8_t> out, uint16_t version, uint16_t channel_type,
                               uint16_t direction, uint8_t flags,
                               std::span<const uint8_t> conmon_message);
size_t conmon_build_rx_named_message(std::span<uint8_t> out, uint16_t version,
                                     uint16_t channel_type, uint16_t direction,
                                     const char* sender, std::span<const uint8_t> conmon_message);
// SUBSCRIPTIONS event (opcode SUBSCRIPTIONS, kind event) or SUBSCRIBE
// response (pass the request's header and opcode SUBSCRIBE).
size_t conmon_build_subscriptions(std::span<uint8_t> out, uint16_t version,
                                  const conmon_protocol_header* response_to,
                                  std::span<const conmon_subscription_record> records);

// Request fields the server reads.
struct conmon_request_fields {
    char name[CONMON_NAME_SIZE + 1] = {};  // CONNECT client, SUBSCRIBE / CONTROL device
    uint16_t channel_type = 0;
    uint16_t direction = 0;
    uint16_t port = 0;
    uint16_t keepalive = 0;
    uint16_t channel = 0;  // CONTROL channel field
    uint32_t timeout_seconds = 0;
    uint32_t timeout_microseconds = 0;
    std::span<const uint8_t> conmon_message;  // CONTROL
};
// The fields of a request (kind 0) that passes validation; false for anything else.
bool conmon_parse_request(std::span<const uint8_t> message, conmon_request_fields* fields);
