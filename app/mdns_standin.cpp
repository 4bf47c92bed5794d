#include "app/mdns_standin.h"

#include <winsock2.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "avn/dnssd/dnssd.h"

namespace {

constexpr DWORD kWaitSliceMs = 250;
// Instances followed up by one query: with two sockets each and the query's
// own, they stay within what one select call takes (FD_SETSIZE, 64).
constexpr size_t kMaxFollowUps = 24;

std::string narrow(const wchar_t* text) {
    std::string out;
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size > 1) {
        out.resize(static_cast<size_t>(size));
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
        out.resize(static_cast<size_t>(size) - 1);
    }
    return out;
}

std::wstring widen(const std::string& text) {
    std::wstring out;
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (size > 1) {
        out.resize(static_cast<size_t>(size));
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), size);
        out.resize(static_cast<size_t>(size) - 1);
    }
    return out;
}

std::string without_final_dot(std::string name) {
    if (!name.empty() && name.back() == '.') {
        name.pop_back();
    }
    return name;
}

// A name in wire form (uncompressed, as our DNS-SD library gives rdata) as
// dotted text; empty when it does not fit in the bytes given.
std::string wire_name(const uint8_t* data, size_t length, size_t offset = 0) {
    std::string name;
    while (offset < length) {
        const uint8_t label = data[offset++];
        if (label == 0) {
            return name;
        }
        if (label > 63 || offset + label > length) {
            return {};
        }
        if (!name.empty()) {
            name.push_back('.');
        }
        name.append(reinterpret_cast<const char*>(data + offset), label);
        offset += label;
    }
    return {};
}

// ---- Records in the system's layout ----
// Each record is one heap block: the record, the pointer array of a TXT
// record, then its texts.

struct RecordTexts {
    std::wstring name;
    std::vector<std::wstring> data;  // PTR/SRV: one name; TXT: the strings
};

