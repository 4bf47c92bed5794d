// Latency figures of the device link against avn-sim on loopback:
//   open        ConMonTransport::open to a unit
//   set         one parameter change, queued to the parameter thread, until
//               the unit's report confirms it
//   versions    bootloader and application version through the worker
//   restart     a restart of the conmon server (its port closed for 3.5 s,
//               and for 1.5 s, shorter than the client's keepalive interval,
//               so that the client finds out only from the restarted
//               server): from the server's return until a connected unit's
//               report reaches the window again (only with --restarts N)
// Usage: device_link_bench [--changes N] [--repeat N] [--restarts N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "avn/api/avn_access.h"
#include "bench/sim_services.h"
#include "device/app_messages.h"
#include "device/conmon_transport.h"
#include "device/device_info_worker.h"
#include "device/message_queue.h"
#include "device/parameter_thread.h"
#include "sim/sim_network.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const wchar_t* kUnit = L"TPX2-Stage";

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void print_figures(const char* what, std::vector<double> samples, double target_ms) {
    if (samples.empty()) {
        std::printf("%-9s no samples\n", what);
        return;
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) { return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))]; };
    double sum = 0;
    for (double s : samples) {
        sum += s;
    }
    std::printf("%-9s n=%-4zu mean %7.1f ms  p50 %7.1f ms  p95 %7.1f ms  max %7.1f ms  (target %s %.0f ms)\n",
                what, samples.size(), sum / static_cast<double>(samples.size()), at(0.5), at(0.95),
                samples.back(), std::strcmp(what, "set") == 0 ? "p95 <" : "<", target_ms);
}

std::vector<double> measure_open(int repeat) {
    std::vector<double> samples;
    for (int i = 0; i < repeat; ++i) {
        ConMonTransport transport(kUnit);
        const auto start = Clock::now();
        if (!transport.open(5000)) {
            std::fprintf(stderr, "open failed\n");
            break;
        }
        samples.push_back(ms_since(start));
        transport.close();
    }
    return samples;
}

// Connects the parameter thread to the unit; false (and stopped) when it
// does not connect.
bool connect_unit(MessageQueue& window) {
    start_parameter_thread(window.target(), std::make_unique<ConMonTransport>(kUnit));
    if (!window.wait_for_message(WM_APP_CONNECTED, 6000)) {
        std::fprintf(stderr, "connect failed\n");
        stop_parameter_thread();
        return false;
    }
    return true;
}

std::vector<double> measure_set(int changes) {
    std::vector<double> samples;
    MessageQueue window;
    if (!connect_unit(window)) {
        return samples;
    }
    for (int i = 0; i < changes; ++i) {
        const int32_t value = (i % 25) - 12;
        const auto start = Clock::now();
        queue_parameter_change(1, static_cast<uint32_t>(ParameterId::LineLf), value);
        bool confirmed = false;
        while (!confirmed && ms_since(start) < 5000) {
            const auto message = window.wait(100);
            confirmed = message && message->message == WM_APP_PARAM_REPORT &&
                        message->wparam == static_cast<uintptr_t>(ParameterId::LineLf) && message->lparam == value;
        }
        if (!confirmed) {
            std::fprintf(stderr, "change %d not confirmed\n", i);
            break;
        }
        samples.push_back(ms_since(start));
    }
    stop_parameter_thread();
    return samples;
}

std::vector<double> measure_versions(int repeat) {
    std::vector<double> samples;
    MessageQueue window;
    start_device_info_worker();
    for (int i = 0; i < repeat; ++i) {
        auto request = std::make_unique<DeviceInfoRequest>();
        request->window = window.target();
        request->transport = std::make_unique<ConMonTransport>(kUnit);
        const auto start = Clock::now();
        queue_device_info_request(std::move(request));
        if (!window.wait_for_message(WM_APP_QUERY_DONE, 20000)) {
            std::fprintf(stderr, "version query did not finish\n");
            break;
        }
        samples.push_back(ms_since(start));
    }
    stop_device_info_worker();
    return samples;
}

std::vector<double> measure_restarts(sim::SimNetwork& network, int restarts,
                                     std::chrono::milliseconds downtime) {
    std::vector<double> samples;
    MessageQueue window;
    if (!connect_unit(window)) {
        return samples;
    }
    for (int i = 0; i < restarts; ++i) {
        // Reports of before the restart are not what is measured.
        while (window.wait(300)) {
        }
        const auto closed = Clock::now();
        network.conmon().restart(downtime);
        const auto back = closed + downtime;
        bool reported = false;
        while (!reported && ms_since(closed) < 30000) {
            const auto message = window.wait(100);
            reported = message && message->message == WM_APP_PARAM_REPORT;
        }
        if (!reported) {
            std::fprintf(stderr, "no report after restart %d\n", i);
            break;
        }
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - back).count());
    }
    stop_parameter_thread();
    return samples;
}

int argument(int argc, char** argv, const char* name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return std::max(fallback == 0 ? 0 : 1, std::atoi(argv[i + 1]));
        }
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const int changes = argument(argc, argv, "--changes", 200);
    const int repeat = argument(argc, argv, "--repeat", 20);
    const int restarts = argument(argc, argv, "--restarts", 0);

    sim::SimOptions options = sim::options_on_free_ports();
    options.units = sim::default_units();
    sim::SimNetwork network(options);
    if (!bench::start_sim_and_api(network)) {
        return 1;
    }
    std::printf("device link against avn-sim on loopback\n");
    print_figures("open", measure_open(repeat), 100);
    print_figures("set", measure_set(changes), 450);
    print_figures("versions", measure_versions(repeat), 300);
    if (restarts > 0) {
        print_figures("restart 3.5 s", measure_restarts(network, restarts, std::chrono::milliseconds(3500)),
                      6000);
        print_figures("restart 1.5 s", measure_restarts(network, restarts, std::chrono::milliseconds(1500)),
                      4000);
    }
    stop_avn_api();
    return 0;
}
