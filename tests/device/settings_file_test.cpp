// The settings file of tpx2ctl and the utility: what save writes reads back as
// the same values, and everything else a file might hold is refused with a
// line that says where and why.
#include "device/settings_file.h"

#include <gtest/gtest.h>

namespace {

UnitParameters unit_values() {
    UnitParameters p;
    p.device = "TPX2-Stage";
    const int32_t values[] = {-12, 12, -3, 0, 4, 0, 1};
    for (size_t i = 0; i < kAllParameters.size(); ++i) {
        p[kAllParameters[i]] = values[i];
    }
    return p;
}

TEST(SettingsFile, WhatSaveWritesReadsBackAsTheSameValues) {
    const std::string text = format_settings_file(unit_values());
    EXPECT_EQ(text.rfind("{\n  \"format_version\": 1,\n  \"device\": \"TPX2-Stage\",\n  \"parameters\": {\n", 0), 0u)
        << text;
    std::string error;
    const auto read = parse_settings_file(text, &error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(read->device, "TPX2-Stage");
    EXPECT_EQ(read->values, unit_values().values);
}

// A device name the reader would refuse is left out of the file rather than
// written in a changed form: the file still loads, with no "device".
TEST(SettingsFile, ANameTheReaderRefusesIsLeftOut) {
    struct Case {
        std::string name;
        bool kept;
    };
    const Case cases[] = {
        {"TPX2-Stage", true},
        {"B\xC3\xBChne", true},
        {"", false},
        {"A\x01" "B", false},
        {"Tab\there", false},
        {"A\x7F", false},
        {"Bad\xFF", false},
        {"Cut\xC3", false},
        {std::string(32, 'x'), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UnitParameters values = unit_values();
        values.device = c.name;
        EXPECT_EQ(settings_device_name_fits(c.name), c.kept);
        const std::string text = format_settings_file(values);
        std::string error;
        const auto read = parse_settings_file(text, &error);
        ASSERT_TRUE(read) << error << "\n" << text;
        EXPECT_EQ(read->device, c.kept ? c.name : "");
        EXPECT_EQ(read->values, values.values);
    }
}

TEST(SettingsFile, DifferencesAndRangesAreFoundPerParameter) {
    UnitParameters wanted;
    wanted[ParameterId::MicLf] = -3;
    wanted[ParameterId::Mode] = 2;
    wanted[ParameterId::MicGate] = 1;
    UnitParameters unit = unit_values();  // MicLf -12, Mode 4, MicGate 1
    unit[ParameterId::Mode].reset();      // not reported
    const std::vector<SettingsDifference> differences = settings_differences(wanted, unit);
    ASSERT_EQ(differences.size(), 2u);
    EXPECT_EQ(differences[0].id, ParameterId::MicLf);
    EXPECT_EQ(differences[0].current, -12);
    EXPECT_EQ(differences[0].wanted, -3);
    EXPECT_EQ(differences[1].id, ParameterId::Mode);
    EXPECT_FALSE(differences[1].current);
    EXPECT_TRUE(settings_differences(unit_values(), unit_values()).empty());

    EXPECT_FALSE(out_of_range_parameter(unit_values()));
    unit = unit_values();
    unit[ParameterId::MicSensitivity] = 5;
    EXPECT_EQ(out_of_range_parameter(unit), ParameterId::MicSensitivity);
}

// Files written by hand or by other tools: any JSON whitespace, a byte order
// mark, names in any letter case, keys in any order, fewer parameters.
TEST(SettingsFile, AcceptsTheShapeInAnyLayout) {
    struct Case {
        const char* text;
        ParameterId id;
        int32_t value;
    };
    const Case cases[] = {
        {R"({"format_version":1,"parameters":{"Mode":3}})", ParameterId::Mode, 3},
        {"\xEF\xBB\xBF{ \"format_version\" : 1 ,\r\n\t\"parameters\" : { \"micgate\" : 0 } }\n", ParameterId::MicGate, 0},
        {R"({"parameters":{"LINELF":-12},"device":"B\u00fchne \ud83c\udfb5","format_version":1})", ParameterId::LineLf, -12},
        {R"({"format_version":1,"parameters":{"MicHf":-0}})", ParameterId::MicHf, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        const auto read = parse_settings_file(c.text, &error);
        ASSERT_TRUE(read) << error;
        EXPECT_EQ((*read)[c.id], c.value);
        int named = 0;
        for (const auto& value : read->values) {
            named += value ? 1 : 0;
        }
        EXPECT_EQ(named, 1);
    }
    std::string error;
    const auto read = parse_settings_file(cases[2].text, &error);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->device, "B\xC3\xBChne \xF0\x9F\x8E\xB5");
}

TEST(SettingsFile, RefusesEveryFaultWithItsPlace) {
    struct Case {
        std::string text;
        const char* error_part;
    };
    const std::string head = R"({"format_version":1,"parameters":)";
    const Case cases[] = {
        // Not the shape at all.
        {"", "the file is empty"},
        {" \n\t ", "the file is empty"},
        {"[1]", "the file must be an object, not an array"},
        {"\"text\"", "must be an object, not a string"},
        {"{", "expected a string, found the end of the file"},
        {R"({"format_version":1,"parameters":{"Mode":1}} {})", "line 1, column 46: unexpected '{' after"},
        {R"({"format_version":1,"parameters":{"Mode":1}},)", "unexpected ','"},
        {R"({"format_version":1 "parameters":{"Mode":1}})", "expected ',' or '}'"},
        {R"({"format_version" 1})", "expected ':' after a key"},
        {R"({format_version:1})", "expected a string, found 'f'"},
        {R"({"format_version":1,"parameters":{"Mode":1},})", "expected a string, found '}'"},
        {"// settings\n{}", "line 1, column 1: the file must be an object, not '/'"},
        {std::string("{\"format_version\":1,\0\"parameters\":{}}", 36), "expected a string, found byte 0x00"},
        // Keys.
        {R"({"format_version":1,"parameters":{"Mode":1},"colour":"red"})", "column 45: unknown key 'colour'"},
        {R"({"format_version":1,"format_version":1,"parameters":{"Mode":1}})", "'format_version' is given twice"},
        {R"({"parameters":{"Mode":1}})", "no format_version"},
        {R"({"format_version":1})", "no parameters"},
        {R"({"format_version":1,"device":"A"})", "no parameters"},
        // The format version.
        {R"({"format_version":2,"parameters":{"Mode":1}})", "format_version 2 is not one this program reads (1)"},
        {R"({"format_version":0,"parameters":{"Mode":1}})", "format_version 0 is not one"},
        {R"({"format_version":"1","parameters":{"Mode":1}})", "format_version must be a whole number, not a string"},
        {R"({"format_version":1.0,"parameters":{"Mode":1}})", "format_version must be a whole number"},
        {R"({"format_version":null,"parameters":{"Mode":1}})", "not null"},
        // Parameters and their values.
        {head + "[]}", "parameters must be an object, not an array"},
        {head + "{}}", "parameters names no parameter"},
        {head + R"({"Volume":3}})", "unknown parameter 'Volume'"},
        {head + R"({"Mode":1,"mode":2}})", "Mode is given twice"},
        {head + R"({"MicLf":13}})", "column 43: MicLf must be from -12 to 12, got 13"},
        {head + R"({"MicLf":-13}})", "MicLf must be from -12 to 12, got -13"},
        {head + R"({"Mode":5}})", "Mode must be from 0 to 4, got 5"},
        {head + R"({"MicSensitivity":-1}})", "MicSensitivity must be from 0 to 4"},
        {head + R"({"MicGate":2}})", "MicGate must be from 0 to 1, got 2"},
        {head + R"({"MicGate":4294967297}})", "MicGate must be from 0 to 1, got 4294967297"},
        {head + R"({"MicGate":99999999999999999999}})", "MicGate is out of range"},
        {head + R"({"MicGate":1.5}})", "MicGate must be a whole number"},
        {head + R"({"MicGate":1e0}})", "MicGate must be a whole number"},
        {head + R"({"MicGate":01}})", "leading zero"},
        {head + R"({"MicGate":+1}})", "MicGate must be a whole number, not '+'"},
        {head + R"({"MicGate":-}})", "a '-' without digits"},
        {head + R"({"MicGate":"1"}})", "MicGate must be a whole number, not a string"},
        {head + R"({"MicGate":true}})", "not true or false"},
        {head + R"({"MicGate":[1]}})", "not an array"},
        {head + R"({"MicGate":1)", "expected ',' or '}', found the end of the file"},
        // The device.
        {R"({"format_version":1,"device":7,"parameters":{"Mode":1}})", "device must be a string, not '7'"},
        {R"({"format_version":1,"device":"","parameters":{"Mode":1}})", "device must be an AVN device name of 1 to 31"},
        {R"({"format_version":1,"device":"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345","parameters":{"Mode":1}})", "1 to 31 bytes"},
        {R"({"format_version":1,"device":"A\u0007B","parameters":{"Mode":1}})", "device must not hold control characters"},
        // Strings.
        {"{\"format_version\":1,\"device\":\"A\nB\",\"parameters\":{\"Mode\":1}}", "line 1, column 32: a control character"},
        {R"({"format_version":1,"device":"A\qB","parameters":{"Mode":1}})", "unknown escape"},
        {R"({"format_version":1,"device":"A\u12G4","parameters":{"Mode":1}})", "four hexadecimal digits"},
        {R"({"format_version":1,"device":"\ud800","parameters":{"Mode":1}})", "high surrogate without its low half"},
        {R"({"format_version":1,"device":"\ud800\u0041","parameters":{"Mode":1}})", "without its low half"},
        {R"({"format_version":1,"device":"\udc00","parameters":{"Mode":1}})", "lone low surrogate"},
        {R"({"format_version":1,"device":"A)", "a string runs to the end of the file"},
        {"{\"format_version\":1,\"device\":\"\xC3\",\"parameters\":{\"Mode\":1}}", "not valid UTF-8"},
        {"{\"format_version\":1,\"device\":\"\xC0\xAF\",\"parameters\":{\"Mode\":1}}", "not valid UTF-8"},
        {"{\"format_version\":1,\"device\":\"\xED\xA0\x80\",\"parameters\":{\"Mode\":1}}", "not valid UTF-8"},
        {"{\"format_version\":1,\"device\":\"\xF4\x90\x80\x80\",\"parameters\":{\"Mode\":1}}", "not valid UTF-8"},
        {"{\"format_version\":1,\"device\":\"\xFF\",\"parameters\":{\"Mode\":1}}", "not valid UTF-8"},
        // Lines are counted for the place.
        {"{\n  \"format_version\": 1,\n  \"parameters\": {\n    \"Mode\": 9\n  }\n}\n", "line 4, column 13: Mode must be"},
        // Size.
        {std::string(kMaxSettingsFileSize + 1, ' '), "larger than a settings file can be (64 KiB)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        std::string error;
        EXPECT_FALSE(parse_settings_file(c.text, &error));
        EXPECT_NE(error.find(c.error_part), std::string::npos) << "error: " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

// Whatever bytes a file holds, reading ends with values or an error; cut
// short anywhere, a good file never reads as a good one.
TEST(SettingsFile, EveryTruncationOfAGoodFileIsRefused) {
    const std::string text = format_settings_file(unit_values());
    for (size_t n = 0; n + 1 < text.size(); ++n) {
        std::string error;
        EXPECT_FALSE(parse_settings_file(std::string_view(text).substr(0, n), &error)) << n;
        EXPECT_FALSE(error.empty()) << n;
    }
}

}  // namespace