DNS_RECORDW* make_record(WORD type, const RecordTexts& texts) {
    const size_t pointers = type == DNS_TYPE_TEXT ? texts.data.size() : 0;
    size_t head = offsetof(DNS_RECORDW, Data.TXT.pStringArray) + pointers * sizeof(PWSTR);
    head = std::max(head, sizeof(DNS_RECORDW));
    head = (head + alignof(wchar_t) - 1) & ~(alignof(wchar_t) - 1);
    size_t size = head + (texts.name.size() + 1) * sizeof(wchar_t);
    for (const std::wstring& text : texts.data) {
        size += (text.size() + 1) * sizeof(wchar_t);
    }
    auto* block = static_cast<uint8_t*>(std::calloc(1, size));
    if (block == nullptr) {
        return nullptr;
    }
    auto* record = reinterpret_cast<DNS_RECORDW*>(block);
    auto* next_text = reinterpret_cast<wchar_t*>(block + head);
    auto place = [&next_text](const std::wstring& text) {
        wchar_t* placed = next_text;
        std::memcpy(placed, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
        next_text += text.size() + 1;
        return placed;
    };
    record->pName = place(texts.name);
    record->wType = type;
    record->Flags.S.Section = DnsSectionAnswer;
    record->Flags.S.CharSet = DnsCharSetUnicode;
    record->dwTtl = 120;
    switch (type) {
        case DNS_TYPE_PTR:
            record->wDataLength = sizeof(DNS_PTR_DATAW);
            record->Data.PTR.pNameHost = texts.data.empty() ? nullptr : place(texts.data[0]);
            break;
        case DNS_TYPE_SRV:
            record->wDataLength = sizeof(DNS_SRV_DATAW);
            record->Data.SRV.pNameTarget = texts.data.empty() ? nullptr : place(texts.data[0]);
            break;
        case DNS_TYPE_TEXT: {
            record->Data.TXT.dwStringCount = static_cast<DWORD>(texts.data.size());
            record->wDataLength = static_cast<WORD>(
                offsetof(DNS_TXT_DATAW, pStringArray) + std::max<size_t>(pointers, 1) * sizeof(PWSTR));
            for (size_t i = 0; i < texts.data.size(); ++i) {
                record->Data.TXT.pStringArray[i] = place(texts.data[i]);
            }
            break;
        }
        case DNS_TYPE_A:
            record->wDataLength = sizeof(DNS_A_DATA);
            break;
        default:
            break;
    }
    return record;
}

void free_list(DNS_RECORDW* record) {
    while (record != nullptr) {
        DNS_RECORDW* next = record->pNext;
        std::free(record);
        record = next;
    }
}

// Appends to a list kept by its head and its last record.
struct RecordList {
    DNS_RECORDW* head = nullptr;
    DNS_RECORDW* tail = nullptr;

    void add(DNS_RECORDW* record) {
        if (record == nullptr) {
            return;
        }
        (tail == nullptr ? head : tail->pNext) = record;
        tail = record;
    }
    ~RecordList() { free_list(head); }
    DNS_RECORDW* release() {
        DNS_RECORDW* list = head;
        head = tail = nullptr;
        return list;
    }
};

// The records of one rdata, in the system's layout; null when unreadable.
DNS_RECORDW* record_from_rdata(const std::string& name, uint16_t type, const uint8_t* data,
                               uint16_t length) {
    RecordTexts texts{widen(name), {}};
    switch (type) {
        case kDNSServiceType_A: {
            if (length != 4) {
                return nullptr;
            }
            DNS_RECORDW* record = make_record(DNS_TYPE_A, texts);
            if (record != nullptr) {
                std::memcpy(&record->Data.A.IpAddress, data, 4);  // network order, as the system's
            }
            return record;
        }
        case kDNSServiceType_PTR: {
            const std::string target = wire_name(data, length);
            if (target.empty()) {
                return nullptr;
            }
            texts.data.push_back(widen(target));
            return make_record(DNS_TYPE_PTR, texts);
        }
        case kDNSServiceType_SRV: {
            if (length < 7) {
                return nullptr;
            }
            const std::string target = wire_name(data, length, 6);
            if (target.empty()) {
                return nullptr;
            }
            texts.data.push_back(widen(target));
            DNS_RECORDW* record = make_record(DNS_TYPE_SRV, texts);
            if (record != nullptr) {
                record->Data.SRV.wPriority = static_cast<WORD>(data[0] << 8 | data[1]);
                record->Data.SRV.wWeight = static_cast<WORD>(data[2] << 8 | data[3]);
                record->Data.SRV.wPort = static_cast<WORD>(data[4] << 8 | data[5]);
            }
            return record;
        }
        case kDNSServiceType_TXT: {
            size_t offset = 0;
            while (offset < length) {
                const size_t size = data[offset++];
                if (offset + size > length) {
                    return nullptr;
                }
                texts.data.push_back(
                    widen(std::string(reinterpret_cast<const char*>(data + offset), size)));
                offset += size;
            }
            return make_record(DNS_TYPE_TEXT, texts);
        }
        default:
            return nullptr;
    }
}

// ---- One query ----

struct StandinQuery;

// Finding what a PTR answer names: the instance's SRV record, then the
// target's address.
struct FollowUp {
    StandinQuery* query = nullptr;
    std::string instance;
    DNSServiceRef srv = nullptr;
    DNSServiceRef address = nullptr;
    DNS_RECORDW* srv_record = nullptr;
    std::string target;
    bool done = false;

    ~FollowUp() {
        if (srv != nullptr) {
            DNSServiceRefDeallocate(srv);
        }
        if (address != nullptr) {
            DNSServiceRefDeallocate(address);
        }
        free_list(srv_record);
    }
};

struct StandinQuery {
    std::wstring name;
    WORD type = 0;
    uint32_t interface_index = 0;
    PMDNS_QUERY_CALLBACK callback = nullptr;
    PVOID context = nullptr;
    PMDNS_QUERY_HANDLE handle = nullptr;
    DNSServiceRef query = nullptr;
    std::vector<std::unique_ptr<FollowUp>> follow_ups;
    std::atomic<bool> stop{false};
    std::thread thread;

    void deliver(DNS_RECORDW* records) {
        DNS_QUERY_RESULT result{};
        result.Version = DNS_QUERY_RESULTS_VERSION1;
        result.QueryStatus = ERROR_SUCCESS;
        result.pQueryRecords = records;
        // The callback owns the records from here.
        callback(context, handle, &result);
    }

    void run();
};

void on_address(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType error,
                const char* fullname, uint16_t rrtype, uint16_t, uint16_t rdlen, const void* rdata,
                uint32_t, void* context) {
    auto* follow_up = static_cast<FollowUp*>(context);
    if (error != kDNSServiceErr_NoError || (flags & kDNSServiceFlagsAdd) == 0 ||
        rrtype != kDNSServiceType_A || follow_up->done) {
        return;
    }
    RecordList records;
    records.add(make_record(DNS_TYPE_PTR, {follow_up->query->name, {widen(follow_up->instance)}}));
    records.add(follow_up->srv_record);
    follow_up->srv_record = nullptr;
    records.add(record_from_rdata(without_final_dot(fullname), rrtype,
                                  static_cast<const uint8_t*>(rdata), rdlen));
    follow_up->done = true;
    follow_up->query->deliver(records.release());
}

void on_srv(DNSServiceRef, DNSServiceFlags flags, uint32_t interface_index, DNSServiceErrorType error,
            const char* fullname, uint16_t rrtype, uint16_t, uint16_t rdlen, const void* rdata,
            uint32_t, void* context) {
    auto* follow_up = static_cast<FollowUp*>(context);
    if (error != kDNSServiceErr_NoError || (flags & kDNSServiceFlagsAdd) == 0 ||
        rrtype != kDNSServiceType_SRV || follow_up->srv_record != nullptr || follow_up->done) {
        return;
    }
    DNS_RECORDW* record = record_from_rdata(without_final_dot(fullname), rrtype,
                                            static_cast<const uint8_t*>(rdata), rdlen);
    if (record == nullptr || record->Data.SRV.pNameTarget == nullptr) {
        free_list(record);
        return;
    }
    follow_up->srv_record = record;
    follow_up->target = narrow(record->Data.SRV.pNameTarget);
    DNSServiceQueryRecord(&follow_up->address, 0, interface_index, follow_up->target.c_str(),
                          kDNSServiceType_A, kDNSServiceClass_IN, on_address, follow_up);
}

void on_record(DNSServiceRef, DNSServiceFlags flags, uint32_t interface_index,
               DNSServiceErrorType error, const char* fullname, uint16_t rrtype, uint16_t,
               uint16_t rdlen, const void* rdata, uint32_t, void* context) {
    auto* query = static_cast<StandinQuery*>(context);
    if (error != kDNSServiceErr_NoError || (flags & kDNSServiceFlagsAdd) == 0) {
        return;
    }
    const auto* data = static_cast<const uint8_t*>(rdata);
    if (rrtype != kDNSServiceType_PTR) {
        if (DNS_RECORDW* record = record_from_rdata(without_final_dot(fullname), rrtype, data, rdlen)) {
            query->deliver(record);
        }
        return;
    }
    const std::string instance = wire_name(data, rdlen);
    if (instance.empty() || query->follow_ups.size() >= kMaxFollowUps) {
        return;
    }
    for (const auto& follow_up : query->follow_ups) {
        if (follow_up->instance == instance) {
            return;  // already being followed up, or done
        }
    }
    auto follow_up = std::make_unique<FollowUp>();
    follow_up->query = query;
    follow_up->instance = instance;
    if (DNSServiceQueryRecord(&follow_up->srv, 0, interface_index, instance.c_str(),
                              kDNSServiceType_SRV, kDNSServiceClass_IN, on_srv,
                              follow_up.get()) != kDNSServiceErr_NoError) {
        follow_up->srv = nullptr;
        return;
    }
    query->follow_ups.push_back(std::move(follow_up));
}

void StandinQuery::run() {
    while (!stop.load()) {
        std::vector<DNSServiceRef> refs{query};
        for (const auto& follow_up : follow_ups) {
            for (DNSServiceRef ref : {follow_up->srv, follow_up->address}) {
                if (ref != nullptr && !follow_up->done) {
                    refs.push_back(ref);
                }
            }
        }
        fd_set readable;
        FD_ZERO(&readable);
        for (DNSServiceRef ref : refs) {
            FD_SET(static_cast<SOCKET>(DNSServiceRefSockFD(ref)), &readable);
        }
        timeval wait{0, static_cast<long>(kWaitSliceMs * 1000)};
        const int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready < 0) {
            Sleep(kWaitSliceMs);  // nothing to wait on, or a socket went away
            continue;
        }
        for (DNSServiceRef ref : refs) {
            if (!stop.load() && FD_ISSET(static_cast<SOCKET>(DNSServiceRefSockFD(ref)), &readable)) {
                DNSServiceProcessResult(ref);
            }
        }
    }
    follow_ups.clear();
    DNSServiceRefDeallocate(query);
    query = nullptr;
}

}  // namespace

