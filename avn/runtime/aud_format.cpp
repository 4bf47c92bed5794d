#include "avn/runtime/aud_format.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <type_traits>
#include <vector>

namespace {

// Collects the output: writes while there is room, counts everything.
class Sink {
  public:
    Sink(char* buffer, size_t size) : buffer_(size > 0 ? buffer : nullptr), size_(size) {}

    void put(char c) {
        if (buffer_ != nullptr && length_ + 1 < size_) {
            buffer_[length_] = c;
        }
        ++length_;
    }
    void put(const char* text, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            put(text[i]);
        }
    }
    void repeat(char c, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            put(c);
        }
    }
    // Terminates the text and returns its whole length.
    int finish() {
        if (buffer_ != nullptr) {
            buffer_[length_ < size_ ? length_ : size_ - 1] = '\0';
        }
        return length_ > INT_MAX ? -1 : static_cast<int>(length_);
    }

  private:
    char* buffer_;
    size_t size_;
    size_t length_ = 0;
};

enum class Length {
    kNone,
    kChar,
    kShort,
    kLong,
    kLongLong,
    kInt32,
    kInt64,
    kSize,
    kIntMax,
    kPtrDiff,
    kWide,
    kLongDouble
};

struct Directive {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool zero = false;
    bool alternate = false;
    size_t width = 0;
    bool has_precision = false;
    size_t precision = 0;
    Length length = Length::kNone;
    char conversion = 0;
};

// va_list cannot be passed around portably by reference; a struct can.
struct Args {
    va_list list;
};

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Digits, capped so that a silly width cannot overflow.
size_t parse_number(const char*& p) {
    size_t value = 0;
    while (is_digit(*p)) {
        if (value < 100000000) {
            value = value * 10 + static_cast<size_t>(*p - '0');
        }
        ++p;
    }
    return value;
}

void parse_flags(const char*& p, Directive& directive) {
    for (;; ++p) {
        switch (*p) {
            case '-':
                directive.left = true;
                break;
            case '+':
                directive.plus = true;
                break;
            case ' ':
                directive.space = true;
                break;
            case '0':
                directive.zero = true;
                break;
            case '#':
                directive.alternate = true;
                break;
            default:
                return;
        }
    }
}

void parse_width_and_precision(const char*& p, Directive& directive, Args& args) {
    if (*p == '*') {
        ++p;
        const int width = va_arg(args.list, int);
        if (width < 0) {
            directive.left = true;
            directive.width = width == INT_MIN ? size_t{INT_MAX} : static_cast<size_t>(-width);
        } else {
            directive.width = static_cast<size_t>(width);
        }
    } else {
        directive.width = parse_number(p);
    }
    if (*p != '.') {
        return;
    }
    ++p;
    directive.has_precision = true;
    if (*p == '*') {
        ++p;
        const int precision = va_arg(args.list, int);
        directive.has_precision = precision >= 0;  // negative: as if none was given
        directive.precision = precision >= 0 ? static_cast<size_t>(precision) : 0;
    } else {
        directive.precision = parse_number(p);
    }
}

// False for a malformed modifier (such as "I3"), which makes the whole
// conversion unknown.
bool parse_length(const char*& p, Directive& directive) {
    switch (*p) {
        case 'h':
            ++p;
            directive.length = Length::kShort;
            if (*p == 'h') {
                ++p;
                directive.length = Length::kChar;
            }
            return true;
        case 'l':
            ++p;
            directive.length = Length::kLong;
            if (*p == 'l') {
                ++p;
                directive.length = Length::kLongLong;
            }
            return true;
        case 'I':
            ++p;
            if (p[0] == '3' && p[1] == '2') {
                p += 2;
                directive.length = Length::kInt32;
            } else if (p[0] == '6' && p[1] == '4') {
                p += 2;
                directive.length = Length::kInt64;
            } else if (is_digit(*p)) {
                return false;
            } else {
                directive.length = Length::kSize;
            }
            return true;
        case 'w':
            ++p;
            directive.length = Length::kWide;
            return true;
        case 'L':
            ++p;
            directive.length = Length::kLongDouble;
            return true;
        case 'q':
            ++p;
            directive.length = Length::kLongLong;
            return true;
        case 'j':
            ++p;
            directive.length = Length::kIntMax;
            return true;
        case 'z':
            ++p;
            directive.length = Length::kSize;
            return true;
        case 't':
            ++p;
            directive.length = Length::kPtrDiff;
            return true;
        default:
            return true;
    }
}

