#include "cli/unit_connection.h"

#include <chrono>
#include <memory>

#include "cli/cli_runner.h"
#include "device/text_utf8.h"
#include "device/app_messages.h"
#include "device/conmon_transport.h"
#include "device/parameter_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kPollMs = 50;
constexpr uint32_t kConnectBoundMs = kParameterOpenLimitMs + 2000;

// The unit was reached through the Domain Manager, and that road is gone:
// its connection dropped, or the AVN domain changed under the link.
CliError domain_lost(const std::string& device) {
    return {kExitServicesUnavailable, "lost the link to unit '" + device +
                                          "': the Domain Manager connection dropped or the AVN domain changed"};
}

// A connected unit's link was lost and did not come back in time: the
// conmon server went away, or the unit is no longer behind it.
CliError link_lost(const CliOptions& options, const WindowMessage& failure) {
    if (failure.lparam == static_cast<intptr_t>(kLinkDomainLost)) {
        return domain_lost(options.device);
    }
    if (failure.lparam == static_cast<intptr_t>(kLinkServiceDown)) {
        const uint16_t port = options.conmon ? options.conmon->port : CONMON_CLIENT_DEFAULT_PORT;
        return {kExitServicesUnavailable,
                "the AVN platform service stopped: the conmon server on 127.0.0.1:" + std::to_string(port) +
                    " did not come back within " + std::to_string(kLinkRestoreLimitMs / 1000) + " s"};
    }
    return {kExitUnitUnavailable, "unit '" + options.device + "' is no longer reachable"};
}

// Applies a parameter report message to the values.
bool apply_report(UnitParameters& parameters, const WindowMessage& message) {
    if (message.message != WM_APP_PARAM_REPORT || !is_known_parameter(static_cast<uint8_t>(message.wparam))) {
        return false;
    }
    parameters[static_cast<ParameterId>(message.wparam)] = static_cast<int32_t>(message.lparam);
    return true;
}

}  // namespace

UnitConnection::UnitConnection(const CliOptions& options) : options_(options) {
    const std::string& device = options.device;
    values.device = device;
    start_parameter_thread(window_.target(),
                           std::make_unique<ConMonTransport>(wide_from_utf8(device).c_str()));
}

UnitConnection::~UnitConnection() {
    stop_parameter_thread();
}

std::optional<CliError> UnitConnection::wait_connected() {
    const auto message = wait_any({WM_APP_CONNECTED, WM_APP_CONNECT_FAILED}, kConnectBoundMs);
    if (message && message->message == WM_APP_CONNECT_FAILED && message->wparam == kLinkServiceDown) {
        return conmon_server_down(options_);
    }
    if (message && message->message == WM_APP_CONNECT_FAILED && message->wparam == kLinkDomainLost) {
        return domain_manager_down(values.device);
    }
    if (!message || message->message != WM_APP_CONNECTED) {
        return CliError{kExitUnitUnavailable, unit_unavailable(values.device)};
    }
    return std::nullopt;
}

// Waits until every parameter was reported (or the limit passed).
std::optional<CliError> UnitConnection::wait_complete(uint32_t limit_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
    while (!values.complete()) {
        if (parameter_link_restoring()) {
            // The unit is judged on a good link only; the thread ends a
            // link that does not come back.
            deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
        }
        if (Clock::now() >= deadline) {
            return CliError{kExitUnitUnavailable,
                            "unit '" + values.device + "' did not report its parameters within " +
                                std::to_string(limit_ms) + " ms"};
        }
        if (auto error = take_one(kPollMs)) {
            return error;
        }
    }
    return std::nullopt;
}

// Sends one change and waits until the unit reports the new value.
std::optional<CliError> UnitConnection::change(const CliParameterChange& change, uint32_t limit_ms) {
    const auto id = static_cast<uint32_t>(change.id);
    queue_parameter_change(1, id, change.value);
    auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
    bool sent = false;
    while (!sent || values[change.id] != change.value) {
        if (parameter_link_restoring()) {
            deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
        }
        if (Clock::now() >= deadline) {
            return CliError{kExitUnitUnavailable, "unit '" + values.device + "' did not confirm " +
                                                      parameter_name(change.id) + "=" +
                                                      std::to_string(change.value)};
        }
        const auto message = window_.wait(kPollMs);
        if (!message) {
            continue;
        }
        if (message->message == WM_APP_PARAM_SENT && message->wparam == id) {
            sent = true;
        } else if (message->message == WM_APP_SEND_FAILED) {
            if (message->wparam == 0) {
                return link_lost(options_, *message);
            }
            return CliError{kExitUnitUnavailable, "unit '" + values.device + "' stopped answering"};
        }
        apply_report(values, *message);
    }
    return std::nullopt;
}

// One message; an error when the unit could not be reached. Sets
// `reported` when it was a report.
std::optional<CliError> UnitConnection::take_one(uint32_t limit_ms, bool* reported) {
    const auto message = window_.wait(limit_ms);
    if (!message) {
        return std::nullopt;
    }
    if (message->message == WM_APP_SEND_FAILED) {
        if (message->wparam == 0 && message->lparam != 0) {
            return link_lost(options_, *message);
        }
        return CliError{kExitUnitUnavailable, unit_unavailable(values.device)};
    }
    const bool applied = apply_report(values, *message);
    if (reported != nullptr) {
        *reported = applied;
    }
    return std::nullopt;
}

std::optional<WindowMessage> UnitConnection::wait_any(std::initializer_list<uint32_t> wanted, uint32_t limit_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
    while (Clock::now() < deadline) {
        const auto message = window_.wait(kPollMs);
        if (!message) {
            continue;
        }
        for (uint32_t w : wanted) {
            if (message->message == w) {
                return message;
            }
        }
        apply_report(values, *message);
    }
    return std::nullopt;
}
