#include "cli/unit_commands.h"

#include <chrono>
#include <memory>
#include <ostream>

#include "cli/cli_error.h"
#include "cli/cli_output.h"
#include "cli/cli_runner.h"
#include "device/text_utf8.h"
#include "cli/unit_connection.h"
#include "device/app_messages.h"
#include "device/conmon_transport.h"
#include "device/device_info_worker.h"
#include "device/message_queue.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kPollMs = 50;
// The worker's own limits: opening (5 s) and two version queries of five
// attempts 500 ms apart, each write waiting up to 2.5 s.
constexpr uint32_t kVersionQueryBoundMs = 5000 + 2 * 5 * 3000;

}  // namespace

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
        // Inside a managed domain the unit is reached through the Domain
        // Manager, not the local conmon server.
        const bool in_domain = options.dm.mode != CliDmMode::None && !options.dm.domain.empty();
        return print_error(err, in_domain ? domain_manager_down(options.device) : conmon_server_down(options));
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
