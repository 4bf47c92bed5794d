// A unit's seven parameter values as far as they are known, with the unit's
// AVN device name: what a unit reported, or what a settings file sets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "device/parameters.h"

// The values by parameter; a value not reported (or not set) is empty.
struct UnitParameters {
    std::string device;
    std::array<std::optional<int32_t>, kAllParameters.size()> values{};

    std::optional<int32_t>& operator[](ParameterId id) { return values[static_cast<size_t>(id) - 1]; }
    const std::optional<int32_t>& operator[](ParameterId id) const { return values[static_cast<size_t>(id) - 1]; }
    bool complete() const {
        for (const auto& value : values) {
            if (!value) {
                return false;
            }
        }
        return true;
    }
};
