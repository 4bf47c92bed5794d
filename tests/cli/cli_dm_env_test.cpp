// tpx2ctl's Domain Manager settings from the environment: the password in
// TPX2CTL_PASSWORD, and TPX2_AVN_CLOUD pointing --cloud at avn-sim.
#include <cstdlib>

#include "tests/cli/cli_dm_fixture.h"

namespace {

TEST_F(CliWithDm, ThePasswordComesFromTheEnvironmentWithoutStandardInput) {
    ::setenv("TPX2CTL_PASSWORD", "p&ss w0rd", 1);
    CliRun r = run({"--dm", dm_address(), "--user", "ana", "domains"}, "");
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    ::unsetenv("TPX2CTL_PASSWORD");
    r = run({"--dm", dm_address(), "--user", "ana", "domains"}, "");
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_NE(r.err.find("no password"), std::string::npos) << r.err;
}

TEST_F(CliWithDm, TheCloudIsWhereTheEnvironmentSays) {
    ::setenv("TPX2_AVN_CLOUD", dm_address().c_str(), 1);
    const CliRun r = run({"--cloud", "--user", "ana", "--password-stdin", "domains"});
    ::unsetenv("TPX2_AVN_CLOUD");
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(r.out, "  Studio A  (id 1)\n  Studio B  (id 2)\n");
}

}  // namespace
