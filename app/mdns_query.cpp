#include "app/mdns_query.h"

#include <cwchar>

#include "app/mdns_standin.h"

namespace {

MulticastDnsFunctions load_system_functions() {
    MulticastDnsFunctions functions{};
    HMODULE dnsapi = LoadLibraryW(L"dnsapi.dll");
    if (dnsapi == nullptr) {
        return functions;
    }
    // Casting through a generic function pointer: GetProcAddress's type.
    functions.start = reinterpret_cast<decltype(functions.start)>(
        reinterpret_cast<void (*)()>(GetProcAddress(dnsapi, "DnsStartMulticastQuery")));
    functions.stop = reinterpret_cast<decltype(functions.stop)>(
        reinterpret_cast<void (*)()>(GetProcAddress(dnsapi, "DnsStopMulticastQuery")));
    functions.free = reinterpret_cast<decltype(functions.free)>(
        reinterpret_cast<void (*)()>(GetProcAddress(dnsapi, "DnsFree")));
    functions.system = true;
    return functions;
}

}  // namespace

MulticastDnsFunctions system_multicast_dns_functions() {
    static const MulticastDnsFunctions functions = load_system_functions();
    return functions;
}

namespace {

MulticastDnsFunctions g_override{};
std::atomic<bool> g_overridden{false};

}  // namespace

void override_multicast_dns_functions(const MulticastDnsFunctions* functions) {
    g_overridden = false;
    if (functions != nullptr) {
        g_override = *functions;
        g_overridden = true;
    }
}

const MulticastDnsFunctions& multicast_dns_functions() {
    if (g_overridden.load()) {
        return g_override;
    }
    static const MulticastDnsFunctions chosen = [] {
        const MulticastDnsFunctions system = system_multicast_dns_functions();
        if (system.start != nullptr && system.stop != nullptr && system.free != nullptr) {
            return system;
        }
        return standin_multicast_dns_functions();
    }();
    return chosen;
}

// ---- mDNSQuery ----

namespace {

std::atomic<size_t> g_active_queries{0};

}  // namespace

size_t active_mdns_query_count() {
    return g_active_queries.load();
}

mDNSQuery::mDNSQuery() = default;

int mDNSQuery::filter_result(void*, PMDNS_QUERY_HANDLE, PDNS_QUERY_RESULT) {
    return 0;
}

mDNSQuery::~mDNSQuery() {
    if (active_) {
        mDNSQuery::stop_query();
    }
    delete[] name_;
}

bool mDNSQuery::is_active() const {
    return active_;
}

DNS_STATUS mDNSQuery::start_query(const wchar_t* name, WORD type, mDNSQueryCallback callback,
                                  void* context, ULONG interface_index) {
    if (active_) {
        return ERROR_BUSY;
    }
    if (name == nullptr || callback == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const size_t length = wcslen(name);
    name_ = new wchar_t[length + 1];
    wmemcpy(name_, name, length + 1);
    callback_ = callback;
    context_ = context;
    request_ = MDNS_QUERY_REQUEST{};
    request_.Version = DNS_QUERY_REQUEST_VERSION1;
    request_.Query = name_;
    request_.QueryType = type;
    request_.QueryOptions = 0;
    request_.InterfaceIndex = interface_index;
    request_.pQueryCallback = &mDNSQuery::on_result;
    request_.pQueryContext = this;
    started_ = GetTickCount();
    last_result_ = started_;
    handle_ = MDNS_QUERY_HANDLE{};
    const DNS_STATUS status = multicast_dns_functions().start(&request_, &handle_);
    if (status != ERROR_SUCCESS) {
        delete[] name_;
        name_ = nullptr;
        callback_ = nullptr;
        context_ = nullptr;
        handle_ = MDNS_QUERY_HANDLE{};
        return status;
    }
    active_ = true;
    ++g_active_queries;
    return ERROR_SUCCESS;
}

DNS_STATUS mDNSQuery::stop_query() {
    if (!active_) {
        return ERROR_INVALID_HANDLE;
    }
    const DNS_STATUS status = multicast_dns_functions().stop(&handle_);
    active_ = false;
    --g_active_queries;
    handle_ = MDNS_QUERY_HANDLE{};
    {
        // Waits for a delivery in progress; none reaches the callback after.
        std::lock_guard lock(delivery_mutex_);
        callback_ = nullptr;
        context_ = nullptr;
    }
    delete[] name_;
    name_ = nullptr;
    return status;
}

DWORD mDNSQuery::ms_since_last_result() const {
    return GetTickCount() - last_result_.load();
}

DWORD mDNSQuery::ms_since_start() const {
    return GetTickCount() - started_;
}

void mDNSQuery::free_records(PDNS_QUERY_RESULT result) {
    if (result != nullptr && result->pQueryRecords != nullptr) {
        multicast_dns_functions().free(result->pQueryRecords, DnsFreeRecordList);
        result->pQueryRecords = nullptr;
    }
}

VOID WINAPI mDNSQuery::on_result(PVOID context, PMDNS_QUERY_HANDLE handle, PDNS_QUERY_RESULT result) {
    auto* query = static_cast<mDNSQuery*>(context);
    if (query == nullptr || result == nullptr) {
        return;
    }
    std::lock_guard lock(query->delivery_mutex_);
    if (query->callback_ == nullptr) {
        free_records(result);  // stopped meanwhile
        return;
    }
    if (result->QueryStatus == ERROR_SUCCESS &&
        query->filter_result(query->context_, handle, result) != 0) {
        free_records(result);
        return;
    }
    if (result->QueryStatus == ERROR_SUCCESS) {
        query->last_result_ = GetTickCount();
    }
    if (query->callback_ != nullptr) {
        query->callback_(query, query->context_, handle, result);
    } else {
        free_records(result);
    }
}

// ---- mDNSPTRQuery ----

int mDNSPTRQuery::filter_result(void*, PMDNS_QUERY_HANDLE, PDNS_QUERY_RESULT result) {
    std::lock_guard lock(seen_mutex_);
    for (const DNS_RECORDW* record = result->pQueryRecords; record != nullptr;
         record = record->pNext) {
        if (record->wType != DNS_TYPE_A || record->pName == nullptr) {
            continue;
        }
        bool seen_before = false;
        for (const std::wstring& seen : seen_) {
            seen_before = seen_before || _wcsicmp(seen.c_str(), record->pName) == 0;
        }
        if (!seen_before && seen_.size() < kMaxSeenHosts) {
            seen_.emplace_back(record->pName);
            return 0;
        }
    }
    return 1;
}

mDNSPTRQuery::~mDNSPTRQuery() {
    // Stopped here, while the list the filter uses still exists.
    if (is_active()) {
        stop_query();
    }
}
