#include "avn/conmon/db_lookup.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <list>
#include <new>

#include "avn/runtime/byte_order.h"
#include "avn/runtime/domain_provider.h"

namespace {

// Reply statuses of a handled 0x200B result.
constexpr uint16_t kStatusOk = 0;
constexpr uint16_t kStatusFailed = 1;
constexpr uint16_t kStatusUnknownType = 2;
constexpr uint16_t kStatusBadData = 5;

constexpr size_t kBufferSize = 1424;
constexpr size_t kRecordSize = 8;
constexpr size_t kInfoMinSize = 8;
constexpr size_t kServiceEntrySize = 12;

struct service_type {
    const char* name;
    uint32_t bit;
    db_domain_service db_domain_device_record::*slot;
};
constexpr std::array<service_type, 3> kServiceTypes = {{
    {"_netaudio-arc._udp", DB_DOMAIN_SERVICE_MEDIA, &db_domain_device_record::media},
    {"_netaudio-cmc._udp", DB_DOMAIN_SERVICE_CONMON, &db_domain_device_record::conmon},
    {"_netaudio-via._tcp", DB_DOMAIN_SERVICE_VIA, &db_domain_device_record::via},
}};

uint16_t be16(std::span<const uint8_t> bytes, size_t at) {
    return byte_order::load_be16(bytes.data() + at);
}

bool copy_text(const avn_packet_view& view, uint16_t offset, char (&out)[DB_LOOKUP_NAME_SIZE]) {
    const char* text = nullptr;
    if (!avn_packet_text(view, offset, DB_LOOKUP_NAME_SIZE, &text)) {
        return false;
    }
    std::strncpy(out, text, DB_LOOKUP_NAME_SIZE - 1);
    return true;
}

// The information block: fields as its flags say, each where it fits.
bool parse_info(const avn_packet_view& view, uint16_t offset, db_domain_device_record* record) {
    const std::span<const uint8_t> head = avn_packet_at(view, offset, kInfoMinSize);
    if (head.empty()) {
        return false;
    }
    const uint16_t flags = be16(head, 0);
    const size_t available = view.chunk.size() - offset;
    const std::span<const uint8_t> block =
        view.chunk.subspan(offset, std::min<size_t>(available, 20));
    if ((flags & 0x01) && !copy_text(view, be16(block, 2), record->host)) {
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        if (flags & (0x02 << i)) {
            const std::span<const uint8_t> value = avn_packet_at(view, be16(block, 4 + 2 * i), 8);
            if (value.empty()) {
                return false;
            }
            std::memcpy(record->value64[i], value.data(), 8);
        }
    }
    if (flags & 0x08) {
        if (block.size() < 10) {
            return false;
        }
        const std::span<const uint8_t> address = avn_packet_at(view, be16(block, 8), 6);
        if (address.empty()) {
            return false;
        }
        record->address.node =
            byte_order::load_be16(address.data()) << 16 | byte_order::load_be16(address.data() + 2);
        record->address.listener = byte_order::load_be16(address.data() + 4);
    }
    if (flags & 0x10) {
        if (block.size() < 12) {
            return false;
        }
        const uint8_t state = block[11] & 0x0F;
        record->state = state > 2 ? 255 : state;
    }
    for (int i = 0; i < 2; ++i) {
        if (flags & (0x20 << i)) {
            if (block.size() < 16u + 4u * i) {
                return false;
            }
            record->value32[i] = byte_order::load_be32(block.data() + 12 + 4 * i);
        }
    }
    return true;
}

bool parse_services(const avn_packet_view& view, uint16_t offset, db_domain_device_record* record) {
    const std::span<const uint8_t> head = avn_packet_at(view, offset, 4);
    if (head.empty()) {
        return false;
    }
    const uint16_t count = be16(head, 0);
    const std::span<const uint8_t> offsets = avn_packet_at(view, offset, 4 + 2 * size_t{count});
    if (offsets.empty()) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        const std::span<const uint8_t> entry =
            avn_packet_at(view, be16(offsets, 4 + 2 * i), kServiceEntrySize);
        if (entry.empty()) {
            return false;
        }
        const uint16_t flags = be16(entry, 0);
        if ((flags & 0x1) == 0) {
            continue;  // no type name: nothing to file it under
        }
        const char* type = nullptr;
        if (!avn_packet_text(view, be16(entry, 2), 64, &type)) {
            return false;
        }
        for (const service_type& known : kServiceTypes) {
            if (std::strcmp(type, known.name) != 0 || (record->services & known.bit) != 0) {
                continue;
            }
            db_domain_service service;
            if (flags & 0x2) {
                service.txt_length = be16(entry, 6);
                if (service.txt_length > 0) {
                    const std::span<const uint8_t> txt =
                        avn_packet_at(view, be16(entry, 4), service.txt_length);
                    if (txt.empty()) {
                        return false;
                    }
                    service.txt = txt.data();
                }
            }
            if (flags & 0x4) {
                service.port = be16(entry, 8);
            }
            record->*(known.slot) = service;
            record->services |= known.bit;
        }
    }
    return true;
}

