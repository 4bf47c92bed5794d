// tpx2ctl check: reads each unit and compares it with a settings file,
// sending nothing that changes a unit. A line (or JSON object) per unit as it
// finishes, "matches" or the parameters that differ with both values, then a
// summary.
//
// Exit status: 0 every unit matches; kExitUnitsDiffer (7) a unit differs;
// 3 a unit was not found or did not answer (it comes before 7: the site
// could not be checked whole); 4 the conmon server does not answer; 1
// interrupted before every unit was checked.
#pragma once

#include <atomic>
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/unit_read.h"
#include "device/settings_file.h"

// One unit's line (or JSON object): its reading compared with the file.
std::string format_check_unit(const UnitReading& reading, const UnitParameters& settings, bool json);

struct CheckSummary {
    size_t units = 0;
    size_t matching = 0;
    std::vector<std::string> differing;
    std::vector<std::string> failed;
    std::vector<std::string> not_started;
    bool interrupted = false;
};
std::string format_check_summary(const CheckSummary& summary, bool json);

// Runs the command with the AVN API started and the file read.
int run_check(const CliOptions& options, const UnitParameters& settings, std::ostream& out, std::ostream& err,
              const std::atomic<bool>& interrupted);
