#include "cli/cli_output.h"

#include <cstdio>
#include <memory>

#include <jansson.h>

#include "device/text_utf8.h"
#include "device/framed_command.h"

namespace {

struct JsonDelete {
    void operator()(json_t* value) const { json_decref(value); }
};
using Json = std::unique_ptr<json_t, JsonDelete>;

json_t* json_version(const std::optional<std::string>& text) {
    return text ? json_text(*text) : json_null();
}

// Adds `value` to `object` under `key`, taking the reference.
void put(json_t* object, const char* key, json_t* value) {
    json_object_set_new(object, key, value);
}

std::string trimmed(std::string text) {
    const size_t start = text.find_first_not_of(' ');
    return start == std::string::npos ? std::string{} : text.substr(start);
}

const char* status_name(UnitApplyStatus status) {
    switch (status) {
        case UnitApplyStatus::Applied:
            return "applied";
        case UnitApplyStatus::Unavailable:
            return "unavailable";
        case UnitApplyStatus::ServicesUnavailable:
            return "services-unavailable";
        case UnitApplyStatus::Failed:
            return "failed";
    }
    return "failed";
}

json_t* json_names(const std::vector<std::string>& names) {
    json_t* array = json_array();
    for (const std::string& name : names) {
        json_array_append_new(array, json_text(name));
    }
    return array;
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

json_t* json_text(std::string_view text) {
    const std::string valid = valid_utf8(text);
    return json_stringn(valid.data(), valid.size());
}

// One line of compact JSON, members in the order they were added. Written
// straight into the string: the memory jansson would hand back belongs to
// whatever allocator the process has given it.
std::string json_line(json_t* value) {
    const Json owned(value);
    std::string out;
    const auto append = [](const char* buffer, size_t size, void* data) -> int {
        static_cast<std::string*>(data)->append(buffer, size);
        return 0;
    };
    json_dump_callback(owned.get(), append, &out, JSON_COMPACT | JSON_ENCODE_ANY);
    return out + "\n";
}

std::string json_string(std::string_view text) {
    std::string line = json_line(json_text(text));
    line.pop_back();
    return line;
}

std::string format_versions(const UnitVersions& versions, bool json) {
    const std::optional<std::string> bootloader =
        versions.bootloader ? std::optional(format_bootloader_version(*versions.bootloader))
                            : std::nullopt;
    const std::optional<std::string> application =
        versions.application ? std::optional(format_application_version(*versions.application))
                             : std::nullopt;
    if (json) {
        json_t* object = json_object();
        put(object, "device", json_text(versions.device));
        put(object, "bootloader", json_version(bootloader));
        put(object, "application", json_version(application));
        return json_line(object);
    }
    return versions.device + "\n  Bootloader version:   " + bootloader.value_or("none") +
           "\n  Application version:  " + application.value_or("none") + "\n";
}

std::string format_parameters(const UnitParameters& parameters, bool json) {
    std::string out;
    if (json) {
        json_t* object = json_object();
        put(object, "device", json_text(parameters.device));
        json_t* values = json_object();
        for (ParameterId id : kAllParameters) {
            if (parameters[id]) {
                put(values, parameter_name(id), json_integer(*parameters[id]));
            }
        }
        put(object, "parameters", values);
        return json_line(object);
    }
    out = parameters.device + "\n";
    for (ParameterId id : kAllParameters) {
        char line[128];
        if (parameters[id]) {
            std::snprintf(line, sizeof line, "  %-15s %4d  %s\n", parameter_name(id),
                          *parameters[id],
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
        json_t* list = json_array();
        for (const NetworkEntry& network : networks) {
            json_t* entry = json_object();
            put(entry, "name", json_text(network.name));
            put(entry, "current", json_boolean(network.current));
            json_array_append_new(list, entry);
        }
        json_t* object = json_object();
        put(object, "interfaces", list);
        return json_line(object);
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
        json_t* list = json_array();
        for (const DomainEntry& domain : domains) {
            json_t* entry = json_object();
            put(entry, "name", json_text(domain.name));
            put(entry, "id", json_integer(domain.id));
            put(entry, "current", json_boolean(domain.current));
            json_array_append_new(list, entry);
        }
        json_t* object = json_object();
        put(object, "domains", list);
        return json_line(object);
    }
    if (domains.empty()) {
        return "The Domain Manager offers no domains to this user.\n";
    }
    for (const DomainEntry& domain : domains) {
        out += (domain.current ? "* " : "  ") + domain.name + "  (id " + std::to_string(domain.id) +
               ")\n";
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
        json_t* object = json_object();
        put(object, "device", json_text(outcome.device));
        put(object, "status", json_text(status_name(outcome.status)));
        if (outcome.status != UnitApplyStatus::Applied) {
            put(object, "error", json_text(outcome.error));
        }
        json_t* changed = json_array();
        for (const ConfirmedChange& change : outcome.changed) {
            json_t* entry = json_object();
            put(entry, "parameter", json_text(parameter_name(change.id)));
            put(entry, "from", json_integer(change.from));
            put(entry, "to", json_integer(change.to));
            json_array_append_new(changed, entry);
        }
        put(object, "changed", changed);
        return json_line(object);
    }
    if (outcome.status == UnitApplyStatus::Applied) {
        return outcome.device + ": " +
               (outcome.changed.empty() ? "applied, nothing to change"
                                        : "applied, changed " + format_changes(outcome.changed)) +
               "\n";
    }
    std::string out = outcome.device + ": FAILED: " + outcome.error;
    if (!outcome.changed.empty()) {
        out += " (changed before that: " + format_changes(outcome.changed) + ")";
    }
    return out + "\n";
}

std::string format_apply_summary(size_t units, size_t applied,
                                 const std::vector<std::string>& failed,
                                 const std::vector<std::string>& not_started, bool interrupted,
                                 bool json) {
    if (json) {
        json_t* summary = json_object();
        put(summary, "units", json_integer(static_cast<json_int_t>(units)));
        put(summary, "applied", json_integer(static_cast<json_int_t>(applied)));
        put(summary, "failed", json_names(failed));
        put(summary, "not_started", json_names(not_started));
        put(summary, "interrupted", json_boolean(interrupted));
        json_t* object = json_object();
        put(object, "summary", summary);
        return json_line(object);
    }
    std::string out = interrupted ? "interrupted: " : "";
    out += std::to_string(applied) + " of " + std::to_string(units) +
           (units == 1 ? " unit" : " units") + " applied";
    if (!failed.empty()) {
        out += "; failed: " + plain_names(failed);
    }
    if (!not_started.empty()) {
        out += "; not started: " + plain_names(not_started);
    }
    return out + "\n";
}
