// tpx2ctl inventory: a row per unit with its name, manufacturer, model,
// bootloader and application versions and its seven parameters, read as
// check reads them (nothing that changes a unit is sent). Plain text is an
// aligned table; --csv is comma-separated values with a header row, quoted
// as RFC 4180 asks, for spreadsheets; --json is one object with a "units"
// array. A unit that does not answer still has its row, which says so.
//
// The manufacturer is the maker's when the unit answered (the link carries
// only messages under the maker's manufacturer ID); the model is known only
// for units found by browsing, whose advertisement names it.
//
// Exit status: 0 every unit answered; 3 a unit did not (or none was found);
// 4 the conmon server does not answer; 1 interrupted.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/unit_read.h"

struct InventoryRow {
    UnitReading reading;
    std::optional<uint64_t> model;  // from the unit's advertisement, when browsed
};

enum class InventoryFormat { Plain, Csv, Json };

std::string format_inventory(const std::vector<InventoryRow>& rows, InventoryFormat format);

// One field of a CSV record: quoted when it holds a comma, a quote, a line
// break or leading or trailing blanks, with each quote doubled.
std::string csv_field(const std::string& text);

int run_inventory(const CliOptions& options, std::ostream& out, std::ostream& err,
                  const std::atomic<bool>& interrupted);
