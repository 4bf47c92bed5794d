#include "cli/fleet_commands.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <mutex>
#include <ostream>
#include <vector>

#include "cli/cli_discover.h"
#include "cli/cli_error.h"
#include "cli/cli_output.h"
#include "cli/cli_runner.h"
#include "device/text_utf8.h"
#include "cli/unit_apply.h"
#include "cli/unit_connection.h"
#include "cli/work_pool.h"
#include "device/conmon_transport.h"
#include "device/parameter_thread.h"
#include "device/settings_file.h"

namespace {

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

}  // namespace

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
