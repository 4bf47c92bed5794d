// tpx2ctl watch over several units (or those found by browsing) in one
// process: each unit on a thread of its own with a link of its own. A line
// (or JSON object) for each report, starting with the unit's name, printed
// once the report's entries are in and only when a value changed. A unit
// that goes away (it stops answering, or its link is lost and does not come
// back) is reported on a line of its own and the others go on; the command
// ends when every unit is gone, or when interrupted.
//
// Nothing that changes a unit is sent: every few seconds each unit is asked
// for its values, which tells a unit that still answers from one that has
// gone.
//
// Exit status: 0 interrupted with every unit still there; 3 a unit was not
// found or went away; 4 the conmon server does not answer (every unit lost
// with it).
#pragma once

#include <atomic>
#include <iosfwd>
#include <string>

#include "cli/cli_options.h"
#include "device/unit_parameters.h"

// How often a watched unit is asked whether it is still there, and how many
// unanswered requests in a row mean it is gone.
inline constexpr uint32_t kWatchCheckIntervalMs = 3000;
inline constexpr uint32_t kWatchMissedChecks = 2;

// "NAME: MicLf 0, MicHf 0, ..." or the object of get --json.
std::string format_watch_report(const UnitParameters& values, bool json);
// "NAME: gone: REASON" or {"device":NAME,"status":"gone","error":REASON}.
std::string format_watch_gone(const std::string& device, const std::string& reason, bool json);

int run_site_watch(const CliOptions& options, std::ostream& out, std::ostream& err,
                   const std::atomic<bool>& interrupted);
