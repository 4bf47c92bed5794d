// tpx2ctl's commands for one unit: info (its versions), get (its
// parameters), set (change parameters, confirmed from its reports) and watch
// of one unit (its reports as they arrive). Each runs with the AVN API
// started; watch of several units is watch_command's.
#pragma once

#include <atomic>
#include <iosfwd>

#include "cli/cli_options.h"

int run_info(const CliOptions& options, std::ostream& out, std::ostream& err);
int run_get(const CliOptions& options, std::ostream& out, std::ostream& err);
int run_set(const CliOptions& options, std::ostream& out, std::ostream& err);
// Until `interrupted`.
int run_watch(const CliOptions& options, std::ostream& out, std::ostream& err, const std::atomic<bool>& interrupted);
