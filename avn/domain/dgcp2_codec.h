// DGCP2 messages: the fixed header (10 bytes, or 20 with the client's id)
// and the offset-tree body with its typed values. Pure byte handling, shared
// by the DGCP2 client and by anything that plays the server side.
//
// A body is a tree of nodes addressed by 16-bit offsets counted from the
// start of the body. An array node is a 16-bit count followed by that many
// 16-bit slots; a slot holds an inline value or the offset of another node
// (a narrow string, a UTF-32 string, a 32-bit number, raw bytes or another
// array). Writers append at the end of the body and fail with MSGSIZE,
// leaving the body untouched, when the node would not fit. Readers check
// every offset against the body's length and alignment and fail with
// INVALIDPARAMETER when it is misaligned or outside the body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "avn/runtime/aud_error.h"

inline constexpr size_t DGCP2_MESSAGE_SIZE = 1472;
inline constexpr size_t DGCP2_CLIENT_ID_SIZE = 8;

// Header types: 1 is the short header, 2 carries the client's port and id.
enum : int {
    DGCP2_HEADER_TYPE_1 = 1,
    DGCP2_HEADER_TYPE_2 = 2,
};
inline constexpr uint16_t DGCP2_HEADER_SIZE_TYPE_1 = 10;
inline constexpr uint16_t DGCP2_HEADER_SIZE_TYPE_2 = 20;

// Opcodes the client itself gives a meaning to.
enum : uint16_t {
    DGCP2_OPCODE_KEEPALIVE = 0x0000,
    DGCP2_OPCODE_CONNECT = 0x0001,
    DGCP2_OPCODE_DISCONNECT = 0x0002,
};

// The header's kind field: what a message is, or why a request failed.
enum : uint16_t {
    DGCP2_KIND_REQUEST = 0x0000,
    DGCP2_KIND_RESPONSE = 0x0001,
    DGCP2_KIND_EVENT = 0x0002,
    DGCP2_KIND_OPCODE_ERROR = 0x0030,
    DGCP2_KIND_UNRECOGNISED_OPCODE = 0x0031,
    DGCP2_KIND_UNSUPPORTED_OPCODE = 0x0032,
    DGCP2_KIND_SERVER_ERROR = 0x0080,
    DGCP2_KIND_NOT_CONNECTED = 0x0081,
    DGCP2_KIND_TOO_MANY_CLIENTS = 0x0082,
    DGCP2_KIND_INVALID_API = 0x0100,
    DGCP2_KIND_INVALID_DATA = 0x0101,
    DGCP2_KIND_INVALID_STATE = 0x0102,
    DGCP2_KIND_SYSTEM_ERROR = 0x0103,
};

// "Request", "Not connected", ...; "?" for kinds without a name.
const char* dgcp2_kind_name(uint16_t kind);
// The result a response of this kind stands for: SUCCESS for requests,
// responses and events, the matching error otherwise, SYSTEM when unknown.
aud_error dgcp2_kind_error(uint16_t kind);

// The 8-byte id and UDP port that a type-2 header carries.
struct dgcp2_client_id {
    uint8_t id[DGCP2_CLIENT_ID_SIZE];
    uint16_t port;
};

// One message in a fixed buffer: the header, then the body.
struct dgcp2_message {
    uint8_t bytes[DGCP2_MESSAGE_SIZE];
    uint16_t header_size;    // 10 or 20
    uint16_t body_capacity;  // 1462 or 1452
};

// An empty message (the length field holds the header size) of the header
// type; INVALIDPARAMETER for another type or no message.
aud_error dgcp2_message_init(dgcp2_message* message, int header_type);

// Writes protocol id, opcode and kind, sequence number 0, and empties the
// body. The client id of a type-2 header is left as it is.
void dgcp2_message_write_header(dgcp2_message* message, uint16_t protocol_id, uint16_t opcode,
                                uint16_t kind);
// Copies the request's header (protocol id, sequence number, opcode and
// client id) into `response` with the kind given, and empties its body.
// Both messages must have the same header type (INVALIDPARAMETER otherwise).
aud_error dgcp2_message_init_response(dgcp2_message* response, const dgcp2_message* request,
                                      uint16_t kind);

