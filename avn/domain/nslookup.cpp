#include "avn/domain/nslookup.h"

#include <cstring>
#include <new>
#include <vector>

#include "avn/runtime/aud_log.h"

namespace {

struct Slot {
    nslookup_query* query = nullptr;
    uint16_t id = 0;
    int state = NSLOOKUP_SLOT_FREE;
    bool send_later = false;  // added while a datagram was being processed
};

}  // namespace

struct nslookup {
    aud_env* env = nullptr;
    aud_log* log = nullptr;
    aud_event_loop* loop = nullptr;
    aud_socket_t socket = AUD_SOCKET_INVALID;
    aud_socket_address server{};
    aud_timer* retransmit = nullptr;
    std::vector<Slot> slots;
    nslookup_callback callback = nullptr;
    void* context = nullptr;
    // A received datagram is being handed out: queries added meanwhile wait
    // for the end, and a delete only marks the lookup.
    bool processing = false;
    bool delete_pending = false;
};

namespace {

void log_error(nslookup* lookup, int level, const char* what, aud_error error) {
    char text[AUD_ERROR_FORMAT_SIZE];
    aud_log_printf(lookup->log, level, "%s: %s: %s\n", "nslookup", what,
                   aud_error_format(error, text, sizeof text));
}

void start_retransmit(nslookup* lookup) {
    const aud_error error =
        aud_timer_start_once(lookup->retransmit, nullptr, &NSLOOKUP_RETRANSMIT_INTERVAL);
    if (error != AUD_SUCCESS) {
        log_error(lookup, AUD_LOG_LEVEL_ERROR, "Unable to start the retransmit timer", error);
    }
}

aud_error send_slot(nslookup* lookup, const Slot& slot) {
    if (lookup->socket == AUD_SOCKET_INVALID) {
        return AUD_ERR_NOTCONN;
    }
    uint8_t message[DNS_MESSAGE_MAX_DATAGRAM];
    size_t length = 0;
    aud_error error = dns_message_build_query(slot.id, slot.query->name, slot.query->type, message,
                                              sizeof message, &length);
    if (error == AUD_SUCCESS) {
        error = aud_socket_sendto(lookup->socket, message, &length, &lookup->server);
    }
    if (error != AUD_SUCCESS) {
        char text[AUD_ERROR_FORMAT_SIZE];
        aud_log_printf(lookup->log, AUD_LOG_LEVEL_WARNING,
                       "%s: Unable to send DNS query %s %s: %s\n", "nslookup_send",
                       dns_type_name(slot.query->type), slot.query->name,
                       aud_error_format(error, text, sizeof text));
        return error;
    }
    aud_log_printf(lookup->log, AUD_LOG_LEVEL_DEBUG, "%s: Sent DNS query %s %s (id %u)\n",
                   "nslookup_send", dns_type_name(slot.query->type), slot.query->name,
                   unsigned{slot.id});
    return AUD_SUCCESS;
}

// Sends every waiting query; restarts the retransmit timer once one went out.
void send_waiting(nslookup* lookup) {
    bool sent = false;
    for (Slot& slot : lookup->slots) {
        if (slot.state == NSLOOKUP_SLOT_WAITING) {
            slot.send_later = false;
            sent = send_slot(lookup, slot) == AUD_SUCCESS || sent;
        }
    }
    if (sent) {
        start_retransmit(lookup);
    }
}

void retransmit_timer(aud_error, aud_timer* timer) {
    send_waiting(static_cast<nslookup*>(aud_timer_get_context(timer)));
}

Slot* slot_of(nslookup* lookup, const nslookup_query* query) {
    if (query == nullptr) {
        return nullptr;
    }
    for (Slot& slot : lookup->slots) {
        if (slot.query == query) {
            return &slot;
        }
    }
    return nullptr;
}

const Slot* slot_of(const nslookup* lookup, const nslookup_query* query) {
    return slot_of(const_cast<nslookup*>(lookup), query);
}

// The first waiting query that the record answers.
Slot* match(nslookup* lookup, const dns_record& record) {
    for (Slot& slot : lookup->slots) {
        if (slot.state == NSLOOKUP_SLOT_WAITING &&
            (slot.query->type == record.type || slot.query->type == DNS_TYPE_ANY) &&
            dns_names_equal(slot.query->name, record.name)) {
            return &slot;
        }
    }
    return nullptr;
}

// A callback may have closed or deleted the lookup: nothing more is handed on.
bool interrupted(const nslookup* lookup) {
    return lookup->delete_pending || lookup->socket == AUD_SOCKET_INVALID;
}

void hand_out_records(nslookup* lookup, const uint8_t* data, size_t length) {
    dns_reader reader;
    if (dns_reader_init(&reader, data, length) != AUD_SUCCESS) {
        return;
    }
    dns_record record;
    while (!interrupted(lookup) && dns_reader_next(&reader, &record) == AUD_SUCCESS) {
        Slot* slot = match(lookup, record);
        if (slot != nullptr) {
            slot->state = NSLOOKUP_SLOT_ANSWERED;
            nslookup_query* query = slot->query;
            query->callback(query, 0, &record, query->context);
        } else if (lookup->callback != nullptr) {
            lookup->callback(nullptr, 0, &record, lookup->context);
        }
    }
}

// An error answer names its query by the id alone.
aud_error hand_out_error(nslookup* lookup, const dns_header& header) {
    const size_t index = header.id % NSLOOKUP_MAX_SLOTS;
    if (index >= lookup->slots.size()) {
        return AUD_ERR_RANGE;
    }
    Slot& slot = lookup->slots[index];
    if (slot.state != NSLOOKUP_SLOT_WAITING || slot.id != header.id) {
        return AUD_ERR_NOTFOUND;
    }
    slot.state = NSLOOKUP_SLOT_FAILED;
    nslookup_query* query = slot.query;
    query->callback(query, dns_header_rcode(&header), nullptr, query->context);
    return AUD_SUCCESS;
}

void process(nslookup* lookup, const uint8_t* data, size_t length) {
    dns_header header;
    if (dns_message_read_header(data, length, &header) != AUD_SUCCESS ||
        (header.flags & DNS_FLAG_RESPONSE) == 0) {
        aud_log_printf(lookup->log, AUD_LOG_LEVEL_DEBUG,
                       "%s: Ignoring a datagram that is no response\n", "nslookup_receive");
        return;
    }
    // Checked whole before anything is handed out, so that a malformed tail
    // never leaves a response half delivered.
    const aud_error check = dns_message_check(data, length);
    if (check != AUD_SUCCESS) {
        log_error(lookup, AUD_LOG_LEVEL_WARNING, "Ignoring a malformed DNS response", check);
        return;
    }
    const int rcode = dns_header_rcode(&header);
    if (rcode == DNS_RCODE_NOERROR) {
        hand_out_records(lookup, data, length);
        return;
    }
    const aud_error error = hand_out_error(lookup, header);
    if (error != AUD_SUCCESS) {
        char text[AUD_ERROR_FORMAT_SIZE];
        aud_log_printf(lookup->log, AUD_LOG_LEVEL_DEBUG,
                       "%s: DNS error %d for id %u matches no query: %s\n", "nslookup_receive",
                       rcode, unsigned{header.id}, aud_error_format(error, text, sizeof text));
    }
}

void free_lookup(nslookup* lookup) {
    nslookup_close(lookup);
    if (lookup->retransmit != nullptr) {
        aud_timer_delete(lookup->retransmit);
    }
    delete lookup;
}

void on_readable(aud_error, aud_socket_t, int, void* context) {
    auto* lookup = static_cast<nslookup*>(context);
    uint8_t buffer[DNS_MESSAGE_MAX_DATAGRAM];
    size_t length = sizeof buffer;
    aud_socket_address source{};
    const aud_error error = aud_socket_recvfrom(lookup->socket, buffer, &length, &source);
    if (error != AUD_SUCCESS) {
        if (error != AUD_ERR_TRYAGAIN) {
            log_error(lookup, AUD_LOG_LEVEL_WARNING, "Unable to read a DNS response", error);
        }
        return;
    }
    if (!aud_socket_address_equal(&source, &lookup->server)) {
        char text[AUD_SOCKET_ADDRESS_TEXT_SIZE];
        aud_log_printf(lookup->log, AUD_LOG_LEVEL_DEBUG,
                       "%s: Ignoring a datagram from %s, not from the DNS server\n",
                       "nslookup_receive", aud_socket_address_to_text(&source, text, sizeof text));
        return;
    }
    lookup->processing = true;
    process(lookup, buffer, length);
    lookup->processing = false;
    if (lookup->delete_pending) {
        free_lookup(lookup);
        return;
    }
    bool later = false;
    for (const Slot& slot : lookup->slots) {
        later = later || (slot.send_later && slot.state == NSLOOKUP_SLOT_WAITING);
    }
    if (later) {
        bool sent = false;
        for (Slot& slot : lookup->slots) {
            if (slot.send_later && slot.state == NSLOOKUP_SLOT_WAITING) {
                slot.send_later = false;
                sent = send_slot(lookup, slot) == AUD_SUCCESS || sent;
            }
        }
        if (sent) {
            start_retransmit(lookup);
        }
    }
}

}  // namespace

