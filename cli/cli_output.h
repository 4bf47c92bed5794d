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
#include "device/unit_parameters.h"

struct UnitVersions {
    std::string device;
    std::optional<uint16_t> bootloader;   // major << 8 | minor
    std::optional<uint32_t> application;  // major << 16 | minor
};

struct DomainEntry {
    std::string name;
    uint16_t id = 0;
    bool current = false;
};

struct NetworkEntry {
    std::string name;
    bool current = false;
};

// What load and apply did to one unit.
struct ConfirmedChange {
    ParameterId id;
    int32_t from;
    int32_t to;
};

enum class UnitApplyStatus {
    Applied,              // every parameter of the file is confirmed
    Unavailable,          // not found, or a report or confirmation did not come
    ServicesUnavailable,  // the local conmon server does not answer
    Failed,               // anything else
};

struct UnitApplyOutcome {
    std::string device;
    UnitApplyStatus status = UnitApplyStatus::Failed;
    bool link_opened = false;
    // ServicesUnavailable because of the Domain Manager (the unit's link ran,
    // or was to run, through a managed domain), not the local conmon server.
    bool domain_manager = false;
    // The changes the unit confirmed, in the order they were made; on a
    // failure, those made before it.
    std::vector<ConfirmedChange> changed;
    std::string error;  // what went wrong, without the unit's name
};

std::string format_versions(const UnitVersions& versions, bool json);
std::string format_parameters(const UnitParameters& parameters, bool json);
std::string format_networks(const std::vector<NetworkEntry>& networks, bool json);
// One line per domain, "*" before the current one; or {"domains":[...]}.
std::string format_domains(const std::vector<DomainEntry>& domains, bool json);

// "MicLf 0 -> -3, Mode 0 -> 2".
std::string format_changes(const std::vector<ConfirmedChange>& changes);
// One unit's line (or JSON object) of load and apply.
std::string format_unit_outcome(const UnitApplyOutcome& outcome, bool json);
// apply's closing line (or {"summary":...}): how many units of all were
// applied, then the failed and the not started units, each in the order they
// were given.
std::string format_apply_summary(size_t units, size_t applied,
                                 const std::vector<std::string>& failed,
                                 const std::vector<std::string>& not_started, bool interrupted,
                                 bool json);

// A JSON string literal, quotes included, with control characters escaped.
std::string json_string(std::string_view text);

// The JSON results are jansson values. A string of text, made valid UTF-8
// first (names come from the network and may hold any bytes).
typedef struct json_t json_t;
json_t* json_text(std::string_view text);
// One line of compact JSON, members in the order they were added; takes the
// reference to `value`.
std::string json_line(json_t* value);
