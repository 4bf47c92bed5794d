#include "cli/unit_read.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <mutex>
#include <span>
#include <thread>

#include "cli/cli_discover.h"
#include "device/text_utf8.h"
#include "cli/work_pool.h"
#include "device/conmon_transport.h"
#include "device/framed_command.h"
#include "device/parameter_thread.h"
#include "device/parameters.h"

namespace {

using Clock = std::chrono::steady_clock;

// The longest report the parameter thread reads, too.
constexpr size_t kReceiveBufferSize = 256;
constexpr std::chrono::milliseconds kIdlePause{2};

UnitReading failed(UnitReading reading, const Transport& transport, const std::string& error) {
    reading.status = transport.service_down() ? UnitReadStatus::ServicesUnavailable : UnitReadStatus::Unavailable;
    reading.error = transport.service_down() ? "the conmon server does not answer" : error;
    return reading;
}

bool ask_version(FramedCommandLink& link, uint8_t type) {
    return link.send_command(type, {}, kVersionQueryAttempts, kVersionQueryIntervalMs);
}

// The versions as the device-information worker reads them: a bootloader
// version of 0 is none, and so is an application version of 0 unless the
// unit has a bootloader version.
void read_versions(FramedCommandLink& link, UnitReading& reading) {
    if (!ask_version(link, CMD_BOOTLOADER_VERSION)) {
        return;
    }
    const uint16_t bootloader = decode_bootloader_version(link.reply_message()).value_or(0);
    if (bootloader != 0) {
        reading.bootloader = bootloader;
    }
    if (ask_version(link, CMD_APPLICATION_VERSION)) {
        const std::optional<uint32_t> application = decode_application_version(link.reply_message());
        if (application && (*application != 0 || bootloader != 0)) {
            reading.application = *application;
        }
    }
}

// Asks for all values and reads reports until every parameter is in or the
// answer limit passes. When the link was lost and came back meanwhile, the
// answer may have been lost with it: the request is sent again.
bool read_parameters(ChannelTransport& transport, UnitParameters& values, const UnitReadLimits& limits) {
    const auto request = encode_request_all();
    if (!transport.write_channel(request, ChannelTransport::kParameterChannel, limits.write_ms)) {
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(limits.answer_ms);
    std::array<uint8_t, kReceiveBufferSize> buffer;
    while (!values.complete()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        // One processing step at a time, so that the AVN API mutex passes
        // between the units in flight.
        const size_t n = transport.read_channel(buffer, ChannelTransport::kParameterChannel, 0);
        if (n == 0) {
            std::this_thread::sleep_for(kIdlePause);
        }
        for (const ParameterValue& entry : parse_parameter_report(std::span(buffer).first(n))) {
            if (is_known_parameter(entry.id)) {
                values[static_cast<ParameterId>(entry.id)] = entry.value;
            }
        }
        if (transport.take_link_restored() && !values.complete() &&
            !transport.write_channel(request, ChannelTransport::kParameterChannel, limits.write_ms)) {
            return false;
        }
    }
    return true;
}

UnitReading read_conmon_unit(const std::string& device, bool versions, const UnitReadLimits& limits) {
    try {
        return read_unit(std::make_unique<ConMonTransport>(wide_from_utf8(device).c_str()), device, versions,
                         limits);
    } catch (const std::exception& e) {
        UnitReading reading;
        reading.device = device;
        reading.status = UnitReadStatus::Unavailable;
        reading.error = std::string("could not be worked on: ") + e.what();
        return reading;
    }
}

}  // namespace

UnitReading read_unit(std::unique_ptr<ChannelTransport> transport, const std::string& device, bool versions,
                      const UnitReadLimits& limits) {
    UnitReading reading;
    reading.device = device;
    reading.values.device = device;
    ChannelTransport& channels = *transport;
    // The link owns the transport and closes it when it goes.
    FramedCommandLink link(std::move(transport));
    if (!channels.open(limits.open_ms)) {
        return failed(std::move(reading), channels, "was not found or does not answer");
    }
    // The versions first: the framed replies come on another channel, and a
    // read for one channel consumes a message for the other.
    if (versions) {
        read_versions(link, reading);
    }
    if (!read_parameters(channels, reading.values, limits)) {
        const bool some = std::any_of(reading.values.values.begin(), reading.values.values.end(),
                                      [](const std::optional<int32_t>& value) { return value.has_value(); });
        const std::string error = some ? "did not report all its parameters within " +
                                             std::to_string(limits.answer_ms) + " ms"
                                       : "was not found or does not answer";
        return failed(std::move(reading), channels, error);
    }
    reading.status = UnitReadStatus::Read;
    return reading;
}

std::optional<std::string> read_site(const CliOptions& options, bool versions, const std::atomic<bool>& interrupted,
                                     const std::function<void(const UnitReading&)>& done, SiteReading* site) {
    std::vector<std::string> devices = options.devices;
    if (options.discovered) {
        if (std::optional<std::string> error = discover_unit_names(options, interrupted, &devices)) {
            return error;
        }
    }
    site->units.assign(devices.size(), UnitReading{});
    for (size_t i = 0; i < devices.size(); ++i) {
        site->units[i].device = devices[i];
        site->units[i].values.device = devices[i];
    }
    if (devices.empty()) {
        return std::nullopt;
    }
    UnitReadLimits limits;
    limits.open_ms = kParameterOpenLimitMs;
    limits.write_ms = kParameterWriteLimitMs;
    limits.answer_ms = options.timeout_ms;
    // The conmon server is tried once before the units: were it not to
    // answer, each unit under way would wait out its open limit, holding the
    // AVN API from the others meanwhile.
    std::atomic<bool> services_down{false};
    {
        ConMonTransport probe(wide_from_utf8(devices[0]).c_str());
        services_down = !probe.open(kParameterOpenLimitMs) && probe.service_down();
    }
    std::mutex done_mutex;
    const auto work = [&](size_t i) {
        UnitReading reading = read_conmon_unit(devices[i], versions, limits);
        if (reading.status == UnitReadStatus::ServicesUnavailable) {
            services_down = true;
        }
        std::lock_guard lock(done_mutex);
        done(reading);
        site->units[i] = std::move(reading);
    };
    run_bounded(devices.size(), options.jobs, [&] { return interrupted || services_down; }, work);
    site->services_down = services_down;
    return std::nullopt;
}

std::string conmon_server_down_message(const CliOptions& options) {
    const uint16_t port = options.conmon ? options.conmon->port : CONMON_CLIENT_DEFAULT_PORT;
    return "the AVN platform service is not running: the conmon server on 127.0.0.1:" + std::to_string(port) +
           " does not answer";
}
