// tpx2ctl as a process, for what only its entry sets up: the locale from the
// environment, through which device names reach the unit, and Ctrl-C.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_network.h"

extern char** environ;

namespace {

struct ProcessRun {
    int status = -1;
    std::string out;
};

ProcessRun run_shell(const std::string& command) {
    ProcessRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    std::array<char, 256> buffer;
    size_t n = 0;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        run.out.append(buffer.data(), n);
    }
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// A name outside ASCII, given on the command line in UTF-8, reaches the unit
// as the same bytes the unit is named with.
TEST(CliProcess, ANameOutsideAsciiReachesTheUnitIntact) {
    sim::SimOptions options = sim::options_on_free_ports();
    sim::Tpx2UnitSettings unit;
    unit.name = "B\xC3\xBChne";  // "Bühne"
    options.units = {unit};
    sim::SimNetwork network(options);
    ASSERT_EQ(network.start(), AUD_SUCCESS);

    const std::string command = "LC_ALL=C.UTF-8 '" TPX2CTL_PATH "' --conmon 127.0.0.1:" +
                                std::to_string(network.conmon_port()) + " --cmm 127.0.0.1:" +
                                std::to_string(network.cmm_port()) + " --json info 'B\xC3\xBChne' 2>&1";
    const ProcessRun run = run_shell(command);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("\"bootloader\":\"2.5\""), std::string::npos) << run.out;
}

// tpx2ctl started with its standard output on a pipe, so that a test can
// watch its progress and signal it. Every wait is bounded; a child that
// outlives the test is killed.
class Child {
public:
    explicit Child(const std::vector<std::string>& arguments) {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        std::vector<char*> argv;
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, arguments[0].c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) {
            close(out_);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0 && out_ >= 0; }

    // Reads what the child wrote until `enough` holds for it or the limit.
    template <typename Enough>
    bool read_until(Enough enough, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!enough(output)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd fd{out_, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = read(out_, buffer, sizeof buffer);
            if (n <= 0) {
                return enough(output);  // the child closed its output
            }
            output.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    void interrupt() { kill(pid_, SIGINT); }

    // The exit status once the child has ended (its output read to the end);
    // -1 when it did not end within the limit.
    int finish(std::chrono::milliseconds limit) {
        read_until([](const std::string&) { return false; }, limit);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string output;

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

// Ctrl-C during apply: no unit starts after it, those under way are seen
// through, and the report accounts for every unit exactly once, in agreement
// with what the units themselves hold.
TEST(CliProcess, CtrlCDuringApplyReportsAConsistentPartialOutcome) {
    constexpr int kUnits = 24;
    sim::SimOptions options = sim::options_on_free_ports();
    for (int i = 1; i <= kUnits; ++i) {
        sim::Tpx2UnitSettings unit;
        unit.name = "Hall-" + std::to_string(i);
        options.units.push_back(unit);
    }
    sim::SimNetwork network(options);
    ASSERT_EQ(network.start(), AUD_SUCCESS);
    std::vector<std::string> names;
    for (const auto& unit : options.units) {
        names.push_back(unit.name);
        // Slow units: the run lasts long enough to be interrupted in the middle.
        network.conmon().set_device_reply_delay(unit.name, std::chrono::milliseconds(150));
    }
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("tpx2ctl-ctrl-c-" + std::to_string(getpid()) + ".json");
    std::ofstream(file) << R"({"format_version":1,"parameters":{"Mode":2,"MicGate":0}})";

    std::vector<std::string> arguments = {TPX2CTL_PATH, "--conmon", "127.0.0.1:" + std::to_string(network.conmon_port()),
                                          "--cmm", "127.0.0.1:" + std::to_string(network.cmm_port()), "--json", "apply",
                                          file.string(), "--jobs", "2"};
    arguments.insert(arguments.end(), names.begin(), names.end());
    Child child(arguments);
    ASSERT_TRUE(child.started());
    const auto count_finished = [](const std::string& text) {
        size_t n = 0;
        for (size_t at = text.find("{\"device\""); at != std::string::npos; at = text.find("{\"device\"", at + 1)) {
            ++n;
        }
        return n;
    };
    ASSERT_TRUE(child.read_until([&](const std::string& text) { return count_finished(text) >= 2; },
                                 std::chrono::seconds(20)))
        << child.output;
    child.interrupt();
    const int status = child.finish(std::chrono::seconds(20));
    std::filesystem::remove(file);
    EXPECT_EQ(status, 1) << child.output;

    std::vector<std::string> lines;
    std::istringstream in(child.output);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    ASSERT_FALSE(lines.empty());
    const std::string summary = lines.back();
    EXPECT_EQ(summary.rfind("{\"summary\":{\"units\":24,", 0), 0u) << summary;
    EXPECT_NE(summary.find("\"failed\":[],"), std::string::npos) << summary;
    EXPECT_NE(summary.find("\"interrupted\":true}}"), std::string::npos) << summary;
    const size_t applied = lines.size() - 1;
    EXPECT_NE(summary.find("\"applied\":" + std::to_string(applied) + ","), std::string::npos) << summary;
    EXPECT_LT(applied, static_cast<size_t>(kUnits)) << "the run ended before the interrupt";

    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string line_head = "{\"device\":\"" + name + "\",\"status\":\"applied\"";
        size_t lines_for_unit = 0;
        for (size_t i = 0; i + 1 < lines.size(); ++i) {
            lines_for_unit += lines[i].rfind(line_head, 0) == 0 ? 1 : 0;
        }
        const bool not_started = summary.find("\"" + name + "\"") != std::string::npos;
        EXPECT_EQ(lines_for_unit + (not_started ? 1 : 0), 1u);
        const auto values = network.conmon().unit_parameters(name);
        ASSERT_TRUE(values);
        if (not_started) {
            EXPECT_EQ(network.conmon().device_control_messages(name), 0u);
            EXPECT_EQ((*values)[static_cast<size_t>(ParameterId::Mode) - 1], 0);
        } else {
            EXPECT_EQ((*values)[static_cast<size_t>(ParameterId::Mode) - 1], 2);
            EXPECT_EQ((*values)[static_cast<size_t>(ParameterId::MicGate) - 1], 0);
        }
    }
}

}  // namespace
