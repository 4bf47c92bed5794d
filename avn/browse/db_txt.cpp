#include "avn/browse/db_txt.h"

#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "avn/dnssd/dnssd.h"

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Reads decimal digits at *position (at least one) into *value, refusing a
// value above `max`.
bool read_decimal(std::string_view text, size_t* position, uint64_t max, uint64_t* value) {
    size_t i = *position;
    uint64_t result = 0;
    while (i < text.size() && is_digit(text[i])) {
        result = result * 10 + static_cast<uint64_t>(text[i] - '0');
        if (result > max) {
            return false;
        }
        ++i;
    }
    if (i == *position) {
        return false;
    }
    *position = i;
    *value = result;
    return true;
}

// Reads `count` pairs of hexadecimal digits into out; false at the first
// pair that is not there (the pairs before it are kept).
bool read_hex_pairs(std::string_view text, size_t position, size_t count, uint8_t* out) {
    for (size_t k = 0; k < count; ++k) {
        const size_t at = position + 2 * k;
        if (at + 2 > text.size()) {
            return false;
        }
        const int high = hex_digit(text[at]);
        const int low = hex_digit(text[at + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out[k] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

bool is_label_char(uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

// One string of a TXT record, split at its first "=".
struct TxtEntry {
    std::string_view key;
    std::string_view value;
    bool has_value;
};

// Keys compare without regard to ASCII letter case (RFC 6763 section 6.4),
// so a unit sending "MF=Vornix" is read as one sending "mf=Vornix".
bool key_is(std::string_view key, std::string_view name) {
    if (key.size() != name.size()) {
        return false;
    }
    for (size_t i = 0; i < key.size(); ++i) {
        const char a = key[i];
        const char folded = (a >= 'A' && a <= 'Z') ? static_cast<char>(a - 'A' + 'a') : a;
        if (folded != name[i]) {
            return false;
        }
    }
    return true;
}

std::string folded_key(std::string_view key) {
    std::string folded(key);
    for (char& c : folded) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return folded;
}

// Calls `each` for every string of the record whose key has not come
// before (RFC 6763 section 6.4: a key given twice counts the first time
// only, so a later copy can neither change nor clear it). A string of
// length 0 ends the walk, as does one that runs past the record.
template <typename Each>
void for_each_entry(const uint8_t* txt, size_t length, Each each) {
    std::set<std::string> seen;
    size_t position = 0;
    while (position < length) {
        const size_t size = txt[position];
        if (size == 0 || size > length - position - 1) {
            return;
        }
        const std::string_view string(reinterpret_cast<const char*>(txt + position + 1), size);
        const size_t equals = string.find('=');
        TxtEntry entry;
        if (equals == std::string_view::npos) {
            entry = {string, std::string_view(), false};
        } else {
            entry = {string.substr(0, equals), string.substr(equals + 1), true};
        }
        if (seen.insert(folded_key(entry.key)).second) {
            each(entry);
        }
        position += 1 + size;
    }
}

// The value forms, each given a key's entry. A key without "=" is an empty
// value that counts for versions, ids and texts; numbers and addresses need
// digits.
bool version_value(const TxtEntry& entry, db_version* out) {
    *out = db_version{};
    return !entry.has_value || db_txt_parse_version(entry.value.data(), entry.value.size(), out);
}

bool id_value(const TxtEntry& entry, uint8_t out[DB_ID_SIZE]) {
    std::memset(out, 0, DB_ID_SIZE);
    return !entry.has_value || db_id_from_text(entry.value.data(), entry.value.size(), out);
}

bool device_id_value(const TxtEntry& entry, uint8_t out[DB_ID_SIZE]) {
    std::memset(out, 0, DB_ID_SIZE);
    return !entry.has_value || db_txt_parse_device_id(entry.value.data(), entry.value.size(), out);
}

bool text_value(const TxtEntry& entry, char* out, size_t size) {
    const size_t n = entry.value.size() < size - 1 ? entry.value.size() : size - 1;
    if (n > 0) {
        std::memcpy(out, entry.value.data(), n);
    }
    out[n] = '\0';
    return true;
}

// A single key looked up with the DNS-SD library: its value, or none when it
// is absent or has no "=".
bool single_value(const uint8_t* txt, size_t length, const char* key, std::string_view* value) {
    if (txt == nullptr || length == 0 || length > 0xFFFF) {
        return false;
    }
    uint8_t size = 0;
    const void* found = TXTRecordGetValuePtr(static_cast<uint16_t>(length), txt, key, &size);
    if (found == nullptr) {
        return false;
    }
    *value = std::string_view(static_cast<const char*>(found), size);
    return true;
}

// "id" and "process" of the safe-mode, upgrade-mode and via records.
enum class IdState { Ok, Missing, Short };

IdState strict_id(const uint8_t* txt, size_t length, uint8_t out[DB_ID_SIZE]) {
    std::string_view value;
    if (!single_value(txt, length, "id", &value) || value.size() != 2 * DB_ID_SIZE) {
        return IdState::Missing;
    }
    uint8_t bytes[DB_ID_SIZE] = {};
    if (!db_txt_parse_device_id_strict(value.data(), value.size(), bytes)) {
        return IdState::Short;
    }
    std::memcpy(out, bytes, DB_ID_SIZE);
    return IdState::Ok;
}

bool process_value(const uint8_t* txt, size_t length, uint16_t* out) {
    std::string_view value;
    return single_value(txt, length, "process", &value) && !value.empty() &&
           db_txt_parse_decimal16(value.data(), value.size(), out);
}

}  // namespace

bool db_txt_parse_version(const char* text, size_t length, db_version* out) {
    const std::string_view value(text != nullptr ? text : "", text != nullptr ? length : 0);
    *out = db_version{};
    if (value.empty()) {
        return true;
    }
    size_t i = 0;
    uint64_t part = 0;
    if (!read_decimal(value, &i, 0xFF, &part)) {
        return false;
    }
    out->major = static_cast<uint8_t>(part);
    if (i + 1 < value.size() && value[i] == '.' && is_digit(value[i + 1])) {
        ++i;
        if (!read_decimal(value, &i, 0xFF, &part)) {
            return false;
        }
        out->minor = static_cast<uint8_t>(part);
        if (i + 1 < value.size() && value[i] == '.' && is_digit(value[i + 1])) {
            ++i;
            if (!read_decimal(value, &i, 0xFFFF, &part)) {
                return false;
            }
            out->bugfix = static_cast<uint16_t>(part);
        }
    }
    return true;
}

bool db_txt_parse_device_id(const char* text, size_t length, uint8_t out[DB_ID_SIZE]) {
    const std::string_view value(text != nullptr ? text : "", text != nullptr ? length : 0);
    size_t i = 0;
    while (i < value.size() && is_space(value[i])) {
        ++i;
    }
    if (i + 1 < value.size() && value[i] == '0' && (value[i + 1] == 'x' || value[i + 1] == 'X')) {
        i += 2;
    }
    return read_hex_pairs(value, i, DB_ID_SIZE, out);
}

bool db_txt_parse_device_id_strict(const char* text, size_t length, uint8_t out[DB_ID_SIZE]) {
    if (text == nullptr || length != 2 * DB_ID_SIZE) {
        return false;
    }
    return read_hex_pairs(std::string_view(text, length), 0, DB_ID_SIZE, out);
}

bool db_txt_parse_address(const char* text, size_t length, uint8_t out[4]) {
    const std::string_view value(text != nullptr ? text : "", text != nullptr ? length : 0);
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= value.size() || value[i] != '.') {
                return false;
            }
            ++i;
        }
        uint64_t number = 0;
        if (!read_decimal(value, &i, 255, &number)) {
            return false;
        }
        out[part] = static_cast<uint8_t>(number);
    }
    return i == value.size();
}

bool db_txt_parse_decimal16(const char* text, size_t length, uint16_t* out) {
    uint32_t value = 0;
    if (!db_txt_parse_decimal32(text, length, &value) || value > 0xFFFF) {
        return false;
    }
    *out = static_cast<uint16_t>(value);
    return true;
}

bool db_txt_parse_decimal32(const char* text, size_t length, uint32_t* out) {
    const std::string_view value(text != nullptr ? text : "", text != nullptr ? length : 0);
    size_t i = 0;
    uint64_t number = 0;
    if (!read_decimal(value, &i, 0xFFFFFFFFu, &number) || i != value.size()) {
        return false;
    }
    *out = static_cast<uint32_t>(number);
    return true;
}

bool db_txt_parse_hex32(const char* text, size_t length, uint32_t* out) {
    std::string_view value(text != nullptr ? text : "", text != nullptr ? length : 0);
    if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
        value.remove_prefix(2);
    }
    if (value.empty()) {
        return false;
    }
    uint64_t number = 0;
    for (char c : value) {
        const int digit = hex_digit(c);
        if (digit < 0) {
            return false;
        }
        number = number * 16 + static_cast<uint64_t>(digit);
        if (number > 0xFFFFFFFFu) {
            return false;
        }
    }
    *out = static_cast<uint32_t>(number);
    return true;
}