bool is_conversion(char c) {
    return c != '\0' && std::strchr("cdeEfFgGinopsSuxX", c) != nullptr;
}

int64_t fetch_signed(const Directive& directive, Args& args) {
    switch (directive.length) {
        case Length::kChar:
            return static_cast<signed char>(va_arg(args.list, int));
        case Length::kShort:
            return static_cast<short>(va_arg(args.list, int));
        case Length::kLong:
            return va_arg(args.list, long);
        case Length::kLongLong:
        case Length::kLongDouble:
        case Length::kInt64:
            return va_arg(args.list, long long);
        case Length::kInt32:
            return va_arg(args.list, int32_t);
        case Length::kSize:
        case Length::kPtrDiff:
            return va_arg(args.list, ptrdiff_t);
        case Length::kIntMax:
            return va_arg(args.list, intmax_t);
        default:
            return va_arg(args.list, int);
    }
}

uint64_t fetch_unsigned(const Directive& directive, Args& args) {
    switch (directive.length) {
        case Length::kChar:
            return static_cast<unsigned char>(va_arg(args.list, unsigned));
        case Length::kShort:
            return static_cast<unsigned short>(va_arg(args.list, unsigned));
        case Length::kLong:
            return va_arg(args.list, unsigned long);
        case Length::kLongLong:
        case Length::kLongDouble:
        case Length::kInt64:
            return va_arg(args.list, unsigned long long);
        case Length::kInt32:
            return va_arg(args.list, uint32_t);
        case Length::kSize:
        case Length::kPtrDiff:
            return va_arg(args.list, size_t);
        case Length::kIntMax:
            return va_arg(args.list, uintmax_t);
        default:
            return va_arg(args.list, unsigned);
    }
}

// Writes `body` (already with any precision zeros) after `prefix` (sign or
// 0x), padded to the width with blanks or, for '0', zeros after the prefix.
void put_padded(Sink& out, const Directive& directive, const char* prefix, size_t prefix_length,
                const char* body, size_t body_length, bool zero_allowed) {
    const size_t used = prefix_length + body_length;
    const size_t padding = directive.width > used ? directive.width - used : 0;
    const bool zeros = directive.zero && !directive.left && zero_allowed;
    if (!directive.left && !zeros) {
        out.repeat(' ', padding);
    }
    out.put(prefix, prefix_length);
    if (zeros) {
        out.repeat('0', padding);
    }
    out.put(body, body_length);
    if (directive.left) {
        out.repeat(' ', padding);
    }
}

void format_integer(Sink& out, const Directive& directive, Args& args) {
    const char c = directive.conversion;
    const bool is_signed = c == 'd' || c == 'i';
    bool negative = false;
    uint64_t magnitude = 0;
    if (is_signed) {
        const int64_t value = fetch_signed(directive, args);
        negative = value < 0;
        magnitude =
            negative ? static_cast<uint64_t>(-(value + 1)) + 1 : static_cast<uint64_t>(value);
    } else {
        magnitude = fetch_unsigned(directive, args);
    }
    const unsigned base = (c == 'o') ? 8 : (c == 'x' || c == 'X') ? 16 : 10;
    const char* digits = c == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";

    char reversed[24];
    size_t count = 0;
    for (uint64_t v = magnitude; v != 0; v /= base) {
        reversed[count++] = digits[v % base];
    }
    const size_t min_digits = directive.has_precision ? directive.precision : 1;
    // Precision zeros and digits; the precision is capped like the width.
    std::vector<char> body;
    const size_t zeros = min_digits > count ? min_digits - count : 0;
    // '#' with octal: the first digit is always a zero.
    const bool octal_zero = directive.alternate && base == 8;
    try {
        body.assign(zeros, '0');
        for (size_t i = count; i > 0; --i) {
            body.push_back(reversed[i - 1]);
        }
        if (octal_zero && (body.empty() || body.front() != '0')) {
            body.insert(body.begin(), '0');
        }
    } catch (const std::bad_alloc&) {
        return;
    }

    char prefix[2];
    size_t prefix_length = 0;
    if (negative) {
        prefix[prefix_length++] = '-';
    } else if (is_signed && directive.plus) {
        prefix[prefix_length++] = '+';
    } else if (is_signed && directive.space) {
        prefix[prefix_length++] = ' ';
    } else if (directive.alternate && base == 16 && magnitude != 0) {
        prefix[prefix_length++] = '0';
        prefix[prefix_length++] = c;
    }
    put_padded(out, directive, prefix, prefix_length, body.data(), body.size(), !directive.has_precision);
}

