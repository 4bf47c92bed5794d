// How fast the device browser finds a network of units, as the Discover
// dialog browses it: a db_browse for the maker's conmon devices with the
// socket limit of 17 (one browse operation, 16 resolves), stepped as the
// application steps the runtime. A child process runs the simulator's
// responder with the units and as many devices of another maker. Prints the
// time from the start until the last TPX-2 unit is in the tree, this
// process's CPU time over that, and the node callbacks that a further
// period of repeated adverts and refreshes costs (none expected).
//
// Multicast: it runs only inside a private network namespace, e.g.
//   unshare -n -- sh -c 'ip link set lo up && ip link set lo multicast on &&
//     ip route add 224.0.0.0/4 dev lo && build/native-release/bench/discovery_bench'
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "avn/browse/db_browse.h"
#include "bench/bench_support.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_event_loop.h"
#include "sim/mdns_responder.h"
#include "sim/sim_log.h"
#include "tests/avn/dnssd/dnssd_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

const uint8_t kVornix[8] = {'V', 'o', 'r', 'n', 'i', 'x', 0, 0};

sim::MdnsDevice bench_device(const std::string& name, const char* maker, uint32_t model, int i) {
    sim::MdnsDevice device;
    device.name = name;
    device.manufacturer_id = sim::manufacturer_id_from_text(maker);
    device.model = model;
    device.source = conmon_source{
        {0x02, 'S', 'I', 'M', 0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}, 8800};
    return device;
}

struct Run {
    std::set<std::string> units;
    long callbacks = 0;
    long others = 0;
};

void on_node(db_browse* browse, const db_browse_change* change, int) {
    auto* run = static_cast<Run*>(db_browse_get_context(browse));
    ++run->callbacks;
    if (change->kind != DB_BROWSE_CHANGE_KIND_NODE) {
        return;
    }
    const auto* node = static_cast<const db_browse_node*>(change->object);
    const uint8_t* maker = db_browse_node_get_manufacturer_id(node);
    if (maker != nullptr && std::memcmp(maker, kVornix, sizeof kVornix) == 0) {
        run->units.insert(db_browse_node_get_name(node));
    } else {
        ++run->others;
    }
}

}  // namespace

int main(int argc, char** argv) {
    int units = 256;
    int quiet_seconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--units") == 0) {
            units = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--quiet-seconds") == 0) {
            quiet_seconds = std::atoi(argv[i + 1]);
        }
    }
    if (!dnssd_test::in_private_namespace()) {
        std::fprintf(stderr, "discovery_bench: run it inside a private network namespace\n");
        return 2;
    }
    pid_t child = 0;
    std::vector<sim::MdnsDevice> devices;
    for (int i = 0; i < units; ++i) {
        devices.push_back(bench_device("TPX2-" + std::to_string(i), "Vornix", 8, i));
        devices.push_back(bench_device("Other-" + std::to_string(i), "Acme", 8, units + i));
    }
    const int stop = bench::start_responder(devices, std::chrono::seconds(60), &child);
    if (stop < 0) {
        std::fprintf(stderr, "discovery_bench: the responder did not start\n");
        return 1;
    }

    aud_env* env = nullptr;
    db_browse* browse = nullptr;
    Run run;
    if (aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &env) != AUD_SUCCESS ||
        db_browse_new(env, DB_BROWSE_TYPE_CONMON_DEVICE, &browse) != AUD_SUCCESS) {
        return 1;
    }
    aud_event_loop* loop = aud_env_get_event_loop(env);
    db_browse_set_socket_limit(browse, 17);
    db_browse_set_node_callback(browse, on_node);
    db_browse_set_context(browse, &run);
    db_browse_set_manufacturer_filter(browse, kVornix);

    const double cpu_start = bench::cpu_seconds();
    const Clock::time_point start = Clock::now();
    if (db_browse_start_config(browse, nullptr) != AUD_SUCCESS) {
        std::fprintf(stderr, "discovery_bench: the browse did not start\n");
        return 1;
    }
    const Clock::time_point limit = start + std::chrono::seconds(30);
    while (static_cast<int>(run.units.size()) < units && Clock::now() < limit) {
        bench::step(loop, std::chrono::milliseconds(100));
    }
    const double found_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double found_cpu = bench::cpu_seconds() - cpu_start;
    std::printf("units in the tree:             %zu of %d (other maker's: %ld)\n", run.units.size(),
                units, run.others);
    std::printf("start to last unit in tree:    %.3f s (target: within 5 s, ideally under 2 s)\n",
                found_seconds);
    std::printf("CPU time over that:            %.3f s\n", found_cpu);
    std::printf("node callbacks over that:      %ld\n", run.callbacks);

    const long before = run.callbacks;
    const Clock::time_point quiet_end = Clock::now() + std::chrono::seconds(quiet_seconds);
    while (Clock::now() < quiet_end) {
        bench::step(loop, std::chrono::milliseconds(100));
    }
    std::printf("callbacks in %d s after:       %ld (repeated adverts cost none)\n", quiet_seconds,
                run.callbacks - before);

    db_browse_stop(browse);
    db_browse_delete(browse);
    aud_env_delete(env);
    const char byte = 0;
    [[maybe_unused]] ssize_t written = write(stop, &byte, 1);
    waitpid(child, nullptr, 0);
    return static_cast<int>(run.units.size()) == units ? 0 : 1;
}
