// tpx2ctl discover: browses the maker's conmon devices as the utility's
// Discover dialog does, for a number of seconds, and lists the TPX-2 units
// (or, with --all, every device of the maker), each once.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_options.h"

struct DiscoveredUnit {
    std::string name;  // the unit's host name, which is its device name
    std::array<uint8_t, 8> manufacturer{};
    uint64_t model = 0;                   // the 8-byte model id, big-endian
    std::optional<uint16_t> bootloader;   // major << 8 | minor
    std::optional<uint32_t> application;  // major << 16 | minor
};

// The manufacturer id as its id text ("Vornix", or "_" and hexadecimal).
std::string discovered_manufacturer_text(const DiscoveredUnit& unit);
// One line per unit for people.
std::string format_discovered_unit(const DiscoveredUnit& unit, bool versions);
// {"units":[...]} in name order; the version keys only with `versions`.
std::string format_discovered_units_json(std::vector<DiscoveredUnit> units, bool versions);

// Browses as discover does for the options' seconds, without printing, and
// gives the TPX-2 units' names in name order; an error line when browsing
// could not start. For apply --discovered.
std::optional<std::string> discover_unit_names(const CliOptions& options, const std::atomic<bool>& interrupted,
                                               std::vector<std::string>* names);

// Runs the command with the AVN API started; `interrupted` ends the browse early.
int run_discover(const CliOptions& options, std::ostream& out, std::ostream& err,
                 const std::atomic<bool>& interrupted);
