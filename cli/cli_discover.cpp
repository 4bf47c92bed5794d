#include "cli/cli_discover.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <thread>

#include <jansson.h>

#include "avn/api/avn_access.h"
#include "avn/browse/db_browse.h"
#include "avn/browse/db_txt.h"
#include "avn/browse/interfaces.h"
#include "cli/cli_output.h"
#include "cli/cli_runner.h"
#include "device/text_utf8.h"
#include "device/app_messages.h"
#include "device/conmon_transport.h"
#include "device/device_info_worker.h"
#include "device/framed_command.h"
#include "device/manufacturer.h"
#include "device/message_queue.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kSocketLimit = 17;  // one browse operation and 16 resolves
constexpr uint32_t kPollMs = 50;
constexpr uint32_t kInterfaceWaitMs = 500;
// The worker's own limits: opening (5 s) and two version queries of five
// attempts 500 ms apart, each write waiting up to 2.5 s.
constexpr uint32_t kVersionQueryBoundMs = 5000 + 2 * 5 * 3000;

std::string lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}


struct DiscoveryRun {
    const CliOptions* options = nullptr;
    std::ostream* out = nullptr;
    std::vector<DiscoveredUnit> units;
    std::map<std::string, size_t> by_name;  // lower-case name -> index
};

// What the Discover dialog takes from a device event: a conmon device with
// a manufacturer and a model, whatever the change.
void on_node(db_browse* browse, const db_browse_change* change, int) {
    auto* run = static_cast<DiscoveryRun*>(db_browse_get_context(browse));
    db_browse_device_ids device{};
    if (!db_browse_change_get_device(change, &device)) {
        return;
    }
    DiscoveredUnit unit;
    unit.name = device.host_name;
    std::memcpy(unit.manufacturer.data(), device.manufacturer_id, unit.manufacturer.size());
    unit.model = device.model;
    const bool makers =
        std::equal(unit.manufacturer.begin(), unit.manufacturer.end(), kManufacturerId.begin());
    if (!makers ||
        (!run->options->discover_all && unit.model != kTpx2ModelId)) {
        return;
    }
    const std::string key = lower(unit.name);
    if (run->by_name.count(key) != 0) {
        return;  // listed once, under the first name seen
    }
    run->by_name[key] = run->units.size();
    run->units.push_back(unit);
    if (!run->options->json && !run->options->discover_versions) {
        *run->out << format_discovered_unit(unit, false) << std::flush;
    }
}

