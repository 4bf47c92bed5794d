// The connection-manager (CMM) protocol carried by DGCP2: its records
// (interfaces, interface sets, options, processes, the system state), the
// bodies of its messages in both directions, the accessors and helpers over
// the records, and their diagnostic dumps.
//
// CMM messages are DGCP2 messages with protocol id 0x1001 and the 20-byte
// header. The body builders and readers here serve the client and any
// server-side implementation of the service alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "avn/domain/dgcp2_codec.h"
#include "avn/runtime/aud_error.h"

struct aud_log;

inline constexpr uint16_t CMM_PROTOCOL_ID = 0x1001;
inline constexpr uint16_t CMM_DEFAULT_PORT = 8850;
inline constexpr int CMM_HEADER_TYPE = DGCP2_HEADER_TYPE_2;

enum : uint16_t {
    CMM_OPCODE_KEEPALIVE = 0x0000,
    CMM_OPCODE_CONNECT = 0x0001,
    CMM_OPCODE_DISCONNECT = 0x0002,
    CMM_OPCODE_OPTIONS = 0x0100,     // event from the service
    CMM_OPCODE_STATE = 0x0101,       // event from the service
    CMM_OPCODE_SET_CONFIG = 0x0110,  // request; the response carries the state
};

enum : size_t {
    CMM_INTERFACE_NAME_SIZE = 64,  // UTF-16 code units with the terminator
    CMM_MAC_SIZE = 6,
    CMM_SET_INTERFACES = 2,  // primary and secondary
    CMM_MAX_OPTIONS = 16,
    CMM_MAX_PROCESSES = 16,
    CMM_PROCESS_NAME_SIZE = 64,
    CMM_DEVICE_NAME_SIZE = 32,
    CMM_CLIENT_NAME_SIZE = 64,
};

// cmm_state.status
enum : uint16_t {
    CMM_STATUS_UNKNOWN = 0,
    CMM_STATUS_READY = 1,
    CMM_STATUS_CHANGING = 2,
    CMM_STATUS_INVALID_CONFIG = 3,
    CMM_STATUS_OPTIONS_CHANGED = 4,
};

// cmm_system_config.flags
enum : uint32_t {
    CMM_CONFIG_INTERFACES = 0x1,  // the interface set is given
    CMM_CONFIG_LOCK = 0x2,        // the lock value is given
};

// One network interface as the service names it. An all-zero interface
// (empty name, zero MAC) names no interface.
struct cmm_interface {
    char16_t name[CMM_INTERFACE_NAME_SIZE];  // zero-terminated
    uint8_t mac[CMM_MAC_SIZE];
};

// The interfaces of one configuration: primary, then secondary.
struct cmm_interface_set {
    uint16_t count;
    cmm_interface interfaces[CMM_SET_INTERFACES];
};

// The interfaces the service offers.
struct cmm_options {
    uint16_t count;
    cmm_interface interfaces[CMM_MAX_OPTIONS];
};

// One attached client process.
struct cmm_process {
    char name[CMM_PROCESS_NAME_SIZE];  // zero-terminated
    uint32_t process_id;
    uint32_t flag;  // 0 or 1
};

// The service's system state.
struct cmm_state {
    uint16_t status;
    char device_name[CMM_DEVICE_NAME_SIZE];  // zero-terminated
    cmm_interface_set current_config;
    cmm_interface_set pending_config;  // all zero when none
    uint16_t process_count;
    cmm_process processes[CMM_MAX_PROCESSES];
};

// Held records are compared byte for byte: none may have padding.
static_assert(std::has_unique_object_representations_v<cmm_options>);
static_assert(std::has_unique_object_representations_v<cmm_state>);

// What a SET_CONFIG request asks for.
struct cmm_system_config {
    uint32_t flags;                       // CMM_CONFIG_*
    const cmm_interface_set* interfaces;  // with CMM_CONFIG_INTERFACES
    uint32_t lock;                        // with CMM_CONFIG_LOCK
};

// A SET_CONFIG request as the service reads it.
struct cmm_config_request {
    uint32_t flags;
    cmm_interface_set interfaces;  // all zero without CMM_CONFIG_INTERFACES
    uint32_t lock;                 // 0 or 1
};

// The registration a CONNECT request carries.
struct cmm_registration {
    char name[CMM_CLIENT_NAME_SIZE];  // at most 63 characters
    uint32_t process_id;
    uint32_t own_process;  // 0 or 1
};

// What a CONNECT response carries; its meaning is the service's business.
struct cmm_connection_info {
    uint8_t bytes[2];
    uint16_t words[2];
};

// "Unknown", "Ready", "Changing", "Invalid Config", "Options Changed"; "???"
// for any other value.
const char* cmm_status_name(uint16_t status);