uint16_t dgcp2_message_get_protocol_id(const dgcp2_message* message);
// The length field: header and body together.
uint16_t dgcp2_message_get_length(const dgcp2_message* message);
uint16_t dgcp2_message_get_seqnum(const dgcp2_message* message);
uint16_t dgcp2_message_get_opcode(const dgcp2_message* message);
uint16_t dgcp2_message_get_kind(const dgcp2_message* message);
void dgcp2_message_set_seqnum(dgcp2_message* message, uint16_t seqnum);
void dgcp2_message_set_kind(dgcp2_message* message, uint16_t kind);
// Type-2 headers only: the client's id and port (all zero for type 1).
dgcp2_client_id dgcp2_message_get_client_id(const dgcp2_message* message);
void dgcp2_message_set_client_id(dgcp2_message* message, const dgcp2_client_id* id);

// The bytes to send: the header's length of bytes, at most the buffer.
std::span<const uint8_t> dgcp2_message_bytes(const dgcp2_message* message);

// Checks a datagram of `size` bytes received into the message's buffer:
// TRUNCATED when it is shorter than the header, INVALIDDATA when the length
// field differs from its size, MSGSIZE when it is larger than the buffer.
aud_error dgcp2_message_check_received(const dgcp2_message* message, size_t size);
// Prepares a message of the header type from a received datagram and checks
// it as above (the message holds the datagram's first bytes on failure).
aud_error dgcp2_message_load(dgcp2_message* message, int header_type,
                             std::span<const uint8_t> datagram);

// ---- Body ----

// The body's bytes: length field minus header size (clamped to the buffer).
std::span<const uint8_t> dgcp2_message_body(const dgcp2_message* message);
uint16_t dgcp2_message_body_size(const dgcp2_message* message);

// Empties the body (the length field holds the header size again).
void dgcp2_message_clear_body(dgcp2_message* message);

// Writers. Each appends one node, aligned as its type needs (pad bytes are
// zero), and stores the node's body offset in *offset when given.
// An array of `count` slots, all zero.
aud_error dgcp2_body_add_array(dgcp2_message* message, uint16_t count, uint16_t* offset);
// Fills slot `index` of the array at `array` with an inline value or the
// offset of another node; INVALIDPARAMETER when there is no such slot.
aud_error dgcp2_body_set_slot(dgcp2_message* message, uint16_t array, uint16_t index,
                              uint16_t value);
// The characters, a zero byte, and a pad byte when needed to make the length
// even.
aud_error dgcp2_body_add_string(dgcp2_message* message, std::string_view text, uint16_t* offset);
// Four bytes at a multiple of four.
aud_error dgcp2_body_add_u32(dgcp2_message* message, uint32_t value, uint16_t* offset);
// Each UTF-16 code unit as a 32-bit number, then a 32-bit zero; the text
// ends at its first zero unit, if it has one.
aud_error dgcp2_body_add_utf32(dgcp2_message* message, std::u16string_view text, uint16_t* offset);
// `size` bytes (zeros when `data` is none), one pad byte when `size` is odd.
aud_error dgcp2_body_add_bytes(dgcp2_message* message, const void* data, uint16_t size,
                               uint16_t* offset);

// Readers. `limit` is the size of the output buffer, terminator included.
// The root array at offset 0: NODATA when the body has none or it is empty.
aud_error dgcp2_body_read_root(const dgcp2_message* message, uint16_t* count);
aud_error dgcp2_body_read_array(const dgcp2_message* message, uint16_t offset, uint16_t* count);
aud_error dgcp2_body_read_slot(const dgcp2_message* message, uint16_t array, uint16_t index,
                               uint16_t* value);
// At most limit - 1 characters, ending at the zero byte or the body's end.
aud_error dgcp2_body_read_string(const dgcp2_message* message, uint16_t offset, char* out,
                                 size_t limit);
aud_error dgcp2_body_read_u32(const dgcp2_message* message, uint16_t offset, uint32_t* value);
// Units up to the zero, the body's end or limit - 1 units, each unit's low
// 16 bits (a unit whose low 16 bits are zero ends the text too); the output
// is zero-terminated.
aud_error dgcp2_body_read_utf32(const dgcp2_message* message, uint16_t offset, char16_t* out,
                                size_t limit);
aud_error dgcp2_body_read_bytes(const dgcp2_message* message, uint16_t offset, void* out,
                                uint16_t size);
