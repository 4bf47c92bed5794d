#include "cli/watch_command.h"

#include <array>
#include <chrono>
#include <mutex>
#include <ostream>
#include <span>
#include <thread>
#include <vector>

#include <jansson.h>

#include "cli/cli_discover.h"
#include "cli/cli_output.h"
#include "cli/cli_runner.h"
#include "device/text_utf8.h"
#include "cli/unit_read.h"
#include "device/conmon_transport.h"
#include "device/parameter_thread.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kReceiveBufferSize = 256;
constexpr milliseconds kIdlePause{20};
// A report's entries may come in several messages close together: a line is
// printed once none has come for this long.
constexpr milliseconds kReportSettle{60};

enum class WatchEnd { Interrupted, UnitGone, ServiceGone, DomainLost };

struct WatchShared {
    const CliOptions& options;
    std::ostream& out;
    const std::atomic<bool>& interrupted;
    std::mutex output_mutex;

    void print(const std::string& text) {
        std::lock_guard lock(output_mutex);
        out << text << std::flush;
    }
};

// One unit, watched until it goes away or the command is interrupted.
class UnitWatch {
public:
    UnitWatch(WatchShared& shared, std::string device)
        : shared_(shared), device_(std::move(device)), transport_(wide_from_utf8(device_).c_str()) {
        values_.device = device_;
    }

    WatchEnd run() {
        if (!transport_.open(kParameterOpenLimitMs)) {
            return gone(!transport_.service_down()           ? "was not found or does not answer"
                        : transport_.through_domain_manager() ? "the Domain Manager is not connected"
                                                              : "the conmon server does not answer");
        }
        missed_ = ask_for_values() ? 0 : 1;
        next_check_ = Clock::now() + milliseconds(kWatchCheckIntervalMs);
        while (!shared_.interrupted) {
            if (std::optional<WatchEnd> end = step()) {
                return *end;
            }
        }
        return WatchEnd::Interrupted;
    }

private:
    std::optional<WatchEnd> step() {
        std::array<uint8_t, kReceiveBufferSize> buffer;
        const size_t n = transport_.read_channel(buffer, ChannelTransport::kParameterChannel, 0);
        const auto now = Clock::now();
        if (n > 0) {
            for (const ParameterValue& entry : parse_parameter_report(std::span(buffer).first(n))) {
                if (is_known_parameter(entry.id)) {
                    values_[static_cast<ParameterId>(entry.id)] = entry.value;
                    last_report_ = now;
                    pending_ = true;
                    reported_ = true;
                }
            }
            return std::nullopt;
        }
        if (pending_ && now - last_report_ >= kReportSettle) {
            pending_ = false;
            // Only what changed: the periodic requests bring the same values.
            if (values_.values != printed_.values) {
                printed_ = values_;
                shared_.print(format_watch_report(values_, shared_.options.json));
            }
        }
        if (transport_.link_lost()) {
            // Gone for good: the domain changed or its Domain Manager dropped.
            gone("its link was lost: the Domain Manager connection dropped or the AVN domain changed");
            return WatchEnd::DomainLost;
        }
        if (const std::optional<uint32_t> down = transport_.link_down_ms()) {
            // The link is being restored by the transport; give it its time.
            if (*down >= kLinkRestoreLimitMs) {
                gone("its link was lost: the conmon server did not come back within " +
                     std::to_string(kLinkRestoreLimitMs / 1000) + " s");
                return WatchEnd::ServiceGone;
            }
        } else if (transport_.take_link_restored() || now >= next_check_) {
            if (!ask_for_values()) {
                if (++missed_ >= kWatchMissedChecks) {
                    return gone(transport_.service_down() ? "the conmon server does not answer"
                                : reported_                 ? "stopped answering"
                                                            : "was not found or does not answer");
                }
            } else {
                missed_ = 0;
            }
            next_check_ = Clock::now() + milliseconds(kWatchCheckIntervalMs);
        }
        std::this_thread::sleep_for(kIdlePause);
        return std::nullopt;
    }

    bool ask_for_values() {
        return transport_.write_channel(encode_request_all(), ChannelTransport::kParameterChannel,
                                        kParameterWriteLimitMs);
    }

