#include "avn/runtime/aud_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

namespace {

// Without a format attribute, so that Microsoft's modifiers compile cleanly.
std::string fmt(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char buffer[256];
    const int length = aud_vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    EXPECT_EQ(length, static_cast<int>(std::string(buffer).size())) << format;
    return buffer;
}

struct Case {
    std::string got;
    const char* expected;
};

void check(std::initializer_list<Case> cases) {
    int index = 0;
    for (const Case& c : cases) {
        EXPECT_EQ(c.got, c.expected) << "case " << index;
        ++index;
    }
}

TEST(AudFormat, Integers) {
    check({
        {fmt("%d|%i", 42, -7), "42|-7"},
        {fmt("[%5d][%-5d][%05d]", 42, 42, -42), "[   42][42   ][-0042]"},
        {fmt("[%+d][% d][%+d]", 5, 5, -5), "[+5][ 5][-5]"},
        {fmt("[%.3d][%8.3d][%.0d][%08.3d]", 7, 7, 0, 7), "[007][     007][][     007]"},
        {fmt("%u", 4294967295u), "4294967295"},
        {fmt("[%x][%X][%#x][%#X][%#x]", 255, 255, 255, 255, 0), "[ff][FF][0xff][0XFF][0]"},
        {fmt("[%o][%#o][%#o][%#.0o]", 8, 8, 0, 0), "[10][010][0][0]"},
        {fmt("[%#08x]", 255), "[0x0000ff]"},
        {fmt("%d", INT_MIN), "-2147483648"},
    });
}

TEST(AudFormat, LengthModifiers) {
    check({
        {fmt("%hhd|%hhu", 257, 511), "1|255"},
        {fmt("%hd|%hu", 65537, -1), "1|65535"},
        {fmt("%ld", -123456L), "-123456"},
        {fmt("%lld|%llu", LLONG_MIN, ULLONG_MAX), "-9223372036854775808|18446744073709551615"},
        {fmt("%I64d|%I64x", -9000000000LL, 0x1234567890ULL), "-9000000000|1234567890"},
        {fmt("%I32d|%I32u", INT32_MIN, UINT32_MAX), "-2147483648|4294967295"},
        {fmt("%Iu|%zu|%Id", size_t{4000000000u}, size_t{17}, ptrdiff_t{-3}), "4000000000|17|-3"},
        {fmt("%jd|%td", intmax_t{-5}, ptrdiff_t{6}), "-5|6"},
        {fmt("%wd", 12), "12"},  // w only matters for text
    });
}

TEST(AudFormat, WidthAndPrecisionFromArguments) {
    check({
        {fmt("[%*d]", 5, 42), "[   42]"},
        {fmt("[%-*d]", 5, 42), "[42   ]"},
        {fmt("[%*d]", -5, 42), "[42   ]"},  // a negative width means '-'
        {fmt("[%.*s]", 3, "abcdef"), "[abc]"},
        {fmt("[%.*d]", -1, 5), "[5]"},  // a negative precision counts as none
        {fmt("[%*.*f]", 8, 2, 3.14159), "[    3.14]"},
    });
}

TEST(AudFormat, Text) {
    const char* none = nullptr;
    check({
        {fmt("[%s][%10s][%-4s][%.2s]", "abc", "abc", "ab", "abc"), "[abc][       abc][ab  ][ab]"},
        {fmt("%s", none), "(null)"},
        {fmt("[%c][%3c][%-3c]", 'x', 'y', 'z'), "[x][  y][z  ]"},
        {fmt("%ls|%S|%ws|%hS", L"wide", L"caps", L"w", "narrow"), "wide|caps|w|narrow"},
        {fmt("%ls", L"\u00e9\u20ac"), "\xc3\xa9\xe2\x82\xac"},  // as UTF-8
        {fmt("%lc%wc", L'\u00e9', L'a'),
         "\xc3\xa9"
         "a"},
        {fmt("[%.3ls]", L"\u00e9\u00e9"), "[\xc3\xa9]"},  // never half a character
        {fmt("[%5ls]", L"ab"), "[   ab]"},
    });
}

TEST(AudFormat, FloatingPoint) {
    check({
        {fmt("%f|%.2f|%8.3f", 3.5, 3.5, -1.5), "3.500000|3.50|  -1.500"},
        {fmt("%010.3f|%-8.1f|", -2.25, 2.25), "-00002.250|2.2     |"},
        {fmt("%e|%E", 12345.678, 0.00012), "1.234568e+04|1.200000E-04"},
        {fmt("%g|%G|%g", 0.0001, 1e-10, 100000.0), "0.0001|1E-10|100000"},
        {fmt("%F", 1.25), "1.250000"},
        {fmt("%Lf", 2.5L), "2.500000"},
        {fmt("%+.1f", 1.0), "+1.0"},
    });
}

TEST(AudFormat, PercentPointerAndOddConversions) {
    int written = 77;
    check({
        {fmt("100%%"), "100%"},
        {fmt("%p|%p", reinterpret_cast<void*>(0x1234), static_cast<void*>(nullptr)), "0x1234|0x0"},
        // %n takes its pointer but never writes through it.
        {fmt("ab%ncd", &written), "abcd"},
        {fmt("[%y][%5k]", 1), "[%y][%5k]"},  // unknown: copied, no argument taken
        {fmt("%I3d"), "%I3d"},
        {fmt("end%"), "end%"},
    });
    EXPECT_EQ(written, 77);
}

TEST(AudFormat, BehavesAsSnprintfAtTheBufferEdge) {
    char buffer[5];
    EXPECT_EQ(aud_snprintf(buffer, sizeof buffer, "%s", "abcdefgh"), 8);
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_EQ(aud_snprintf(nullptr, 0, "%d-%s", 12345, "xy"), 8);  // only measures
    buffer[0] = 'q';
    EXPECT_EQ(aud_snprintf(buffer, 1, "%d", 42), 2);
    EXPECT_STREQ(buffer, "");

    char* text = nullptr;
    ASSERT_EQ(aud_asprintf(&text, "%s-%0*d", "id", 6, 42), 9);
    EXPECT_STREQ(text, "id-000042");
    aud_format_free(text);
}

}  // namespace
