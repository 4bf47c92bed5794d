#include "cli/cli_runner.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>

#include "avn/api/avn_access.h"
#include "cli/check_command.h"
#include "cli/cli_discover.h"
#include "cli/inventory_command.h"
#include "cli/text_utf8.h"
#include "cli/cli_domain.h"
#include "cli/cli_output.h"
#include "device/settings_file.h"
#include "cli/settings_input.h"
#include "cli/unit_apply.h"
#include "cli/watch_command.h"
#include "cli/work_pool.h"
#include "device/app_messages.h"
#include "device/conmon_transport.h"
#include "device/device_info_worker.h"
#include "device/message_queue.h"
#include "device/parameter_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kPollMs = 50;
// The worker's own limits: opening (5 s) and two version queries of five
// attempts 500 ms apart, each write waiting up to 2.5 s.
constexpr uint32_t kVersionQueryBoundMs = 5000 + 2 * 5 * 3000;
constexpr uint32_t kConnectBoundMs = kParameterOpenLimitMs + 2000;

struct CliError {
    int status;
    std::string message;
};

// ---- Text ----

std::string utf8_from_utf16(const char16_t* text, size_t max) {
    std::string out;
    for (size_t i = 0; i < max && text[i] != 0; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < max && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        append_utf8(out, c);
    }
    return out;
}

std::u16string utf16_from_utf8(const std::string& text) {
    std::u16string out;
    for (wchar_t c : wide_from_utf8(text)) {
        // Wide text is UTF-32 on some platforms: split what lies above the BMP.
        const char32_t code = static_cast<char32_t>(c);
        if (code >= 0x10000) {
            const char32_t v = code - 0x10000;
            out += static_cast<char16_t>(0xD800 + (v >> 10));
            out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
            continue;
        }
        out += static_cast<char16_t>(code);
    }
    return out;
}

// ---- The AVN API for the length of one command ----

class AvnApiSession {
public:
    explicit AvnApiSession(const CliOptions& options) {
        avn_api_options api;
        api.connect_limit_ms = options.timeout_ms;
        if (options.cmm) {
            api.cmm_port = options.cmm->port;
        }
        if (options.conmon) {
            api.conmon_port = options.conmon->port;
        }
        result_ = start_avn_api(&api);
    }
    ~AvnApiSession() {
        if (result_ == AUD_SUCCESS) {
            stop_avn_api();
        }
    }
    AvnApiSession(const AvnApiSession&) = delete;
    AvnApiSession& operator=(const AvnApiSession&) = delete;

    std::optional<CliError> error(const CliOptions& options) const {
        if (result_ == AUD_SUCCESS) {
            return std::nullopt;
        }
        const uint16_t port = options.cmm ? options.cmm->port : CMM_DEFAULT_PORT;
        if (result_ == AUD_ERR_NOTRUNNING) {
            return CliError{kExitServicesUnavailable,
                            "the AVN platform service is not running: no connection manager answered on "
                            "127.0.0.1:" + std::to_string(port)};
        }
        return CliError{kExitServicesUnavailable,
                        std::string("could not start the AVN API: ") + aud_error_message(result_)};
    }

private:
    aud_error result_ = AUD_ERR_SYSTEM;
};

std::optional<CliError> check_local(const std::optional<CliEndpoint>& endpoint, const char* option) {
    if (endpoint && endpoint->host != "127.0.0.1") {
        return CliError{kExitUsage, std::string(option) +
                                        ": the AVN platform services are local; use 127.0.0.1 (or localhost)"};
    }
    return std::nullopt;
}

// ---- Units ----

// The unit was reached through the Domain Manager, and that road is gone:
// its connection dropped, or the AVN domain changed under the link.
CliError domain_lost(const std::string& device) {
    return {kExitServicesUnavailable, "lost the link to unit '" + device +
                                          "': the Domain Manager connection dropped or the AVN domain changed"};
}

// The unit is in a managed domain whose Domain Manager is not connected.
CliError domain_manager_down(const std::string& device) {
    return {kExitServicesUnavailable,
            "unit '" + device + "' cannot be reached: the Domain Manager is not connected"};
}

