// TXT records of AVN device adverts and the text forms of 8-byte identifiers
// (manufacturer, model and vendor ids), including the manufacturer subtype
// label by which a browse asks only for one maker's devices.
//
// Everything here is a pure function over bytes that came from the network:
// every read is checked against the record's length, and nothing is trusted
// to be terminated.
#pragma once

#include <cstddef>
#include <cstdint>

#include "avn/runtime/aud_error.h"

enum : size_t {
    DB_ID_SIZE = 8,
    // "_" and sixteen hexadecimal digits, with the terminator.
    DB_ID_LABEL_SIZE = 18,
    DB_TXT_TEXT_SIZE = 255,  // a text value of at most 254 characters
};

// major.minor.bugfix
struct db_version {
    uint8_t major;
    uint8_t minor;
    uint16_t bugfix;
};

// A device id and the id of the process on it that advertises.
struct db_instance_id {
    uint8_t device_id[DB_ID_SIZE];
    uint16_t process_id;
};

// ---- Value forms ----
// Each takes the value's bytes (not terminated) and returns whether the text
// was accepted. A refused value leaves in *out what was converted before the
// fault.

// "%u.%u.%u", at least the first number; missing parts 0; an empty value is
// 0.0.0. Parts beyond their field's range are refused.
bool db_txt_parse_version(const char* text, size_t length, db_version* out);
// Optional leading white space, optional "0x", then eight pairs of
// hexadecimal digits.
bool db_txt_parse_device_id(const char* text, size_t length, uint8_t out[DB_ID_SIZE]);
// Exactly sixteen hexadecimal digits.
bool db_txt_parse_device_id_strict(const char* text, size_t length, uint8_t out[DB_ID_SIZE]);
// "a.b.c.d", each part 0 to 255; the bytes in text order.
bool db_txt_parse_address(const char* text, size_t length, uint8_t out[4]);
// A decimal number 0 to 65535.
bool db_txt_parse_decimal16(const char* text, size_t length, uint16_t* out);
// A decimal number 0 to 0xFFFFFFFF.
bool db_txt_parse_decimal32(const char* text, size_t length, uint32_t* out);
// A hexadecimal number (optional "0x") up to 0xFFFFFFFF.
bool db_txt_parse_hex32(const char* text, size_t length, uint32_t* out);

// An 8-byte id from its text: text not beginning with "_" is the id itself
// (1 to 8 characters); "_" and 1 to 8 pairs of hexadecimal digits (either
// case) are its bytes. Zero-padded; an empty text gives eight zero bytes.
bool db_id_from_text(const char* text, size_t length, uint8_t out[DB_ID_SIZE]);
// The label of an 8-byte id, for a DNS-SD subtype and for TXT values:
// trailing zero bytes ignored; all zero gives "_00"; letters, digits, "-" and
// "_" (not first) as text; anything else "_" and lower-case hexadecimal.
// `label` holds DB_ID_LABEL_SIZE bytes.
void db_id_to_label(const uint8_t id[DB_ID_SIZE], char label[DB_ID_LABEL_SIZE]);

// ---- Conmon device record (_netaudio-cmc) ----

enum : uint32_t {
    DB_CONMON_TXT_CMCP_VERS = 0x001,
    DB_CONMON_TXT_CMCP_MIN = 0x002,
    DB_CONMON_TXT_ID = 0x004,
    DB_CONMON_TXT_PROCESS = 0x008,
    DB_CONMON_TXT_VID = 0x010,
    DB_CONMON_TXT_VBA = 0x020,
    DB_CONMON_TXT_MF = 0x040,
    DB_CONMON_TXT_MODEL = 0x080,
    DB_CONMON_TXT_SERVER_VERS = 0x100,
    DB_CONMON_TXT_CHANNELS = 0x200,
};

struct db_conmon_txt {
    uint32_t present;  // DB_CONMON_TXT_* of the keys accepted
    db_version cmcp_vers;
    db_version cmcp_min;
    db_instance_id instance_id;  // "id" and "process"
    uint8_t vid[DB_ID_SIZE];
    uint8_t vba[4];
    uint8_t manufacturer_id[DB_ID_SIZE];
    uint8_t model_id[DB_ID_SIZE];
    db_version server_vers;
    uint32_t channels;
};

