// The domain handler's record, shared by its two halves: the domain list and
// states (domain_handler.cpp) and the Domain Manager connection
// (dm_connection.cpp). Nothing outside the handler includes this.
#pragma once

#include <cstdint>
#include <string>

#include "avn/domain/domain_handler.h"
#include "avn/domain/domain_list.h"
#include "avn/domain/secret_buffer.h"
#include "avn/runtime/socket.h"

struct aud_timer;
struct avnapi_auth;
struct tls_tcp_client;
struct dm_client_url_discovery;

struct avn_domain_handler_event {
    avn_domain_handler* handler;
    uint32_t flags;
    aud_error error;
};

struct avn_domain_handler {
    aud_env* env = nullptr;
    avnapi* owner = nullptr;
    avn_domain_handler_notifications notify{};
    bool login_pending = false;
    int state = AVN_DOMAIN_HANDLER_STATE_NONE;
    avn_domain_entry current{};
    DomainList list;
    bool include_adhoc = true;
    bool default_to_adhoc = true;
    unsigned keepalive_seconds = AVN_DOMAIN_HANDLER_DEFAULT_KEEPALIVE_SECONDS;
    aud_timer* keepalive_timer = nullptr;
    avn_domain_handler_keepalive_fn send_keepalive = nullptr;
    void* send_keepalive_context = nullptr;
    bool in_call = false;
    avn_domain_handler_event_callback event_callback = nullptr;
    avn_domain_handler_event pending{};

    // ---- The Domain Manager connection ----
    dm_client_url_discovery* discovery = nullptr;
    aud_socket_address dns_override{};  // length 0: the interface's DNS server
    std::string dns_override_suffix;
    std::string dm_host;
    uint16_t dm_port = AVN_DOMAIN_HANDLER_DEFAULT_DM_PORT;
    avnapi_auth* auth = nullptr;
    // What a login in state 2 holds until identify has succeeded.
    SecretBuffer held_user;
    SecretBuffer held_password;
    tls_tcp_client* tls = nullptr;
    bool disconnect_requested = false;
    int last_failure = AVN_DM_FAILURE_NONE;
    aud_fd_set registered{};  // the TLS client's sockets in the event loop
};

// Marks a public API call: what changes inside it is answered by the call's
// result, not reported through the event callback. Calls nest.
class ApiCall {
  public:
    explicit ApiCall(avn_domain_handler* handler)
        : handler_(handler), outer_(handler->in_call) {
        handler_->in_call = true;
    }
    ~ApiCall() {
        if (!outer_) {
            handler_->in_call = false;
            handler_->pending.flags = 0;
            handler_->pending.error = AUD_SUCCESS;
        }
    }
    ApiCall(const ApiCall&) = delete;
    ApiCall& operator=(const ApiCall&) = delete;

  private:
    avn_domain_handler* handler_;
    bool outer_;
};

// ---- domain_handler.cpp ----
void domain_handler_change_state(avn_domain_handler* handler, int new_state);
void domain_handler_deliver_pending_event(avn_domain_handler* handler);
void domain_handler_restart_keepalive(avn_domain_handler* handler);

// ---- dm_connection.cpp ----
// Creates the authentication object and the TLS client; frees them.
aud_error dm_connection_create(avn_domain_handler* handler);
void dm_connection_destroy(avn_domain_handler* handler);
// The effects of a state change on the connection.
void dm_connection_on_state_change(avn_domain_handler* handler, int old_state, int new_state);
