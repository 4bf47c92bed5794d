// Finding the Domain Manager by itself. It advertises the DNS service
// "_avn-dm-c._tcp" with the instance name "default"; its SRV record gives the
// host and port to connect to.
//
// Two layers:
//  - dm_discovery, the engine, alternates between unicast and multicast DNS.
//    It asks the unicast DNS server of the chosen interface for the SRV
//    record of "default._avn-dm-c._tcp.<the interface's DNS suffix>" and
//    waits 5 s; without an answer (or at once on a DNS error answer) it also
//    starts a multicast DNS query for "default._avn-dm-c._tcp.local", which
//    keeps running, and asks the unicast server again 10 s later, and so on,
//    until it is stopped. A unicast query stays in its slot meanwhile, so a
//    late answer still counts.
//  - dm_client_url_discovery, what the domain handler owns, turns the first
//    usable SRV answer from either side into one call of its callback with
//    the target host (without a trailing dot) and the port, and ends the
//    discovery.
//
// Everything runs on the environment's event loop; callbacks run there too.
// A callback may stop and delete the discovery that called it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "avn/browse/dt_dnssd.h"
#include "avn/browse/interfaces.h"
#include "avn/domain/dns_message.h"
#include "avn/domain/nslookup.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_error.h"
#include "avn/runtime/aud_time.h"
#include "avn/runtime/socket.h"

struct dm_discovery;
struct dm_client_url_discovery;

// The service instance looked up, without a domain.
inline constexpr char DM_DISCOVERY_SERVICE_NAME[] = "default._avn-dm-c._tcp";

enum : size_t { DM_DISCOVERY_NAME_SIZE = 256 };

// How long a unicast query waits for its answer before multicast starts, and
// how long the engine then waits before it asks the unicast server again.
inline constexpr aud_time DM_DISCOVERY_UNICAST_TIMEOUT{5, 0};
inline constexpr aud_time DM_DISCOVERY_RETRY_WAIT{10, 0};

// Lookup phases of the engine.
enum : int {
    DM_DISCOVERY_PHASE_IDLE = 0,
    DM_DISCOVERY_PHASE_UNICAST = 1,  // unicast query sent, its 5 s running
    DM_DISCOVERY_PHASE_WAIT = 2,     // multicast running, 10 s until the next unicast query
    DM_DISCOVERY_PHASE_DONE = 3,
};

// States of the multicast query.
enum : int {
    DM_DISCOVERY_MDNS_IDLE = 0,
    DM_DISCOVERY_MDNS_RUNNING = 1,
    DM_DISCOVERY_MDNS_ANSWERED = 2,
};

// ---- The engine ----

// A unicast answer: (query, 0, record) for each record that answers the
// query, or (query, DNS response code, none) for an error answer.
using dm_discovery_unicast_callback = void (*)(void* context, nslookup_query* query, int rcode,
                                               const dns_record* record);
// A multicast SRV answer: the target host as the DNS-SD layer writes it (with
// a dot after every label) and the port; either may be empty or 0.
using dm_discovery_multicast_callback = void (*)(void* context, const char* host, uint16_t port);

// INVALIDPARAMETER without an environment with an event loop or without an
// out pointer; NOMEMORY.
aud_error dm_discovery_new(aud_env* env, void* context, dm_discovery_unicast_callback unicast,
                           dm_discovery_multicast_callback multicast, dm_discovery** out);
// Stops the engine and frees it.
aud_error dm_discovery_delete(dm_discovery* engine);

// The interface whose DNS server and suffix the unicast lookup uses.
void dm_discovery_set_interface(dm_discovery* engine, uint32_t interface_index);

// A unicast DNS server (IPv4, port 53) and the suffix that goes with it.
struct dm_discovery_dns_server {
    aud_socket_address address;
    char suffix[AUD_INTERFACE_DNS_SUFFIX_SIZE];
};

// The DNS servers worth asking when nobody has chosen an interface: those of
// the interfaces that are up and not loopback, each server and suffix once,
// in the list's order.
std::vector<dm_discovery_dns_server> dm_discovery_dns_servers_of(const aud_interface* interfaces,
                                                                 size_t count);