// ---- Bodies ----
// Encoders replace the message's body and keep its header. MSGSIZE when the
// body would not fit; INVALIDPARAMETER for a missing argument. Decoders read
// the body into a cleared record: on failure the record is all zero.
// Decoding errors: INVALIDPARAMETER for an offset outside the body or
// misaligned, NODATA for a missing or empty root array, INVALIDDATA for a
// node with fewer slots than it needs.

aud_error cmm_encode_connect_request(dgcp2_message* message, const cmm_registration* registration);
aud_error cmm_decode_connect_request(const dgcp2_message* message, cmm_registration* out);
aud_error cmm_encode_connect_response(dgcp2_message* message, const cmm_connection_info* info);
aud_error cmm_decode_connect_response(const dgcp2_message* message, cmm_connection_info* out);
// Writes "writing lock value %d" to standard error when the lock is given.
aud_error cmm_encode_set_config_request(dgcp2_message* message, const cmm_system_config* config);
aud_error cmm_decode_set_config_request(const dgcp2_message* message, cmm_config_request* out);
// At most 16 interfaces are written and read.
aud_error cmm_encode_options(dgcp2_message* message, const cmm_options* options);
aud_error cmm_decode_options(const dgcp2_message* message, cmm_options* out);
// The body of a STATE event and of a SET_CONFIG response. A pending
// configuration without interfaces is written as none.
aud_error cmm_encode_state(dgcp2_message* message, const cmm_state* state);
aud_error cmm_decode_state(const dgcp2_message* message, cmm_state* out);

// ---- Whole messages, as the service sends them ----

// An event of the opcode with the service's sequence number and the
// client's id, its body encoded from the record.
aud_error cmm_build_options_event(dgcp2_message* out, uint16_t seqnum,
                                  const dgcp2_client_id* client, const cmm_options* options);
aud_error cmm_build_state_event(dgcp2_message* out, uint16_t seqnum, const dgcp2_client_id* client,
                                const cmm_state* state);
// The answer to a request (same sequence number, opcode and client id) with
// the kind given and an empty body: for keepalives, disconnects and errors.
aud_error cmm_build_response(dgcp2_message* out, const dgcp2_message* request, uint16_t kind);
// A CONNECT answered with kind "Response" and the connection info.
aud_error cmm_build_connect_response(dgcp2_message* out, const dgcp2_message* request,
                                     const cmm_connection_info* info);
// A SET_CONFIG answered with the kind and the resulting state.
aud_error cmm_build_set_config_response(dgcp2_message* out, const dgcp2_message* request,
                                        uint16_t kind, const cmm_state* state);

// ---- Accessors and helpers (none or 0 for a null argument) ----

// The configuration in force, unless the status is Unknown.
const cmm_interface_set* cmm_state_get_current_config(const cmm_state* state);
// The configuration being applied, only while the status is Changing.
const cmm_interface_set* cmm_state_get_pending_config(const cmm_state* state);

uint16_t cmm_interface_list_count(const cmm_options* list);
uint16_t cmm_interface_list_count(const cmm_interface_set* list);
// None when index is at or past the count.
const cmm_interface* cmm_interface_list_get(const cmm_options* list, size_t index);
const cmm_interface* cmm_interface_list_get(const cmm_interface_set* list, size_t index);

const char16_t* cmm_interface_get_name(const cmm_interface* interface);
const uint8_t* cmm_interface_get_mac(const cmm_interface* interface);
// The first offered interface whose name equals `name` exactly.
const cmm_interface* cmm_options_find(const cmm_options* options, const char16_t* name);

void cmm_interface_set_clear(cmm_interface_set* set);
// Appends a copy of the offered interface of that name: INVALIDPARAMETER when
// the set is full or an argument is missing, INVALIDDATA when no offered
// interface has the name.
aud_error cmm_interface_set_add_by_name(cmm_interface_set* set, const cmm_options* options,
                                        const char16_t* name);
// Appends an all-zero interface; INVALIDPARAMETER when the set is full.
aud_error cmm_interface_set_add_none(cmm_interface_set* set);

// ---- Diagnostics ----

enum : size_t { CMM_INTERFACE_TEXT_SIZE = CMM_INTERFACE_NAME_SIZE * 5 };
// The name as text when every code unit is below 128, else its code units as
// "%04x" separated by single blanks. Returns the buffer.
char* cmm_interface_name_text(const cmm_interface* interface, char* buffer, size_t size);
// One "%sInterface %d: %s (%02x:%02x:%02x:%02x:%02x:%02x)" line per interface.
void cmm_log_interfaces(aud_log* log, int level, const char* prefix,
                        const cmm_interface* interfaces, size_t count);
// "%sConfig:" with the interfaces when given, "%sLock: %s" when given.
void cmm_log_system_config(aud_log* log, int level, const char* prefix,
                           const cmm_system_config* config);
// Status, device name, both configurations and the processes, each line
// under `prefix` followed by two blanks.
void cmm_log_state(aud_log* log, int level, const char* prefix, const cmm_state* state);
