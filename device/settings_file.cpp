#include "device/settings_file.h"

#include <charconv>
#include <cstdint>
#include <cstdio>

#include <jansson.h>

#include "device/text_utf8.h"


namespace {

constexpr size_t kMaxDeviceNameSize = 31;
// Longer numbers are out of every range; reading stops there.
constexpr size_t kMaxIntegerDigits = 10;

// The length of the UTF-8 character of two to four bytes at `text`'s start,
// checked as UTF-8 must be (no overlong forms, no surrogates, nothing above
// U+10FFFF); 0 when it is not one.
size_t utf8_sequence_length(std::string_view text) {
    const auto b = static_cast<unsigned char>(text[0]);
    size_t length = 0;
    uint32_t code = 0;
    uint32_t least = 0;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2, code = b & 0x1Fu, least = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3, code = b & 0x0Fu, least = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4, code = b & 0x07u, least = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (next & 0x3Fu);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
        return 0;
    }
    return length;
}

bool has_control_character(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return true;
        }
    }
    return false;
}

bool same_name(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// Reads the one shape of a settings file, front to back, and stops at the
// first fault. The shape is shallow, so there is no general JSON reader and no
// recursion: a value of a kind the file never holds is a fault where it
// starts.
class SettingsReader {
public:
    explicit SettingsReader(std::string_view text) : text_(text) {}

    std::optional<UnitParameters> read(std::string* error);

private:
    enum class Top { FormatVersion, Device, Parameters };

    bool at_end() const { return pos_ >= text_.size(); }
    char peek() const { return at_end() ? '\0' : text_[pos_]; }
    bool fail_at(size_t at, const std::string& message);
    bool fail(const std::string& message) { return fail_at(pos_, message); }
    std::string found() const;
    std::string kind_of_value() const;
    void skip_space();
    bool expect(char c, const char* what);
    bool read_string(std::string& out);
    bool read_escape(std::string& out);
    bool read_utf8(std::string& out);
    bool read_hex4(uint32_t& value);
    bool read_integer(const std::string& what, int64_t& value);
    bool read_object(const char* what, bool (SettingsReader::*member)(const std::string&, size_t));
    bool read_top_member(const std::string& key, size_t key_at);
    bool read_parameter(const std::string& key, size_t key_at);

    std::string_view text_;
    size_t pos_ = 0;
    std::string error_;
    UnitParameters values_;
    bool seen_[3] = {false, false, false};
};

bool SettingsReader::fail_at(size_t at, const std::string& message) {
    if (!error_.empty()) {
        return false;
    }
    size_t line = 1;
    size_t column = 1;
    for (size_t i = 0; i < at && i < text_.size(); ++i) {
        if (text_[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    error_ = "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + message;
    return false;
}

// What stands at the reading position, for a message.
std::string SettingsReader::found() const {
    if (at_end()) {
        return "the end of the file";
    }
    const auto c = static_cast<unsigned char>(text_[pos_]);
    char text[16];
    if (c >= 0x20 && c < 0x7F) {
        std::snprintf(text, sizeof text, "'%c'", c);
    } else {
        std::snprintf(text, sizeof text, "byte 0x%02X", c);
    }
    return text;
}

std::string SettingsReader::kind_of_value() const {
    switch (peek()) {
        case '"': return "a string";
        case '{': return "an object";
        case '[': return "an array";
        case 't':
        case 'f': return "true or false";
        case 'n': return "null";
        default: return found();
    }
}

void SettingsReader::skip_space() {
    while (!at_end() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r')) {
        ++pos_;
    }
}

bool SettingsReader::expect(char c, const char* what) {
    skip_space();
    if (peek() != c || at_end()) {
        return fail(std::string("expected ") + what + ", found " + found());
    }
    ++pos_;
    return true;
}

bool SettingsReader::read_hex4(uint32_t& value) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = peek();
        uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return fail("\\u needs four hexadecimal digits");
        }
        value = value << 4 | digit;
        ++pos_;
    }
    return true;
}

bool SettingsReader::read_escape(std::string& out) {
    const size_t start = pos_ - 1;
    const char c = peek();
    ++pos_;
    switch (c) {
        case '"': out += '"'; return true;
        case '\\': out += '\\'; return true;
        case '/': out += '/'; return true;
        case 'b': out += '\b'; return true;
        case 'f': out += '\f'; return true;
        case 'n': out += '\n'; return true;
        case 'r': out += '\r'; return true;
        case 't': out += '\t'; return true;
        case 'u': break;
        default: return fail_at(start, "unknown escape in a string");
    }
    uint32_t code = 0;
    if (!read_hex4(code)) {
        return false;
    }
    if (code >= 0xDC00 && code < 0xE000) {
        return fail_at(start, "\\u escape of a lone low surrogate");
    }
    if (code >= 0xD800 && code < 0xDC00) {
        uint32_t low = 0;
        if (text_.substr(pos_, 2) != "\\u") {
            return fail_at(start, "\\u escape of a high surrogate without its low half");
        }
        pos_ += 2;
        if (!read_hex4(low)) {
            return false;
        }
        if (low < 0xDC00 || low >= 0xE000) {
            return fail_at(start, "\\u escape of a high surrogate without its low half");
        }
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(out, code);
    return true;
}

// One character of two to four bytes.
bool SettingsReader::read_utf8(std::string& out) {
    const size_t length = utf8_sequence_length(text_.substr(pos_));
    if (length == 0) {
        return fail("the file is not valid UTF-8");
    }
    out.append(text_.substr(pos_, length));
    pos_ += length;
    return true;
}

bool SettingsReader::read_string(std::string& out) {
    skip_space();
    if (peek() != '"' || at_end()) {
        return fail("expected a string, found " + found());
    }
    ++pos_;
    out.clear();
    for (;;) {
        if (at_end()) {
            return fail("a string runs to the end of the file");
        }
        const auto c = static_cast<unsigned char>(text_[pos_]);
        if (c == '"') {
            ++pos_;
            return true;
        }
        if (c < 0x20) {
            return fail("a control character inside a string (write it as an escape)");
        }
        if (c == '\\') {
            ++pos_;
            if (!read_escape(out)) {
                return false;
            }
        } else if (c >= 0x80) {
            if (!read_utf8(out)) {
                return false;
            }
        } else {
            out += static_cast<char>(c);
            ++pos_;
        }
    }
}

// A JSON number that must be whole: "-"? digits, no leading zero; a fraction
// or an exponent is refused, as is anything too long for 32 bits.
bool SettingsReader::read_integer(const std::string& what, int64_t& value) {
    skip_space();
    const size_t start = pos_;
    const char first = peek();
    if (!at_end() && (first == '-' || (first >= '0' && first <= '9'))) {
        const bool negative = first == '-';
        pos_ += negative ? 1 : 0;
        const size_t digits_at = pos_;
        while (!at_end() && text_[pos_] >= '0' && text_[pos_] <= '9') {
            ++pos_;
        }
        const std::string_view digits = text_.substr(digits_at, pos_ - digits_at);
        if (digits.empty()) {
            return fail_at(start, "a '-' without digits");
        }
        if (digits.size() > 1 && digits[0] == '0') {
            return fail_at(start, "a number with a leading zero");
        }
        if (peek() == '.' || peek() == 'e' || peek() == 'E') {
            return fail_at(start, what + " must be a whole number");
        }
        if (digits.size() > kMaxIntegerDigits) {
            return fail_at(start, what + " is out of range");
        }
        int64_t magnitude = 0;
        const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
        if (parsed.ec != std::errc()) {
            return fail_at(start, what + " is out of range");
        }
        value = negative ? -magnitude : magnitude;
        return true;
    }
    return fail(what + " must be a whole number, not " + kind_of_value());
}

// "{" members "}" with each member handed to `member` after its key; an
// empty object is allowed here and judged by the caller.
bool SettingsReader::read_object(const char* what, bool (SettingsReader::*member)(const std::string&, size_t)) {
    skip_space();
    if (peek() != '{' || at_end()) {
        return fail(std::string(what) + " must be an object, not " + kind_of_value());
    }
    ++pos_;
    skip_space();
    if (peek() == '}' && !at_end()) {
        ++pos_;
        return true;
    }
    for (;;) {
        skip_space();
        const size_t key_at = pos_;
        std::string key;
        if (!read_string(key) || !expect(':', "':' after a key") || !(this->*member)(key, key_at)) {
            return false;
        }
        skip_space();
        if (peek() == '}' && !at_end()) {
            ++pos_;
            return true;
        }
        if (!expect(',', "',' or '}'")) {
            return false;
        }
    }
}

bool SettingsReader::read_top_member(const std::string& key, size_t key_at) {
    Top which = Top::FormatVersion;
    if (key == "format_version") {
        which = Top::FormatVersion;
    } else if (key == "device") {
        which = Top::Device;
    } else if (key == "parameters") {
        which = Top::Parameters;
    } else {
        return fail_at(key_at, "unknown key '" + key + "' (known: format_version, device, parameters)");
    }
    bool& seen = seen_[static_cast<int>(which)];
    if (seen) {
        return fail_at(key_at, "'" + key + "' is given twice");
    }
    seen = true;
    skip_space();
    const size_t value_at = pos_;
    switch (which) {
        case Top::FormatVersion: {
            int64_t version = 0;
            if (!read_integer("format_version", version)) {
                return false;
            }
            if (version != kSettingsFormatVersion) {
                return fail_at(value_at, "format_version " + std::to_string(version) + " is not one this program reads (" +
                                             std::to_string(kSettingsFormatVersion) + ")");
            }
            return true;
        }
        case Top::Device:
            if (peek() != '"') {
                return fail("device must be a string, not " + kind_of_value());
            }
            if (!read_string(values_.device)) {
                return false;
            }
            if (values_.device.empty() || values_.device.size() > kMaxDeviceNameSize) {
                return fail_at(value_at, "device must be an AVN device name of 1 to 31 bytes");
            }
            if (has_control_character(values_.device)) {
                return fail_at(value_at, "device must not hold control characters");
            }
            return true;
        case Top::Parameters: {
            if (!read_object("parameters", &SettingsReader::read_parameter)) {
                return false;
            }
            for (const auto& value : values_.values) {
                if (value) {
                    return true;
                }
            }
            return fail_at(value_at, "parameters names no parameter");
        }
    }
    return false;
}

bool SettingsReader::read_parameter(const std::string& key, size_t key_at) {
    std::optional<ParameterId> id;
    for (ParameterId candidate : kAllParameters) {
        if (same_name(key, parameter_name(candidate))) {
            id = candidate;
        }
    }
    if (!id) {
        return fail_at(key_at, "unknown parameter '" + key +
                                   "' (known: MicLf, MicHf, LineLf, LineHf, Mode, MicSensitivity, MicGate)");
    }
    if (values_[*id]) {
        return fail_at(key_at, std::string(parameter_name(*id)) + " is given twice");
    }
    skip_space();
    const size_t value_at = pos_;
    int64_t value = 0;
    if (!read_integer(parameter_name(*id), value)) {
        return false;
    }
    const int32_t low = parameter_min_value(*id);
    const int32_t high = parameter_max_value(*id);
    if (value < low || value > high) {
        return fail_at(value_at, std::string(parameter_name(*id)) + " must be from " + std::to_string(low) +
                                     " to " + std::to_string(high) + ", got " + std::to_string(value));
    }
    values_[*id] = static_cast<int32_t>(value);
    return true;
}

std::optional<UnitParameters> SettingsReader::read(std::string* error) {
    if (text_.size() > kMaxSettingsFileSize) {
        *error = "the file is larger than a settings file can be (" + std::to_string(kMaxSettingsFileSize / 1024) +
                 " KiB)";
        return std::nullopt;
    }
    if (text_.starts_with("\xEF\xBB\xBF")) {
        pos_ = 3;  // the byte order mark some Windows editors write
    }
    skip_space();
    if (at_end()) {
        *error = "the file is empty";
        return std::nullopt;
    }
    bool ok = read_object("the file", &SettingsReader::read_top_member);
    if (ok) {
        skip_space();
        ok = at_end() || fail("unexpected " + found() + " after the settings object");
    }
    if (ok && !seen_[static_cast<int>(Top::FormatVersion)]) {
        error_ = "the file has no format_version (every saved settings file has one)";
        ok = false;
    }
    if (ok && !seen_[static_cast<int>(Top::Parameters)]) {
        error_ = "the file has no parameters";
        ok = false;
    }
    if (!ok) {
        *error = error_;
        return std::nullopt;
    }
    return values_;
}

}  // namespace

std::string format_settings_file(const UnitParameters& parameters) {
    json_t* file = json_object();
    json_object_set_new(file, "format_version", json_integer(kSettingsFormatVersion));
    if (settings_device_name_fits(parameters.device)) {
        json_object_set_new(file, "device", json_stringn(parameters.device.data(), parameters.device.size()));
    }
    json_t* values = json_object();
    for (ParameterId id : kAllParameters) {
        if (parameters[id]) {
            json_object_set_new(values, parameter_name(id), json_integer(*parameters[id]));
        }
    }
    json_object_set_new(file, "parameters", values);
    // Written straight into the string, indented for people to read and edit.
    std::string out;
    const auto append = [](const char* buffer, size_t size, void* data) -> int {
        static_cast<std::string*>(data)->append(buffer, size);
        return 0;
    };
    json_dump_callback(file, append, &out, JSON_INDENT(2));
    json_decref(file);
    return out + "\n";
}

std::optional<UnitParameters> parse_settings_file(std::string_view text, std::string* error) {
    return SettingsReader(text).read(error);
}

bool settings_device_name_fits(std::string_view name) {
    if (name.empty() || name.size() > kMaxDeviceNameSize || has_control_character(name)) {
        return false;
    }
    for (size_t i = 0; i < name.size();) {
        if (static_cast<unsigned char>(name[i]) < 0x80) {
            ++i;
            continue;
        }
        const size_t length = utf8_sequence_length(name.substr(i));
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

std::optional<ParameterId> out_of_range_parameter(const UnitParameters& parameters) {
    for (ParameterId id : kAllParameters) {
        const std::optional<int32_t>& value = parameters[id];
        if (value && (*value < parameter_min_value(id) || *value > parameter_max_value(id))) {
            return id;
        }
    }
    return std::nullopt;
}

std::vector<SettingsDifference> settings_differences(const UnitParameters& wanted, const UnitParameters& current) {
    std::vector<SettingsDifference> differences;
    for (ParameterId id : kAllParameters) {
        if (wanted[id] && current[id] != wanted[id]) {
            differences.push_back({id, current[id], *wanted[id]});
        }
    }
    return differences;
}