// Unicast attempts take turns among these servers, the first first: the
// attempt after one that found nothing asks the next, and after the last
// the first again. For a computer whose interfaces have DNS servers of their
// own while none of them was chosen. The interface is then not read; an
// empty list goes back to it. The override below still comes first.
// INVALIDPARAMETER for a server that is not IPv4 or has no port.
aud_error dm_discovery_set_dns_servers(dm_discovery* engine,
                                       std::vector<dm_discovery_dns_server> servers);

// Looks the name up: for a name with a dot and type A the name is complete
// and used as it is; any other name gets a dot and the interface's DNS
// suffix for unicast DNS, and "local" for multicast. INVALIDPARAMETER for a
// missing or empty name or one that does not leave room for a domain;
// otherwise what the first unicast attempt gives (an error when the
// interface cannot be read or the timer not started).
aud_error dm_discovery_lookup(dm_discovery* engine, const char* name, uint16_t type);

// Starts the multicast query unless one is running or answered already.
// NOMEMORY when it cannot start.
aud_error dm_discovery_mdns_run(dm_discovery* engine);
// Ends the unicast cycle: the phase timer stops, phase DONE.
void dm_discovery_mark_dns_complete(dm_discovery* engine);
// Ends the unicast cycle, cancels the unicast query, closes the unicast
// socket and stops the multicast query. INVALIDPARAMETER for none.
aud_error dm_discovery_stop(dm_discovery* engine);

int dm_discovery_get_phase(const dm_discovery* engine);
int dm_discovery_get_mdns_state(const dm_discovery* engine);
// The unicast query in use (its name is the one last asked for).
const nslookup_query* dm_discovery_get_query(const dm_discovery* engine);
nslookup* dm_discovery_get_nslookup(dm_discovery* engine);

// ---- Overrides for tests and for runs against avn-sim ----
//
// Not for a real network. The unicast DNS server normally is the interface's
// first IPv4 DNS server on port 53, and the suffix its DNS suffix. Tests may
// not send to a real DNS server, and a DNS server on port 53 needs a private
// network namespace; this points the unicast lookup at another server (any
// IPv4 address and port, such as avn-sim's on 127.0.0.1) and suffix instead,
// and the interface is then not read at all. A null server removes the
// override. INVALIDPARAMETER for a server that is not IPv4 or has no port, or
// a suffix longer than an interface's.
aud_error dm_discovery_set_dns_override(dm_discovery* engine, const aud_socket_address* server,
                                        const char* suffix);
// Tests that must not send multicast DNS: the multicast query is then made
// without DNS-SD operations behind it, and the test feeds it answers itself
// (dt_dnssd_query_reply on dm_discovery_get_mdns_query).
void dm_discovery_set_mdns_detached(dm_discovery* engine, bool detached);
// The running multicast query, or none.
dt_dnssd_query* dm_discovery_get_mdns_query(dm_discovery* engine);

// ---- What the domain handler owns ----

// The Domain Manager's host (no trailing dot) and port.
using dm_client_url_discovery_callback = void (*)(void* context, const char* host, uint16_t port);

// INVALIDPARAMETER without an environment with an event loop, a callback or
// an out pointer; NOMEMORY; or the engine's error.
aud_error dm_client_url_discovery_new(aud_env* env, dm_client_url_discovery_callback callback,
                                      void* context, dm_client_url_discovery** out);
void dm_client_url_discovery_set_interface(dm_client_url_discovery* discovery,
                                           uint32_t interface_index);
// Starts looking up the SRV record of "default._avn-dm-c._tcp".
aud_error dm_client_url_discovery_start(dm_client_url_discovery* discovery);
// No callback after this, until started again.
void dm_client_url_discovery_stop(dm_client_url_discovery* discovery);
aud_error dm_client_url_discovery_delete(dm_client_url_discovery* discovery);
// Its engine, for the overrides above.
dm_discovery* dm_client_url_discovery_get_engine(dm_client_url_discovery* discovery);
