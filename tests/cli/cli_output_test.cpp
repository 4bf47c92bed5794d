#include "cli/cli_output.h"

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
    EXPECT_EQ(format_unit_outcome(outcome, true), "{\"device\":\"Hall-1\",\"status\":\"applied\",\"changed\":[]}\n");

    outcome.changed = {{ParameterId::MicLf, 0, -3}, {ParameterId::Mode, 0, 2}};
    EXPECT_EQ(format_unit_outcome(outcome, false), "Hall-1: applied, changed MicLf 0 -> -3, Mode 0 -> 2\n");
    EXPECT_EQ(format_unit_outcome(outcome, true),
              "{\"device\":\"Hall-1\",\"status\":\"applied\",\"changed\":[{\"parameter\":\"MicLf\",\"from\":0,"
              "\"to\":-3},{\"parameter\":\"Mode\",\"from\":0,\"to\":2}]}\n");

    outcome.status = UnitApplyStatus::Unavailable;
    outcome.error = "did not confirm MicGate=0 within 5000 ms";
    EXPECT_EQ(format_unit_outcome(outcome, false),
              "Hall-1: FAILED: did not confirm MicGate=0 within 5000 ms (changed before that: MicLf 0 -> -3, Mode 0 -> 2)\n");
    EXPECT_NE(format_unit_outcome(outcome, true)
                  .find("\"status\":\"unavailable\",\"error\":\"did not confirm MicGate=0 within 5000 ms\""),
              std::string::npos);

    EXPECT_EQ(format_apply_summary(3, 3, {}, {}, false, false), "3 of 3 units applied\n");
    EXPECT_EQ(format_apply_summary(4, 1, {"B", "D"}, {"C"}, true, false),
              "interrupted: 1 of 4 units applied; failed: B, D; not started: C\n");
    EXPECT_EQ(format_apply_summary(4, 1, {"B", "D"}, {"C"}, true, true),
              "{\"summary\":{\"units\":4,\"applied\":1,\"failed\":[\"B\",\"D\"],\"not_started\":[\"C\"],"
              "\"interrupted\":true}}\n");
}

}  // namespace
