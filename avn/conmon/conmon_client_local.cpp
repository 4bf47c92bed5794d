// The conmon client's connection to the local conmon server: one connected
// UDP socket to loopback, a four-state machine, a keepalive while connected,
// and a connection timeout that detects a silent server and reconnects.
#include <cstring>
#include <new>

#include "avn/conmon/conmon_client_private.h"

namespace {

constexpr const char* kLocalHost = "127.0.0.1";
constexpr const char* kLocalPort = "8900";
constexpr aud_time kNoInterval{0, 0};

struct StateIntervals {
    aud_time timeout;
    aud_time keepalive;
};

StateIntervals intervals_for(int state) {
    switch (state) {
        case CONMON_CLIENT_CONNECTING: return {{2, 0}, kNoInterval};
        case CONMON_CLIENT_CONNECTED: return {{10, 0}, {3, 0}};
        case CONMON_CLIENT_RECONNECT_PENDING: return {{5, 0}, kNoInterval};
        default: return {kNoInterval, kNoInterval};
    }
}

bool is_set(aud_time interval) {
    return interval.seconds > 0 || interval.microseconds > 0;
}

aud_log* log_of(const conmon_client_local* local) {
    return conmon_client_log(local->client);
}

aud_event_loop* loop_of(const conmon_client_local* local) {
    return aud_env_get_event_loop(local->client->env);
}

void rearm(aud_timer* timer, aud_time interval) {
    if (timer == nullptr) {
        return;
    }
    aud_timer_stop(timer);
    if (is_set(interval)) {
        aud_timer_start_recurring(timer, nullptr, &interval);
    }
}

void to_state(conmon_client_local* local, int state, const char* caller, const char* reason,
              bool notify) {
    if (local->state == state) {
        return;
    }
    aud_log_printf(log_of(local), AUD_LOG_LEVEL_INFO, "%s(%s): %s->%s (%s)\n", "conmon_client_local_to_state_inner",
                   caller, conmon_client_local_state_name(local->state),
                   conmon_client_local_state_name(state), reason);
    if (local->auto_connect) {
        if (local->keepalive_timer != nullptr) {
            aud_timer_stop(local->keepalive_timer);
        }
        if (local->timeout_timer != nullptr) {
            aud_timer_stop(local->timeout_timer);
        }
        local->state = state;
        const StateIntervals intervals = intervals_for(state);
        local->timeout_interval = intervals.timeout;
        local->keepalive_interval = intervals.keepalive;
        rearm(local->timeout_timer, local->timeout_interval);
        rearm(local->keepalive_timer, local->keepalive_interval);
        if (notify) {
            conmon_client_on_local_state_changed(local->client, true);
        }
        return;
    }
    local->state = state;
    conmon_client_on_local_state_changed(local->client, state == CONMON_CLIENT_CONNECTED);
}

void move_keepalive_forward(conmon_client_local* local) {
    if (local->auto_connect) {
        rearm(local->keepalive_timer, local->keepalive_interval);
    }
}

uint16_t next_request_id(conmon_client_local* local) {
    const uint16_t id = local->next_request_id++;
    if (local->next_request_id == 0) {
        local->next_request_id = 1;
    }
    return id;
}

void free_own_slot(conmon_client_local* local) {
    local->own = conmon_request_slot{};
}

// A request for which the client waits for no response says so, when the
// server announced that it understands the marking.
void mark_untracked(const conmon_client_local* local, conmon_protocol_header* header) {
    if ((local->client->capabilities & CONMON_CAPABILITY_NO_RESPONSE) != 0) {
        header->status |= CONMON_STATUS_NO_RESPONSE;
    }
}

bool send_datagram(conmon_client_local* local, std::span<const uint8_t> request) {
    size_t length = request.size();
    return aud_socket_send(local->socket, request.data(), &length) == AUD_SUCCESS;
}

// Sends CONNECT or KEEPALIVE through the connection's own slot. A failed send
// is not reported: the connection timeout recovers.
aud_error send_own_request(conmon_client_local* local, uint16_t opcode) {
    if (local->own.in_use) {
        return AUD_ERR_INVALIDSTATE;
    }
    conmon_client* client = local->client;
    std::span<uint8_t> buffer = client->send_buffer;
    const size_t length =
        opcode == CONMON_OPCODE_CONNECT
            ? conmon_build_connect(buffer, client->config.version, client->config.name, local->auto_connect)
            : conmon_build_header_only(buffer, client->config.version, opcode);
    const uint16_t id = next_request_id(local);
    conmon_protocol_set_request_id(buffer, id);
    if (send_datagram(local, buffer.first(length))) {
        local->own.in_use = true;
        local->own.request_id = id;
        local->own.opcode = opcode;
    }
    move_keepalive_forward(local);
    return AUD_SUCCESS;
}

void socket_ready(aud_error cause, aud_socket_t socket, int direction, void* context);

void close_socket(conmon_client_local* local) {
    if (local->socket == AUD_SOCKET_INVALID) {
        return;
    }
    if (aud_event_loop* loop = loop_of(local)) {
        aud_event_loop_set_socket(loop, local->socket, AUD_DIRECTION_READ, nullptr, nullptr,
                                  AUD_SET_SOCKET_ADD_OR_REPLACE);
    }
    aud_socket_close(&local->socket);
}

aud_error server_address(conmon_client_local* local, aud_socket_address* address) {
    conmon_client_config& config = local->client->config;
    if (!aud_socket_address_is_ipv4(&config.server)) {
        const aud_error result =
            aud_socket_address_resolve(&config.server, AUD_AF_INET, kLocalHost, kLocalPort);
        if (result != AUD_SUCCESS) {
            aud_log_printf(log_of(local), AUD_LOG_LEVEL_ERROR, "%s: Unknown address %s port %s",
                           "conmon_client_local_pre_connect", kLocalHost, kLocalPort);
            return result;
        }
    }
    *address = config.server;
    if (aud_socket_address_get_port(address) == 0) {
        aud_socket_address_set_ipv4(address, aud_socket_address_get_ipv4(address),
                                    CONMON_CLIENT_DEFAULT_PORT);
    }
    return AUD_SUCCESS;
}

aud_error open_socket(conmon_client_local* local) {
    static const char* const kName = "conmon_client_local_open_socket";
    if (local->socket != AUD_SOCKET_INVALID) {
        aud_log_printf(log_of(local), AUD_LOG_LEVEL_ERROR, "%s: Already connected", kName);
        return AUD_ERR_ISCONN;
    }
    aud_socket_address address{};
    aud_error result = server_address(local, &address);
    if (result != AUD_SUCCESS) {
        return result;
    }
    result = aud_socket_open_and_connect(&local->socket, &address);
    if (result != AUD_SUCCESS) {
        aud_log_printf(log_of(local), AUD_LOG_LEVEL_ERROR, "%s: Error initialising socket", kName);
        return result;
    }
    if (aud_socket_set_blocking(local->socket, false) != AUD_SUCCESS) {
        aud_log_printf(log_of(local), AUD_LOG_LEVEL_WARNING,
                       "%s: Could not set conmon socket %d to blocking", kName,
                       static_cast<int>(local->socket));
    }
    aud_event_loop* loop = loop_of(local);
    if (loop == nullptr) {
        aud_log_printf(log_of(local), AUD_LOG_LEVEL_NOTICE,
                       "%s: No event loop in env, assuming application is managing sockets", kName);
        return AUD_SUCCESS;
    }
    result = aud_event_loop_set_socket(loop, local->socket, AUD_DIRECTION_READ, socket_ready, local,
                                       AUD_SET_SOCKET_ADD);
    if (result != AUD_SUCCESS) {
        aud_log_printf(log_of(local), AUD_LOG_LEVEL_ERROR,
                       "%s: Could not add ConMon socket %d to event loop: %s (%d)", kName,
                       static_cast<int>(local->socket), aud_error_name(result), result);
        aud_socket_close(&local->socket);
    }
    return result;
}

// Opens the socket and sends CONNECT; the state follows the outcome.
void connect_inner(conmon_client_local* local, const char* caller) {
    local->client->send_buffer.fill(0);
    if (open_socket(local) != AUD_SUCCESS) {
        to_state(local, CONMON_CLIENT_RECONNECT_PENDING, caller, "Connection attempt failed", true);
        return;
    }
    free_own_slot(local);
    send_own_request(local, CONMON_OPCODE_CONNECT);
    to_state(local, CONMON_CLIENT_CONNECTING, caller, "Connecting", true);
}

void disconnect_inner(conmon_client_local* local, bool send_disconnect, aud_error error,
                      bool notify) {
    const bool had_socket = local->socket != AUD_SOCKET_INVALID;
    if (send_disconnect && had_socket) {
        // Nobody waits for an answer to DISCONNECT.
        std::span<uint8_t> buffer = local->client->send_buffer;
        conmon_protocol_header header{local->client->config.version,
                                      static_cast<uint16_t>(CONMON_PROTOCOL_HEADER_SIZE),
                                      next_request_id(local), CONMON_OPCODE_DISCONNECT,
                                      CONMON_STATUS_REQUEST};
        mark_untracked(local, &header);
        conmon_protocol_write_header(buffer, header);
        send_datagram(local, buffer.first(CONMON_PROTOCOL_HEADER_SIZE));
    }
    close_socket(local);
    conmon_client_reset(local->client);
    if (local->auto_connect) {
        free_own_slot(local);
        to_state(local, CONMON_CLIENT_RECONNECT_PENDING, "conmon_client_local_disconnect_inner",
                 "auto-connection disconnected", notify);
        return;
    }
    const conmon_request_slot connect = local->own;
    free_own_slot(local);
    to_state(local, CONMON_CLIENT_NO_CONNECTION, "conmon_client_local_disconnect_inner",
             "manual connection disconnected", notify);
    if (notify && connect.in_use && connect.callback != nullptr) {
        connect.callback(local->client, nullptr, error);
    }
}

void read_socket(conmon_client_local* local) {
    static const char* const kName = "conmon_client_process_sockets_inner";
    conmon_client* client = local->client;
    size_t length = client->receive_buffer.size();
    const aud_error result = aud_socket_recv(local->socket, client->receive_buffer.data(), &length);
    switch (result) {
        case AUD_SUCCESS:
            if (length > 0) {
                conmon_client_process_local_message(client, {client->receive_buffer.data(), length});
            }
            // Unless the message ended the connection (its reconnect
            // attempt is already timed).
            if (local->state != CONMON_CLIENT_RECONNECT_PENDING) {
                conmon_client_local_move_timeout_forward(local);
            }
            return;
        case AUD_ERR_TIMEDOUT:
        case AUD_ERR_INTERRUPTED:
            return;
        case AUD_ERR_CONNREFUSED:
        case AUD_ERR_CONNRESET:
            if (local->state == CONMON_CLIENT_CONNECTING) {
                aud_log_printf(log_of(local), AUD_LOG_LEVEL_NOTICE,
                               "%s: Got a CONNREFUSED while waiting for a connect response, aborting connect\n",
                               kName);
                disconnect_inner(local, false, result, true);
                return;
            }
            if (local->state == CONMON_CLIENT_CONNECTED && local->auto_connect) {
                free_own_slot(local);
                disconnect_inner(local, false, result, true);
                return;
            }
            [[fallthrough]];
        default:
            aud_log_printf(log_of(local), AUD_LOG_LEVEL_ERROR, "%s: Error reading local socket: %s",
                           kName, aud_error_name(result));
            return;
    }
}

void socket_ready(aud_error cause, aud_socket_t socket, int, void* context) {
    auto* local = static_cast<conmon_client_local*>(context);
    if (cause != AUD_CAUSE_FIRED) {
        aud_log_printf(log_of(local), AUD_LOG_LEVEL_ERROR, "%s: unhandled event type %u for socket %d\n",
                       "ccl_handle_socket_event", static_cast<unsigned>(cause), static_cast<int>(socket));
        return;
    }
    read_socket(local);
}

void keepalive_due(aud_error, aud_timer* timer) {
    auto* local = static_cast<conmon_client_local*>(aud_timer_get_context(timer));
    static const char* const kName = "ccl_handle_send_keepalive";
    if (local->state != CONMON_CLIENT_CONNECTED) {
        aud_log_printf(log_of(local), AUD_LOG_LEVEL_DEBUG, "%s: finished (not connected)\n", kName);
        return;
    }
    aud_log_printf(log_of(local), AUD_LOG_LEVEL_DEBUG, "%s: sending keepalive\n", kName);
    free_own_slot(local);
    send_own_request(local, CONMON_OPCODE_KEEPALIVE);
}

// From RECONNECT_PENDING: a new socket and a new CONNECT. On failure the
// state stays and the next timeout tries again.
void try_reconnect(conmon_client_local* local, const char* caller) {
    if (open_socket(local) == AUD_SUCCESS) {
        free_own_slot(local);
        send_own_request(local, CONMON_OPCODE_CONNECT);
        to_state(local, CONMON_CLIENT_CONNECTING, caller, "Connecting", true);
    }
}

void connection_timeout(aud_error, aud_timer* timer) {
    auto* local = static_cast<conmon_client_local*>(aud_timer_get_context(timer));
    switch (local->state) {
        case CONMON_CLIENT_CONNECTING:
        case CONMON_CLIENT_CONNECTED:
            disconnect_inner(local, true, AUD_ERR_TIMEDOUT, true);
            return;
        case CONMON_CLIENT_RECONNECT_PENDING:
            try_reconnect(local, "conmon_client_local_process_connection_timeout");
            return;
        default:
            return;
    }
}

}  // namespace

