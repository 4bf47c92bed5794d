// The domain handler: the AVN API's domain list and current domain, the
// handler's connection states, and the reports of their changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "avn/runtime/avn_domain.h"
#include "avn/runtime/aud_error.h"

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
