#include "avn/runtime/aud_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Line {
    bool has_timestamp;
    std::string timestamp;
    int level;
    std::string text;
};

void capture(aud_log*, const char* timestamp, int level, const char* text, size_t length,
             void* context) {
    static_cast<std::vector<Line>*>(context)->push_back(Line{timestamp != nullptr,
                                                             timestamp != nullptr ? timestamp : "",
                                                             level, std::string(text, length)});
}

class Log : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(aud_log_new(&log), AUD_SUCCESS);
        ASSERT_EQ(aud_log_set_callback(log, capture, &lines), AUD_SUCCESS);
    }
    void TearDown() override {
        aud_log_delete(log);
        if (!path.empty()) {
            std::remove(path.c_str());
        }
    }

    std::string open_file() {
        path = testing::TempDir() + "aud_log_test_" +
               testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
        std::remove(path.c_str());
        EXPECT_EQ(aud_log_set_file(log, path.c_str()), AUD_SUCCESS);
        return path;
    }
    std::string file_contents() {
        aud_log_set_file(log, nullptr);  // flushes and closes
        std::ifstream in(path, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        // The file is a text file: lines may end in CR LF where that is the custom.
        std::string text = all.str();
        std::erase(text, '\r');
        return text;
    }

    aud_log* log = nullptr;
    std::vector<Line> lines;
    std::string path;
};

TEST_F(Log, ANewLogWritesNothingEvenForCritical) {
    open_file();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    aud_log_printf(log, AUD_LOG_LEVEL_CRITICAL, "%s", "not to be seen");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(file_contents(), "");
}

