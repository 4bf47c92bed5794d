// The CMM client: this process's connection to the local connection-manager
// (CMM) service that owns the computer's AVN system configuration. It
// registers the process with the service, keeps the latest options (the
// interfaces that may be chosen) and state (the configuration in force and
// the one being applied), reports their changes, and asks the service to
// apply another configuration.
//
// It speaks the CMM protocol (cmm_messages.h) through a DGCP2 client on the
// environment's event loop, over UDP to 127.0.0.1. Every call and every
// callback runs on the thread that steps the AVN event loop.
#pragma once

#include <cstdint>

#include "avn/domain/cmm_messages.h"
#include "avn/runtime/aud_error.h"

struct avnapi;
struct cmm_client;

// Connection states.
enum : int {
    CMM_CLIENT_DISCONNECTED = 0,
    CMM_CLIENT_CONNECTING = 1,
    CMM_CLIENT_CONNECTED = 2,
};

// Event flags.
enum : uint32_t {
    CMM_EVENT_REQUEST_DONE = 0x01,  // the outstanding request finished; the error is its result
    CMM_EVENT_CONNECTION = 0x02,    // the connection state changed
    CMM_EVENT_OWN_PROCESS = 0x04,   // the own-process flag changed
    CMM_EVENT_OPTIONS = 0x08,       // the options changed (or were cleared)
    CMM_EVENT_STATE = 0x10,         // the state changed (or was cleared)
};

struct cmm_event {
    uint32_t flags;
    aud_error error;
};

using cmm_client_event_callback = void (*)(cmm_client* client, const cmm_event* event,
                                           void* context);

// Made only when the instance's domain provider allows domain-aware clients
// (mode 1 or 2): INVALIDDATA otherwise, INVALIDPARAMETER without instance or
// out pointer, NOMEMORY, or the error of registering the domain listener.
aud_error cmm_client_new(avnapi* instance, cmm_client** out);
// Closes the client if needed and frees it; nothing for none.
void cmm_client_delete(cmm_client* client);

// The service's UDP port on 127.0.0.1; 0 (the default) means 8850. Only
// before cmm_client_init (INVALIDSTATE after).
aud_error cmm_client_set_service_port(cmm_client* client, uint16_t port);

// Opens and connects the socket, sets up DGCP2 (keepalives every 10 s, the
// service counts as lost after 31 s of silence) and stores the name (at most
// 63 characters; none keeps the previous one) and this process's id.
// INVALIDSTATE when already initialised; socket errors as mapped.
aud_error cmm_client_init(cmm_client* client, const char* name);

void cmm_client_set_event_callback(cmm_client* client, cmm_client_event_callback callback);
void cmm_client_set_context(cmm_client* client, void* context);
void* cmm_client_get_context(const cmm_client* client);

// Sends CONNECT. INVALIDSTATE while a request is outstanding, before init,
// or when not disconnected.
aud_error cmm_client_start(cmm_client* client);
// Sends DISCONNECT (the client is disconnected as soon as it is sent);
// SUCCESS at once, sending nothing, when already disconnected.
aud_error cmm_client_stop(cmm_client* client);
// Stops DGCP2, closes the socket and forgets the outstanding request; the
// client is disconnected without an event and may be initialised again.
void cmm_client_close(cmm_client* client);

int cmm_client_get_connection_state(const cmm_client* client);
// None unless valid options / a valid state are held.
const cmm_options* cmm_client_get_options(const cmm_client* client);
const cmm_state* cmm_client_get_state(const cmm_client* client);
// None before the service answered CONNECT.
const cmm_connection_info* cmm_client_get_connection_info(const cmm_client* client);
// This process's id as registered, and whether the latest state marks it.
uint32_t cmm_client_get_process_id(const cmm_client* client);
bool cmm_client_get_own_process_flag(const cmm_client* client);

// A scratch interface set to build a configuration in.
cmm_interface_set* cmm_client_get_config_buffer(cmm_client* client);
// Sends SET_CONFIG; the response (a state) completes it with
// CMM_EVENT_REQUEST_DONE. INVALIDPARAMETER for a missing argument,
// INVALIDSTATE while a request is outstanding or when not connected,
// MSGSIZE when the configuration does not fit a message.
aud_error cmm_client_set_system_config(cmm_client* client, const cmm_system_config* config);
