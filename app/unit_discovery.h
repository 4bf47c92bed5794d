// Finding the TPX-2 units on the chosen network: `ip_discover_thread`
// browses the conmon devices of the maker for 5 seconds, holding the AVN API
// mutex and stepping the runtime itself, and posts every device it hears of
// to the Discover dialog as WM_APP_UNIT_FOUND with a heap UnitRecord that
// the dialog then owns.
#pragma once

#include <windows.h>

#include <cstdint>

inline constexpr size_t kUnitNameCapacity = 64;
inline constexpr uint32_t kDiscoveryLimitMs = 5000;

struct UnitRecord {
    uint32_t reserved[5] = {};
    wchar_t name[kUnitNameCapacity] = {};  // the host name, used as device name
    HWND window = nullptr;                 // the dialog that gets the record
    uint64_t manufacturer_id = 0;          // the 8 bytes read big-endian
    uint64_t model_id = 0;
};

// The maker's manufacturer ID and the TPX-2 model.
bool is_supported_unit(const UnitRecord& record);

// Stops a running search first, then starts one for the dialog on the
// interface of this alias ("" for none). False when the thread could not be
// started.
bool start_unit_discovery(HWND dialog, const wchar_t* interface_name);
// Asks the search to stop and waits for it.
void stop_unit_discovery();
