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
        if (!transport_.service_down()) {
            return fail("was not found or does not answer");
        }
        return fail(transport_.through_domain_manager() ? "cannot be reached: the Domain Manager is not connected"
                                                        : "the conmon server does not answer");
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
        if (transport_.link_lost()) {
            outcome_.error = "lost its link: the Domain Manager connection dropped or the AVN domain changed";
        } else if (transport_.link_down_ms()) {
            outcome_.error = "lost its link, which did not come back within " +
                             std::to_string(limits_.restore_ms / 1000) + " s";
        } else {
            outcome_.error = error;
        }
        outcome_.status =
            transport_.service_down() ? UnitApplyStatus::ServicesUnavailable : UnitApplyStatus::Unavailable;
        outcome_.domain_manager = outcome_.status == UnitApplyStatus::ServicesUnavailable &&
                                  transport_.through_domain_manager();
        return false;
    }

    // While the link is being restored (the service that carries it
    // restarted, or a write went unanswered and the link is in doubt),
    // nothing is sent and nothing is judged: waits, reading, until the link
    // is back. False when it is lost for good or stays down past the bound.
    bool wait_for_link() {
        while (const std::optional<uint32_t> down = transport_.link_down_ms()) {
            if (*down >= limits_.restore_ms) {
                return false;
            }
            poll();  // the link's upkeep runs inside the transport's reads
        }
        return !transport_.link_lost();
    }

    // One processing step; a report read is taken into the values.
    void poll() {
        std::array<uint8_t, kReceiveBufferSize> buffer;
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
    }

    // Writes once the link is good; a write lost with the link is made again
    // once it is back.
    bool send(std::span<const uint8_t> message) {
        for (;;) {
            if (!wait_for_link()) {
                return false;
            }
            if (transport_.write_channel(message, ChannelTransport::kParameterChannel, limits_.write_ms)) {
                return true;
            }
            if (transport_.link_lost() || !transport_.link_down_ms()) {
                return false;
            }
        }
    }

    // Sends `message` and reads reports until `done` or the answer limit.
    // When the link was lost and came back meanwhile, the unit's answer may
    // have been lost with it: the message is sent again, and the time spent
    // without a link does not count against the answer limit.
    template <typename Done>
    bool exchange(std::span<const uint8_t> message, Done done, const std::string& not_delivered,
                  const std::string& not_answered) {
        if (!send(message)) {
            return fail(not_delivered);
        }
        auto deadline = Clock::now() + std::chrono::milliseconds(limits_.answer_ms);
        while (!done()) {
            if (transport_.link_lost()) {
                return fail(not_delivered);
            }
            if (transport_.link_down_ms()) {
                if (!wait_for_link()) {
                    return fail(not_delivered);
                }
                deadline = Clock::now() + std::chrono::milliseconds(limits_.answer_ms);
            }
            if (Clock::now() >= deadline) {
                return fail(not_answered);
            }
            // One processing step at a time, so that the AVN API mutex passes
            // between the units in flight.
            poll();
            if (transport_.take_link_restored() && !done() && !send(message)) {
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
