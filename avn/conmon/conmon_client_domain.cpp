// The conmon client's domain path: while a managed domain is in force,
// control messages, registrations and subscriptions travel as domain
// messages through the instance's domain relay to the Domain Manager, which
// carries them to the devices. Device names are resolved through the
// Domain Manager's lookup service first; messages for a name not yet
// resolved wait (at most their timeout) in a pending list.
#include <algorithm>
#include <cstring>
#include <list>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "avn/conmon/db_lookup.h"
#include "avn/conmon/avn_packet.h"
#include "avn/conmon/conmon_client_private.h"
#include "avn/runtime/byte_order.h"

namespace {

constexpr uint16_t kControlData = 12;
constexpr uint16_t kRegisterData = 32;
constexpr uint16_t kSubscribeData = 36;
constexpr uint16_t kSubscribeMarker = 96;
constexpr int64_t kDefaultWaitMs = 2000;
constexpr int64_t kAnnouncementWaitMs = 2000;
constexpr size_t kSubscriptionRecordData = 46;

struct domain_lookup {
    conmon_domain_sender* sender = nullptr;
    char name[CONMON_NAME_SIZE + 1] = {};
    bool resolved = false;
    uint32_t node = 0;
    bool running = false;  // a lookup request is outstanding
    uint32_t request_id = 0;
};

struct pending_message {
    domain_lookup* lookup = nullptr;
    conmon_request_slot* slot = nullptr;  // none when nobody waits for the outcome
    std::vector<uint8_t> message;         // the conmon message, origin not yet filled
    aud_time expiry{};
};

}  // namespace

struct conmon_domain_sender {
    conmon_client* client = nullptr;
    db_lookup_service* lookups = nullptr;
    std::list<std::unique_ptr<domain_lookup>> names;
    std::list<pending_message> pending;
    aud_timer* expiry_timer = nullptr;
    aud_timer* announcement_timer = nullptr;
    uint16_t announcement_sequence = 0;
    uint32_t deferred = 0;
    bool deferred_queued = false;
    uint16_t conmon_sequence = 0;
    std::array<uint8_t, AVN_PACKET_MAX_SIZE> buffer{};
};