aud_error nslookup_new(aud_env* env, aud_event_loop* loop, unsigned slots, nslookup** out) {
    if (out == nullptr || slots == 0 || slots > NSLOOKUP_MAX_SLOTS ||
        (env == nullptr && loop == nullptr)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (loop == nullptr) {
        loop = aud_env_get_event_loop(env);
        if (loop == nullptr) {
            return AUD_ERR_INVALIDSTATE;
        }
    }
    auto* lookup = new (std::nothrow) nslookup;
    if (lookup == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    try {
        lookup->slots.resize(slots);
    } catch (const std::bad_alloc&) {
        delete lookup;
        return AUD_ERR_NOMEMORY;
    }
    for (unsigned i = 0; i < slots; ++i) {
        lookup->slots[i].id = static_cast<uint16_t>(NSLOOKUP_MAX_SLOTS + i);
    }
    lookup->env = env;
    lookup->log = env != nullptr ? aud_env_get_log(env) : nullptr;
    lookup->loop = loop;
    const aud_error error = aud_timer_new(loop, retransmit_timer, lookup, &lookup->retransmit);
    if (error != AUD_SUCCESS) {
        delete lookup;
        return error;
    }
    *out = lookup;
    return AUD_SUCCESS;
}

void nslookup_delete(nslookup* lookup) {
    if (lookup == nullptr) {
        return;
    }
    if (lookup->processing) {
        nslookup_close(lookup);
        lookup->delete_pending = true;
        return;
    }
    free_lookup(lookup);
}

aud_error nslookup_set_server(nslookup* lookup, const aud_socket_address* server) {
    if (lookup == nullptr || !aud_socket_address_is_ipv4(server) ||
        aud_socket_address_get_ipv4(server) == 0 || lookup->delete_pending) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const bool changed = !aud_socket_address_equal(server, &lookup->server);
    lookup->server = *server;
    if (lookup->socket == AUD_SOCKET_INVALID) {
        aud_socket_address any{};
        aud_socket_address_set_ipv4(&any, 0, 0);
        aud_error error = aud_socket_open_bound(&lookup->socket, &any, nullptr);
        if (error != AUD_SUCCESS) {
            return error;
        }
        error = aud_event_loop_set_socket(lookup->loop, lookup->socket, AUD_DIRECTION_READ,
                                          on_readable, lookup, AUD_SET_SOCKET_ADD);
        if (error != AUD_SUCCESS) {
            aud_socket_close(&lookup->socket);
            return error;
        }
    } else if (!changed) {
        return AUD_SUCCESS;
    }
    if (!lookup->processing) {
        send_waiting(lookup);
    } else {
        for (Slot& slot : lookup->slots) {
            slot.send_later = slot.state == NSLOOKUP_SLOT_WAITING;
        }
    }
    return AUD_SUCCESS;
}

bool nslookup_is_open(const nslookup* lookup) {
    return lookup != nullptr && lookup->socket != AUD_SOCKET_INVALID;
}

void nslookup_close(nslookup* lookup) {
    if (lookup == nullptr) {
        return;
    }
    if (lookup->retransmit != nullptr) {
        aud_timer_stop(lookup->retransmit);
    }
    if (lookup->socket != AUD_SOCKET_INVALID) {
        aud_event_loop_set_socket(lookup->loop, lookup->socket, AUD_DIRECTION_READ, nullptr,
                                  nullptr, AUD_SET_SOCKET_ADD_OR_REPLACE);
        aud_socket_close(&lookup->socket);
    }
}

aud_error nslookup_add_query(nslookup* lookup, nslookup_query* query) {
    if (lookup == nullptr || query == nullptr || query->callback == nullptr ||
        lookup->delete_pending) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    // A name that cannot go on the wire is refused now rather than failing
    // every send later.
    uint8_t scratch[DNS_MESSAGE_MAX_DATAGRAM];
    size_t length = 0;
    if (std::memchr(query->name, '\0', sizeof query->name) == nullptr ||
        dns_message_build_query(0, query->name, query->type, scratch, sizeof scratch, &length) !=
            AUD_SUCCESS) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (slot_of(lookup, query) != nullptr) {
        return AUD_ERR_ALREADY;
    }
    Slot* slot = nullptr;
    for (Slot& s : lookup->slots) {
        if (s.query == nullptr) {
            slot = &s;
            break;
        }
    }
    if (slot == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    slot->query = query;
    slot->id = static_cast<uint16_t>(slot->id + 256);
    slot->state = NSLOOKUP_SLOT_WAITING;
    slot->send_later = false;
    if (lookup->processing) {
        slot->send_later = true;
        return AUD_SUCCESS;
    }
    if (send_slot(lookup, *slot) == AUD_SUCCESS) {
        start_retransmit(lookup);
    }
    return AUD_SUCCESS;
}

aud_error nslookup_cancel_query(nslookup* lookup, nslookup_query* query) {
    if (lookup == nullptr || query == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    Slot* slot = slot_of(lookup, query);
    if (slot == nullptr) {
        return AUD_ERR_NOTFOUND;
    }
    slot->query = nullptr;
    slot->state = NSLOOKUP_SLOT_FREE;
    slot->send_later = false;
    bool waiting = false;
    for (const Slot& s : lookup->slots) {
        waiting = waiting || s.state == NSLOOKUP_SLOT_WAITING;
    }
    if (!waiting) {
        aud_timer_stop(lookup->retransmit);
    }
    return AUD_SUCCESS;
}

void nslookup_set_callback(nslookup* lookup, nslookup_callback callback, void* context) {
    if (lookup != nullptr) {
        lookup->callback = callback;
        lookup->context = context;
    }
}

int nslookup_query_state(const nslookup* lookup, const nslookup_query* query) {
    const Slot* slot = lookup != nullptr ? slot_of(lookup, query) : nullptr;
    return slot != nullptr ? slot->state : NSLOOKUP_SLOT_FREE;
}

uint16_t nslookup_query_id(const nslookup* lookup, const nslookup_query* query) {
    const Slot* slot = lookup != nullptr ? slot_of(lookup, query) : nullptr;
    return slot != nullptr ? slot->id : 0;
}
