// The command line of the commands for one unit: info, get, set and watch.
#include <vector>

#include "cli/command_options.h"

void add_info_command(CLI::App& app, CliOptions& options) {
    device_option(
        *add_command(app, options, "info", CliCommand::Info, "bootloader and application versions"),
        options.device);
}

void add_get_command(CLI::App& app, CliOptions& options) {
    device_option(*add_command(app, options, "get", CliCommand::Get, "the seven parameters"),
                  options.device);
}

void add_set_command(CLI::App& app, CliOptions& options) {
    CLI::App* set = add_command(app, options, "set", CliCommand::Set,
                                "change parameters, then confirm them from the unit's report");
    device_option(*set, options.device);
    set->footer(kParameters);
    set->add_option_function<std::vector<std::string>>(
           "NAME=VALUE",
           [&options](const std::vector<std::string>& texts) {
               for (const std::string& text : texts) {
                   std::string error;
                   const auto change = parse_parameter_change(text, &error);
                   fail_if(error);
                   options.changes.push_back(*change);
               }
           },
           "a parameter and its new value (see below)")
        ->type_name("");
}

std::string check_set_command(CliOptions& options) {
    return options.changes.empty() ? "set needs at least one NAME=VALUE" : "";
}

// One unit, several, or those found by browsing; one named is the
// single-unit watch (see check_unit_list).
void add_watch_command(CLI::App& app, CliOptions& options) {
    CLI::App* watch = add_command(app, options, "watch", CliCommand::Watch,
                                  "print each report as it arrives, until interrupted;\nwith several units (or "
                                  "--discovered) a line per\nreport, each starting with the unit's name");
    add_unit_list(*watch, options, false);
}
