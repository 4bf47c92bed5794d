// The command line of the commands for settings files and a site's units:
// save, load, apply, check and inventory.
#include "cli/command_options.h"

namespace {

constexpr const char* kCheckStatus =
    "Exit status of check: 0 every unit matches the file; 7 a unit differs; 3 a unit is not\n"
    "found or does not answer (before 7); 4 the AVN platform services are not reachable.\n";

}  // namespace

void add_save_command(CLI::App& app, CliOptions& options) {
    CLI::App* save =
        add_command(app, options, "save", CliCommand::Save,
                    "the seven parameters as a settings file (to standard\noutput without FILE)");
    device_option(*save, options.device);
    file_option(*save, options.file, "where to write (\"-\": standard output)");
    save->footer(kFileNote);
}

void add_load_command(CLI::App& app, CliOptions& options) {
    CLI::App* load = add_command(app, options, "load", CliCommand::Load,
                                 "apply a settings file: change what differs,\nconfirming each "
                                 "change from the unit's report;\nprints what changed");
    device_option(*load, options.device);
    file_option(*load, options.file, "the settings file (\"-\": standard input)")->required();
    load->footer(kFileNote);
}

void add_apply_command(CLI::App& app, CliOptions& options) {
    CLI::App* apply =
        add_command(app, options, "apply", CliCommand::Apply,
                    "load on many units, N at once (--jobs); a line per\nunit as it finishes, then "
                    "a summary. Ctrl-C stops\nstarting units and lets those under way finish");
    file_option(*apply, options.file, "the settings file (\"-\": standard input)")->required();
    apply->footer(kFileNote);
    add_unit_list(*apply, options, true);
}

void add_check_command(CLI::App& app, CliOptions& options) {
    CLI::App* check = add_command(app, options, "check", CliCommand::Check,
                                  "compare units with a settings file, sending nothing;\na line per unit "
                                  "(\"matches\" or what differs), then\na summary");
    file_option(*check, options.file, "the settings file (\"-\": standard input)")->required();
    add_unit_list(*check, options, true);
    check->footer(std::string(kFileNote) + kCheckStatus);
}

void add_inventory_command(CLI::App& app, CliOptions& options) {
    CLI::App* inventory = add_command(app, options, "inventory", CliCommand::Inventory,
                                      "a row per unit: name, manufacturer, model, versions\nand the seven "
                                      "parameters (without DEVICE: the\nunits found by browsing)");
    add_unit_list(*inventory, options, true);
    inventory->add_flag("--json", options.json, "one JSON object with a \"units\" array");
    inventory->add_flag("--csv", options.csv, "comma-separated values with a header row");
}

std::string check_inventory_command(CliOptions& options) {
    if (options.json && options.csv) {
        return "give --json or --csv, not both";
    }
    return check_unit_list(options);
}
