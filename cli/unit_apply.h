// Puts a settings file's values on one unit over a transport of its own: the
// work of load, and of apply for each of its units.
//
// It opens the transport, asks for all values, and then sends one change
// for each parameter whose value differs, waiting for the unit's report of
// the new value before it sends the next: the transport keeps only the
// newest message and every write discards an unread one, so changes are
// never sent ahead of their confirmation. The transport is closed again
// before it returns. Every wait is bounded by the limits.
//
// Several of these may run at once on different threads, each with its own
// transport: the transports serialise on the AVN API mutex.
#pragma once

#include <cstdint>
#include <string>

#include "cli/cli_output.h"
#include "device/transport.h"

struct UnitApplyLimits {
    uint32_t open_ms = 5000;    // opening the link
    uint32_t write_ms = 1000;   // the delivery of each message
    uint32_t answer_ms = 5000;  // the report of all values, and each confirmation
    // How long a lost link may take to come back (the service that carries
    // it restarted) before the unit counts as failed.
    uint32_t restore_ms = 15000;
};

// `transport` is unopened and bound to `device`; `wanted` holds the values to
// put on the unit (those it leaves empty are not touched).
UnitApplyOutcome apply_unit_settings(ChannelTransport& transport, const std::string& device,
                                     const UnitParameters& wanted, const UnitApplyLimits& limits);
