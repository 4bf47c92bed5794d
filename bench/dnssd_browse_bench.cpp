// How fast the DNS-SD client finds and resolves a network of devices, and
// what it costs at rest. A child process runs the simulator's responder with
// the devices; this process browses for the maker's subtype, resolves every
// instance (at most 16 at a time, as the device browser does) and prints the
// wall time from DNSServiceBrowse until the last resolve, the CPU time of
// this process over that run, and its CPU time over an idle period after.
//
// Multicast: it runs only inside a private network namespace, e.g.
//   unshare -n -- sh -c 'ip link set lo up && ip link set lo multicast on &&
//     ip route add 224.0.0.0/4 dev lo && build/native/bench/dnssd_browse_bench'
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "avn/dnssd/dnssd.h"
#include "avn/dnssd/mdns_socket.h"
#include "sim/mdns_responder.h"
#include "sim/sim_log.h"
#include "tests/avn/dnssd/dnssd_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    std::deque<std::pair<std::string, uint32_t>> waiting;
    std::map<DNSServiceRef, std::unique_ptr<dnssd_test::Resolved>> running;
    std::map<std::string, bool> seen;
    int resolved = 0;
};

void browsed(DNSServiceRef, DNSServiceFlags flags, uint32_t interface_index, DNSServiceErrorType,
             const char* name, const char*, const char*, void* context) {
    auto* run = static_cast<Run*>(context);
    if ((flags & kDNSServiceFlagsAdd) != 0 && !run->seen[name]) {
        run->seen[name] = true;
        run->waiting.emplace_back(name, interface_index);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int devices = 256;
    int idle_seconds = 60;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--devices") == 0) {
            devices = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--idle-seconds") == 0) {
            idle_seconds = std::atoi(argv[i + 1]);
        }
    }
    if (!dnssd_test::in_private_namespace()) {
        std::fprintf(stderr, "dnssd_browse_bench: run it inside a private network namespace\n");
        return 2;
    }
    pid_t child = 0;
    std::vector<sim::MdnsDevice> adverts;
    for (int i = 0; i < devices; ++i) {
        sim::MdnsDevice device;
        device.name = "Bench" + std::to_string(i);
        device.manufacturer_id = sim::kVornixManufacturerId;
        device.model = sim::kTpx2ModelId;
        device.source = conmon_source{
            {0x02, 'S', 'I', 'M', 0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}, 8800};
        adverts.push_back(device);
    }
    const int stop = bench::start_responder(adverts, std::chrono::seconds(30), &child);
    if (stop < 0) {
        std::fprintf(stderr, "dnssd_browse_bench: the responder did not start\n");
        return 1;
    }

    Run run;
    const double cpu_start = bench::cpu_seconds();
    const Clock::time_point start = Clock::now();
    DNSServiceRef browse = nullptr;
    if (DNSServiceBrowse(&browse, 0, 0, "_netaudio-cmc._udp,Vornix", "local", browsed, &run) != 0) {
        return 1;
    }
    const Clock::time_point limit = start + std::chrono::seconds(30);
    while (run.resolved < devices && Clock::now() < limit) {
        while (run.running.size() < 16 && !run.waiting.empty()) {
            auto resolved = std::make_unique<dnssd_test::Resolved>();
            DNSServiceRef ref = nullptr;
            DNSServiceResolve(&ref, 0, run.waiting.front().second,
                              run.waiting.front().first.c_str(), "_netaudio-cmc._udp.", "local",
                              dnssd_test::Resolved::callback, resolved.get());
            run.waiting.pop_front();
            run.running.emplace(ref, std::move(resolved));
        }
        std::vector<DNSServiceRef> refs = {browse};
        for (const auto& [ref, resolved] : run.running) {
            refs.push_back(ref);
        }
        std::vector<mdns::socket_t> sockets;
        for (DNSServiceRef ref : refs) {
            sockets.push_back(DNSServiceRefSockFD(ref));
        }
        std::unique_ptr<bool[]> ready(new bool[refs.size()]());
        mdns::wait_readable(sockets.data(), sockets.size(), 100, ready.get());
        for (size_t i = 0; i < refs.size(); ++i) {
            if (ready[i]) {
                DNSServiceProcessResult(refs[i]);
            }
        }
        for (auto it = run.running.begin(); it != run.running.end();) {
            if (it->second->done) {
                ++run.resolved;
                DNSServiceRefDeallocate(it->first);
                it = run.running.erase(it);
            } else {
                ++it;
            }
        }
    }
    const double found_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double found_cpu = bench::cpu_seconds() - cpu_start;
    std::printf("devices resolved:            %d of %d\n", run.resolved, devices);
    std::printf("browse to all resolved:      %.3f s (target: within 2 s)\n", found_seconds);
    std::printf("CPU time over that:          %.3f s\n", found_cpu);

    const double idle_cpu_start = bench::cpu_seconds();
    const Clock::time_point idle_start = Clock::now();
    dnssd_test::pump_until(
        {browse}, [] { return false; }, std::chrono::seconds(idle_seconds));
    const double idle_wall = std::chrono::duration<double>(Clock::now() - idle_start).count();
    const double idle_cpu = bench::cpu_seconds() - idle_cpu_start;
    std::printf(
        "idle, browsing on:           %.1f s, CPU %.3f s = %.3f %% of a core (target: "
        "under 1 %%)\n",
        idle_wall, idle_cpu, 100.0 * idle_cpu / idle_wall);

    DNSServiceRefDeallocate(browse);
    for (const auto& [ref, resolved] : run.running) {
        DNSServiceRefDeallocate(ref);
    }
    const char byte = 0;
    [[maybe_unused]] ssize_t written = write(stop, &byte, 1);
    waitpid(child, nullptr, 0);
    return run.resolved == devices ? 0 : 1;
}
