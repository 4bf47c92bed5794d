// The command line of discover.
#include "cli/command_options.h"

void add_discover_command(CLI::App& app, CliOptions& options) {
    CLI::App* discover =
        add_command(app, options, "discover", CliCommand::Discover,
                    "list the TPX-2 units advertised on the network\n(--all: every device of the "
                    "maker; --versions: with\ntheir versions)");
    discover
        ->add_option_function<std::string>(
            "--seconds",
            [&options](const std::string& value) {
                options.discover_seconds = bounded_number(
                    value, 1, 3600, "--seconds must be a number of seconds from 1 to 3600");
            },
            "how long to browse (default 5)")
        ->type_name("N");
    discover->add_flag("--all", options.discover_all,
                       "every device of the maker, not only TPX-2 units");
    discover->add_flag("--versions", options.discover_versions,
                       "with bootloader and application versions");
}
