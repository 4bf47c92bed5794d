#include "avn/domain/dgcp2_client.h"

#include <cstring>
#include <new>

#include "avn/runtime/aud_event_loop.h"
#include "avn/runtime/aud_log.h"

struct dgcp2_request {
    dgcp2_client* client = nullptr;
    unsigned index = 0;
    bool in_use = false;
    // Sent and awaiting its response: only such a slot can match a response,
    // so a slot taken but not yet sent never claims a stray sequence number.
    bool sent = false;
    // Bumped on every take, so that a release after a callback never frees a
    // slot that the callback gave back and took again.
    uint32_t generation = 0;
    dgcp2_message message{};
};

struct dgcp2_client {
    aud_env* env = nullptr;
    aud_log* log = nullptr;
    aud_event_loop* loop = nullptr;  // none when polled
    int header_type = DGCP2_HEADER_TYPE_1;
    bool connection_oriented = false;
    bool wait_for_disconnect_response = false;
    dgcp2_client_id id{};

    aud_socket_t socket = AUD_SOCKET_INVALID;
    bool has_server_address = false;
    aud_socket_address server_address{};

    int state = DGCP2_STATE_DISCONNECTED;
    uint16_t next_seqnum = 0;

    bool keepalives = false;
    aud_time send_interval{};
    aud_time receive_timeout{};
    dgcp2_message keepalive{};
    bool keepalive_sent = false;
    aud_timer* send_timer = nullptr;
    aud_timer* recv_timer = nullptr;
    aud_time recv_deadline{};  // when the receive timer is due (event-loop mode)
    aud_time last_send{};      // polled mode
    aud_time last_recv{};      // polled mode

    dgcp2_message rx{};

    dgcp2_request slot;
    unsigned slot_count = 0;
    unsigned slots_in_use = 0;

    void* context = nullptr;
    dgcp2_client_callback callback = nullptr;
};

