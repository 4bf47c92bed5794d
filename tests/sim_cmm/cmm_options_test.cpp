// The connection manager's command-line options and the text helpers under
// them.
#include "sim/cmm/cmm_options.h"

#include <gtest/gtest.h>

#include "sim/command_line.h"

#include <string>
#include <vector>

namespace {

using std::chrono::milliseconds;

std::string parse(std::vector<std::string_view> arguments, sim::CmmSettings* settings) {
    return sim::parse_cmm_options(arguments, settings);
}

TEST(CmmOptions, DefaultsOfferTwoNetworks) {
    sim::CmmSettings settings;
    ASSERT_EQ(parse({}, &settings), "");
    EXPECT_EQ(settings.port, 8850);
    EXPECT_FALSE(settings.silent);
    EXPECT_FALSE(settings.refuse);
    EXPECT_EQ(settings.apply_delay, milliseconds(200));
    const std::vector<sim::CmmNetwork> offered = sim::offered_networks(settings);
    ASSERT_EQ(offered.size(), 2u);
    EXPECT_EQ(offered[0].name, u"Ethernet");
    EXPECT_EQ(sim::mac_text(offered[0].mac), "02:53:49:4d:00:01");
    EXPECT_EQ(offered[1].name, u"Ethernet 2");
    EXPECT_EQ(sim::mac_text(offered[1].mac), "02:53:49:4d:00:02");
}

TEST(CmmOptions, EveryOptionInBothForms) {
    sim::CmmSettings settings;
    ASSERT_EQ(parse({"--cmm-port", "0x2293", "--network", "LAN,mac=00:1A:2b:3c:4d:5E",
                     "--network=Wi-Fi", "--network", "Caf\xC3\xA9 \xF0\x9F\x8E\xB5",
                     "--cmm-apply-delay=0", "--cmm-silent", "--cmm-refuse"},
                    &settings),
              "");
    EXPECT_EQ(settings.port, 0x2293);
    EXPECT_EQ(settings.apply_delay, milliseconds(0));
    EXPECT_TRUE(settings.silent);
    EXPECT_TRUE(settings.refuse);
    // Given networks replace the default ones, in the order given.
    const std::vector<sim::CmmNetwork> offered = sim::offered_networks(settings);
    ASSERT_EQ(offered.size(), 3u);
    EXPECT_EQ(offered[0].name, u"LAN");
    EXPECT_EQ(sim::mac_text(offered[0].mac), "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(offered[1].name, u"Wi-Fi");
    EXPECT_EQ(sim::mac_text(offered[1].mac), "02:53:49:4d:00:02");  // by its position
    EXPECT_EQ(offered[2].name, u"Caf\u00e9 \U0001F3B5");            // a surrogate pair

    ASSERT_EQ(parse({"--cmm-port=0", "--cmm-apply-delay", "60000"}, &settings), "");
    EXPECT_EQ(settings.port, 0);
    EXPECT_EQ(settings.apply_delay, milliseconds(60000));
}

TEST(CmmOptions, BadInputGivesALine) {
    struct Case {
        std::vector<std::string_view> arguments;
        const char* error;  // a part of the error line
    };
    const std::string long_name(64, 'x');
    const std::string longest_name(63, 'x');
    const Case cases[] = {
        {{"--cmm-port"}, "--cmm-port needs a value"},
        {{"--cmm-port", "65536"}, "--cmm-port: not a port number (0 to 65535): '65536'"},
        {{"--cmm-port", "-1"}, "not a port number"},
        {{"--cmm-port", "80x"}, "not a port number"},
        {{"--cmm-port="}, "--cmm-port needs a value"},
        {{"--cmm-apply-delay", "60001"}, "not a delay of 0 to 60000 milliseconds: '60001'"},
        {{"--cmm-apply-delay", "1.5"}, "not a delay"},
        {{"--cmm-silent=1"}, "--cmm-silent takes no value"},
        {{"--cmm-refuse=yes"}, "--cmm-refuse takes no value"},
        {{"--network"}, "--network needs a value"},
        {{"--network", ""}, "the name is empty"},
        {{"--network", ",mac=02:00:00:00:00:01"}, "the name is empty"},
        {{"--network", "A,speed=1000"}, "unknown key 'speed' (only mac=)"},
        {{"--network", "A,"}, "unknown key ''"},
        {{"--network", "A,mac=02:00:00:00:00"}, "not a MAC address"},
        {{"--network", "A,mac=02:00:00:00:00:0g"}, "not a MAC address"},
        {{"--network", "A,mac=02-00-00-00-00-01"}, "not a MAC address"},
        {{"--network", "A,mac=00:00:00:00:00:00"}, "names no interface"},
        {{"--network", "A,mac=02:00:00:00:00:01,mac=02:00:00:00:00:02"}, "mac given twice"},
        {{"--network", "A", "--network", "A"}, "a network of that name is already offered"},
        {{"--network", "\xC3("}, "the name is not valid UTF-8"},
        {{"--network", long_name}, "the name is longer than 63 UTF-16 units"},
        {{"--unit", "Rack"}, "unknown option '--unit'"},
        {{"--cmm-portx", "1"}, "unknown option '--cmm-portx'"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::PrintToString(test.arguments));
        sim::CmmSettings settings;
        const std::string error = parse(test.arguments, &settings);
        EXPECT_NE(error.find(test.error), std::string::npos) << error;
    }

    // The longest name is fine; a seventeenth network is not; nor are
    // networks that do not all fit one OPTIONS message.
    sim::CmmSettings settings;
    EXPECT_EQ(parse({"--network", longest_name}, &settings), "");
    std::vector<std::string> names;
    for (int i = 0; i < 17; ++i) {
        names.push_back("net " + std::to_string(i));
    }
    std::vector<std::string_view> arguments;
    for (const std::string& name : names) {
        arguments.push_back("--network");
        arguments.push_back(name);
    }
    settings = {};
    EXPECT_NE(parse(arguments, &settings).find("at most 16 networks"), std::string::npos);
    EXPECT_EQ(settings.networks.size(), 16u);

    std::vector<std::string> long_names;
    for (int i = 0; i < 16; ++i) {
        long_names.push_back(std::string(60, 'a') + std::to_string(i));
    }
    arguments.clear();
    for (const std::string& name : long_names) {
        arguments.push_back("--network");
        arguments.push_back(name);
    }
    settings = {};
    EXPECT_NE(parse(arguments, &settings).find("too long for one message"), std::string::npos);
}

// How the avn-sim program declares them beside its own options.
TEST(CmmOptions, DeclaredBesideOtherOptions) {
    const std::vector<std::string_view> arguments = {"--cmm-port", "9", "--silent", "--network=A",
                                                     "--cmm-silent"};
    sim::CmmSettings settings;
    bool silent = false;
    CLI::App app;
    app.add_flag("--silent", silent);
    sim::add_cmm_options(app, &settings);
    ASSERT_EQ(sim::parse_command_line(app, arguments).error, "");
    EXPECT_EQ(settings.port, 9);
    EXPECT_TRUE(silent);
    EXPECT_TRUE(settings.silent);
    ASSERT_EQ(settings.networks.size(), 1u);
    EXPECT_EQ(settings.networks[0].name, u"A");
}

TEST(CmmOptions, Utf8ToUtf16) {
    struct Case {
        std::string_view utf8;
        std::optional<std::u16string> utf16;
    };
    const Case cases[] = {
        {"", u""},
        {"Ethernet 2", u"Ethernet 2"},
        {"\xC3\xA9", u"\u00e9"},
        {"\xE2\x82\xAC", u"\u20ac"},
        {"\xF0\x9F\x8E\xB5", u"\U0001F3B5"},
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {"\xC0\xAF", std::nullopt},          // overlong
        {"\xE0\x80\xAF", std::nullopt},      // overlong
        {"\xED\xA0\x80", std::nullopt},      // a surrogate
        {"\xF4\x90\x80\x80", std::nullopt},  // past U+10FFFF
        {"\xE2\x82", std::nullopt},          // cut short
        {"\x80", std::nullopt},              // a lone continuation byte
        {"a\xFF", std::nullopt},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(test.utf8)));
        EXPECT_EQ(sim::utf8_to_utf16(test.utf8), test.utf16);
        if (test.utf16) {
            EXPECT_EQ(sim::utf16_to_utf8(*test.utf16), test.utf8);
        }
    }
    EXPECT_EQ(sim::utf16_to_utf8(u"a\xD800"), "a\xEF\xBF\xBD");  // unpaired: U+FFFD
}

}  // namespace
