// tpx2ctl's commands for a site's units against avn-sim in-process: check,
// inventory and watch over several units, with what a script sees on its
// streams and the exit statuses.
#include <gtest/gtest.h>

#include <functional>

#include "cli/watch_command.h"
#include "tests/cli/site_fixture.h"

namespace {

using site_test::CliRun;
using site_test::SharedOutput;
using site_test::SiteCommands;
using site_test::eventually;

// What check prints and gives for a site that matches, one that has drifted
// in one parameter, and one with a unit that does not answer. The file names
// two parameters; the units' other values do not count.
TEST_F(SiteCommands, CheckTellsMatchingDriftedAndSilentUnitsApart) {
    const std::string file = write_file("site.json", R"({"format_version":1,"parameters":{"MicLf":0,"Mode":0}})");
    struct Case {
        const char* name;
        std::function<void(sim::ConmonServer&)> arrange;
        int status;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"all match", [](sim::ConmonServer&) {}, kExitSuccess,
         {"Hall-1: matches\n", "Hall-2: matches\n", "3 of 3 units match\n"}},
        {"one differs",
         [](sim::ConmonServer& conmon) {
             conmon.change_unit_parameter("Hall-2", ParameterId::Mode, 3);
             conmon.change_unit_parameter("Hall-1", ParameterId::MicGate, 0);  // not in the file
         },
         kExitUnitsDiffer,
         {"Hall-1: matches\n", "Hall-2: differs: Mode 3 (file 0)\n", "2 of 3 units match; differ: Hall-2\n"}},
        {"one muted", [](sim::ConmonServer& conmon) { conmon.set_device_muted("Hall-1", true); },
         kExitUnitUnavailable,
         {"Hall-1: FAILED: was not found or does not answer\n", "Hall-2: differs: Mode 3 (file 0)\n",
          "1 of 3 units match; differ: Hall-2; failed: Hall-1\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange(network_->conmon());
        const auto before = network_->conmon().unit_parameters("Hall-2");
        const CliRun r = run({"check", file, "Hall-1", "Hall-2", "Hall \"3\", left"});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        for (const std::string& line : c.lines) {
            EXPECT_NE(r.out.find(line), std::string::npos) << "missing " << line << "in:\n" << r.out;
        }
        // Nothing was changed.
        EXPECT_EQ(network_->conmon().unit_parameters("Hall-2"), before);
    }

    // The same as JSON: an object per unit, then the summary.
    const CliRun json = run({"--json", "check", file, "Hall-2", "Hall-1"});
    EXPECT_EQ(json.status, kExitUnitUnavailable);
    EXPECT_NE(json.out.find(R"({"device":"Hall-2","status":"differs","differences":[{"parameter":"Mode","unit":3,"file":0}]})"),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find(R"({"device":"Hall-1","status":"unavailable","error":"was not found or does not answer","differences":[]})"),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find(R"({"summary":{"units":2,"matching":0,"differing":["Hall-2"],"failed":["Hall-1"],"not_started":[],"interrupted":false}})"),
              std::string::npos)
        << json.out;
}

TEST_F(SiteCommands, CheckRefusesABadFileBeforeReadingAnyUnit) {
    const std::string file = write_file("bad.json", R"({"format_version":1,"parameters":{"Mode":9}})");
    const CliRun r = run({"check", file, "Hall-1"});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_NE(r.err.find("Mode must be from 0 to 4, got 9"), std::string::npos) << r.err;
    EXPECT_EQ(network_->conmon().client_count(), 0u);
}

TEST_F(SiteCommands, InventoryListsVersionsAndValuesAsATableOrJson) {
    network_->conmon().change_unit_parameter("Hall-2", ParameterId::MicHf, -7);
    CliRun r = run({"inventory", "Hall-1", "Hall-2"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(r.out,
              "name    manufacturer  model  bootloader  application  MicLf  MicHf  LineLf  LineHf  Mode  "
              "MicSensitivity  MicGate  status\n"
              "Hall-1  Vornix        -      2.5         1.3          0      0      0       0       0     4      "
              "         1        ok\n"
              "Hall-2  Vornix        -      -           2.1          0      -7     0       0       0     4      "
              "         1        ok\n");

    r = run({"inventory", "--json", "Hall-2", "Nobody"});
    EXPECT_EQ(r.status, kExitUnitUnavailable);
    EXPECT_EQ(r.out,
              R"({"units":[{"name":"Hall-2","status":"ok","manufacturer":"Vornix","model":null,"bootloader":null,)"
              R"("application":"2.1","parameters":{"MicLf":0,"MicHf":-7,"LineLf":0,"LineHf":0,"Mode":0,)"
              R"("MicSensitivity":4,"MicGate":1}},{"name":"Nobody","status":"unavailable",)"
              R"("error":"was not found or does not answer","manufacturer":null,"model":null,"bootloader":null,)"
              R"("application":null,"parameters":{"MicLf":null,"MicHf":null,"LineLf":null,"LineHf":null,)"
              R"("Mode":null,"MicSensitivity":null,"MicGate":null}}]})"
              "\n");
}

// Three units watched, one stopped mid-way: it is reported on its own line
// and the other two keep reporting.
TEST_F(SiteCommands, WatchGoesOnWhenOneUnitStops) {
    SharedOutput out;
    std::ostringstream err;
    auto status = start({"watch", "Hall-1", "Hall-2", "Hall \"3\", left"}, out, err);
    const auto has = [&](const std::string& text) { return out.text().find(text) != std::string::npos; };
    ASSERT_TRUE(eventually(
        [&] { return has("Hall-1: MicLf 0,") && has("Hall-2: MicLf 0,") && has("Hall \"3\", left: MicLf 0,"); },
        std::chrono::seconds(15)))
        << out.text();

    network_->conmon().set_device_muted("Hall-2", true);
    ASSERT_TRUE(eventually([&] { return has("Hall-2: gone: stopped answering\n"); },
                           std::chrono::milliseconds(kWatchCheckIntervalMs * (kWatchMissedChecks + 1) + 5000)))
        << out.text();
    network_->conmon().change_unit_parameter("Hall-1", ParameterId::Mode, 2);
    network_->conmon().change_unit_parameter("Hall \"3\", left", ParameterId::MicLf, -4);
    EXPECT_TRUE(eventually([&] { return has("Hall-1: MicLf 0, MicHf 0, LineLf 0, LineHf 0, Mode 2,"); },
                           std::chrono::seconds(5)))
        << out.text();
    EXPECT_TRUE(eventually([&] { return has("Hall \"3\", left: MicLf -4,"); }, std::chrono::seconds(5)))
        << out.text();
    interrupted_ = true;
    EXPECT_EQ(status.get(), kExitUnitUnavailable) << err.str();
    EXPECT_TRUE(err.str().empty()) << err.str();
}

// Every unit gone with the conmon server: the status says the service is down.
TEST_F(SiteCommands, WatchEndsWithStatusFourWhenTheServerIsAway) {
    network_->conmon().stop();
    const CliRun r = run({"watch", "Hall-1", "Hall-2"});
    EXPECT_EQ(r.status, kExitServicesUnavailable);
    EXPECT_NE(r.err.find("the conmon server on 127.0.0.1:"), std::string::npos) << r.err;
}

}  // namespace
