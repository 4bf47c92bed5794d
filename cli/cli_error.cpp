#include "cli/cli_error.h"

#include <ostream>

#include "cli/cli_runner.h"
#include "device/conmon_transport.h"

std::string unit_unavailable(const std::string& device) {
    return "unit '" + device + "' was not found or does not answer";
}

CliError conmon_server_down(const CliOptions& options) {
    const uint16_t port = options.conmon ? options.conmon->port : CONMON_CLIENT_DEFAULT_PORT;
    return {kExitServicesUnavailable, "the AVN platform service is not running: the conmon server on "
                                      "127.0.0.1:" + std::to_string(port) + " does not answer"};
}

CliError domain_manager_down(const std::string& device) {
    return {kExitServicesUnavailable,
            "unit '" + device + "' cannot be reached: the Domain Manager is not connected"};
}

int print_error(std::ostream& err, const CliError& error) {
    err << "tpx2ctl: " << error.message << "\n";
    return error.status;
}
