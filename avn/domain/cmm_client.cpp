#include "avn/domain/cmm_client.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "avn/domain/cmm_process.h"
#include "avn/domain/dgcp2_client.h"
#include "avn/runtime/aud_log.h"
#include "avn/runtime/avnapi_handle.h"
#include "avn/runtime/domain_provider.h"
#include "avn/runtime/socket.h"

namespace {

// Validity bits.
enum : uint32_t {
    kValidConnectionInfo = 0x1,
    kValidOptions = 0x2,
    kValidState = 0x4,
};

constexpr uint32_t kLoopback = 0x7F000001;  // 127.0.0.1
constexpr aud_time kKeepaliveInterval{10, 0};
constexpr aud_time kServiceTimeout{31, 0};

}  // namespace

struct cmm_client {
    aud_env* env = nullptr;
    aud_log* log = nullptr;
    domain_listener* listener = nullptr;
    uint16_t port = 0;  // 0 means CMM_DEFAULT_PORT
    aud_socket_t socket = AUD_SOCKET_INVALID;
    dgcp2_client* dgcp2 = nullptr;
    dgcp2_request* outstanding = nullptr;  // the CONNECT or SET_CONFIG awaiting its response
    int state = CMM_CLIENT_DISCONNECTED;
    cmm_client_event_callback callback = nullptr;
    void* context = nullptr;
    cmm_registration registration{};  // own_process is the own-process flag
    uint32_t valid = 0;
    cmm_connection_info info{};
    cmm_options held_options{};
    cmm_state held_state{};
    cmm_interface_set config_buffer{};
};