    WatchEnd gone(const std::string& reason) {
        shared_.print(format_watch_gone(device_, reason, shared_.options.json));
        return transport_.service_down() ? WatchEnd::ServiceGone : WatchEnd::UnitGone;
    }

    WatchShared& shared_;
    std::string device_;
    ConMonTransport transport_;
    UnitParameters values_;
    UnitParameters printed_;
    Clock::time_point last_report_{};
    Clock::time_point next_check_{};
    bool pending_ = false;
    bool reported_ = false;
    uint32_t missed_ = 0;
};

std::string conmon_port_text(const CliOptions& options) {
    return "127.0.0.1:" + std::to_string(options.conmon ? options.conmon->port : CONMON_CLIENT_DEFAULT_PORT);
}

}  // namespace

std::string format_watch_report(const UnitParameters& values, bool json) {
    if (json) {
        return format_parameters(values, true);
    }
    std::string line = valid_utf8(values.device) + ":";
    for (size_t i = 0; i < kAllParameters.size(); ++i) {
        const ParameterId id = kAllParameters[i];
        line += std::string(i == 0 ? " " : ", ") + parameter_name(id) + " " +
                (values[id] ? std::to_string(*values[id]) : "?");
    }
    return line + "\n";
}

std::string format_watch_gone(const std::string& device, const std::string& reason, bool json) {
    if (json) {
        json_t* object = json_object();
        json_object_set_new(object, "device", json_text(device));
        json_object_set_new(object, "status", json_text("gone"));
        json_object_set_new(object, "error", json_text(reason));
        return json_line(object);
    }
    return valid_utf8(device) + ": gone: " + reason + "\n";
}

int run_site_watch(const CliOptions& options, std::ostream& out, std::ostream& err,
                   const std::atomic<bool>& interrupted) {
    std::vector<std::string> devices = options.devices;
    if (options.discovered) {
        if (std::optional<std::string> error = discover_unit_names(options, interrupted, &devices)) {
            err << "tpx2ctl: " << *error << "\n";
            return kExitFailure;
        }
        if (devices.empty()) {
            err << "tpx2ctl: no TPX-2 unit was found on the network in " << options.discover_seconds << " s\n";
            return kExitUnitUnavailable;
        }
        if (devices.size() > kMaxApplyJobs) {
            err << "tpx2ctl: " << devices.size() << " units were found; watch watches at most " << kMaxApplyJobs
                << " at once (name them instead)\n";
            return kExitUsage;
        }
    }
    // The conmon server is tried once first: were it not to answer, each
    // unit would wait out its open limit in turn.
    {
        ConMonTransport probe(wide_from_utf8(devices.front()).c_str());
        if (!probe.open(kParameterOpenLimitMs) && probe.service_down()) {
            err << "tpx2ctl: " << conmon_server_down_message(options) << "\n";
            return kExitServicesUnavailable;
        }
    }
    WatchShared shared{options, out, interrupted, {}};
    std::vector<WatchEnd> ends(devices.size(), WatchEnd::Interrupted);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < devices.size(); ++i) {
        threads.emplace_back([&shared, &ends, &devices, i] { ends[i] = UnitWatch(shared, devices[i]).run(); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    size_t service_gone = 0;
    size_t domain_lost = 0;
    size_t unit_gone = 0;
    for (WatchEnd end : ends) {
        service_gone += end == WatchEnd::ServiceGone ? 1 : 0;
        domain_lost += end == WatchEnd::DomainLost ? 1 : 0;
        unit_gone += end == WatchEnd::UnitGone ? 1 : 0;
    }
    if (domain_lost > 0 && service_gone + domain_lost == devices.size()) {
        err << "tpx2ctl: lost the units' links: the Domain Manager connection dropped or the AVN domain changed\n";
        return kExitServicesUnavailable;
    }
    if (service_gone == devices.size()) {
        err << "tpx2ctl: the AVN platform service stopped: the conmon server on " << conmon_port_text(options)
            << " does not answer\n";
        return kExitServicesUnavailable;
    }
    return service_gone + domain_lost + unit_gone > 0 ? kExitUnitUnavailable : kExitSuccess;
}
