// Figures of the device link inside a managed domain, through avn-sim's
// Domain Manager on loopback (logged in, "Studio A" chosen):
//   set        one parameter change, queued to the parameter thread, until
//              the unit's report (relayed back as a device message) confirms it
//   discover   a db_browse for the maker's conmon devices, as the Discover
//              dialog runs it: the time until every unit of the domain is in
//              the tree (the dialog's window is 5 s)
// Usage: domain_link_bench [--changes N] [--units N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "avn/api/avn_access.h"
#include "avn/api/avnapi.h"
#include "avn/browse/db_browse.h"
#include "bench/sim_services.h"
#include "cli/cli_domain.h"
#include "cli/cli_options.h"
#include "device/app_messages.h"
#include "device/conmon_transport.h"
#include "device/message_queue.h"
#include "device/parameter_thread.h"
#include "sim/dm/dm_web.h"
#include "sim/sim_network.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const wchar_t* kUnit = L"TPX2-Stage";
constexpr const char* kDomain = "Studio A";
const uint8_t kVornix[8] = {'V', 'o', 'r', 'n', 'i', 'x', 0, 0};

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void print_figures(const char* what, std::vector<double> samples, const char* target) {
    if (samples.empty()) {
        std::printf("%-9s no samples\n", what);
        return;
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))];
    };
    std::printf("%-9s n=%-4zu p50 %7.1f ms  p95 %7.1f ms  max %7.1f ms  (target %s)\n", what,
                samples.size(), at(0.5), at(0.95), samples.back(), target);
}

std::vector<double> measure_set(int changes) {
    std::vector<double> samples;
    MessageQueue window;
    start_parameter_thread(window.target(), std::make_unique<ConMonTransport>(kUnit));
    if (!window.wait_for_message(WM_APP_CONNECTED, 6000)) {
        std::fprintf(stderr, "connect failed\n");
        stop_parameter_thread();
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
                        message->wparam == static_cast<uintptr_t>(ParameterId::LineLf) &&
                        message->lparam == value;
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

struct DiscoverRun {
    size_t units = 0;
    Clock::time_point last;
};

void on_node(db_browse* browse, const db_browse_change* change, int type) {
    auto* run = static_cast<DiscoverRun*>(db_browse_get_context(browse));
    if (change->kind == DB_BROWSE_CHANGE_KIND_NODE && type == DB_BROWSE_CHANGE_ADDED) {
        ++run->units;
        run->last = Clock::now();
    }
}

// Milliseconds until `expected` units are in the tree, or a negative value.
double measure_discover(size_t expected) {
    DiscoverRun run;
    AvnApiLock lock(5000);
    avnapi* api = avn_api_instance();
    db_browse* browse = nullptr;
    if (!lock ||
        db_browse_new(avnapi_get_env(api), DB_BROWSE_TYPE_CONMON_DEVICE, &browse) != AUD_SUCCESS) {
        return -1;
    }
    db_browse_set_socket_limit(browse, 17);
    db_browse_set_node_callback(browse, on_node);
    db_browse_set_context(browse, &run);
    db_browse_set_manufacturer_filter(browse, kVornix);
    const auto start = Clock::now();
    if (db_browse_start_config(browse, nullptr) == AUD_SUCCESS) {
        while (run.units < expected && ms_since(start) < 5000) {
            step_avn_events(avnapi_get_runtime(api));
        }
        db_browse_stop(browse);
    }
    db_browse_delete(browse);
    return run.units >= expected
               ? std::chrono::duration<double, std::milli>(run.last - start).count()
               : -1;
}

int argument(int argc, char** argv, const char* name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return std::max(1, std::atoi(argv[i + 1]));
        }
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const int changes = argument(argc, argv, "--changes", 200);
    const int units = argument(argc, argv, "--units", 256);

    sim::SimOptions options = sim::options_on_free_ports();
    options.dm.enabled = true;
    options.dm.port = 0;
    options.dm.users = {sim::DmUser("bench", "bench-password")};
    for (int i = 0; i < units; ++i) {
        sim::Tpx2UnitSettings unit;
        unit.name = i == 0 ? "TPX2-Stage" : "TPX2-" + std::to_string(i);
        unit.domain = kDomain;
        options.units.push_back(unit);
    }
    sim::SimNetwork network(options);
    if (!bench::start_sim_and_api(network)) {
        return 1;
    }
    const CliParseResult parsed =
        parse_cli_arguments({"--dm", "127.0.0.1:" + std::to_string(network.dm()->port()), "--user",
                             "bench", "--password-stdin", "--domain", kDomain, "domains"});
    if (!parsed.options) {
        std::fprintf(stderr, "%s\n", parsed.error.c_str());
        return 1;
    }
    std::istringstream password("bench-password\n");
    {
        DmLogin login(*parsed.options, password);
        if (login.failure()) {
            std::fprintf(stderr, "login failed: %s\n", login.failure()->message.c_str());
            return 1;
        }
        std::printf(
            "device link inside a managed domain, through avn-sim's Domain Manager on loopback\n");
        print_figures("set", measure_set(changes), "p95 < 450 ms");
        const double discover = measure_discover(static_cast<size_t>(units));
        if (discover < 0) {
            std::printf("discover  not all %d units within 5 s\n", units);
        } else {
            std::printf("discover  %d units in %.1f ms (target within the 5 s window)\n", units,
                        discover);
        }
    }
    stop_avn_api();
    return 0;
}
