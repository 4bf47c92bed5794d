// lookup_dm with scripted answers in place of the multicast DNS query
// functions: which queries it starts, what it reports, and what it never
// offers. No network is involved.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/dm_lookup.h"
#include "app/mdns_query.h"

namespace {

constexpr const wchar_t* kService = L"_avn-dm-c._tcp.local";
constexpr const wchar_t* kInstance = L"default._avn-dm-c._tcp.local";
constexpr const wchar_t* kHost = L"avn-dm.local";

// ---- The scripted query functions ----

struct ActiveQuery {
    std::wstring name;
    WORD type;
    PMDNS_QUERY_CALLBACK callback;
    PVOID context;
    PMDNS_QUERY_HANDLE handle;
};

std::mutex g_mutex;  // held while a callback runs, as stopping waits for it
std::vector<ActiveQuery> g_active;
std::vector<std::pair<std::wstring, WORD>> g_started;

DNS_STATUS WINAPI fake_start(PMDNS_QUERY_REQUEST request, PMDNS_QUERY_HANDLE handle) {
    std::lock_guard lock(g_mutex);
    g_active.push_back({request->Query, request->QueryType, request->pQueryCallback,
                        request->pQueryContext, handle});
    g_started.emplace_back(request->Query, request->QueryType);
    return ERROR_SUCCESS;
}

DNS_STATUS WINAPI fake_stop(PMDNS_QUERY_HANDLE handle) {
    std::lock_guard lock(g_mutex);
    for (auto it = g_active.begin(); it != g_active.end(); ++it) {
        if (it->handle == handle) {
            g_active.erase(it);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_INVALID_HANDLE;
}

wchar_t* copy(const std::wstring& text) {
    auto* out = new wchar_t[text.size() + 1];
    wmemcpy(out, text.c_str(), text.size() + 1);
    return out;
}

VOID WINAPI fake_free(PVOID data, DNS_FREE_TYPE) {
    auto* record = static_cast<DNS_RECORDW*>(data);
    while (record != nullptr) {
        DNS_RECORDW* next = record->pNext;
        delete[] record->pName;
        if (record->wType == DNS_TYPE_PTR) {
            delete[] record->Data.PTR.pNameHost;
        } else if (record->wType == DNS_TYPE_SRV) {
            delete[] record->Data.SRV.pNameTarget;
        } else if (record->wType == DNS_TYPE_TEXT) {
            delete[] record->Data.TXT.pStringArray[0];
        }
        delete record;
        record = next;
    }
}

DNS_RECORDW* record(WORD type, const std::wstring& name) {
    auto* out = new DNS_RECORDW{};
    out->wType = type;
    out->pName = copy(name);
    return out;
}

DNS_RECORDW* address(const std::wstring& name, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    DNS_RECORDW* out = record(DNS_TYPE_A, name);
    const uint8_t bytes[4] = {a, b, c, d};
    std::memcpy(&out->Data.A.IpAddress, bytes, 4);
    return out;
}

DNS_RECORDW* pointer(const std::wstring& name, const std::wstring& target) {
    DNS_RECORDW* out = record(DNS_TYPE_PTR, name);
    out->Data.PTR.pNameHost = copy(target);
    return out;
}

DNS_RECORDW* service(const std::wstring& name, const std::wstring& target, WORD port) {
    DNS_RECORDW* out = record(DNS_TYPE_SRV, name);
    out->Data.SRV.pNameTarget = copy(target);
    out->Data.SRV.wPort = port;
    return out;
}

DNS_RECORDW* text(const std::wstring& name, const std::wstring& value) {
    DNS_RECORDW* out = record(DNS_TYPE_TEXT, name);
    out->Data.TXT.dwStringCount = 1;
    out->Data.TXT.pStringArray[0] = copy(value);
    return out;
}

DNS_RECORDW* chain(std::initializer_list<DNS_RECORDW*> records) {
    DNS_RECORDW* head = nullptr;
    DNS_RECORDW* tail = nullptr;
    for (DNS_RECORDW* next : records) {
        (tail == nullptr ? head : tail->pNext) = next;
        tail = next;
    }
    return head;
}

bool active(const std::wstring& name, WORD type) {
    std::lock_guard lock(g_mutex);
    for (const ActiveQuery& query : g_active) {
        if (query.name == name && query.type == type) {
            return true;
        }
    }
    return false;
}

size_t started(const std::wstring& name, WORD type) {
    std::lock_guard lock(g_mutex);
    size_t count = 0;
    for (const auto& query : g_started) {
        count += query.first == name && query.second == type ? 1 : 0;
    }
    return count;
}

// Answers the active query (name, type) with the records, as the system
// does from a thread of its own. False (records freed) when none is active.
bool answer(const std::wstring& name, WORD type, DNS_RECORDW* records) {
    std::lock_guard lock(g_mutex);
    for (const ActiveQuery& query : g_active) {
        if (query.name == name && query.type == type) {
            DNS_QUERY_RESULT result{};
            result.Version = DNS_QUERY_RESULTS_VERSION1;
            result.pQueryRecords = records;
            query.callback(query.context, query.handle, &result);
            return true;
        }
    }
    fake_free(records, DnsFreeRecordList);
    return false;
}

bool wait_for(const std::function<bool()>& condition, DWORD limit_ms = 5000) {
    const ULONGLONG deadline = GetTickCount64() + limit_ms;
    while (!condition()) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

struct Found {
    std::wstring host_name;
    std::wstring address;
    uint16_t port;
    std::vector<std::wstring> txt;
};

class DmLookupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        {
            std::lock_guard lock(g_mutex);
            g_active.clear();
            g_started.clear();
        }
        const MulticastDnsFunctions fake{fake_start, fake_stop, fake_free, false};
        override_multicast_dns_functions(&fake);
        thread_ = std::thread([this] {
            DmLookupOptions options;
            options.stop = &stop_;
            lookup_dm(L"_avn-dm-c._tcp", L".local", this, on_found, options);
        });
        ASSERT_TRUE(wait_for([] { return active(kService, DNS_TYPE_PTR); }));
    }

    void TearDown() override {
        stop_ = true;
        thread_.join();
        override_multicast_dns_functions(nullptr);
    }

    static void on_found(const DmHost& host, void* user) {
        auto* test = static_cast<DmLookupTest*>(user);
        std::lock_guard lock(test->found_mutex_);
        Found found{host.host_name, dm_host_address_text(host), host.port.load(), {}};
        found.txt = host.txt;
        test->found_.push_back(found);
    }

    std::vector<Found> found() {
        std::lock_guard lock(found_mutex_);
        return found_;
    }

    // avn-sim's advert as the system reports it: the PTR record with the
    // SRV record and the target's address.
    static DNS_RECORDW* advert() {
        return chain({pointer(kService, kInstance), service(kInstance, kHost, 8999),
                      address(kHost, 10, 1, 2, 3)});
    }

    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex found_mutex_;
    std::vector<Found> found_;
};

TEST_F(DmLookupTest, FollowsEachHostUpOnceAndReportsItsAddressPortAndText) {
    // A host outside .local is not followed up; neither is a second answer
    // from a host already seen in this cycle.
    ASSERT_TRUE(answer(kService, DNS_TYPE_PTR,
                       chain({pointer(kService, L"x._avn-dm-c._tcp.local"),
                              address(L"dm.example.com", 10, 9, 9, 9)})));
    ASSERT_TRUE(answer(kService, DNS_TYPE_PTR, advert()));
    ASSERT_TRUE(answer(kService, DNS_TYPE_PTR, advert()));

    // The follow-up asks for the instance the PTR record named.
    ASSERT_TRUE(wait_for([] { return active(kInstance, DNS_TYPE_SRV) && active(kInstance, DNS_TYPE_TEXT); }));
    ASSERT_TRUE(answer(kInstance, DNS_TYPE_SRV, service(kInstance, kHost, 9001)));
    ASSERT_TRUE(answer(kInstance, DNS_TYPE_TEXT, text(kInstance, L"txtvers=1")));
    ASSERT_TRUE(wait_for([&] { return !found().empty(); }));
    Sleep(300);

    const std::vector<Found> hosts = found();
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(hosts[0].host_name, L"avn-dm");
    EXPECT_EQ(hosts[0].address, L"10.1.2.3");
    EXPECT_EQ(hosts[0].port, 9001);
    EXPECT_EQ(hosts[0].txt, std::vector<std::wstring>{L"txtvers=1"});
    EXPECT_EQ(started(kInstance, DNS_TYPE_SRV), 1u);
    EXPECT_EQ(started(L"x._avn-dm-c._tcp.local", DNS_TYPE_SRV), 0u);
    EXPECT_FALSE(active(kInstance, DNS_TYPE_SRV)) << "stopped once answered";
}

TEST_F(DmLookupTest, AHostWhoseTextDoesNotComeIsNeverOffered) {
    ASSERT_TRUE(answer(kService, DNS_TYPE_PTR, advert()));
    ASSERT_TRUE(wait_for([] { return active(kInstance, DNS_TYPE_SRV); }));
    ASSERT_TRUE(answer(kInstance, DNS_TYPE_SRV, service(kInstance, kHost, 8999)));
    // Given up after its 5 s: both queries stopped, nothing reported.
    EXPECT_TRUE(wait_for([] { return !active(kInstance, DNS_TYPE_SRV) && !active(kInstance, DNS_TYPE_TEXT); },
                         kDmLookupAnswerLimitMs + 2000));
    EXPECT_TRUE(found().empty());
}

// Hosts are followed up in the order they answered: a sender of fresh names
// after the Domain Manager does not keep it waiting.
TEST_F(DmLookupTest, AFloodOfFreshNamesDoesNotKeepTheDomainManagerWaiting) {
    const auto decoy = [](int n) {
        const std::wstring name = L"flood" + std::to_wstring(n);
        return chain({pointer(kService, name + L"._avn-dm-c._tcp.local"),
                      address(name + L".local", 10, 9, 0, static_cast<uint8_t>(n))});
    };
    // The first decoy keeps the follow-up busy (it never answers) while the
    // Domain Manager and then a flood of names arrive.
    ASSERT_TRUE(answer(kService, DNS_TYPE_PTR, decoy(0)));
    ASSERT_TRUE(wait_for([] { return active(L"flood0._avn-dm-c._tcp.local", DNS_TYPE_SRV); }));
    ASSERT_TRUE(answer(kService, DNS_TYPE_PTR, advert()));
    for (int n = 1; n <= 40; ++n) {
        ASSERT_TRUE(answer(kService, DNS_TYPE_PTR, decoy(n)));
    }
    // Once the first decoy is given up, the Domain Manager is next.
    ASSERT_TRUE(wait_for([] { return active(kInstance, DNS_TYPE_SRV); }, kDmLookupAnswerLimitMs + 2000));
    EXPECT_EQ(started(L"flood1._avn-dm-c._tcp.local", DNS_TYPE_SRV), 0u);
    EXPECT_EQ(started(L"flood40._avn-dm-c._tcp.local", DNS_TYPE_SRV), 0u);
}

}  // namespace

