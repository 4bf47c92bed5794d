#include "avn/domain/dm_discovery.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "avn/browse/interfaces.h"
#include "avn/runtime/aud_event_loop.h"
#include "avn/runtime/aud_log.h"

namespace {

constexpr unsigned kQuerySlots = 4;

// The multicast side: the DNS-SD handle, the running query and, while it
// waits for the event loop, the answer to hand on.
struct Multicast {
    dt_dnssd_handle* handle = nullptr;
    dt_dnssd_query* query = nullptr;
    int state = DM_DISCOVERY_MDNS_IDLE;
    bool detached = false;
    // An answer is handed on from a deferred call, never from inside the
    // DNS-SD layer's callback: the receiver may delete the discovery, and the
    // layer still uses the handle after its callback returns.
    bool delivery_pending = false;
    uint32_t delivery_call = 0;
    char host[DT_DNSSD_HOST_NAME_SIZE] = {};
    uint16_t port = 0;
};

}  // namespace

struct dm_discovery {
    aud_env* env = nullptr;
    aud_log* log = nullptr;
    aud_event_loop* loop = nullptr;
    uint32_t interface_index = 0;

    char name[DM_DISCOVERY_NAME_SIZE] = {};
    uint16_t type = 0;
    bool name_complete = false;
    bool local_name = false;

    int phase = DM_DISCOVERY_PHASE_IDLE;
    nslookup* lookup = nullptr;
    nslookup_query query{};
    aud_timer* timer = nullptr;
    Multicast mdns;

    bool dns_override = false;
    aud_socket_address override_server{};
    char override_suffix[AUD_INTERFACE_DNS_SUFFIX_SIZE] = {};
    // Servers that take turns, and whose turn it is.
    std::vector<dm_discovery_dns_server> dns_servers;
    size_t dns_turn = 0;

    void* context = nullptr;
    dm_discovery_unicast_callback unicast = nullptr;
    dm_discovery_multicast_callback multicast = nullptr;
};

struct dm_client_url_discovery {
    aud_env* env = nullptr;
    aud_log* log = nullptr;
    dm_discovery* engine = nullptr;
    dm_client_url_discovery_callback callback = nullptr;
    void* context = nullptr;
    bool stopped = true;
};

