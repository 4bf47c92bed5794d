#include "cli/check_command.h"

#include <ostream>

#include <jansson.h>

#include "cli/cli_output.h"
#include "cli/cli_runner.h"

namespace {

const char* failure_status(UnitReadStatus status) {
    switch (status) {
        case UnitReadStatus::ServicesUnavailable: return "services-unavailable";
        case UnitReadStatus::NotStarted: return "not-started";
        default: return "unavailable";
    }
}

std::string plain_names(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) {
        if (!out.empty()) {
            out += ", ";
        }
        out += name;
    }
    return out;
}

json_t* json_names(const std::vector<std::string>& names) {
    json_t* array = json_array();
    for (const std::string& name : names) {
        json_array_append_new(array, json_text(name));
    }
    return array;
}

}  // namespace

std::string format_check_unit(const UnitReading& reading, const UnitParameters& settings, bool json) {
    const bool read = reading.status == UnitReadStatus::Read;
    const std::vector<SettingsDifference> differences =
        read ? settings_differences(settings, reading.values) : std::vector<SettingsDifference>{};
    if (json) {
        json_t* object = json_object();
        json_object_set_new(object, "device", json_text(reading.device));
        json_object_set_new(object, "status", json_text(!read                 ? failure_status(reading.status)
                                                        : differences.empty() ? "matches"
                                                                              : "differs"));
        if (!read) {
            json_object_set_new(object, "error", json_text(reading.error));
        }
        json_t* list = json_array();
        for (const SettingsDifference& difference : differences) {
            json_t* entry = json_object();
            json_object_set_new(entry, "parameter", json_text(parameter_name(difference.id)));
            json_object_set_new(entry, "unit", json_integer(*difference.current));
            json_object_set_new(entry, "file", json_integer(difference.wanted));
            json_array_append_new(list, entry);
        }
        json_object_set_new(object, "differences", list);
        return json_line(object);
    }
    if (!read) {
        return reading.device + ": FAILED: " + reading.error + "\n";
    }
    if (differences.empty()) {
        return reading.device + ": matches\n";
    }
    std::string line = reading.device + ": differs:";
    for (size_t i = 0; i < differences.size(); ++i) {
        line += std::string(i == 0 ? " " : ", ") + parameter_name(differences[i].id) + " " +
                std::to_string(*differences[i].current) + " (file " + std::to_string(differences[i].wanted) + ")";
    }
    return line + "\n";
}

std::string format_check_summary(const CheckSummary& summary, bool json) {
    if (json) {
        json_t* object = json_object();
        json_object_set_new(object, "units", json_integer(static_cast<json_int_t>(summary.units)));
        json_object_set_new(object, "matching", json_integer(static_cast<json_int_t>(summary.matching)));
        json_object_set_new(object, "differing", json_names(summary.differing));
        json_object_set_new(object, "failed", json_names(summary.failed));
        json_object_set_new(object, "not_started", json_names(summary.not_started));
        json_object_set_new(object, "interrupted", json_boolean(summary.interrupted));
        json_t* line = json_object();
        json_object_set_new(line, "summary", object);
        return json_line(line);
    }
    std::string out = summary.interrupted ? "interrupted: " : "";
    out += std::to_string(summary.matching) + " of " + std::to_string(summary.units) +
           (summary.units == 1 ? " unit matches" : " units match");
    if (!summary.differing.empty()) {
        out += "; differ: " + plain_names(summary.differing);
    }
    if (!summary.failed.empty()) {
        out += "; failed: " + plain_names(summary.failed);
    }
    if (!summary.not_started.empty()) {
        out += "; not checked: " + plain_names(summary.not_started);
    }
    return out + "\n";
}

int run_check(const CliOptions& options, const UnitParameters& settings, std::ostream& out, std::ostream& err,
              const std::atomic<bool>& interrupted) {
    SiteReading site;
    const auto done = [&](const UnitReading& reading) {
        out << format_check_unit(reading, settings, options.json) << std::flush;
    };
    if (std::optional<std::string> error = read_site(options, false, interrupted, done, &site)) {
        err << "tpx2ctl: " << *error << "\n";
        return kExitFailure;
    }
    if (site.units.empty()) {
        err << "tpx2ctl: no TPX-2 unit was found on the network in " << options.discover_seconds << " s\n";
        return kExitUnitUnavailable;
    }
    CheckSummary summary;
    summary.units = site.units.size();
    summary.interrupted = interrupted;
    bool any_unavailable = false;
    for (const UnitReading& reading : site.units) {
        if (reading.status == UnitReadStatus::NotStarted) {
            summary.not_started.push_back(reading.device);
        } else if (reading.status != UnitReadStatus::Read) {
            summary.failed.push_back(reading.device);
            any_unavailable = true;
        } else if (settings_differences(settings, reading.values).empty()) {
            ++summary.matching;
        } else {
            summary.differing.push_back(reading.device);
        }
    }
    out << format_check_summary(summary, options.json) << std::flush;
    if (site.services_down) {
        err << "tpx2ctl: " << conmon_server_down_message(options) << "\n";
        return kExitServicesUnavailable;
    }
    if (any_unavailable) {
        return kExitUnitUnavailable;
    }
    if (!summary.differing.empty()) {
        return kExitUnitsDiffer;
    }
    return summary.not_started.empty() ? kExitSuccess : kExitFailure;
}