void format_pointer(Sink& out, const Directive& directive, Args& args) {
    const auto value = reinterpret_cast<uintptr_t>(va_arg(args.list, void*));
    char body[2 + 2 * sizeof value];
    size_t length = 0;
    char reversed[2 * sizeof value];
    size_t count = 0;
    uintptr_t v = value;
    do {
        reversed[count++] = "0123456789abcdef"[v % 16];
        v /= 16;
    } while (v != 0);
    body[length++] = '0';
    body[length++] = 'x';
    while (count > 0) {
        body[length++] = reversed[--count];
    }
    Directive plain = directive;
    plain.zero = false;
    put_padded(out, plain, "", 0, body, length, false);
}

// One code point as UTF-8 into `out` (room for 4); returns the byte count.
size_t encode_utf8(uint32_t cp, char* out) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = 0xFFFD;
    }
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// Wide text (UTF-16 or UTF-32, as wchar_t is) to UTF-8, at most `limit`
// bytes and never a partial character.
std::vector<char> wide_to_utf8(const wchar_t* text, size_t limit, bool has_limit) {
    std::vector<char> result;
    for (size_t i = 0; text[i] != L'\0'; ++i) {
        uint32_t cp = static_cast<uint32_t>(text[i]);
        if (sizeof(wchar_t) == 2 && cp >= 0xD800 && cp <= 0xDBFF) {
            const auto low = static_cast<uint32_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        char bytes[4];
        const size_t n = encode_utf8(cp, bytes);
        if (has_limit && result.size() + n > limit) {
            break;
        }
        result.insert(result.end(), bytes, bytes + n);
    }
    return result;
}

bool wants_wide(const Directive& directive) {
    if (directive.conversion == 'S') {
        return directive.length != Length::kShort;  // %hS is narrow, as in Microsoft's
    }
    return directive.length == Length::kLong || directive.length == Length::kWide;
}

void format_string(Sink& out, const Directive& directive, Args& args) {
    Directive plain = directive;
    plain.zero = false;
    if (wants_wide(directive)) {
        const wchar_t* text = va_arg(args.list, const wchar_t*);
        if (text == nullptr) {
            text = L"(null)";
        }
        try {
            const std::vector<char> narrow = wide_to_utf8(text, directive.precision, directive.has_precision);
            put_padded(out, plain, "", 0, narrow.data(), narrow.size(), false);
        } catch (const std::bad_alloc&) {
        }
        return;
    }
    const char* text = va_arg(args.list, const char*);
    if (text == nullptr) {
        text = "(null)";
    }
    size_t length = 0;
    while (text[length] != '\0' && (!directive.has_precision || length < directive.precision)) {
        ++length;
    }
    put_padded(out, plain, "", 0, text, length, false);
}

void format_char(Sink& out, const Directive& directive, Args& args) {
    Directive plain = directive;
    plain.zero = false;
    char bytes[4];
    size_t n = 1;
    if (directive.length == Length::kLong || directive.length == Length::kWide) {
        // A wint_t narrower than int arrives promoted to int.
        using Passed = std::conditional_t<(sizeof(wint_t) < sizeof(int)), int, wint_t>;
        n = encode_utf8(static_cast<uint32_t>(va_arg(args.list, Passed)), bytes);
    } else {
        bytes[0] = static_cast<char>(va_arg(args.list, int));
    }
    put_padded(out, plain, "", 0, bytes, n, false);
}

// Floating point goes through the C library, one conversion at a time, with
// the conversion rebuilt from the parsed parts.
void format_float(Sink& out, const Directive& directive, Args& args) {
    char format[48];
    size_t n = 0;
    format[n++] = '%';
    if (directive.left)
        format[n++] = '-';
    if (directive.plus)
        format[n++] = '+';
    if (directive.space)
        format[n++] = ' ';
    if (directive.zero)
        format[n++] = '0';
    if (directive.alternate)
        format[n++] = '#';
    format[n] = '\0';
    char tail[40];
    if (directive.has_precision) {
        std::snprintf(tail, sizeof tail, "%zu.%zu%s%c", directive.width, directive.precision,
                      directive.length == Length::kLongDouble ? "L" : "", directive.conversion);
    } else {
        std::snprintf(tail, sizeof tail, "%zu%s%c", directive.width,
                      directive.length == Length::kLongDouble ? "L" : "", directive.conversion);
    }
    std::strcat(format, tail);

    const bool is_long = directive.length == Length::kLongDouble;
    const long double long_value = is_long ? va_arg(args.list, long double) : 0.0L;
    const double value = is_long ? 0.0 : va_arg(args.list, double);
    auto render = [&](char* buffer, size_t size) {
        return is_long ? std::snprintf(buffer, size, format, long_value)
                       : std::snprintf(buffer, size, format, value);
    };
    char local[128];
    const int needed = render(local, sizeof local);
    if (needed < 0) {
        return;
    }
    if (static_cast<size_t>(needed) < sizeof local) {
        out.put(local, static_cast<size_t>(needed));
        return;
    }
    try {
        std::vector<char> big(static_cast<size_t>(needed) + 1);
        render(big.data(), big.size());
        out.put(big.data(), static_cast<size_t>(needed));
    } catch (const std::bad_alloc&) {
    }
}

void format_one(Sink& out, const Directive& directive, Args& args) {
    switch (directive.conversion) {
        case 'd':
        case 'i':
        case 'o':
        case 'u':
        case 'x':
        case 'X':
            format_integer(out, directive, args);
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
            format_float(out, directive, args);
            break;
        case 'c':
            format_char(out, directive, args);
            break;
        case 's':
        case 'S':
            format_string(out, directive, args);
            break;
        case 'p':
            format_pointer(out, directive, args);
            break;
        case 'n':
            (void)va_arg(args.list, void*);
            break;  // never written through
        default:
            break;
    }
}

}  // namespace

