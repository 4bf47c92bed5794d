// Multicast DNS queries over the Windows query functions
// (DnsStartMulticastQuery, DnsStopMulticastQuery, DnsFree). Where the system
// lacks them, a stand-in with the same signatures and record layouts, built
// over our DNS-SD library, takes their place (app/mdns_standin.h); which one
// is used is decided once, at run time.
#pragma once

#include <windows.h>
#include <windns.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

struct MulticastDnsFunctions {
    DNS_STATUS(WINAPI* start)(PMDNS_QUERY_REQUEST request, PMDNS_QUERY_HANDLE handle);
    DNS_STATUS(WINAPI* stop)(PMDNS_QUERY_HANDLE handle);
    VOID(WINAPI* free)(PVOID data, DNS_FREE_TYPE type);
    bool system;  // the system's own functions
};

// dnsapi.dll's functions when it exports all three, else the stand-in's.
const MulticastDnsFunctions& multicast_dns_functions();
// The system's functions only: null members when dnsapi.dll lacks them.
MulticastDnsFunctions system_multicast_dns_functions();
// Makes multicast_dns_functions give these (copied) until called with null:
// for tests that script the answers. Set while no query is active.
void override_multicast_dns_functions(const MulticastDnsFunctions* functions);

class mDNSQuery;

// How many queries are active in the process (started and not yet stopped):
// for the dialog's tests, which check that a lookup leaves none running.
size_t active_mdns_query_count();

// Receives every result that passes the query's filter, and every failed
// result. It owns the result's records and frees them with free_records.
using mDNSQueryCallback = void (*)(mDNSQuery* query, void* context, PMDNS_QUERY_HANDLE handle,
                                   PDNS_QUERY_RESULT result);

// One multicast DNS query. Results arrive on threads of the query functions.
class mDNSQuery {
  public:
    mDNSQuery();
    // 1 drops the result (its records are freed at once); the base class
    // drops nothing.
    virtual int filter_result(void* context, PMDNS_QUERY_HANDLE handle, PDNS_QUERY_RESULT result);
    // Stops an active query.
    virtual ~mDNSQuery();
    virtual bool is_active() const;
    // ERROR_BUSY when active; ERROR_INVALID_PARAMETER without a name or a
    // callback; otherwise the query functions' result.
    virtual DNS_STATUS start_query(const wchar_t* name, WORD type, mDNSQueryCallback callback,
                                   void* context, ULONG interface_index);
    // ERROR_INVALID_HANDLE when not active. No result is delivered after it:
    // a result being delivered on another thread is waited for, so the
    // context may be freed once this returns.
    virtual DNS_STATUS stop_query();
    virtual DWORD ms_since_last_result() const;
    virtual DWORD ms_since_start() const;

    mDNSQuery(const mDNSQuery&) = delete;
    mDNSQuery& operator=(const mDNSQuery&) = delete;

    static void free_records(PDNS_QUERY_RESULT result);

  private:
    static VOID WINAPI on_result(PVOID context, PMDNS_QUERY_HANDLE handle, PDNS_QUERY_RESULT result);

    bool active_ = false;
    MDNS_QUERY_REQUEST request_{};
    MDNS_QUERY_HANDLE handle_{};
    wchar_t* name_ = nullptr;
    // Held while a result is filtered and delivered, and while the callback
    // and its context are cleared: they change only between deliveries.
    std::mutex delivery_mutex_;
    mDNSQueryCallback callback_ = nullptr;
    void* context_ = nullptr;
    std::atomic<DWORD> last_result_{0};
    DWORD started_ = 0;
};

// A PTR query that lets a result through only when it carries an address
// record for a host this query has not seen before. It remembers at most
// kMaxSeenHosts names: past that, new names are dropped (a sender of fresh
// names only ends up ignored), and the lookup's next cycle starts afresh.
class mDNSPTRQuery : public mDNSQuery {
  public:
    static constexpr size_t kMaxSeenHosts = 64;

    int filter_result(void* context, PMDNS_QUERY_HANDLE handle, PDNS_QUERY_RESULT result) override;
    ~mDNSPTRQuery() override;

  private:
    std::mutex seen_mutex_;  // results may arrive on several threads
    std::vector<std::wstring> seen_;
};