namespace {

// A busy server cannot keep one processing call going for ever; what is left
// waits for the next call (the socket stays readable).
constexpr unsigned kMaxDatagramsPerCall = 64;
// A receive timer that fires later than this cannot tell a lost server from a
// stalled process.
constexpr aud_time kReceiveTimerTolerance{5, 0};

bool is_positive(const aud_time* t) {
    return t != nullptr && aud_time_compare(*t, aud_time{0, 0}) > 0;
}

void notify(dgcp2_client* client, uint32_t flags, dgcp2_request* request,
            const dgcp2_message* message, aud_error error) {
    if (client->callback == nullptr) {
        return;
    }
    const dgcp2_event event{flags, request, message, error};
    client->callback(client, &event, client->context);
}

void release(dgcp2_request* request) {
    if (!request->in_use) {
        return;
    }
    request->in_use = false;
    request->sent = false;
    --request->client->slots_in_use;
}

void dgcp2_client_keepalive_send_timer(aud_error cause, aud_timer* timer);
void dgcp2_client_keepalive_recv_timer(aud_error cause, aud_timer* timer);

// The server answered something: it is still there.
void restart_receive_watch(dgcp2_client* client) {
    if (!client->keepalives) {
        return;
    }
    const aud_time now = aud_time_now();
    if (client->loop == nullptr) {
        client->last_recv = now;
        return;
    }
    if (client->recv_timer == nullptr) {
        const aud_error error = aud_timer_new(client->loop, dgcp2_client_keepalive_recv_timer,
                                              client, &client->recv_timer);
        if (error != AUD_SUCCESS) {
            char text[AUD_ERROR_FORMAT_SIZE];
            aud_log_printf(client->log, AUD_LOG_LEVEL_ERROR,
                           "%s: error creating recv keepalive timer: %s\n", __func__,
                           aud_error_format(error, text, sizeof text));
            return;
        }
    }
    client->recv_deadline = aud_time_add(now, client->receive_timeout);
    aud_timer_start_once(client->recv_timer, nullptr, &client->receive_timeout);
}

void stop_receive_watch(dgcp2_client* client) {
    if (client->recv_timer != nullptr) {
        aud_timer_stop(client->recv_timer);
    }
}

// A request went out: the next keepalive is due one interval from now.
void restart_send_watch(dgcp2_client* client) {
    if (!client->keepalives) {
        return;
    }
    if (client->loop == nullptr) {
        client->last_send = aud_time_now();
    } else if (client->send_timer != nullptr) {
        aud_timer_start_recurring(client->send_timer, nullptr, &client->send_interval);
    }
}

aud_error send_keepalive(dgcp2_client* client) {
    const aud_error error = dgcp2_client_send_message(client, &client->keepalive);
    if (error == AUD_SUCCESS) {
        client->keepalive_sent = true;
    }
    return error;
}

void lose_connection(dgcp2_client* client) {
    client->state = DGCP2_STATE_DISCONNECTED;
    stop_receive_watch(client);
    notify(client, DGCP2_EVENT_STATE_CHANGED | DGCP2_EVENT_CONNECTION_LOST, nullptr, nullptr,
           AUD_ERR_TIMEDOUT);
}

void dgcp2_client_keepalive_send_timer(aud_error, aud_timer* timer) {
    auto* client = static_cast<dgcp2_client*>(aud_timer_get_context(timer));
    const aud_time* expiry = aud_timer_get_expiry(timer);
    const aud_time late =
        expiry != nullptr ? aud_time_sub(aud_time_now(), *expiry) : aud_time{0, 0};
    if (aud_time_compare(late, client->send_interval) <= 0) {
        aud_log_printf(client->log, AUD_LOG_LEVEL_DEBUG,
                       "%s: keepalive interval has expired, sending keepalive!\n", __func__);
        send_keepalive(client);
    } else {
        aud_log_printf(client->log, AUD_LOG_LEVEL_DEBUG,
                       "%s: keepalive transmit interval expiry was excessively delayed:%d.%06d > "
                       "%d.%06d. NOT firing.\n",
                       __func__, late.seconds, late.microseconds, client->send_interval.seconds,
                       client->send_interval.microseconds);
    }
}

void dgcp2_client_keepalive_recv_timer(aud_error, aud_timer* timer) {
    auto* client = static_cast<dgcp2_client*>(aud_timer_get_context(timer));
    aud_log_printf(client->log, AUD_LOG_LEVEL_INFO, "%s: starting.\n", __func__);
    // A disconnected client has no connection to lose.
    if (client->connection_oriented && client->state == DGCP2_STATE_DISCONNECTED) {
        return;
    }
    const aud_time now = aud_time_now();
    const aud_time late = aud_time_sub(now, client->recv_deadline);
    if (aud_time_compare(late, kReceiveTimerTolerance) > 0) {
        aud_log_printf(client->log, AUD_LOG_LEVEL_ERROR,
                       "%s: keepalive timer was excessively delayed and therefore unreliable. Not "
                       "disconnecting.\n",
                       __func__);
        client->recv_deadline = aud_time_add(now, client->receive_timeout);
        const aud_error error = aud_timer_start_once(timer, nullptr, &client->receive_timeout);
        if (error == AUD_SUCCESS) {
            return;
        }
        char text[AUD_ERROR_FORMAT_SIZE];
        aud_log_printf(client->log, AUD_LOG_LEVEL_ERROR,
                       "%s: error resetting keepalive, disconnecting: %s\n", __func__,
                       aud_error_format(error, text, sizeof text));
        lose_connection(client);
        return;
    }
    aud_log_printf(client->log, AUD_LOG_LEVEL_ERROR, "%s: server has disappeared, disconnecting!\n",
                   __func__);
    lose_connection(client);
}

// Polled mode: the same two deadlines, checked when processing finds nothing.
void dgcp2_client_check_keepalives(dgcp2_client* client, aud_time* next_wake) {
    const aud_time now = aud_time_now();
    const aud_time recv_due = aud_time_add(client->last_recv, client->receive_timeout);
    if (aud_time_compare(recv_due, now) < 0) {
        aud_log_printf(client->log, AUD_LOG_LEVEL_ERROR,
                       "%s: server has disappeared, disconnecting!\n", __func__);
        lose_connection(client);
        return;
    }
    aud_time send_due = aud_time_add(client->last_send, client->send_interval);
    if (aud_time_compare(send_due, now) < 0) {
        send_keepalive(client);
        aud_log_printf(client->log, AUD_LOG_LEVEL_INFO,
                       "%s: keepalive interval has expired, sending keepalive (seqnum=0x%04x)!\n",
                       __func__, dgcp2_message_get_seqnum(&client->keepalive));
        client->last_send = now;
        send_due = aud_time_add(now, client->send_interval);
    }
    if (next_wake != nullptr) {
        *next_wake = aud_time_compare(recv_due, send_due) < 0 ? recv_due : send_due;
    }
}

void dgcp2_client_on_socket(aud_error, aud_socket_t, int, void* context) {
    dgcp2_client_process(static_cast<dgcp2_client*>(context), nullptr);
}

// Connect and disconnect responses reach the callback before and after the
// slot is released.
void notify_around_release(dgcp2_client* client, uint32_t flags, dgcp2_request* request) {
    const uint32_t generation = request->generation;
    notify(client, flags, request, &client->rx, AUD_SUCCESS);
    if (request->in_use && request->generation == generation) {
        release(request);
    }
    notify(client, flags, request, &client->rx, AUD_SUCCESS);
}

void handle_response(dgcp2_client* client, dgcp2_request* request) {
    const uint16_t opcode = dgcp2_message_get_opcode(&request->message);
    const uint16_t kind = dgcp2_message_get_kind(&client->rx);
    if (opcode == DGCP2_OPCODE_CONNECT) {
        uint32_t flags = DGCP2_EVENT_RESPONSE;
        if (client->state == DGCP2_STATE_CONNECTING) {
            client->state =
                kind == DGCP2_KIND_RESPONSE ? DGCP2_STATE_CONNECTED : DGCP2_STATE_DISCONNECTED;
            if (client->state == DGCP2_STATE_DISCONNECTED) {
                stop_receive_watch(client);
            }
            flags |= DGCP2_EVENT_STATE_CHANGED;
        }
        notify_around_release(client, flags, request);
        return;
    }
    if (opcode == DGCP2_OPCODE_DISCONNECT) {
        const bool was_connected = client->state != DGCP2_STATE_DISCONNECTED;
        client->state = DGCP2_STATE_DISCONNECTED;
        stop_receive_watch(client);
        notify_around_release(client,
                              was_connected ? DGCP2_EVENT_RESPONSE | DGCP2_EVENT_STATE_CHANGED
                                            : uint32_t{DGCP2_EVENT_RESPONSE},
                              request);
        return;
    }
    if (client->connection_oriented && client->state != DGCP2_STATE_CONNECTED) {
        aud_log_printf(client->log, AUD_LOG_LEVEL_INFO,
                       "%s: response to opcode 0x%04x while not connected: ignoring message\n",
                       __func__, opcode);
        return;
    }
    release(request);
    notify(client, DGCP2_EVENT_RESPONSE, request, &client->rx, AUD_SUCCESS);
}

void handle_datagram(dgcp2_client* client, size_t size, const aud_socket_address* source) {
    char source_text[AUD_SOCKET_ADDRESS_TEXT_SIZE];
    aud_socket_address_to_text(client->has_server_address ? source : &client->server_address,
                               source_text, sizeof source_text);
    aud_log_printf(client->log, AUD_LOG_LEVEL_VERBOSE, "%s: read a message (size=%u source=%s\n",
                   "dgcp2_client_process", static_cast<unsigned>(size), source_text);
    if (client->has_server_address && !aud_socket_address_equal(source, &client->server_address)) {
        char server_text[AUD_SOCKET_ADDRESS_TEXT_SIZE];
        aud_socket_address_to_text(&client->server_address, server_text, sizeof server_text);
        aud_log_printf(client->log, AUD_LOG_LEVEL_WARNING,
                       "%s: not from server (server=%s address=%s)\n", "dgcp2_client_process",
                       server_text, source_text);
        return;
    }
    const dgcp2_message* rx = &client->rx;
    switch (dgcp2_message_check_received(rx, size)) {
        case AUD_SUCCESS:
            break;
        case AUD_ERR_TRUNCATED:
            aud_log_printf(client->log, AUD_LOG_LEVEL_WARNING, "%s: message too small (%u < %u)\n",
                           "dgcp2_client_process", static_cast<unsigned>(size),
                           static_cast<unsigned>(rx->header_size));
            return;
        default:
            aud_log_printf(
                client->log, AUD_LOG_LEVEL_WARNING,
                "%s: invalid size in message (msg=%u, recved=%u)\n", "dgcp2_client_process",
                static_cast<unsigned>(dgcp2_message_get_length(rx)), static_cast<unsigned>(size));
            return;
    }

    const uint16_t kind = dgcp2_message_get_kind(rx);
    if (client->keepalives && kind != DGCP2_KIND_NOT_CONNECTED) {
        aud_log_printf(client->log, AUD_LOG_LEVEL_DEBUG,
                       "%s: Got a server message, updating keepalives...\n",
                       "dgcp2_client_process");
        restart_receive_watch(client);
    }

    if (kind == DGCP2_KIND_EVENT) {
        if (!client->connection_oriented || client->state == DGCP2_STATE_CONNECTED) {
            notify(client, DGCP2_EVENT_MESSAGE, nullptr, rx, AUD_SUCCESS);
        }
        return;
    }

    const uint16_t seqnum = dgcp2_message_get_seqnum(rx);
    dgcp2_request* request = &client->slot;
    if (client->slot_count > 0 && request->in_use && request->sent &&
        dgcp2_message_get_seqnum(&request->message) == seqnum) {
        handle_response(client, request);
        return;
    }
    if (client->keepalives && client->keepalive_sent &&
        dgcp2_message_get_seqnum(&client->keepalive) == seqnum) {
        aud_log_printf(client->log, AUD_LOG_LEVEL_VERBOSE, "%s: Got a keepalive response\n",
                       "dgcp2_client_process");
        return;
    }
    aud_log_printf(client->log, AUD_LOG_LEVEL_INFO,
                   "%s: No active request for non-event message with seqnum 0x%04x: ignoring "
                   "message\n",
                   "dgcp2_client_process", seqnum);
}

// Which opcodes the connection state lets through; SUCCESS when allowed.
aud_error check_connection_rules(const dgcp2_client* client, uint16_t opcode) {
    const bool connect = opcode == DGCP2_OPCODE_CONNECT;
    const bool disconnect = opcode == DGCP2_OPCODE_DISCONNECT;
    if (!client->connection_oriented) {
        return connect || disconnect ? AUD_ERR_INVALIDPARAMETER : AUD_SUCCESS;
    }
    switch (client->state) {
        case DGCP2_STATE_DISCONNECTED:
            return connect ? AUD_SUCCESS : AUD_ERR_INVALIDSTATE;
        case DGCP2_STATE_CONNECTED:
            return connect ? AUD_ERR_INVALIDSTATE : AUD_SUCCESS;
        default:
            return disconnect ? AUD_SUCCESS : AUD_ERR_INVALIDSTATE;
    }
}

void delete_timer(aud_timer** timer) {
    if (*timer != nullptr) {
        aud_timer_delete(*timer);
        *timer = nullptr;
    }
}

}  // namespace