namespace {

const char* format_error(aud_error error, char* text, size_t size) {
    return aud_error_format(error, text, size);
}

bool ends_with(const char* text, const char* tail) {
    const size_t length = std::strlen(text);
    const size_t tail_length = std::strlen(tail);
    return length >= tail_length && std::strcmp(text + length - tail_length, tail) == 0;
}

// Drops a dot that ends the name (an escaped "\." is part of the label).
void strip_trailing_dot(char* name) {
    size_t length = std::strlen(name);
    if (length == 0 || name[length - 1] != '.') {
        return;
    }
    size_t backslashes = 0;
    while (backslashes + 1 < length && name[length - 2 - backslashes] == '\\') {
        ++backslashes;
    }
    if (backslashes % 2 == 0) {
        name[length - 1] = '\0';
    }
}

aud_error start_phase_timer(dm_discovery* engine, const aud_time& delay) {
    return aud_timer_start_once(engine->timer, nullptr, &delay);
}

// ---- Multicast ----

void mdns_deliver(aud_error, aud_event_loop*, uint32_t, void* context) {
    auto* engine = static_cast<dm_discovery*>(context);
    engine->mdns.delivery_pending = false;
    if (engine->multicast != nullptr) {
        // The receiver may delete the engine: nothing is touched afterwards.
        engine->multicast(engine->context, engine->mdns.host, engine->mdns.port);
    }
}

void cancel_delivery(dm_discovery* engine) {
    if (engine->mdns.delivery_pending) {
        aud_event_loop_cancel_call(engine->loop, engine->mdns.delivery_call, mdns_deliver, engine);
        engine->mdns.delivery_pending = false;
    }
}

void mdns_query_callback(dt_dnssd_query* query, void* user_data, uint32_t flags) {
    auto* engine = static_cast<dm_discovery*>(user_data);
    if ((flags & DT_DNSSD_SRV_ADDED) == 0) {
        return;
    }
    char host[DT_DNSSD_HOST_NAME_SIZE] = {};
    uint16_t port = 0;
    char text[AUD_ERROR_FORMAT_SIZE];
    const aud_error error = dt_dnssd_query_get_srv(query, flags, &port, host);
    if (error != AUD_SUCCESS) {
        aud_log_printf(engine->log, AUD_LOG_LEVEL_WARNING, "%s: Unusable mDNS SRV record: %s\n",
                       __func__, format_error(error, text, sizeof text));
        return;
    }
    engine->mdns.state = DM_DISCOVERY_MDNS_ANSWERED;
    std::memcpy(engine->mdns.host, host, sizeof host);
    engine->mdns.port = port;
    aud_log_printf(engine->log, AUD_LOG_LEVEL_INFO, "%s: mDNS SRV record %s port %u\n", __func__,
                   host, unsigned{port});
    if (engine->mdns.delivery_pending) {
        return;  // the call already queued hands on the latest answer
    }
    const aud_error queued =
        aud_event_loop_call_later(engine->loop, &engine->mdns.delivery_call, mdns_deliver, engine);
    if (queued != AUD_SUCCESS) {
        aud_log_printf(engine->log, AUD_LOG_LEVEL_ERROR,
                       "%s: Unable to hand on the mDNS answer: %s\n", __func__,
                       format_error(queued, text, sizeof text));
        return;
    }
    engine->mdns.delivery_pending = true;
}

void mdns_stop(dm_discovery* engine) {
    cancel_delivery(engine);
    if (engine->mdns.query != nullptr) {
        dt_dnssd_query_release(engine->mdns.query);
        engine->mdns.query = nullptr;
    }
    engine->mdns.state = DM_DISCOVERY_MDNS_IDLE;
}

// ---- Unicast ----

void unicast_answer(nslookup_query* query, int rcode, const dns_record* record, void* context) {
    auto* engine = static_cast<dm_discovery*>(context);
    if (engine->unicast != nullptr) {
        // The receiver may delete the engine: nothing is touched afterwards.
        engine->unicast(engine->context, query, rcode, record);
    }
}

aud_error start_wait(dm_discovery* engine) {
    engine->phase = DM_DISCOVERY_PHASE_WAIT;
    aud_log_printf(engine->log, AUD_LOG_LEVEL_DEBUG, "%s: DM discovery DNS lookup wait for 10s\n",
                   __func__);
    const aud_error error = start_phase_timer(engine, DM_DISCOVERY_RETRY_WAIT);
    if (error != AUD_SUCCESS) {
        char text[AUD_ERROR_FORMAT_SIZE];
        aud_log_printf(engine->log, AUD_LOG_LEVEL_ERROR,
                       "%s: Unable to set DM discovery DNS lookup timeout: %s\n", __func__,
                       format_error(error, text, sizeof text));
    }
    return error;
}

aud_error multicast_step(dm_discovery* engine) {
    char text[AUD_ERROR_FORMAT_SIZE];
    aud_error error = dm_discovery_mdns_run(engine);
    if (error != AUD_SUCCESS) {
        aud_log_printf(engine->log, AUD_LOG_LEVEL_ERROR,
                       "%s: Unable to start mDNS SRV lookup: %s\n", __func__,
                       format_error(error, text, sizeof text));
        return error;
    }
    if (engine->name_complete || engine->local_name) {
        return AUD_SUCCESS;
    }
    error = start_wait(engine);
    if (error != AUD_SUCCESS) {
        aud_log_printf(engine->log, AUD_LOG_LEVEL_ERROR,
                       "%s: Unable to start DM discovery DNS wait timer: %s\n", __func__,
                       format_error(error, text, sizeof text));
    }
    return error;
}

// Where the unicast query goes: the override, the server whose turn it is,
// or the interface's DNS server on port 53 and its suffix. *has_server is
// false when the interface has no DNS server.
aud_error dns_server_of(dm_discovery* engine, aud_socket_address* server, bool* has_server,
                        char* suffix, size_t suffix_size) {
    *has_server = true;
    if (engine->dns_override) {
        *server = engine->override_server;
        std::snprintf(suffix, suffix_size, "%s", engine->override_suffix);
        return AUD_SUCCESS;
    }
    if (!engine->dns_servers.empty()) {
        const dm_discovery_dns_server& turn =
            engine->dns_servers[engine->dns_turn % engine->dns_servers.size()];
        *server = turn.address;
        std::snprintf(suffix, suffix_size, "%s", turn.suffix);
        return AUD_SUCCESS;
    }
    aud_interface netif{};
    const aud_error error = aud_interface_find_by_index(&netif, engine->interface_index);
    if (error != AUD_SUCCESS) {
        char text[AUD_ERROR_FORMAT_SIZE];
        aud_log_printf(engine->log, AUD_LOG_LEVEL_ERROR, "%s: Unable to get interface: %s\n",
                       "lookup_dns", format_error(error, text, sizeof text));
        return error;
    }
    const uint32_t address = aud_socket_address_get_ipv4(&netif.dns_server);
    *has_server = address != 0;
    aud_socket_address_set_ipv4(server, address, NSLOOKUP_DNS_PORT);
    std::snprintf(suffix, suffix_size, "%s", netif.dns_suffix);
    return AUD_SUCCESS;
}

// One unicast attempt.
aud_error lookup_dns(dm_discovery* engine) {
    char text[AUD_ERROR_FORMAT_SIZE];
    if (engine->phase == DM_DISCOVERY_PHASE_UNICAST || engine->phase == DM_DISCOVERY_PHASE_WAIT) {
        aud_log_printf(engine->log, AUD_LOG_LEVEL_NOTICE,
                       "%s: DM lookup query in progress (state %u), restarting", __func__,
                       static_cast<unsigned>(engine->phase));
        aud_timer_stop(engine->timer);
    }
    nslookup_cancel_query(engine->lookup, &engine->query);

    aud_socket_address server{};
    bool has_server = false;
    char suffix[AUD_INTERFACE_DNS_SUFFIX_SIZE] = {};
    aud_error error = dns_server_of(engine, &server, &has_server, suffix, sizeof suffix);
    if (error != AUD_SUCCESS) {
        return error;
    }
    if (!has_server) {
        // Without a DNS server there is nobody to ask: sending to the
        // unspecified address would reach this computer instead.
        aud_log_printf(engine->log, AUD_LOG_LEVEL_WARNING,
                       "%s: Interface %u has no DNS server, trying mDNS only\n", __func__,
                       engine->interface_index);
        engine->phase = DM_DISCOVERY_PHASE_IDLE;
        return multicast_step(engine);
    }
    const uint32_t address = aud_socket_address_get_ipv4(&server);
    if (nslookup_is_open(engine->lookup)) {
        aud_log_printf(engine->log, AUD_LOG_LEVEL_INFO, "%s: Updating DNS address to %x\n",
                       __func__, address);
        error = nslookup_set_server(engine->lookup, &server);
        if (error != AUD_SUCCESS) {
            aud_log_printf(engine->log, AUD_LOG_LEVEL_ERROR,
                           "%s: Unable to set DNS server address: %s\n", __func__,
                           format_error(error, text, sizeof text));
            return error;
        }
    } else {
        aud_log_printf(engine->log, AUD_LOG_LEVEL_INFO, "%s: Setting DNS address to %x\n", __func__,
                       address);
        error = nslookup_set_server(engine->lookup, &server);
        if (error != AUD_SUCCESS) {
            aud_log_printf(engine->log, AUD_LOG_LEVEL_ERROR,
                           "%s: Unable to initialize nslookup: %s\n", __func__,
                           format_error(error, text, sizeof text));
            return error;
        }
    }

    engine->query.callback = unicast_answer;
    engine->query.context = engine;
    engine->query.type = engine->type;
    const int written =
        engine->name_complete
            ? std::snprintf(engine->query.name, sizeof engine->query.name, "%s", engine->name)
            : std::snprintf(engine->query.name, sizeof engine->query.name, "%s%s", engine->name,
                            suffix);
    aud_log_printf(engine->log, AUD_LOG_LEVEL_DEBUG, "%s: Searching for DNS %s %s\n", __func__,
                   dns_type_name(engine->type), engine->query.name);

    engine->phase = DM_DISCOVERY_PHASE_IDLE;
    error = written < 0 || static_cast<size_t>(written) >= sizeof engine->query.name
                ? AUD_ERR_INVALIDPARAMETER
                : nslookup_add_query(engine->lookup, &engine->query);
    if (error != AUD_SUCCESS) {
        aud_log_printf(engine->log, AUD_LOG_LEVEL_WARNING, "%s: Unable to add DNS query: %s\n",
                       __func__, format_error(error, text, sizeof text));
        return multicast_step(engine);
    }
    error = start_phase_timer(engine, DM_DISCOVERY_UNICAST_TIMEOUT);
    if (error != AUD_SUCCESS) {
        aud_log_printf(engine->log, AUD_LOG_LEVEL_ERROR,
                       "%s: Unable to set DNS lookup timeout: %s\n", __func__,
                       format_error(error, text, sizeof text));
        return error;
    }
    engine->phase = DM_DISCOVERY_PHASE_UNICAST;
    return AUD_SUCCESS;
}

void retry_dns_lookup(aud_error, aud_timer* timer) {
    auto* engine = static_cast<dm_discovery*>(aud_timer_get_context(timer));
    aud_log_printf(engine->log, AUD_LOG_LEVEL_DEBUG, "%s: DM discovery DNS lookup timer expired\n",
                   __func__);
    if (engine->phase == DM_DISCOVERY_PHASE_WAIT) {
        engine->phase = DM_DISCOVERY_PHASE_IDLE;
        if (engine->dns_servers.size() > 1) {
            engine->dns_turn = (engine->dns_turn + 1) % engine->dns_servers.size();
            aud_log_printf(engine->log, AUD_LOG_LEVEL_INFO,
                           "%s: Asking the next DNS server (%zu of %zu)\n", __func__,
                           engine->dns_turn + 1, engine->dns_servers.size());
        }
        const aud_error error = lookup_dns(engine);
        if (error != AUD_SUCCESS) {
            char text[AUD_ERROR_FORMAT_SIZE];
            aud_log_printf(engine->log, AUD_LOG_LEVEL_ERROR,
                           "%s: Unable to re-start DM discovery DNS SRV lookup: %s\n", __func__,
                           format_error(error, text, sizeof text));
        }
    } else if (engine->phase == DM_DISCOVERY_PHASE_UNICAST) {
        // No answer in time: multicast as well, and the unicast query keeps
        // its slot in case its answer is only late.
        start_wait(engine);
        dm_discovery_mdns_run(engine);
    }
}

// ---- The URL discovery's callbacks ----

void url_unicast_answer(void* context, nslookup_query*, int rcode, const dns_record* record) {
    auto* discovery = static_cast<dm_client_url_discovery*>(context);
    if (discovery->stopped) {
        return;
    }
    if (rcode != DNS_RCODE_NOERROR) {
        aud_log_printf(discovery->log, AUD_LOG_LEVEL_INFO,
                       "%s: DNS error %d, looking up the DM with mDNS\n", __func__, rcode);
        dm_discovery_mdns_run(discovery->engine);
        return;
    }
    if (record == nullptr || record->type != DNS_TYPE_SRV) {
        return;
    }
    char host[DNS_NAME_TEXT_SIZE];
    std::snprintf(host, sizeof host, "%s", record->srv_target);
    strip_trailing_dot(host);
    // A target of "." says that the service is not offered here.
    if (host[0] == '\0' || record->srv_port == 0) {
        aud_log_printf(discovery->log, AUD_LOG_LEVEL_WARNING,
                       "%s: Ignoring DNS SRV record without a host or port\n", __func__);
        return;
    }
    discovery->stopped = true;
    dm_discovery_mark_dns_complete(discovery->engine);
    // The receiver may delete the discovery: nothing is touched afterwards.
    discovery->callback(discovery->context, host, record->srv_port);
}

// A ".local" target is replaced by its address, asked for by multicast DNS
// as the answer came: the system's resolver need not know ".local" names
// (Linux without an mDNS resolver module does not). The name matters not:
// the server is checked by its key.
void resolve_local_target(dm_client_url_discovery* discovery, char* host, size_t size) {
    const size_t length = std::strlen(host);
    constexpr std::string_view kLocal = ".local";
    if (length <= kLocal.size() ||
        std::string_view(host + length - kLocal.size()) != kLocal) {
        return;
    }
    uint8_t address[4] = {};
    const aud_error error = dt_dnssd_gethostbyname(host, address, nullptr, true);
    if (error != AUD_SUCCESS) {
        aud_log_printf(discovery->log, AUD_LOG_LEVEL_WARNING,
                       "%s: No multicast address for %s; trying the name\n", __func__, host);
        return;
    }
    std::snprintf(host, size, "%u.%u.%u.%u", unsigned{address[0]}, unsigned{address[1]},
                  unsigned{address[2]}, unsigned{address[3]});
}

void url_multicast_answer(void* context, const char* target, uint16_t port) {
    auto* discovery = static_cast<dm_client_url_discovery*>(context);
    if (discovery->stopped) {
        return;
    }
    char host[DT_DNSSD_HOST_NAME_SIZE];
    std::snprintf(host, sizeof host, "%s", target != nullptr ? target : "");
    strip_trailing_dot(host);
    if (host[0] == '\0' || port == 0) {
        aud_log_printf(discovery->log, AUD_LOG_LEVEL_WARNING,
                       "%s: Ignoring mDNS SRV record without a host or port\n", __func__);
        return;
    }
    if (!discovery->engine->mdns.detached) {  // a detached query is fed by tests alone
        resolve_local_target(discovery, host, sizeof host);
    }
    discovery->stopped = true;
    dm_discovery_mark_dns_complete(discovery->engine);
    discovery->callback(discovery->context, host, port);
}

}  // namespace

