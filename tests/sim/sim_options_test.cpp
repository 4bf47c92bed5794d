// The command line of avn-sim.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim_options.h"

namespace {

sim::ParsedOptions parse(std::vector<std::string_view> arguments) {
    return sim::parse_sim_options(arguments);
}

TEST(SimOptions, WithoutDevicesTwoDefaultUnitsStart) {
    const sim::ParsedOptions parsed = parse({});
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.options.units.size(), 2u);
    EXPECT_EQ(parsed.options.units[0].name, "TPX2-Stage");
    EXPECT_EQ(parsed.options.units[1].name, "TPX2-Booth");
    EXPECT_EQ(parsed.options.units[0].bootloader_version, 0x0205);
    EXPECT_EQ(parsed.options.units[0].application_version, 0x00010003u);
    EXPECT_EQ(parsed.options.units[0].model, 8u);
    EXPECT_EQ(parsed.options.units[0].parameters, (sim::ParameterValues{0, 0, 0, 0, 0, 4, 1}));
    EXPECT_EQ(parsed.options.conmon.port, 8900);
    EXPECT_EQ(parsed.options.conmon.version, 0x1503);
}

TEST(SimOptions, UnitsAndDevicesTakeTheirKeys) {
    const sim::ParsedOptions parsed =
        parse({"--unit",
               "Rack,bootloader=0,application=3.12,model=9,miclf=-12,MicGate=0",
               "--device=Desk,maker=Acme,model=4",
               "--conmon-port",
               "0",
               "--server-version",
               "0x1300",
               "--mute",
               "rack",
               "--drop",
               "0.25",
               "--corrupt-incoming=1",
               "--seed",
               "7",
               "--delay",
               "40",
               "--client-timeout",
               "0",
               "--quiet",
               "--silent",
               "--local-name",
               "Host"});
    ASSERT_EQ(parsed.error, "");
    const sim::SimOptions& options = parsed.options;
    ASSERT_EQ(options.units.size(), 1u);
    const sim::Tpx2UnitSettings& unit = options.units[0];
    EXPECT_EQ(unit.name, "Rack");
    EXPECT_EQ(unit.bootloader_version, 0);
    EXPECT_EQ(unit.application_version, (3u << 16) | 12u);
    EXPECT_EQ(unit.model, 9u);
    EXPECT_EQ(unit.parameters, (sim::ParameterValues{-12, 0, 0, 0, 0, 4, 0}));
    ASSERT_EQ(options.devices.size(), 1u);
    EXPECT_EQ(options.devices[0].name, "Desk");
    EXPECT_EQ(options.devices[0].maker, "Acme");
    EXPECT_EQ(options.devices[0].model, 4u);
    EXPECT_EQ(options.conmon.port, 0);
    EXPECT_EQ(options.conmon.version, 0x1300);
    EXPECT_EQ(options.muted_devices, (std::vector<std::string>{"rack"}));
    EXPECT_DOUBLE_EQ(options.faults_to_clients.drop_fraction, 0.25);
    EXPECT_DOUBLE_EQ(options.faults_from_clients.corrupt_fraction, 1.0);
    EXPECT_EQ(options.conmon.seed, 7u);
    EXPECT_EQ(options.delay.count(), 40);
    EXPECT_EQ(options.conmon.client_timeout.count(), 0);
    EXPECT_TRUE(options.quiet);
    EXPECT_TRUE(options.silent);
    EXPECT_EQ(options.conmon.local_device_name, "Host");
}

TEST(SimOptions, ManyUnitsAreNamedAfterTheirPattern) {
    sim::ParsedOptions parsed = parse({"--units", "12", "--mute", "tpx2-012"});
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.options.units.size(), 12u);
    EXPECT_EQ(parsed.options.units[0].name, "TPX2-001");
    EXPECT_EQ(parsed.options.units[11].name, "TPX2-012");
    EXPECT_EQ(parsed.options.units[11].parameters, sim::default_parameter_values());

    // The run of '#' anywhere in the name; a number wider than the run keeps
    // its digits; the keys of --unit apply to every unit.
    parsed = parse({"--units", "10,name=Hall-#-L,Mode=2,bootloader=3.1", "--unit", "Desk"});
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.options.units.size(), 11u);
    EXPECT_EQ(parsed.options.units[0].name, "Hall-1-L");
    EXPECT_EQ(parsed.options.units[9].name, "Hall-10-L");
    EXPECT_EQ(parsed.options.units[9].parameters[static_cast<size_t>(ParameterId::Mode) - 1], 2);
    EXPECT_EQ(parsed.options.units[9].bootloader_version, 0x0301);
    EXPECT_EQ(parsed.options.units[10].name, "Desk");
}