TEST_F(Log, OverallLevelAndThresholdsBothDecide) {
    struct Case {
        int overall;
        int threshold;
        int line;
        bool written;
    };
    const Case cases[] = {
        {AUD_LOG_LEVEL_VERBOSE, AUD_LOG_LEVEL_WARNING, AUD_LOG_LEVEL_WARNING, true},
        {AUD_LOG_LEVEL_VERBOSE, AUD_LOG_LEVEL_WARNING, AUD_LOG_LEVEL_CRITICAL, true},
        {AUD_LOG_LEVEL_VERBOSE, AUD_LOG_LEVEL_WARNING, AUD_LOG_LEVEL_NOTICE, false},
        {AUD_LOG_LEVEL_ERROR, AUD_LOG_LEVEL_VERBOSE, AUD_LOG_LEVEL_WARNING, false},
        {AUD_LOG_LEVEL_NONE, AUD_LOG_LEVEL_VERBOSE, AUD_LOG_LEVEL_CRITICAL, false},
        // A line of level None has no place even where everything is None.
        {AUD_LOG_LEVEL_NONE, AUD_LOG_LEVEL_NONE, AUD_LOG_LEVEL_NONE, false},
    };
    for (const Case& c : cases) {
        lines.clear();
        aud_log_set_level(log, c.overall);
        aud_log_set_threshold(log, AUD_LOG_OUTPUT_CALLBACK, c.threshold);
        aud_log_printf(log, c.line, "x");
        EXPECT_EQ(lines.size(), c.written ? 1u : 0u)
            << c.overall << " " << c.threshold << " " << c.line;
    }
    EXPECT_EQ(aud_log_set_threshold(log, AUD_LOG_OUTPUT_COUNT, 1), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(aud_log_set_level(log, 8), AUD_ERR_INVALIDPARAMETER);
}

TEST_F(Log, LevelNames) {
    const char* expected[] = {"None",   "Critical", "Error", "Warning",
                              "Notice", "Info",     "Debug", "Verbose"};
    for (int level = 0; level < 8; ++level) {
        EXPECT_STREQ(aud_log_level_name(level), expected[level]);
    }
    EXPECT_STREQ(aud_log_level_name(8), "Undef");
    EXPECT_STREQ(aud_log_level_name(-1), "Undef");
}

TEST_F(Log, TimestampPadsTheDayWithABlank) {
    struct Case {
        int month, day, hour, minute, second;
        const char* expected;
    };
    const Case cases[] = {
        {0, 5, 9, 3, 7, "Jan  5 09:03:07"},
        {11, 25, 23, 59, 59, "Dec 25 23:59:59"},
        {5, 30, 0, 0, 0, "Jun 30 00:00:00"},
    };
    for (const Case& c : cases) {
        std::tm local{};
        local.tm_year = 2024 - 1900;
        local.tm_mon = c.month;
        local.tm_mday = c.day;
        local.tm_hour = c.hour;
        local.tm_min = c.minute;
        local.tm_sec = c.second;
        local.tm_isdst = -1;
        char text[AUD_LOG_TIMESTAMP_SIZE];
        EXPECT_STREQ(aud_log_format_timestamp(std::mktime(&local), text, sizeof text), c.expected);
    }
}

TEST_F(Log, StreamAndFileLinesHaveTimestampLevelTextAndOneNewline) {
    open_file();
    aud_log_set_level(log, AUD_LOG_LEVEL_VERBOSE);
    aud_log_set_threshold(log, AUD_LOG_OUTPUT_FILE, AUD_LOG_LEVEL_VERBOSE);
    aud_log_set_threshold(log, AUD_LOG_OUTPUT_STDERR, AUD_LOG_LEVEL_VERBOSE);
    testing::internal::CaptureStderr();
    aud_log_printf(log, AUD_LOG_LEVEL_WARNING, "abc");
    aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "ends with its own newline\n");
    aud_log_set_timestamp_flags(log, AUD_LOG_TIMESTAMP_FILE);  // none on standard error
    aud_log_printf(log, AUD_LOG_LEVEL_INFO, "%s=%d", "n", 5);
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string file = file_contents();

    const std::string stamp = "[A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]";
    const std::regex expected(stamp + " Warning abc\n" + stamp +
                              " Error ends with its own newline\n");
    EXPECT_TRUE(std::regex_search(err, expected)) << err;
    EXPECT_TRUE(err.ends_with("newline\nInfo n=5\n")) << err;
    EXPECT_TRUE(std::regex_match(
        file, std::regex(stamp + " Warning abc\n" + stamp + " Error ends with its own newline\n" +
                         stamp + " Info n=5\n")))
        << file;
}

TEST_F(Log, CallbackGetsTextLengthLevelAndTimestampByItsFlag) {
    aud_log_set_level(log, AUD_LOG_LEVEL_VERBOSE);
    aud_log_set_threshold(log, AUD_LOG_OUTPUT_CALLBACK, AUD_LOG_LEVEL_VERBOSE);
    aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s: %d", "f", 1);
    aud_log_set_timestamp_flags(log, AUD_LOG_TIMESTAMP_CALLBACK);
    aud_log_printf(log, AUD_LOG_LEVEL_NOTICE, "second");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_FALSE(lines[0].has_timestamp);  // not among the default flags
    EXPECT_EQ(lines[0].level, AUD_LOG_LEVEL_DEBUG);
    EXPECT_EQ(lines[0].text, "f: 1");
    EXPECT_TRUE(lines[1].has_timestamp);
    EXPECT_EQ(lines[1].timestamp.size(), 15u);
    EXPECT_EQ(lines[1].text, "second");
}

TEST_F(Log, OverlongLinesAreCutToTheBuffer) {
    aud_log_set_level(log, AUD_LOG_LEVEL_VERBOSE);
    aud_log_set_threshold(log, AUD_LOG_OUTPUT_CALLBACK, AUD_LOG_LEVEL_VERBOSE);
    const std::string huge(20000, 'q');
    aud_log_printf(log, AUD_LOG_LEVEL_INFO, "%s", huge.c_str());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, huge.substr(0, AUD_LOG_BUFFER_SIZE - 1));
}

}  // namespace
