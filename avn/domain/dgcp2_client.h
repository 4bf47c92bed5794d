// The DGCP2 client: frames requests with DGCP2 headers, stamps sequence
// numbers, matches responses to their request slots by sequence number,
// passes event messages on, follows a connect/disconnect state and keeps the
// link alive with keepalives in both directions (a keepalive goes out after a
// send interval without traffic; the link counts as lost after a receive
// timeout without a server message).
//
// It runs either on the environment's event loop (the socket is registered
// for reading and the keepalives run on timers) or polled (the owner calls
// dgcp2_client_process, which reports when it next wants to be called).
// Every message lives in a fixed buffer: one per request slot, one for the
// keepalive, one for receiving.
#pragma once

#include <cstdint>

#include "avn/domain/dgcp2_codec.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_error.h"
#include "avn/runtime/aud_time.h"
#include "avn/runtime/socket.h"

struct dgcp2_client;
struct dgcp2_request;

// Connection states.
enum : int {
    DGCP2_STATE_DISCONNECTED = 0,
    DGCP2_STATE_CONNECTING = 1,
    DGCP2_STATE_CONNECTED = 2,
    DGCP2_STATE_DISCONNECTING = 3,
};

// Event flags.
enum : uint32_t {
    DGCP2_EVENT_STATE_CHANGED = 0x1,    // the connection state changed
    DGCP2_EVENT_CONNECTION_LOST = 0x2,  // no server message for the receive timeout
    DGCP2_EVENT_RESPONSE = 0x4,         // a response arrived; the request is done
    DGCP2_EVENT_MESSAGE = 0x8,          // an event message arrived
};

// What the callback receives. The request and message are none when the
// event has none; the message is valid during the callback only.
struct dgcp2_event {
    uint32_t flags;
    dgcp2_request* request;
    const dgcp2_message* message;
    aud_error error;
};

// Called on the event-loop thread (or from dgcp2_client_process). The
// callback may release or take requests, send, and stop the client, but
// must not delete it. For connect and disconnect responses it runs twice,
// before and after the request is released.
using dgcp2_client_callback = void (*)(dgcp2_client* client, const dgcp2_event* event,
                                       void* context);

// A client for messages of the header type, with 0 or 1 request slot
// (`slots` is read as yes or no). INVALIDPARAMETER for a bad header type or
// no out pointer; INVALIDSTATE when the event loop is asked for and the
// environment has none; NOMEMORY.
aud_error dgcp2_client_new(aud_env* env, bool use_event_loop, int header_type, unsigned slots,
                           dgcp2_client** out);
// Stops the client and frees it with its slots. Nothing for none.
void dgcp2_client_delete(dgcp2_client* client);

// Takes the socket (which the client never closes). Without a client id the
// id is eight zero bytes and the socket's local port. With a server address
// the client sends to it and drops datagrams from any other address;
// without one the socket must be connected. In event-loop mode the socket is
// registered for reading. INVALIDPARAMETER for an invalid socket.
aud_error dgcp2_client_initialise(dgcp2_client* client, const dgcp2_client_id* client_id,
                                  aud_socket_t socket, bool connection_oriented,
                                  bool wait_for_disconnect_response,
                                  const aud_socket_address* server_address);
const dgcp2_client_id* dgcp2_client_get_id(const dgcp2_client* client);

// Turns keepalives on: a keepalive (opcode 0 of the protocol) goes out after
// `send_interval` without a sent request, and the link counts as lost after
// `receive_timeout` without a server message. INVALIDPARAMETER for a missing
// or non-positive time or protocol id 0.
aud_error dgcp2_client_set_keepalives(dgcp2_client* client, uint16_t protocol_id,
                                      const aud_time* send_interval,
                                      const aud_time* receive_timeout);

void dgcp2_client_set_context(dgcp2_client* client, void* context);
void* dgcp2_client_get_context(const dgcp2_client* client);
void dgcp2_client_set_callback(dgcp2_client* client, dgcp2_client_callback callback);

// ---- Requests ----

// INVALIDPARAMETER without an out pointer, NOTFOUND when the client has no
// slots, NOBUFS when every slot is in use.
aud_error dgcp2_client_take_request(dgcp2_client* client, dgcp2_request** out);
// Marks the slot free; nothing when it is free already.
void dgcp2_client_release_request(dgcp2_request* request);
dgcp2_message* dgcp2_request_get_message(dgcp2_request* request);
dgcp2_client* dgcp2_request_get_client(const dgcp2_request* request);
unsigned dgcp2_request_get_index(const dgcp2_request* request);
bool dgcp2_request_in_use(const dgcp2_request* request);
// Writes a request header (kind 0) with the client's id into the slot's
// message and empties its body.
aud_error dgcp2_request_write_header(dgcp2_request* request, uint16_t protocol_id, uint16_t opcode);

// Sends the slot's message under the connection rules:
//   connection-oriented, disconnected:           connect only
//   connection-oriented, connecting/disconnecting: disconnect only
//   connection-oriented, connected:              anything but connect
//   connectionless:                              anything but connect and disconnect
// A refused request (INVALIDSTATE, or INVALIDPARAMETER when connectionless)
// is released. A sent connect makes the state connecting; a sent disconnect
// makes it disconnecting, or disconnected at once (the slot released) when
// the client does not wait for the response. A disconnect that finds the
// server's port closed counts as done. Other send errors are returned with
// the slot still taken.
aud_error dgcp2_client_send_request(dgcp2_request* request);
// Stamps the next sequence number into the message and sends it.
aud_error dgcp2_client_send_message(dgcp2_client* client, dgcp2_message* message);

int dgcp2_client_get_connection_state(const dgcp2_client* client);

// Reads and dispatches every waiting datagram. In polled mode, when nothing
// waits, runs the keepalive check and stores the time of the next one in
// *next_wake (if given). Returns CONNRESET when the server's port was found
// closed (the client is then disconnected), or another receive error.
aud_error dgcp2_client_process(dgcp2_client* client, aud_time* next_wake);

// Unregisters the socket and stops the keepalive timers, forgets the socket
// (without closing it), resets the sequence number to 0 and the state to
// disconnected, and frees every slot.
void dgcp2_client_stop(dgcp2_client* client);
