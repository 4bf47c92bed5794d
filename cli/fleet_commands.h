// tpx2ctl's commands for settings files: save (a unit's parameters to a
// file), load (a file onto one unit) and apply (onto many, a few at once).
// check and inventory, which read a site's units, are check_command's and
// inventory_command's. Each runs with the AVN API started and, for load and
// apply, the file read and checked whole.
#pragma once

#include <atomic>
#include <iosfwd>

#include "cli/cli_options.h"
#include "device/unit_parameters.h"

int run_save(const CliOptions& options, std::ostream& out, std::ostream& err);
int run_load(const CliOptions& options, const UnitParameters& settings, std::ostream& out, std::ostream& err);
// `interrupted` stops it from starting further units; those under way finish.
int run_apply(const CliOptions& options, const UnitParameters& settings, std::ostream& out, std::ostream& err,
              const std::atomic<bool>& interrupted);