// The interface the connection manager has in force, when this computer has
// one of that name: its index.
std::optional<uint32_t> interface_in_force() {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kInterfaceWaitMs);
    std::u16string name;
    bool known = false;
    while (!known && Clock::now() < deadline) {
        {
            // The connection manager's state is read only under the lock.
            AvnApiLock lock(kInterfaceWaitMs);
            cmm_client* client = lock ? avn_api_cmm_client() : nullptr;
            const cmm_state* state = client != nullptr ? cmm_client_get_state(client) : nullptr;
            if (state != nullptr) {
                known = true;
                const cmm_interface_set* set = cmm_state_get_current_config(state);
                const cmm_interface* first =
                    set != nullptr ? cmm_interface_list_get(set, 0) : nullptr;
                const char16_t* text = first != nullptr ? cmm_interface_get_name(first) : nullptr;
                name = text != nullptr ? std::u16string(text) : std::u16string();
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    if (name.empty()) {
        return std::nullopt;
    }
    aud_interface* list = nullptr;
    size_t count = 0;
    std::optional<uint32_t> index;
    if (aud_interface_list(&list, &count) == AUD_SUCCESS) {
        for (size_t i = 0; i < count && !index; ++i) {
            if (name == list[i].name) {
                index = list[i].index;
            }
        }
        aud_interface_list_free(list);
    }
    return index;
}

// Browses for the options' number of seconds with the AVN API held, stepping
// the runtime itself, as the Discover dialog's thread does.
std::optional<std::string> browse_units(const CliOptions& options, DiscoveryRun& run,
                                        const std::atomic<bool>& interrupted) {
    db_browse_config config;
    db_browse_config_init(&config);
    if (const std::optional<uint32_t> index = interface_in_force()) {
        config.network_count = 1;
        config.interface_index[0] = *index;
        config.network_mask = 1;
    }
    AvnApiLock lock(options.timeout_ms);
    avnapi* api = avn_api_instance();
    if (!lock || api == nullptr) {
        return std::string("the AVN API is busy");
    }
    db_browse* browse = nullptr;
    aud_error result = db_browse_new(avnapi_get_env(api), DB_BROWSE_TYPE_CONMON_DEVICE, &browse);
    if (result == AUD_SUCCESS) {
        db_browse_set_socket_limit(browse, kSocketLimit);
        db_browse_set_node_callback(browse, on_node);
        db_browse_set_context(browse, &run);
        db_browse_set_manufacturer_filter(browse, kManufacturerId.data());
        result = db_browse_start_config(browse, &config);
    }
    if (result == AUD_SUCCESS) {
        const auto end = Clock::now() + std::chrono::seconds(options.discover_seconds);
        while (!interrupted && Clock::now() < end) {
            step_avn_events(avnapi_get_runtime(api));
        }
        db_browse_stop(browse);
    }
    db_browse_delete(browse);
    if (result != AUD_SUCCESS) {
        const char* text = aud_error_message(result);
        return std::string("could not browse for units: ") +
               (text != nullptr ? text : "unknown error");
    }
    return std::nullopt;
}

// Reads one unit's versions through the device-information worker.
void read_versions(DiscoveredUnit& unit) {
    MessageQueue window;
    auto request = std::make_unique<DeviceInfoRequest>();
    request->window = window.target();
    const std::wstring name = wide_from_utf8(unit.name);
    request->transport = std::make_unique<ConMonTransport>(name.c_str());
    queue_device_info_request(std::move(request));
    const auto deadline = Clock::now() + std::chrono::milliseconds(kVersionQueryBoundMs);
    while (Clock::now() < deadline) {
        const auto message = window.wait(kPollMs);
        if (!message) {
            continue;
        }
        if (message->message == WM_APP_BOOTLOADER_VERSION) {
            unit.bootloader = static_cast<uint16_t>(message->wparam);
        } else if (message->message == WM_APP_APPLICATION_VERSION && message->lparam != -1 &&
                   message->lparam != 0) {
            unit.application = static_cast<uint32_t>(message->lparam);
        } else if (message->message == WM_APP_QUERY_DONE) {
            return;
        }
    }
}

}  // namespace

std::string discovered_manufacturer_text(const DiscoveredUnit& unit) {
    char label[DB_ID_LABEL_SIZE];
    db_id_to_label(unit.manufacturer.data(), label);
    return label;
}

std::string format_discovered_unit(const DiscoveredUnit& unit, bool versions) {
    std::string line = unit.name + "  " + discovered_manufacturer_text(unit) + "  model " +
                       std::to_string(unit.model);
    if (versions) {
        line += "  bootloader " + (unit.bootloader ? format_bootloader_version(*unit.bootloader)
                                                   : std::string("none"));
        line += "  application " + (unit.application ? format_application_version(*unit.application)
                                                     : std::string("none"));
    }
    return line + "\n";
}

std::string format_discovered_units_json(std::vector<DiscoveredUnit> units, bool versions) {
    std::sort(units.begin(), units.end(),
              [](const DiscoveredUnit& a, const DiscoveredUnit& b) { return a.name < b.name; });
    json_t* list = json_array();
    for (const DiscoveredUnit& unit : units) {
        json_t* entry = json_object();
        json_object_set_new(entry, "name", json_text(unit.name));
        json_object_set_new(entry, "manufacturer", json_text(discovered_manufacturer_text(unit)));
        json_object_set_new(entry, "model", json_integer(unit.model));
        if (versions) {
            json_object_set_new(entry, "bootloader",
                                unit.bootloader
                                    ? json_text(format_bootloader_version(*unit.bootloader))
                                    : json_null());
            json_object_set_new(entry, "application",
                                unit.application
                                    ? json_text(format_application_version(*unit.application))
                                    : json_null());
        }
        json_array_append_new(list, entry);
    }
    json_t* object = json_object();
    json_object_set_new(object, "units", list);
    return json_line(object);
}

std::optional<std::string> discover_unit_names(const CliOptions& options,
                                               const std::atomic<bool>& interrupted,
                                               std::vector<std::string>* names) {
    CliOptions quiet = options;
    quiet.json = true;  // nothing printed as units are found
    quiet.discover_all = false;
    quiet.discover_versions = false;
    std::ostringstream unused;
    DiscoveryRun run;
    run.options = &quiet;
    run.out = &unused;
    if (std::optional<std::string> error = browse_units(quiet, run, interrupted)) {
        return error;
    }
    names->clear();
    for (const DiscoveredUnit& unit : run.units) {
        names->push_back(unit.name);
    }
    std::sort(names->begin(), names->end());
    return std::nullopt;
}

int run_discover(const CliOptions& options, std::ostream& out, std::ostream& err,
                 const std::atomic<bool>& interrupted) {
    DiscoveryRun run;
    run.options = &options;
    run.out = &out;
    if (const std::optional<std::string> error = browse_units(options, run, interrupted)) {
        err << "tpx2ctl: " << *error << "\n";
        return kExitFailure;
    }
    if (options.discover_versions && !run.units.empty()) {
        start_device_info_worker();
        for (DiscoveredUnit& unit : run.units) {
            if (interrupted) {
                break;
            }
            read_versions(unit);
            if (!options.json) {
                out << format_discovered_unit(unit, true) << std::flush;
            }
        }
        stop_device_info_worker();
    }
    if (options.json) {
        out << format_discovered_units_json(run.units, options.discover_versions);
    }
    return kExitSuccess;
}
