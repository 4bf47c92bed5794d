// The TXT record helpers of the DNS-SD client interface. A TXT record is a
// run of strings, each a length byte and that many bytes; a string is a key,
// optionally followed by "=" and its value.
#include <cstring>

#include "avn/dnssd/dnssd.h"

namespace {

char lower_ascii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The string whose key is `key`: its bytes and length, or null.
const uint8_t* find_key(uint16_t length, const void* record, const char* key, uint8_t* size) {
    if (record == nullptr || key == nullptr) {
        return nullptr;
    }
    const size_t key_length = std::strlen(key);
    if (key_length == 0) {
        return nullptr;
    }
    const auto* bytes = static_cast<const uint8_t*>(record);
    size_t position = 0;
    while (position < length) {
        const uint8_t string_length = bytes[position];
        if (string_length > length - position - 1) {
            return nullptr;  // runs past the record
        }
        const uint8_t* string = bytes + position + 1;
        if (string_length >= key_length &&
            (string_length == key_length || string[key_length] == '=')) {
            bool same = true;
            for (size_t i = 0; i < key_length && same; ++i) {
                same = lower_ascii(static_cast<char>(string[i])) == lower_ascii(key[i]);
            }
            if (same) {
                *size = string_length;
                return string;
            }
        }
        position += 1u + string_length;
    }
    return nullptr;
}

}  // namespace

const void* TXTRecordGetValuePtr(uint16_t txtLen, const void* txtRecord, const char* key,
                                 uint8_t* valueLen) {
    uint8_t size = 0;
    const uint8_t* string = find_key(txtLen, txtRecord, key, &size);
    const size_t key_length = string == nullptr ? 0 : std::strlen(key);
    if (string == nullptr || size == key_length) {
        if (valueLen != nullptr) {
            *valueLen = 0;
        }
        return nullptr;
    }
    if (valueLen != nullptr) {
        *valueLen = static_cast<uint8_t>(size - key_length - 1);
    }
    return string + key_length + 1;
}

int TXTRecordContainsKey(uint16_t txtLen, const void* txtRecord, const char* key) {
    uint8_t size = 0;
    return find_key(txtLen, txtRecord, key, &size) != nullptr ? 1 : 0;
}
