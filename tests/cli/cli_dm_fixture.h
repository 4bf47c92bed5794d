// A simulated network with a Domain Manager, and tpx2ctl run against it
// in-process with a given standard input.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_runner.h"
#include "sim/dm/dm_connection_service.h"
#include "sim/dm/dm_dns.h"
#include "sim/dm/dm_web.h"
#include "sim/sim_network.h"
#include "tests/support/cli_run.h"

using cli_test::CliRun;
using cli_test::run_tpx2ctl;

class CliWithDm : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::SimOptions options = sim::options_on_free_ports();
        options.dm.enabled = true;
        options.dm.port = 0;
        options.dm.dns_port = 0;
        options.dm.users = {sim::DmUser("ana", "p&ss w0rd")};
        network_ = std::make_unique<sim::SimNetwork>(options);
        ASSERT_EQ(network_->start(), AUD_SUCCESS);
    }

    std::string dm_address() const { return "127.0.0.1:" + std::to_string(network_->dm()->port()); }

    CliRun run(std::vector<std::string> arguments, const std::string& input = "p&ss w0rd\n") {
        std::vector<std::string> full = {"--cmm", "127.0.0.1:" + std::to_string(network_->cmm_port()),
                                         "--conmon", "127.0.0.1:" + std::to_string(network_->conmon_port()),
                                         "--timeout", "4000"};
        full.insert(full.end(), arguments.begin(), arguments.end());
        return run_tpx2ctl(full, interrupted_, input);
    }

    std::unique_ptr<sim::SimNetwork> network_;
    std::atomic<bool> interrupted_{false};
};
