// The domain handler: the AVN API's domain list and current domain, the
// handler's connection states, and the reports of their changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "avn/runtime/avn_domain.h"
#include "avn/runtime/aud_error.h"
#include "avn/runtime/socket.h"

struct aud_env;
struct avnapi;
struct avn_domain_handler;

// Internal states. State 6 is never entered.
enum : int {
    AVN_DOMAIN_HANDLER_STATE_NONE = 0,         // no Domain Manager known
    AVN_DOMAIN_HANDLER_STATE_DISCOVERING = 1,
    AVN_DOMAIN_HANDLER_STATE_DISCOVERED = 2,   // address known
    AVN_DOMAIN_HANDLER_STATE_IDENTIFYING = 3,
    AVN_DOMAIN_HANDLER_STATE_IDENTIFIED = 4,
    AVN_DOMAIN_HANDLER_STATE_LOGGING_IN = 5,
    AVN_DOMAIN_HANDLER_STATE_TLS_OPENING = 7,
    AVN_DOMAIN_HANDLER_STATE_WAITING_FOR_LIST = 8,
    AVN_DOMAIN_HANDLER_STATE_CONNECTED = 9,
};

// Public states, as avn_domain_handler_get_state reports them.
enum : int {
    AVN_DOMAIN_STATE_NONE = 0,
    AVN_DOMAIN_STATE_DISCOVERING = 1,
    AVN_DOMAIN_STATE_DISCOVERED = 2,
    AVN_DOMAIN_STATE_IDENTIFYING = 3,
    AVN_DOMAIN_STATE_IDENTIFIED = 4,
    AVN_DOMAIN_STATE_CONNECTING = 5,
    AVN_DOMAIN_STATE_CONNECTED = 6,
    AVN_DOMAIN_STATE_UNKNOWN = 7,
};

// Event flags.
enum : uint32_t {
    AVN_DOMAIN_EVENT_ERROR = 0x1,            // an asynchronous operation failed
    AVN_DOMAIN_EVENT_STATE = 0x2,            // the public state changed
    AVN_DOMAIN_EVENT_CURRENT_DOMAIN = 0x4,   // the current domain changed
    AVN_DOMAIN_EVENT_DOMAIN_LIST = 0x8,      // the domain list changed
};

inline constexpr unsigned AVN_DOMAIN_HANDLER_DEFAULT_KEEPALIVE_SECONDS = 120;
inline constexpr uint16_t AVN_DOMAIN_HANDLER_DEFAULT_DM_PORT = 8999;

// What the handler tells its owner.
struct avn_domain_handler_notifications {
    void (*on_message)(avnapi* owner, const uint8_t* data, size_t length);
    void (*on_current_domain_changed)(avnapi* owner);
    void (*on_connection_changed)(avnapi* owner);
};

struct avn_domain_handler_event;
using avn_domain_handler_event_callback = void (*)(const avn_domain_handler_event* event);

// `notifications` and `keepalive_seconds` may be null (defaults: none, 120 s).
aud_error avn_domain_handler_new(aud_env* env, avnapi* owner,
                                 const avn_domain_handler_notifications* notifications,
                                 const unsigned* keepalive_seconds, avn_domain_handler** out);
void avn_domain_handler_delete(avn_domain_handler* handler);

void avn_domain_handler_set_event_callback(avn_domain_handler* handler,
                                           avn_domain_handler_event_callback callback);
avn_domain_handler* avn_domain_handler_event_get_handler(const avn_domain_handler_event* event);
uint32_t avn_domain_handler_event_get_flags(const avn_domain_handler_event* event);
aud_error avn_domain_handler_event_get_error(const avn_domain_handler_event* event);

int avn_domain_handler_get_state(const avn_domain_handler* handler);
int avn_domain_handler_get_internal_state(const avn_domain_handler* handler);

// Lookups give an all-zero record when nothing matches.
size_t avn_domain_handler_get_domain_count(const avn_domain_handler* handler);
avn_domain_info avn_domain_handler_get_domain_at(const avn_domain_handler* handler, size_t index);
avn_domain_entry avn_domain_handler_get_domain_by_id(const avn_domain_handler* handler,
                                                     uint16_t id);
avn_domain_info avn_domain_handler_get_domain_by_name(const avn_domain_handler* handler,
                                                      const char* name);
avn_domain_entry avn_domain_handler_get_domain_by_uuid(const avn_domain_handler* handler,
                                                       const avn_domain_uuid* uuid);
avn_domain_info avn_domain_handler_get_current_domain(const avn_domain_handler* handler);
uint32_t avn_domain_handler_get_current_flags(const avn_domain_handler* handler);
uint32_t avn_domain_handler_get_current_access(const avn_domain_handler* handler);
// The current uuid as held (ADHOC, none, or a managed domain).
avn_domain_uuid avn_domain_handler_get_current_uuid(const avn_domain_handler* handler);

