// Shared between the conmon client and its connection to the local conmon
// server (conmon_client.cpp, conmon_client_local.cpp); not for other
// components.
#pragma once

#include <array>
#include <span>

#include "avn/conmon/conmon_channels.h"
#include "avn/conmon/conmon_client.h"
#include "avn/conmon/conmon_protocol.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_event_loop.h"
#include "avn/runtime/aud_log.h"
#include "avn/runtime/domain_provider.h"

inline constexpr size_t CONMON_CLIENT_SUBSCRIPTION_TABLE_SIZE = 96;

enum : int {
    CONMON_REQUEST_KIND_DOMAIN = 0,
    CONMON_REQUEST_KIND_LOCAL = 1,
};

struct conmon_request_slot {
    bool in_use = false;
    int kind = CONMON_REQUEST_KIND_LOCAL;
    uint16_t request_id = 0;
    uint16_t opcode = 0;
    uint16_t domain_sequence = 0;
    conmon_client_response_fn callback = nullptr;
};

struct conmon_subscription_entry {
    bool used = false;
    uint16_t flags = 0;
    uint16_t subscription_id = 0;
    char device_name[CONMON_NAME_SIZE + 1] = {};
    uint32_t key = 0;
    conmon_source source{};
    uint8_t domain_route[8] = {};
    uint8_t status[2] = {};

    bool operator==(const conmon_subscription_entry&) const = default;
};
// Table flags: a source or a domain route is present.
inline constexpr uint16_t CONMON_ENTRY_FLAG_SOURCE = 0x08;
inline constexpr uint16_t CONMON_ENTRY_FLAG_ROUTE = 0x10;

struct conmon_client_config {
    char name[CONMON_NAME_SIZE] = {};
    aud_socket_address server{};
    uint16_t version = CONMON_PROTOCOL_VERSION;
    uint32_t channel_mask = CONMON_CLIENT_DEFAULT_CHANNEL_MASK;
    uint16_t metering_port = 0;
    uint32_t vendor_broadcast_group = 0;  // host order; 0 for none
    bool allow_metering_failure = false;
};

struct conmon_client_local {
    conmon_client* client = nullptr;
    bool auto_connect = false;
    aud_socket_t socket = AUD_SOCKET_INVALID;
    int state = CONMON_CLIENT_NO_CONNECTION;
    aud_timer* keepalive_timer = nullptr;
    aud_timer* timeout_timer = nullptr;
    aud_time keepalive_interval{};
    aud_time timeout_interval{};
    conmon_request_slot own;  // the outstanding CONNECT or KEEPALIVE
    uint16_t next_request_id = 1;
};

struct conmon_client_event {
    conmon_client* client;
    uint32_t flags;
};

enum : int {
    CONMON_DOMAIN_KIND_NONE = 0,
    CONMON_DOMAIN_KIND_ADHOC = 1,
    CONMON_DOMAIN_KIND_MANAGED = 2,
};

struct conmon_domain_sender;

// Message types of the domain path.
enum : uint16_t {
    CONMON_DOMAIN_MESSAGE_CONTROL = 0x2002,
    CONMON_DOMAIN_MESSAGE_DEVICE = 0x2003,
    CONMON_DOMAIN_MESSAGE_REGISTER = 0x2010,
    CONMON_DOMAIN_MESSAGE_SUBSCRIBE = 0x2011,
    CONMON_DOMAIN_MESSAGE_ANNOUNCE = 0x2012,
    CONMON_DOMAIN_MESSAGE_SUBSCRIPTION_UPDATE = 0x2013,
};

struct conmon_client {
    aud_env* env = nullptr;
    domain_listener* listener = nullptr;
    conmon_client_config config;
    conmon_client_local* local = nullptr;
    conmon_channels* channels = nullptr;
    conmon_domain_sender* domain = nullptr;  // with a domain listener

    uint16_t capabilities = 0;
    char local_name[CONMON_NAME_SIZE + 1] = {};
    char local_text[CONMON_TEXT_SIZE + 1] = {};
    conmon_source local_source{};
    bool have_local_source = false;
    size_t interface_count = 0;
    conmon_interface_record interfaces[CONMON_MAX_INTERFACES];

    int domain_kind = CONMON_DOMAIN_KIND_ADHOC;
    bool domain_changing = false;
    size_t max_body_size = CONMON_MESSAGE_MAX_BODY_SIZE;

    std::array<conmon_request_slot, CONMON_CLIENT_NUM_REQUESTS> requests{};
    size_t last_request = CONMON_CLIENT_NUM_REQUESTS - 1;
    bool connected = false;
    bool ready = false;
    bool refill_receive_table = false;  // set by a successful 0x320 exchange
    uint32_t responses = 0;             // from the local server, any request

    std::array<conmon_subscription_entry, CONMON_CLIENT_SUBSCRIPTION_TABLE_SIZE> subscriptions{};
    std::array<conmon_subscription_entry, CONMON_CLIENT_SUBSCRIPTION_TABLE_SIZE> receive_table{};