namespace {

uint16_t next(uint16_t& counter) {
    if (++counter == 0) {
        counter = 1;
    }
    return counter;
}

aud_log* log_of(const conmon_domain_sender* sender) {
    return conmon_client_log(sender->client);
}

aud_event_loop* loop_of(const conmon_domain_sender* sender) {
    return aud_env_get_event_loop(sender->client->env);
}

avn_domain_uuid current_domain(const conmon_client* client) {
    return domain_listener_get_current(client->listener).uuid;
}

// Starts a request packet in the sender's buffer.
aud_error begin_request(conmon_domain_sender* sender, avn_packet_builder* builder, uint16_t type,
                        uint32_t node, uint16_t* sequence) {
    // From the counter the provider shares between listeners: see
    // domain_listener_next_sequence.
    *sequence = domain_listener_next_sequence(sender->client->listener);
    aud_error result =
        avn_packet_begin(builder, sender->buffer, AVN_PACKET_KIND_REQUEST, {node, 0}, {0, 0});
    if (result == AUD_SUCCESS) {
        result = avn_packet_add_chunk(builder, type, *sequence, 0);
    }
    return result;
}

aud_error send(conmon_domain_sender* sender, avn_packet_builder* builder) {
    return avn_packet_relay_send(sender->client->listener, avn_packet_finish(builder));
}

aud_error status_error(uint16_t status) {
    switch (status) {
        case 0:
            return AUD_SUCCESS;
        case 2:
            return AUD_ERR_NOTSUPPORTED;
        case 3:
            return AUD_ERR_VERSION;
        case 4:
        case 5:
            return AUD_ERR_INVALIDDATA;
        case 6:
            return AUD_ERR_POLICY;
        default:
            return AUD_ERR_FAULT;
    }
}

// The request that a reply with this sequence number answers. Slots of
// messages still queued for their lookup have sent nothing (their sequence is
// 0) and never match.
conmon_request_slot* find_slot(conmon_client* client, uint16_t sequence) {
    if (sequence == 0) {
        return nullptr;
    }
    for (conmon_request_slot& slot : client->requests) {
        if (slot.in_use && slot.kind == CONMON_REQUEST_KIND_DOMAIN &&
            slot.domain_sequence == sequence) {
            return &slot;
        }
    }
    return nullptr;
}

// Takes a slot for a domain request when the caller wants its outcome.
aud_error take_slot(conmon_client* client, conmon_client_response_fn response,
                    conmon_client_request_id* request, conmon_request_slot** out) {
    *out = nullptr;
    if (response == nullptr && request == nullptr) {
        return AUD_SUCCESS;
    }
    conmon_request_slot* slot = conmon_client_take_request(client);
    if (slot == nullptr) {
        return AUD_ERR_NOBUFS;
    }
    slot->kind = CONMON_REQUEST_KIND_DOMAIN;
    slot->callback = response;
    *out = slot;
    return AUD_SUCCESS;
}

// Sends a built request; when the caller wants an answer, a request slot
// then waits for the reply with the chunk's sequence number.
aud_error send_request(conmon_client* client, avn_packet_builder* builder, uint16_t sequence,
                       conmon_client_response_fn response, conmon_client_request_id* request) {
    conmon_request_slot* slot = nullptr;
    aud_error result = take_slot(client, response, request, &slot);
    if (result != AUD_SUCCESS) {
        return result;
    }
    result = send(client->domain, builder);
    if (result != AUD_SUCCESS) {
        if (slot != nullptr) {
            conmon_client_release_request(slot);
        }
        return result;
    }
    if (slot != nullptr) {
        slot->domain_sequence = sequence;
    }
    if (request != nullptr) {
        *request = slot;
    }
    return AUD_SUCCESS;
}

// Builds and sends the 0x2002 request for a resolved device; the slot (if
// any) then waits for the reply with the chunk's sequence number.
aud_error send_control(conmon_domain_sender* sender, uint32_t node, std::span<uint8_t> message,
                       conmon_request_slot* slot) {
    conmon_client* client = sender->client;
    const conmon_source* local = conmon_client_get_local_device_id(client);
    conmon_message_set_origin(message.data(), next(sender->conmon_sequence),
                              local != nullptr ? *local : conmon_source{});
    avn_packet_builder builder;
    uint16_t sequence = 0;
    aud_error result =
        begin_request(sender, &builder, CONMON_DOMAIN_MESSAGE_CONTROL, node, &sequence);
    uint8_t data[kControlData] = {};
    byte_order::store_be16(data, static_cast<uint16_t>(message.size()));
    if (result == AUD_SUCCESS) {
        result = avn_packet_add_data(&builder, data);
    }
    uint16_t offset = 0;
    if (result == AUD_SUCCESS) {
        result = avn_packet_append(&builder, message, &offset);
        avn_packet_patch16(&builder, 2, offset);
    }
    if (result != AUD_SUCCESS) {
        aud_log_printf(log_of(sender), AUD_LOG_LEVEL_ERROR, "Error writing control message (%s)\n",
                       aud_error_name(result));
        return result;
    }
    result = send(sender, &builder);
    if (result != AUD_SUCCESS) {
        aud_log_printf(log_of(sender), AUD_LOG_LEVEL_ERROR, "Error sending packet (%s)\n",
                       aud_error_name(result));
        return result;
    }
    if (slot != nullptr) {
        slot->domain_sequence = sequence;
    }
    return AUD_SUCCESS;
}

void finish(conmon_client* client, conmon_request_slot* slot, aud_error status) {
    if (slot != nullptr) {
        conmon_client_complete_request(client, slot, status);
    }
}

void rearm_expiry(conmon_domain_sender* sender) {
    if (sender->pending.empty()) {
        aud_timer_stop(sender->expiry_timer);
        return;
    }
    aud_time earliest = sender->pending.front().expiry;
    for (const pending_message& m : sender->pending) {
        if (aud_time_compare(m.expiry, earliest) < 0) {
            earliest = m.expiry;
        }
    }
    aud_timer_start_once(sender->expiry_timer, &earliest, nullptr);
}

// Sends what has been resolved, fails what has expired. The waiters are
// told only once the list is settled: their callbacks may send again.
void process_pending(conmon_domain_sender* sender) {
    const aud_time now = aud_time_now();
    std::vector<std::pair<conmon_request_slot*, aud_error>> finished;
    for (auto it = sender->pending.begin(); it != sender->pending.end();) {
        pending_message& m = *it;
        if (m.lookup->resolved) {
            const aud_error result = send_control(sender, m.lookup->node, m.message, m.slot);
            if (result != AUD_SUCCESS) {
                finished.emplace_back(m.slot, result);
            }
            it = sender->pending.erase(it);
        } else if (aud_time_compare(m.expiry, now) <= 0) {
            finished.emplace_back(m.slot, AUD_ERR_NOTFOUND);
            it = sender->pending.erase(it);
        } else {
            ++it;
        }
    }
    rearm_expiry(sender);
    for (const auto& [slot, status] : finished) {
        finish(sender->client, slot, status);
    }
}

void on_deferred(aud_error, aud_event_loop*, uint32_t, void* context) {
    auto* sender = static_cast<conmon_domain_sender*>(context);
    sender->deferred_queued = false;
    process_pending(sender);
}

void queue_processing(conmon_domain_sender* sender) {
    if (sender->deferred_queued) {
        return;
    }
    if (aud_event_loop_call_later(loop_of(sender), &sender->deferred, on_deferred, sender) ==
        AUD_SUCCESS) {
        sender->deferred_queued = true;
    }
}

void on_expiry(aud_error, aud_timer* timer) {
    process_pending(static_cast<conmon_domain_sender*>(aud_timer_get_context(timer)));
}

void on_announcement_timeout(aud_error, aud_timer* timer) {
    auto* sender = static_cast<conmon_domain_sender*>(aud_timer_get_context(timer));
    sender->announcement_sequence = 0;
    process_pending(sender);
}

// Fails the pending messages of a lookup and forgets the lookup.
void remove_lookup(conmon_domain_sender* sender, domain_lookup* lookup, aud_error status) {
    std::vector<conmon_request_slot*> failed;
    for (auto it = sender->pending.begin(); it != sender->pending.end();) {
        if (it->lookup == lookup) {
            failed.push_back(it->slot);
            it = sender->pending.erase(it);
        } else {
            ++it;
        }
    }
    sender->names.remove_if([lookup](const auto& entry) { return entry.get() == lookup; });
    for (conmon_request_slot* slot : failed) {
        finish(sender->client, slot, status);
    }
    rearm_expiry(sender);
}

void on_lookup_result(void* owner, const db_domain_device_record* record) {
    auto* lookup = static_cast<domain_lookup*>(owner);
    if (!record->has_info || record->address.node == 0) {
        return;  // nothing to address the device by
    }
    // Only a record of the device asked about may resolve it: another's
    // (an answer meant for someone else) would send its messages astray.
    if (!conmon_names_equal(record->name, lookup->name, sizeof record->name)) {
        aud_log_printf(log_of(lookup->sender), AUD_LOG_LEVEL_WARNING,
                       "%s: ignored a result for \"%.31s\" while looking up \"%.31s\"\n",
                       "conmon_domain_on_lookup_result", record->name, lookup->name);
        return;
    }
    const bool changed = !lookup->resolved || lookup->node != record->address.node;
    lookup->resolved = true;
    lookup->node = record->address.node;
    if (changed) {
        queue_processing(lookup->sender);
    }
}

// What a refused lookup tells the messages that waited for it.
aud_error refusal_error(uint16_t status) {
    switch (status) {
        case 2:
        case 3:
            return AUD_ERR_INVALIDPARAMETER;
        case 5:
            return AUD_ERR_INVALIDDATA;
        case 6:
            return AUD_ERR_POLICY;
        default:
            return AUD_ERR_SYSTEM;
    }
}

void on_lookup_done(void* owner, int reason, uint16_t status) {
    auto* lookup = static_cast<domain_lookup*>(owner);
    lookup->running = false;
    lookup->request_id = 0;
    if (reason == DB_LOOKUP_DONE_CANCELLED || lookup->resolved) {
        return;
    }
    // The Domain Manager finished without naming the device, or refused.
    remove_lookup(lookup->sender, lookup,
                  reason == DB_LOOKUP_DONE_REFUSED ? refusal_error(status) : AUD_ERR_NOTFOUND);
}

aud_error start_lookup(conmon_domain_sender* sender, domain_lookup* lookup) {
    db_lookup_request_data data;
    data.domain = current_domain(sender->client);
    data.flags = DB_LOOKUP_FLAG_NAME;
    std::memcpy(data.name, lookup->name, sizeof lookup->name);
    lookup->running = true;
    const aud_error result =
        db_lookup_start(sender->lookups, lookup, on_lookup_result, on_lookup_done, &data);
    lookup->request_id = data.request_id;
    if (result != AUD_SUCCESS) {
        // Not asked: take the request back so that it cannot call a freed lookup.
        db_lookup_cancel(sender->lookups, data.request_id);
        lookup->running = false;
    }
    return result;
}

domain_lookup* find_lookup(conmon_domain_sender* sender, const char* name) {
    for (const auto& lookup : sender->names) {
        if (conmon_names_equal(lookup->name, name, CONMON_NAME_SIZE)) {
            return lookup.get();
        }
    }
    return nullptr;
}

void deliver(conmon_client* client, const avn_packet_view& view) {
    const std::span<const uint8_t> data = avn_packet_data(view);
    if (data.size() < 8) {
        return;
    }
    const uint16_t offset = byte_order::load_be16(data.data() + 2);
    const uint16_t channel_type = byte_order::load_be16(data.data() + 4);
    const uint16_t name_offset = byte_order::load_be16(data.data() + 6);
    const std::span<const uint8_t> head = avn_packet_at(view, offset, CONMON_MESSAGE_HEAD_SIZE);
    if (head.empty() || channel_type >= CONMON_NUM_CHANNEL_TYPES) {
        return;
    }
    const std::span<const uint8_t> bytes =
        avn_packet_at(view, offset, byte_order::load_be16(head.data() + 2));
    if (bytes.empty() || !conmon_message_is_valid(bytes)) {
        return;
    }
    const char* sender_name = nullptr;
    if (name_offset != 0 &&
        !avn_packet_text(view, name_offset, CONMON_NAME_SIZE + 1, &sender_name)) {
        sender_name = nullptr;
    }
    conmon_client_deliver(client, channel_type, bytes.data(), sender_name);
}

// A subscription record of a 0x2011 reply or a 0x2013 update.
void merge_record(conmon_client* client, const avn_packet_view& view) {
    const std::span<const uint8_t> data = avn_packet_data(view);
    if (view.chunk.size() < 60 || data.size() < kSubscriptionRecordData) {
        return;
    }
    conmon_subscription_record record;
    record.flags = CONMON_SUBSCRIPTION_FLAG_SUBSCRIPTION | CONMON_SUBSCRIPTION_FLAG_SOURCE;
    record.subscription_id = byte_order::load_be16(data.data());
    record.channel_type = byte_order::load_be16(data.data() + 2);
    const char* name = nullptr;
    if (avn_packet_text(view, byte_order::load_be16(data.data() + 6), CONMON_NAME_SIZE, &name)) {
        std::strncpy(record.device_name, name, CONMON_NAME_SIZE);
    }
    std::memcpy(record.source.device_id, data.data() + 28, CONMON_DEVICE_ID_SIZE);
    record.key = byte_order::load_be32(data.data() + 36);
    const uint32_t valid = byte_order::load_be32(data.data() + 40);
    for (int i = 0; i < 2; ++i) {
        if (valid & (1u << i)) {
            record.status[i] = data[44 + i];
        }
    }
    conmon_client_merge_subscription(client, record);
}

void reply(conmon_domain_sender* sender, const avn_packet_view& request, uint16_t status) {
    std::array<uint8_t, AVN_PACKET_DATA_OFFSET> buffer;
    avn_packet_builder builder;
    if (avn_packet_begin_reply(&builder, buffer, request, status) == AUD_SUCCESS) {
        send(sender, &builder);
    }
}

// A reply to the announcement only stops its timer; true when it was one.
bool answers_announcement(conmon_domain_sender* sender, uint16_t sequence) {
    if (sender->announcement_sequence == 0 || sequence != sender->announcement_sequence) {
        return false;
    }
    sender->announcement_sequence = 0;
    aud_timer_stop(sender->announcement_timer);
    return true;
}

void complete_by_sequence(conmon_client* client, uint16_t sequence, uint16_t status) {
    if (conmon_request_slot* slot = find_slot(client, sequence)) {
        conmon_client_complete_request(client, slot, status_error(status));
    }
}

}  // namespace

