// tpx2ctl discover end to end against avn-sim in-process, with its DNS-SD
// responder on the loopback interface of a private network namespace: what
// a script sees on standard output and the exit statuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_discover.h"
#include "cli/cli_options.h"
#include "cli/cli_runner.h"
#include "sim/sim_network.h"
#include "tests/avn/dnssd/dnssd_test_support.h"
#include "tests/support/cli_run.h"

namespace {

using cli_test::CliRun;
using cli_test::run_tpx2ctl;

class DiscoverWithSim : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!dnssd_test::in_private_namespace()) {
            GTEST_SKIP() << "multicast tests run only in a private network namespace";
        }
        sim::SimOptions options = sim::options_on_free_ports();
        options.mdns.enabled = true;
        options.mdns.interface_name = "lo";
        sim::Tpx2UnitSettings stage;
        stage.name = "TPX2-Stage";
        sim::Tpx2UnitSettings booth;
        booth.name = "TPX2-Booth";
        booth.bootloader_version = 0;
        sim::Tpx2UnitSettings rack;
        rack.name = "Rack-7";
        rack.model = 7;
        sim::Tpx2UnitSettings anon;
        anon.name = "Anon";
        options.units = {stage, booth, rack, anon};
        options.devices = {{"Desk", "Acme", 8}};
        // A unit whose advert has no manufacturer is never listed.
        options.mdns.txt_overrides = {{"Anon", {"model=_08", "process=8800"}}};
        network_ = std::make_unique<sim::SimNetwork>(options);
        ASSERT_EQ(network_->start(), AUD_SUCCESS);
        ASSERT_TRUE(network_->mdns()->wait_announced(std::chrono::seconds(5)));
    }

    CliRun run(std::vector<std::string> arguments) {
        std::vector<std::string> full = {
            "--conmon",  "127.0.0.1:" + std::to_string(network_->conmon_port()),
            "--cmm",     "127.0.0.1:" + std::to_string(network_->cmm_port()),
            "--timeout", "3000"};
        full.insert(full.end(), arguments.begin(), arguments.end());
        return run_tpx2ctl(full, interrupted_);
    }

    std::unique_ptr<sim::SimNetwork> network_;
    std::atomic<bool> interrupted_{false};
};

TEST_F(DiscoverWithSim, ListsTheTpx2UnitsOnceEachAsJsonInNameOrder) {
    const CliRun r = run({"--json", "discover", "--seconds", "2"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(r.out,
              "{\"units\":[{\"name\":\"TPX2-Booth\",\"manufacturer\":\"Vornix\",\"model\":8},"
              "{\"name\":\"TPX2-Stage\",\"manufacturer\":\"Vornix\",\"model\":8}]}\n");
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST_F(DiscoverWithSim, AllListsEveryDeviceOfTheMakerWithVersions) {
    const CliRun r = run({"--json", "discover", "--seconds", "2", "--all", "--versions"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(
        r.out,
        "{\"units\":["
        "{\"name\":\"Rack-7\",\"manufacturer\":\"Vornix\",\"model\":7,\"bootloader\":\"2.5\","
        "\"application\":\"1.3\"},"
        "{\"name\":\"TPX2-Booth\",\"manufacturer\":\"Vornix\",\"model\":8,\"bootloader\":null,"
        "\"application\":\"1.3\"},"
        "{\"name\":\"TPX2-Stage\",\"manufacturer\":\"Vornix\",\"model\":8,\"bootloader\":\"2.5\","
        "\"application\":\"1.3\"}]}\n");
}

TEST_F(DiscoverWithSim, PlainOutputPrintsEachUnitAsItIsFound) {
    const CliRun r = run({"discover", "--seconds", "2"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    const bool stage_first = r.out.rfind("TPX2-Stage", 0) == 0;
    const std::string stage = "TPX2-Stage  Vornix  model 8\n";
    const std::string booth = "TPX2-Booth  Vornix  model 8\n";
    EXPECT_EQ(r.out, stage_first ? stage + booth : booth + stage);
}

TEST_F(DiscoverWithSim, NothingFoundIsNoError) {
    network_->mdns()->remove_device("TPX2-Stage");
    network_->mdns()->remove_device("TPX2-Booth");
    const CliRun r = run({"--json", "discover", "--seconds", "1"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(r.out, "{\"units\":[]}\n");
}

TEST_F(DiscoverWithSim, UsageErrorsAndMissingServices) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"discover", "--seconds", "0"},
          std::vector<std::string>{"discover", "--seconds"},
          std::vector<std::string>{"discover", "--every"},
          std::vector<std::string>{"discover", "TPX2-Stage"}}) {
        EXPECT_EQ(run(args).status, kExitUsage) << args.back();
    }
    network_->stop();
    const CliRun r = run({"--timeout", "300", "discover", "--seconds", "1"});
    EXPECT_EQ(r.status, kExitServicesUnavailable);
    EXPECT_NE(r.err.find("the AVN platform service is not running"), std::string::npos) << r.err;
}

// apply --discovered puts the settings on the TPX-2 units that discovery
// finds, and on nothing else.
TEST_F(DiscoverWithSim, ApplyToTheDiscoveredUnits) {
    const std::string file = ::testing::TempDir() + "discovered-settings.json";
    {
        std::ofstream settings(file);
        settings << "{\"format_version\":1,\"parameters\":{\"LineLf\":-4}}\n";
    }
    const CliRun r = run({"apply", file, "--discovered", "--seconds", "2"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err << r.out;
    for (const char* unit : {"TPX2-Stage", "TPX2-Booth"}) {
        const auto values = network_->conmon().unit_parameters(unit);
        ASSERT_TRUE(values) << unit;
        EXPECT_EQ((*values)[static_cast<size_t>(ParameterId::LineLf) - 1], -4) << unit;
    }
    const auto rack = network_->conmon().unit_parameters("Rack-7");
    ASSERT_TRUE(rack);
    EXPECT_EQ((*rack)[static_cast<size_t>(ParameterId::LineLf) - 1], 0);
    std::remove(file.c_str());
}

TEST(DiscoverOutput, ManufacturerIdsAreWrittenAsTheirIdText) {
    DiscoveredUnit unit;
    unit.name = "Odd \"one\"";
    unit.manufacturer = {0x01, 0x02, 0, 0, 0, 0, 0, 0};
    unit.model = 0x0102030405060708ull;
    EXPECT_EQ(discovered_manufacturer_text(unit), "_0102");
    EXPECT_EQ(format_discovered_units_json({unit}, false),
              "{\"units\":[{\"name\":\"Odd \\\"one\\\"\",\"manufacturer\":\"_0102\",\"model\":"
              "72623859790382856}]}\n");
    EXPECT_EQ(format_discovered_unit(unit, true),
              "Odd \"one\"  _0102  model 72623859790382856  bootloader none  application none\n");
}

}  // namespace