namespace {

uint32_t set_connection_state(cmm_client* client, int state) {
    if (client->state == state) {
        return 0;
    }
    aud_log_printf(client->log, AUD_LOG_LEVEL_DEBUG, "%s: state is now %u (was %u)\n",
                   "_cmm_client_set_connection_state", static_cast<unsigned>(state),
                   static_cast<unsigned>(client->state));
    client->state = state;
    return CMM_EVENT_CONNECTION;
}

uint32_t forget_outstanding(cmm_client* client) {
    if (client->outstanding == nullptr) {
        return 0;
    }
    dgcp2_client_release_request(client->outstanding);
    client->outstanding = nullptr;
    return CMM_EVENT_REQUEST_DONE;
}

uint32_t clear_options(cmm_client* client) {
    if ((client->valid & kValidOptions) == 0) {
        return 0;
    }
    std::memset(&client->held_options, 0, sizeof client->held_options);
    client->valid &= ~kValidOptions;
    return CMM_EVENT_OPTIONS;
}

uint32_t clear_state(cmm_client* client) {
    if ((client->valid & kValidState) == 0) {
        return 0;
    }
    std::memset(&client->held_state, 0, sizeof client->held_state);
    client->valid &= ~kValidState;
    uint32_t flags = CMM_EVENT_STATE;
    if (client->registration.own_process != 0) {
        client->registration.own_process = 0;
        flags |= CMM_EVENT_OWN_PROCESS;
    }
    return flags;
}

// The connection is gone: nothing the service told us holds any more.
uint32_t drop_connection(cmm_client* client) {
    uint32_t flags = forget_outstanding(client);
    std::memset(&client->info, 0, sizeof client->info);
    client->valid &= ~kValidConnectionInfo;
    flags |= clear_options(client);
    flags |= clear_state(client);
    flags |= set_connection_state(client, CMM_CLIENT_DISCONNECTED);
    return flags;
}

uint32_t apply_options(cmm_client* client, const cmm_options& options) {
    if ((client->valid & kValidOptions) != 0 &&
        std::memcmp(&client->held_options, &options, sizeof options) == 0) {
        return 0;
    }
    std::memcpy(&client->held_options, &options, sizeof options);
    client->valid |= kValidOptions;
    return CMM_EVENT_OPTIONS;
}

uint32_t apply_state(cmm_client* client, const cmm_state& state) {
    if ((client->valid & kValidState) != 0 &&
        std::memcmp(&client->held_state, &state, sizeof state) == 0) {
        return 0;
    }
    std::memcpy(&client->held_state, &state, sizeof state);
    client->valid |= kValidState;
    uint32_t flags = CMM_EVENT_STATE;
    const uint16_t count = std::min<uint16_t>(state.process_count, CMM_MAX_PROCESSES);
    for (uint16_t i = 0; i < count; ++i) {
        if (state.processes[i].process_id != client->registration.process_id) {
            continue;
        }
        const uint32_t own = state.processes[i].flag != 0 ? 1 : 0;
        if (own != client->registration.own_process) {
            client->registration.own_process = own;
            flags |= CMM_EVENT_OWN_PROCESS;
        }
        break;
    }
    return flags;
}

// The response to SET_CONFIG carries the state the service arrived at.
uint32_t on_set_config_response(cmm_client* client, const dgcp2_message* response,
                                aud_error* error) {
    const char* function = "cmm_client_on_event";
    const uint16_t kind = dgcp2_message_get_kind(response);
    if (kind != DGCP2_KIND_RESPONSE) {
        aud_log_printf(client->log, AUD_LOG_LEVEL_ERROR, "%s: SET_CONFIG response status=%s\n",
                       function, dgcp2_kind_name(kind));
    }
    cmm_state state;
    const aud_error decoded = cmm_decode_state(response, &state);
    if (decoded != AUD_SUCCESS) {
        // A refusal usually carries no state; the held one is still the truth.
        char text[AUD_ERROR_FORMAT_SIZE];
        aud_log_printf(client->log, AUD_LOG_LEVEL_ERROR, "%s: Error reading state: %s\n", function,
                       aud_error_format(decoded, text, sizeof text));
        if (*error == AUD_SUCCESS) {
            *error = decoded;
        }
        return 0;
    }
    aud_log_printf(client->log, AUD_LOG_LEVEL_DEBUG, "%s: SET_CONFIG: state is now:\n", function);
    cmm_log_state(client->log, AUD_LOG_LEVEL_DEBUG, function, &state);
    return apply_state(client, state);
}

uint32_t on_event_message(cmm_client* client, const dgcp2_message* message, aud_error* error) {
    const char* function = "cmm_client_on_event";
    char text[AUD_ERROR_FORMAT_SIZE];
    switch (dgcp2_message_get_opcode(message)) {
        case CMM_OPCODE_OPTIONS: {
            cmm_options options;
            const aud_error decoded = cmm_decode_options(message, &options);
            if (decoded != AUD_SUCCESS) {
                aud_log_printf(client->log, AUD_LOG_LEVEL_ERROR, "%s: Error reading options: %s\n",
                               function, aud_error_format(decoded, text, sizeof text));
                *error = decoded;
                return 0;
            }
            aud_log_printf(client->log, AUD_LOG_LEVEL_DEBUG, "%s: options are:", function);
            cmm_log_interfaces(client->log, AUD_LOG_LEVEL_DEBUG, "  ", options.interfaces,
                               options.count);
            return apply_options(client, options);
        }
        case CMM_OPCODE_STATE: {
            cmm_state state;
            const aud_error decoded = cmm_decode_state(message, &state);
            if (decoded != AUD_SUCCESS) {
                aud_log_printf(client->log, AUD_LOG_LEVEL_ERROR, "%s: Error reading state: %s\n",
                               function, aud_error_format(decoded, text, sizeof text));
                *error = decoded;
                return 0;
            }
            aud_log_printf(client->log, AUD_LOG_LEVEL_DEBUG, "%s: state is:", function);
            cmm_log_state(client->log, AUD_LOG_LEVEL_DEBUG, function, &state);
            return apply_state(client, state);
        }
        default:
            return 0;
    }
}

void cmm_client_on_event(dgcp2_client* dgcp2, const dgcp2_event* event, void* context) {
    auto* client = static_cast<cmm_client*>(context);
    aud_log_printf(client->log, AUD_LOG_LEVEL_DEBUG, "%s: flags=0x%08x\n", __func__, event->flags);
    uint32_t flags = 0;
    aud_error error = AUD_SUCCESS;

    if ((event->flags & DGCP2_EVENT_CONNECTION_LOST) != 0) {
        flags |= drop_connection(client);
    }
    if ((event->flags & DGCP2_EVENT_STATE_CHANGED) != 0) {
        switch (dgcp2_client_get_connection_state(dgcp2)) {
            case DGCP2_STATE_CONNECTING:
                flags |= set_connection_state(client, CMM_CLIENT_CONNECTING);
                break;
            case DGCP2_STATE_CONNECTED:
                if (event->message != nullptr &&
                    cmm_decode_connect_response(event->message, &client->info) == AUD_SUCCESS) {
                    client->valid |= kValidConnectionInfo;
                }
                flags |= set_connection_state(client, CMM_CLIENT_CONNECTED);
                break;
            default:
                flags |= drop_connection(client);
                break;
        }
    }
    if ((event->flags & DGCP2_EVENT_RESPONSE) != 0 && event->request != nullptr) {
        const dgcp2_message* request = dgcp2_request_get_message(event->request);
        if (event->message != nullptr) {
            // A refused CONNECT already dropped the request above; its kind
            // still tells why.
            error = dgcp2_kind_error(dgcp2_message_get_kind(event->message));
            if (dgcp2_message_get_opcode(request) == CMM_OPCODE_SET_CONFIG) {
                flags |= on_set_config_response(client, event->message, &error);
            }
        }
        if (event->request == client->outstanding) {
            client->outstanding = nullptr;
            flags |= CMM_EVENT_REQUEST_DONE;
        }
    }
    if ((event->flags & DGCP2_EVENT_MESSAGE) != 0 && event->message != nullptr) {
        flags |= on_event_message(client, event->message, &error);
    }

    if (flags != 0 && client->callback != nullptr) {
        const cmm_event out{flags, event->error != AUD_SUCCESS ? event->error : error};
        client->callback(client, &out, client->context);
    }
}

// Takes the DGCP2 slot and writes a request header of the opcode.
aud_error take_request(cmm_client* client, uint16_t opcode, dgcp2_request** out) {
    const aud_error error = dgcp2_client_take_request(client->dgcp2, out);
    if (error != AUD_SUCCESS) {
        return error;
    }
    return dgcp2_request_write_header(*out, CMM_PROTOCOL_ID, opcode);
}

// Sends a request that will be outstanding until its response.
aud_error send_outstanding(cmm_client* client, dgcp2_request* request) {
    client->outstanding = request;
    const aud_error error = dgcp2_client_send_request(request);
    if (error != AUD_SUCCESS) {
        if (client->outstanding == request) {
            client->outstanding = nullptr;
        }
        dgcp2_client_release_request(request);
    }
    return error;
}

}  // namespace

