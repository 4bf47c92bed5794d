// The TPX-2's seven processing parameters: ids, values, list indexes and
// display texts, and the three parameter messages (request all, set one,
// the unit's report).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class ParameterId : uint8_t {
    MicLf = 1,
    MicHf = 2,
    LineLf = 3,
    LineHf = 4,
    Mode = 5,
    MicSensitivity = 6,
    MicGate = 7,
};

enum class ParameterMessageType : uint8_t {
    RequestAll = 0,
    SetParameter = 1,
    ParameterReport = 2,
};

inline constexpr std::array<ParameterId, 7> kAllParameters = {
    ParameterId::MicLf, ParameterId::MicHf,          ParameterId::LineLf, ParameterId::LineHf,
    ParameterId::Mode,  ParameterId::MicSensitivity, ParameterId::MicGate,
};

// One (id, value) pair of a report. Ids are whatever the unit sent (below 0x80).
struct ParameterValue {
    uint8_t id = 0;
    int32_t value = 0;

    friend bool operator==(const ParameterValue&, const ParameterValue&) = default;
};

std::array<uint8_t, 1> encode_request_all();
std::array<uint8_t, 6> encode_set_parameter(uint8_t command, uint8_t id, int32_t value);

// The pairs of a report's entries with ids below 0x80, in payload order.
// Anything that is not a report yields nothing; an entry that runs past the
// end of the payload ends the parse (the pairs before it are kept).
std::vector<ParameterValue> parse_parameter_report(std::span<const uint8_t> payload);

// List index <-> value, plain wrapping 32-bit arithmetic, never clamped.
int32_t index_for_value(uint8_t id, int32_t value);
int32_t value_for_index(uint8_t id, int32_t index);

bool is_known_parameter(uint8_t id);
const char* parameter_name(ParameterId id);  // "MicLf", ...
std::optional<ParameterId> parameter_from_name(std::string_view name);  // any letter case
int32_t parameter_min_value(ParameterId id);
int32_t parameter_max_value(ParameterId id);

// The display list of a parameter, index 0 first ("+12 dB", ..., "-12 dB").
size_t parameter_list_size(ParameterId id);
std::string parameter_display_text(ParameterId id, int32_t index);  // empty outside the list
std::string parameter_value_text(ParameterId id, int32_t value);

// The list index selected while no unit is connected.
int32_t disconnected_index(ParameterId id);
