#include "cli/command_options.h"

#include <charconv>

namespace {

// An error line for a name that cannot be an AVN device name, else empty.
std::string check_device_name(const std::string& name) {
    if (name.empty()) {
        return "DEVICE must not be empty";
    }
    if (name.size() > 31) {
        return "DEVICE is longer than an AVN device name can be (31 characters)";
    }
    return {};
}

// AVN device names are compared without regard to letter case.
bool same_device_name(const std::string& a, const std::string& b) {
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string check_file_name(const std::string& file) {
    return file.empty() ? "FILE must not be empty (use \"-\" for the standard streams)" : "";
}

}  // namespace

std::optional<int64_t> parse_integer(const std::string& text) {
    int64_t value = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (begin != end && *begin == '+') {
        ++begin;
    }
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || ptr != end || begin == end) {
        return std::nullopt;
    }
    return value;
}

void fail_if(const std::string& error) {
    if (!error.empty()) {
        throw CLI::ValidationError(error);
    }
}

uint32_t bounded_number(const std::string& text, int64_t low, int64_t high,
                        const std::string& refusal) {
    const auto number = parse_integer(text);
    if (!number || *number < low || *number > high) {
        throw CLI::ValidationError(refusal);
    }
    return static_cast<uint32_t>(*number);
}

CLI::App* add_command(CLI::App& app, CliOptions& options, const char* name, CliCommand command,
                      const char* description) {
    CLI::App* sub = app.add_subcommand(name, description);
    sub->callback([&options, command] { options.command = command; });
    sub->set_help_flag("-h,--help", "print this command's help and exit");
    sub->footer("");
    sub->group("Commands");
    return sub;
}

CLI::Option* device_option(CLI::App& command, std::string& device) {
    return command
        .add_option_function<std::string>(
            "DEVICE",
            [&device](const std::string& name) {
                fail_if(check_device_name(name));
                device = name;
            },
            "the unit's AVN device name (any letter case)")
        ->type_name("")
        ->required();
}

CLI::Option* file_option(CLI::App& command, std::string& file, const std::string& help) {
    return command
        .add_option_function<std::string>(
            "FILE",
            [&file](const std::string& name) {
                fail_if(check_file_name(name));
                file = name;
            },
            help)
        ->type_name("");
}

void add_unit_list(CLI::App& command, CliOptions& options, bool jobs) {
    command
        .add_option("DEVICE", options.devices,
                    "the units, by AVN device name (\"--\" before a\nname that starts with '-')")
        ->type_name("");
    // CLI11 hands a "--" back to the program once every positional has had
    // its first value, so that names after it would be taken for options: a
    // positional that never fills (DEVICE takes every name) keeps it here.
    command.add_option("END")->group("");
    if (jobs) {
        command
            .add_option_function<std::string>(
                "--jobs",
                [&options](const std::string& value) {
                    options.jobs = bounded_number(value, 1, kMaxApplyJobs,
                                                  "--jobs must be a number from 1 to " +
                                                      std::to_string(kMaxApplyJobs) + ", got '" + value + "'");
                },
                "units worked on at once (default 8, at most 32)")
            ->type_name("N");
    }
    command.add_flag("--discovered", options.discovered, "the units found by browsing instead of DEVICE names");
    command
        .add_option_function<std::string>(
            "--seconds",
            [&options](const std::string& value) {
                options.discover_seconds =
                    bounded_number(value, 1, kMaxDiscoverSeconds,
                                   "--seconds must be a number from 1 to " + std::to_string(kMaxDiscoverSeconds) +
                                       ", got '" + value + "'");
            },
            "with --discovered: how long to browse (default 5, at most 60)")
        ->type_name("N");
}

std::string check_unit_list(CliOptions& options) {
    for (size_t i = 0; i < options.devices.size(); ++i) {
        fail_if(check_device_name(options.devices[i]));
        for (size_t k = 0; k < i; ++k) {
            if (same_device_name(options.devices[k], options.devices[i])) {
                return "unit '" + options.devices[i] + "' is named twice";
            }
        }
    }
    if (options.discovered && !options.devices.empty()) {
        return "give DEVICE names or --discovered, not both";
    }
    if (!options.discovered && options.devices.empty()) {
        if (options.command == CliCommand::Inventory) {
            options.discovered = true;  // the site's units
            return {};
        }
        const char* name = options.command == CliCommand::Apply   ? "apply"
                           : options.command == CliCommand::Check ? "check"
                                                                  : "watch";
        return std::string(name) + " needs at least one DEVICE (or --discovered)";
    }
    if (options.command == CliCommand::Watch) {
        if (options.devices.size() > kMaxApplyJobs) {
            return "watch watches at most " + std::to_string(kMaxApplyJobs) + " units at once";
        }
        // One unit named: the single-unit watch, printing whole reports.
        if (options.devices.size() == 1) {
            options.device = options.devices.front();
        }
    }
    return {};
}

const char* const kFileNote =
    "FILE \"-\" is standard input (load, apply, check) or output (save). A settings file is\n"
    "the object of 'get --json' with \"format_version\": 1; it may name fewer parameters.\n";

const char* const kParameters =
    "Parameters (NAME=VALUE, names in any letter case):\n"
    "  MicLf, MicHf, LineLf, LineHf   equaliser gain in dB, -12 to 12\n"
    "  Mode                           0 to 4\n"
    "  MicSensitivity                 0 (0 dBu) to 4 (-37 dBu)\n"
    "  MicGate                        0 disabled, 1 enabled\n";
