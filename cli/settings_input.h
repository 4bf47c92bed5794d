// Reading the settings file that load, apply and check take.
#pragma once

#include <istream>
#include <optional>
#include <string>

#include "device/settings_file.h"

// The settings in the file (`in` for "-"), validated whole; nullopt and an
// error line for the user (status 2: nothing was sent) otherwise.
std::optional<UnitParameters> read_settings(const std::string& path, std::istream& in, std::string* error);
