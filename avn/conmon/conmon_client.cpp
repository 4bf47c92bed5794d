#include "avn/conmon/conmon_client.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "avn/conmon/conmon_client_private.h"
#include "avn/runtime/avnapi_handle.h"

namespace {

const char* const kProcessName = "process_local_message";

void refresh_channel_delivery(conmon_client* client);
void refresh_channel_interfaces(conmon_client* client);

int domain_kind_of(const domain_current& current) {
    if (avn_domain_uuid_is_none(&current.uuid)) {
        return CONMON_DOMAIN_KIND_NONE;
    }
    return avn_domain_uuid_is_adhoc(&current.uuid) ? CONMON_DOMAIN_KIND_ADHOC
                                                   : CONMON_DOMAIN_KIND_MANAGED;
}

domain_provider* provider_of(const conmon_client* client) {
    return domain_provider_from_env(client->env);
}

int provider_mode(const conmon_client* client) {
    return domain_provider_get_mode(provider_of(client));
}

void report(conmon_client* client, uint32_t flags) {
    if (flags != 0 && client->on_event != nullptr) {
        const conmon_client_event event{client, flags};
        client->on_event(&event);
    }
}

// Recomputes the connected and ready flags; returns the event flags of what changed.
uint32_t refresh_readiness(conmon_client* client) {
    const bool connected = conmon_client_local_get_state(client->local) == CONMON_CLIENT_CONNECTED;
    bool ready = false;
    if (client->domain_changing || client->domain_kind == CONMON_DOMAIN_KIND_ADHOC) {
        ready = connected && !client->domain_changing;
    } else if (client->domain_kind == CONMON_DOMAIN_KIND_MANAGED) {
        ready = domain_provider_get_connection_state(provider_of(client)) ==
                DOMAIN_CONNECTION_CONNECTED;
    }
    uint32_t flags = 0;
    if (connected != client->connected) {
        client->connected = connected;
        flags |= CONMON_CLIENT_EVENT_CONNECTED;
    }
    if (ready != client->ready) {
        client->ready = ready;
        flags |= CONMON_CLIENT_EVENT_READY;
    }
    return flags;
}

// Recomputes the domain kind and the largest body; flag 0x40 when it changed.
uint32_t refresh_domain(conmon_client* client) {
    const domain_current current = client->listener != nullptr
                                       ? domain_listener_get_current(client->listener)
                                       : domain_provider_get_current(provider_of(client));
    client->domain_kind = domain_kind_of(current);
    const size_t max_body = client->domain_kind == CONMON_DOMAIN_KIND_MANAGED
                                ? CONMON_MESSAGE_MAX_BODY_SIZE_DOMAIN
                                : CONMON_MESSAGE_MAX_BODY_SIZE;
    if (max_body == client->max_body_size) {
        return 0;
    }
    client->max_body_size = max_body;
    return CONMON_CLIENT_EVENT_MAX_BODY_SIZE;
}

void forget_remote(conmon_client* client) {
    for (uint16_t type = 1; type < CONMON_NUM_CHANNEL_TYPES; ++type) {
        client->handlers[type][CONMON_DIRECTION_REMOTE] = nullptr;
    }
    client->subscriptions.fill(conmon_subscription_entry{});
}

conmon_request_slot* find_request(conmon_client* client, uint16_t request_id) {
    for (conmon_request_slot& slot : client->requests) {
        if (slot.in_use && slot.kind == CONMON_REQUEST_KIND_LOCAL && slot.request_id == request_id) {
            return &slot;
        }
    }
    return nullptr;
}

void complete(conmon_client* client, conmon_request_slot* slot, aud_error status) {
    const conmon_client_response_fn callback = slot->callback;
    conmon_client_release_request(slot);
    if (callback != nullptr) {
        callback(client, slot, status);
    }
}

bool entry_matches(const conmon_subscription_entry& entry, const conmon_subscription_record& record) {
    return entry.used && entry.subscription_id == record.subscription_id && entry.key == record.key &&
           std::strncmp(entry.device_name, record.device_name, CONMON_NAME_SIZE) == 0;
}

// The entry that holds the record's subscription, else a free one, else null.
conmon_subscription_entry* subscription_entry_for(conmon_client* client,
                                                  const conmon_subscription_record& record) {
    conmon_subscription_entry* target = nullptr;
    for (conmon_subscription_entry& entry : client->subscriptions) {
        if (entry_matches(entry, record)) {
            target = &entry;
            break;
        }
    }
    for (size_t j = 0; target == nullptr && j < client->subscriptions.size(); ++j) {
        if (!client->subscriptions[j].used) {
            target = &client->subscriptions[j];
        }
    }
    return target;
}

// Updates an entry from a record; true when something changed.
bool update_entry(conmon_subscription_entry& entry, const conmon_subscription_record& record) {
    conmon_subscription_entry updated = entry;
    updated.used = true;
    updated.subscription_id = record.subscription_id;
    updated.key = record.key;
    std::memcpy(updated.device_name, record.device_name, sizeof updated.device_name);
    updated.flags = 0;
    if (record.flags & CONMON_SUBSCRIPTION_FLAG_SOURCE) {
        updated.flags |= CONMON_ENTRY_FLAG_SOURCE;
        updated.source = record.source;
    }
    if (record.flags & CONMON_SUBSCRIPTION_FLAG_DOMAIN_ADDRESS) {
        updated.flags |= CONMON_ENTRY_FLAG_ROUTE;
        std::memcpy(updated.domain_route, record.domain_route, sizeof updated.domain_route);
    }
    std::memcpy(updated.status, record.status, sizeof updated.status);
    const bool changed = updated != entry;
    entry = updated;
    return changed;
}

aud_error merge_subscriptions(conmon_client* client, std::span<const uint8_t> message,
                              uint16_t version) {
    const size_t count = conmon_subscription_record_count(message, version);
    conmon_subscription_record record;
    if (count > 0 && conmon_parse_subscription_record(message, version, 0, &record) &&
        (record.flags & CONMON_SUBSCRIPTION_FLAG_SUBSCRIPTION) == 0 && client->refill_receive_table) {
        client->receive_table.fill(conmon_subscription_entry{});
        for (size_t i = 0; i < count && i < client->receive_table.size(); ++i) {
            if (conmon_parse_subscription_record(message, version, i, &record)) {
                update_entry(client->receive_table[i], record);
            }
        }
        return AUD_SUCCESS;
    }
    for (size_t i = 0; i < count; ++i) {
        if (!conmon_parse_subscription_record(message, version, i, &record)) {
            break;
        }
        conmon_subscription_entry* target = subscription_entry_for(client, record);
        if (target == nullptr) {
            return AUD_ERR_NOBUFS;
        }
        update_entry(*target, record);
    }
    return AUD_SUCCESS;
}

void handle_rx(conmon_client* client, std::span<const uint8_t> message, bool named) {
    conmon_rx_message rx;
    if (!conmon_parse_rx_message(message, &rx) || rx.channel_type >= CONMON_NUM_CHANNEL_TYPES ||
        rx.direction > CONMON_DIRECTION_REMOTE) {
        return;
    }
    const conmon_client_handler_fn handler = client->handlers[rx.channel_type][rx.direction];
    if (handler == nullptr) {
        return;  // nobody registered for it
    }
    const uint8_t domain_kind = rx.flags & 0x3;
    if (!named && rx.channel_type == CONMON_CHANNEL_TYPE_CONTROL) {
        const bool managed = client->domain_kind == CONMON_DOMAIN_KIND_MANAGED;
        if ((domain_kind == 3 && !managed) || (domain_kind == 2 && managed)) {
            return;
        }
    }
    const conmon_message* m = conmon_message_from_bytes(rx.message.data());
    client->current_message = m;
    client->current_sender = named ? rx.sender : nullptr;
    client->current_domain_kind = domain_kind;
    handler(client, rx.channel_type, rx.direction, m, conmon_message_body(m));
    client->current_message = nullptr;
    client->current_sender = nullptr;
    client->current_domain_kind = 0;
}

void on_relayed(domain_listener*, const uint8_t* data, size_t length, void* context) {
    conmon_domain_receive(static_cast<conmon_client*>(context), {data, length});
}

void handle_event(conmon_client* client, const conmon_protocol_header& header,
                  std::span<const uint8_t> message) {
    switch (header.opcode) {
        case CONMON_OPCODE_INTERFACES: {
            conmon_interface_record records[CONMON_MAX_INTERFACES];
            size_t count = 0;
            if (!conmon_parse_interfaces(message, header.version, records, &count)) {
                return;
            }
            if (count == client->interface_count &&
                std::equal(records, records + count, client->interfaces)) {
                return;
            }
            client->interface_count = count;
            std::memcpy(client->interfaces, records, count * sizeof records[0]);
            refresh_channel_interfaces(client);
            if (client->on_interfaces_changed != nullptr) {
                client->on_interfaces_changed(client);
            }
            return;
        }
        case CONMON_OPCODE_LOCAL_NAME: {
            char name[CONMON_NAME_SIZE + 1] = {};
            std::memcpy(name, &message[CONMON_PROTOCOL_HEADER_SIZE], CONMON_NAME_SIZE);
            if (std::strcmp(name, client->local_name) != 0) {
                std::memcpy(client->local_name, name, sizeof name);
                if (client->on_local_name_changed != nullptr) {
                    client->on_local_name_changed(client);
                }
            }
            return;
        }
        case CONMON_OPCODE_LOCAL_TEXT:
            std::memcpy(client->local_text, &message[CONMON_PROTOCOL_HEADER_SIZE], CONMON_TEXT_SIZE);
            client->local_text[CONMON_TEXT_SIZE] = '\0';
            return;
        case CONMON_OPCODE_RX_MESSAGE:
            handle_rx(client, message, false);
            return;
        case CONMON_OPCODE_RX_NAMED_MESSAGE:
            handle_rx(client, message, true);
            return;
        case CONMON_OPCODE_SUBSCRIPTIONS:
            merge_subscriptions(client, message, header.version);
            return;
        default:
            return;
    }
}

void handle_own_response(conmon_client* client, const conmon_protocol_header& header,
                         std::span<const uint8_t> message) {
    if (header.opcode == CONMON_OPCODE_CONNECT) {
        conmon_client_local_on_connect_response(client->local, header, message);
    } else if (header.opcode == CONMON_OPCODE_KEEPALIVE) {
        conmon_client_local_on_keepalive_response(client->local, conmon_protocol_kind(header.status));
    }
}

void handle_response(conmon_client* client, const conmon_protocol_header& header,
                     std::span<const uint8_t> message) {
    conmon_request_slot* slot = find_request(client, header.request_id);
    if (slot == nullptr && header.opcode == CONMON_OPCODE_CONNECT) {
        // Not the outstanding CONNECT: its handling says so.
        conmon_client_local_on_connect_response(client->local, header, message);
        return;
    }
    if (slot == nullptr) {
        aud_log_printf(conmon_client_log(client), AUD_LOG_LEVEL_INFO,
                       "%s: Unhandled response seqnum=0x%04x opcode=0x%04x", kProcessName,
                       header.request_id, header.opcode);
        return;
    }
    if (slot->opcode != header.opcode) {
        aud_log_printf(conmon_client_log(client), AUD_LOG_LEVEL_WARNING,
                       "%s: Response seqnum=0x%04x has opcode 0x%04x, expected 0x%04x", kProcessName,
                       header.request_id, header.opcode, slot->opcode);
        complete(client, slot, AUD_ERR_INVALIDDATA);
        return;
    }
    const uint16_t kind = conmon_protocol_kind(header.status);
    if (kind == CONMON_STATUS_RESPONSE) {
        switch (header.opcode) {
            case CONMON_OPCODE_DEVICE_NAME:
                std::memcpy(client->local_name, &message[CONMON_PROTOCOL_HEADER_SIZE], CONMON_NAME_SIZE);
                client->local_name[CONMON_NAME_SIZE] = '\0';
                break;
            case CONMON_OPCODE_SUBSCRIBE:
                if (message.size() > CONMON_PROTOCOL_HEADER_SIZE) {
                    merge_subscriptions(client, message, header.version);
                }
                break;
            case CONMON_OPCODE_0x320:
                client->refill_receive_table = true;
                break;
            default:
                break;
        }
    }
    complete(client, slot, conmon_status_error(kind));
    if (kind == CONMON_STATUS_INVALID_STATE) {
        // The server does not know this connection (it restarted and we
        // have not noticed yet): connect again rather than wait for the
        // timeout, and renew what the connection held.
        conmon_client_local_reconnect_now(client->local, conmon_status_name(kind));
    }
}

void on_domain_event(domain_listener*, int event, void* context) {
    auto* client = static_cast<conmon_client*>(context);
    uint32_t flags = 0;
    switch (event) {
        case DOMAIN_EVENT_CHANGING: {
            client->domain_changing = true;
            report(client, CONMON_CLIENT_EVENT_DOMAIN_CHANGING | refresh_readiness(client));
            if (client->domain_kind != CONMON_DOMAIN_KIND_MANAGED) {
                std::span<uint8_t> buffer = client->send_buffer;
                const size_t length = conmon_build_header_only(buffer, client->config.version,
                                                               CONMON_OPCODE_CLEAR_REMOTE);
                const aud_error result =
                    conmon_client_local_send(client->local, buffer.first(length), nullptr, nullptr);
                if (result != AUD_SUCCESS) {
                    aud_log_printf(conmon_client_log(client), AUD_LOG_LEVEL_DEBUG,
                                   "%s: error sending CLEAR_REMOTE message: %s",
                                   "conmon_client_adhoc_on_domain_changing", aud_error_name(result));
                }
            }
            conmon_domain_reset(client);
            forget_remote(client);
            return;
        }
        case DOMAIN_EVENT_CHANGED:
            client->domain_changing = false;
            flags = CONMON_CLIENT_EVENT_DOMAIN_CHANGED;
            conmon_domain_announce(client);
            break;
        case DOMAIN_EVENT_CONNECTION:
            flags = CONMON_CLIENT_EVENT_DOMAIN_CONNECTION;
            // The domain is announced on a change of domain only; a new
            // connection resolves the names again.
            if (domain_provider_get_connection_state(provider_of(client)) == DOMAIN_CONNECTION_CONNECTED) {
                conmon_domain_lookups_again(client);
            } else if (client->domain_kind == CONMON_DOMAIN_KIND_MANAGED) {
                conmon_domain_drop_lookups(client);
                forget_remote(client);
            }
            break;
        default:
            return;
    }
    flags |= refresh_domain(client);
    refresh_channel_delivery(client);
    flags |= refresh_readiness(client);
    report(client, flags);
}

// A message received on one of the client's own channel sockets.
void on_channel_message(void* context, uint16_t channel_type, uint16_t direction,
                        const conmon_message* message, const uint8_t* body) {
    auto* client = static_cast<conmon_client*>(context);
    if (const conmon_client_handler_fn handler = client->handlers[channel_type][direction]) {
        handler(client, channel_type, direction, message, body);
    }
}

// Serial and vendor broadcast arrive on the client's own sockets only while
// no managed domain is in force.
void refresh_channel_delivery(conmon_client* client) {
    const bool outside_domain = client->domain_kind != CONMON_DOMAIN_KIND_MANAGED;
    for (uint16_t type : {CONMON_CHANNEL_TYPE_SERIAL, CONMON_CHANNEL_TYPE_VENDOR_BROADCAST}) {
        if (conmon_channel* channel = conmon_channels_get(client->channels, type)) {
            conmon_channel_set_enabled(channel, outside_domain);
        }
    }
}

aud_error create_channels(conmon_client* client) {
    client->channels = conmon_channels_new(client->env, client->config.channel_mask);
    if (client->channels == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    if (conmon_channel* metering = conmon_channels_get(client->channels, CONMON_CHANNEL_TYPE_METERING)) {
        const aud_error result = conmon_channel_initialise_remote_unicast(metering, client->config.metering_port);
        if (result != AUD_SUCCESS && !client->config.allow_metering_failure) {
            return result;
        }
        conmon_channel_set_enabled(metering, true);
    }
    if (conmon_channel* serial = conmon_channels_get(client->channels, CONMON_CHANNEL_TYPE_SERIAL)) {
        conmon_channel_initialise_remote_multicast(serial, CONMON_SERIAL_PORT, CONMON_SERIAL_GROUP);
    }
    if (conmon_channel* vendor = conmon_channels_get(client->channels, CONMON_CHANNEL_TYPE_VENDOR_BROADCAST)) {
        const uint32_t group = client->config.vendor_broadcast_group;
        if ((group & 0xF0000000u) == 0xE0000000u) {
            conmon_channel_initialise_remote_multicast(vendor, CONMON_VENDOR_BROADCAST_PORT, group);
        }
    }
    for (uint16_t type = 0; type < CONMON_NUM_CHANNEL_TYPES; ++type) {
        if (conmon_channel* channel = conmon_channels_get(client->channels, type)) {
            conmon_channel_set_callback(channel, on_channel_message, client);
        }
    }
    refresh_channel_delivery(client);
    return conmon_channels_initialise(client->channels);
}

// The channels follow the local device: its identity and its networks.
void refresh_channel_interfaces(conmon_client* client) {
    conmon_channels_set_local_source(client->channels, client->have_local_source ? &client->local_source : nullptr);
    conmon_channels_set_interfaces(client->channels, {client->interfaces, client->interface_count});
    conmon_channels_update(client->channels);
}

bool mask_allows(const conmon_client* client, uint16_t channel_type) {
    return channel_type < CONMON_NUM_CHANNEL_TYPES &&
           (client->config.channel_mask & (1u << channel_type)) != 0;
}

aud_error not_initialised(const conmon_client* client, const char* function) {
    aud_log_printf(conmon_client_log(client), AUD_LOG_LEVEL_ERROR, "%s: not initialised", function);
    return AUD_ERR_NOTINITIALISED;
}

// Sends the request built in the send buffer to the local server.
aud_error send_request(conmon_client* client, size_t length, conmon_client_response_fn response,
                       conmon_client_request_id* request, const char* function) {
    if (length == 0) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    conmon_request_slot* slot = nullptr;
    const bool tracked = response != nullptr || request != nullptr;
    const aud_error result = conmon_client_local_send(
        client->local, std::span<uint8_t>(client->send_buffer).first(length), response,
        tracked ? &slot : nullptr);
    if (result != AUD_SUCCESS) {
        aud_log_printf(conmon_client_log(client), AUD_LOG_LEVEL_DEBUG, "%s: error sending message: %s",
                       function, aud_error_name(result));
        return result;
    }
    if (request != nullptr) {
        *request = slot;
    }
    return AUD_SUCCESS;
}

bool is_local_target(const conmon_client* client, const char* device_name) {
    return device_name == nullptr || device_name[0] == '\0' ||
           std::strncmp(device_name, client->local_name, CONMON_NAME_SIZE) == 0;
}

}  // namespace

// ---- Configuration ----

conmon_client_config* conmon_client_config_new(const char* name) {
    auto* config = new (std::nothrow) conmon_client_config;
    if (config != nullptr) {
        conmon_client_config_init(config, name);
    }
    return config;
}

void conmon_client_config_init(conmon_client_config* config, const char* name) {
    *config = conmon_client_config{};
    if (name != nullptr) {
        std::strncpy(config->name, name, CONMON_NAME_SIZE - 1);
    }
    aud_socket_address_set_ipv4(&config->server, 0x7F000001u, CONMON_CLIENT_DEFAULT_PORT);
}

void conmon_client_config_delete(conmon_client_config* config) {
    delete config;
}

namespace {

// A configuration setter: the one check every field shares.
template <typename Value>
aud_error set_config_field(conmon_client_config* config, Value conmon_client_config::*field, Value value) {
    if (config == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    config->*field = value;
    return AUD_SUCCESS;
}

}  // namespace

aud_error conmon_client_config_set_server_address(conmon_client_config* config,
                                                  const aud_socket_address* address) {
    if (config == nullptr || address == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    config->server = *address;
    return AUD_SUCCESS;
}

aud_error conmon_client_config_set_protocol_version(conmon_client_config* config, uint16_t version) {
    if (config == nullptr || version < CONMON_PROTOCOL_VERSION_MIN ||
        version > CONMON_PROTOCOL_VERSION_MAX) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    config->version = version;
    return AUD_SUCCESS;
}

aud_error conmon_client_config_set_channel_mask(conmon_client_config* config, uint32_t mask) {
    return set_config_field(config, &conmon_client_config::channel_mask, mask);
}

aud_error conmon_client_config_set_metering_port(conmon_client_config* config, uint16_t port) {
    return set_config_field(config, &conmon_client_config::metering_port, port);
}

aud_error conmon_client_config_set_vendor_broadcast_group(conmon_client_config* config, uint32_t group) {
    return set_config_field(config, &conmon_client_config::vendor_broadcast_group, group);
}

void conmon_client_config_set_allow_metering_failure(conmon_client_config* config, bool allow) {
    config->allow_metering_failure = allow;
}

uint16_t conmon_client_get_metering_port(const conmon_client* client) {
    const conmon_channel* metering =
        conmon_channels_get(client->channels, CONMON_CHANNEL_TYPE_METERING);
    return metering != nullptr ? conmon_channel_get_port(metering) : 0;
}

// ---- The client ----

aud_log* conmon_client_log(const conmon_client* client) {
    return aud_env_get_log(client->env);
}

aud_error conmon_client_new(avnapi* instance, const conmon_client_config* config,
                            conmon_client** out) {
    if (instance == nullptr || config == nullptr || out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    aud_env* env = avnapi_get_env(instance);
    domain_provider* provider = domain_provider_from_env(env);
    const int mode = domain_provider_get_mode(provider);
    if (provider == nullptr || (mode != DOMAIN_PROVIDER_MODE_DOMAIN &&
                                mode != DOMAIN_PROVIDER_MODE_DOMAIN_AWARE)) {
        return AUD_ERR_INVALIDDATA;
    }
    auto* client = new (std::nothrow) conmon_client;
    if (client == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    client->env = env;
    client->config = *config;
    aud_error result = domain_listener_new(provider, on_domain_event, on_relayed, client, &client->listener);
    if (result == AUD_SUCCESS) {
        result = conmon_client_local_new(client, &client->local);
    }
    if (result == AUD_SUCCESS) {
        result = conmon_domain_sender_new(client, &client->domain);
    }
    if (result == AUD_SUCCESS) {
        refresh_domain(client);
        result = create_channels(client);
    }
    if (result != AUD_SUCCESS) {
        conmon_client_delete(client);
        return result;
    }
    *out = client;
    return AUD_SUCCESS;
}

void conmon_client_delete(conmon_client* client) {
    if (client == nullptr) {
        return;
    }
    if (client->local != nullptr) {
        if (conmon_client_local_get_state(client->local) != CONMON_CLIENT_NO_CONNECTION) {
            conmon_client_local_disconnect(client->local);
        }
        conmon_client_local_delete(client->local);
    }
    conmon_channels_delete(client->channels);
    conmon_domain_sender_delete(client->domain);
    domain_listener_delete(client->listener);
    delete client;
}

void conmon_client_set_context(conmon_client* client, void* context) {
    client->context = context;
}

void* conmon_client_get_context(const conmon_client* client) {
    return client->context;
}

void conmon_client_set_connection_state_callback(conmon_client* client,
                                                 conmon_client_connection_state_fn callback) {
    client->on_connection_state = callback;
}

void conmon_client_set_event_callback(conmon_client* client, conmon_client_event_fn callback) {
    client->on_event = callback;
}

void conmon_client_set_interfaces_changed_callback(conmon_client* client,
                                                   conmon_client_changed_fn callback) {
    client->on_interfaces_changed = callback;
}

void conmon_client_set_local_name_changed_callback(conmon_client* client,
                                                   conmon_client_changed_fn callback) {
    client->on_local_name_changed = callback;
}

conmon_client* conmon_client_event_get_client(const conmon_client_event* event) {
    return event->client;
}

uint32_t conmon_client_event_get_flags(const conmon_client_event* event) {
    return event->flags;
}

aud_error conmon_client_connect(conmon_client* client) {
    if (client == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    return conmon_client_local_auto_connect(client->local);
}

aud_error conmon_client_disconnect(conmon_client* client) {
    if (client == nullptr || client->local == nullptr) {
        return AUD_ERR_INVALIDSTATE;
    }
    return conmon_client_local_disconnect(client->local);
}

int conmon_client_get_connection_state(const conmon_client* client) {
    return client != nullptr ? conmon_client_local_get_state(client->local) : CONMON_CLIENT_NO_CONNECTION;
}

uint32_t conmon_client_get_response_count(const conmon_client* client) {
    return client->responses;
}

bool conmon_client_in_managed_domain(const conmon_client* client) {
    return client->domain_kind == CONMON_DOMAIN_KIND_MANAGED;
}

bool conmon_client_is_ready(const conmon_client* client) {
    return client != nullptr && client->ready;
}

const conmon_source* conmon_client_get_local_device_id(const conmon_client* client) {
    if (client == nullptr || !client->have_local_source ||
        conmon_client_local_get_state(client->local) != CONMON_CLIENT_CONNECTED) {
        return nullptr;
    }
    return &client->local_source;
}

const char* conmon_client_get_local_device_name(const conmon_client* client) {
    return client != nullptr ? client->local_name : "";
}

size_t conmon_client_get_max_body_size(const conmon_client* client) {
    return client != nullptr ? client->max_body_size : 0;
}

aud_error conmon_client_register_monitoring_messages(conmon_client* client,
                                                     conmon_client_response_fn response,
                                                     conmon_client_request_id* request,
                                                     uint16_t channel_type, uint16_t direction,
                                                     conmon_client_handler_fn handler) {
    static const char* const kName = "conmon_client_register_monitoring_messages";
    if (client == nullptr || direction > CONMON_DIRECTION_REMOTE) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (!mask_allows(client, channel_type)) {
        return not_initialised(client, kName);
    }
    const bool managed = client->domain_kind == CONMON_DOMAIN_KIND_MANAGED;
    if (direction == CONMON_DIRECTION_REMOTE && client->domain_kind == CONMON_DOMAIN_KIND_NONE) {
        return AUD_ERR_INVALIDSTATE;
    }
    if (managed && provider_mode(client) == DOMAIN_PROVIDER_MODE_DOMAIN_AWARE &&
        (direction == CONMON_DIRECTION_LOCAL || channel_type == CONMON_CHANNEL_TYPE_LOCAL)) {
        return AUD_ERR_INVALIDSTATE;
    }
    client->handlers[channel_type][direction] = handler;
    if (request != nullptr) {
        *request = nullptr;
    }
    const bool own_sockets = channel_type == CONMON_CHANNEL_TYPE_SERIAL ||
                             channel_type == CONMON_CHANNEL_TYPE_VENDOR_BROADCAST;
    if (own_sockets && (direction == CONMON_DIRECTION_LOCAL || !managed)) {
        return AUD_SUCCESS;
    }
    const uint16_t opcode = handler != nullptr ? CONMON_OPCODE_REGISTER : CONMON_OPCODE_UNREGISTER;
    const uint16_t port = channel_type == CONMON_CHANNEL_TYPE_METERING && handler != nullptr
                              ? conmon_client_get_metering_port(client)
                              : 0;
    if (managed && direction == CONMON_DIRECTION_REMOTE) {
        return conmon_domain_register(client, response, request, channel_type, direction, port,
                                      handler != nullptr);
    }
    const size_t length = conmon_build_register(client->send_buffer, client->config.version, opcode,
                                                channel_type, direction, port);
    return send_request(client, length, response, request,
                        "conmon_client_adhoc_register_monitoring_messages");
}

aud_error conmon_client_subscribe(conmon_client* client, conmon_client_response_fn response,
                                  conmon_client_request_id* request, uint16_t channel_type,
                                  const char* device_name) {
    if (client == nullptr || device_name == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (!mask_allows(client, channel_type)) {
        return not_initialised(client, "conmon_client_subscribe");
    }
    switch (client->domain_kind) {
        case CONMON_DOMAIN_KIND_ADHOC: {
            const uint16_t port =
                channel_type == CONMON_CHANNEL_TYPE_METERING ? conmon_client_get_metering_port(client) : 0;
            const size_t length = conmon_build_subscribe(client->send_buffer, client->config.version,
                                                         CONMON_OPCODE_SUBSCRIBE, channel_type, port,
                                                         device_name);
            return send_request(client, length, response, request, "conmon_client_adhoc_subscribe");
        }
        case CONMON_DOMAIN_KIND_MANAGED:
            return conmon_domain_subscribe(
                client, response, request, channel_type, device_name,
                channel_type == CONMON_CHANNEL_TYPE_METERING ? conmon_client_get_metering_port(client) : 0);
        default:
            return AUD_ERR_INVALIDSTATE;
    }
}

aud_error conmon_client_send_control_message(conmon_client* client,
                                             conmon_client_response_fn response,
                                             conmon_client_request_id* request,
                                             const char* device_name, uint16_t message_type,
                                             const uint8_t vendor_id[CONMON_VENDOR_ID_SIZE],
                                             const uint8_t* body, uint16_t body_size,
                                             const aud_time* timeout) {
    static const char* const kName = "conmon_client_send_control_message";
    if (client == nullptr || vendor_id == nullptr || (body == nullptr && body_size > 0)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    aud_log_printf(conmon_client_log(client), AUD_LOG_LEVEL_DEBUG, "%s: starting", kName);
    if (client->domain_kind == CONMON_DOMAIN_KIND_NONE) {
        return AUD_ERR_INVALIDSTATE;
    }
    if (body_size > client->max_body_size) {
        return AUD_ERR_TRUNCATED;
    }
    if (std::memcmp(vendor_id, CONMON_VENDOR_ID_AVN_CORE, CONMON_VENDOR_ID_SIZE) == 0 && body_size < 8) {
        aud_log_printf(conmon_client_log(client), AUD_LOG_LEVEL_ERROR,
                       "%s: message (body) size too small %u\n", kName, static_cast<unsigned>(body_size));
        return AUD_ERR_MSGSIZE;
    }
    const bool managed = client->domain_kind == CONMON_DOMAIN_KIND_MANAGED;
    if (managed && is_local_target(client, device_name)) {
        return AUD_ERR_INVALIDSTATE;  // the local device is not reached through the domain
    }
    std::array<uint8_t, CONMON_MESSAGE_HEAD_SIZE + CONMON_MESSAGE_MAX_BODY_SIZE> message;
    size_t message_size = 0;
    const aud_error built = conmon_message_build(message, message_type, vendor_id,
                                                 {body, body_size}, &message_size);
    if (built != AUD_SUCCESS) {
        return built;
    }
    if (managed) {
        const aud_error result =
            conmon_domain_send_control(client, response, request, device_name,
                                       std::span<const uint8_t>(message).first(message_size), timeout);
        aud_log_printf(conmon_client_log(client), AUD_LOG_LEVEL_DEBUG, "%s: finished", kName);
        return result;
    }
    const uint32_t seconds = timeout != nullptr && timeout->seconds > 0 ? static_cast<uint32_t>(timeout->seconds) : 0;
    const uint32_t microseconds =
        timeout != nullptr && timeout->microseconds > 0 ? static_cast<uint32_t>(timeout->microseconds) : 0;
    const size_t length = conmon_build_control(client->send_buffer, client->config.version,
                                               device_name != nullptr ? device_name : "",
                                               seconds, microseconds,
                                               std::span<const uint8_t>(message).first(message_size));
    const aud_error result =
        send_request(client, length, response, request, "conmon_client_adhoc_send_control_message");
    aud_log_printf(conmon_client_log(client), AUD_LOG_LEVEL_DEBUG, "%s: finished", kName);
    return result;
}

const char* conmon_client_device_name_for_source(const conmon_client* client,
                                                 const conmon_source* source) {
    if (client == nullptr || source == nullptr) {
        return nullptr;
    }
    if (client->have_local_source && client->local_source == *source) {
        return client->local_name;
    }
    for (const conmon_subscription_entry& entry : client->subscriptions) {
        if (entry.used && (entry.flags & CONMON_ENTRY_FLAG_SOURCE) &&
            std::memcmp(entry.source.device_id, source->device_id, CONMON_DEVICE_ID_SIZE) == 0) {
            return entry.device_name;
        }
    }
    if (client->current_sender != nullptr && client->current_message != nullptr) {
        const conmon_source sender = conmon_message_source(client->current_message);
        if (sender == *source) {
            return client->current_sender;
        }
    }
    return nullptr;
}

uint8_t conmon_client_current_message_domain_kind(const conmon_client* client) {
    return client->current_domain_kind;
}

// ---- Used by the domain path ----

void conmon_client_complete_request(conmon_client* client, conmon_request_slot* slot, aud_error status) {
    complete(client, slot, status);
}

void conmon_client_merge_subscription(conmon_client* client, const conmon_subscription_record& record) {
    conmon_subscription_entry* target = subscription_entry_for(client, record);
    if (target != nullptr) {
        update_entry(*target, record);
    }
}

void conmon_client_deliver(conmon_client* client, uint16_t channel_type, const uint8_t* message,
                           const char* sender_name) {
    const conmon_client_handler_fn handler = client->handlers[channel_type][CONMON_DIRECTION_REMOTE];
    if (handler == nullptr) {
        return;
    }
    const conmon_message* m = conmon_message_from_bytes(message);
    client->current_message = m;
    client->current_sender = sender_name;
    handler(client, channel_type, CONMON_DIRECTION_REMOTE, m, conmon_message_body(m));
    client->current_message = nullptr;
    client->current_sender = nullptr;
}

// ---- Used by the local connection ----

conmon_request_slot* conmon_client_take_request(conmon_client* client) {
    const size_t n = client->requests.size();
    for (size_t step = 1; step <= n; ++step) {
        const size_t index = (client->last_request + step) % n;
        if (!client->requests[index].in_use) {
            client->last_request = index;
            client->requests[index] = conmon_request_slot{};
            client->requests[index].in_use = true;
            return &client->requests[index];
        }
    }
    return nullptr;
}

void conmon_client_release_request(conmon_request_slot* slot) {
    *slot = conmon_request_slot{};
}

void conmon_client_process_local_message(conmon_client* client, std::span<const uint8_t> message) {
    const uint16_t status = conmon_protocol_validate(message);
    if (status != 0) {
        aud_log_printf(conmon_client_log(client), AUD_LOG_LEVEL_WARNING, "%s: Error validating: %s!",
                       kProcessName, conmon_status_name(status));
        return;
    }
    conmon_protocol_header header;
    conmon_protocol_read_header(message, &header);
    if (conmon_protocol_kind(header.status) == CONMON_STATUS_EVENT) {
        handle_event(client, header, message);
        return;
    }
    ++client->responses;
    if (conmon_client_local_owns(client->local, header.request_id)) {
        handle_own_response(client, header, message);
    } else {
        handle_response(client, header, message);
    }
}

void conmon_client_on_local_state_changed(conmon_client* client, bool notify) {
    report(client, CONMON_CLIENT_EVENT_CONNECTION_STATE | refresh_readiness(client));
    if (notify && client->on_connection_state != nullptr) {
        client->on_connection_state(client);
    }
}

void conmon_client_reset(conmon_client* client) {
    if (client->domain_kind != CONMON_DOMAIN_KIND_MANAGED) {
        forget_remote(client);
    }
    conmon_channels_close_tx(client->channels);
    for (conmon_request_slot& slot : client->requests) {
        if (slot.in_use && slot.kind == CONMON_REQUEST_KIND_LOCAL) {
            conmon_client_release_request(&slot);
        }
    }
    for (auto& pair : client->handlers) {
        pair[CONMON_DIRECTION_LOCAL] = nullptr;
    }
    // What the server announced belongs to this connection; the next
    // server announces its own.
    client->capabilities = 0;
    client->local_name[0] = '\0';
    client->interface_count = 0;
    client->have_local_source = false;
    client->local_source = conmon_source{};
    client->refill_receive_table = false;
}

void conmon_client_apply_connect_info(conmon_client* client, const conmon_connect_info& info) {
    client->capabilities = info.capabilities;
    std::memcpy(client->local_name, info.device_name, sizeof client->local_name);
    std::memcpy(client->local_text, info.device_text, sizeof client->local_text);
    client->local_source = info.source;
    client->have_local_source = true;
    client->interface_count = info.interface_count;
    std::memcpy(client->interfaces, info.interfaces, sizeof client->interfaces);
    refresh_channel_interfaces(client);
}
