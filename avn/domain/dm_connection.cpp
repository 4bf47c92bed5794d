// The domain handler's side that talks to a Domain Manager: identify and
// login over HTTPS, then the TLS connection that carries the domain list,
// the keepalives and relayed messages.
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "avn/domain/avnapi_auth.h"
#include "avn/browse/interfaces.h"
#include "avn/domain/dm_diagnostics.h"
#include "avn/domain/dm_discovery.h"
#include "avn/domain/dm_domain_list.h"
#include "avn/domain/dm_frame.h"
#include "avn/domain/dm_trust.h"
#include "avn/domain/domain_handler.h"
#include "avn/domain/domain_handler_internal.h"
#include "avn/domain/tls_tcp_client.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_event_loop.h"

namespace {

// The handler's lines on the standard error stream, unless turned off.
template <typename... Args>
void diagnostic(const char* format, Args... args) {
    if (dm_diagnostics_enabled()) {
        std::fprintf(stderr, format, args...);
    }
}

bool in_tls_states(int state) {
    return state >= AVN_DOMAIN_HANDLER_STATE_TLS_OPENING && state <= AVN_DOMAIN_HANDLER_STATE_CONNECTED;
}

void forget_held_login(avn_domain_handler* handler) {
    handler->held_user.clear();
    handler->held_password.clear();
    handler->login_pending = false;
}

// Reports an asynchronous failure: state 2 and the error.
void fail(avn_domain_handler* handler, aud_error error) {
    domain_handler_change_state(handler, AVN_DOMAIN_HANDLER_STATE_DISCOVERED);
    avn_domain_handler_report_error(handler, error);
}

// ---- The TLS client's socket in the event loop ----

void register_sockets(avn_domain_handler* handler);

void on_tls_socket(aud_error /*cause*/, aud_socket_t /*socket*/, int /*direction*/, void* context) {
    auto* handler = static_cast<avn_domain_handler*>(context);
    tls_tcp_client_process_events(handler->tls);
    if (in_tls_states(handler->state)) {
        register_sockets(handler);
    }
}

void unregister_sockets(avn_domain_handler* handler) {
    aud_event_loop* loop = aud_env_get_event_loop(handler->env);
    for (int32_t i = 0; i < handler->registered.count; ++i) {
        aud_event_loop_set_socket(loop, handler->registered.sockets[i], AUD_DIRECTION_READ, nullptr,
                                  nullptr, AUD_SET_SOCKET_ADD_OR_REPLACE);
    }
    aud_fd_set_clear(&handler->registered);
}

void register_sockets(avn_domain_handler* handler) {
    aud_event_loop* loop = aud_env_get_event_loop(handler->env);
    if (loop == nullptr) {
        return;
    }
    unregister_sockets(handler);
    tls_tcp_client_get_sockets(handler->tls, &handler->registered);
    for (int32_t i = 0; i < handler->registered.count; ++i) {
        aud_event_loop_set_socket(loop, handler->registered.sockets[i], AUD_DIRECTION_READ,
                                  on_tls_socket, handler, AUD_SET_SOCKET_ADD_OR_REPLACE);
    }
}

// ---- Messages ----

constexpr const char* kListParser = "avnapi_domain_handler_process_domain_list";

void process_domain_list(avn_domain_handler* handler, const uint8_t* data, size_t length) {
    const dm_domain_list list = dm_domain_list_parse(std::span<const uint8_t>(data, length));
    if (list.status == dm_domain_list_status::packet_too_short) {
        diagnostic("%s: Failed to read domain list packet.\n", kListParser);
        return;
    }
    if (list.status != dm_domain_list_status::ok) {
        return;
    }
    for (size_t i = 0; i < list.names_too_long; ++i) {
        diagnostic("%s: Domain label was longer than expected and was truncated.\n",
                     kListParser);
    }
    if (list.item_unreadable) {
        diagnostic("%s: Failed to read domain item in message.\n", kListParser);
    }
    avn_domain_handler_apply_domain_list(handler, list.entries, list.partial, list.first_id,
                                         list.last_id);
}

void on_tls_message(tls_tcp_client* /*client*/, uint32_t type, const uint8_t* data, size_t length,
                    void* context) {
    auto* handler = static_cast<avn_domain_handler*>(context);
    if (type == DM_MESSAGE_RELAYED) {
        if (handler->state == AVN_DOMAIN_HANDLER_STATE_CONNECTED &&
            handler->notify.on_message != nullptr) {
            handler->notify.on_message(handler->owner, data, length);
        }
        return;
    }
    if (type != DM_MESSAGE_DOMAIN_LIST) {
        return;
    }
    if (handler->state == AVN_DOMAIN_HANDLER_STATE_WAITING_FOR_LIST) {
        avn_domain_handler_change_state(handler, AVN_DOMAIN_HANDLER_STATE_CONNECTED);
    }
    if (handler->state == AVN_DOMAIN_HANDLER_STATE_CONNECTED) {
        process_domain_list(handler, data, length);
    }
}

void send_frame(avn_domain_handler* handler, uint32_t type, const uint8_t* data, size_t length) {
    tls_tcp_client_send(handler->tls, type, data, length);
}

int failure_of_tls(avn_domain_handler* handler, int state_before) {
    if (state_before != AVN_DOMAIN_HANDLER_STATE_TLS_OPENING) {
        return AVN_DM_FAILURE_LOST;
    }
    switch (tls_tcp_client_get_failure(handler->tls)) {
    case TLS_TCP_CLIENT_FAILURE_HANDSHAKE:
        return AVN_DM_FAILURE_UNTRUSTED;
    case TLS_TCP_CLIENT_FAILURE_RESOLVE:
    case TLS_TCP_CLIENT_FAILURE_CONNECT:
        return AVN_DM_FAILURE_UNREACHABLE;
    default:
        return AVN_DM_FAILURE_LOST;
    }
}

void on_tls_state(tls_tcp_client* /*client*/, int state, void* context) {
    auto* handler = static_cast<avn_domain_handler*>(context);
    if (state == TLS_TCP_CLIENT_CONNECTED) {
        const uint8_t hello[4] = {};
        send_frame(handler, DM_MESSAGE_HELLO, hello, sizeof hello);
        avn_domain_handler_change_state(handler, AVN_DOMAIN_HANDLER_STATE_WAITING_FOR_LIST);
        const uint8_t* token = nullptr;
        size_t token_length = 0;
        if (avnapi_auth_get_token(handler->auth, &token, &token_length) == AUD_SUCCESS) {
            send_frame(handler, DM_MESSAGE_TOKEN, token, token_length);
        }
        avnapi_auth_drop_token(handler->auth);
        return;
    }
    if (state != TLS_TCP_CLIENT_DISCONNECTED) {
        return;
    }
    const bool requested = handler->disconnect_requested;
    handler->disconnect_requested = false;
    if (requested) {
        domain_handler_change_state(handler, AVN_DOMAIN_HANDLER_STATE_DISCOVERED);
        domain_handler_deliver_pending_event(handler);
    } else {
        handler->last_failure = failure_of_tls(handler, handler->state);
        fail(handler, AUD_ERR_NOTCONN);
    }
}

void send_keepalive(avn_domain_handler* handler, void* /*context*/) {
    send_frame(handler, DM_MESSAGE_KEEPALIVE, nullptr, 0);
}

// ---- Authentication ----

const char* text_of_auth_failure(int code) {
    switch (code) {
    case AVNAPI_AUTH_UNAUTHORISED:
        return "Request Unauthorised.\n";
    case AVNAPI_AUTH_CONNECTION_FAILED:
        return "Failed to connect.\n";
    case AVNAPI_AUTH_TRANSFER_ERROR:
        return "Unknown connection error.\n";
    case AVNAPI_AUTH_TLS_HANDSHAKE_ERROR:
        return "SSL Handshake Error.\n";
    case AVNAPI_AUTH_CA_CERTIFICATE_ERROR:
        return "CA Certificate Error.\n";
    case AVNAPI_AUTH_MALFORMED:
        return "Response was malformed.\n";
    default:
        return "Unknown Error occurred.\n";
    }
}


int failure_of_auth(const avn_domain_handler* handler, int code) {
    switch (code) {
    case AVNAPI_AUTH_UNAUTHORISED:
        return AVN_DM_FAILURE_REFUSED;
    case AVNAPI_AUTH_CONNECTION_FAILED:
        return AVN_DM_FAILURE_UNREACHABLE;
    case AVNAPI_AUTH_TRANSFER_ERROR:
        return avnapi_auth_last_failure_was_pin(handler->auth) ? AVN_DM_FAILURE_UNTRUSTED
                                                               : AVN_DM_FAILURE_UNREACHABLE;
    case AVNAPI_AUTH_TLS_HANDSHAKE_ERROR:
    case AVNAPI_AUTH_CA_CERTIFICATE_ERROR:
        return AVN_DM_FAILURE_UNTRUSTED;
    case AVNAPI_AUTH_MALFORMED:
    case AVNAPI_AUTH_NO_SUPPORTED_VERSION:
        return AVN_DM_FAILURE_MALFORMED;
    default:
        return AVN_DM_FAILURE_OTHER;
    }
}

void fail_auth(avn_domain_handler* handler, int code) {
    diagnostic("%s", text_of_auth_failure(code));
    handler->last_failure = failure_of_auth(handler, code);
    forget_held_login(handler);
    fail(handler, avnapi_auth_code_to_error(code));
}

// The token is in: open the TLS connection to the service port, pinned to
// the key that identify saw, also for the stored pin's server. The host is
// resolved again for the connection, so without the pin a changed DNS answer
// between login and connect would hand the token to any server under the
// stored root.
void open_connection(avn_domain_handler* handler) {
    uint16_t service_port = 0;
    const char* identity = nullptr;
    size_t identity_length = 0;
    if (avnapi_auth_get_service_port(handler->auth, &service_port) != AUD_SUCCESS ||
        avnapi_auth_get_identity(handler->auth, &identity, &identity_length) != AUD_SUCCESS ||
        identity_length == 0) {
        fail_auth(handler, AVNAPI_AUTH_NO_RESULT);
        return;
    }
    tls_tcp_client_set_pinned_public_key(handler->tls, identity);
    avn_domain_handler_change_state(handler, AVN_DOMAIN_HANDLER_STATE_TLS_OPENING);
    tls_tcp_client_connect(handler->tls, handler->dm_host.c_str(), service_port);
}

void log_in_with_held(avn_domain_handler* handler) {
    avn_domain_handler_change_state(handler, AVN_DOMAIN_HANDLER_STATE_LOGGING_IN);
    const aud_error result =
        avnapi_auth__login(handler->auth, handler->held_user.c_str(), handler->held_password.c_str());
    forget_held_login(handler);
    if (result != AUD_SUCCESS) {
        fail(handler, result);
    }
}

void on_auth_done(void* context, int code) {
    auto* handler = static_cast<avn_domain_handler*>(context);
    if (code != AVNAPI_AUTH_SUCCESS) {
        fail_auth(handler, code);
        return;
    }
    const int auth_state = avnapi_auth_get_state(handler->auth);
    if (handler->state == AVN_DOMAIN_HANDLER_STATE_IDENTIFYING &&
        auth_state == AVNAPI_AUTH_STATE_IDENTIFIED) {
        if (handler->login_pending) {
            log_in_with_held(handler);
        } else {
            avn_domain_handler_change_state(handler, AVN_DOMAIN_HANDLER_STATE_IDENTIFIED);
        }
        return;
    }
    if (handler->state == AVN_DOMAIN_HANDLER_STATE_LOGGING_IN &&
        auth_state == AVNAPI_AUTH_STATE_TOKEN_ACQUIRED) {
        open_connection(handler);
        return;
    }
    fail_auth(handler, AVNAPI_AUTH_NO_RESULT);
}

// ---- Discovery ----

void delete_discovery(avn_domain_handler* handler) {
    if (handler->discovery != nullptr) {
        dm_client_url_discovery_delete(handler->discovery);
        handler->discovery = nullptr;
    }
}

void on_discovered(void* context, const char* host, uint16_t port) {
    auto* handler = static_cast<avn_domain_handler*>(context);
    if (handler->state != AVN_DOMAIN_HANDLER_STATE_DISCOVERING) {
        return;
    }
    handler->dm_host = host;
    handler->dm_port = port;
    dm_client_url_discovery_stop(handler->discovery);
    avn_domain_handler_change_state(handler, AVN_DOMAIN_HANDLER_STATE_DISCOVERED);
}

// The interface to look for the Domain Manager on, when none is named: the
// first that is up and has a DNS server (where the unicast lookup can ask),
// else the first up one that is not loopback, else the first up one. The
// first up interface alone is often loopback, which has no DNS server.
int interface_rank(const aud_interface& netif) {
    if (!netif.up) {
        return 0;
    }
    if (!netif.loopback && aud_socket_address_get_ipv4(&netif.dns_server) != 0) {
        return 3;
    }
    return netif.loopback ? 1 : 2;
}

// That interface, and the DNS servers of every interface that has one (when
// its own finds nothing, the next attempt asks another).
aud_error choose_interface(aud_env* env, uint32_t* index,
                           std::vector<dm_discovery_dns_server>* dns_servers) {
    aud_interface* interfaces = nullptr;
    size_t count = 0;
    const aud_error result = aud_interface_list_with_env(env, &interfaces, &count);
    if (result != AUD_SUCCESS) {
        return result;
    }
    *dns_servers = dm_discovery_dns_servers_of(interfaces, count);
    aud_error found = AUD_ERR_NOTFOUND;
    int best = 0;
    for (size_t i = 0; i < count; ++i) {
        const int rank = interface_rank(interfaces[i]);
        if (rank > best) {
            best = rank;
            *index = interfaces[i].index;
            found = AUD_SUCCESS;
        }
    }
    aud_interface_list_free(interfaces);
    return found;
}

aud_error start_discovery(avn_domain_handler* handler, const uint32_t* interface_index) {
    uint32_t index = 0;
    std::vector<dm_discovery_dns_server> dns_servers;
    if (interface_index != nullptr) {
        index = *interface_index;
    } else {
        const aud_error result = choose_interface(handler->env, &index, &dns_servers);
        if (result != AUD_SUCCESS) {
            return result;
        }
    }
    delete_discovery(handler);
    aud_error result =
        dm_client_url_discovery_new(handler->env, on_discovered, handler, &handler->discovery);
    if (result != AUD_SUCCESS) {
        return result;
    }
    dm_client_url_discovery_set_interface(handler->discovery, index);
    dm_discovery* engine = dm_client_url_discovery_get_engine(handler->discovery);
    // With one server the interface itself is read at each attempt, as ever.
    if (dns_servers.size() > 1) {
        result = dm_discovery_set_dns_servers(engine, std::move(dns_servers));
    }
    if (result == AUD_SUCCESS && handler->dns_override.length != 0) {
        result = dm_discovery_set_dns_override(engine, &handler->dns_override,
                                               handler->dns_override_suffix.c_str());
    }
    if (result == AUD_SUCCESS) {
        result = dm_client_url_discovery_start(handler->discovery);
    }
    if (result != AUD_SUCCESS) {
        dm_client_url_discovery_stop(handler->discovery);
        delete_discovery(handler);
        return result;
    }
    domain_handler_change_state(handler, AVN_DOMAIN_HANDLER_STATE_DISCOVERING);
    return AUD_SUCCESS;
}

void stop_discovery(avn_domain_handler* handler) {
    if (handler->discovery != nullptr) {
        dm_client_url_discovery_stop(handler->discovery);
    }
    domain_handler_change_state(handler, AVN_DOMAIN_HANDLER_STATE_NONE);
}

aud_error start_identify(avn_domain_handler* handler) {
    if (handler->dm_host.empty()) {
        return AUD_ERR_NOTSUPPORTED;
    }
    handler->last_failure = AVN_DM_FAILURE_NONE;
    domain_handler_change_state(handler, AVN_DOMAIN_HANDLER_STATE_IDENTIFYING);
    return avnapi_auth__identify(handler->auth, handler->dm_host.c_str(), handler->dm_port);
}

}  // namespace

