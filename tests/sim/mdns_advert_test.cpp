// What avn-sim's responder advertises for a device, and its command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/mdns_responder.h"
#include "sim/sim_options.h"

namespace {

TEST(MdnsAdvert, IdTextsFollowTheLabelRules) {
    struct Case {
        sim::ManufacturerId id;
        const char* label;
    };
    const Case cases[] = {
        {sim::kVornixManufacturerId, "Vornix"},
        {{'A', 'c', 'm', 'e', '-', '_', '9', 0}, "Acme-_9"},
        {{1, 2, 0, 0, 0, 0, 0, 0}, "_0102"},
        {{'_', 'x', 0, 0, 0, 0, 0, 0}, "_5f78"},
        {{'a', ' ', 'b', 0, 0, 0, 0, 0}, "_612062"},
        {{0, 0, 0, 0, 0, 0, 0, 0}, "_00"},
        {sim::model_id(8), "_0000000000000008"},
        {sim::model_id(0x01020304), "_0000000001020304"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sim::id_label(c.id), c.label);
    }
    EXPECT_EQ(sim::host_label("Stage Left_2"), "Stage-Left-2");
}

TEST(MdnsAdvert, ConmonTxtCarriesTheIdentity) {
    sim::MdnsDevice device;
    device.name = "TPX2-Stage";
    device.manufacturer_id = sim::kVornixManufacturerId;
    device.model = sim::kTpx2ModelId;
    device.source = conmon_source{{0x02, 'S', 'I', 'M', 0, 0, 0, 1}, 8800};
    const std::vector<std::string> txt = sim::conmon_txt_strings(device);
    for (const char* expected : {"mf=Vornix", "model=_0000000000000008", "id=0253494d00000001",
                                 "process=8800", "cmcp_vers=1.2.0", "cmcp_min=1.0.0"}) {
        EXPECT_NE(std::find(txt.begin(), txt.end(), expected), txt.end()) << expected;
    }
    device.conmon_txt = std::vector<std::string>{"model=x"};
    EXPECT_EQ(sim::conmon_txt_strings(device), std::vector<std::string>{"model=x"});
}

TEST(MdnsOptions, CommandLine) {
    const std::vector<std::string_view> arguments = {"--mdns",     "--mdns-interface",
                                                     "veth0",      "--mdns-control=0",
                                                     "--mdns-ttl", "3",
                                                     "--mdns-txt", "Odd;model=eight;;process=1",
                                                     "--unit",     "Odd"};
    const sim::ParsedOptions parsed = sim::parse_sim_options(arguments);
    ASSERT_EQ(parsed.error, "");
    const sim::MdnsSettings& mdns = parsed.options.mdns;
    EXPECT_TRUE(mdns.enabled);
    EXPECT_EQ(mdns.interface_name, "veth0");
    EXPECT_TRUE(mdns.control);
    EXPECT_EQ(mdns.control_port, 0);
    EXPECT_EQ(mdns.ttl, 3u);
    ASSERT_EQ(mdns.txt_overrides.size(), 1u);
    EXPECT_EQ(mdns.txt_overrides[0].device, "Odd");
    EXPECT_EQ(mdns.txt_overrides[0].strings,
              (std::vector<std::string>{"model=eight", "", "process=1"}));

    struct Bad {
        std::vector<std::string_view> arguments;
        const char* error;
    };
    const Bad bad[] = {
        {{"--mdns=yes"}, "--mdns takes no value"},
        {{"--mdns-ttl", "0"}, "--mdns-ttl: not a number of seconds above 0: '0'"},
        {{"--mdns-control", "70000"}, "--mdns-control: not a port number: '70000'"},
        {{"--mdns-txt", ";a=b"}, "--mdns-txt: needs a device name before the first ';'"},
        {{"--mdns-interface"}, "--mdns-interface needs a value"},
    };
    for (const Bad& b : bad) {
        EXPECT_EQ(sim::parse_sim_options(b.arguments).error, b.error);
    }
    EXPECT_FALSE(sim::parse_sim_options(std::vector<std::string_view>{}).options.mdns.enabled);
}

}  // namespace
