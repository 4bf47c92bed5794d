// The settings file that tpx2ctl's save, load, apply and check and the
// utility's File menu write and read: a unit's parameters as the JSON
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
//
// Both programs write and read it through this one component, so that a file
// saved by one loads in the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/unit_parameters.h"

inline constexpr int kSettingsFormatVersion = 1;
// Far above any real settings file (about 200 bytes); larger input is refused
// unread.
inline constexpr size_t kMaxSettingsFileSize = 64 * 1024;

// The file for the reported values (those not reported are left out). The
// device name is written only when it is one the reader takes back (see
// settings_device_name_fits): a name holding control characters or bytes
// that are not UTF-8 is left out rather than written in a changed form.
std::string format_settings_file(const UnitParameters& parameters);

// Whether the reader takes this name as "device": 1 to 31 bytes of valid
// UTF-8 without control characters.
bool settings_device_name_fits(std::string_view name);

// The first reported value outside its parameter's range, if any: such a
// value cannot come from the unit's own controls, and a file holding it would
// be refused when read, so it is not saved.
std::optional<ParameterId> out_of_range_parameter(const UnitParameters& parameters);

// One parameter that the file sets to another value than the unit has.
struct SettingsDifference {
    ParameterId id;
    std::optional<int32_t> current;  // empty when the unit did not report it
    int32_t wanted;
};

// The parameters `wanted` sets whose value differs from `current`, in
// parameter order; those `wanted` leaves empty are not compared.
std::vector<SettingsDifference> settings_differences(const UnitParameters& wanted, const UnitParameters& current);

// The values the file sets, and its "device" (empty when absent); nullopt and
// one line for the user naming the fault (with its line and column where it
// has one) otherwise.
std::optional<UnitParameters> parse_settings_file(std::string_view text, std::string* error);