// ---- Shared with domain_handler.cpp ----

aud_error dm_connection_create(avn_domain_handler* handler) {
    handler->send_keepalive = send_keepalive;
    aud_error result = avnapi_auth_new(handler->env, &handler->auth);
    if (result != AUD_SUCCESS) {
        return result;
    }
    avnapi_auth_set_context(handler->auth, handler);
    avnapi_auth_set_callback(handler->auth, on_auth_done);
    handler->tls = tls_tcp_client_new(handler->env);
    if (handler->tls == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    result = tls_tcp_client_set_ca_certificate(handler->tls, avn_dm_ca_certificate);
    if (result != AUD_SUCCESS) {
        return result;
    }
    tls_tcp_client_set_context(handler->tls, handler);
    tls_tcp_client_set_state_callback(handler->tls, on_tls_state);
    tls_tcp_client_set_message_callback(handler->tls, on_tls_message);
    return AUD_SUCCESS;
}

void dm_connection_destroy(avn_domain_handler* handler) {
    delete_discovery(handler);
    if (handler->tls != nullptr) {
        // Nothing is reported from a handler that is going away.
        tls_tcp_client_set_state_callback(handler->tls, nullptr);
        tls_tcp_client_set_message_callback(handler->tls, nullptr);
        unregister_sockets(handler);
        tls_tcp_client_delete(handler->tls);
        handler->tls = nullptr;
    }
    avnapi_auth_delete(handler->auth);
    handler->auth = nullptr;
    forget_held_login(handler);
}

void dm_connection_on_state_change(avn_domain_handler* handler, int old_state, int new_state) {
    if (handler->tls != nullptr && in_tls_states(new_state) != in_tls_states(old_state)) {
        if (in_tls_states(new_state)) {
            register_sockets(handler);
        } else {
            unregister_sockets(handler);
        }
    }
    if (new_state < AVN_DOMAIN_HANDLER_STATE_IDENTIFYING) {
        avnapi_auth_reset(handler->auth);
    } else if (new_state < AVN_DOMAIN_HANDLER_STATE_LOGGING_IN) {
        avnapi_auth_drop_token(handler->auth);
    }
}

// ---- Public ----

aud_error avn_domain_handler_set_dm_address(avn_domain_handler* handler, const char* host,
                                            uint16_t port) {
    ApiCall call(handler);
    if (host == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (handler->state == AVN_DOMAIN_HANDLER_STATE_DISCOVERING) {
        stop_discovery(handler);
    }
    if (handler->state != AVN_DOMAIN_HANDLER_STATE_NONE &&
        handler->state != AVN_DOMAIN_HANDLER_STATE_DISCOVERED) {
        return AUD_ERR_INVALIDSTATE;
    }
    handler->dm_host = host;
    handler->dm_port = port != 0 ? port : AVN_DOMAIN_HANDLER_DEFAULT_DM_PORT;
    domain_handler_change_state(handler, AVN_DOMAIN_HANDLER_STATE_DISCOVERED);
    return AUD_SUCCESS;
}

aud_error avn_domain_handler_start_dm_discovery(avn_domain_handler* handler,
                                                const uint32_t* interface_index) {
    ApiCall call(handler);
    if (handler->state != AVN_DOMAIN_HANDLER_STATE_NONE &&
        handler->state != AVN_DOMAIN_HANDLER_STATE_DISCOVERED) {
        return AUD_ERR_INVALIDSTATE;
    }
    return start_discovery(handler, interface_index);
}

aud_error avn_domain_handler_stop_dm_discovery(avn_domain_handler* handler) {
    ApiCall call(handler);
    if (handler->state != AVN_DOMAIN_HANDLER_STATE_DISCOVERING) {
        return AUD_ERR_INVALIDSTATE;
    }
    stop_discovery(handler);
    return AUD_SUCCESS;
}

aud_error avn_domain_handler_set_dm_dns_override(avn_domain_handler* handler,
                                                 const aud_socket_address* server,
                                                 const char* suffix) {
    if (server == nullptr) {
        handler->dns_override = aud_socket_address{};
        handler->dns_override_suffix.clear();
        return AUD_SUCCESS;
    }
    if (!aud_socket_address_is_ipv4(server)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    handler->dns_override = *server;
    handler->dns_override_suffix = suffix != nullptr ? suffix : "";
    return AUD_SUCCESS;
}

aud_error avn_domain_handler_get_dm_address(const avn_domain_handler* handler, const char** host,
                                            uint16_t* port) {
    if (host == nullptr || port == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (handler->state < AVN_DOMAIN_HANDLER_STATE_DISCOVERED) {
        return AUD_ERR_INVALIDSTATE;
    }
    *host = handler->dm_host.c_str();
    *port = handler->dm_port;
    return AUD_SUCCESS;
}

aud_error avn_domain_handler_identify(avn_domain_handler* handler) {
    ApiCall call(handler);
    if (handler->state != AVN_DOMAIN_HANDLER_STATE_DISCOVERED) {
        return AUD_ERR_INVALIDSTATE;
    }
    return start_identify(handler);
}

aud_error avn_domain_handler_get_identity(avn_domain_handler* handler, const char** text) {
    if (text == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (handler->state < AVN_DOMAIN_HANDLER_STATE_IDENTIFIED) {
        return AUD_ERR_INVALIDSTATE;
    }
    size_t length = 0;
    return avnapi_auth_get_identity(handler->auth, text, &length) == AUD_SUCCESS ? AUD_SUCCESS
                                                                                 : AUD_ERR_FAULT;
}

aud_error avn_domain_handler_login(avn_domain_handler* handler, const char* user,
                                   const char* password) {
    ApiCall call(handler);
    if (user == nullptr || password == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (handler->state == AVN_DOMAIN_HANDLER_STATE_DISCOVERED) {
        if (!handler->held_user.assign(user) || !handler->held_password.assign(password)) {
            forget_held_login(handler);
            return AUD_ERR_NOMEMORY;
        }
        handler->login_pending = true;
        const aud_error result = start_identify(handler);
        if (result != AUD_SUCCESS && handler->state == AVN_DOMAIN_HANDLER_STATE_DISCOVERED) {
            forget_held_login(handler);
        }
        return result;
    }
    if (handler->state == AVN_DOMAIN_HANDLER_STATE_IDENTIFIED) {
        domain_handler_change_state(handler, AVN_DOMAIN_HANDLER_STATE_LOGGING_IN);
        return avnapi_auth__login(handler->auth, user, password);
    }
    return AUD_ERR_INVALIDSTATE;
}

aud_error avn_domain_handler_logout(avn_domain_handler* handler) {
    ApiCall call(handler);
    if (handler->state < AVN_DOMAIN_HANDLER_STATE_IDENTIFYING) {
        return AUD_SUCCESS;
    }
    handler->disconnect_requested = true;
    tls_tcp_client_disconnect(handler->tls);
    // Without a connection to close no report came back to clear the mark.
    handler->disconnect_requested = false;
    forget_held_login(handler);
    domain_handler_change_state(handler, AVN_DOMAIN_HANDLER_STATE_DISCOVERED);
    return AUD_SUCCESS;
}

aud_error avn_domain_handler_send(avn_domain_handler* handler, const uint8_t* data, size_t length) {
    if (handler->state != AVN_DOMAIN_HANDLER_STATE_CONNECTED) {
        return AUD_ERR_INVALIDSTATE;
    }
    if (data == nullptr && length != 0) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    send_frame(handler, DM_MESSAGE_RELAYED, data, length);
    domain_handler_restart_keepalive(handler);
    return AUD_SUCCESS;
}

aud_error avn_domain_handler_get_dm_endpoint(avn_domain_handler* handler, bool remote,
                                             aud_socket_address* out) {
    if (handler->state != AVN_DOMAIN_HANDLER_STATE_CONNECTED) {
        return AUD_ERR_NOTCONN;
    }
    return tls_tcp_client_get_endpoint(handler->tls, remote, out);
}

int avn_domain_handler_get_last_failure(const avn_domain_handler* handler) {
    return handler->last_failure;
}