// Connected state only: INVALIDSTATE otherwise; NOTFOUND for a uuid (id)
// that is neither all zero (0) nor in the list.
aud_error avn_domain_handler_set_current_domain(avn_domain_handler* handler,
                                                const avn_domain_uuid* uuid);
aud_error avn_domain_handler_set_current_domain_by_id(avn_domain_handler* handler, uint16_t id);

// ---- The Domain Manager connection ----
// Every call runs on the event-loop thread. Asynchronous outcomes arrive
// through the event callback: state changes, and failures as flag 0x1 with
// POLICY (refused login), CONNREFUSED (no connection, TLS or certificate
// failure), INVALIDDATA (malformed answer), NOTCONN (connection lost) or
// FAULT; the internal state is then 2 again.

// The Domain Manager's address (port 0: 8999); stops a running discovery
// first. State 0 or 2, else INVALIDSTATE; state 2 afterwards.
aud_error avn_domain_handler_set_dm_address(avn_domain_handler* handler, const char* host,
                                            uint16_t port);
// Finds the Domain Manager by its DNS service: unicast DNS on the interface
// (none: the first that is up), then multicast DNS too. State 0 or 2, else
// INVALIDSTATE; state 1 until it is found (then state 2) or stopped (state 0).
aud_error avn_domain_handler_start_dm_discovery(avn_domain_handler* handler,
                                                const uint32_t* interface_index);
aud_error avn_domain_handler_stop_dm_discovery(avn_domain_handler* handler);
// For tests and runs against avn-sim, never a real network: discovery asks
// this DNS server (any IPv4 address and port) with this suffix instead of the
// interface's. None removes the override.
aud_error avn_domain_handler_set_dm_dns_override(avn_domain_handler* handler,
                                                 const aud_socket_address* server,
                                                 const char* suffix);
// The address in use, from state 2 on (INVALIDSTATE before).
aud_error avn_domain_handler_get_dm_address(const avn_domain_handler* handler, const char** host,
                                            uint16_t* port);
// State 2: identifies the server over HTTPS (state 3, then 4).
aud_error avn_domain_handler_identify(avn_domain_handler* handler);
// The identified server's public-key fingerprint, states 4 to 9.
aud_error avn_domain_handler_get_identity(avn_domain_handler* handler, const char** text);
// State 2: identify, then log in at once; state 4: log in. Then the TLS
// connection opens and the domain list arrives (state 9, public state 6).
// The user name and password are held only until they are sent.
aud_error avn_domain_handler_login(avn_domain_handler* handler, const char* user,
                                   const char* password);
// From states 3 to 9 back to state 2, reporting nothing; always SUCCESS.
aud_error avn_domain_handler_logout(avn_domain_handler* handler);
// Relays a message over the connection (state 9, else INVALIDSTATE).
aud_error avn_domain_handler_send(avn_domain_handler* handler, const uint8_t* data, size_t length);
// The connection's remote or local endpoint (state 9, else NOTCONN).
aud_error avn_domain_handler_get_dm_endpoint(avn_domain_handler* handler, bool remote,
                                             aud_socket_address* out);

// What the last reported failure of the Domain Manager connection was, more
// finely than its error: for a user who must be told whether to check the
// password, the address or the server's certificate.
enum : int {
    AVN_DM_FAILURE_NONE = 0,
    AVN_DM_FAILURE_REFUSED = 1,      // the login was refused
    AVN_DM_FAILURE_UNREACHABLE = 2,  // no connection could be made
    AVN_DM_FAILURE_UNTRUSTED = 3,    // TLS, certificate or key check failed
    AVN_DM_FAILURE_MALFORMED = 4,    // an answer could not be read, or no version fits
    AVN_DM_FAILURE_LOST = 5,         // an open connection was lost
    AVN_DM_FAILURE_OTHER = 6,
};
int avn_domain_handler_get_last_failure(const avn_domain_handler* handler);

// ---- Driven by the Domain Manager connection, from event-loop callbacks.
// Changes made here are reported through the event callback. ----

void avn_domain_handler_change_state(avn_domain_handler* handler, int internal_state);

// Applies a received list of domains. A full list (`partial` false) replaces
// the held one and is preceded by the ADHOC entry; a partial update merges
// the entries for ids first_id..last_id.
void avn_domain_handler_apply_domain_list(avn_domain_handler* handler,
                                          std::span<const avn_domain_entry> entries, bool partial,
                                          uint16_t first_id, uint16_t last_id);

// Reports an asynchronous failure (flag 0x1 with the error).
void avn_domain_handler_report_error(avn_domain_handler* handler, aud_error error);

// What the connection does when the keepalive interval passed with nothing
// sent while connected; none until a connection is attached.
using avn_domain_handler_keepalive_fn = void (*)(avn_domain_handler* handler, void* context);
void avn_domain_handler_set_keepalive_sender(avn_domain_handler* handler,
                                             avn_domain_handler_keepalive_fn send, void* context);
// Whether the keepalive timer is armed (for the connection and tests).
bool avn_domain_handler_keepalive_running(const avn_domain_handler* handler);