bool parse_record(const avn_packet_view& view, uint16_t offset, db_domain_device_record* record) {
    const std::span<const uint8_t> head = avn_packet_at(view, offset, kRecordSize);
    if (head.empty() || !copy_text(view, be16(head, 0), record->name)) {
        return false;
    }
    const uint16_t flags = be16(head, 2);
    const uint16_t info = be16(head, 4);
    const uint16_t services = be16(head, 6);
    if ((flags & 0x1) && info != 0) {
        record->has_info = true;
        if (!parse_info(view, info, record)) {
            return false;
        }
        if ((flags & 0x2) && services != 0 && !parse_services(view, services, record)) {
            return false;
        }
    }
    return true;
}

struct lookup_request {
    uint32_t id = 0;
    void* owner = nullptr;
    db_lookup_result_fn result = nullptr;
    db_lookup_done_fn done = nullptr;
    uint16_t status = 0;
    uint16_t sequence = 0;
};

}  // namespace

struct db_lookup_service {
    void* owner = nullptr;
    domain_listener* listener = nullptr;
    uint16_t sequence = 0;
    std::array<uint8_t, kBufferSize> buffer{};
    uint16_t counter = 0;
    std::list<lookup_request> requests;
};

namespace {

// With a listener, numbers come from the counters its provider shares
// between all listeners: a service made after a deleted one, holding the same
// listener id, does not reuse its numbers, so a late answer meant for the
// deleted one matches nothing here.
uint16_t next_sequence(db_lookup_service* service) {
    if (service->listener != nullptr) {
        return domain_listener_next_sequence(service->listener);
    }
    if (++service->sequence == 0) {
        service->sequence = 1;
    }
    return service->sequence;
}

aud_error begin_request(db_lookup_service* service, avn_packet_builder* builder, uint16_t type,
                        uint16_t* sequence) {
    *sequence = next_sequence(service);
    aud_error result = avn_packet_begin(builder, service->buffer, AVN_PACKET_KIND_REQUEST,
                                        {AVN_PACKET_NODE_DOMAIN_MANAGER, 0}, {0, 0});
    if (result == AUD_SUCCESS) {
        result = avn_packet_add_chunk(builder, type, *sequence, 0);
    }
    return result;
}

aud_error send_lookup(db_lookup_service* service, const db_lookup_request_data& data,
                      uint16_t* sequence) {
    if ((data.flags & DB_LOOKUP_FLAG_NAME) && std::strlen(data.name) >= DB_LOOKUP_NAME_SIZE) {
        return AUD_ERR_INVALIDDATA;
    }
    avn_packet_builder builder;
    aud_error result = begin_request(service, &builder, DB_LOOKUP_MESSAGE_REQUEST, sequence);
    uint8_t fixed[DB_LOOKUP_REQUEST_DATA_SIZE] = {};
    std::memcpy(fixed, data.domain.bytes, AVN_DOMAIN_UUID_SIZE);
    byte_order::store_be32(fixed + 16, data.request_id);
    byte_order::store_be16(fixed + 22, data.flags);
    byte_order::store_be16(fixed + 30, (data.flags & DB_LOOKUP_FLAG_MODE) ? data.mode : 0);
    if (result == AUD_SUCCESS) {
        result = avn_packet_add_data(&builder, fixed);
    }
    uint16_t offset = 0;
    if (result == AUD_SUCCESS && (data.flags & DB_LOOKUP_FLAG_NAME)) {
        result = avn_packet_append_text(&builder, data.name, &offset);
        avn_packet_patch16(&builder, 24, offset);
    }
    if (result == AUD_SUCCESS && (data.flags & DB_LOOKUP_FLAG_MANUFACTURER)) {
        result = avn_packet_append(&builder, data.manufacturer_id, &offset);
        avn_packet_patch16(&builder, 26, offset);
    }
    if (result != AUD_SUCCESS) {
        return result;
    }
    return avn_packet_relay_send(service->listener, avn_packet_finish(&builder));
}

aud_error send_cancel(db_lookup_service* service, uint32_t request_id) {
    avn_packet_builder builder;
    uint16_t sequence = 0;
    aud_error result = begin_request(service, &builder, DB_LOOKUP_MESSAGE_CANCEL, &sequence);
    uint8_t id[4];
    byte_order::store_be32(id, request_id);
    if (result == AUD_SUCCESS) {
        result = avn_packet_add_data(&builder, id);
    }
    if (result != AUD_SUCCESS) {
        return result;
    }
    return avn_packet_relay_send(service->listener, avn_packet_finish(&builder));
}

std::list<lookup_request>::iterator find(db_lookup_service* service, uint32_t id) {
    auto it = service->requests.begin();
    while (it != service->requests.end() && it->id != id) {
        ++it;
    }
    return it;
}

// Calls the owner with the record and ends the request on a final result.
aud_error dispatch(db_lookup_service* service, const db_lookup_result& result) {
    auto it = find(service, result.request_id);
    if (it == service->requests.end()) {
        return AUD_ERR_NOTFOUND;
    }
    const lookup_request request = *it;
    if (result.final) {
        service->requests.erase(it);
    }
    if (result.has_record && request.result != nullptr) {
        request.result(request.owner, &result.record);
    }
    if (result.final && request.done != nullptr) {
        request.done(request.owner, DB_LOOKUP_DONE_FINAL, 0);
    }
    return AUD_SUCCESS;
}

}  // namespace

