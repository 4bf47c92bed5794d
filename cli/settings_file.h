// The settings file of save, load and apply: a unit's parameters as the JSON
// object that `get --json` prints, with a format version first:
//
//     {
//       "format_version": 1,
//       "device": "TPX2-Stage",
//       "parameters": {
//         "MicLf": -3,
//         ...
//       }
//     }
//
// A file is read from outside, so the reader is strict and checks everything
// before anything is sent: it takes only this shape (JSON whitespace, an
// optional UTF-8 byte order mark), refuses unknown keys, a key given twice,
// another format version and any value that is not a whole number in its
// parameter's range. "device" is optional and only informative; "parameters"
// may name fewer than all seven, but at least one. Pure: texts only.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "cli/cli_output.h"

inline constexpr int kSettingsFormatVersion = 1;
// Far above any real settings file (about 200 bytes); larger input is refused
// unread.
inline constexpr size_t kMaxSettingsFileSize = 64 * 1024;

// The file for the reported values (those not reported are left out).
std::string format_settings_file(const UnitParameters& parameters);

// The values the file sets, and its "device" (empty when absent); nullopt and
// one line for the user naming the fault (with its line and column where it
// has one) otherwise.
std::optional<UnitParameters> parse_settings_file(std::string_view text, std::string* error);
