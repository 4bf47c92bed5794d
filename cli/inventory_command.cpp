#include "cli/inventory_command.h"

#include <algorithm>
#include <ostream>

#include <jansson.h>

#include "cli/cli_output.h"
#include "cli/cli_runner.h"
#include "device/text_utf8.h"
#include "device/framed_command.h"
#include "device/manufacturer.h"

namespace {

constexpr const char* kMakerName = "Vornix";
constexpr const char* kNone = "-";

bool answered(const InventoryRow& row) {
    return row.reading.status == UnitReadStatus::Read;
}

std::string status_text(const InventoryRow& row) {
    switch (row.reading.status) {
        case UnitReadStatus::Read: return "ok";
        case UnitReadStatus::NotStarted: return "not read (interrupted)";
        default: return row.reading.error;
    }
}

const char* status_name(UnitReadStatus status) {
    switch (status) {
        case UnitReadStatus::Read: return "ok";
        case UnitReadStatus::Unavailable: return "unavailable";
        case UnitReadStatus::ServicesUnavailable: return "services-unavailable";
        case UnitReadStatus::NotStarted: return "not-started";
    }
    return "unavailable";
}

// The row's fields as text, in the column order of the header; "" for what
// is not known.
std::vector<std::string> fields(const InventoryRow& row) {
    const UnitReading& r = row.reading;
    std::vector<std::string> out;
    out.push_back(valid_utf8(r.device));
    out.push_back(answered(row) ? kMakerName : "");
    out.push_back(answered(row) && row.model ? std::to_string(*row.model) : "");
    out.push_back(r.bootloader ? format_bootloader_version(*r.bootloader) : "");
    out.push_back(r.application ? format_application_version(*r.application) : "");
    for (ParameterId id : kAllParameters) {
        out.push_back(answered(row) && r.values[id] ? std::to_string(*r.values[id]) : "");
    }
    out.push_back(status_text(row));
    return out;
}

std::vector<std::string> header() {
    std::vector<std::string> out = {"name", "manufacturer", "model", "bootloader", "application"};
    for (ParameterId id : kAllParameters) {
        out.push_back(parameter_name(id));
    }
    out.push_back("status");
    return out;
}

// Characters, not bytes, for the alignment of names that are not ASCII.
size_t display_width(const std::string& text) {
    return static_cast<size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string format_plain(const std::vector<InventoryRow>& rows) {
    std::vector<std::vector<std::string>> table = {header()};
    for (const InventoryRow& row : rows) {
        table.push_back(fields(row));
        for (std::string& field : table.back()) {
            field = field.empty() ? kNone : field;
        }
    }
    std::vector<size_t> widths(table[0].size(), 0);
    for (const auto& line : table) {
        for (size_t i = 0; i < line.size(); ++i) {
            widths[i] = std::max(widths[i], display_width(line[i]));
        }
    }
    std::string out;
    for (const auto& line : table) {
        std::string text;
        for (size_t i = 0; i < line.size(); ++i) {
            text += line[i];
            if (i + 1 < line.size()) {
                text += std::string(widths[i] - display_width(line[i]) + 2, ' ');
            }
        }
        out += text + "\n";
    }
    return out;
}

std::string csv_record(const std::vector<std::string>& record) {
    std::string line;
    for (size_t i = 0; i < record.size(); ++i) {
        if (i > 0) {
            line += ',';
        }
        line += csv_field(record[i]);
    }
    // Line feeds, which every CSV reader takes; on Windows the text-mode
    // standard output makes them CRLF, as RFC 4180 has it.
    return line + "\n";
}

std::string format_csv(const std::vector<InventoryRow>& rows) {
    std::string out = csv_record(header());
    for (const InventoryRow& row : rows) {
        out += csv_record(fields(row));
    }
    return out;
}

json_t* json_or_null(const std::string& text) {
    return text.empty() ? json_null() : json_text(text);
}

std::string format_json(const std::vector<InventoryRow>& rows) {
    json_t* units = json_array();
    for (const InventoryRow& row : rows) {
        const UnitReading& r = row.reading;
        json_t* unit = json_object();
        json_object_set_new(unit, "name", json_text(r.device));
        json_object_set_new(unit, "status", json_text(status_name(r.status)));
        if (!answered(row)) {
            json_object_set_new(unit, "error", json_text(status_text(row)));
        }
        json_object_set_new(unit, "manufacturer", answered(row) ? json_text(kMakerName) : json_null());
        json_object_set_new(unit, "model",
                            answered(row) && row.model ? json_integer(static_cast<json_int_t>(*row.model))
                                                       : json_null());
        json_object_set_new(unit, "bootloader",
                            json_or_null(r.bootloader ? format_bootloader_version(*r.bootloader) : ""));
        json_object_set_new(unit, "application",
                            json_or_null(r.application ? format_application_version(*r.application) : ""));
        json_t* parameters = json_object();
        for (ParameterId id : kAllParameters) {
            json_object_set_new(parameters, parameter_name(id),
                                answered(row) && r.values[id] ? json_integer(*r.values[id]) : json_null());
        }
        json_object_set_new(unit, "parameters", parameters);
        json_array_append_new(units, unit);
    }
    json_t* object = json_object();
    json_object_set_new(object, "units", units);
    return json_line(object);
}

}  // namespace

std::string csv_field(const std::string& text) {
    const bool quote = text.find_first_of(",\"\r\n") != std::string::npos ||
                       (!text.empty() && (text.front() == ' ' || text.back() == ' '));
    if (!quote) {
        return text;
    }
    std::string out = "\"";
    for (char c : text) {
        out += c == '"' ? "\"\"" : std::string(1, c);
    }
    return out + "\"";
}

std::string format_inventory(const std::vector<InventoryRow>& rows, InventoryFormat format) {
    switch (format) {
        case InventoryFormat::Csv: return format_csv(rows);
        case InventoryFormat::Json: return format_json(rows);
        case InventoryFormat::Plain: break;
    }
    return format_plain(rows);
}

int run_inventory(const CliOptions& options, std::ostream& out, std::ostream& err,
                  const std::atomic<bool>& interrupted) {
    SiteReading site;
    if (std::optional<std::string> error = read_site(options, true, interrupted, [](const UnitReading&) {}, &site)) {
        err << "tpx2ctl: " << *error << "\n";
        return kExitFailure;
    }
    if (site.units.empty()) {
        err << "tpx2ctl: no TPX-2 unit was found on the network in " << options.discover_seconds << " s\n";
        return kExitUnitUnavailable;
    }
    std::vector<InventoryRow> rows;
    bool any_unavailable = false;
    bool any_not_started = false;
    for (UnitReading& reading : site.units) {
        any_unavailable = any_unavailable || (reading.status != UnitReadStatus::Read &&
                                              reading.status != UnitReadStatus::NotStarted);
        any_not_started = any_not_started || reading.status == UnitReadStatus::NotStarted;
        InventoryRow row{std::move(reading), std::nullopt};
        // Browsing keeps only the maker's units of the TPX-2's model.
        if (options.discovered) {
            row.model = kTpx2ModelId;
        }
        rows.push_back(std::move(row));
    }
    const InventoryFormat format = options.csv    ? InventoryFormat::Csv
                                   : options.json ? InventoryFormat::Json
                                                  : InventoryFormat::Plain;
    out << format_inventory(rows, format) << std::flush;
    if (site.services_down) {
        err << "tpx2ctl: " << conmon_server_down_message(options) << "\n";
        return kExitServicesUnavailable;
    }
    if (any_unavailable) {
        return kExitUnitUnavailable;
    }
    return any_not_started ? kExitFailure : kExitSuccess;
}