// Zeroes *out and reads the record. INVALIDPARAMETER without a record (null
// or empty): the advert has none.
aud_error parse_conmon_txt_record(const uint8_t* txt, size_t length, db_conmon_txt* out);

// ---- Media device record (_netaudio-arc) ----

enum : uint32_t {
    DB_MEDIA_TXT_ARCP_VERS = 0x01,
    DB_MEDIA_TXT_ARCP_MIN = 0x02,
    DB_MEDIA_TXT_ROUTER_VERS = 0x04,
    DB_MEDIA_TXT_ROUTER_INFO = 0x08,
    DB_MEDIA_TXT_MF = 0x10,
    DB_MEDIA_TXT_MODEL = 0x20,
    DB_MEDIA_TXT_ROUTER_DEBUG = 0x40,
};

struct db_media_txt {
    uint32_t present;
    db_version arcp_vers;
    db_version arcp_min;
    db_version router_vers;
    char router_info[DB_TXT_TEXT_SIZE];
    uint8_t manufacturer_id[DB_ID_SIZE];
    uint8_t model_id[DB_ID_SIZE];
    char router_debug[DB_TXT_TEXT_SIZE];
};

aud_error parse_media_txt_record(const uint8_t* txt, size_t length, db_media_txt* out);

// ---- Media channel record (_netaudio-chan) ----

enum : size_t { DB_CHANNEL_MAX_ENCODINGS = 8 };

enum db_channel_txt_result : int {
    DB_CHANNEL_TXT_OK = 0,
    DB_CHANNEL_TXT_NO_ID = 1,
    DB_CHANNEL_TXT_NO_RATE = 2,
    DB_CHANNEL_TXT_NO_ENC = 3,        // missing, empty or malformed
    DB_CHANNEL_TXT_TOO_MANY_ENC = 4,  // more than DB_CHANNEL_MAX_ENCODINGS
};

struct db_channel_txt {
    uint16_t id;
    bool is_default;  // "default" present: the advertised name is the default name
    uint32_t rate;
    uint32_t pcm_mask;        // bit (bytes per sample - 1) per PCM width
    uint32_t pcm_width;       // the first PCM width, 0 when none
    uint32_t first_encoding;  // the first encoding of either kind
    uint32_t other_count;
    uint32_t others[DB_CHANNEL_MAX_ENCODINGS];  // encodings above 64, ascending
};

db_channel_txt_result parse_channel_txt_record(const uint8_t* txt, size_t length,
                                               db_channel_txt* out);

// ---- Safe-mode and upgrade-mode records (_avn-safe, _avn-upgr) ----

enum : uint32_t {
    DB_MODE_TXT_ID_MISSING = 0x1,  // "id" absent or not sixteen characters
    DB_MODE_TXT_ID_SHORT = 0x2,    // "id" not eight bytes of hexadecimal
    DB_MODE_TXT_PROCESS_MISSING = 0x4,
};

struct db_mode_txt {
    uint16_t value;  // "safe" or "upgr"; 0 when absent
    db_instance_id instance_id;
    uint32_t problems;  // DB_MODE_TXT_*; the fields concerned stay 0
};

// value_key is "safe" or "upgr".
void parse_mode_txt_record(const uint8_t* txt, size_t length, const char* value_key,
                           db_mode_txt* out);

// ---- Via device record (_netaudio-via) ----

enum db_via_txt_result : int {
    DB_VIA_TXT_OK = 0,
    DB_VIA_TXT_ID_MISSING,
    DB_VIA_TXT_ID_SHORT,
    DB_VIA_TXT_PROCESS_MISSING,
    DB_VIA_TXT_VERS_MIN_MISSING,
    DB_VIA_TXT_VERS_MIN_INVALID,
    DB_VIA_TXT_VERS_CURR_MISSING,
    DB_VIA_TXT_VERS_CURR_INVALID,
};

struct db_via_txt {
    db_instance_id instance_id;
    db_version vers_min;
    db_version vers_curr;
};

db_via_txt_result parse_via_txt_record(const uint8_t* txt, size_t length, db_via_txt* out);
