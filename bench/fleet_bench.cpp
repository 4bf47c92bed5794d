// tpx2ctl apply of a full settings file (all seven parameters differ from the
// units' values) to many units on avn-sim over loopback: wall time, and the
// CPU time of the tpx2ctl process, with --jobs 1 and with the default. Then
// check (against the file the units now differ from) and inventory of the
// same units with the default --jobs.
//
// Each run gets a fresh simulated network. Its units answer either at once,
// or each message some milliseconds late, as units across a real network
// would; only then has working on several units at once anything to overlap.
// Usage: fleet_bench [--units N] [--delay MS] [--repeat N]
//   --delay MS   the units' reply delay of the second series (default 20;
//                the first series is always 0)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/sim_network.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kFullSettings =
    R"({"format_version":1,"parameters":{"MicLf":-3,"MicHf":4,"LineLf":-5,"LineHf":6,"Mode":2,"MicSensitivity":1,"MicGate":0}})";
constexpr const char* kDefaultJobs = "8";

struct Run {
    double wall_s = 0;
    double user_s = 0;
    double system_s = 0;
    int status = -1;
};

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Runs tpx2ctl COMMAND [FILE] --jobs JOBS UNIT... on a fresh simulated
// network of `units` units.
Run run_command(const char* command, int units, int delay_ms, const char* jobs, const std::string& file) {
    sim::SimOptions options = sim::options_on_free_ports();
    for (int i = 1; i <= units; ++i) {
        sim::Tpx2UnitSettings unit;
        unit.name = "Hall-" + std::to_string(i);
        options.units.push_back(unit);
    }
    sim::SimNetwork network(options);
    Run run;
    if (network.start() != AUD_SUCCESS) {
        std::fprintf(stderr, "avn-sim did not start\n");
        return run;
    }
    for (const sim::Tpx2UnitSettings& unit : options.units) {
        network.conmon().set_device_reply_delay(unit.name, std::chrono::milliseconds(delay_ms));
    }
    std::vector<std::string> arguments = {TPX2CTL_PATH,
                                          "--conmon",
                                          "127.0.0.1:" + std::to_string(network.conmon_port()),
                                          "--cmm",
                                          "127.0.0.1:" + std::to_string(network.cmm_port()),
                                          command};
    if (!file.empty()) {
        arguments.push_back(file);
    }
    arguments.push_back("--jobs");
    arguments.push_back(jobs);
    for (const sim::Tpx2UnitSettings& unit : options.units) {
        arguments.push_back(unit.name);
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", argv[0], std::strerror(spawned));
        return run;
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.wall_s = std::chrono::duration<double>(Clock::now() - start).count();
    run.user_s = seconds(usage.ru_utime);
    run.system_s = seconds(usage.ru_stime);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The run with the median wall time.
Run median(std::vector<Run> runs) {
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.wall_s < b.wall_s; });
    return runs[runs.size() / 2];
}

// `expected` is the exit status of a run that did its work: check of units
// that differ from the file gives 7.
Run measure(const char* command, int expected, int units, int delay_ms, const char* jobs, int repeat,
            const std::string& file) {
    std::vector<Run> runs;
    for (int i = 0; i < repeat; ++i) {
        runs.push_back(run_command(command, units, delay_ms, jobs, file));
        if (runs.back().status != expected) {
            std::fprintf(stderr, "tpx2ctl %s --jobs %s ended with status %d\n", command, jobs, runs.back().status);
        }
    }
    const Run m = median(runs);
    std::printf("  %-9s --jobs %-2s  wall %6.2f s   cpu %5.2f s (user %5.2f, system %5.2f)   exit %d\n", command, jobs,
                m.wall_s, m.user_s + m.system_s, m.user_s, m.system_s, m.status);
    return m;
}

int argument(int argc, char** argv, const char* name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return std::max(0, std::atoi(argv[i + 1]));
        }
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const int units = std::max(1, argument(argc, argv, "--units", 64));
    const int delay_ms = argument(argc, argv, "--delay", 20);
    const int repeat = std::max(1, argument(argc, argv, "--repeat", 1));
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("fleet-bench-" + std::to_string(getpid()) + ".json");
    std::ofstream(file) << kFullSettings;

    std::printf("tpx2ctl apply of all seven parameters, check and inventory of %d units on avn-sim (median of %d)\n",
                units, repeat);
    for (const int delay : {0, delay_ms}) {
        std::printf("units answering %s:\n",
                    delay == 0 ? "at once" : (std::to_string(delay) + " ms late").c_str());
        const Run one = measure("apply", 0, units, delay, "1", repeat, file.string());
        const Run many = measure("apply", 0, units, delay, kDefaultJobs, repeat, file.string());
        std::printf("  the default is %.1fx as fast as --jobs 1 (target: at least 4x; default under 3 s)\n",
                    many.wall_s > 0 ? one.wall_s / many.wall_s : 0.0);
        // The units keep their defaults here, so every one differs from the
        // file: check reads them all and reports each.
        measure("check", 7, units, delay, kDefaultJobs, repeat, file.string());
        measure("inventory", 0, units, delay, kDefaultJobs, repeat, "");
        std::printf("  check and inventory with the default --jobs (target: under 2 s each)\n");
        if (delay_ms == 0) {
            break;
        }
    }
    std::filesystem::remove(file);
    return 0;
}
