// A small unicast DNS client on the runtime's event loop: one UDP socket to
// one DNS server, a few query slots, retransmission every 3 seconds, and
// answers matched to the waiting queries by name and type.
//
// Each slot has a 16-bit DNS id that starts at 128 + the slot's index and
// grows by 256 each time the slot is used, so the id modulo 128 names the
// slot; an error answer is routed to its query by that. A record of any
// section of a successful answer goes to the first waiting query with the
// same name (letter case and a trailing dot aside) and type (or a query of
// type ANY), whatever query the answer was for; a record that matches none
// goes to the lookup's own callback.
//
// Only datagrams from the server's address and port that are DNS responses
// and well formed throughout are read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "avn/domain/dns_message.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_error.h"
#include "avn/runtime/aud_event_loop.h"
#include "avn/runtime/aud_time.h"
#include "avn/runtime/socket.h"

struct nslookup;
struct nslookup_query;

enum : size_t {
    NSLOOKUP_NAME_SIZE = 256,  // a query's name, with the terminator
    NSLOOKUP_MAX_SLOTS = 128,
};

enum : uint16_t { NSLOOKUP_DNS_PORT = 53 };

// Slot states.
enum : int {
    NSLOOKUP_SLOT_FREE = 0,
    NSLOOKUP_SLOT_FAILED = 1,
    NSLOOKUP_SLOT_WAITING = 2,
    NSLOOKUP_SLOT_ANSWERED = 3,
};

// For a query: (query, 0, record) for a matching record, or (query, DNS
// response code, none) for an error answer. For the lookup's own callback:
// (none, 0, record) for a record that matched no query. The record is valid
// during the call only. A callback may add and cancel queries, close the
// lookup and delete it (and whatever owns it): once it is closed or deleted
// nothing more of the datagram is handed on.
using nslookup_callback = void (*)(nslookup_query* query, int rcode, const dns_record* record,
                                   void* context);

// A query is the caller's: it must stay valid while it is in a slot.
struct nslookup_query {
    char name[NSLOOKUP_NAME_SIZE];  // dotted text
    uint16_t type;
    nslookup_callback callback;
    void* context;
};

// A lookup with `slots` query slots (1 to 128) on the event loop given, or
// on the environment's. INVALIDPARAMETER for a bad argument, INVALIDSTATE
// without an event loop, NOMEMORY.
aud_error nslookup_new(aud_env* env, aud_event_loop* loop, unsigned slots, nslookup** out);
// Closes the socket and frees the lookup; inside one of its callbacks the
// freeing waits until the callback returns. The queries stay their owners'.
void nslookup_delete(nslookup* lookup);

// Sets the server's IPv4 address and port. The first call opens the socket
// and registers it for reading; a different address sends every waiting
// query again, to it. INVALIDPARAMETER for a record that is not IPv4 or the
// address 0.0.0.0; a socket error.
aud_error nslookup_set_server(nslookup* lookup, const aud_socket_address* server);
bool nslookup_is_open(const nslookup* lookup);
// Unregisters and closes the socket and stops retransmission. Queries keep
// their slots and are sent again once a server is set.
void nslookup_close(nslookup* lookup);

// Takes the first free slot, gives it its next id and sends the query (at
// once, or when the datagram being processed is done). INVALIDPARAMETER for
// a missing query or callback or a name that cannot be sent; ALREADY when
// the query is in a slot; NOMEMORY when no slot is free. A query whose send
// fails still waits: it goes out again with the next retransmission of any
// query, or when a server is set.
aud_error nslookup_add_query(nslookup* lookup, nslookup_query* query);
// Frees the query's slot. NOTFOUND when it is in none.
aud_error nslookup_cancel_query(nslookup* lookup, nslookup_query* query);
void nslookup_set_callback(nslookup* lookup, nslookup_callback callback, void* context);

// The state of the query's slot (NSLOOKUP_SLOT_FREE when it is in none) and
// the id it was sent with.
int nslookup_query_state(const nslookup* lookup, const nslookup_query* query);
uint16_t nslookup_query_id(const nslookup* lookup, const nslookup_query* query);

// Retransmission period of the waiting queries.
inline constexpr aud_time NSLOOKUP_RETRANSMIT_INTERVAL{3, 0};
