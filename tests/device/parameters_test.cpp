#include "device/parameters.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

struct ReportCase {
    const char* what;
    Bytes payload;
    std::vector<ParameterValue> pairs;
};

class ReportParsing : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ReportParsing, YieldsPairsInPayloadOrder) {
    const ReportCase& c = GetParam();
    EXPECT_THAT(parse_parameter_report(c.payload), ElementsAreArray(c.pairs)) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Reports, ReportParsing,
    ::testing::Values(
        ReportCase{"empty payload", {}, {}},
        ReportCase{"type byte only", {0x02}, {}},
        ReportCase{"not a report", {0x01, 0x05, 0, 0, 0, 3}, {}},
        ReportCase{"two entries", {0x02, 0x05, 0, 0, 0, 3, 0x07, 0, 0, 0, 0}, {{5, 3}, {7, 0}}},
        ReportCase{"negative value", {0x02, 0x01, 0xFF, 0xFF, 0xFF, 0xF4}, {{1, -12}}},
        ReportCase{"extended entry skipped",
                   {0x02, 0x81, 0x02, 0xAA, 0xBB, 0x06, 0, 0, 0, 1},
                   {{6, 1}}},
        ReportCase{"extended entry of length 0", {0x02, 0x83, 0x00, 0x04, 0, 0, 0, 0x0C}, {{4, 12}}},
        ReportCase{"repeated id kept twice",
                   {0x02, 0x01, 0, 0, 0, 1, 0x01, 0, 0, 0, 2},
                   {{1, 1}, {1, 2}}},
        ReportCase{"unknown ids pass through", {0x02, 0x00, 0, 0, 0, 9, 0x7F, 0, 0, 0, 1}, {{0, 9}, {0x7F, 1}}},
        ReportCase{"value cut short after a good entry",
                   {0x02, 0x05, 0, 0, 0, 2, 0x06, 0, 0},
                   {{5, 2}}},
        ReportCase{"id with no value bytes", {0x02, 0x05, 0, 0, 0, 2, 0x06}, {{5, 2}}},
        ReportCase{"extended length past the end",
                   {0x02, 0x07, 0, 0, 0, 1, 0x90, 0x05, 0xAA},
                   {{7, 1}}},
        ReportCase{"extended entry without its length byte", {0x02, 0x90}, {}},
        ReportCase{"extended length 255 with nothing after", {0x02, 0x90, 0xFF}, {}}),
    [](const ::testing::TestParamInfo<ReportCase>& param_info) {
        std::string name = param_info.param.what;
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c))) {
                c = '_';
            }
        }
        return name;
    });

TEST(ParameterMessages, EncodesTheRequestAndTheChange) {
    EXPECT_THAT(encode_request_all(), ElementsAre(0x00));
    EXPECT_THAT(encode_set_parameter(1, 3, -3), ElementsAre(0x01, 0x03, 0xFF, 0xFF, 0xFF, 0xFD));
    EXPECT_THAT(encode_set_parameter(1, 1, 12), ElementsAre(0x01, 0x01, 0, 0, 0, 0x0C));
    EXPECT_THAT(encode_set_parameter(1, 1, -12), ElementsAre(0x01, 0x01, 0xFF, 0xFF, 0xFF, 0xF4));
}

TEST(ParameterMapping, IndexAndValueAreInverse) {
    struct Case {
        uint8_t id;
        int32_t value;
        int32_t index;
    };
    const Case cases[] = {
        {1, 12, 0},  {1, 0, 12},  {1, -12, 24}, {4, 13, -1}, {4, -13, 25},
        {5, 3, 3},   {6, 4, 4},   {7, 1, 1},    {7, 9, 9},
        // Plain wrapping 32-bit arithmetic, even at the edges.
        {2, INT32_MIN, static_cast<int32_t>(0x8000000Cu)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(index_for_value(c.id, c.value), c.index) << int{c.id} << " " << c.value;
        EXPECT_EQ(value_for_index(c.id, c.index), c.value) << int{c.id} << " " << c.index;
    }
}

TEST(ParameterDisplay, EqualiserTextsRunFromPlusTwelveDown) {
    EXPECT_EQ(parameter_list_size(ParameterId::MicLf), 25u);
    EXPECT_EQ(parameter_display_text(ParameterId::MicLf, 0), "+12 dB");
    EXPECT_EQ(parameter_display_text(ParameterId::MicLf, 11), "+1 dB");
    EXPECT_EQ(parameter_display_text(ParameterId::MicLf, 12), " 0 dB");
    EXPECT_EQ(parameter_display_text(ParameterId::MicLf, 24), "-12 dB");
    EXPECT_EQ(parameter_display_text(ParameterId::MicLf, 25), "");
    EXPECT_EQ(parameter_display_text(ParameterId::MicLf, -1), "");
}

TEST(ParameterDisplay, ListTextsAndDisconnectedValues) {
    EXPECT_EQ(parameter_value_text(ParameterId::Mode, 3), "Mic/Line Split (Mono link)");
    EXPECT_EQ(parameter_value_text(ParameterId::MicSensitivity, 1), "-10 dBu");
    EXPECT_EQ(parameter_value_text(ParameterId::MicGate, 0), "Disabled");
    EXPECT_EQ(parameter_value_text(ParameterId::LineHf, -12), "-12 dB");

    struct Case {
        ParameterId id;
        const char* text;
    };
    const Case disconnected[] = {
        {ParameterId::MicLf, " 0 dB"},
        {ParameterId::LineHf, " 0 dB"},
        {ParameterId::Mode, "Mic/Line Mix (Mono link)"},
        {ParameterId::MicSensitivity, "-37 dBu"},
        {ParameterId::MicGate, "Enabled"},
    };
    for (const Case& c : disconnected) {
        EXPECT_EQ(parameter_display_text(c.id, disconnected_index(c.id)), c.text);
    }
}

TEST(ParameterNames, MatchInAnyLetterCase) {
    EXPECT_EQ(parameter_from_name("MicLf"), ParameterId::MicLf);
    EXPECT_EQ(parameter_from_name("micsensitivity"), ParameterId::MicSensitivity);
    EXPECT_EQ(parameter_from_name("MICGATE"), ParameterId::MicGate);
    EXPECT_EQ(parameter_from_name("Mic"), std::nullopt);
    EXPECT_EQ(parameter_from_name(""), std::nullopt);
    for (ParameterId id : kAllParameters) {
        EXPECT_EQ(parameter_from_name(parameter_name(id)), id);
    }
}

}  // namespace
