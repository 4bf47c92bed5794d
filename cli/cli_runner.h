// tpx2ctl's commands, run on the utility's own library code: the AVN API
// access layer, the conmon transport, the parameter thread and the
// device-information worker.
#pragma once

#include <atomic>
#include <iosfwd>

#include "cli/cli_options.h"

enum CliExitStatus : int {
    kExitSuccess = 0,
    kExitFailure = 1,
    kExitUsage = 2,
    kExitUnitUnavailable = 3,
    kExitServicesUnavailable = 4,
    kExitDmRefused = 5,
    kExitDmUntrusted = 6,
    kExitUnitsDiffer = 7,  // check: a unit differs from the settings file
};

// Runs one parsed command, writing results to `out` and one-line errors to
// `err`. `interrupted` ends `watch`, and stops `apply` from starting further
// units (those under way finish); every other wait is bounded by the
// command's time limit.
int run_cli_command(const CliOptions& options, std::ostream& out, std::ostream& err,
                    const std::atomic<bool>& interrupted);
// The same, with the standard input that --password-stdin reads.
int run_cli_command(const CliOptions& options, std::istream& in, std::ostream& out, std::ostream& err,
                    const std::atomic<bool>& interrupted);
