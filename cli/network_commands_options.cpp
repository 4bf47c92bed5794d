// The command line of the commands for the connection manager's interfaces:
// networks and use-network.
#include "cli/command_options.h"

void add_networks_command(CLI::App& app, CliOptions& options) {
    add_command(app, options, "networks", CliCommand::Networks,
                "the interfaces the connection manager offers; the\none in use marked");
}

void add_use_network_command(CLI::App& app, CliOptions& options) {
    add_command(app, options, "use-network", CliCommand::UseNetwork,
                "choose the interface (\"None\" for none)")
        ->add_option_function<std::string>(
            "NAME",
            [&options](const std::string& name) {
                fail_if(name.empty() ? "NAME must not be empty (use \"None\" for none)" : "");
                options.network = name;
            },
            "the interface's name")
        ->type_name("")
        ->required();
}