aud_error db_lookup_parse_result(const avn_packet_view& view, db_lookup_result* out) {
    if (out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    *out = db_lookup_result{};
    const std::span<const uint8_t> data = avn_packet_data(view);
    if (data.size() < DB_LOOKUP_RESULT_DATA_SIZE) {
        return AUD_ERR_INVALIDDATA;
    }
    std::memcpy(out->domain.bytes, data.data(), AVN_DOMAIN_UUID_SIZE);
    out->request_id = byte_order::load_be32(data.data() + 16);
    const uint16_t flags = be16(data, 20);
    const uint16_t record = be16(data, 22);
    out->final = (flags & 0x1) != 0;
    if ((flags & 0x2) && record != 0) {
        if (!parse_record(view, record, &out->record)) {
            return AUD_ERR_INVALIDDATA;
        }
        out->has_record = true;
    }
    return AUD_SUCCESS;
}

aud_error db_lookup_service_new(void* owner, domain_listener* listener, db_lookup_service** out) {
    if (out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auto* service = new (std::nothrow) db_lookup_service;
    if (service == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    service->owner = owner;
    service->listener = listener;
    *out = service;
    return AUD_SUCCESS;
}

void db_lookup_service_delete(db_lookup_service* service) {
    if (service == nullptr) {
        return;
    }
    db_lookup_cancel_all(service);
    delete service;
}

aud_error db_lookup_start(db_lookup_service* service, void* owner, db_lookup_result_fn result,
                          db_lookup_done_fn done, db_lookup_request_data* data) {
    if (service == nullptr || data == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const uint16_t listener_id =
        service->listener != nullptr ? domain_listener_get_id(service->listener) : 0;
    const uint16_t number = service->listener != nullptr
                                ? domain_listener_next_request_number(service->listener)
                                : service->counter++;
    data->request_id = static_cast<uint32_t>(listener_id) << 16 | number;
    lookup_request& request = service->requests.emplace_back();
    request.id = data->request_id;
    request.owner = owner;
    request.result = result;
    request.done = done;
    return send_lookup(service, *data, &request.sequence);
}

aud_error db_lookup_cancel(db_lookup_service* service, uint32_t request_id) {
    if (service == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auto it = find(service, request_id);
    if (it == service->requests.end()) {
        return AUD_ERR_NOTFOUND;
    }
    const aud_error result = send_cancel(service, request_id);
    const lookup_request request = *it;
    service->requests.erase(it);
    if (request.done != nullptr) {
        request.done(request.owner, DB_LOOKUP_DONE_CANCELLED, 0);
    }
    return result;
}

aud_error db_lookup_cancel_all(db_lookup_service* service) {
    if (service == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    // Every request goes, whether or not its cancel could be sent: the
    // owners that cancel all are about to forget them. The first failure is
    // returned.
    aud_error first_failure = AUD_SUCCESS;
    while (!service->requests.empty()) {
        const uint32_t id = service->requests.front().id;
        service->requests.pop_front();
        const aud_error result = send_cancel(service, id);
        if (result != AUD_SUCCESS && first_failure == AUD_SUCCESS) {
            first_failure = result;
        }
    }
    return first_failure;
}

size_t db_lookup_service_request_count(const db_lookup_service* service) {
    return service != nullptr ? service->requests.size() : 0;
}

aud_error db_lookup_service_receive(db_lookup_service* service, std::span<const uint8_t> packet) {
    if (service == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    avn_packet_view view;
    aud_error result = avn_packet_read(packet, &view);
    if (result != AUD_SUCCESS) {
        return result;
    }
    if (view.kind == AVN_PACKET_KIND_REQUEST) {
        uint16_t status = kStatusUnknownType;
        if (view.type == DB_LOOKUP_MESSAGE_RESULT) {
            db_lookup_result parsed;
            result = db_lookup_parse_result(view, &parsed);
            if (result == AUD_SUCCESS) {
                result = dispatch(service, parsed);
            }
            status = result == AUD_SUCCESS                                         ? kStatusOk
                     : result == AUD_ERR_INVALIDDATA || result == AUD_ERR_NOTFOUND ? kStatusBadData
                                                                                   : kStatusFailed;
        }
        // The reply is built in a buffer of its own: the dispatch above may
        // have sent (and so overwritten the service's buffer).
        std::array<uint8_t, AVN_PACKET_DATA_OFFSET> reply;
        avn_packet_builder builder;
        if (avn_packet_begin_reply(&builder, reply, view, status) == AUD_SUCCESS) {
            avn_packet_relay_send(service->listener, avn_packet_finish(&builder));
        }
        return result;
    }
    if (view.kind != AVN_PACKET_KIND_REPLY) {
        return AUD_ERR_INVALIDDATA;
    }
    if (view.type != DB_LOOKUP_MESSAGE_REQUEST) {
        return AUD_SUCCESS;
    }
    if (view.status == 0) {
        db_lookup_result parsed;
        result = db_lookup_parse_result(view, &parsed);
        return result == AUD_SUCCESS ? dispatch(service, parsed) : result;
    }
    for (auto it = service->requests.begin(); it != service->requests.end(); ++it) {
        if (it->sequence == view.sequence) {
            lookup_request request = *it;
            request.status = view.status;
            service->requests.erase(it);
            if (request.done != nullptr) {
                request.done(request.owner, DB_LOOKUP_DONE_REFUSED, request.status);
            }
            return AUD_SUCCESS;
        }
    }
    return AUD_ERR_NOTFOUND;
}