DNS_STATUS WINAPI standin_start_multicast_query(PMDNS_QUERY_REQUEST request,
                                                PMDNS_QUERY_HANDLE handle) {
    if (request == nullptr || handle == nullptr || request->Query == nullptr ||
        request->pQueryCallback == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    auto query = std::make_unique<StandinQuery>();
    query->name = request->Query;
    query->type = request->QueryType;
    query->interface_index = request->InterfaceIndex;
    query->callback = request->pQueryCallback;
    query->context = request->pQueryContext;
    query->handle = handle;
    const std::string name = without_final_dot(narrow(request->Query));
    if (DNSServiceQueryRecord(&query->query, 0, request->InterfaceIndex, name.c_str(),
                              request->QueryType, kDNSServiceClass_IN, on_record,
                              query.get()) != kDNSServiceErr_NoError) {
        return DNS_ERROR_RCODE_SERVER_FAILURE;
    }
    *handle = MDNS_QUERY_HANDLE{};
    wcsncpy(handle->nameBuf, request->Query, DNS_MAX_NAME_BUFFER_LENGTH - 1);
    handle->wType = request->QueryType;
    StandinQuery* running = query.get();
    handle->pSubscription = query.release();
    running->thread = std::thread([running] { running->run(); });
    return ERROR_SUCCESS;
}

DNS_STATUS WINAPI standin_stop_multicast_query(PMDNS_QUERY_HANDLE handle) {
    if (handle == nullptr || handle->pSubscription == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    std::unique_ptr<StandinQuery> query(static_cast<StandinQuery*>(handle->pSubscription));
    handle->pSubscription = nullptr;
    query->stop = true;
    query->thread.join();
    return ERROR_SUCCESS;
}

VOID WINAPI standin_free_records(PVOID data, DNS_FREE_TYPE) {
    free_list(static_cast<DNS_RECORDW*>(data));
}

MulticastDnsFunctions standin_multicast_dns_functions() {
    return {standin_start_multicast_query, standin_stop_multicast_query, standin_free_records, false};
}