// ---- The engine ----

aud_error dm_discovery_new(aud_env* env, void* context, dm_discovery_unicast_callback unicast,
                           dm_discovery_multicast_callback multicast, dm_discovery** out) {
    if (env == nullptr || out == nullptr || aud_env_get_event_loop(env) == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    aud_log* log = aud_env_get_log(env);
    char text[AUD_ERROR_FORMAT_SIZE];
    auto* engine = new (std::nothrow) dm_discovery;
    if (engine == nullptr) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "%s: Error creating proxy lookup\n", __func__);
        return AUD_ERR_NOMEMORY;
    }
    engine->env = env;
    engine->log = log;
    engine->loop = aud_env_get_event_loop(env);
    engine->context = context;
    engine->unicast = unicast;
    engine->multicast = multicast;

    if (nslookup_new(env, engine->loop, kQuerySlots, &engine->lookup) != AUD_SUCCESS) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "%s: failed to allocate nslookup\n", __func__);
        delete engine;
        return AUD_ERR_NOMEMORY;
    }
    aud_error error = aud_timer_new(engine->loop, retry_dns_lookup, engine, &engine->timer);
    if (error != AUD_SUCCESS) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "%s: failed to allocate DNS lookup timer: %s\n",
                       __func__, format_error(error, text, sizeof text));
        nslookup_delete(engine->lookup);
        delete engine;
        return error;
    }
    const int dnssd = dnssd_init_shared(engine->loop, &engine->mdns.handle, 0);
    if (dnssd != AUD_SUCCESS) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "%s: Failed to initialise dnssd: %d\n", __func__,
                       dnssd);
        error = AUD_ERR_NOMEMORY;
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "%s: failed to allocate mDNS discovery: %s\n",
                       __func__, format_error(error, text, sizeof text));
        aud_timer_delete(engine->timer);
        nslookup_delete(engine->lookup);
        delete engine;
        return error;
    }
    *out = engine;
    return AUD_SUCCESS;
}