// A connected unit's link was lost and did not come back in time: the
// conmon server went away, or the unit is no longer behind it.
CliError link_lost(const CliOptions& options, const WindowMessage& failure) {
    if (failure.lparam == static_cast<intptr_t>(kLinkDomainLost)) {
        return domain_lost(options.device);
    }
    if (failure.lparam == static_cast<intptr_t>(kLinkServiceDown)) {
        const uint16_t port = options.conmon ? options.conmon->port : CONMON_CLIENT_DEFAULT_PORT;
        return {kExitServicesUnavailable,
                "the AVN platform service stopped: the conmon server on 127.0.0.1:" + std::to_string(port) +
                    " did not come back within " + std::to_string(kLinkRestoreLimitMs / 1000) + " s"};
    }
    return {kExitUnitUnavailable, "unit '" + options.device + "' is no longer reachable"};
}

std::string unit_unavailable(const std::string& device) {
    return "unit '" + device + "' was not found or does not answer";
}

// The unit could not be reached because the local conmon server does not
// accept clients: the platform is at fault, not the unit.
CliError conmon_server_down(const CliOptions& options) {
    const uint16_t port = options.conmon ? options.conmon->port : CONMON_CLIENT_DEFAULT_PORT;
    return {kExitServicesUnavailable, "the AVN platform service is not running: the conmon server on "
                                      "127.0.0.1:" + std::to_string(port) + " does not answer"};
}

int print_error(std::ostream& err, const CliError& error) {
    err << "tpx2ctl: " << error.message << "\n";
    return error.status;
}

// Applies a parameter report message to the values.
bool apply_report(UnitParameters& parameters, const WindowMessage& message) {
    if (message.message != WM_APP_PARAM_REPORT || !is_known_parameter(static_cast<uint8_t>(message.wparam))) {
        return false;
    }
    parameters[static_cast<ParameterId>(message.wparam)] = static_cast<int32_t>(message.lparam);
    return true;
}

// A connection to one unit through the parameter thread, for one command.
class UnitConnection {
public:
    explicit UnitConnection(const CliOptions& options) : options_(options) {
        const std::string& device = options.device;
        values.device = device;
        start_parameter_thread(window_.target(),
                               std::make_unique<ConMonTransport>(wide_from_utf8(device).c_str()));
    }
    ~UnitConnection() { stop_parameter_thread(); }
    UnitConnection(const UnitConnection&) = delete;
    UnitConnection& operator=(const UnitConnection&) = delete;

    std::optional<CliError> wait_connected() {
        const auto message = wait_any({WM_APP_CONNECTED, WM_APP_CONNECT_FAILED}, kConnectBoundMs);
        if (message && message->message == WM_APP_CONNECT_FAILED && message->wparam == kLinkServiceDown) {
            return conmon_server_down(options_);
        }
        if (message && message->message == WM_APP_CONNECT_FAILED && message->wparam == kLinkDomainLost) {
            return domain_manager_down(values.device);
        }
        if (!message || message->message != WM_APP_CONNECTED) {
            return CliError{kExitUnitUnavailable, unit_unavailable(values.device)};
        }
        return std::nullopt;
    }

    // Waits until every parameter was reported (or the limit passed).
    std::optional<CliError> wait_complete(uint32_t limit_ms) {
        auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
        while (!values.complete()) {
            if (parameter_link_restoring()) {
                // The unit is judged on a good link only; the thread ends a
                // link that does not come back.
                deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
            }
            if (Clock::now() >= deadline) {
                return CliError{kExitUnitUnavailable,
                                "unit '" + values.device + "' did not report its parameters within " +
                                    std::to_string(limit_ms) + " ms"};
            }
            if (auto error = take_one(kPollMs)) {
                return error;
            }
        }
        return std::nullopt;
    }

    // Sends one change and waits until the unit reports the new value.
    std::optional<CliError> change(const CliParameterChange& change, uint32_t limit_ms) {
        const auto id = static_cast<uint32_t>(change.id);
        queue_parameter_change(1, id, change.value);
        auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
        bool sent = false;
        while (!sent || values[change.id] != change.value) {
            if (parameter_link_restoring()) {
                deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
            }
            if (Clock::now() >= deadline) {
                return CliError{kExitUnitUnavailable, "unit '" + values.device + "' did not confirm " +
                                                          parameter_name(change.id) + "=" +
                                                          std::to_string(change.value)};
            }
            const auto message = window_.wait(kPollMs);
            if (!message) {
                continue;
            }
            if (message->message == WM_APP_PARAM_SENT && message->wparam == id) {
                sent = true;
            } else if (message->message == WM_APP_SEND_FAILED) {
                if (message->wparam == 0) {
                    return link_lost(options_, *message);
                }
                return CliError{kExitUnitUnavailable, "unit '" + values.device + "' stopped answering"};
            }
            apply_report(values, *message);
        }
        return std::nullopt;
    }

