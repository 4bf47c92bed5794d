// The conmon client: sends control messages to AVN devices named by their
// device names, subscribes to their messages, registers handlers for the
// messages that arrive, and reports changes of its connection and of the
// AVN domain. It reaches devices through the local conmon server and does all
// its work in event-loop callbacks of its instance's environment.
#pragma once

#include <cstddef>
#include <cstdint>

#include "avn/conmon/conmon_message.h"
#include "avn/runtime/aud_error.h"
#include "avn/runtime/aud_time.h"
#include "avn/runtime/socket.h"

struct avnapi;
struct conmon_client;
struct conmon_client_config;
struct conmon_client_event;
struct conmon_request_slot;

// A request in flight, valid until its completion callback has run.
using conmon_client_request_id = const conmon_request_slot*;

// States of the connection to the local conmon server.
enum : int {
    CONMON_CLIENT_NO_CONNECTION = 0,
    CONMON_CLIENT_CONNECTING = 1,
    CONMON_CLIENT_CONNECTED = 2,
    CONMON_CLIENT_RECONNECT_PENDING = 3,
};

// Event flags.
enum : uint32_t {
    CONMON_CLIENT_EVENT_DOMAIN_CHANGING = 0x01,
    CONMON_CLIENT_EVENT_DOMAIN_CHANGED = 0x02,
    CONMON_CLIENT_EVENT_DOMAIN_CONNECTION = 0x04,
    CONMON_CLIENT_EVENT_CONNECTION_STATE = 0x08,
    CONMON_CLIENT_EVENT_CONNECTED = 0x10,
    CONMON_CLIENT_EVENT_READY = 0x20,
    CONMON_CLIENT_EVENT_MAX_BODY_SIZE = 0x40,
};

inline constexpr uint16_t CONMON_CLIENT_DEFAULT_PORT = 8900;
inline constexpr uint32_t CONMON_CLIENT_DEFAULT_CHANNEL_MASK = 0x15D;
inline constexpr size_t CONMON_CLIENT_NUM_REQUESTS = 10;

// ---- Configuration ----

conmon_client_config* conmon_client_config_new(const char* name);
void conmon_client_config_init(conmon_client_config* config, const char* name);
void conmon_client_config_delete(conmon_client_config* config);
aud_error conmon_client_config_set_server_address(conmon_client_config* config,
                                                  const aud_socket_address* address);
aud_error conmon_client_config_set_protocol_version(conmon_client_config* config,
                                                    uint16_t version);
aud_error conmon_client_config_set_channel_mask(conmon_client_config* config, uint32_t mask);
// The metering channel's port (0: the system chooses) and the vendor
// broadcast channel's multicast group (host order), for masks that have them.
aud_error conmon_client_config_set_metering_port(conmon_client_config* config, uint16_t port);
aud_error conmon_client_config_set_vendor_broadcast_group(conmon_client_config* config, uint32_t group);
void conmon_client_config_set_allow_metering_failure(conmon_client_config* config, bool allow);
// The port the metering channel listens on, 0 without one.
uint16_t conmon_client_get_metering_port(const conmon_client* client);

// ---- The client ----

// INVALIDPARAMETER without instance; INVALIDDATA when the instance's
// environment has no domain provider or its mode does not allow clients.
aud_error conmon_client_new(avnapi* instance, const conmon_client_config* config,
                            conmon_client** out);
void conmon_client_delete(conmon_client* client);

void conmon_client_set_context(conmon_client* client, void* context);
void* conmon_client_get_context(const conmon_client* client);

using conmon_client_connection_state_fn = void (*)(conmon_client* client);
using conmon_client_event_fn = void (*)(const conmon_client_event* event);
using conmon_client_changed_fn = void (*)(conmon_client* client);
void conmon_client_set_connection_state_callback(conmon_client* client,
                                                 conmon_client_connection_state_fn callback);
void conmon_client_set_event_callback(conmon_client* client, conmon_client_event_fn callback);
void conmon_client_set_interfaces_changed_callback(conmon_client* client,
                                                   conmon_client_changed_fn callback);
void conmon_client_set_local_name_changed_callback(conmon_client* client,
                                                   conmon_client_changed_fn callback);
conmon_client* conmon_client_event_get_client(const conmon_client_event* event);
uint32_t conmon_client_event_get_flags(const conmon_client_event* event);

// Starts the connection with automatic reconnection.
aud_error conmon_client_connect(conmon_client* client);
aud_error conmon_client_disconnect(conmon_client* client);
int conmon_client_get_connection_state(const conmon_client* client);
bool conmon_client_is_ready(const conmon_client* client);
// How many responses the local server has sent this client, of any request
// (its keepalives included): while it grows, the server knows the client.
uint32_t conmon_client_get_response_count(const conmon_client* client);
// True while a managed AVN domain is in force: requests to remote devices
// then travel through the Domain Manager.
bool conmon_client_in_managed_domain(const conmon_client* client);
// The local device while connected, else null.
const conmon_source* conmon_client_get_local_device_id(const conmon_client* client);
const char* conmon_client_get_local_device_name(const conmon_client* client);
size_t conmon_client_get_max_body_size(const conmon_client* client);

// Completion of a request: called once with the outcome.
using conmon_client_response_fn = void (*)(conmon_client* client,
                                           conmon_client_request_id request, aud_error status);
// A received message; `body` is conmon_message_body_size(message) bytes.
using conmon_client_handler_fn = void (*)(conmon_client* client, uint16_t channel_type,
                                          uint16_t direction, const conmon_message* message,
                                          const uint8_t* body);

// Stores the handler for (channel type, direction) and registers with the
// server (unregisters when the handler is null).
aud_error conmon_client_register_monitoring_messages(conmon_client* client,
                                                     conmon_client_response_fn response,
                                                     conmon_client_request_id* request,
                                                     uint16_t channel_type, uint16_t direction,
                                                     conmon_client_handler_fn handler);
aud_error conmon_client_subscribe(conmon_client* client, conmon_client_response_fn response,
                                  conmon_client_request_id* request, uint16_t channel_type,
                                  const char* device_name);
// `timeout` may be null.
aud_error conmon_client_send_control_message(conmon_client* client,
                                             conmon_client_response_fn response,
                                             conmon_client_request_id* request,
                                             const char* device_name, uint16_t message_type,
                                             const uint8_t vendor_id[CONMON_VENDOR_ID_SIZE],
                                             const uint8_t* body, uint16_t body_size,
                                             const aud_time* timeout);

// The device name of a message's sender, or null when the client cannot name it.
const char* conmon_client_device_name_for_source(const conmon_client* client,
                                                 const conmon_source* source);
// Kind of domain the message being handled came from (low two bits of the
// event's flags); meaningful only inside a control-channel handler.
uint8_t conmon_client_current_message_domain_kind(const conmon_client* client);
