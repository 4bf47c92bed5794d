#include "app/dm_lookup.h"

#include <cwchar>
#include <memory>
#include <thread>

#include "app/mdns_query.h"
#include "device/app_messages.h"

namespace {

constexpr DWORD kListLockForCallbackMs = 500;
constexpr DWORD kIdleWaitMs = 20;

// Hosts waiting for their follow-up, oldest first: a Domain Manager that
// answered early is followed up before any later flood of names, and a
// full list drops the newcomers, so the flood costs its sender.
constexpr size_t kMaxWaitingHosts = 16;

struct LookupList {
    std::timed_mutex mutex;
    std::vector<std::unique_ptr<DmHost>> hosts;  // oldest first
};

bool ends_with(const std::wstring& text, const wchar_t* suffix) {
    const size_t length = wcslen(suffix);
    return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

void on_ptr_result(mDNSQuery*, void* context, PMDNS_QUERY_HANDLE, PDNS_QUERY_RESULT result) {
    auto* list = static_cast<LookupList*>(context);
    if (result->QueryStatus == ERROR_SUCCESS) {
        const DNS_RECORDW* address = nullptr;
        const DNS_RECORDW* srv = nullptr;
        const DNS_RECORDW* ptr = nullptr;
        for (const DNS_RECORDW* record = result->pQueryRecords; record != nullptr;
             record = record->pNext) {
            if (record->wType == DNS_TYPE_A && address == nullptr) {
                address = record;
            } else if (record->wType == DNS_TYPE_SRV && srv == nullptr) {
                srv = record;
            } else if (record->wType == DNS_TYPE_PTR && ptr == nullptr) {
                ptr = record;
            }
        }
        const std::wstring name = address != nullptr && address->pName != nullptr ? address->pName : L"";
        // The first ".local" must be the end of the name.
        const size_t local = name.find(L".local");
        if (local != std::wstring::npos && local + 6 == name.size() &&
            list->mutex.try_lock_for(std::chrono::milliseconds(kListLockForCallbackMs))) {
            if (list->hosts.size() >= kMaxWaitingHosts) {
                list->mutex.unlock();
                mDNSQuery::free_records(result);
                return;
            }
            auto host = std::make_unique<DmHost>();
            host->host_name = name.substr(0, name.rfind(L'.'));
            if (ptr != nullptr && ptr->Data.PTR.pNameHost != nullptr) {
                host->instance = ptr->Data.PTR.pNameHost;
            }
            host->ipv4_address = address->Data.A.IpAddress;
            if (srv != nullptr) {
                host->port = srv->Data.SRV.wPort;
            }
            list->hosts.push_back(std::move(host));
            list->mutex.unlock();
        }
    }
    mDNSQuery::free_records(result);
}

void on_srv_result(mDNSQuery*, void* context, PMDNS_QUERY_HANDLE, PDNS_QUERY_RESULT result) {
    auto* host = static_cast<DmHost*>(context);
    if (result->QueryStatus == ERROR_SUCCESS) {
        for (const DNS_RECORDW* record = result->pQueryRecords; record != nullptr;
             record = record->pNext) {
            if (record->wType == DNS_TYPE_SRV) {
                host->port = record->Data.SRV.wPort;
                host->srv_answered = true;
                break;
            }
        }
    }
    mDNSQuery::free_records(result);
}

void on_txt_result(mDNSQuery*, void* context, PMDNS_QUERY_HANDLE, PDNS_QUERY_RESULT result) {
    auto* host = static_cast<DmHost*>(context);
    if (result->QueryStatus == ERROR_SUCCESS) {
        for (const DNS_RECORDW* record = result->pQueryRecords; record != nullptr;
             record = record->pNext) {
            if (record->wType == DNS_TYPE_TEXT) {
                std::lock_guard lock(host->txt_mutex);
                host->txt.clear();
                for (DWORD i = 0; i < record->Data.TXT.dwStringCount; ++i) {
                    const wchar_t* text = record->Data.TXT.pStringArray[i];
                    host->txt.emplace_back(text != nullptr ? std::wstring(text).substr(0, 255) : L"");
                }
                host->txt_answered = true;
                break;
            }
        }
    }
    mDNSQuery::free_records(result);
}

std::unique_ptr<DmHost> take_first_host(LookupList& list) {
    if (!list.mutex.try_lock_for(std::chrono::milliseconds(kDmLookupListWaitMs))) {
        return nullptr;
    }
    std::unique_ptr<DmHost> host;
    if (!list.hosts.empty()) {
        host = std::move(list.hosts.front());
        list.hosts.erase(list.hosts.begin());
    }
    list.mutex.unlock();
    return host;
}

// One host's follow-up queries.
struct FollowUp {
    std::unique_ptr<DmHost> host;
    mDNSQuery srv;
    mDNSQuery txt;

    void stop() {
        if (srv.is_active()) {
            srv.stop_query();
        }
        if (txt.is_active()) {
            txt.stop_query();
        }
    }
    void drop() {
        stop();
        host.reset();
    }
};

void run_cycle(const std::wstring& full_name, LookupList& list, void* user, DmLookupCallback callback,
               const DmLookupOptions& options) {
    mDNSPTRQuery ptr;
    if (ptr.start_query(full_name.c_str(), DNS_TYPE_PTR, on_ptr_result, &list,
                        options.interface_index) != ERROR_SUCCESS) {
        Sleep(kDmLookupListWaitMs);  // looked at again after the stop flag
        return;
    }
    FollowUp follow_up;
    while (!options.stop->load() && ptr.ms_since_last_result() <= kDmLookupCycleMs) {
        if (!follow_up.host) {
            follow_up.host = take_first_host(list);
            if (!follow_up.host) {
                Sleep(kIdleWaitMs);
                continue;
            }
            // The service instance the PTR record named; the host's own
            // name only when the answer named none.
            const std::wstring target = follow_up.host->instance.empty()
                                            ? follow_up.host->host_name + L"." + full_name
                                            : follow_up.host->instance;
            if (options.want_srv &&
                follow_up.srv.start_query(target.c_str(), DNS_TYPE_SRV, on_srv_result,
                                          follow_up.host.get(), options.interface_index) != ERROR_SUCCESS) {
                follow_up.drop();
                continue;
            }
            if (options.want_txt &&
                follow_up.txt.start_query(target.c_str(), DNS_TYPE_TEXT, on_txt_result,
                                          follow_up.host.get(), options.interface_index) != ERROR_SUCCESS) {
                follow_up.drop();
            }
            continue;
        }
        if ((follow_up.srv.is_active() && follow_up.srv.ms_since_start() > kDmLookupAnswerLimitMs) ||
            (follow_up.txt.is_active() && follow_up.txt.ms_since_start() > kDmLookupAnswerLimitMs)) {
            follow_up.drop();
            continue;
        }
        const bool srv_done = !options.want_srv || follow_up.host->srv_answered.load();
        const bool txt_done = !options.want_txt || follow_up.host->txt_answered.load();
        if (!srv_done || !txt_done) {
            Sleep(kIdleWaitMs);
            continue;
        }
        follow_up.stop();
        callback(*follow_up.host, user);
        follow_up.host.reset();
    }
    follow_up.drop();
    ptr.stop_query();
}

// ---- The dialog's lookup thread ----

std::atomic<bool> g_stop{false};
std::thread g_thread;
wchar_t g_found_address[kDmAddressCapacity] = {};
// The first Domain Manager found wins, and the buffer the dialog reads is
// written only for it: the dialog stops the lookup when it arrives.
bool g_posted = false;

void on_dm_found(const DmHost& host, void* user) {
    if (g_posted || ends_with(host.host_name, L".in-addr.arpa")) {
        return;
    }
    g_posted = true;
    const std::wstring address = dm_host_address_text(host);
    wcsncpy(g_found_address, address.c_str(), kDmAddressCapacity - 1);
    g_found_address[kDmAddressCapacity - 1] = L'\0';
    PostMessageW(static_cast<HWND>(user), WM_APP_DM_FOUND, host.port.load(),
                 reinterpret_cast<LPARAM>(g_found_address));
}

void mdns_discover_thread(HWND dialog) {
    DmLookupOptions options;
    options.stop = &g_stop;
    lookup_dm(L"_avn-dm-c._tcp", L".local", dialog, on_dm_found, options);
}

}  // namespace

void lookup_dm(const wchar_t* service, const wchar_t* domain, void* user, DmLookupCallback callback,
               const DmLookupOptions& options) {
    LookupList list;
    const std::wstring full_name = std::wstring(service) + domain;
    while (!options.stop->load()) {
        run_cycle(full_name, list, user, callback, options);
    }
    std::lock_guard lock(list.mutex);
    list.hosts.clear();
}

std::wstring dm_host_address_text(const DmHost& host) {
    if (host.ipv4_address == 0) {
        return host.host_name;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(&host.ipv4_address);
    wchar_t text[16];
    swprintf(text, 16, L"%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

void start_dm_lookup(HWND dialog) {
    stop_dm_lookup();
    g_stop = false;
    g_posted = false;
    g_thread = std::thread(mdns_discover_thread, dialog);
}

void stop_dm_lookup() {
    g_stop = true;
    if (g_thread.joinable()) {
        g_thread.join();
    }
}
