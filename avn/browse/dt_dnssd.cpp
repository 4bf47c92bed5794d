#include "avn/browse/dt_dnssd.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "avn/runtime/aud_log.h"
#include "avn/runtime/socket.h"

struct dt_dnssd_handle {
    aud_event_loop* loop = nullptr;
    DNSServiceRef shared_ref = nullptr;  // always none: every operation has its own
    DNSServiceFlags flags = 0;
};

namespace {

// One record type of a service query.
struct RecordQuery {
    dt_dnssd_handle* handle = nullptr;
    DNSServiceRef ref = nullptr;
    bool shared = false;
    void (*notification)(dt_dnssd_query*) = nullptr;
    dt_dnssd_query* notification_context = nullptr;
};

struct Slot {
    bool used = false;
    uint32_t sequence = 0;
    // Bit (index modulo 32) for each interface, as callers read it; whether
    // the record is still advertised is judged by the real indexes, since
    // interfaces 1 and 33 share a bit.
    uint32_t interface_mask = 0;
    std::vector<uint32_t> interfaces;
    std::vector<uint8_t> rdata;
};

// The records of one type received for a query. Slots are never compacted:
// a freed slot is refilled by the next record.
struct RdataList {
    size_t live = 0;
    size_t used_size = 0;  // one past the highest slot ever filled
    uint32_t sequence = 0;
    std::vector<Slot> slots;
};

}  // namespace

struct dt_dnssd_query {
    std::string name;
    RecordQuery srv;
    RecordQuery txt;
    RdataList srv_list;
    RdataList txt_list;
    uint32_t flags = 0;
    dt_dnssd_query_callback callback = nullptr;
    void* user_data = nullptr;
};

