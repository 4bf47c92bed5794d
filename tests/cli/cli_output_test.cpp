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

}  // namespace
