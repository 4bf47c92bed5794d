// How fast the device browser finds a network of units, as the Discover
// dialog browses it: a db_browse for the maker's conmon devices with the
// socket limit of 17 (one browse operation, 16 resolves), stepped as the
// application steps the runtime. A child process runs the simulator's
// responder with the units and as many devices of another maker. Prints the
// time from the start until the last TPX-2 unit is in the tree, this
// process's CPU time over that, and the node callbacks that a further
// period of repeated adverts and refreshes costs (none expected).
//
// Then a flood: another host on the link (a child process sending from
// 127.0.0.2) multicasts 100 000 distinct fake instances of the maker's units,
// with long TXT records, as fast as it can for 10 s, while a new browse
// looks for two real units. Prints the time until both are in the tree,
// this process's CPU time and its peak memory above the start over the
// flood, and how late a 50 ms runtime timer fired at worst.
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
#include <thread>
#include <vector>

#include "avn/browse/db_browse.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_event_loop.h"
#include "bench/bench_support.h"
#include "sim/mdns_responder.h"
#include "sim/sim_log.h"
#include "tests/avn/dnssd/dnssd_test_support.h"
#include "tests/avn/dnssd/mdns_flood.h"

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

// The responder in a child process with `devices`, for at most `lifetime`,
// and a browser for the maker's conmon devices as the Discover dialog makes
// it, reporting to `run`; ready() is false when either could not be made.
class BenchNetwork {
  public:
    BenchNetwork(const std::vector<sim::MdnsDevice>& devices, std::chrono::seconds lifetime,
                 Run* run) {
        stop_ = bench::start_responder(devices, lifetime, &responder_);
        if (stop_ < 0) {
            std::fprintf(stderr, "discovery_bench: the responder did not start\n");
            return;
        }
        if (aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &env_) != AUD_SUCCESS ||
            db_browse_new(env_, DB_BROWSE_TYPE_CONMON_DEVICE, &browse_) != AUD_SUCCESS) {
            std::fprintf(stderr, "discovery_bench: the browser could not be made\n");
            return;
        }
        db_browse_set_socket_limit(browse_, 17);
        db_browse_set_node_callback(browse_, on_node);
        db_browse_set_context(browse_, run);
        db_browse_set_manufacturer_filter(browse_, kVornix);
    }

    ~BenchNetwork() {
        if (browse_ != nullptr) {
            db_browse_stop(browse_);
            db_browse_delete(browse_);
        }
        if (env_ != nullptr) {
            aud_env_delete(env_);
        }
        if (stop_ >= 0) {
            const char byte = 0;
            [[maybe_unused]] ssize_t written = write(stop_, &byte, 1);
            waitpid(responder_, nullptr, 0);
        }
    }

    BenchNetwork(const BenchNetwork&) = delete;
    BenchNetwork& operator=(const BenchNetwork&) = delete;

    bool ready() const { return browse_ != nullptr; }
    db_browse* browse() const { return browse_; }
    aud_event_loop* loop() const { return aud_env_get_event_loop(env_); }

  private:
    pid_t responder_ = 0;
    int stop_ = -1;
    aud_env* env_ = nullptr;
    db_browse* browse_ = nullptr;
};

// Two real units found during a flood, as described at the top.
int flood_phase(int flood_seconds) {
    std::vector<sim::MdnsDevice> devices = {bench_device("Real-0", "Vornix", 8, 9000),
                                            bench_device("Real-1", "Vornix", 8, 9001)};
    Run run;
    BenchNetwork network(devices, std::chrono::seconds(flood_seconds + 30), &run);
    if (!network.ready()) {
        return 1;
    }
    aud_event_loop* loop = network.loop();

    const mdns_flood::TimerLateness lateness(loop);

    // The flooder runs as a child, so that its CPU time is not ours.
    std::fflush(stdout);
    const pid_t flooder = fork();
    if (flooder == 0) {
        mdns_flood::Flooder flood(100000, std::chrono::seconds(flood_seconds));
        flood.start();
        flood.join();
        std::printf("flood sent:                    %llu packets, %llu records in %d s\n",
                    static_cast<unsigned long long>(flood.packets()),
                    static_cast<unsigned long long>(flood.records()), flood_seconds);
        std::fflush(stdout);
        _exit(flood.ok() ? 0 : 1);
    }
    // The child builds its packets first (a second or so); the browse starts
    // once the flood is under way.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const size_t memory_start = mdns_flood::memory_in_use();
    size_t peak = memory_start;
    const double cpu_start = bench::cpu_seconds();
    const Clock::time_point start = Clock::now();
    db_browse_start_config(network.browse(), nullptr);
    double found_seconds = -1;
    const Clock::time_point end = start + std::chrono::seconds(flood_seconds - 1);
    while (Clock::now() < end) {
        bench::step(loop, std::chrono::milliseconds(100));
        peak = std::max(peak, mdns_flood::memory_in_use());
        if (found_seconds < 0 && run.units.size() == devices.size()) {
            found_seconds = std::chrono::duration<double>(Clock::now() - start).count();
        }
    }
    const double cpu = bench::cpu_seconds() - cpu_start;
    const double span = std::chrono::duration<double>(Clock::now() - start).count();
    int status = 0;
    waitpid(flooder, &status, 0);
    std::printf("two real units in the tree:    %.3f s into the flood%s\n", found_seconds,
                found_seconds < 0 ? " (not found)" : "");
    std::printf("CPU time during the flood:     %.3f s over %.1f s (%.0f %% of one core)\n", cpu,
                span, 100 * cpu / span);
    std::printf("peak memory above the start:   %.1f MB\n",
                static_cast<double>(peak - memory_start) / (1 << 20));
    std::printf("worst lateness of a 50 ms timer: %.1f ms\n",
                std::chrono::duration<double, std::milli>(lateness.worst()).count());
    return found_seconds >= 0 ? 0 : 1;
}

// A network of `units` TPX-2 units and as many of another maker's, found
// from the start, then watched while it is quiet, as described at the top.
int network_phase(int units, int quiet_seconds) {
    std::vector<sim::MdnsDevice> devices;
    for (int i = 0; i < units; ++i) {
        devices.push_back(bench_device("TPX2-" + std::to_string(i), "Vornix", 8, i));
        devices.push_back(bench_device("Other-" + std::to_string(i), "Acme", 8, units + i));
    }
    Run run;
    BenchNetwork network(devices, std::chrono::seconds(60), &run);
    if (!network.ready()) {
        return 1;
    }
    aud_event_loop* loop = network.loop();

    const double cpu_start = bench::cpu_seconds();
    const Clock::time_point start = Clock::now();
    if (db_browse_start_config(network.browse(), nullptr) != AUD_SUCCESS) {
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
    return static_cast<int>(run.units.size()) == units ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    int units = 256;
    int quiet_seconds = 10;
    int flood_seconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--units") == 0) {
            units = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--quiet-seconds") == 0) {
            quiet_seconds = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--flood-seconds") == 0) {
            flood_seconds = std::atoi(argv[i + 1]);
        }
    }
    if (!dnssd_test::in_private_namespace()) {
        std::fprintf(stderr, "discovery_bench: run it inside a private network namespace\n");
        return 2;
    }
    const int network_status = network_phase(units, quiet_seconds);
    if (flood_seconds <= 2) {
        return network_status;
    }
    std::printf("\n");
    return flood_phase(flood_seconds) == 0 ? network_status : 1;
}