aud_error cmm_client_new(avnapi* instance, cmm_client** out) {
    if (instance == nullptr || out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    *out = nullptr;
    aud_env* env = avnapi_get_env(instance);
    domain_provider* provider = domain_provider_from_env(env);
    const int mode =
        provider != nullptr ? domain_provider_get_mode(provider) : int{DOMAIN_PROVIDER_MODE_NONE};
    if (mode != DOMAIN_PROVIDER_MODE_DOMAIN && mode != DOMAIN_PROVIDER_MODE_DOMAIN_AWARE) {
        return AUD_ERR_INVALIDDATA;
    }
    auto* client = new (std::nothrow) cmm_client;
    if (client == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    client->env = env;
    client->log = aud_env_get_log(env);
    aud_error error = domain_listener_new(provider, nullptr, nullptr, client, &client->listener);
    if (error == AUD_SUCCESS) {
        error = dgcp2_client_new(env, true, CMM_HEADER_TYPE, 1, &client->dgcp2);
    }
    if (error != AUD_SUCCESS) {
        cmm_client_delete(client);
        return error;
    }
    *out = client;
    return AUD_SUCCESS;
}

void cmm_client_delete(cmm_client* client) {
    if (client == nullptr) {
        return;
    }
    cmm_client_close(client);
    dgcp2_client_delete(client->dgcp2);
    if (client->listener != nullptr) {
        domain_listener_delete(client->listener);
    }
    delete client;
}

aud_error cmm_client_set_service_port(cmm_client* client, uint16_t port) {
    if (client == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (client->socket != AUD_SOCKET_INVALID) {
        return AUD_ERR_INVALIDSTATE;
    }
    client->port = port;
    return AUD_SUCCESS;
}

aud_error cmm_client_init(cmm_client* client, const char* name) {
    if (client == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (client->socket != AUD_SOCKET_INVALID) {
        return AUD_ERR_INVALIDSTATE;
    }
    aud_socket_address address{};
    aud_socket_address_set_ipv4(&address, kLoopback,
                                client->port != 0 ? client->port : CMM_DEFAULT_PORT);
    aud_error error = aud_socket_open_and_connect(&client->socket, &address);
    if (error != AUD_SUCCESS) {
        return error;
    }
    aud_log_printf(client->log, AUD_LOG_LEVEL_DEBUG, "%s: opened cmm client socket %d\n", __func__,
                   static_cast<int>(client->socket));

    aud_socket_address local{};
    error = aud_socket_set_blocking(client->socket, false);
    if (error == AUD_SUCCESS) {
        error = aud_socket_get_local_address(client->socket, &local);
    }
    dgcp2_client_id id{};
    id.port = aud_socket_address_get_port(&local);
    if (error == AUD_SUCCESS) {
        error = dgcp2_client_initialise(client->dgcp2, &id, client->socket, true, false, nullptr);
    }
    if (error == AUD_SUCCESS) {
        error = dgcp2_client_set_keepalives(client->dgcp2, CMM_PROTOCOL_ID, &kKeepaliveInterval,
                                            &kServiceTimeout);
    }
    if (error != AUD_SUCCESS) {
        dgcp2_client_stop(client->dgcp2);
        aud_socket_close(&client->socket);
        return error;
    }
    dgcp2_client_set_context(client->dgcp2, client);
    dgcp2_client_set_callback(client->dgcp2, cmm_client_on_event);

    if (name != nullptr) {
        std::memset(client->registration.name, 0, sizeof client->registration.name);
        std::strncpy(client->registration.name, name, sizeof client->registration.name - 1);
    }
    client->registration.process_id = cmm_process_current_id();
    client->registration.own_process = 0;
    return AUD_SUCCESS;
}

void cmm_client_set_event_callback(cmm_client* client, cmm_client_event_callback callback) {
    if (client != nullptr) {
        client->callback = callback;
    }
}

void cmm_client_set_context(cmm_client* client, void* context) {
    if (client != nullptr) {
        client->context = context;
    }
}

void* cmm_client_get_context(const cmm_client* client) {
    return client != nullptr ? client->context : nullptr;
}

aud_error cmm_client_start(cmm_client* client) {
    if (client == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (client->outstanding != nullptr || client->socket == AUD_SOCKET_INVALID) {
        return AUD_ERR_INVALIDSTATE;
    }
    dgcp2_request* request = nullptr;
    aud_error error = take_request(client, CMM_OPCODE_CONNECT, &request);
    if (error == AUD_SUCCESS) {
        error =
            cmm_encode_connect_request(dgcp2_request_get_message(request), &client->registration);
    }
    if (error != AUD_SUCCESS) {
        dgcp2_client_release_request(request);
        return error;
    }
    return send_outstanding(client, request);
}

aud_error cmm_client_stop(cmm_client* client) {
    if (client == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (client->state == CMM_CLIENT_DISCONNECTED) {
        return AUD_SUCCESS;
    }
    forget_outstanding(client);
    dgcp2_request* request = nullptr;
    aud_error error = take_request(client, CMM_OPCODE_DISCONNECT, &request);
    if (error == AUD_SUCCESS) {
        error = dgcp2_client_send_request(request);
    }
    if (error != AUD_SUCCESS) {
        dgcp2_client_release_request(request);
    }
    return error;
}

void cmm_client_close(cmm_client* client) {
    if (client == nullptr) {
        return;
    }
    dgcp2_client_stop(client->dgcp2);
    aud_socket_close(&client->socket);
    client->outstanding = nullptr;
    client->state = CMM_CLIENT_DISCONNECTED;
    client->valid = 0;
}

int cmm_client_get_connection_state(const cmm_client* client) {
    return client != nullptr ? client->state : int{CMM_CLIENT_DISCONNECTED};
}

const cmm_options* cmm_client_get_options(const cmm_client* client) {
    return client != nullptr && (client->valid & kValidOptions) != 0 ? &client->held_options
                                                                     : nullptr;
}

const cmm_state* cmm_client_get_state(const cmm_client* client) {
    return client != nullptr && (client->valid & kValidState) != 0 ? &client->held_state : nullptr;
}

const cmm_connection_info* cmm_client_get_connection_info(const cmm_client* client) {
    return client != nullptr && (client->valid & kValidConnectionInfo) != 0 ? &client->info
                                                                            : nullptr;
}

uint32_t cmm_client_get_process_id(const cmm_client* client) {
    return client != nullptr ? client->registration.process_id : 0;
}

bool cmm_client_get_own_process_flag(const cmm_client* client) {
    return client != nullptr && client->registration.own_process != 0;
}

cmm_interface_set* cmm_client_get_config_buffer(cmm_client* client) {
    return client != nullptr ? &client->config_buffer : nullptr;
}

aud_error cmm_client_set_system_config(cmm_client* client, const cmm_system_config* config) {
    if (client == nullptr || config == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (client->outstanding != nullptr) {
        return AUD_ERR_INVALIDSTATE;
    }
    dgcp2_request* request = nullptr;
    aud_error error = take_request(client, CMM_OPCODE_SET_CONFIG, &request);
    if (error == AUD_SUCCESS) {
        error = cmm_encode_set_config_request(dgcp2_request_get_message(request), config);
    }
    if (error != AUD_SUCCESS) {
        dgcp2_client_release_request(request);
        return error;
    }
    aud_log_printf(client->log, AUD_LOG_LEVEL_DEBUG,
                   "%s: Sending SET CONFIG request with config:\n", __func__);
    cmm_log_system_config(client->log, AUD_LOG_LEVEL_DEBUG, "  ", config);
    error = send_outstanding(client, request);
    if (error == AUD_SUCCESS) {
        aud_log_printf(client->log, AUD_LOG_LEVEL_DEBUG, "%s: Sent request, request id is %p\n",
                       __func__, static_cast<void*>(request));
    }
    return error;
}
