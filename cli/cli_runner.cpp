// The dispatcher of tpx2ctl's commands: what every command shares (the
// local services' addresses, the settings file, the AVN API, the Domain
// Manager login), then the command's family.
#include "cli/cli_runner.h"

#include <iostream>
#include <optional>
#include <ostream>

#include "avn/api/avn_access.h"
#include "cli/check_command.h"
#include "cli/cli_discover.h"
#include "cli/cli_domain.h"
#include "cli/cli_error.h"
#include "cli/fleet_commands.h"
#include "cli/inventory_command.h"
#include "cli/network_commands.h"
#include "cli/settings_input.h"
#include "cli/unit_commands.h"
#include "cli/watch_command.h"
#include "device/settings_file.h"

namespace {

// ---- The AVN API for the length of one command ----

class AvnApiSession {
public:
    explicit AvnApiSession(const CliOptions& options) {
        avn_api_options api;
        api.connect_limit_ms = options.timeout_ms;
        if (options.cmm) {
            api.cmm_port = options.cmm->port;
        }
        if (options.conmon) {
            api.conmon_port = options.conmon->port;
        }
        result_ = start_avn_api(&api);
    }
    ~AvnApiSession() {
        if (result_ == AUD_SUCCESS) {
            stop_avn_api();
        }
    }
    AvnApiSession(const AvnApiSession&) = delete;
    AvnApiSession& operator=(const AvnApiSession&) = delete;

    std::optional<CliError> error(const CliOptions& options) const {
        if (result_ == AUD_SUCCESS) {
            return std::nullopt;
        }
        const uint16_t port = options.cmm ? options.cmm->port : CMM_DEFAULT_PORT;
        if (result_ == AUD_ERR_NOTRUNNING) {
            return CliError{kExitServicesUnavailable,
                            "the AVN platform service is not running: no connection manager answered on "
                            "127.0.0.1:" + std::to_string(port)};
        }
        return CliError{kExitServicesUnavailable,
                        std::string("could not start the AVN API: ") + aud_error_message(result_)};
    }

private:
    aud_error result_ = AUD_ERR_SYSTEM;
};

std::optional<CliError> check_local(const std::optional<CliEndpoint>& endpoint, const char* option) {
    if (endpoint && endpoint->host != "127.0.0.1") {
        return CliError{kExitUsage, std::string(option) +
                                        ": the AVN platform services are local; use 127.0.0.1 (or localhost)"};
    }
    return std::nullopt;
}

}  // namespace

int run_cli_command(const CliOptions& options, std::ostream& out, std::ostream& err,
                    const std::atomic<bool>& interrupted) {
    return run_cli_command(options, std::cin, out, err, interrupted);
}

int run_cli_command(const CliOptions& options, std::istream& in, std::ostream& out, std::ostream& err,
                    const std::atomic<bool>& interrupted) {
    if (auto error = check_local(options.conmon, "--conmon")) {
        return print_error(err, *error);
    }
    if (auto error = check_local(options.cmm, "--cmm")) {
        return print_error(err, *error);
    }
    // A settings file is checked whole before anything starts.
    std::optional<UnitParameters> settings;
    if (command_reads_settings(options.command)) {
        std::string error;
        settings = read_settings(options.file, in, &error);
        if (!settings) {
            return print_error(err, {kExitUsage, error});
        }
    }
    AvnApiSession session(options);
    if (auto error = session.error(options)) {
        return print_error(err, *error);
    }
    DmLogin login(options, in);
    if (const auto& failure = login.failure()) {
        return print_error(err, {failure->status, failure->message});
    }
    switch (options.command) {
        case CliCommand::Info: return run_info(options, out, err);
        case CliCommand::Get: return run_get(options, out, err);
        case CliCommand::Set: return run_set(options, out, err);
        case CliCommand::Watch:
            if (options.device.empty()) {
                return run_site_watch(options, out, err, interrupted);
            }
            return run_watch(options, out, err, interrupted);
        case CliCommand::Networks: return run_networks(options, out, err);
        case CliCommand::UseNetwork: return run_use_network(options, out, err);
        case CliCommand::Save: return run_save(options, out, err);
        case CliCommand::Load: return run_load(options, *settings, out, err);
        case CliCommand::Apply: return run_apply(options, *settings, out, err, interrupted);
        case CliCommand::Discover: return run_discover(options, out, err, interrupted);
        case CliCommand::Domains: return run_domains(options, out);
        case CliCommand::Check: return run_check(options, *settings, out, err, interrupted);
        case CliCommand::Inventory: return run_inventory(options, out, err, interrupted);
    }
    return kExitFailure;
}