    // One message; an error when the unit could not be reached. Sets
    // `reported` when it was a report.
    std::optional<CliError> take_one(uint32_t limit_ms, bool* reported = nullptr) {
        const auto message = window_.wait(limit_ms);
        if (!message) {
            return std::nullopt;
        }
        if (message->message == WM_APP_SEND_FAILED) {
            if (message->wparam == 0 && message->lparam != 0) {
                return link_lost(options_, *message);
            }
            return CliError{kExitUnitUnavailable, unit_unavailable(values.device)};
        }
        const bool applied = apply_report(values, *message);
        if (reported != nullptr) {
            *reported = applied;
        }
        return std::nullopt;
    }

    UnitParameters values;

private:
    std::optional<WindowMessage> wait_any(std::initializer_list<uint32_t> wanted, uint32_t limit_ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
        while (Clock::now() < deadline) {
            const auto message = window_.wait(kPollMs);
            if (!message) {
                continue;
            }
            for (uint32_t w : wanted) {
                if (message->message == w) {
                    return message;
                }
            }
            apply_report(values, *message);
        }
        return std::nullopt;
    }

    const CliOptions& options_;
    MessageQueue window_;
};

int run_info(const CliOptions& options, std::ostream& out, std::ostream& err) {
    MessageQueue window;
    start_device_info_worker();
    auto request = std::make_unique<DeviceInfoRequest>();
    request->window = window.target();
    request->transport = std::make_unique<ConMonTransport>(wide_from_utf8(options.device).c_str());
    queue_device_info_request(std::move(request));

    UnitVersions versions{options.device, std::nullopt, std::nullopt};
    bool service_down = false;
    bool done = false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kVersionQueryBoundMs);
    while (!done && Clock::now() < deadline) {
        const auto message = window.wait(kPollMs);
        if (!message) {
            continue;
        }
        if (message->message == WM_APP_APPLICATION_VERSION && message->wparam == kLinkServiceDown) {
            service_down = true;
        }
        if (message->message == WM_APP_BOOTLOADER_VERSION) {
            versions.bootloader = static_cast<uint16_t>(message->wparam);
        } else if (message->message == WM_APP_APPLICATION_VERSION && message->lparam != -1 &&
                   message->lparam != 0) {
            versions.application = static_cast<uint32_t>(message->lparam);
        } else if (message->message == WM_APP_QUERY_DONE) {
            done = true;
        }
    }
    stop_device_info_worker();
    if (service_down) {
        return print_error(err, conmon_server_down(options));
    }
    if (!versions.bootloader && !versions.application) {
        return print_error(err, {kExitUnitUnavailable, unit_unavailable(options.device)});
    }
    out << format_versions(versions, options.json);
    return kExitSuccess;
}

int run_get(const CliOptions& options, std::ostream& out, std::ostream& err) {
    UnitConnection unit(options);
    if (auto error = unit.wait_connected()) {
        return print_error(err, *error);
    }
    if (auto error = unit.wait_complete(options.timeout_ms)) {
        return print_error(err, *error);
    }
    out << format_parameters(unit.values, options.json);
    return kExitSuccess;
}

int run_set(const CliOptions& options, std::ostream& out, std::ostream& err) {
    UnitConnection unit(options);
    if (auto error = unit.wait_connected()) {
        return print_error(err, *error);
    }
    // The unit's current values first: a write discards a report not yet read.
    if (auto error = unit.wait_complete(options.timeout_ms)) {
        return print_error(err, *error);
    }
    for (const CliParameterChange& change : options.changes) {
        if (auto error = unit.change(change, options.timeout_ms)) {
            return print_error(err, *error);
        }
    }
    out << format_parameters(unit.values, options.json);
    return kExitSuccess;
}

int run_watch(const CliOptions& options, std::ostream& out, std::ostream& err,
              const std::atomic<bool>& interrupted) {
    UnitConnection unit(options);
    if (auto error = unit.wait_connected()) {
        return print_error(err, *error);
    }
    while (!interrupted) {
        bool reported = false;
        if (auto error = unit.take_one(kPollMs * 5, &reported)) {
            return print_error(err, *error);
        }
        if (!reported) {
            continue;
        }
        // A report's entries arrive together: print once they are all in.
        do {
            reported = false;
            if (auto error = unit.take_one(kPollMs, &reported)) {
                return print_error(err, *error);
            }
        } while (reported);
        out << format_parameters(unit.values, options.json) << std::flush;
    }
    return kExitSuccess;
}