bool conmon_names_equal(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[i]);
        const auto la = ca >= 'A' && ca <= 'Z' ? ca + 32 : ca;
        const auto lb = cb >= 'A' && cb <= 'Z' ? cb + 32 : cb;
        if (la != lb) {
            return false;
        }
        if (ca == 0) {
            return true;
        }
    }
    return true;
}

aud_error conmon_domain_sender_new(conmon_client* client, conmon_domain_sender** out) {
    auto* sender = new (std::nothrow) conmon_domain_sender;
    if (sender == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    sender->client = client;
    aud_error result = db_lookup_service_new(sender, client->listener, &sender->lookups);
    if (result == AUD_SUCCESS) {
        result = aud_timer_new(loop_of(sender), on_expiry, sender, &sender->expiry_timer);
    }
    if (result == AUD_SUCCESS) {
        result = aud_timer_new(loop_of(sender), on_announcement_timeout, sender,
                               &sender->announcement_timer);
    }
    if (result != AUD_SUCCESS) {
        conmon_domain_sender_delete(sender);
        return result;
    }
    *out = sender;
    return AUD_SUCCESS;
}

void conmon_domain_sender_delete(conmon_domain_sender* sender) {
    if (sender == nullptr) {
        return;
    }
    if (sender->deferred_queued) {
        aud_event_loop_cancel_call(loop_of(sender), sender->deferred, on_deferred, sender);
    }
    db_lookup_service_delete(sender->lookups);
    if (sender->expiry_timer != nullptr) {
        aud_timer_delete(sender->expiry_timer);
    }
    if (sender->announcement_timer != nullptr) {
        aud_timer_delete(sender->announcement_timer);
    }
    delete sender;
}

aud_error conmon_domain_send_control(conmon_client* client, conmon_client_response_fn response,
                                     conmon_client_request_id* request, const char* device_name,
                                     std::span<const uint8_t> message, const aud_time* timeout) {
    conmon_domain_sender* sender = client->domain;
    if (sender == nullptr || device_name == nullptr || device_name[0] == '\0' ||
        std::strlen(device_name) >= CONMON_NAME_SIZE) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    domain_lookup* lookup = find_lookup(sender, device_name);
    if (lookup == nullptr) {
        auto added = std::unique_ptr<domain_lookup>(new (std::nothrow) domain_lookup);
        if (!added) {
            aud_log_printf(log_of(sender), AUD_LOG_LEVEL_ERROR, "Error adding lookup (%s)\n",
                           aud_error_name(AUD_ERR_NOMEMORY));
            return AUD_ERR_NOMEMORY;
        }
        added->sender = sender;
        std::strncpy(added->name, device_name, CONMON_NAME_SIZE);
        lookup = added.get();
        sender->names.push_back(std::move(added));
        const aud_error result = start_lookup(sender, lookup);
        if (result != AUD_SUCCESS) {
            aud_log_printf(log_of(sender), AUD_LOG_LEVEL_ERROR, "Error adding lookup (%s)\n",
                           aud_error_name(result));
            sender->names.pop_back();
            return result;
        }
    }
    conmon_request_slot* slot = nullptr;
    aud_error result = take_slot(client, response, request, &slot);
    if (result != AUD_SUCCESS) {
        return result;
    }
    if (!lookup->resolved) {
        const bool given =
            timeout != nullptr && (timeout->seconds > 0 || timeout->microseconds > 0);
        const aud_time wait = given ? *timeout : aud_time_from_milliseconds(kDefaultWaitMs);
        pending_message& m = sender->pending.emplace_back();
        m.lookup = lookup;
        m.slot = slot;
        m.message.assign(message.begin(), message.end());
        m.expiry = aud_time_add(aud_time_now(), wait);
        rearm_expiry(sender);
    } else {
        std::vector<uint8_t> copy(message.begin(), message.end());
        result = send_control(sender, lookup->node, copy, slot);
        if (result != AUD_SUCCESS) {
            if (slot != nullptr) {
                conmon_client_release_request(slot);
            }
            return result;
        }
    }
    if (request != nullptr) {
        *request = slot;
    }
    return AUD_SUCCESS;
}

aud_error conmon_domain_register(conmon_client* client, conmon_client_response_fn response,
                                 conmon_client_request_id* request, uint16_t channel_type,
                                 uint16_t direction, uint16_t port, bool add) {
    conmon_domain_sender* sender = client->domain;
    if (sender == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const uint32_t group = client->config.vendor_broadcast_group;
    if (channel_type == CONMON_CHANNEL_TYPE_VENDOR_BROADCAST && group == 0) {
        return AUD_ERR_NOTSUPPORTED;
    }
    avn_packet_builder builder;
    uint16_t sequence = 0;
    aud_error result = begin_request(sender, &builder, CONMON_DOMAIN_MESSAGE_REGISTER,
                                     AVN_PACKET_NODE_DOMAIN_MANAGER, &sequence);
    uint8_t data[kRegisterData] = {};
    byte_order::store_be16(data, add ? 1 : 0);
    byte_order::store_be16(data + 2, channel_type);
    byte_order::store_be16(data + 4, direction);
    byte_order::store_be16(data + 6, port);
    const avn_domain_uuid domain = current_domain(client);
    std::memcpy(data + 8, domain.bytes, AVN_DOMAIN_UUID_SIZE);
    byte_order::store_be32(data + 24, 1);
    byte_order::store_be32(data + 28,
                           channel_type == CONMON_CHANNEL_TYPE_VENDOR_BROADCAST ? group : 0);
    if (result == AUD_SUCCESS) {
        result = avn_packet_add_data(&builder, data);
    }
    if (result != AUD_SUCCESS) {
        return result;
    }
    return send_request(client, &builder, sequence, response, request);
}

aud_error conmon_domain_subscribe(conmon_client* client, conmon_client_response_fn response,
                                  conmon_client_request_id* request, uint16_t channel_type,
                                  const char* device_name, uint16_t port) {
    conmon_domain_sender* sender = client->domain;
    if (sender == nullptr || device_name == nullptr ||
        std::strlen(device_name) >= CONMON_NAME_SIZE) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    aud_socket_address local{};
    uint32_t address = 0;
    if (domain_provider_get_endpoint(domain_listener_get_provider(client->listener), 0, &local) ==
        AUD_SUCCESS) {
        address = aud_socket_address_get_ipv4(&local);
    } else if (channel_type == CONMON_CHANNEL_TYPE_METERING) {
        return AUD_ERR_NOTCONN;
    }
    avn_packet_builder builder;
    uint16_t sequence = 0;
    aud_error result = begin_request(sender, &builder, CONMON_DOMAIN_MESSAGE_SUBSCRIBE,
                                     AVN_PACKET_NODE_DOMAIN_MANAGER, &sequence);
    uint8_t data[kSubscribeData] = {};
    byte_order::store_be16(data, kSubscribeMarker);
    byte_order::store_be16(data + 2, 1);
    byte_order::store_be16(data + 4, channel_type);
    byte_order::store_be16(data + 6, port);
    const avn_domain_uuid domain = current_domain(client);
    std::memcpy(data + 12, domain.bytes, AVN_DOMAIN_UUID_SIZE);
    byte_order::store_be32(data + 28, address);
    if (result == AUD_SUCCESS) {
        result = avn_packet_add_data(&builder, data);
    }
    if (result == AUD_SUCCESS && device_name[0] != '\0') {
        uint16_t offset = 0;
        result = avn_packet_append_text(&builder, device_name, &offset);
        avn_packet_patch16(&builder, 8, offset);
    }
    if (result != AUD_SUCCESS) {
        return result;
    }
    return send_request(client, &builder, sequence, response, request);
}

void conmon_domain_announce(conmon_client* client) {
    conmon_domain_sender* sender = client->domain;
    if (sender == nullptr) {
        return;
    }
    aud_timer_stop(sender->announcement_timer);
    sender->announcement_sequence = 0;
    avn_packet_builder builder;
    uint16_t sequence = 0;
    aud_error result = begin_request(sender, &builder, CONMON_DOMAIN_MESSAGE_ANNOUNCE,
                                     AVN_PACKET_NODE_DOMAIN_MANAGER, &sequence);
    avn_domain_uuid domain = current_domain(client);
    if (avn_domain_uuid_is_adhoc(&domain)) {
        domain = avn_domain_uuid_none();
    }
    if (result == AUD_SUCCESS) {
        result = avn_packet_add_data(&builder, domain.bytes);
    }
    if (result == AUD_SUCCESS && send(sender, &builder) == AUD_SUCCESS) {
        sender->announcement_sequence = sequence;
        const aud_time wait = aud_time_from_milliseconds(kAnnouncementWaitMs);
        aud_timer_start_once(sender->announcement_timer, nullptr, &wait);
    }
}

void conmon_domain_reset(conmon_client* client) {
    conmon_domain_sender* sender = client->domain;
    if (sender == nullptr) {
        return;
    }
    std::vector<conmon_request_slot*> failed;
    for (const pending_message& m : sender->pending) {
        failed.push_back(m.slot);
    }
    sender->pending.clear();
    db_lookup_cancel_all(sender->lookups);
    sender->names.clear();
    aud_timer_stop(sender->expiry_timer);
    if (sender->deferred_queued) {
        aud_event_loop_cancel_call(loop_of(sender), sender->deferred, on_deferred, sender);
        sender->deferred_queued = false;
    }
    // Requests already relayed are answered in the old domain or not at all.
    for (conmon_request_slot& slot : client->requests) {
        if (slot.in_use && slot.kind == CONMON_REQUEST_KIND_DOMAIN && slot.domain_sequence != 0) {
            failed.push_back(&slot);
        }
    }
    for (conmon_request_slot* slot : failed) {
        finish(client, slot, AUD_ERR_NOTFOUND);
    }
}

void conmon_domain_drop_lookups(conmon_client* client) {
    conmon_domain_sender* sender = client->domain;
    if (sender == nullptr) {
        return;
    }
    for (const auto& lookup : sender->names) {
        if (lookup->running) {
            db_lookup_cancel(sender->lookups, lookup->request_id);
        }
    }
    // The connection that carried the relayed requests is gone: their
    // answers cannot come, so their waiters learn it now.
    for (conmon_request_slot& slot : client->requests) {
        if (slot.in_use && slot.kind == CONMON_REQUEST_KIND_DOMAIN && slot.domain_sequence != 0) {
            conmon_client_complete_request(client, &slot, AUD_ERR_NOTCONN);
        }
    }
}

void conmon_domain_lookups_again(conmon_client* client) {
    conmon_domain_sender* sender = client->domain;
    if (sender == nullptr) {
        return;
    }
    std::vector<domain_lookup*> lost;
    for (const auto& lookup : sender->names) {
        if (!lookup->running && start_lookup(sender, lookup.get()) != AUD_SUCCESS) {
            lost.push_back(lookup.get());
        }
    }
    for (domain_lookup* lookup : lost) {
        remove_lookup(sender, lookup, AUD_ERR_NOTFOUND);
    }
}

void conmon_domain_receive(conmon_client* client, std::span<const uint8_t> packet) {
    conmon_domain_sender* sender = client->domain;
    avn_packet_view view;
    if (sender == nullptr || avn_packet_read(packet, &view) != AUD_SUCCESS) {
        return;
    }
    if (view.type >= DB_LOOKUP_MESSAGE_REQUEST && view.type <= DB_LOOKUP_MESSAGE_RESULT) {
        db_lookup_service_receive(sender->lookups, packet);
        return;
    }
    const bool is_reply = view.kind == AVN_PACKET_KIND_REPLY;
    switch (view.type) {
        case CONMON_DOMAIN_MESSAGE_CONTROL:
        case CONMON_DOMAIN_MESSAGE_REGISTER:
            if (is_reply && !answers_announcement(sender, view.sequence)) {
                complete_by_sequence(client, view.sequence, view.status);
            }
            return;
        case CONMON_DOMAIN_MESSAGE_SUBSCRIBE:
            if (is_reply && !answers_announcement(sender, view.sequence)) {
                if (view.status == 0) {
                    merge_record(client, view);
                }
                complete_by_sequence(client, view.sequence, view.status);
            }
            return;
        case CONMON_DOMAIN_MESSAGE_DEVICE:
            if (view.kind == AVN_PACKET_KIND_REQUEST) {
                if (view.sequence != 0) {
                    reply(sender, view, 0);
                }
                deliver(client, view);
            } else if (is_reply && view.status == 0) {
                deliver(client, view);
            } else if (is_reply && !answers_announcement(sender, view.sequence)) {
                complete_by_sequence(client, view.sequence, view.status);
            }
            return;
        case CONMON_DOMAIN_MESSAGE_SUBSCRIPTION_UPDATE:
            if (view.kind == AVN_PACKET_KIND_REQUEST) {
                merge_record(client, view);
                reply(sender, view, 0);
            }
            return;
        default:
            return;  // 0x2007 is not read; announcements are not answered here
    }
}
