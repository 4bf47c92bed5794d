// What tpx2ctl prints: plain text for people, or one JSON object per result
// for scripts. Pure: the texts only.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/parameters.h"

struct UnitVersions {
    std::string device;
    std::optional<uint16_t> bootloader;   // major << 8 | minor
    std::optional<uint32_t> application;  // major << 16 | minor
};

// The unit's values by parameter; a value the unit has not reported is empty.
struct UnitParameters {
    std::string device;
    std::array<std::optional<int32_t>, kAllParameters.size()> values{};

    std::optional<int32_t>& operator[](ParameterId id) { return values[static_cast<size_t>(id) - 1]; }
    const std::optional<int32_t>& operator[](ParameterId id) const {
        return values[static_cast<size_t>(id) - 1];
    }
    bool complete() const;
};

struct NetworkEntry {
    std::string name;
    bool current = false;
};

std::string format_versions(const UnitVersions& versions, bool json);
std::string format_parameters(const UnitParameters& parameters, bool json);
std::string format_networks(const std::vector<NetworkEntry>& networks, bool json);

// A JSON string literal, quotes included, with control characters escaped.
std::string json_string(std::string_view text);
