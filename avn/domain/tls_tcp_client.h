// The TLS TCP client of the Domain Manager connection: resolves the server,
// connects, performs the TLS handshake (the server's chain checked against
// one CA certificate, optionally its own public key against a pin) and
// exchanges typed, length-framed messages (dm_frame.h).
//
// Network input and output run on a thread of the client's own. Everything
// the caller sees happens on the AVN event-loop thread: the client queues
// its results, wakes the event queue's receiver socket (see
// tls_tcp_client_get_sockets), and the owner runs the queued results with
// tls_tcp_client_process_events when that socket is readable. Every
// function here is called on that one thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_error.h"
#include "avn/runtime/socket.h"

struct tls_tcp_client;

// What the state callback reports.
enum : int {
    TLS_TCP_CLIENT_DISCONNECTED = 0,
    TLS_TCP_CLIENT_CONNECTING = 1,
    TLS_TCP_CLIENT_CONNECTED = 2,
};

// Callbacks run on the event-loop thread, from tls_tcp_client_process_events
// or (for "disconnected" after a requested disconnect) from
// tls_tcp_client_disconnect. They may send, connect and disconnect, but must
// not delete the client. The payload is valid during the callback only.
using tls_tcp_client_state_callback = void (*)(tls_tcp_client* client, int state, void* context);
using tls_tcp_client_message_callback = void (*)(tls_tcp_client* client, uint32_t type,
                                                 const uint8_t* data, size_t length, void* context);

// A client on the environment, not yet set up. None when it cannot be made.
tls_tcp_client* tls_tcp_client_new(aud_env* env);
// Disconnects (reporting "disconnected" when a connection was open or
// opening) and frees the client. INVALIDPARAMETER for none.
aud_error tls_tcp_client_delete(tls_tcp_client* client);

// Sets up TLS with the PEM certificate as the one authority that the
// server's chain must lead to, and opens the event queue; the client is then
// idle. The sockets' error when the event queue cannot be opened; FAULT,
// after "Failed to initialise tls_tcp_client: " and the reason on the
// standard output, for a certificate that cannot be used; INVALIDSTATE while
// a connection is open or opening; INVALIDPARAMETER for no text.
aud_error tls_tcp_client_set_ca_certificate(tls_tcp_client* client, const char* pem);
// Empty: the chain check alone decides. Otherwise the server's own
// certificate must also have this public-key fingerprint ("sha256//" and
// Base64, see x509_fingerprint.h). Takes effect at the next connect.
// INVALIDPARAMETER for no text.
aud_error tls_tcp_client_set_pinned_public_key(tls_tcp_client* client, const char* pin);

aud_error tls_tcp_client_set_context(tls_tcp_client* client, void* context);
aud_error tls_tcp_client_set_state_callback(tls_tcp_client* client,
                                            tls_tcp_client_state_callback callback);
aud_error tls_tcp_client_set_message_callback(tls_tcp_client* client,
                                              tls_tcp_client_message_callback callback);

// Starts connecting to host (name or address text) and port when the client
// is idle: reports "connecting", then "connected" or, on failure,
// "disconnected". Does nothing in any other state.
void tls_tcp_client_connect(tls_tcp_client* client, const char* host, uint16_t port);
// Frames the message and queues it for writing when a connection exists;
// frames leave in the order sent. Does nothing otherwise.
void tls_tcp_client_send(tls_tcp_client* client, uint32_t type, const uint8_t* data, size_t length);
// Closes a connection that is open or opening, waits for the network thread,
// forgets every queued result and reports "disconnected" at once. Does
// nothing (and reports nothing) when idle.
void tls_tcp_client_disconnect(tls_tcp_client* client);

// Adds the event queue's receiver socket to the set (once set up).
void tls_tcp_client_get_sockets(tls_tcp_client* client, aud_fd_set* set);
// Runs the queued results: the callbacks above.
aud_error tls_tcp_client_process_events(tls_tcp_client* client);

// Why the last connection ended without a disconnect being asked for.
enum : int {
    TLS_TCP_CLIENT_FAILURE_NONE = 0,
    TLS_TCP_CLIENT_FAILURE_RESOLVE = 1,     // the server's name did not resolve
    TLS_TCP_CLIENT_FAILURE_CONNECT = 2,     // no address took the connection
    TLS_TCP_CLIENT_FAILURE_HANDSHAKE = 3,   // TLS failed: the server was not trusted, or spoke no TLS
    TLS_TCP_CLIENT_FAILURE_CONNECTION = 4,  // the open connection failed or a frame was refused
};
// Bytes of received messages waiting for the event loop (each counted with
// a small overhead). The network thread stops reading while this is above
// TLS_TCP_CLIENT_MAX_QUEUED_BYTES, so a server that floods the connection
// while the event loop is busy costs at most that much (and one frame).
inline constexpr size_t TLS_TCP_CLIENT_MAX_QUEUED_BYTES = 1024u * 1024u;
size_t tls_tcp_client_get_queued_bytes(tls_tcp_client* client);

int tls_tcp_client_get_failure(tls_tcp_client* client);

// The connection's remote (remote true) or local IPv4 address and port.
// NOTCONN unless connected; AFNOSUPPORT for a connection over IPv6;
// INVALIDPARAMETER without an out record.
aud_error tls_tcp_client_get_endpoint(tls_tcp_client* client, bool remote, aud_socket_address* out);
