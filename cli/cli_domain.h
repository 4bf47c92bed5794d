// tpx2ctl inside a managed network: logging in to the Domain Manager the
// options name (found by address, by DNS, or the AVN Cloud service), with
// the password from standard input or the environment, and the domains
// command. Runs with the AVN API started.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "cli/cli_options.h"

struct CliDmFailure {
    int status;           // a CliExitStatus
    std::string message;  // one line
};

// A login for the length of one command: logs in on construction (when the
// options name a Domain Manager) and out again when destroyed.
class DmLogin {
  public:
    DmLogin(const CliOptions& options, std::istream& in);
    ~DmLogin();
    DmLogin(const DmLogin&) = delete;
    DmLogin& operator=(const DmLogin&) = delete;

    const std::optional<CliDmFailure>& failure() const { return failure_; }

  private:
    bool logged_in_ = false;
    std::optional<CliDmFailure> failure_;
};

// Lists the domains of the logged-in Domain Manager.
int run_domains(const CliOptions& options, std::ostream& out);