TEST(SimOptions, TheConnectionManagersOptionsAreHandedOver) {
    const sim::ParsedOptions parsed =
        parse({"--local-name", "STUDIO-PC", "--cmm-port", "0", "--network", "Wi-Fi", "--unit", "A"});
    ASSERT_TRUE(parsed.error.empty()) << parsed.error;
    EXPECT_EQ(parsed.options.cmm.port, 0);
    ASSERT_EQ(parsed.options.cmm.networks.size(), 1u);
    EXPECT_EQ(parsed.options.cmm.device_name, "STUDIO-PC");
    EXPECT_FALSE(parse({"--cmm-port", "70000"}).error.empty());
}

TEST(SimOptions, HelpAndVersionStopParsing) {
    EXPECT_TRUE(parse({"--help", "--bogus"}).help);
    EXPECT_TRUE(parse({"--quiet", "--version", "--bogus"}).version);
    EXPECT_NE(std::string(sim::sim_usage()).find("--conmon-port"), std::string::npos);
}

TEST(SimOptions, MistakesAreNamed) {
    struct Case {
        std::vector<std::string_view> arguments;
        const char* error_part;
    };
    const Case cases[] = {
        {{"--bogus"}, "unknown option"},
        {{"--conmon-port"}, "needs a value"},
        {{"--conmon-port", "65536"}, "not a port"},
        {{"--server-version", "0x0fff"}, "0x1000 to 0x1FFF"},
        {{"--server-version", "0x2000"}, "0x1000 to 0x1FFF"},
        {{"--unit", ""}, "1 to 31 characters"},
        {{"--unit", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"}, "1 to 31 characters"},
        {{"--unit", "A", "--device", "a,maker=X"}, "two devices"},
        {{"--unit", "A,bootloader=2"}, "bootloader version"},
        {{"--unit", "A,bootloader=256.0"}, "bootloader version"},
        {{"--unit", "A,application=1.65536"}, "application version"},
        {{"--unit", "A,MicHf=13"}, "MicHf from -12 to 12"},
        {{"--unit", "A,Mode=5"}, "Mode from 0 to 4"},
        {{"--unit", "A,colour=red"}, "unknown key"},
        {{"--unit", "A,model"}, "not KEY=VALUE"},
        {{"--device", "D,model=3"}, "maker=TEXT is required"},
        {{"--device", "D,maker=TooLongMaker"}, "1 to 8 bytes"},
        {{"--drop", "1.5"}, "fraction"},
        {{"--corrupt", "-0.1"}, "fraction"},
        {{"--mute", "Nobody"}, "no device is named"},
        {{"--units", "0"}, "from 1 to 1000"},
        {{"--units", "1001"}, "from 1 to 1000"},
        {{"--units", "x"}, "from 1 to 1000"},
        {{"--units", "2,name=Rack"}, "no '#'"},
        {{"--units", "2,name=ABCDEFGHIJKLMNOPQRSTUVWXYZABCD##"}, "1 to 31 characters"},
        {{"--units", "2", "--unit", "tpx2-002"}, "two devices"},
        {{"--units", "2,Mode=9"}, "--units TPX2-###: Mode from 0 to 4"},
        {{"--units", "2,colour"}, "--units: not KEY=VALUE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error_part);
        const sim::ParsedOptions parsed = parse(c.arguments);
        EXPECT_NE(parsed.error.find(c.error_part), std::string::npos) << parsed.error;
    }
}

// The help comes from the declarations of every part of the simulator, in
// the four groups and the order a reader looks for them.
TEST(SimOptions, HelpIsGroupedAndNamesEveryPart) {
    const std::string help = sim::sim_usage();
    size_t at = 0;
    for (const char* group : {"Network:", "Units and devices:", "Faults:", "Domain Manager:"}) {
        const size_t found = help.find(group, at);
        ASSERT_NE(found, std::string::npos) << group;
        at = found;
    }
    for (const char* option : {"--conmon-port", "--cmm-port", "--network", "--mdns-txt", "--unit ", "--units",
                               "--device", "--mute", "--cmm-silent", "--dm-domain", "--dm-fault", "bootloader=X.Y"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
    // Values may follow '=', and the units keep the order they were given in.
    const sim::ParsedOptions parsed = parse({"--unit=B", "--units=2,name=A-#", "--unit", "C"});
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.options.units.size(), 4u);
    EXPECT_EQ(parsed.options.units[0].name, "B");
    EXPECT_EQ(parsed.options.units[1].name, "A-1");
    EXPECT_EQ(parsed.options.units[3].name, "C");
}

}  // namespace
