#include "cli/cli_output.h"

#include "device/text_utf8.h"

#include <gtest/gtest.h>

namespace {

UnitParameters defaults(const char* device) {
    UnitParameters p;
    p.device = device;
    p[ParameterId::MicLf] = 0;
    p[ParameterId::MicHf] = 0;
    p[ParameterId::LineLf] = 0;
    p[ParameterId::LineHf] = 0;
    p[ParameterId::Mode] = 0;
    p[ParameterId::MicSensitivity] = 4;
    p[ParameterId::MicGate] = 1;
    return p;
}

TEST(CliOutput, JsonIsExactlyTheDocumentedShape) {
    EXPECT_EQ(format_parameters(defaults("TPX2-Stage"), true),
              "{\"device\":\"TPX2-Stage\",\"parameters\":{\"MicLf\":0,\"MicHf\":0,\"LineLf\":0,"
              "\"LineHf\":0,\"Mode\":0,\"MicSensitivity\":4,\"MicGate\":1}}\n");
    EXPECT_EQ(format_versions({"TPX2-Stage", 0x0205, 0x00010003}, true),
              "{\"device\":\"TPX2-Stage\",\"bootloader\":\"2.5\",\"application\":\"1.3\"}\n");
    EXPECT_EQ(format_versions({"TPX2-Stage", std::nullopt, 0x00010003}, true),
              "{\"device\":\"TPX2-Stage\",\"bootloader\":null,\"application\":\"1.3\"}\n");
    EXPECT_EQ(format_networks({{"Ethernet", true}, {"Ethernet 2", false}}, true),
              "{\"interfaces\":[{\"name\":\"Ethernet\",\"current\":true},"
              "{\"name\":\"Ethernet 2\",\"current\":false}]}\n");
    EXPECT_EQ(format_networks({}, true), "{\"interfaces\":[]}\n");
}

TEST(CliOutput, JsonStringsAreEscaped) {
    EXPECT_EQ(json_string("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
}

// Names come from the network: bytes that are not UTF-8 must not make the
// output invalid JSON. Each bad sequence becomes U+FFFD; valid text is kept.
TEST(CliOutput, TextThatIsNotUtf8BecomesReplacementCharacters) {
    struct Case {
        std::string in;
        std::string out;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"Caf\xC3\xA9", "Caf\xC3\xA9"},            // valid two-byte character kept
        {"A\xFF_B", "A" + fffd + "_B"},            // a byte that never starts UTF-8
        {"A\xC3", "A" + fffd},                     // cut short at the end
        {"\xE2\x82_B", fffd + "_B"},               // cut short before ASCII
        {"\xC0\xAF", fffd},                        // overlong '/'
        {"\xED\xA0\x80", fffd},                    // a surrogate
        {"\xF4\x90\x80\x80", fffd},                // above U+10FFFF
        {"\x80\x80", fffd + fffd},                 // stray continuation bytes
        {"\xF0\x9F\x8E\xA4", "\xF0\x9F\x8E\xA4"},  // four-byte character kept
    };
    for (const Case& c : cases) {
        EXPECT_EQ(valid_utf8(c.in), c.out);
        EXPECT_EQ(json_string(c.in), "\"" + c.out + "\"");
    }
    EXPECT_EQ(format_networks({{"Eth\xFE", true}}, true),
              "{\"interfaces\":[{\"name\":\"Eth" + fffd + "\",\"current\":true}]}\n");
    UnitApplyOutcome outcome;
    outcome.device = "Hall\xC3";
    outcome.status = UnitApplyStatus::Applied;
    EXPECT_EQ(format_unit_outcome(outcome, true),
              "{\"device\":\"Hall" + fffd + "\",\"status\":\"applied\",\"changed\":[]}\n");
    EXPECT_EQ(format_domains({{"D\xFF", 3, true}}, true),
              "{\"domains\":[{\"name\":\"D" + fffd + "\",\"id\":3,\"current\":true}]}\n");
}

TEST(CliOutput, PlainTextShowsValuesWithTheirTexts) {
    UnitParameters p = defaults("TPX2-Booth");
    p[ParameterId::MicLf] = -3;
    p[ParameterId::MicHf].reset();
    const std::string text = format_parameters(p, false);
    EXPECT_NE(text.find("MicLf             -3  -3 dB"), std::string::npos) << text;
    EXPECT_NE(text.find("MicSensitivity     4  -37 dBu"), std::string::npos) << text;
    EXPECT_NE(text.find("MicHf              ?  (not reported)"), std::string::npos) << text;
    EXPECT_NE(format_networks({{"Ethernet", true}}, false).find("* Ethernet"), std::string::npos);
}

TEST(CliOutput, UnitOutcomesAndTheSummary) {
    UnitApplyOutcome outcome;
    outcome.device = "Hall-1";
    outcome.status = UnitApplyStatus::Applied;
    EXPECT_EQ(format_unit_outcome(outcome, false), "Hall-1: applied, nothing to change\n");
    EXPECT_EQ(format_unit_outcome(outcome, true),
              "{\"device\":\"Hall-1\",\"status\":\"applied\",\"changed\":[]}\n");

    outcome.changed = {{ParameterId::MicLf, 0, -3}, {ParameterId::Mode, 0, 2}};
    EXPECT_EQ(format_unit_outcome(outcome, false),
              "Hall-1: applied, changed MicLf 0 -> -3, Mode 0 -> 2\n");
    EXPECT_EQ(format_unit_outcome(outcome, true),
              "{\"device\":\"Hall-1\",\"status\":\"applied\",\"changed\":[{\"parameter\":\"MicLf\","
              "\"from\":0,"
              "\"to\":-3},{\"parameter\":\"Mode\",\"from\":0,\"to\":2}]}\n");

    outcome.status = UnitApplyStatus::Unavailable;
    outcome.error = "did not confirm MicGate=0 within 5000 ms";
    EXPECT_EQ(format_unit_outcome(outcome, false),
              "Hall-1: FAILED: did not confirm MicGate=0 within 5000 ms (changed before that: "
              "MicLf 0 -> -3, Mode 0 -> 2)\n");
    EXPECT_NE(format_unit_outcome(outcome, true)
                  .find("\"status\":\"unavailable\",\"error\":\"did not confirm MicGate=0 within "
                        "5000 ms\""),
              std::string::npos);

    EXPECT_EQ(format_apply_summary(3, 3, {}, {}, false, false), "3 of 3 units applied\n");
    EXPECT_EQ(format_apply_summary(4, 1, {"B", "D"}, {"C"}, true, false),
              "interrupted: 1 of 4 units applied; failed: B, D; not started: C\n");
    EXPECT_EQ(
        format_apply_summary(4, 1, {"B", "D"}, {"C"}, true, true),
        "{\"summary\":{\"units\":4,\"applied\":1,\"failed\":[\"B\",\"D\"],\"not_started\":[\"C\"],"
        "\"interrupted\":true}}\n");
}

}  // namespace
