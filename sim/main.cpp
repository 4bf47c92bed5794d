// avn-sim: runs the simulated AVN network until SIGINT or SIGTERM.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/sim_network.h"
#include "sim/sim_options.h"
#include "tpx2_version.h"

namespace {

volatile std::sig_atomic_t g_stop_requested = 0;

extern "C" void request_stop(int) {
    g_stop_requested = 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    const sim::ParsedOptions parsed = sim::parse_sim_options(arguments);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "avn-sim: %s\nTry 'avn-sim --help'.\n", parsed.error.c_str());
        return 2;
    }
    if (parsed.help) {
        std::fputs(sim::sim_usage().c_str(), stdout);
        return 0;
    }
    if (parsed.version) {
        std::puts("avn-sim " TPX2_VERSION);
        return 0;
    }

    sim::SimNetwork network(parsed.options);
    const aud_error error = network.start();
    if (error != AUD_SUCCESS) {
        char text[AUD_ERROR_FORMAT_SIZE];
        const sim::SimOptions& options = parsed.options;
        std::fprintf(stderr,
                     "avn-sim: cannot listen on 127.0.0.1 (conmon port %u, connection manager port "
                     "%u%s%s%s): %s\n",
                     unsigned{options.conmon.port}, unsigned{options.cmm.port},
                     options.mdns.enabled ? ", or multicast DNS" : "",
                     options.dm.enabled ? ", Domain Manager port " : "",
                     options.dm.enabled ? std::to_string(options.dm.port).c_str() : "",
                     aud_error_format(error, text, sizeof text));
        return 1;
    }
    std::signal(SIGINT, request_stop);
    std::signal(SIGTERM, request_stop);
    while (g_stop_requested == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    network.log().line("network", "interrupted, stopping");
    network.stop();
    return 0;
}
