#include "cli/cli_output.h"

#include <cstdio>

#include "device/framed_command.h"

namespace {

std::string json_version(const std::optional<std::string>& text) {
    return text ? json_string(*text) : "null";
}

std::string trimmed(std::string text) {
    const size_t start = text.find_first_not_of(' ');
    return start == std::string::npos ? std::string{} : text.substr(start);
}

const char* status_name(UnitApplyStatus status) {
    switch (status) {
        case UnitApplyStatus::Applied: return "applied";
        case UnitApplyStatus::Unavailable: return "unavailable";
        case UnitApplyStatus::ServicesUnavailable: return "services-unavailable";
        case UnitApplyStatus::Failed: return "failed";
    }
    return "failed";
}

std::string json_names(const std::vector<std::string>& names) {
    std::string out = "[";
    for (size_t i = 0; i < names.size(); ++i) {
        out += i > 0 ? "," : "";
        out += json_string(names[i]);
    }
    return out + "]";
}

std::string plain_names(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) {
        out += out.empty() ? "" : ", ";
        out += name;
    }
    return out;
}

}  // namespace

bool UnitParameters::complete() const {
    for (const auto& value : values) {
        if (!value) {
            return false;
        }
    }
    return true;
}

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string format_versions(const UnitVersions& versions, bool json) {
    const std::optional<std::string> bootloader =
        versions.bootloader ? std::optional(format_bootloader_version(*versions.bootloader)) : std::nullopt;
    const std::optional<std::string> application =
        versions.application ? std::optional(format_application_version(*versions.application))
                             : std::nullopt;
    if (json) {
        return "{\"device\":" + json_string(versions.device) + ",\"bootloader\":" + json_version(bootloader) +
               ",\"application\":" + json_version(application) + "}\n";
    }
    return versions.device + "\n  Bootloader version:   " + bootloader.value_or("none") +
           "\n  Application version:  " + application.value_or("none") + "\n";
}

std::string format_parameters(const UnitParameters& parameters, bool json) {
    std::string out;
    if (json) {
        out = "{\"device\":" + json_string(parameters.device) + ",\"parameters\":{";
        bool first = true;
        for (ParameterId id : kAllParameters) {
            if (!parameters[id]) {
                continue;
            }
            if (!first) {
                out += ',';
            }
            out += json_string(parameter_name(id));
            out += ':';
            out += std::to_string(*parameters[id]);
            first = false;
        }
        out += "}}\n";
        return out;
    }
    out = parameters.device + "\n";
    for (ParameterId id : kAllParameters) {
        char line[128];
        if (parameters[id]) {
            std::snprintf(line, sizeof line, "  %-15s %4d  %s\n", parameter_name(id), *parameters[id],
                          trimmed(parameter_value_text(id, *parameters[id])).c_str());
        } else {
            std::snprintf(line, sizeof line, "  %-15s    ?  (not reported)\n", parameter_name(id));
        }
        out += line;
    }
    return out;
}

std::string format_networks(const std::vector<NetworkEntry>& networks, bool json) {
    std::string out;
    if (json) {
        out = "{\"interfaces\":[";
        for (size_t i = 0; i < networks.size(); ++i) {
            if (i > 0) {
                out += ',';
            }
            out += "{\"name\":";
            out += json_string(networks[i].name);
            out += networks[i].current ? ",\"current\":true}" : ",\"current\":false}";
        }
        out += "]}\n";
        return out;
    }
    if (networks.empty()) {
        return "The connection manager offers no network interfaces.\n";
    }
    for (const NetworkEntry& network : networks) {
        out += (network.current ? "* " : "  ") + network.name + "\n";
    }
    return out;
}

std::string format_domains(const std::vector<DomainEntry>& domains, bool json) {
    std::string out;
    if (json) {
        out = "{\"domains\":[";
        for (size_t i = 0; i < domains.size(); ++i) {
            out += i > 0 ? "," : "";
            out += "{\"name\":" + json_string(domains[i].name) + ",\"id\":" + std::to_string(domains[i].id) +
                   (domains[i].current ? ",\"current\":true}" : ",\"current\":false}");
        }
        return out + "]}\n";
    }
    if (domains.empty()) {
        return "The Domain Manager offers no domains to this user.\n";
    }
    for (const DomainEntry& domain : domains) {
        out += (domain.current ? "* " : "  ") + domain.name + "  (id " + std::to_string(domain.id) + ")\n";
    }
    return out;
}

std::string format_changes(const std::vector<ConfirmedChange>& changes) {
    std::string out;
    for (const ConfirmedChange& change : changes) {
        out += out.empty() ? "" : ", ";
        out += std::string(parameter_name(change.id)) + " " + std::to_string(change.from) + " -> " +
               std::to_string(change.to);
    }
    return out;
}

std::string format_unit_outcome(const UnitApplyOutcome& outcome, bool json) {
    if (json) {
        std::string out = "{\"device\":" + json_string(outcome.device) + ",\"status\":\"" +
                          status_name(outcome.status) + "\"";
        if (outcome.status != UnitApplyStatus::Applied) {
            out += ",\"error\":" + json_string(outcome.error);
        }
        out += ",\"changed\":[";
        for (size_t i = 0; i < outcome.changed.size(); ++i) {
            const ConfirmedChange& change = outcome.changed[i];
            out += i > 0 ? "," : "";
            out += "{\"parameter\":" + json_string(parameter_name(change.id)) +
                   ",\"from\":" + std::to_string(change.from) + ",\"to\":" + std::to_string(change.to) + "}";
        }
        return out + "]}\n";
    }
    if (outcome.status == UnitApplyStatus::Applied) {
        return outcome.device + ": " +
               (outcome.changed.empty() ? "applied, nothing to change" : "applied, changed " + format_changes(outcome.changed)) +
               "\n";
    }
    std::string out = outcome.device + ": FAILED: " + outcome.error;
    if (!outcome.changed.empty()) {
        out += " (changed before that: " + format_changes(outcome.changed) + ")";
    }
    return out + "\n";
}

std::string format_apply_summary(size_t units, size_t applied, const std::vector<std::string>& failed,
                                 const std::vector<std::string>& not_started, bool interrupted, bool json) {
    if (json) {
        return "{\"summary\":{\"units\":" + std::to_string(units) + ",\"applied\":" + std::to_string(applied) +
               ",\"failed\":" + json_names(failed) + ",\"not_started\":" + json_names(not_started) +
               ",\"interrupted\":" + (interrupted ? "true" : "false") + "}}\n";
    }
    std::string out = interrupted ? "interrupted: " : "";
    out += std::to_string(applied) + " of " + std::to_string(units) + (units == 1 ? " unit" : " units") + " applied";
    if (!failed.empty()) {
        out += "; failed: " + plain_names(failed);
    }
    if (!not_started.empty()) {
        out += "; not started: " + plain_names(not_started);
    }
    return out + "\n";
}