// ---- Settings files ----

// A value outside its parameter's range cannot come from the unit's own
// controls, and a file holding one would be refused by load.
std::optional<CliError> check_savable(const UnitParameters& values) {
    for (ParameterId id : kAllParameters) {
        const int32_t value = *values[id];
        if (value < parameter_min_value(id) || value > parameter_max_value(id)) {
            return CliError{kExitFailure, "unit '" + values.device + "' reports " + parameter_name(id) + "=" +
                                              std::to_string(value) + ", outside " +
                                              std::to_string(parameter_min_value(id)) + " to " +
                                              std::to_string(parameter_max_value(id)) + ": nothing saved"};
        }
    }
    return std::nullopt;
}

int run_save(const CliOptions& options, std::ostream& out, std::ostream& err) {
    UnitConnection unit(options);
    if (auto error = unit.wait_connected()) {
        return print_error(err, *error);
    }
    if (auto error = unit.wait_complete(options.timeout_ms)) {
        return print_error(err, *error);
    }
    if (auto error = check_savable(unit.values)) {
        return print_error(err, *error);
    }
    const std::string text = format_settings_file(unit.values);
    if (options.file.empty() || options.file == "-") {
        out << text;
        return kExitSuccess;
    }
    // Written only now that every value is in: a failed read leaves an
    // earlier file as it was.
    std::ofstream file(options.file, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file) {
        return print_error(err, {kExitFailure, "cannot write '" + options.file + "': " + std::strerror(errno)});
    }
    return kExitSuccess;
}

UnitApplyLimits apply_limits(const CliOptions& options) {
    UnitApplyLimits limits;
    limits.open_ms = kParameterOpenLimitMs;
    limits.write_ms = kParameterWriteLimitMs;
    limits.answer_ms = options.timeout_ms;
    limits.restore_ms = kLinkRestoreLimitMs;
    return limits;
}

UnitApplyOutcome apply_to_unit(const std::string& device, const UnitParameters& settings, const CliOptions& options) {
    try {
        ConMonTransport transport(wide_from_utf8(device).c_str());
        return apply_unit_settings(transport, device, settings, apply_limits(options));
    } catch (const std::exception& e) {
        UnitApplyOutcome outcome;
        outcome.device = device;
        outcome.error = std::string("could not be worked on: ") + e.what();
        return outcome;
    }
}

int run_load(const CliOptions& options, const UnitParameters& settings, std::ostream& out, std::ostream& err) {
    const UnitApplyOutcome outcome = apply_to_unit(options.device, settings, options);
    if (outcome.status == UnitApplyStatus::Applied) {
        out << format_unit_outcome(outcome, options.json);
        return kExitSuccess;
    }
    CliError error{kExitFailure, "unit '" + options.device + "' " + outcome.error};
    if (outcome.status == UnitApplyStatus::ServicesUnavailable && outcome.domain_manager) {
        error.status = kExitServicesUnavailable;
    } else if (outcome.status == UnitApplyStatus::ServicesUnavailable) {
        error = conmon_server_down(options);
    } else if (outcome.status == UnitApplyStatus::Unavailable) {
        error.status = kExitUnitUnavailable;
    }
    if (!outcome.changed.empty()) {
        error.message += " (changed before that: " + format_changes(outcome.changed) + ")";
    }
    return print_error(err, error);
}

