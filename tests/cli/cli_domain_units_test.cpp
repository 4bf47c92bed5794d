// tpx2ctl inside a managed domain: logged in to avn-sim's Domain Manager and
// with a domain chosen, every unit command travels through the Domain
// Manager's relay instead of the local conmon server, and discovery asks the
// Domain Manager's lookup service.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_runner.h"
#include "device/parameters.h"
#include "sim/dm/dm_connection_service.h"
#include "sim/dm/dm_relay.h"
#include "sim/dm/dm_web.h"
#include "sim/sim_network.h"
#include "tests/support/cli_run.h"

namespace {

using cli_test::CliRun;
using cli_test::run_tpx2ctl;

sim::Tpx2UnitSettings unit(const char* name, const char* domain) {
    sim::Tpx2UnitSettings settings;
    settings.name = name;
    settings.domain = domain;
    return settings;
}

class CliInDomain : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::SimOptions options = sim::options_on_free_ports();
        options.quiet = std::getenv("SIM_VERBOSE") == nullptr;
        options.dm.enabled = true;
        options.dm.port = 0;
        options.dm.users = {sim::DmUser("ana", "p&ss w0rd")};
        options.units = {unit("TPX2-Stage", "Studio A"), unit("TPX2-Booth", "Studio A"),
                         unit("TPX2-Side", "Studio A"), unit("TPX2-Foyer", "Studio B"),
                         unit("TPX2-Loose", "")};
        network_ = std::make_unique<sim::SimNetwork>(options);
        ASSERT_EQ(network_->start(), AUD_SUCCESS);
    }

    // tpx2ctl logged in to the Domain Manager, inside `domain`.
    CliRun run(const std::string& domain, std::vector<std::string> arguments) {
        std::vector<std::string> full = {"--cmm",
                                         "127.0.0.1:" + std::to_string(network_->cmm_port()),
                                         "--conmon",
                                         "127.0.0.1:" + std::to_string(network_->conmon_port()),
                                         "--timeout",
                                         "4000",
                                         "--dm",
                                         "127.0.0.1:" + std::to_string(network_->dm()->port()),
                                         "--user",
                                         "ana",
                                         "--password-stdin",
                                         "--domain",
                                         domain};
        full.insert(full.end(), arguments.begin(), arguments.end());
        return run_tpx2ctl(full, interrupted_, "p&ss w0rd\n");
    }

    int32_t parameter(const char* name, ParameterId id) {
        const auto values = network_->conmon().unit_parameters(name);
        return values ? (*values)[static_cast<size_t>(id) - 1] : -999;
    }

    std::unique_ptr<sim::SimNetwork> network_;
    std::atomic<bool> interrupted_{false};
};

