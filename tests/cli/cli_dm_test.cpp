// tpx2ctl in a managed network against avn-sim's Domain Manager in-process:
// the login by address, by DNS and as the AVN Cloud, the domains command,
// and the exit statuses of every way the login can fail.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <sstream>

#include "cli/cli_runner.h"
#include "sim/dm/dm_connection_service.h"
#include "sim/dm/dm_dns.h"
#include "sim/dm/dm_web.h"
#include "sim/sim_network.h"

namespace {

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

class CliWithDm : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::SimOptions options;
        options.conmon.port = 0;
        options.cmm.port = 0;
        options.quiet = true;
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
        const CliParseResult parsed = parse_cli_arguments(full);
        if (!parsed.options) {
            return {kExitUsage, "", parsed.error};
        }
        std::istringstream in(input);
        std::ostringstream out;
        std::ostringstream err;
        const int status = run_cli_command(*parsed.options, in, out, err, interrupted_);
        return {status, out.str(), err.str()};
    }

    std::unique_ptr<sim::SimNetwork> network_;
    std::atomic<bool> interrupted_{false};
};

TEST_F(CliWithDm, ListsTheDomainsByEveryWayOfFindingTheDomainManager) {
    const std::string dns = "127.0.0.1:" + std::to_string(network_->dm_dns()->port());
    const std::vector<std::vector<std::string>> ways = {
        {"--dm", dm_address()},
        {"--dm-discover", "--dm-dns", dns},
        {"--cloud"},
    };
    ::setenv("TPX2_AVN_CLOUD", dm_address().c_str(), 1);
    for (std::vector<std::string> way : ways) {
        way.insert(way.end(), {"--user", "ana", "--password-stdin", "--json", "domains"});
        const CliRun r = run(way);
        EXPECT_EQ(r.status, kExitSuccess) << way[0] << ": " << r.err;
        EXPECT_EQ(r.out,
                  "{\"domains\":[{\"name\":\"Studio A\",\"id\":1,\"current\":false},"
                  "{\"name\":\"Studio B\",\"id\":2,\"current\":false}]}\n")
            << way[0];
    }
    ::unsetenv("TPX2_AVN_CLOUD");

    const CliRun text = run({"--dm", dm_address(), "--user", "ana", "--password-stdin", "domains"});
    EXPECT_EQ(text.out, "  Studio A  (id 1)\n  Studio B  (id 2)\n");
    // The password never shows.
    EXPECT_EQ(text.err.find("w0rd"), std::string::npos);
}

TEST_F(CliWithDm, EveryFailureHasItsExitStatus) {
    struct Case {
        const char* what;
        std::function<std::vector<std::string>(const std::string& address)> arguments;
        std::string input;
        std::function<void(sim::SimNetwork&)> fault;
        int status;
        const char* message;
    };
    const auto login = [](const std::string& address) {
        return std::vector<std::string>{"--dm", address, "--user", "ana", "--password-stdin", "domains"};
    };
    const Case cases[] = {
        {"wrong password", login, "wrong\n", nullptr, kExitDmRefused, "refused the login for 'ana'"},
        {"untrusted certificate", login, "p&ss w0rd\n",
         [](sim::SimNetwork& n) { n.dm()->set_certificate(sim::DmCertificate::Untrusted); },
         kExitDmUntrusted, "could not be trusted"},
        {"key changed after identify", login, "p&ss w0rd\n",
         [](sim::SimNetwork& n) { n.dm()->set_key_change(true); }, kExitDmUntrusted,
         "could not be trusted"},
        {"nothing listening", login, "p&ss w0rd\n",
         [](sim::SimNetwork& n) { ASSERT_EQ(n.dm()->set_closed(true), AUD_SUCCESS); },
         kExitServicesUnavailable, "could not be reached"},
        {"no Domain Manager found",
         [](const std::string&) {
             return std::vector<std::string>{"--dm-discover", "--dm-dns", "127.0.0.1:9", "--user", "ana",
                                             "--password-stdin", "--timeout", "600", "domains"};
         },
         "p&ss w0rd\n", nullptr, kExitServicesUnavailable, "no Domain Manager found"},
        {"no password",
         [](const std::string& address) {
             return std::vector<std::string>{"--dm", address, "--user", "ana", "domains"};
         },
         "", nullptr, kExitUsage,
         "no password"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.fault) {
            c.fault(*network_);
        }
        ::unsetenv("TPX2CTL_PASSWORD");
        const CliRun r = run(c.arguments(dm_address()), c.input);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("w0rd"), std::string::npos) << r.err;
        TearDown();
        SetUp();
    }
}

TEST_F(CliWithDm, ThePasswordMayComeFromTheEnvironment) {
    ::setenv("TPX2CTL_PASSWORD", "p&ss w0rd", 1);
    const CliRun r = run({"--dm", dm_address(), "--user", "ana", "domains"}, "");
    ::unsetenv("TPX2CTL_PASSWORD");
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
}

}  // namespace
