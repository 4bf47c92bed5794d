// A connection to one unit through the parameter thread, for the length of
// one command: the unit's values as it reports them, and changes confirmed
// from its reports.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>

#include "cli/cli_error.h"
#include "cli/cli_options.h"
#include "device/message_queue.h"
#include "device/unit_parameters.h"

class UnitConnection {
public:
    explicit UnitConnection(const CliOptions& options);
    ~UnitConnection();
    UnitConnection(const UnitConnection&) = delete;
    UnitConnection& operator=(const UnitConnection&) = delete;

    std::optional<CliError> wait_connected();

    // Waits until every parameter was reported (or the limit passed).
    std::optional<CliError> wait_complete(uint32_t limit_ms);

    // Sends one change and waits until the unit reports the new value.
    std::optional<CliError> change(const CliParameterChange& change, uint32_t limit_ms);

    // One message; an error when the unit could not be reached. Sets
    // `reported` when it was a report.
    std::optional<CliError> take_one(uint32_t limit_ms, bool* reported = nullptr);

    UnitParameters values;

private:
    std::optional<WindowMessage> wait_any(std::initializer_list<uint32_t> wanted, uint32_t limit_ms);

    const CliOptions& options_;
    MessageQueue window_;
};
