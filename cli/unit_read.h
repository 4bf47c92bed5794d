// Reads many units at once, each over a transport of its own, sending them
// nothing that changes them: their parameters (a request for all values) and,
// when asked, their versions (the framed version queries). The work of check
// and inventory.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "device/transport.h"
#include "device/unit_parameters.h"

enum class UnitReadStatus {
    Read,                 // every parameter (and, when asked, the versions) came
    Unavailable,          // not found, or its report did not come in time
    ServicesUnavailable,  // the local conmon server does not answer
    NotStarted,           // interrupted, or the services were found away first
};

struct UnitReading {
    std::string device;
    UnitReadStatus status = UnitReadStatus::NotStarted;
    UnitParameters values;
    std::optional<uint16_t> bootloader;   // major << 8 | minor
    std::optional<uint32_t> application;  // major << 16 | minor
    std::string error;                    // what went wrong, without the unit's name
};

struct UnitReadLimits {
    uint32_t open_ms = 5000;    // opening the link
    uint32_t write_ms = 1000;   // the delivery of the request
    uint32_t answer_ms = 5000;  // the report of all values
};

// One unit over `transport` (unopened, bound to `device`; closed again
// before it returns). Every wait is bounded by the limits and the version
// queries' own attempts.
UnitReading read_unit(std::unique_ptr<ChannelTransport> transport, const std::string& device, bool versions,
                      const UnitReadLimits& limits);

// The units the options name (or, with --discovered, those found by
// browsing), read `options.jobs` at once over conmon transports. `done` is
// called for each unit as it finishes, one call at a time. The readings come
// back in the order of the names. Gives an error line when browsing could
// not start.
struct SiteReading {
    std::vector<UnitReading> units;
    bool services_down = false;  // the local conmon server does not answer
};
std::optional<std::string> read_site(const CliOptions& options, bool versions, const std::atomic<bool>& interrupted,
                                     const std::function<void(const UnitReading&)>& done, SiteReading* site);

// The line for a local conmon server that does not answer: the platform is
// at fault, not the units.
std::string conmon_server_down_message(const CliOptions& options);