namespace {

constexpr uint16_t kTypeSrv = 33;
constexpr uint16_t kTypeTxt = 16;
constexpr size_t kFirstSlots = 4;
constexpr size_t kSlotGrowth = 8;
// Records held per record type of a query. A service instance has one SRV
// and one TXT record (its data may change, and differ between interfaces
// for a moment); more than this are a faulty or hostile host's, and are
// dropped rather than grow the list.
constexpr size_t kMaxLiveRecords = 32;
constexpr int kDropWarningSeconds = 60;
// rdata_list_add's result for a full list: warned of once a minute there,
// so not logged again per record.
constexpr int kListFull = -2;
time_t g_last_drop_warning = 0;

dt_log_sink g_sink = nullptr;
void* g_sink_context = nullptr;

uint32_t interface_bit(uint32_t interface_index) {
    return 1u << (interface_index % 32);
}

uint32_t mask_of(const std::vector<uint32_t>& interfaces) {
    uint32_t mask = 0;
    for (const uint32_t index : interfaces) {
        mask |= interface_bit(index);
    }
    return mask;
}

bool advertised_on(const Slot& slot, uint32_t interface_index) {
    return std::find(slot.interfaces.begin(), slot.interfaces.end(), interface_index) !=
           slot.interfaces.end();
}

int rdata_list_add(RdataList& list, const uint8_t* rdata, size_t length, uint32_t interface_index) {
    if (rdata == nullptr || length == 0) {
        return DT_DNSSD_ERR_EMPTY_RECORD;
    }
    if (list.live >= kMaxLiveRecords) {
        const time_t now = std::time(nullptr);
        if (now - g_last_drop_warning >= kDropWarningSeconds) {
            g_last_drop_warning = now;
            dt_log(4, "%s: %zu records held already; newer ones are dropped",
                   "dt_dnssd_rdata_list_add", list.live);
        }
        return kListFull;
    }
    size_t at = list.used_size;
    if (list.live < list.used_size) {
        at = 0;
        while (at < list.used_size && list.slots[at].used) {
            ++at;
        }
        if (at == list.used_size) {
            dt_log(5, "%s: data consistency error.", "dt_dnssd_rdata_list_add");
            return DT_DNSSD_ERR_OTHER;
        }
    }
    try {
        if (at >= list.slots.size()) {
            list.slots.resize(list.slots.empty() ? kFirstSlots : list.slots.size() + kSlotGrowth);
        }
        Slot& slot = list.slots[at];
        slot.rdata.assign(rdata, rdata + length);
        slot.used = true;
        slot.interfaces.assign(1, interface_index);
        slot.interface_mask = interface_bit(interface_index);
        slot.sequence = ++list.sequence;
    } catch (const std::bad_alloc&) {
        return DT_DNSSD_ERR_NOMEMORY;
    }
    ++list.live;
    if (at == list.used_size) {
        ++list.used_size;
    }
    return 0;
}

void rdata_list_remove(RdataList& list, size_t at) {
    Slot& slot = list.slots[at];
    slot = Slot{};
    --list.live;
}

// The first record with the same bytes, on any interface; -1 when none.
long rdata_list_find(const RdataList& list, const uint8_t* rdata, size_t length) {
    for (size_t i = 0; i < list.used_size; ++i) {
        const Slot& slot = list.slots[i];
        if (slot.used && slot.rdata.size() == length &&
            (length == 0 || std::memcmp(slot.rdata.data(), rdata, length) == 0)) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

aud_error remove_handler(RecordQuery& rq) {
    if (rq.handle == nullptr || rq.handle->loop == nullptr) {
        return AUD_ERR_INVALIDSTATE;
    }
    if (rq.shared) {
        return AUD_SUCCESS;
    }
    const aud_socket_t socket = DNSServiceRefSockFD(rq.ref);
    const aud_error result = aud_event_loop_set_socket(rq.handle->loop, socket, AUD_DIRECTION_READ,
                                                       nullptr, nullptr, AUD_SET_SOCKET_REPLACE);
    if (result != AUD_SUCCESS) {
        char text[AUD_ERROR_FORMAT_SIZE];
        dt_log(5, "%s(%p): Failed to delete event for socket %d: %s (%d)",
               "dt_dnssd_remove_handler", static_cast<void*>(&rq), static_cast<int>(socket),
               aud_error_format(result, text, sizeof text), result);
    }
    return result;
}

void stop_record_query(RecordQuery& rq) {
    rq.notification = nullptr;
    rq.notification_context = nullptr;
    if (rq.ref != nullptr) {
        remove_handler(rq);
        if (rq.handle != nullptr) {
            DNSServiceRefDeallocate(rq.ref);
        }
    }
    rq = RecordQuery{};
}

void free_query(dt_dnssd_query* query) {
    stop_record_query(query->srv);
    stop_record_query(query->txt);
    delete query;
}

void notify_done_callback(dt_dnssd_query* query) {
    if (query->name.empty()) {
        dt_log(6, "%s: processing query 0x%p with null name", "notify_done_callback",
               static_cast<void*>(query));
        query->flags = 0;
        return;
    }
    if ((query->flags & ~(DT_DNSSD_IN_CALLBACK | DT_DNSSD_RELEASE_PENDING)) != 0 &&
        query->callback != nullptr) {
        query->flags |= DT_DNSSD_IN_CALLBACK;
        query->callback(query, query->user_data, query->flags);
        query->flags &= ~DT_DNSSD_IN_CALLBACK;
    }
    if ((query->flags & DT_DNSSD_RELEASE_PENDING) != 0) {
        free_query(query);
        return;
    }
    query->flags = 0;
}

void service_event_callback(aud_error, aud_socket_t socket, int direction, void* context) {
    auto* rq = static_cast<RecordQuery*>(context);
    if (rq == nullptr) {
        dt_log(5, "%s(%d,%d,%d,%p): Null context", "dt_dnssd_service_handle_event_callback", 0,
               static_cast<int>(socket), direction, context);
        return;
    }
    const aud_socket_t own = DNSServiceRefSockFD(rq->ref);
    if (socket != own) {
        dt_log(5, "%s(%d,%d,%d,%p): Mismatch between passed socket (%d) and service ref fd (%d)",
               "dt_dnssd_service_handle_event_callback", 0, static_cast<int>(socket), direction,
               context, static_cast<int>(socket), static_cast<int>(own));
        return;
    }
    // The query may be freed by its own callback inside the processing; the
    // record query is not touched afterwards unless processing failed, in
    // which case no callback ran.
    const int result = dt_dns_sd_process_result(rq->handle, rq->ref);
    if (result != 0) {
        dt_log(6, "%s(%d,%d,%d,%p): dt_dns_sd_process_result failed: %d",
               "dt_dnssd_service_handle_event_callback", 0, static_cast<int>(socket), direction,
               context, result);
        stop_record_query(*rq);
    }
}

int create_query(dt_dnssd_handle* handle, dt_dnssd_query* query, const char* name, uint16_t type,
                 RecordQuery& rq) {
    DNSServiceRef ref = handle->shared_ref;
    const DNSServiceErrorType error =
        DNSServiceQueryRecord(&ref, handle->flags | kDNSServiceFlagsLongLivedQuery, 0, name, type,
                              kDNSServiceClass_IN, dt_dnssd_query_reply, query);
    if (error != kDNSServiceErr_NoError) {
        dt_log(5, "%s(%p, \"%s\",%u,%p,%p): failed to create query: %d", "create_query",
               static_cast<void*>(query), name, type, static_cast<void*>(&rq),
               reinterpret_cast<void*>(&dt_dnssd_query_reply), error);
        return DT_DNSSD_ERR_QUERY;
    }
    if (handle->loop == nullptr ||
        aud_event_loop_set_socket(handle->loop, DNSServiceRefSockFD(ref), AUD_DIRECTION_READ,
                                  service_event_callback, &rq, AUD_SET_SOCKET_ADD) != AUD_SUCCESS) {
        dt_log(5, "%s(%p, \"%s\",%u,%p,%p): failed to add service as event", "create_query",
               static_cast<void*>(query), name, type, static_cast<void*>(&rq),
               reinterpret_cast<void*>(&dt_dnssd_query_reply));
        DNSServiceRefDeallocate(ref);
        return DT_DNSSD_ERR_REGISTER;
    }
    rq.handle = handle;
    rq.ref = ref;
    rq.shared = false;
    rq.notification = nullptr;
    rq.notification_context = nullptr;
    return 0;
}

const RdataList* list_of(const dt_dnssd_query* query, uint16_t rrtype) {
    if (query == nullptr) {
        return nullptr;
    }
    return rrtype == kTypeSrv ? &query->srv_list : rrtype == kTypeTxt ? &query->txt_list : nullptr;
}

struct HostReply {
    int state = 1;  // 1 waiting, 2 answered, 3 unusable answer
    DNSServiceErrorType error = 0;
    void* buffer = nullptr;
    uint16_t rdlen = 0;
};

void ghbn_query_reply(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType error,
                      const char*, uint16_t, uint16_t, uint16_t rdlen, const void* rdata, uint32_t,
                      void* context) {
    auto* reply = static_cast<HostReply*>(context);
    if (reply->state != 1) {
        return;  // only the first answer counts
    }
    if (error != kDNSServiceErr_NoError) {
        dt_log(5, "%s: MDNS error: %d", "ghbn_query_reply", error);
        reply->error = error;
        reply->state = 3;
        return;
    }
    if (rdlen != reply->rdlen || rdata == nullptr) {
        dt_log(5, "%s: bad rdata length %u (expected %u)", "ghbn_query_reply", rdlen, reply->rdlen);
        reply->state = 3;
        return;
    }
    std::memcpy(reply->buffer, rdata, rdlen);
    reply->state = 2;
}

}  // namespace

// ---- Handle ----

int dnssd_init_shared(aud_event_loop* loop, dt_dnssd_handle** out, uint32_t flags) {
    if (out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auto* handle = new (std::nothrow) dt_dnssd_handle;
    if (handle == nullptr) {
        return DT_DNSSD_ERR_HANDLE;
    }
    handle->loop = loop;
    if ((flags & 1u) != 0) {
        dt_log(3, "%s: shared mode not supported - initialising as non-shared mDNS connection",
               "dnssd_init_shared");
    }
    *out = handle;
    return AUD_SUCCESS;
}

aud_error dt_dnssd_stop_processing(dt_dnssd_handle* handle) {
    if (handle == nullptr) {
        dt_log(4, "%s: null handle", "dt_dnssd_stop_processing");
        return AUD_ERR_INVALIDPARAMETER;
    }
    return AUD_SUCCESS;
}

void dt_dnssd_handle_delete(dt_dnssd_handle* handle) {
    if (handle == nullptr) {
        dt_log(4, "%s: null handle", "dt_dnssd_handle_delete");
        return;
    }
    delete handle;
}

// ---- Service queries ----

dt_dnssd_query* dt_dnssd_query_service(dt_dnssd_handle* handle, const char* full_name,
                                       dt_dnssd_query_callback callback, void* user_data) {
    if (full_name == nullptr || full_name[0] == '\0') {
        dt_log(5, "%s: empty service name", "dt_dnssd_query_service");
        return nullptr;
    }
    if (handle == nullptr) {
        return nullptr;
    }
    auto* query = new (std::nothrow) dt_dnssd_query;
    if (query == nullptr) {
        dt_log(5, "%s(\"%s\",%p,%p): failed to allocate memory", "dt_dnssd_query_service",
               full_name, reinterpret_cast<void*>(callback), user_data);
        return nullptr;
    }
    try {
        query->name = full_name;
    } catch (const std::bad_alloc&) {
        delete query;
        return nullptr;
    }
    query->callback = callback;
    query->user_data = user_data;
    if (create_query(handle, query, full_name, kTypeSrv, query->srv) != 0 ||
        create_query(handle, query, full_name, kTypeTxt, query->txt) != 0) {
        free_query(query);
        return nullptr;
    }
    return query;
}

dt_dnssd_query* dt_dnssd_query_new_detached(const char* full_name, dt_dnssd_query_callback callback,
                                            void* user_data) {
    if (full_name == nullptr || full_name[0] == '\0') {
        return nullptr;
    }
    auto* query = new (std::nothrow) dt_dnssd_query;
    if (query != nullptr) {
        query->name = full_name;
        query->callback = callback;
        query->user_data = user_data;
    }
    return query;
}

aud_error dt_dnssd_query_get_srv(const dt_dnssd_query* query, uint32_t flags, uint16_t* port,
                                 char* host) {
    if ((flags & DT_DNSSD_SRV_ADDED) == 0 || query == nullptr) {
        return AUD_ERR_INVALIDSTATE;
    }
    if (host == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const RdataList& list = query->srv_list;
    if (list.live == 0) {
        return AUD_ERR_NODATA;
    }
    if (list.slots.empty() || !list.slots[0].used) {
        return AUD_ERR_INVALIDDATA;
    }
    const std::vector<uint8_t>& rdata = list.slots[0].rdata;
    if (rdata.size() < 7) {
        return AUD_ERR_NODATA;
    }
    // priority, weight, port, then the uncompressed target name.
    size_t at = 6;
    size_t written = 0;
    for (;;) {
        if (at >= rdata.size()) {
            return AUD_ERR_NODATA;
        }
        const size_t label = rdata[at];
        if (label == 0) {
            break;
        }
        if (label > 63 || label > rdata.size() - at - 1 ||
            written + label + 1 + 1 > DT_DNSSD_HOST_NAME_SIZE) {
            return AUD_ERR_NODATA;
        }
        std::memcpy(host + written, rdata.data() + at + 1, label);
        written += label;
        host[written++] = '.';
        at += 1 + label;
    }
    host[written] = '\0';
    if (port != nullptr) {
        *port = static_cast<uint16_t>((rdata[4] << 8) | rdata[5]);
    }
    return AUD_SUCCESS;
}

void dt_dnssd_query_release(dt_dnssd_query* query) {
    if (query == nullptr) {
        return;
    }
    if ((query->flags & DT_DNSSD_IN_CALLBACK) != 0) {
        query->flags |= DT_DNSSD_RELEASE_PENDING;
        query->callback = nullptr;
        query->user_data = nullptr;
        return;
    }
    free_query(query);
}

size_t dt_dnssd_query_record_count(const dt_dnssd_query* query, uint16_t rrtype) {
    const RdataList* list = list_of(query, rrtype);
    return list != nullptr ? list->live : 0;
}

size_t dt_dnssd_query_slot_count(const dt_dnssd_query* query, uint16_t rrtype) {
    const RdataList* list = list_of(query, rrtype);
    return list != nullptr ? list->used_size : 0;
}

const uint8_t* dt_dnssd_query_slot(const dt_dnssd_query* query, uint16_t rrtype, size_t slot,
                                   uint16_t* length, uint32_t* interface_mask, uint32_t* sequence) {
    const RdataList* list = list_of(query, rrtype);
    if (list == nullptr || slot >= list->used_size || !list->slots[slot].used) {
        return nullptr;
    }
    const Slot& s = list->slots[slot];
    if (length != nullptr) {
        *length = static_cast<uint16_t>(s.rdata.size());
    }
    if (interface_mask != nullptr) {
        *interface_mask = s.interface_mask;
    }
    if (sequence != nullptr) {
        *sequence = s.sequence;
    }
    return s.rdata.data();
}

void dt_dnssd_query_reply(DNSServiceRef, DNSServiceFlags flags, uint32_t interface_index,
                          DNSServiceErrorType error, const char* name, uint16_t rrtype, uint16_t,
                          uint16_t rdlen, const void* rdata, uint32_t ttl, void* context) {
    auto* query = static_cast<dt_dnssd_query*>(context);
    if (error != kDNSServiceErr_NoError) {
        dt_log(4, "%s: error %d", "query_reply", error);
        return;
    }
    if (query == nullptr || (rrtype != kTypeSrv && rrtype != kTypeTxt)) {
        dt_log(5, "%s: unexpected RR type %u for %s", "query_reply", rrtype,
               name != nullptr ? name : "");
        return;
    }
    const char* type_name = rrtype == kTypeSrv ? "SRV" : "TXT";
    const char* record_name = name != nullptr ? name : "";
    dt_log(1, "%s: '%s', type %s (%u), intf %d, flags 0x%4.4x %u bytes, ttl %u", "query_reply",
           record_name, type_name, rrtype, static_cast<int>(interface_index), flags, rdlen, ttl);
    RdataList& list = rrtype == kTypeSrv ? query->srv_list : query->txt_list;
    const uint32_t added_flag = rrtype == kTypeSrv ? DT_DNSSD_SRV_ADDED : DT_DNSSD_TXT_ADDED;
    const uint32_t removed_flag = rrtype == kTypeSrv ? DT_DNSSD_SRV_REMOVED : DT_DNSSD_TXT_REMOVED;
    const bool add = (flags & kDNSServiceFlagsAdd) != 0;
    const auto* bytes = static_cast<const uint8_t*>(rdata);
    const long found = bytes != nullptr || rdlen == 0 ? rdata_list_find(list, bytes, rdlen) : -1;
    if (found < 0) {
        if (add) {
            const int result = rdata_list_add(list, bytes, rdlen, interface_index);
            if (result == kListFull) {
                // dropped, and warned of already
            } else if (result != 0) {
                dt_log(5, "%s: failed to add to list: %d", "query_reply", result);
            } else {
                query->flags |= added_flag;
            }
        } else {
            dt_log(2, "%s: remove of non-existent %s record: '%s', len %u", "query_reply",
                   type_name, record_name, rdlen);
        }
    } else {
        Slot& slot = list.slots[static_cast<size_t>(found)];
        if (advertised_on(slot, interface_index)) {
            if (add) {
                dt_log(1, "%s: already seen this %s record: '%s', len %u, intf %u", "query_reply",
                       type_name, record_name, rdlen, interface_index);
            } else {
                if (interface_index == 0) {
                    slot.interfaces.clear();
                } else {
                    slot.interfaces.erase(
                        std::find(slot.interfaces.begin(), slot.interfaces.end(), interface_index));
                }
                slot.interface_mask = mask_of(slot.interfaces);
                if (slot.interfaces.empty()) {
                    rdata_list_remove(list, static_cast<size_t>(found));
                    query->flags |= removed_flag;
                }
            }
        } else if (add) {
            dt_log(1, "%s: seen this %s record on other interface: '%s', len %u, intf %u",
                   "query_reply", type_name, record_name, rdlen, interface_index);
            slot.interfaces.push_back(interface_index);
            slot.interface_mask = mask_of(slot.interfaces);
        } else {
            dt_log(2, "%s: remove of non-existent %s record: '%s', len %u, intf %u", "query_reply",
                   type_name, record_name, rdlen, interface_index);
        }
    }
    RecordQuery& rq = rrtype == kTypeSrv ? query->srv : query->txt;
    rq.notification = notify_done_callback;
    rq.notification_context = query;
    if ((flags & kDNSServiceFlagsMoreComing) == 0) {
        rq.notification = nullptr;
        rq.notification_context = nullptr;
        notify_done_callback(query);
    }
}

// ---- Host lookup ----

aud_error dt_dnssd_gethostbyname(const char* host, uint8_t address[4], const aud_time* limit,
                                 bool force_multicast) {
    const dt_dnssd_record_description a_record = {kDNSServiceType_A, kDNSServiceClass_IN, 4};
    return dnssd_gethostbyname_body(host, address, &a_record, limit, 0, force_multicast);
}

aud_error dnssd_gethostbyname_body(const char* host, void* buffer,
                                   const dt_dnssd_record_description* description,
                                   const aud_time* limit, uint32_t interface_index,
                                   bool force_multicast) {
    if (host == nullptr || buffer == nullptr || description == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    HostReply reply;
    reply.buffer = buffer;
    reply.rdlen = description->rdlen;
    DNSServiceRef ref = nullptr;
    if (DNSServiceQueryRecord(&ref, force_multicast ? kDNSServiceFlagsForceMulticast : 0,
                              interface_index, host, description->rrtype, description->rrclass,
                              ghbn_query_reply, &reply) != kDNSServiceErr_NoError) {
        return AUD_ERR_DNSSDFAIL;
    }
    const int result = dt_dnssd_sdref_process_one(ref, limit);
    if (result == DT_DNSSD_ERR_TIMEDOUT) {
        dt_log(2, "%s(\"%s\"): no record found", "dnssd_gethostbyname_body", host);
    }
    DNSServiceRefDeallocate(ref);
    if (reply.state == 2) {
        return AUD_SUCCESS;
    }
    if (result != 0 && result != DT_DNSSD_ERR_TIMEDOUT) {
        return AUD_ERR_DNSSDFAIL;
    }
    return AUD_ERR_NOTFOUND;
}

// ---- Processing ----

int dt_dns_sd_process_result(dt_dnssd_handle*, DNSServiceRef ref) {
    return DNSServiceProcessResult(ref);
}

int dt_dnssd_sdref_process_one(DNSServiceRef ref, const aud_time* limit) {
    const aud_time span = limit != nullptr ? *limit : aud_time{0, 500000};
    const aud_time deadline = aud_time_add(aud_time_now(), span);
    const aud_socket_t socket = DNSServiceRefSockFD(ref);
    aud_time remaining = span;
    for (;;) {
        const aud_error result = aud_socket_wait_readable(socket, &remaining);
        remaining = aud_time_sub(deadline, aud_time_now());
        if (result == AUD_SUCCESS) {
            DNSServiceProcessResult(ref);
            return 0;
        }
        if (result == AUD_ERR_INTERRUPTED) {
            if (remaining.seconds < 0) {
                dt_log(2, "%s: interrupted (%d.%06ld remains), timed out",
                       "dt_dnssd_sdref_process_one", remaining.seconds,
                       static_cast<long>(remaining.microseconds));
                return DT_DNSSD_ERR_TIMEDOUT;
            }
            dt_log(2, "%s: interrupted (%d.%06ld remains), restarting",
                   "dt_dnssd_sdref_process_one", remaining.seconds,
                   static_cast<long>(remaining.microseconds));
            continue;
        }
        if (result == AUD_ERR_TIMEDOUT) {
            if (remaining.seconds < 0 || (remaining.seconds == 0 && remaining.microseconds == 0)) {
                return DT_DNSSD_ERR_TIMEDOUT;
            }
            dt_log(3, "%s: early return from wait (%d.%06ld remains), restarting",
                   "dt_dnssd_sdref_process_one", remaining.seconds,
                   static_cast<long>(remaining.microseconds));
            continue;
        }
        char text[AUD_ERROR_FORMAT_SIZE];
        dt_log(5, "%s: %s (%d)", "dt_dnssd_sdref_process_one",
               aud_error_format(result, text, sizeof text), result);
        return DT_DNSSD_ERR_OTHER;
    }
}

// ---- Log ----

const char* dt_log_level_name(int level) {
    static const char* const kNames[] = {"No error",       "Debug",       "Info",
                                         "Notice",         "Warning",     "Error",
                                         "Critical error", "Fatal error", "Undefined error"};
    if (level < 0) {
        level = 8;
    }
    return kNames[level > 8 ? 8 : level];
}

dt_log_settings& dt_log_get_settings() {
    static dt_log_settings settings;
    return settings;
}

void dt_log_set_sink(dt_log_sink sink, void* context) {
    g_sink = sink;
    g_sink_context = context;
}

void dt_log(int level, const char* format, ...) {
    const dt_log_settings& settings = dt_log_get_settings();
    if (level < settings.level || level < settings.stream_level) {
        return;
    }
    const uint32_t streams = settings.outputs & (DT_LOG_OUTPUT_STDOUT | DT_LOG_OUTPUT_STDERR);
    if (streams == 0) {
        return;
    }
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    char stamp[AUD_LOG_TIMESTAMP_SIZE] = "";
    if (settings.timestamps) {
        aud_log_format_timestamp(std::time(nullptr), stamp, sizeof stamp);
    }
    const size_t text_length = std::strlen(text);
    const bool has_end = text_length > 0 && text[text_length - 1] == '\n';
    char line[1200];
    std::snprintf(line, sizeof line, "%s%s%s: %s%s", stamp, settings.timestamps ? " " : "",
                  dt_log_level_name(level), text, has_end ? "" : "\n");
    for (uint32_t output : {DT_LOG_OUTPUT_STDOUT, DT_LOG_OUTPUT_STDERR}) {
        if ((streams & output) == 0) {
            continue;
        }
        if (g_sink != nullptr) {
            g_sink(output, line, g_sink_context);
            continue;
        }
        FILE* stream = output == DT_LOG_OUTPUT_STDOUT ? stdout : stderr;
        std::fputs(line, stream);
        std::fflush(stream);
    }
}