aud_error dm_discovery_delete(dm_discovery* engine) {
    if (engine == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    dm_discovery_stop(engine);
    nslookup_delete(engine->lookup);
    const aud_error error = dt_dnssd_stop_processing(engine->mdns.handle);
    if (error != AUD_SUCCESS) {
        aud_log_printf(engine->log, AUD_LOG_LEVEL_ERROR, "%s: Unable to delete mDNS discovery\n",
                       __func__);
    }
    if (engine->mdns.handle != nullptr) {
        dt_dnssd_handle_delete(engine->mdns.handle);
    }
    aud_timer_delete(engine->timer);
    delete engine;
    return error;
}

void dm_discovery_set_interface(dm_discovery* engine, uint32_t interface_index) {
    if (engine != nullptr) {
        engine->interface_index = interface_index;
    }
}

aud_error dm_discovery_lookup(dm_discovery* engine, const char* name, uint16_t type) {
    if (engine == nullptr || name == nullptr || name[0] == '\0') {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const size_t length = std::strlen(name);
    // Room for a dot and at least "local".
    if (length + 1 + std::strlen("local") >= sizeof engine->name) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    std::memcpy(engine->name, name, length + 1);
    engine->type = type;
    engine->name_complete = std::strchr(name, '.') != nullptr && type == DNS_TYPE_A;
    engine->local_name =
        engine->name_complete && (ends_with(name, "local") || ends_with(name, "local."));
    if (!engine->name_complete && name[length - 1] != '.') {
        engine->name[length] = '.';
        engine->name[length + 1] = '\0';
    }
    return lookup_dns(engine);
}

aud_error dm_discovery_mdns_run(dm_discovery* engine) {
    if (engine == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (engine->mdns.state == DM_DISCOVERY_MDNS_RUNNING ||
        engine->mdns.state == DM_DISCOVERY_MDNS_ANSWERED) {
        aud_log_printf(engine->log, AUD_LOG_LEVEL_INFO,
                       "%s: mDNS lookup in progress not restarting\n", __func__);
        return AUD_SUCCESS;
    }
    char name[DM_DISCOVERY_NAME_SIZE + 8];
    if (engine->local_name) {
        std::snprintf(name, sizeof name, "%s", engine->name);
    } else {
        // A complete name that is not local yet needs its dot first.
        const char* dot = ends_with(engine->name, ".") ? "" : ".";
        std::snprintf(name, sizeof name, "%s%slocal", engine->name, dot);
    }
    aud_log_printf(engine->log, AUD_LOG_LEVEL_INFO, "%s: Searching for mDNS record %s\n", __func__,
                   name);
    engine->mdns.query =
        engine->mdns.detached
            ? dt_dnssd_query_new_detached(name, mdns_query_callback, engine)
            : dt_dnssd_query_service(engine->mdns.handle, name, mdns_query_callback, engine);
    if (engine->mdns.query == nullptr) {
        aud_log_printf(engine->log, AUD_LOG_LEVEL_ERROR, "%s: Failed to initialise dnssd query",
                       __func__);
        return AUD_ERR_NOMEMORY;
    }
    engine->mdns.state = DM_DISCOVERY_MDNS_RUNNING;
    return AUD_SUCCESS;
}

void dm_discovery_mark_dns_complete(dm_discovery* engine) {
    if (engine == nullptr) {
        return;
    }
    aud_log_printf(engine->log, AUD_LOG_LEVEL_INFO, "%s: DM DNS discovery complete\n", __func__);
    aud_timer_stop(engine->timer);
    engine->phase = DM_DISCOVERY_PHASE_DONE;
}

aud_error dm_discovery_stop(dm_discovery* engine) {
    if (engine == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    aud_log_printf(engine->log, AUD_LOG_LEVEL_INFO, "%s: Stopping discovery\n", __func__);
    dm_discovery_mark_dns_complete(engine);
    nslookup_cancel_query(engine->lookup, &engine->query);
    nslookup_close(engine->lookup);
    mdns_stop(engine);
    return AUD_SUCCESS;
}

int dm_discovery_get_phase(const dm_discovery* engine) {
    return engine != nullptr ? engine->phase : DM_DISCOVERY_PHASE_IDLE;
}

int dm_discovery_get_mdns_state(const dm_discovery* engine) {
    return engine != nullptr ? engine->mdns.state : DM_DISCOVERY_MDNS_IDLE;
}

const nslookup_query* dm_discovery_get_query(const dm_discovery* engine) {
    return engine != nullptr ? &engine->query : nullptr;
}

nslookup* dm_discovery_get_nslookup(dm_discovery* engine) {
    return engine != nullptr ? engine->lookup : nullptr;
}

aud_error dm_discovery_set_dns_override(dm_discovery* engine, const aud_socket_address* server,
                                        const char* suffix) {
    if (engine == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (server == nullptr) {
        engine->dns_override = false;
        return AUD_SUCCESS;
    }
    if (!aud_socket_address_is_ipv4(server) || aud_socket_address_get_port(server) == 0 ||
        aud_socket_address_get_ipv4(server) == 0 ||
        (suffix != nullptr && std::strlen(suffix) >= sizeof engine->override_suffix)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    engine->dns_override = true;
    engine->override_server = *server;
    std::snprintf(engine->override_suffix, sizeof engine->override_suffix, "%s",
                  suffix != nullptr ? suffix : "");
    return AUD_SUCCESS;
}

std::vector<dm_discovery_dns_server> dm_discovery_dns_servers_of(const aud_interface* interfaces,
                                                                 size_t count) {
    std::vector<dm_discovery_dns_server> servers;
    for (size_t i = 0; interfaces != nullptr && i < count; ++i) {
        const aud_interface& netif = interfaces[i];
        const uint32_t address = aud_socket_address_get_ipv4(&netif.dns_server);
        if (!netif.up || netif.loopback || address == 0) {
            continue;
        }
        dm_discovery_dns_server server{};
        aud_socket_address_set_ipv4(&server.address, address, NSLOOKUP_DNS_PORT);
        std::snprintf(server.suffix, sizeof server.suffix, "%.*s",
                      static_cast<int>(sizeof netif.dns_suffix - 1), netif.dns_suffix);
        const bool seen = std::any_of(servers.begin(), servers.end(), [&](const auto& other) {
            return aud_socket_address_get_ipv4(&other.address) == address &&
                   dns_names_equal(other.suffix, server.suffix);
        });
        if (!seen) {
            servers.push_back(server);
        }
    }
    return servers;
}

aud_error dm_discovery_set_dns_servers(dm_discovery* engine,
                                       std::vector<dm_discovery_dns_server> servers) {
    if (engine == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    for (const dm_discovery_dns_server& server : servers) {
        if (!aud_socket_address_is_ipv4(&server.address) ||
            aud_socket_address_get_port(&server.address) == 0 ||
            aud_socket_address_get_ipv4(&server.address) == 0) {
            return AUD_ERR_INVALIDPARAMETER;
        }
    }
    for (dm_discovery_dns_server& server : servers) {
        server.suffix[sizeof server.suffix - 1] = '\0';  // whatever the caller left there
    }
    engine->dns_servers = std::move(servers);
    engine->dns_turn = 0;
    return AUD_SUCCESS;
}

void dm_discovery_set_mdns_detached(dm_discovery* engine, bool detached) {
    if (engine != nullptr) {
        engine->mdns.detached = detached;
    }
}

dt_dnssd_query* dm_discovery_get_mdns_query(dm_discovery* engine) {
    return engine != nullptr ? engine->mdns.query : nullptr;
}

// ---- What the domain handler owns ----

aud_error dm_client_url_discovery_new(aud_env* env, dm_client_url_discovery_callback callback,
                                      void* context, dm_client_url_discovery** out) {
    if (env == nullptr || callback == nullptr || out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auto* discovery = new (std::nothrow) dm_client_url_discovery;
    if (discovery == nullptr) {
        aud_log_printf(aud_env_get_log(env), AUD_LOG_LEVEL_ERROR,
                       "%s: Unable to create DM path discovery\n", __func__);
        return AUD_ERR_NOMEMORY;
    }
    discovery->env = env;
    discovery->log = aud_env_get_log(env);
    discovery->callback = callback;
    discovery->context = context;
    const aud_error error = dm_discovery_new(env, discovery, url_unicast_answer,
                                             url_multicast_answer, &discovery->engine);
    if (error != AUD_SUCCESS) {
        delete discovery;
        return error;
    }
    *out = discovery;
    return AUD_SUCCESS;
}

void dm_client_url_discovery_set_interface(dm_client_url_discovery* discovery,
                                           uint32_t interface_index) {
    if (discovery != nullptr) {
        dm_discovery_set_interface(discovery->engine, interface_index);
    }
}

aud_error dm_client_url_discovery_start(dm_client_url_discovery* discovery) {
    if (discovery == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    discovery->stopped = false;
    return dm_discovery_lookup(discovery->engine, DM_DISCOVERY_SERVICE_NAME, DNS_TYPE_SRV);
}

void dm_client_url_discovery_stop(dm_client_url_discovery* discovery) {
    if (discovery == nullptr) {
        return;
    }
    discovery->stopped = true;
    dm_discovery_stop(discovery->engine);
}

aud_error dm_client_url_discovery_delete(dm_client_url_discovery* discovery) {
    if (discovery == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    discovery->stopped = true;
    aud_error result = dm_discovery_stop(discovery->engine);
    if (result != AUD_SUCCESS) {
        aud_log_printf(discovery->log, AUD_LOG_LEVEL_ERROR, "%s: Unable to stop URL discovery\n",
                       __func__);
    }
    const aud_error error = dm_discovery_delete(discovery->engine);
    if (error != AUD_SUCCESS) {
        aud_log_printf(discovery->log, AUD_LOG_LEVEL_ERROR, "%s: Unable to delete DM discovery\n",
                       __func__);
        result = error;
    }
    delete discovery;
    return result;
}

dm_discovery* dm_client_url_discovery_get_engine(dm_client_url_discovery* discovery) {
    return discovery != nullptr ? discovery->engine : nullptr;
}
