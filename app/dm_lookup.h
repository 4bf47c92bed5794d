// Finding Domain Managers by multicast DNS for the login dialog:
// `mdns_discover_thread` runs `lookup_dm` for "_avn-dm-c._tcp" in ".local"
// and posts each Domain Manager found to the dialog as WM_APP_DM_FOUND.
// It never touches the AVN API.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

inline constexpr DWORD kDmLookupCycleMs = 5000;       // a cycle ends this long after the last new host
inline constexpr DWORD kDmLookupAnswerLimitMs = 5000;  // SRV and TXT answers of one host
inline constexpr DWORD kDmLookupListWaitMs = 250;

// One host found by the lookup.
struct DmHost {
    std::atomic<bool> srv_answered{false};
    std::atomic<bool> txt_answered{false};
    std::wstring host_name;     // the address record's name without its last label
    std::wstring instance;      // the service instance the PTR record names; empty if none
    uint32_t ipv4_address = 0;  // network order, as in the address record
    std::atomic<uint16_t> port{0};
    std::mutex txt_mutex;
    std::vector<std::wstring> txt;
};

using DmLookupCallback = void (*)(const DmHost& host, void* user);

struct DmLookupOptions {
    const std::atomic<bool>* stop = nullptr;
    bool want_srv = true;
    bool want_txt = true;
    ULONG interface_index = 0;  // all interfaces
};

// Looks up the service until the stop flag is set, calling back once per
// host whose wanted answers all came within their limit.
void lookup_dm(const wchar_t* service, const wchar_t* domain, void* user, DmLookupCallback callback,
               const DmLookupOptions& options);

// The text the dialog shows as a found Domain Manager's address: its IPv4
// address when the address record gave one (a .local name is not resolved
// by every system's resolver), else its host name.
std::wstring dm_host_address_text(const DmHost& host);

// Starts mdns_discover_thread for the dialog, stopping a running one first.
void start_dm_lookup(HWND dialog);
// Stops it and waits for it.
void stop_dm_lookup();
// The dialog's address buffer that WM_APP_DM_FOUND's lParam points to.
inline constexpr size_t kDmAddressCapacity = 256;
