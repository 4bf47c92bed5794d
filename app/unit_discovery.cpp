#include "app/unit_discovery.h"

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <new>
#include <system_error>
#include <optional>
#include <thread>
#include <vector>

#include "avn/api/avn_access.h"
#include "avn/browse/db_browse.h"
#include "avn/runtime/byte_order.h"
#include "device/app_messages.h"
#include "device/manufacturer.h"

// After the library's headers: these define `interface` as a macro.
// clang-format off
#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <netioapi.h>
// clang-format on

namespace {

constexpr uint32_t kSocketLimit = 17;  // one browse operation and 16 resolves

struct StartBlock {
    HWND dialog = nullptr;
    wchar_t interface_name[256] = {};
};

// Process-wide: the one search and its stop flag.
std::thread g_thread;
std::atomic<bool> g_stop{false};

struct Run {
    HWND dialog = nullptr;
    bool changed = false;
};

// The index of the interface whose alias is the name, compared exactly.
std::optional<uint32_t> interface_index_by_alias(const wchar_t* name) {
    ULONG size = 0;
    if (GetIfTable(nullptr, &size, TRUE) != ERROR_INSUFFICIENT_BUFFER || size == 0) {
        return std::nullopt;
    }
    std::vector<unsigned char> buffer(size);
    auto* table = reinterpret_cast<MIB_IFTABLE*>(buffer.data());
    if (GetIfTable(table, &size, TRUE) != NO_ERROR) {
        return std::nullopt;
    }
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        MIB_IF_ROW2 row{};
        row.InterfaceIndex = table->table[i].dwIndex;
        if (GetIfEntry2(&row) == NO_ERROR && std::wcscmp(row.Alias, name) == 0) {
            return row.InterfaceIndex;
        }
    }
    return std::nullopt;
}

// Browsing on the defaults is refused while no Domain Manager is involved,
// and while connected to one with ADHOC current.
bool domain_allows_defaults() {
    const avn_domain_handler* handler = avnapi_get_domain_handler(avn_api_instance());
    if (handler == nullptr) {
        return false;
    }
    const int state = avn_domain_handler_get_state(handler);
    if (state == AVN_DOMAIN_STATE_NONE) {
        return false;
    }
    return !(state == AVN_DOMAIN_STATE_CONNECTED &&
             avn_domain_handler_get_current_domain(handler).id == AVN_DOMAIN_ID_ADHOC);
}

void on_tree_changed(db_browse* browse) {
    static_cast<Run*>(db_browse_get_context(browse))->changed = true;
}

// Every event about a conmon device with a manufacturer, a model and a host
// becomes a record for the dialog, whatever the change.
void on_node(db_browse* browse, const db_browse_change* change, int) {
    db_browse_device_ids device{};
    if (!db_browse_change_get_device(change, &device)) {
        return;
    }
    auto* run = static_cast<Run*>(db_browse_get_context(browse));
    auto* record = new (std::nothrow) UnitRecord;
    if (record == nullptr) {
        return;
    }
    record->window = run->dialog;
    record->manufacturer_id = device.manufacturer;
    record->model_id = device.model;
    // DNS names travel as UTF-8 (RFC 6763 section 4.1.1), as tpx2ctl reads
    // them too, so non-ASCII names agree between the two.
    MultiByteToWideChar(CP_UTF8, 0, device.host_name, -1, record->name, static_cast<int>(kUnitNameCapacity));
    record->name[kUnitNameCapacity - 1] = L'\0';
    if (!PostMessageW(run->dialog, WM_APP_UNIT_FOUND, 0, reinterpret_cast<LPARAM>(record))) {
        delete record;  // the dialog is gone
    }
}

// Browses with the configuration for the limit, or until asked to stop.
// Called with the mutex held.
void browse_for(Run& run, const db_browse_config& config, uint32_t limit_ms) {
    avnapi* api = avn_api_instance();
    db_browse* browse = nullptr;
    if (db_browse_new(avnapi_get_env(api), DB_BROWSE_TYPE_CONMON_DEVICE, &browse) != AUD_SUCCESS) {
        return;
    }
    bool started = db_browse_set_socket_limit(browse, kSocketLimit) == AUD_SUCCESS &&
                   db_browse_set_node_callback(browse, on_node) == AUD_SUCCESS &&
                   db_browse_set_tree_changed_callback(browse, on_tree_changed) == AUD_SUCCESS &&
                   db_browse_set_context(browse, &run) == AUD_SUCCESS &&
                   db_browse_set_manufacturer_filter(browse, kManufacturerId.data()) == AUD_SUCCESS &&
                   db_browse_start_config(browse, &config) == AUD_SUCCESS;
    if (started) {
        const ULONGLONG start = GetTickCount64();
        while (!g_stop) {
            step_avn_events(avnapi_get_runtime(api));
            if (run.changed) {
                std::printf("Network changed\n");
                std::fflush(stdout);
                run.changed = false;
            }
            if (GetTickCount64() - start > limit_ms) {
                break;
            }
        }
        db_browse_stop(browse);
    }
    db_browse_delete(browse);
}

void discover_units(const wchar_t* interface_name, HWND dialog, uint32_t limit_ms) {
    if (!avn_api_lock(limit_ms)) {
        return;
    }
    if (avn_api_instance() == nullptr) {
        avn_api_unlock();
        return;
    }
    db_browse_config config;
    db_browse_config_init(&config);
    std::optional<uint32_t> index;
    if (interface_name[0] != L'\0') {
        index = interface_index_by_alias(interface_name);
    }
    if (index) {
        config.network_count = 1;
        config.interface_index[0] = *index;
        config.network_mask = 1;
    } else if (!domain_allows_defaults()) {
        avn_api_unlock();
        return;
    }
    Run run;
    run.dialog = dialog;
    browse_for(run, config, limit_ms);
    avn_api_unlock();
}

void ip_discover_thread(std::unique_ptr<StartBlock> block) {
    discover_units(block->interface_name, block->dialog, kDiscoveryLimitMs);
}

}  // namespace

bool is_supported_unit(const UnitRecord& record) {
    return record.manufacturer_id == byte_order::load_be64(kManufacturerId.data()) &&
           record.model_id == kTpx2ModelId;
}

bool start_unit_discovery(HWND dialog, const wchar_t* interface_name) {
    stop_unit_discovery();
    g_stop = false;
    auto block = std::make_unique<StartBlock>();
    block->dialog = dialog;
    if (interface_name != nullptr) {
        wcsncpy(block->interface_name, interface_name, 255);
    }
    try {
        g_thread = std::thread(ip_discover_thread, std::move(block));
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void stop_unit_discovery() {
    if (g_thread.joinable()) {
        g_stop = true;
        g_thread.join();
    }
}
