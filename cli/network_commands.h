// tpx2ctl's commands for the connection manager's network interfaces:
// networks (those offered, the one in use marked) and use-network (choose
// one, or none). Each runs with the AVN API started.
#pragma once

#include <iosfwd>

#include "cli/cli_options.h"

int run_networks(const CliOptions& options, std::ostream& out, std::ostream& err);
int run_use_network(const CliOptions& options, std::ostream& out, std::ostream& err);