// Each unit on a thread of the pool, with a transport of its own; a line (or
// JSON object) for each as it finishes, whole under the output lock.
int run_apply(const CliOptions& options, const UnitParameters& settings, std::ostream& out, std::ostream& err,
              const std::atomic<bool>& interrupted) {
    std::vector<std::string> devices = options.devices;
    if (options.discovered) {
        if (std::optional<std::string> error = discover_unit_names(options, interrupted, &devices)) {
            return print_error(err, {kExitFailure, *error});
        }
        if (devices.empty() && interrupted) {
            return print_error(err, {kExitFailure, "interrupted while looking for units: nothing was changed"});
        }
        if (devices.empty()) {
            return print_error(err, {kExitUnitUnavailable, "no TPX-2 unit was found on the network in " +
                                                               std::to_string(options.discover_seconds) + " s"});
        }
    }
    std::vector<UnitApplyOutcome> outcomes(devices.size());
    std::mutex output_mutex;
    // Once the conmon server is found not to answer, no unit can be reached:
    // the rest are not started.
    std::atomic<bool> services_down{false};
    // ... and whether the service missing is the Domain Manager.
    std::atomic<bool> manager_down{false};
    const auto work = [&](size_t i) {
        UnitApplyOutcome outcome = apply_to_unit(devices[i], settings, options);
        if (outcome.status == UnitApplyStatus::ServicesUnavailable) {
            manager_down = manager_down || outcome.domain_manager;
            services_down = true;
        } else if (outcome.status == UnitApplyStatus::Unavailable && !outcome.link_opened && services_down &&
                   !manager_down) {
            // Its link could not open while another held the AVN API waiting
            // for the same silent server.
            outcome.status = UnitApplyStatus::ServicesUnavailable;
            outcome.error = "the conmon server does not answer";
        }
        std::lock_guard lock(output_mutex);
        out << format_unit_outcome(outcome, options.json) << std::flush;
        outcomes[i] = std::move(outcome);
    };
    // The conmon server is tried once before the units: were it not to
    // answer, each unit under way would wait out its open limit, holding the
    // AVN API from the others meanwhile.
    if (!interrupted) {
        ConMonTransport probe(wide_from_utf8(devices[0]).c_str());
        services_down = !probe.open(kParameterOpenLimitMs) && probe.service_down();
        manager_down = services_down && probe.through_domain_manager();
    }
    const std::vector<bool> started =
        run_bounded(devices.size(), options.jobs, [&] { return interrupted || services_down; }, work);

    size_t applied = 0;
    std::vector<std::string> failed;
    std::vector<std::string> not_started;
    bool any_unavailable = false;
    bool any_other = false;
    for (size_t i = 0; i < devices.size(); ++i) {
        if (!started[i]) {
            not_started.push_back(devices[i]);
            any_other = true;
        } else if (outcomes[i].status == UnitApplyStatus::Applied) {
            ++applied;
        } else {
            failed.push_back(devices[i]);
            any_unavailable = any_unavailable || outcomes[i].status == UnitApplyStatus::Unavailable;
            any_other = any_other || outcomes[i].status == UnitApplyStatus::Failed;
        }
    }
    out << format_apply_summary(devices.size(), applied, failed, not_started, interrupted, options.json)
        << std::flush;
    // The platform first: with the conmon server away, the units' failures
    // say nothing about them.
    if (manager_down) {
        return print_error(err, {kExitServicesUnavailable,
                                 "the units cannot be reached: the Domain Manager connection dropped or "
                                 "the AVN domain changed"});
    }
    if (services_down) {
        return print_error(err, conmon_server_down(options));
    }
    if (any_unavailable) {
        return kExitUnitUnavailable;
    }
    return any_other ? kExitFailure : kExitSuccess;
}

// ---- Networks ----

struct NetworkView {
    std::vector<NetworkEntry> entries;
    std::optional<std::string> current;  // "" for none
    uint16_t status = CMM_STATUS_UNKNOWN;
};

