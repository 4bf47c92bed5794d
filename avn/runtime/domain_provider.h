// The domain provider: how every AVN component created on an environment
// learns the current AVN domain, is told when it changes, and sends or
// receives messages over the Domain Manager connection, without knowing the
// instance that owns the environment. The instance installs one provider as
// the environment's user pointer; components register domain listeners.
#pragma once

#include <cstddef>
#include <cstdint>

#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_error.h"
#include "avn/runtime/avn_domain.h"
#include "avn/runtime/socket.h"

struct domain_provider;
struct domain_listener;

// Which clients may be created: 1 and 2 allow domain-aware clients.
enum : int {
    DOMAIN_PROVIDER_MODE_NONE = 0,
    DOMAIN_PROVIDER_MODE_DOMAIN = 1,
    DOMAIN_PROVIDER_MODE_DOMAIN_AWARE = 2,
    DOMAIN_PROVIDER_MODE_ADHOC = 3,
};

// Connection state of the Domain Manager connection as the provider reports it.
enum : int {
    DOMAIN_CONNECTION_DISCONNECTED = 1,
    DOMAIN_CONNECTION_CONNECTED = 2,
};

// Listener events, in the order a change is reported.
enum : int {
    DOMAIN_EVENT_CHANGING = 0,    // before the current domain's id changes
    DOMAIN_EVENT_CHANGED = 1,     // after it changed
    DOMAIN_EVENT_CONNECTION = 2,  // the connection state changed
    DOMAIN_EVENT_FLAGS = 3,       // the flags word changed
    DOMAIN_EVENT_ACCESS = 4,      // the access word changed
};

// The current domain: id (ADHOC, none, or managed), flags word and access word.
struct domain_current {
    avn_domain_uuid uuid;
    uint32_t flags;
    uint32_t access;
};

// What the owning instance answers; each is called with its context.
struct domain_provider_ops {
    int (*mode)(void* context);
    domain_current (*current_domain)(void* context);
    int (*connection_state)(void* context);
    aud_error (*endpoint)(void* context, int index, aud_socket_address* out);
    aud_error (*relay_send)(void* context, const uint8_t* data, size_t length);
};

// Creates the provider and installs it as the environment's user pointer.
aud_error domain_provider_new(aud_env* env, const domain_provider_ops* ops, void* context,
                              domain_provider** out);
// Detaches the provider from its environment and frees it with its listeners.
void domain_provider_delete(domain_provider* provider);
// The provider installed on an environment, or null.
domain_provider* domain_provider_from_env(const aud_env* env);

// DOMAIN_PROVIDER_MODE_NONE when the owner has no mode query.
int domain_provider_get_mode(const domain_provider* provider);
domain_current domain_provider_get_current(const domain_provider* provider);
int domain_provider_get_connection_state(const domain_provider* provider);
aud_error domain_provider_get_endpoint(const domain_provider* provider, int index,
                                       aud_socket_address* out);
aud_error domain_provider_relay_send(const domain_provider* provider, const uint8_t* data,
                                     size_t length);

// ---- Listeners ----

using domain_listener_callback = void (*)(domain_listener* listener, int event, void* context);
using domain_listener_receiver = void (*)(domain_listener* listener, const uint8_t* data,
                                          size_t length, void* context);

// Registers a listener (callback and receiver may be null) with the lowest
// free id from 2 up; NOTFOUND when every id up to 0xFFFE is taken.
aud_error domain_listener_new(domain_provider* provider, domain_listener_callback callback,
                              domain_listener_receiver receiver, void* context,
                              domain_listener** out);
// Removes the listener; during a notification pass it is freed after the pass.
void domain_listener_delete(domain_listener* listener);
uint16_t domain_listener_get_id(const domain_listener* listener);
// Numbers for what a listener's owner sends: chunk sequence numbers (1 to
// 0xFFFF, skipping 0) and request numbers (from 0). Every listener of a
// provider draws from the same two counters, so a listener id handed out
// again (the lowest free one is) does not repeat the numbers of its earlier
// holder for 65535 draws: an answer late for a deleted listener cannot
// complete or bind a request of the next one.
uint16_t domain_listener_next_sequence(domain_listener* listener);
uint16_t domain_listener_next_request_number(domain_listener* listener);
domain_provider* domain_listener_get_provider(const domain_listener* listener);
// The listener's view, as of its last notification.
domain_current domain_listener_get_current(const domain_listener* listener);

// ---- Used by the owning instance ----

// Compares every listener's view with the current domain and notifies:
// CHANGING and CHANGED around a change of id, then FLAGS, then ACCESS.
void domain_provider_notify_domain_changed(domain_provider* provider);
// CONNECTION for every listener whose view of the connection state differs.
void domain_provider_notify_connection_changed(domain_provider* provider);
// Hands a relayed message to the receiver of the listener with that id;
// NOTFOUND when there is none.
aud_error domain_provider_deliver(domain_provider* provider, uint16_t listener_id,
                                  const uint8_t* data, size_t length);
