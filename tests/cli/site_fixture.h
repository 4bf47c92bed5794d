// A simulated site for tpx2ctl's commands over several units: avn-sim
// in-process with three TPX-2 units, one of them named with a comma and
// quotes, and the command run as a script would run it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_runner.h"
#include "sim/sim_network.h"
#include "tests/support/cli_run.h"

namespace site_test {

using cli_test::CliRun;
using cli_test::run_tpx2ctl;
using cli_test::SharedOutput;
using cli_test::eventually;

class SiteCommands : public ::testing::Test {
protected:
    void SetUp() override {
        sim::SimOptions options = sim::options_on_free_ports();
        for (const char* name : {"Hall-1", "Hall-2", "Hall \"3\", left"}) {
            sim::Tpx2UnitSettings unit;
            unit.name = name;
            options.units.push_back(unit);
        }
        options.units[1].bootloader_version = 0;
        options.units[1].application_version = 0x00020001;
        network_ = std::make_unique<sim::SimNetwork>(options);
        ASSERT_EQ(network_->start(), AUD_SUCCESS);
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    std::string write_file(const std::string& name, const std::string& text) {
        std::filesystem::create_directories(directory_);
        const std::filesystem::path path = directory_ / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }

    std::vector<std::string> with_services(std::vector<std::string> arguments) const {
        std::vector<std::string> full = {"--conmon", "127.0.0.1:" + std::to_string(network_->conmon_port()),
                                         "--cmm", "127.0.0.1:" + std::to_string(network_->cmm_port()),
                                         "--timeout", "3000"};
        full.insert(full.end(), arguments.begin(), arguments.end());
        return full;
    }

    CliRun run(std::vector<std::string> arguments) {
        return run_tpx2ctl(with_services(std::move(arguments)), interrupted_);
    }

    std::future<int> start(std::vector<std::string> arguments, SharedOutput& out, std::ostringstream& err) {
        return std::async(std::launch::async, [this, full = with_services(std::move(arguments)), &out, &err] {
            const CliParseResult parsed = parse_cli_arguments(full);
            std::ostream out_stream(&out);
            return parsed.options ? run_cli_command(*parsed.options, out_stream, err, interrupted_) : -1;
        });
    }

    std::unique_ptr<sim::SimNetwork> network_;
    std::atomic<bool> interrupted_{false};
    const std::filesystem::path directory_ =
        std::filesystem::temp_directory_path() /
        ("tpx2ctl-site-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
};

}  // namespace site_test