// The connection manager's options and state, once it has sent its options.
std::optional<NetworkView> read_networks(uint32_t limit_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
        {
            AvnApiLock lock(1000);
            cmm_client* client = lock ? avn_api_cmm_client() : nullptr;
            const cmm_options* options = client != nullptr ? cmm_client_get_options(client) : nullptr;
            // The options and the state arrive as two events: the interface
            // in force is known only once both are in.
            const cmm_state* state = client != nullptr ? cmm_client_get_state(client) : nullptr;
            if (options != nullptr && state != nullptr) {
                NetworkView view;
                view.status = state->status;
                const cmm_interface_set* set = cmm_state_get_current_config(state);
                const cmm_interface* first = set != nullptr ? cmm_interface_list_get(set, 0) : nullptr;
                view.current = first != nullptr
                                   ? utf8_from_utf16(cmm_interface_get_name(first), CMM_INTERFACE_NAME_SIZE)
                                   : std::string{};
                for (size_t i = 0; i < cmm_interface_list_count(options); ++i) {
                    const cmm_interface* entry = cmm_interface_list_get(options, i);
                    std::string name = utf8_from_utf16(cmm_interface_get_name(entry), CMM_INTERFACE_NAME_SIZE);
                    view.entries.push_back({name, view.current && *view.current == name && !name.empty()});
                }
                return view;
            }
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

CliError no_options() {
    return {kExitServicesUnavailable, "the connection manager sent no network interfaces"};
}

int run_networks(const CliOptions& options, std::ostream& out, std::ostream& err) {
    const auto view = read_networks(options.timeout_ms);
    if (!view) {
        return print_error(err, no_options());
    }
    out << format_networks(view->entries, options.json);
    return kExitSuccess;
}

int run_use_network(const CliOptions& options, std::ostream& out, std::ostream& err) {
    const auto view = read_networks(options.timeout_ms);
    if (!view) {
        return print_error(err, no_options());
    }
    const bool none = options.network == "None";
    bool offered = none;
    std::string names;
    for (const NetworkEntry& entry : view->entries) {
        offered = offered || entry.name == options.network;
        names += (names.empty() ? "" : ", ") + entry.name;
    }
    if (!offered) {
        return print_error(err, {kExitUsage, "no network called '" + options.network + "' (offered: " +
                                                 (names.empty() ? "none" : names) + ", or None)"});
    }
    const std::string wanted = none ? std::string{} : options.network;
    {
        AvnApiLock lock(options.timeout_ms);
        cmm_client* client = lock ? avn_api_cmm_client() : nullptr;
        cmm_interface_set* set = client != nullptr ? cmm_client_get_config_buffer(client) : nullptr;
        if (set == nullptr) {
            return print_error(err, {kExitServicesUnavailable, "the connection manager is not reachable"});
        }
        const std::u16string name = utf16_from_utf8(wanted);
        cmm_interface_set_clear(set);
        if (!none) {
            cmm_interface_set_add_by_name(set, cmm_client_get_options(client), name.c_str());
        }
        cmm_interface_set_add_none(set);
        cmm_system_config config{CMM_CONFIG_INTERFACES, set, 0};
        if (const aud_error result = cmm_client_set_system_config(client, &config); result != AUD_SUCCESS) {
            return print_error(err, {kExitFailure, std::string("the connection manager refused the change: ") +
                                                       aud_error_message(result)});
        }
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeout_ms);
    for (;;) {
        const auto now_view = read_networks(options.timeout_ms);
        if (now_view && now_view->status == CMM_STATUS_READY && now_view->current == wanted) {
            out << format_networks(now_view->entries, options.json);
            return kExitSuccess;
        }
        if (Clock::now() >= deadline) {
            return print_error(err, {kExitFailure, "the connection manager did not apply '" + options.network +
                                                       "' within " + std::to_string(options.timeout_ms) + " ms"});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

}  // namespace

int run_cli_command(const CliOptions& options, std::ostream& out, std::ostream& err,
                    const std::atomic<bool>& interrupted) {
    return run_cli_command(options, std::cin, out, err, interrupted);
}

int run_cli_command(const CliOptions& options, std::istream& in, std::ostream& out, std::ostream& err,
                    const std::atomic<bool>& interrupted) {
    if (auto error = check_local(options.conmon, "--conmon")) {
        return print_error(err, *error);
    }
    if (auto error = check_local(options.cmm, "--cmm")) {
        return print_error(err, *error);
    }
    // A settings file is checked whole before anything starts.
    std::optional<UnitParameters> settings;
    if (options.command == CliCommand::Load || options.command == CliCommand::Apply ||
        options.command == CliCommand::Check) {
        std::string error;
        settings = read_settings(options.file, in, &error);
        if (!settings) {
            return print_error(err, {kExitUsage, error});
        }
    }
    AvnApiSession session(options);
    if (auto error = session.error(options)) {
        return print_error(err, *error);
    }
    DmLogin login(options, in);
    if (const auto& failure = login.failure()) {
        return print_error(err, {failure->status, failure->message});
    }
    switch (options.command) {
        case CliCommand::Info: return run_info(options, out, err);
        case CliCommand::Get: return run_get(options, out, err);
        case CliCommand::Set: return run_set(options, out, err);
        case CliCommand::Watch:
            if (options.device.empty()) {
                return run_site_watch(options, out, err, interrupted);
            }
            return run_watch(options, out, err, interrupted);
        case CliCommand::Networks: return run_networks(options, out, err);
        case CliCommand::UseNetwork: return run_use_network(options, out, err);
        case CliCommand::Save: return run_save(options, out, err);
        case CliCommand::Load: return run_load(options, *settings, out, err);
        case CliCommand::Apply: return run_apply(options, *settings, out, err, interrupted);
        case CliCommand::Discover: return run_discover(options, out, err, interrupted);
        case CliCommand::Domains: return run_domains(options, out);
        case CliCommand::Check: return run_check(options, *settings, out, err, interrupted);
        case CliCommand::Inventory: return run_inventory(options, out, err, interrupted);
    }
    return kExitFailure;
}