int aud_vsnprintf(char* buffer, size_t size, const char* format, va_list list) {
    Sink out(buffer, size);
    if (format == nullptr) {
        return out.finish();
    }
    Args args;
    va_copy(args.list, list);
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            out.put(*p++);
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out.put(*p++);
            continue;
        }
        Directive directive;
        parse_flags(p, directive);
        parse_width_and_precision(p, directive, args);
        if (!parse_length(p, directive) || !is_conversion(*p)) {
            // Not a conversion: copy it as it stands (stopping at the end).
            if (*p != '\0') {
                ++p;
            }
            out.put(start, static_cast<size_t>(p - start));
            continue;
        }
        directive.conversion = *p++;
        format_one(out, directive, args);
    }
    va_end(args.list);
    return out.finish();
}

int aud_snprintf(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = aud_vsnprintf(buffer, size, format, args);
    va_end(args);
    return result;
}

int aud_vasprintf(char** out, const char* format, va_list args) {
    if (out == nullptr) {
        return -1;
    }
    *out = nullptr;
    va_list measure;
    va_copy(measure, args);
    const int length = aud_vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) {
        return -1;
    }
    auto* text = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (text == nullptr) {
        return -1;
    }
    aud_vsnprintf(text, static_cast<size_t>(length) + 1, format, args);
    *out = text;
    return length;
}

int aud_asprintf(char** out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = aud_vasprintf(out, format, args);
    va_end(args);
    return result;
}

void aud_format_free(char* text) {
    std::free(text);
}