    void* context = nullptr;
    conmon_client_connection_state_fn on_connection_state = nullptr;
    conmon_client_event_fn on_event = nullptr;
    conmon_client_changed_fn on_interfaces_changed = nullptr;
    conmon_client_changed_fn on_local_name_changed = nullptr;

    conmon_client_handler_fn handlers[CONMON_NUM_CHANNEL_TYPES][2] = {};
    const char* current_sender = nullptr;
    const conmon_message* current_message = nullptr;
    uint8_t current_domain_kind = 0;

    std::array<uint8_t, CONMON_PROTOCOL_MAX_MESSAGE_SIZE> send_buffer{};
    std::array<uint8_t, CONMON_PROTOCOL_MAX_MESSAGE_SIZE> receive_buffer{};
};

aud_log* conmon_client_log(const conmon_client* client);

// ---- The client, as its local connection uses it ----

conmon_request_slot* conmon_client_take_request(conmon_client* client);
void conmon_client_release_request(conmon_request_slot* slot);
// Validates and processes one datagram from the server.
void conmon_client_process_local_message(conmon_client* client, std::span<const uint8_t> message);
// After the local connection changed state (with `notify` as the change asks).
void conmon_client_on_local_state_changed(conmon_client* client, bool notify);
// Forgets what belongs to one connection: registrations, subscriptions,
// local device data and outstanding requests.
void conmon_client_reset(conmon_client* client);
void conmon_client_apply_connect_info(conmon_client* client, const conmon_connect_info& info);

// ---- The local connection ----

aud_error conmon_client_local_new(conmon_client* client, conmon_client_local** out);
void conmon_client_local_delete(conmon_client_local* local);
aud_error conmon_client_local_auto_connect(conmon_client_local* local);
aud_error conmon_client_local_disconnect(conmon_client_local* local);
int conmon_client_local_get_state(const conmon_client_local* local);
const char* conmon_client_local_state_name(int state);
// Sends the request in `request` (its length field long). With `callback` or
// `slot_out`, the request is tracked in a slot of the client's table.
aud_error conmon_client_local_send(conmon_client_local* local, std::span<uint8_t> request,
                                   conmon_client_response_fn callback,
                                   conmon_request_slot** slot_out);
// Handling of the server's responses to the connection's own requests.
bool conmon_client_local_owns(const conmon_client_local* local, uint16_t request_id);
void conmon_client_local_on_connect_response(conmon_client_local* local,
                                             const conmon_protocol_header& header,
                                             std::span<const uint8_t> message);
// `kind` is the response's status kind; an error reconnects at once.
void conmon_client_local_on_keepalive_response(conmon_client_local* local, uint16_t kind);
// The server answered in a way that shows it has forgotten this connection:
// drop it and connect again without waiting for the timeout (auto-connect,
// while connected; otherwise nothing).
void conmon_client_local_reconnect_now(conmon_client_local* local, const char* why);
void conmon_client_local_move_timeout_forward(conmon_client_local* local);

// ---- The domain path (conmon_client_domain.cpp) ----

// AVN device names compare without regard to ASCII case, within n bytes.
bool conmon_names_equal(const char* a, const char* b, size_t n);
// Completes a request: frees the slot, then calls its callback.
void conmon_client_complete_request(conmon_client* client, conmon_request_slot* slot, aud_error status);
void conmon_client_merge_subscription(conmon_client* client, const conmon_subscription_record& record);
// Calls the handler for (channel type, remote) with a validated conmon
// message whose sender is `sender_name` (may be null).
void conmon_client_deliver(conmon_client* client, uint16_t channel_type, const uint8_t* message,
                           const char* sender_name);

aud_error conmon_domain_sender_new(conmon_client* client, conmon_domain_sender** out);
void conmon_domain_sender_delete(conmon_domain_sender* sender);
// `message` is a built conmon message whose origin the sender fills.
aud_error conmon_domain_send_control(conmon_client* client, conmon_client_response_fn response,
                                     conmon_client_request_id* request, const char* device_name,
                                     std::span<const uint8_t> message, const aud_time* timeout);
aud_error conmon_domain_register(conmon_client* client, conmon_client_response_fn response,
                                 conmon_client_request_id* request, uint16_t channel_type,
                                 uint16_t direction, uint16_t port, bool add);
aud_error conmon_domain_subscribe(conmon_client* client, conmon_client_response_fn response,
                                  conmon_client_request_id* request, uint16_t channel_type,
                                  const char* device_name, uint16_t port);
// On every domain change.
void conmon_domain_announce(conmon_client* client);
// The domain is about to change: pending and relayed requests fail, lookups go.
void conmon_domain_reset(conmon_client* client);
// The Domain Manager connection went down (in a managed domain) / came up.
void conmon_domain_drop_lookups(conmon_client* client);
void conmon_domain_lookups_again(conmon_client* client);
// A relayed packet for the client's listener.
void conmon_domain_receive(conmon_client* client, std::span<const uint8_t> packet);
