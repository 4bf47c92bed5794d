// tpx2ctl's Domain Manager settings from the environment: the password in
// TPX2CTL_PASSWORD, and TPX2_AVN_CLOUD pointing --cloud at avn-sim.
#include <cstdlib>

#include "tests/cli/cli_dm_fixture.h"

namespace {

TEST_F(CliWithDm, ThePasswordComesFromTheEnvironmentWithoutStandardInput) {
    ::setenv("TPX2CTL_PASSWORD", "p&ss w0rd", 1);
    CliRun r = run({"--dm", dm_address(), "--user", "ana", "domains"}, "");
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    // Taken out of the environment: no child process inherits it.
    EXPECT_EQ(std::getenv("TPX2CTL_PASSWORD"), nullptr);
    r = run({"--dm", dm_address(), "--user", "ana", "domains"}, "");
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_NE(r.err.find("no password"), std::string::npos) << r.err;
}

// An over-long password is refused in words, never sent cut or empty.
TEST_F(CliWithDm, AnOverLongPasswordIsRefused) {
    const std::string long_password(1024, 'p');
    ::setenv("TPX2CTL_PASSWORD", long_password.c_str(), 1);
    CliRun r = run({"--dm", dm_address(), "--user", "ana", "domains"}, "");
    EXPECT_EQ(std::getenv("TPX2CTL_PASSWORD"), nullptr);
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_NE(r.err.find("TPX2CTL_PASSWORD is longer than 1023 bytes"), std::string::npos) << r.err;

    r = run({"--dm", dm_address(), "--user", "ana", "--password-stdin", "domains"},
            long_password + "\n");
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_NE(r.err.find("standard input is longer than 1023 bytes"), std::string::npos) << r.err;
    EXPECT_EQ(network_->dm()->logins_accepted() + network_->dm()->logins_refused(), 0u);

    // The longest that is taken: a line of 1023 bytes and a CR LF.
    r = run({"--dm", dm_address(), "--user", "ana", "--password-stdin", "domains"},
            std::string(1023, 'p') + "\r\n");
    EXPECT_EQ(r.status, kExitDmRefused) << r.err;
}

TEST_F(CliWithDm, TheCloudIsWhereTheEnvironmentSays) {
    ::setenv("TPX2_AVN_CLOUD", dm_address().c_str(), 1);
    const CliRun r = run({"--cloud", "--user", "ana", "--password-stdin", "domains"});
    ::unsetenv("TPX2_AVN_CLOUD");
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(r.out, "  Studio A  (id 1)\n  Studio B  (id 2)\n");
}

}  // namespace
