// tpx2ctl as a process, for what only its entry sets up: the locale from the
// environment, through which device names reach the unit.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "sim/sim_network.h"

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
    sim::SimOptions options;
    options.conmon.port = 0;
    options.cmm.port = 0;
    options.quiet = true;
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

}  // namespace
