#include "device/text_utf8.h"

#include <cstdint>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The code point starting at text[at] and its length in bytes, or a length of
// 0 when the bytes there are not valid UTF-8. `invalid_length` is how many
// bytes the invalid sequence spans (at least 1).
struct Decoded {
    char32_t code = 0;
    size_t length = 0;
    size_t invalid_length = 1;
};

Decoded decode(std::string_view text, size_t at) {
    const auto b = static_cast<uint8_t>(text[at]);
    if (b < 0x80) {
        return {b, 1, 1};
    }
    size_t length = 0;
    char32_t code = 0;
    char32_t low = 0;  // the smallest value of this length: below it is overlong
    if ((b & 0xE0) == 0xC0) {
        length = 2, code = b & 0x1F, low = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        length = 3, code = b & 0x0F, low = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        length = 4, code = b & 0x07, low = 0x10000;
    } else {
        return {};
    }
    size_t k = 1;
    for (; k < length && at + k < text.size(); ++k) {
        const auto next = static_cast<uint8_t>(text[at + k]);
        if ((next & 0xC0) != 0x80) {
            break;
        }
        code = (code << 6) | (next & 0x3F);
    }
    if (k < length) {
        return {0, 0, k};
    }
    if (code < low || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
        return {0, 0, length};
    }
    return {code, length, length};
}

}  // namespace

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string valid_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const Decoded d = decode(text, i);
        if (d.length == 0) {
            append_utf8(out, kReplacement);
            i += d.invalid_length;
        } else {
            out.append(text.substr(i, d.length));
            i += d.length;
        }
    }
    return out;
}

std::wstring wide_from_utf8(std::string_view text) {
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        const Decoded d = decode(text, i);
        const char32_t c = d.length == 0 ? static_cast<uint8_t>(text[i]) : d.code;
        i += d.length == 0 ? 1 : d.length;
        if (sizeof(wchar_t) == 2 && c >= 0x10000) {
            out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<wchar_t>(c);
        }
    }
    return out;
}