bool db_id_from_text(const char* text, size_t length, uint8_t out[DB_ID_SIZE]) {
    const std::string_view value(text != nullptr ? text : "", text != nullptr ? length : 0);
    std::memset(out, 0, DB_ID_SIZE);
    if (value.empty()) {
        return true;
    }
    if (value[0] != '_') {
        if (value.size() > DB_ID_SIZE) {
            return false;
        }
        std::memcpy(out, value.data(), value.size());
        return true;
    }
    const size_t digits = value.size() - 1;
    if (digits == 0 || digits % 2 != 0 || digits / 2 > DB_ID_SIZE) {
        return false;
    }
    uint8_t bytes[DB_ID_SIZE] = {};
    if (!read_hex_pairs(value, 1, digits / 2, bytes)) {
        return false;
    }
    std::memcpy(out, bytes, DB_ID_SIZE);
    return true;
}

void db_id_to_label(const uint8_t id[DB_ID_SIZE], char label[DB_ID_LABEL_SIZE]) {
    size_t used = DB_ID_SIZE;
    while (used > 0 && id[used - 1] == 0) {
        --used;
    }
    if (used == 0) {
        std::memcpy(label, "_00", 4);
        return;
    }
    bool as_text = id[0] != '_';
    for (size_t i = 0; i < used && as_text; ++i) {
        as_text = is_label_char(id[i]);
    }
    if (as_text) {
        std::memcpy(label, id, used);
        label[used] = '\0';
        return;
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    label[0] = '_';
    for (size_t i = 0; i < used; ++i) {
        label[1 + 2 * i] = kDigits[id[i] >> 4];
        label[2 + 2 * i] = kDigits[id[i] & 0xF];
    }
    label[1 + 2 * used] = '\0';
}

namespace {

// One key of a record type: the bit it sets in `present` and how its value
// is read. A key whose value does not read clears its bit.
template <typename Record>
struct TxtField {
    const char* key;
    uint32_t bit;
    bool (*read)(const TxtEntry& entry, Record* out);
};

template <typename Record, size_t N>
aud_error parse_fields(const uint8_t* txt, size_t length, Record* out,
                       const TxtField<Record> (&fields)[N]) {
    if (out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    *out = Record{};
    if (txt == nullptr || length == 0) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    for_each_entry(txt, length, [out, &fields](const TxtEntry& e) {
        for (const TxtField<Record>& field : fields) {
            if (key_is(e.key, field.key)) {
                const bool ok = field.read(e, out);
                out->present = ok ? (out->present | field.bit) : (out->present & ~field.bit);
                return;
            }
        }
    });
    return AUD_SUCCESS;
}

using ConmonField = TxtField<db_conmon_txt>;
const ConmonField kConmonFields[] = {
    {"cmcp_vers", DB_CONMON_TXT_CMCP_VERS,
     [](const TxtEntry& e, db_conmon_txt* out) { return version_value(e, &out->cmcp_vers); }},
    {"cmcp_min", DB_CONMON_TXT_CMCP_MIN,
     [](const TxtEntry& e, db_conmon_txt* out) { return version_value(e, &out->cmcp_min); }},
    {"id", DB_CONMON_TXT_ID,
     [](const TxtEntry& e, db_conmon_txt* out) { return device_id_value(e, out->instance_id.device_id); }},
    {"process", DB_CONMON_TXT_PROCESS,
     [](const TxtEntry& e, db_conmon_txt* out) {
         out->instance_id.process_id = 0;
         return e.has_value &&
                db_txt_parse_decimal16(e.value.data(), e.value.size(), &out->instance_id.process_id);
     }},
    {"vid", DB_CONMON_TXT_VID, [](const TxtEntry& e, db_conmon_txt* out) { return id_value(e, out->vid); }},
    {"vba", DB_CONMON_TXT_VBA,
     [](const TxtEntry& e, db_conmon_txt* out) {
         std::memset(out->vba, 0, sizeof out->vba);
         return e.has_value && db_txt_parse_address(e.value.data(), e.value.size(), out->vba);
     }},
    {"mf", DB_CONMON_TXT_MF,
     [](const TxtEntry& e, db_conmon_txt* out) { return id_value(e, out->manufacturer_id); }},
    {"model", DB_CONMON_TXT_MODEL,
     [](const TxtEntry& e, db_conmon_txt* out) { return id_value(e, out->model_id); }},
    {"server_vers", DB_CONMON_TXT_SERVER_VERS,
     [](const TxtEntry& e, db_conmon_txt* out) { return version_value(e, &out->server_vers); }},
    {"channels", DB_CONMON_TXT_CHANNELS,
     [](const TxtEntry& e, db_conmon_txt* out) {
         out->channels = 0;
         return e.has_value && db_txt_parse_hex32(e.value.data(), e.value.size(), &out->channels);
     }},
};

using MediaField = TxtField<db_media_txt>;
const MediaField kMediaFields[] = {
    {"arcp_vers", DB_MEDIA_TXT_ARCP_VERS,
     [](const TxtEntry& e, db_media_txt* out) { return version_value(e, &out->arcp_vers); }},
    {"arcp_min", DB_MEDIA_TXT_ARCP_MIN,
     [](const TxtEntry& e, db_media_txt* out) { return version_value(e, &out->arcp_min); }},
    {"router_vers", DB_MEDIA_TXT_ROUTER_VERS,
     [](const TxtEntry& e, db_media_txt* out) { return version_value(e, &out->router_vers); }},
    {"router_info", DB_MEDIA_TXT_ROUTER_INFO,
     [](const TxtEntry& e, db_media_txt* out) {
         return text_value(e, out->router_info, sizeof out->router_info);
     }},
    {"mf", DB_MEDIA_TXT_MF,
     [](const TxtEntry& e, db_media_txt* out) { return id_value(e, out->manufacturer_id); }},
    {"model", DB_MEDIA_TXT_MODEL,
     [](const TxtEntry& e, db_media_txt* out) { return id_value(e, out->model_id); }},
    {"router_debug", DB_MEDIA_TXT_ROUTER_DEBUG,
     [](const TxtEntry& e, db_media_txt* out) {
         return text_value(e, out->router_debug, sizeof out->router_debug);
     }},
};

}  // namespace

aud_error parse_conmon_txt_record(const uint8_t* txt, size_t length, db_conmon_txt* out) {
    return parse_fields(txt, length, out, kConmonFields);
}

aud_error parse_media_txt_record(const uint8_t* txt, size_t length, db_media_txt* out) {
    return parse_fields(txt, length, out, kMediaFields);
}

db_channel_txt_result parse_channel_txt_record(const uint8_t* txt, size_t length,
                                               db_channel_txt* out) {
    *out = db_channel_txt{};
    std::string_view value;
    if (!single_value(txt, length, "id", &value) || value.empty() ||
        !db_txt_parse_decimal16(value.data(), value.size(), &out->id)) {
        return DB_CHANNEL_TXT_NO_ID;
    }
    out->is_default = TXTRecordContainsKey(static_cast<uint16_t>(length), txt, "default") != 0;
    if (!single_value(txt, length, "rate", &value) || value.empty() ||
        !db_txt_parse_decimal32(value.data(), value.size(), &out->rate)) {
        return DB_CHANNEL_TXT_NO_RATE;
    }
    if (!single_value(txt, length, "enc", &value) || value.empty()) {
        return DB_CHANNEL_TXT_NO_ENC;
    }
    // Decimal numbers separated by single blanks; every entry is read.
    size_t count = 0;
    size_t i = 0;
    while (i < value.size()) {
        if (count > 0) {
            if (value[i] != ' ' || i + 1 >= value.size()) {
                return DB_CHANNEL_TXT_NO_ENC;
            }
            ++i;
        }
        uint64_t encoding = 0;
        if (!read_decimal(value, &i, 0xFFFFFFFFu, &encoding) || encoding == 0) {
            return DB_CHANNEL_TXT_NO_ENC;
        }
        if (++count > DB_CHANNEL_MAX_ENCODINGS) {
            return DB_CHANNEL_TXT_TOO_MANY_ENC;
        }
        const auto e = static_cast<uint32_t>(encoding);
        if (count == 1) {
            out->first_encoding = e;
        }
        if (e <= 64) {
            out->pcm_mask |= 1u << ((e + 7) / 8 - 1);
            if (out->pcm_width == 0) {
                out->pcm_width = e;
            }
        } else {
            size_t at = out->other_count;
            while (at > 0 && out->others[at - 1] > e) {
                out->others[at] = out->others[at - 1];
                --at;
            }
            out->others[at] = e;
            ++out->other_count;
        }
    }
    return DB_CHANNEL_TXT_OK;
}

void parse_mode_txt_record(const uint8_t* txt, size_t length, const char* value_key,
                           db_mode_txt* out) {
    *out = db_mode_txt{};
    std::string_view value;
    if (single_value(txt, length, value_key, &value) &&
        !db_txt_parse_decimal16(value.data(), value.size(), &out->value)) {
        out->value = 0;
    }
    switch (strict_id(txt, length, out->instance_id.device_id)) {
        case IdState::Ok:
            break;
        case IdState::Missing:
            out->problems |= DB_MODE_TXT_ID_MISSING;
            break;
        case IdState::Short:
            out->problems |= DB_MODE_TXT_ID_SHORT;
            break;
    }
    if (!process_value(txt, length, &out->instance_id.process_id)) {
        out->instance_id.process_id = 0;
        out->problems |= DB_MODE_TXT_PROCESS_MISSING;
    }
}

db_via_txt_result parse_via_txt_record(const uint8_t* txt, size_t length, db_via_txt* out) {
    *out = db_via_txt{};
    switch (strict_id(txt, length, out->instance_id.device_id)) {
        case IdState::Ok:
            break;
        case IdState::Missing:
            return DB_VIA_TXT_ID_MISSING;
        case IdState::Short:
            return DB_VIA_TXT_ID_SHORT;
    }
    if (!process_value(txt, length, &out->instance_id.process_id)) {
        return DB_VIA_TXT_PROCESS_MISSING;
    }
    constexpr size_t kMaxVersionText = 63;
    std::string_view value;
    if (!single_value(txt, length, "vers_min", &value) || value.empty()) {
        return DB_VIA_TXT_VERS_MIN_MISSING;
    }
    if (value.size() > kMaxVersionText ||
        !db_txt_parse_version(value.data(), value.size(), &out->vers_min)) {
        return DB_VIA_TXT_VERS_MIN_INVALID;
    }
    if (!single_value(txt, length, "vers_curr", &value) || value.empty()) {
        return DB_VIA_TXT_VERS_CURR_MISSING;
    }
    if (value.size() > kMaxVersionText ||
        !db_txt_parse_version(value.data(), value.size(), &out->vers_curr)) {
        return DB_VIA_TXT_VERS_CURR_INVALID;
    }
    return DB_VIA_TXT_OK;
}
