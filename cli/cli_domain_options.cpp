// The command line of domains; the Domain Manager options it needs are the
// program's own (cli_options.cpp).
#include "cli/command_options.h"

void add_domains_command(CLI::App& app, CliOptions& options) {
    add_command(app, options, "domains", CliCommand::Domains,
                "log in to the Domain Manager and list its domains\n(\"*\" marks the current one)");
}
