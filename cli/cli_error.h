// A command's failure as tpx2ctl reports it: an exit status and one line,
// and the lines that several commands give.
#pragma once

#include <iosfwd>
#include <string>

#include "cli/cli_options.h"

struct CliError {
    int status;  // a CliExitStatus
    std::string message;
};

// Writes "tpx2ctl: MESSAGE" to `err` and gives the status to exit with.
int print_error(std::ostream& err, const CliError& error);

std::string unit_unavailable(const std::string& device);

// The unit could not be reached because the local conmon server does not
// accept clients: the platform is at fault, not the unit.
CliError conmon_server_down(const CliOptions& options);
// The unit is in a managed domain whose Domain Manager is not connected.
CliError domain_manager_down(const std::string& device);
