// tpx2ctl in a managed network against avn-sim's Domain Manager in-process:
// the login by address and by DNS, the domains command, choosing a domain,
// and the exit statuses of every way the login can fail.
#include <algorithm>
#include <chrono>
#include <functional>

#include "tests/cli/cli_dm_fixture.h"

namespace {

TEST_F(CliWithDm, ListsTheDomainsByEveryWayOfFindingTheDomainManager) {
    const std::string dns = "127.0.0.1:" + std::to_string(network_->dm_dns()->port());
    const std::vector<std::vector<std::string>> ways = {
        {"--dm", dm_address()},
        {"--dm-discover", "--dm-dns", dns},
    };
    for (std::vector<std::string> way : ways) {
        way.insert(way.end(), {"--user", "ana", "--password-stdin", "--json", "domains"});
        const CliRun r = run(way);
        EXPECT_EQ(r.status, kExitSuccess) << way[0] << ": " << r.err;
        EXPECT_EQ(r.out,
                  "{\"domains\":[{\"name\":\"Studio A\",\"id\":1,\"current\":false},"
                  "{\"name\":\"Studio B\",\"id\":2,\"current\":false}]}\n")
            << way[0];
    }

    const CliRun text = run({"--dm", dm_address(), "--user", "ana", "--password-stdin", "domains"});
    EXPECT_EQ(text.out, "  Studio A  (id 1)\n  Studio B  (id 2)\n");
    // The password never shows.
    EXPECT_EQ(text.err.find("w0rd"), std::string::npos);
}

TEST_F(CliWithDm, ADomainIsChosenByName) {
    CliRun r = run({"--dm", dm_address(), "--user", "ana", "--password-stdin", "--domain", "Studio B",
                    "domains"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(r.out, "  Studio A  (id 1)\n* Studio B  (id 2)\n");

    r = run({"--dm", dm_address(), "--user", "ana", "--password-stdin", "--domain", "Studio C", "domains"});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_NE(r.err.find("no domain called 'Studio C' (offered: Studio A, Studio B)"), std::string::npos)
        << r.err;
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
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.fault) {
            c.fault(*network_);
        }
        const CliRun r = run(c.arguments(dm_address()), c.input);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("w0rd"), std::string::npos) << r.err;
        TearDown();
        SetUp();
    }
}

// A server that takes the connection and never answers is given up after
// --timeout (which bounds each exchange), and leaves nothing behind: the
// next login works.
TEST_F(CliWithDm, ASilentServerIsGivenUpAndTheNextLoginWorks) {
    network_->dm()->set_delay(std::chrono::milliseconds(600000));
    const auto started = std::chrono::steady_clock::now();
    CliRun r = run({"--timeout", "1000", "--dm", dm_address(), "--user", "ana", "--password-stdin",
                    "domains"});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(r.status, kExitServicesUnavailable);
    EXPECT_NE(r.err.find("did not answer the identification within 1000 ms"), std::string::npos)
        << r.err;
    network_->dm()->set_delay(std::chrono::milliseconds(0));
    r = run({"--dm", dm_address(), "--user", "ana", "--password-stdin", "domains"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
}

// --timeout bounds each exchange, not their sum: a slow but honest server
// whose every answer takes longer than half of it is still logged in to.
TEST_F(CliWithDm, TheTimeoutBoundsEachExchangeNotTheirSum) {
    network_->dm()->set_delay(std::chrono::milliseconds(1200));
    const CliRun r = run({"--timeout", "2000", "--dm", dm_address(), "--user", "ana",
                          "--password-stdin", "domains"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
}

// A failure is one sentence of tpx2ctl's; the library's own lines only with
// --verbose.
TEST_F(CliWithDm, AFailureIsOneSentenceUnlessVerbose) {
    for (const bool verbose : {false, true}) {
        SCOPED_TRACE(verbose ? "verbose" : "not verbose");
        std::vector<std::string> arguments = {"--dm", dm_address(), "--user", "ana",
                                              "--password-stdin", "domains"};
        if (verbose) {
            arguments.insert(arguments.begin(), "--verbose");
        }
        testing::internal::CaptureStderr();
        const CliRun r = run(arguments, "wrong\n");
        const std::string library_lines = testing::internal::GetCapturedStderr();
        EXPECT_EQ(r.status, kExitDmRefused);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(library_lines.find("Request Unauthorised.") != std::string::npos, verbose)
            << library_lines;
    }
}

}  // namespace
