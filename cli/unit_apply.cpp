#include "cli/unit_apply.h"

#include <array>
#include <chrono>
#include <optional>
#include <span>
#include <thread>

#include "device/parameters.h"

namespace {

using Clock = std::chrono::steady_clock;

// The longest report the parameter thread reads, too.
constexpr size_t kReceiveBufferSize = 256;
constexpr std::chrono::milliseconds kIdlePause{2};

class UnitLink {
public:
    UnitLink(ChannelTransport& transport, UnitApplyOutcome& outcome, const UnitApplyLimits& limits)
        : transport_(transport), outcome_(outcome), limits_(limits) {
        values_.device = outcome.device;
    }
    ~UnitLink() { transport_.close(); }
    UnitLink(const UnitLink&) = delete;
    UnitLink& operator=(const UnitLink&) = delete;

    bool open() {
        if (transport_.open(limits_.open_ms)) {
            outcome_.link_opened = true;
            return true;
        }
        return fail(transport_.service_down() ? "the conmon server does not answer"
                                              : "was not found or does not answer");
    }

    bool read_all() {
        const auto request = encode_request_all();
        return exchange(request, [this] { return values_.complete(); },
                        "was not found or does not answer",
                        "did not report its parameters within " + std::to_string(limits_.answer_ms) + " ms");
    }

    bool change(ParameterId id, int32_t value) {
        const int32_t from = *values_[id];
        const auto request = encode_set_parameter(1, static_cast<uint8_t>(id), value);
        const std::string what = std::string(parameter_name(id)) + "=" + std::to_string(value);
        if (!exchange(request, [&] { return values_[id] == value; }, "stopped answering (" + what + " was not delivered)",
                      "did not confirm " + what + " within " + std::to_string(limits_.answer_ms) + " ms")) {
            return false;
        }
        outcome_.changed.push_back({id, from, value});
        return true;
    }

    const UnitParameters& values() const { return values_; }

private:
    bool fail(const std::string& error) {
        outcome_.error = error;
        outcome_.status =
            transport_.service_down() ? UnitApplyStatus::ServicesUnavailable : UnitApplyStatus::Unavailable;
        return false;
    }

    // Sends `message` and reads reports until `done` or the answer limit.
    // When the link was lost and came back meanwhile, the unit's answer may
    // have been lost with it: the message is sent again.
    template <typename Done>
    bool exchange(std::span<const uint8_t> message, Done done, const std::string& not_delivered,
                  const std::string& not_answered) {
        if (!transport_.write_channel(message, ChannelTransport::kParameterChannel, limits_.write_ms)) {
            return fail(not_delivered);
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(limits_.answer_ms);
        std::array<uint8_t, kReceiveBufferSize> buffer;
        while (!done()) {
            if (Clock::now() >= deadline) {
                return fail(not_answered);
            }
            // One processing step at a time, so that the AVN API mutex passes
            // between the units in flight.
            const size_t n = transport_.read_channel(buffer, ChannelTransport::kParameterChannel, 0);
            if (n == 0) {
                // Meanwhile the event-loop thread or another unit's wait steps
                // the runtime and captures the report for this transport;
                // polling again at once would only wake them.
                std::this_thread::sleep_for(kIdlePause);
            }
            for (const ParameterValue& entry : parse_parameter_report(std::span(buffer).first(n))) {
                if (is_known_parameter(entry.id)) {
                    values_[static_cast<ParameterId>(entry.id)] = entry.value;
                }
            }
            if (transport_.take_link_restored() && !done() &&
                !transport_.write_channel(message, ChannelTransport::kParameterChannel, limits_.write_ms)) {
                return fail(not_delivered);
            }
        }
        return true;
    }

    ChannelTransport& transport_;
    UnitApplyOutcome& outcome_;
    const UnitApplyLimits& limits_;
    UnitParameters values_;
};

}  // namespace

UnitApplyOutcome apply_unit_settings(ChannelTransport& transport, const std::string& device,
                                     const UnitParameters& wanted, const UnitApplyLimits& limits) {
    UnitApplyOutcome outcome;
    outcome.device = device;
    UnitLink link(transport, outcome, limits);
    if (!link.open() || !link.read_all()) {
        return outcome;
    }
    for (ParameterId id : kAllParameters) {
        if (wanted[id] && link.values()[id] != wanted[id] && !link.change(id, *wanted[id])) {
            return outcome;
        }
    }
    outcome.status = UnitApplyStatus::Applied;
    return outcome;
}