aud_error dgcp2_client_new(aud_env* env, bool use_event_loop, int header_type, unsigned slots,
                           dgcp2_client** out) {
    if (out == nullptr || env == nullptr ||
        (header_type != DGCP2_HEADER_TYPE_1 && header_type != DGCP2_HEADER_TYPE_2)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    *out = nullptr;
    aud_event_loop* loop = nullptr;
    if (use_event_loop) {
        loop = aud_env_get_event_loop(env);
        if (loop == nullptr) {
            return AUD_ERR_INVALIDSTATE;
        }
    }
    auto* client = new (std::nothrow) dgcp2_client;
    if (client == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    client->env = env;
    client->log = aud_env_get_log(env);
    client->loop = loop;
    client->header_type = header_type;
    dgcp2_message_init(&client->keepalive, header_type);
    dgcp2_message_init(&client->rx, header_type);
    client->slot_count = slots > 0 ? 1 : 0;
    client->slot.client = client;
    client->slot.index = 0;
    dgcp2_message_init(&client->slot.message, header_type);
    *out = client;
    return AUD_SUCCESS;
}

void dgcp2_client_delete(dgcp2_client* client) {
    if (client == nullptr) {
        return;
    }
    dgcp2_client_stop(client);
    delete client;
}

aud_error dgcp2_client_initialise(dgcp2_client* client, const dgcp2_client_id* client_id,
                                  aud_socket_t socket, bool connection_oriented,
                                  bool wait_for_disconnect_response,
                                  const aud_socket_address* server_address) {
    if (client == nullptr || socket == AUD_SOCKET_INVALID) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (client->socket != AUD_SOCKET_INVALID) {
        return AUD_ERR_INVALIDSTATE;
    }
    dgcp2_client_id id{};
    if (client_id != nullptr) {
        id = *client_id;
    } else {
        aud_socket_address local{};
        const aud_error error = aud_socket_get_local_address(socket, &local);
        if (error != AUD_SUCCESS) {
            return error;
        }
        id.port = aud_socket_address_get_port(&local);
    }
    if (client->loop != nullptr) {
        const aud_error error = aud_event_loop_set_socket(client->loop, socket, AUD_DIRECTION_READ,
                                                          dgcp2_client_on_socket, client,
                                                          AUD_SET_SOCKET_ADD_OR_REPLACE);
        if (error != AUD_SUCCESS) {
            return error;
        }
    }
    client->id = id;
    client->socket = socket;
    client->connection_oriented = connection_oriented;
    client->wait_for_disconnect_response = wait_for_disconnect_response;
    client->has_server_address = server_address != nullptr;
    client->server_address = server_address != nullptr ? *server_address : aud_socket_address{};
    client->state = DGCP2_STATE_DISCONNECTED;
    client->next_seqnum = 0;
    dgcp2_message_set_client_id(&client->keepalive, &client->id);

    char text[32];
    aud_snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x%02x%02x:%d", id.id[0], id.id[1],
                 id.id[2], id.id[3], id.id[4], id.id[5], id.id[6], id.id[7], id.port);
    aud_log_printf(client->log, AUD_LOG_LEVEL_DEBUG, "%s: Client id is now %s\n", __func__, text);
    return AUD_SUCCESS;
}

const dgcp2_client_id* dgcp2_client_get_id(const dgcp2_client* client) {
    return client != nullptr ? &client->id : nullptr;
}

aud_error dgcp2_client_set_keepalives(dgcp2_client* client, uint16_t protocol_id,
                                      const aud_time* send_interval,
                                      const aud_time* receive_timeout) {
    if (client == nullptr || protocol_id == 0 || !is_positive(send_interval) ||
        !is_positive(receive_timeout)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    client->send_interval = aud_time_normalise(*send_interval);
    client->receive_timeout = aud_time_normalise(*receive_timeout);
    dgcp2_message_write_header(&client->keepalive, protocol_id, DGCP2_OPCODE_KEEPALIVE,
                               DGCP2_KIND_REQUEST);
    dgcp2_message_set_client_id(&client->keepalive, &client->id);
    client->keepalive_sent = false;
    client->keepalives = true;
    if (client->loop == nullptr) {
        client->last_send = client->last_recv = aud_time_now();
        return AUD_SUCCESS;
    }
    if (client->send_timer == nullptr) {
        const aud_error error = aud_timer_new(client->loop, dgcp2_client_keepalive_send_timer,
                                              client, &client->send_timer);
        if (error != AUD_SUCCESS) {
            client->keepalives = false;
            return error;
        }
    }
    aud_error error =
        aud_timer_start_recurring(client->send_timer, nullptr, &client->send_interval);
    if (error == AUD_SUCCESS && client->recv_timer == nullptr) {
        error = aud_timer_new(client->loop, dgcp2_client_keepalive_recv_timer, client,
                              &client->recv_timer);
    }
    if (error != AUD_SUCCESS) {
        delete_timer(&client->send_timer);
        client->keepalives = false;
        return error;
    }
    client->recv_deadline = aud_time_add(aud_time_now(), client->receive_timeout);
    return aud_timer_start_once(client->recv_timer, nullptr, &client->receive_timeout);
}

void dgcp2_client_set_context(dgcp2_client* client, void* context) {
    if (client != nullptr) {
        client->context = context;
    }
}

void* dgcp2_client_get_context(const dgcp2_client* client) {
    return client != nullptr ? client->context : nullptr;
}

void dgcp2_client_set_callback(dgcp2_client* client, dgcp2_client_callback callback) {
    if (client != nullptr) {
        client->callback = callback;
    }
}

aud_error dgcp2_client_take_request(dgcp2_client* client, dgcp2_request** out) {
    if (client == nullptr || out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (client->slot_count == 0) {
        return AUD_ERR_NOTFOUND;
    }
    dgcp2_request* request = &client->slot;
    if (request->in_use) {
        return AUD_ERR_NOBUFS;
    }
    request->in_use = true;
    request->sent = false;
    ++request->generation;
    ++client->slots_in_use;
    dgcp2_message_init(&request->message, client->header_type);
    dgcp2_message_set_client_id(&request->message, &client->id);
    *out = request;
    return AUD_SUCCESS;
}

void dgcp2_client_release_request(dgcp2_request* request) {
    if (request != nullptr) {
        release(request);
    }
}

dgcp2_message* dgcp2_request_get_message(dgcp2_request* request) {
    return request != nullptr ? &request->message : nullptr;
}

dgcp2_client* dgcp2_request_get_client(const dgcp2_request* request) {
    return request != nullptr ? request->client : nullptr;
}

unsigned dgcp2_request_get_index(const dgcp2_request* request) {
    return request != nullptr ? request->index : 0;
}

bool dgcp2_request_in_use(const dgcp2_request* request) {
    return request != nullptr && request->in_use;
}

aud_error dgcp2_request_write_header(dgcp2_request* request, uint16_t protocol_id,
                                     uint16_t opcode) {
    if (request == nullptr || !request->in_use) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    dgcp2_message_write_header(&request->message, protocol_id, opcode, DGCP2_KIND_REQUEST);
    dgcp2_message_set_client_id(&request->message, &request->client->id);
    return AUD_SUCCESS;
}

aud_error dgcp2_client_send_message(dgcp2_client* client, dgcp2_message* message) {
    if (client == nullptr || message == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (client->socket == AUD_SOCKET_INVALID) {
        return AUD_ERR_INVALIDSTATE;
    }
    const uint16_t seqnum = client->next_seqnum++;
    dgcp2_message_set_seqnum(message, seqnum);
    const std::span<const uint8_t> bytes = dgcp2_message_bytes(message);
    aud_log_printf(client->log, AUD_LOG_LEVEL_DEBUG,
                   "%s: sending message (seqnum=0x%04x, opcode=0x%04x len=0x%04zx)\n", __func__,
                   seqnum, dgcp2_message_get_opcode(message), bytes.size());
    size_t length = bytes.size();
    if (client->has_server_address) {
        return aud_socket_sendto(client->socket, bytes.data(), &length, &client->server_address);
    }
    return aud_socket_send(client->socket, bytes.data(), &length);
}

aud_error dgcp2_client_send_request(dgcp2_request* request) {
    if (request == nullptr || request->client == nullptr || !request->in_use) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    dgcp2_client* client = request->client;
    const uint16_t opcode = dgcp2_message_get_opcode(&request->message);
    aud_error error = check_connection_rules(client, opcode);
    if (error != AUD_SUCCESS) {
        release(request);
        return error;
    }
    error = dgcp2_client_send_message(client, &request->message);
    if (error != AUD_SUCCESS) {
        // The server's port is closed: nothing is left to disconnect from.
        if (opcode == DGCP2_OPCODE_DISCONNECT &&
            (error == AUD_ERR_CONNREFUSED || error == AUD_ERR_CONNRESET)) {
            client->state = DGCP2_STATE_DISCONNECTED;
            release(request);
            stop_receive_watch(client);
            notify(client, DGCP2_EVENT_STATE_CHANGED, nullptr, nullptr, AUD_SUCCESS);
            return AUD_SUCCESS;
        }
        return error;
    }
    request->sent = true;
    restart_send_watch(client);
    if (opcode == DGCP2_OPCODE_CONNECT) {
        client->state = DGCP2_STATE_CONNECTING;
        restart_receive_watch(client);
        notify(client, DGCP2_EVENT_STATE_CHANGED, request, nullptr, AUD_SUCCESS);
    } else if (opcode == DGCP2_OPCODE_DISCONNECT) {
        if (client->wait_for_disconnect_response) {
            client->state = DGCP2_STATE_DISCONNECTING;
        } else {
            release(request);
            client->state = DGCP2_STATE_DISCONNECTED;
        }
        stop_receive_watch(client);
        notify(client, DGCP2_EVENT_STATE_CHANGED, request, nullptr, AUD_SUCCESS);
    }
    return AUD_SUCCESS;
}

int dgcp2_client_get_connection_state(const dgcp2_client* client) {
    return client != nullptr ? client->state : DGCP2_STATE_DISCONNECTED;
}

aud_error dgcp2_client_process(dgcp2_client* client, aud_time* next_wake) {
    if (client == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    for (unsigned n = 0; n < kMaxDatagramsPerCall; ++n) {
        // A callback may have stopped the client.
        if (client->socket == AUD_SOCKET_INVALID) {
            return AUD_SUCCESS;
        }
        aud_log_printf(client->log, AUD_LOG_LEVEL_VERBOSE, "%s: starting\n", __func__);
        size_t size = sizeof client->rx.bytes;
        aud_socket_address source{};
        const aud_error error =
            client->has_server_address
                ? aud_socket_recvfrom(client->socket, client->rx.bytes, &size, &source)
                : aud_socket_recv(client->socket, client->rx.bytes, &size);
        if (error == AUD_ERR_TIMEDOUT) {
            aud_log_printf(client->log, AUD_LOG_LEVEL_VERBOSE, "%s: timed out\n", __func__);
            if (client->loop == nullptr && client->keepalives &&
                client->state == DGCP2_STATE_CONNECTED) {
                dgcp2_client_check_keepalives(client, next_wake);
            }
            return AUD_SUCCESS;
        }
        if (error == AUD_ERR_CONNRESET) {
            aud_log_printf(client->log, AUD_LOG_LEVEL_ERROR,
                           "%s: error recving (CONNRESET): disconnecting\n", __func__);
            client->state = DGCP2_STATE_DISCONNECTED;
            stop_receive_watch(client);
            notify(client, DGCP2_EVENT_STATE_CHANGED, nullptr, nullptr, AUD_ERR_CONNRESET);
            return AUD_ERR_CONNRESET;
        }
        if (error == AUD_ERR_MSGSIZE) {
            // Larger than any DGCP2 message: malformed, dropped like the others.
            aud_log_printf(client->log, AUD_LOG_LEVEL_WARNING,
                           "%s: message too large (> %u): dropped\n", __func__,
                           static_cast<unsigned>(DGCP2_MESSAGE_SIZE));
            continue;
        }
        if (error != AUD_SUCCESS) {
            char text[AUD_ERROR_FORMAT_SIZE];
            aud_log_printf(client->log, AUD_LOG_LEVEL_ERROR, "%s: error recving: %s\n", __func__,
                           aud_error_format(error, text, sizeof text));
            return error;
        }
        handle_datagram(client, size, &source);
    }
    return AUD_SUCCESS;
}

void dgcp2_client_stop(dgcp2_client* client) {
    if (client == nullptr) {
        return;
    }
    if (client->loop != nullptr && client->socket != AUD_SOCKET_INVALID) {
        aud_event_loop_set_socket(client->loop, client->socket, AUD_DIRECTION_READ, nullptr,
                                  nullptr, AUD_SET_SOCKET_ADD_OR_REPLACE);
    }
    delete_timer(&client->send_timer);
    delete_timer(&client->recv_timer);
    client->keepalives = false;
    client->keepalive_sent = false;
    client->socket = AUD_SOCKET_INVALID;
    client->next_seqnum = 0;
    client->state = DGCP2_STATE_DISCONNECTED;
    release(&client->slot);
}