const char* conmon_client_local_state_name(int state) {
    switch (state) {
        case CONMON_CLIENT_NO_CONNECTION: return "NO_CONNECTION";
        case CONMON_CLIENT_CONNECTING: return "CONNECTING";
        case CONMON_CLIENT_CONNECTED: return "CONNECTED";
        case CONMON_CLIENT_RECONNECT_PENDING: return "RECONNECT_PENDING";
        default: return "???";
    }
}

aud_error conmon_client_local_new(conmon_client* client, conmon_client_local** out) {
    auto* local = new (std::nothrow) conmon_client_local;
    if (local == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    local->client = client;
    if (aud_event_loop* loop = aud_env_get_event_loop(client->env)) {
        aud_error result = aud_timer_new(loop, keepalive_due, local, &local->keepalive_timer);
        if (result == AUD_SUCCESS) {
            result = aud_timer_new(loop, connection_timeout, local, &local->timeout_timer);
        }
        if (result != AUD_SUCCESS) {
            conmon_client_local_delete(local);
            return result;
        }
    }
    *out = local;
    return AUD_SUCCESS;
}

void conmon_client_local_delete(conmon_client_local* local) {
    if (local == nullptr) {
        return;
    }
    close_socket(local);
    if (local->keepalive_timer != nullptr) {
        aud_timer_delete(local->keepalive_timer);
    }
    if (local->timeout_timer != nullptr) {
        aud_timer_delete(local->timeout_timer);
    }
    delete local;
}

aud_error conmon_client_local_auto_connect(conmon_client_local* local) {
    if (local->auto_connect) {
        return AUD_SUCCESS;
    }
    if (local->state != CONMON_CLIENT_NO_CONNECTION) {
        return AUD_ERR_INVALIDSTATE;
    }
    local->auto_connect = true;
    connect_inner(local, "conmon_client_local_auto_connect");
    return AUD_SUCCESS;
}

aud_error conmon_client_local_disconnect(conmon_client_local* local) {
    aud_log_printf(log_of(local), AUD_LOG_LEVEL_INFO, "%s: disconnecting", "conmon_client_local_disconnect");
    if (local->auto_connect) {
        disconnect_inner(local, true, AUD_SUCCESS, true);
        aud_log_printf(log_of(local), AUD_LOG_LEVEL_INFO, "%s: disabling auto-connection",
                       "conmon_client_local_disconnect");
        local->auto_connect = false;
        if (local->keepalive_timer != nullptr) {
            aud_timer_stop(local->keepalive_timer);
        }
        if (local->timeout_timer != nullptr) {
            aud_timer_stop(local->timeout_timer);
        }
    }
    disconnect_inner(local, true, AUD_SUCCESS, true);
    return AUD_SUCCESS;
}

int conmon_client_local_get_state(const conmon_client_local* local) {
    return local->state;
}

aud_error conmon_client_local_send(conmon_client_local* local, std::span<uint8_t> request,
                                   conmon_client_response_fn callback,
                                   conmon_request_slot** slot_out) {
    if (local->state == CONMON_CLIENT_NO_CONNECTION) {
        return AUD_ERR_NOTCONN;
    }
    conmon_protocol_header header;
    if (!conmon_protocol_read_header(request, &header) || header.length > request.size()) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const bool tracked = callback != nullptr || slot_out != nullptr;
    conmon_request_slot* slot = nullptr;
    if (tracked) {
        slot = conmon_client_take_request(local->client);
        if (slot == nullptr) {
            return AUD_ERR_NOBUFS;
        }
    }
    if (header.request_id == 0) {
        header.request_id = next_request_id(local);
    }
    if (!tracked) {
        mark_untracked(local, &header);
    }
    conmon_protocol_write_header(request, header);
    size_t length = header.length;
    const aud_error result = aud_socket_send(local->socket, request.data(), &length);
    if (result != AUD_SUCCESS) {
        if (slot != nullptr) {
            conmon_client_release_request(slot);
        }
        return result;
    }
    if (tracked || header.opcode == CONMON_OPCODE_CLEAR_REMOTE) {
        move_keepalive_forward(local);
    }
    if (slot != nullptr) {
        slot->kind = CONMON_REQUEST_KIND_LOCAL;
        slot->request_id = header.request_id;
        slot->opcode = header.opcode;
        slot->callback = callback;
    }
    if (slot_out != nullptr) {
        *slot_out = slot;
    }
    return AUD_SUCCESS;
}

bool conmon_client_local_owns(const conmon_client_local* local, uint16_t request_id) {
    return local->own.in_use && local->own.request_id == request_id;
}

void conmon_client_local_on_connect_response(conmon_client_local* local,
                                             const conmon_protocol_header& header,
                                             std::span<const uint8_t> message) {
    static const char* const kName = "conmon_client_local_on_connect_response";
    conmon_client* client = local->client;
    // Only the answer to the outstanding CONNECT counts: a late answer to an
    // earlier attempt, or one that names another request, must neither
    // replace the local device's data nor end the connection.
    if (!local->own.in_use || local->own.opcode != CONMON_OPCODE_CONNECT ||
        local->own.request_id != header.request_id) {
        aud_log_printf(log_of(local), AUD_LOG_LEVEL_WARNING,
                       "%s: connection handle mismatch, ignoring message!\n", kName);
        return;
    }
    const uint16_t kind = conmon_protocol_kind(header.status);
    if (kind == CONMON_STATUS_INVALID_SIZE && client->config.version >= CONMON_VERSION_KEEPALIVE_FIELD &&
        header.version < CONMON_VERSION_KEEPALIVE_FIELD) {
        // An older server: speak its version from now on and ask again.
        client->config.version = header.version;
        free_own_slot(local);
        send_own_request(local, CONMON_OPCODE_CONNECT);
        return;
    }
    if (kind == CONMON_STATUS_RESPONSE) {
        conmon_connect_info info;
        if (conmon_parse_connect_response(message, header.version, &info)) {
            conmon_client_apply_connect_info(client, info);
        }
    }
    const conmon_request_slot connect = local->own;
    free_own_slot(local);
    if (local->auto_connect) {
        if (kind == CONMON_STATUS_RESPONSE) {
            to_state(local, CONMON_CLIENT_CONNECTED, kName, "auto-connection completed", true);
        } else {
            aud_log_printf(log_of(local), AUD_LOG_LEVEL_NOTICE, "%s: auto-connection failed: %s\n",
                           kName, conmon_status_name(kind));
            // Close the socket too, so that the reconnect cycle can open a new one.
            close_socket(local);
            conmon_client_reset(client);
            to_state(local, CONMON_CLIENT_RECONNECT_PENDING, kName, "auto-connection failed", true);
        }
        return;
    }
    if (kind == CONMON_STATUS_RESPONSE) {
        to_state(local, CONMON_CLIENT_CONNECTED, kName, "manual connection completed", false);
    }
    if (connect.callback != nullptr) {
        connect.callback(client, nullptr, conmon_status_error(kind));
    }
}

void conmon_client_local_on_keepalive_response(conmon_client_local* local, uint16_t kind) {
    if (local->own.opcode != CONMON_OPCODE_KEEPALIVE) {
        return;
    }
    free_own_slot(local);
    if (kind != CONMON_STATUS_RESPONSE) {
        // A server that refuses our keepalive does not know this connection
        // (it restarted between two keepalives): everything sent until the
        // timeout would be ignored, so connect again now.
        conmon_client_local_reconnect_now(local, conmon_status_name(kind));
    }
}

void conmon_client_local_reconnect_now(conmon_client_local* local, const char* why) {
    static const char* const kName = "conmon_client_local_reconnect_now";
    if (!local->auto_connect || local->state != CONMON_CLIENT_CONNECTED) {
        return;
    }
    aud_log_printf(log_of(local), AUD_LOG_LEVEL_NOTICE,
                   "%s: the server no longer knows this connection (%s), reconnecting\n", kName, why);
    disconnect_inner(local, false, AUD_ERR_INVALIDSTATE, true);
    // The reconnect cycle's next attempt comes at once rather than after its
    // 5 s; it runs from the timer so that the socket closed here is settled
    // by the event loop before a new one is registered.
    if (local->state == CONMON_CLIENT_RECONNECT_PENDING && local->timeout_timer != nullptr) {
        const aud_time now = aud_time_now();
        aud_timer_stop(local->timeout_timer);
        aud_timer_start_recurring(local->timeout_timer, &now, &local->timeout_interval);
    }
}

void conmon_client_local_move_timeout_forward(conmon_client_local* local) {
    if (local->auto_connect) {
        rearm(local->timeout_timer, local->timeout_interval);
    }
}
