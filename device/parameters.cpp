#include "device/parameters.h"

#include <cstdio>

#include "avn/runtime/byte_order.h"

namespace {

constexpr int32_t kEqualiserMaxGain = 12;
constexpr size_t kValueSize = 4;

constexpr std::array<const char*, 5> kModeTexts = {
    "Mic/Line Mix (Mono link)",
    "Mic/Line Mix (Stereo link, Mono-summed)",
    "Mic/Line Mix (Stereo link, Stereo Out)",
    "Mic/Line Split (Mono link)",
    "Mic/Line Split (Stereo link, Mono-summed)",
};
constexpr std::array<const char*, 5> kSensitivityTexts = {
    "0 dBu", "-10 dBu", "-20 dBu", "-30 dBu", "-37 dBu",
};
constexpr std::array<const char*, 2> kGateTexts = {"Disabled", "Enabled"};

bool is_equaliser(uint8_t id) {
    return id >= 1 && id <= 4;
}

// 12 - x in two's complement without signed overflow.
int32_t reflect_gain(int32_t x) {
    return static_cast<int32_t>(static_cast<uint32_t>(kEqualiserMaxGain) - static_cast<uint32_t>(x));
}

std::string equaliser_text(int32_t gain) {
    char text[16];
    if (gain > 0) {
        std::snprintf(text, sizeof text, "+%d dB", gain);
    } else if (gain == 0) {
        std::snprintf(text, sizeof text, " %d dB", gain);
    } else {
        std::snprintf(text, sizeof text, "%d dB", gain);
    }
    return text;
}

template <size_t N>
std::string list_text(const std::array<const char*, N>& texts, int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= N) {
        return {};
    }
    return texts[static_cast<size_t>(index)];
}

char lower_ascii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower_ascii(a[i]) != lower_ascii(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::array<uint8_t, 1> encode_request_all() {
    return {static_cast<uint8_t>(ParameterMessageType::RequestAll)};
}

std::array<uint8_t, 6> encode_set_parameter(uint8_t command, uint8_t id, int32_t value) {
    std::array<uint8_t, 6> message{command, id};
    byte_order::store_be32(&message[2], static_cast<uint32_t>(value));
    return message;
}

std::vector<ParameterValue> parse_parameter_report(std::span<const uint8_t> payload) {
    std::vector<ParameterValue> pairs;
    if (payload.empty() ||
        payload[0] != static_cast<uint8_t>(ParameterMessageType::ParameterReport)) {
        return pairs;
    }
    size_t pos = 1;
    while (pos < payload.size()) {
        const uint8_t id = payload[pos++];
        const size_t left = payload.size() - pos;
        if (id < 0x80) {
            if (left < kValueSize) {
                break;  // truncated entry
            }
            pairs.push_back({id, static_cast<int32_t>(byte_order::load_be32(&payload[pos]))});
            pos += kValueSize;
        } else {
            if (left < 1 || left - 1 < payload[pos]) {
                break;  // truncated extended entry
            }
            pos += 1 + size_t{payload[pos]};
        }
    }
    return pairs;
}

int32_t index_for_value(uint8_t id, int32_t value) {
    return is_equaliser(id) ? reflect_gain(value) : value;
}

int32_t value_for_index(uint8_t id, int32_t index) {
    return is_equaliser(id) ? reflect_gain(index) : index;
}

bool is_known_parameter(uint8_t id) {
    return id >= 1 && id <= 7;
}

const char* parameter_name(ParameterId id) {
    switch (id) {
        case ParameterId::MicLf: return "MicLf";
        case ParameterId::MicHf: return "MicHf";
        case ParameterId::LineLf: return "LineLf";
        case ParameterId::LineHf: return "LineHf";
        case ParameterId::Mode: return "Mode";
        case ParameterId::MicSensitivity: return "MicSensitivity";
        case ParameterId::MicGate: return "MicGate";
    }
    return "";
}

std::optional<ParameterId> parameter_from_name(std::string_view name) {
    for (ParameterId id : kAllParameters) {
        if (equal_ignoring_case(name, parameter_name(id))) {
            return id;
        }
    }
    return std::nullopt;
}

int32_t parameter_min_value(ParameterId id) {
    return is_equaliser(static_cast<uint8_t>(id)) ? -kEqualiserMaxGain : 0;
}

int32_t parameter_max_value(ParameterId id) {
    switch (id) {
        case ParameterId::Mode: return static_cast<int32_t>(kModeTexts.size()) - 1;
        case ParameterId::MicSensitivity: return static_cast<int32_t>(kSensitivityTexts.size()) - 1;
        case ParameterId::MicGate: return static_cast<int32_t>(kGateTexts.size()) - 1;
        default: return kEqualiserMaxGain;
    }
}

size_t parameter_list_size(ParameterId id) {
    return static_cast<size_t>(parameter_max_value(id) - parameter_min_value(id) + 1);
}

std::string parameter_display_text(ParameterId id, int32_t index) {
    switch (id) {
        case ParameterId::Mode: return list_text(kModeTexts, index);
        case ParameterId::MicSensitivity: return list_text(kSensitivityTexts, index);
        case ParameterId::MicGate: return list_text(kGateTexts, index);
        default:
            if (index < 0 || static_cast<size_t>(index) >= parameter_list_size(id)) {
                return {};
            }
            return equaliser_text(value_for_index(static_cast<uint8_t>(id), index));
    }
}

std::string parameter_value_text(ParameterId id, int32_t value) {
    return parameter_display_text(id, index_for_value(static_cast<uint8_t>(id), value));
}

int32_t disconnected_index(ParameterId id) {
    switch (id) {
        case ParameterId::Mode: return 0;
        case ParameterId::MicSensitivity: return 4;
        case ParameterId::MicGate: return 1;
        default: return kEqualiserMaxGain;  // the 0 dB entry
    }
}