TEST_F(CliInDomain, InfoGetAndSetGoThroughTheDomainManager) {
    CliRun r = run("Studio A", {"--json", "info", "TPX2-Stage"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(r.out,
              "{\"device\":\"TPX2-Stage\",\"bootloader\":\"2.5\",\"application\":\"1.3\"}\n");

    r = run("Studio A", {"--json", "get", "TPX2-Booth"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(r.out,
              "{\"device\":\"TPX2-Booth\",\"parameters\":{\"MicLf\":0,\"MicHf\":0,\"LineLf\":0,"
              "\"LineHf\":0,\"Mode\":0,\"MicSensitivity\":4,\"MicGate\":1}}\n");

    r = run("Studio A", {"--json", "set", "TPX2-Stage", "MicLf=-3", "Mode=4"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_NE(r.out.find("\"MicLf\":-3"), std::string::npos) << r.out;
    EXPECT_EQ(parameter("TPX2-Stage", ParameterId::MicLf), -3);
    EXPECT_EQ(parameter("TPX2-Stage", ParameterId::Mode), 4);

    // None of it reached the units through the local conmon server.
    EXPECT_EQ(network_->conmon().client_count(), 0u);
    EXPECT_GT(network_->dm_relay()->control_messages(), 0u);
}

TEST_F(CliInDomain, UnitsOutsideTheChosenDomainAreNotFound) {
    for (const char* name : {"TPX2-Foyer", "TPX2-Loose", "Nobody"}) {
        const CliRun r = run("Studio A", {"get", name});
        EXPECT_EQ(r.status, kExitUnitUnavailable) << name;
        EXPECT_EQ(r.err,
                  std::string("tpx2ctl: unit '") + name + "' was not found or does not answer\n");
        EXPECT_TRUE(r.out.empty());
    }
    // The same unit is found in its own domain.
    EXPECT_EQ(run("Studio B", {"get", "TPX2-Foyer"}).status, kExitSuccess);
}

TEST_F(CliInDomain, ANameTheDomainManagerNeverResolvesIsNotFound) {
    network_->dm_relay()->set_lookups_unanswered(true);
    const auto started = std::chrono::steady_clock::now();
    const CliRun r = run("Studio A", {"get", "TPX2-Stage"});
    EXPECT_EQ(r.status, kExitUnitUnavailable);
    EXPECT_EQ(r.err, "tpx2ctl: unit 'TPX2-Stage' was not found or does not answer\n");
    // The wait for the name is bounded: well within the command's own limit.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
    EXPECT_EQ(network_->dm_relay()->control_messages(), 0u);
}

TEST_F(CliInDomain, WatchSeesChangesMadeAtTheUnit) {
    auto watch = std::async(std::launch::async, [&] {
        return run("Studio A", {"--json", "watch", "TPX2-Stage"});
    });
    // Change the unit once the watch has subscribed through the Domain Manager.
    bool changed = false;
    for (int i = 0; i < 400 && !changed; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (network_->dm_relay()->control_messages() > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            changed =
                network_->conmon().change_unit_parameter("TPX2-Stage", ParameterId::LineHf, 6);
        }
    }
    ASSERT_TRUE(changed);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    interrupted_ = true;
    const CliRun r = watch.get();
    EXPECT_NE(r.out.find("\"LineHf\":6"), std::string::npos) << r.out << r.err;
}

TEST_F(CliInDomain, DiscoverListsTheUnitsOfTheDomain) {
    const CliRun r = run("Studio A", {"discover"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_NE(r.out.find("TPX2-Stage"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("TPX2-Booth"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("TPX2-Foyer"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("TPX2-Loose"), std::string::npos) << r.out;
    // Named as ad-hoc discovery names them: by the host's first label, the
    // name the Domain Manager resolves.
    EXPECT_NE(r.out.find("TPX2-Stage  Vornix  model 8\n"), std::string::npos) << r.out;
}

// The Domain Manager drops the connection on the change itself (after the
// request for all values went through): the domain is gone under the link,
// which is a lost link, not a missing unit.
TEST_F(CliInDomain, TheDomainManagerGoingAwayMidSetIsAClearError) {
    sim::DmConnectionService* service = network_->dm_service();
    std::atomic<int64_t> dropped_at{0};
    network_->dm_relay()->drop_on_next_control(
        [service, &dropped_at] {
            dropped_at = std::chrono::steady_clock::now().time_since_epoch().count();
            service->drop_connections();
        },
        1);
    const CliRun r = run("Studio A", {"set", "TPX2-Stage", "MicHf=5"});
    const auto ended = std::chrono::steady_clock::now().time_since_epoch();
    ASSERT_NE(dropped_at.load(), 0);
    // Told at once (not at the end of a timeout) that the change did not happen.
    EXPECT_LT(ended - std::chrono::steady_clock::duration(dropped_at.load()),
              std::chrono::seconds(2));
    EXPECT_EQ(r.status, kExitServicesUnavailable);
    EXPECT_EQ(
        r.err,
        "tpx2ctl: lost the link to unit 'TPX2-Stage': the Domain Manager connection dropped or "
        "the AVN domain changed\n");
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ(parameter("TPX2-Stage", ParameterId::MicHf), 0);
}

// A version query whose Domain Manager goes away names the Domain Manager,
// not the local conmon server, and exits 4.
TEST_F(CliInDomain, InfoNamesTheDomainManagerWhenItGoesAway) {
    sim::DmConnectionService* service = network_->dm_service();
    network_->dm_relay()->drop_on_next_control([service] { service->drop_connections(); });
    const CliRun r = run("Studio A", {"info", "TPX2-Stage"});
    EXPECT_EQ(r.status, kExitServicesUnavailable) << r.out << r.err;
    EXPECT_EQ(r.err, "tpx2ctl: unit 'TPX2-Stage' cannot be reached: the Domain Manager is not connected\n");
    EXPECT_TRUE(r.out.empty()) << r.out;
}

// A watch ends with one line and status 4 when the Domain Manager goes
// away, rather than printing nothing more for ever.
TEST_F(CliInDomain, WatchEndsWithStatusFourWhenTheDomainManagerDrops) {
    auto watch = std::async(std::launch::async, [&] {
        return run("Studio A", {"watch", "TPX2-Stage"});
    });
    bool subscribed = false;
    for (int i = 0; i < 800 && !subscribed; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        subscribed = network_->dm_relay()->control_messages() > 0;
    }
    ASSERT_TRUE(subscribed);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    network_->dm_service()->drop_connections();
    ASSERT_EQ(watch.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const CliRun r = watch.get();
    EXPECT_EQ(r.status, kExitServicesUnavailable);
    EXPECT_EQ(
        r.err,
        "tpx2ctl: lost the link to unit 'TPX2-Stage': the Domain Manager connection dropped or "
        "the AVN domain changed\n");
}

// Watching several units, each says on its own line that its link is gone
// when the Domain Manager drops, and the watch ends with status 4.
TEST_F(CliInDomain, AWatchOverSeveralUnitsEndsWithStatusFourWhenTheDomainManagerDrops) {
    auto watch = std::async(std::launch::async, [&] {
        return run("Studio A", {"watch", "TPX2-Stage", "TPX2-Booth"});
    });
    bool reported = false;
    for (int i = 0; i < 800 && !reported; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        reported = network_->dm_relay()->control_messages() >= 2;
    }
    ASSERT_TRUE(reported);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    network_->dm_service()->drop_connections();
    ASSERT_EQ(watch.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const CliRun r = watch.get();
    EXPECT_EQ(r.status, kExitServicesUnavailable) << r.out << r.err;
    for (const char* name : {"TPX2-Stage", "TPX2-Booth"}) {
        EXPECT_NE(r.out.find(std::string(name) + ": gone: its link was lost: the Domain Manager connection dropped"),
                  std::string::npos)
            << r.out;
    }
    EXPECT_EQ(r.err,
              "tpx2ctl: lost the units' links: the Domain Manager connection dropped or the AVN domain "
              "changed\n");
}

// Several clients of one program share the Domain Manager connection: each
// gets its own answers and its own unit's reports.
TEST_F(CliInDomain, ApplyWorksOnSeveralUnitsAtOnce) {
    const std::string file = ::testing::TempDir() + "/cli-domain-apply.json";
    { std::ofstream(file) << R"({"format_version":1,"parameters":{"Mode":3,"MicHf":-2}})"; }
    CliRun r =
        run("Studio A", {"apply", file, "--jobs", "3", "TPX2-Stage", "TPX2-Booth", "TPX2-Side"});
    EXPECT_EQ(r.status, kExitSuccess) << r.out << r.err;
    for (const char* name : {"TPX2-Stage", "TPX2-Booth", "TPX2-Side"}) {
        EXPECT_EQ(parameter(name, ParameterId::Mode), 3) << name;
        EXPECT_EQ(parameter(name, ParameterId::MicHf), -2) << name;
    }
    // The units found in the domain, by the names the Domain Manager knows.
    network_->conmon().change_unit_parameter("TPX2-Stage", ParameterId::Mode, 0);
    r = run("Studio A", {"apply", file, "--discovered", "--seconds", "2"});
    EXPECT_EQ(r.status, kExitSuccess) << r.out << r.err;
    EXPECT_EQ(parameter("TPX2-Stage", ParameterId::Mode), 3);
    EXPECT_EQ(r.out.find("TPX2-Foyer"), std::string::npos) << r.out;
}

}  // namespace
