#include "avn/domain/dns_message.h"

#include <cstdio>
#include <cstring>

#include "avn/runtime/byte_order.h"

namespace {

// Fixed part of a question after its name, and of a record after its name.
constexpr size_t kQuestionTail = 4;  // type, class
constexpr size_t kRecordTail = 10;   // type, class, TTL, data length
constexpr size_t kSrvFixed = 6;      // priority, weight, port
// A name of at most 255 bytes has at most 127 labels, so a longer chain of
// pointers is malformed whatever else it does.
constexpr int kMaxPointers = 127;

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Appends one label byte as text; false when it does not fit.
bool put_label_byte(uint8_t byte, char* text, size_t size, size_t* at) {
    char piece[5];
    size_t count = 0;
    if (byte == '.' || byte == '\\') {
        piece[0] = '\\';
        piece[1] = static_cast<char>(byte);
        count = 2;
    } else if (byte > 0x20 && byte < 0x7F) {
        piece[0] = static_cast<char>(byte);
        count = 1;
    } else {
        std::snprintf(piece, sizeof piece, "\\%03u", unsigned{byte});
        count = 4;
    }
    if (*at + count >= size) {
        return false;
    }
    std::memcpy(text + *at, piece, count);
    *at += count;
    return true;
}

// Reads the name at `offset` in the message, following compression pointers,
// into text. *end becomes the offset just past the name where it starts (past
// the first pointer, when there is one). Pointers must point strictly before
// the label sequence that holds them, so a chain always shrinks and ends.
aud_error read_name(const uint8_t* data, size_t length, size_t offset, size_t* end, char* text,
                    size_t size) {
    size_t at = offset;
    size_t written = 0;
    size_t wire = 0;
    int pointers = 0;
    bool jumped = false;
    size_t sequence_start = offset;  // a pointer must point before this
    for (;;) {
        if (at >= length) {
            return AUD_ERR_INVALIDDATA;
        }
        const uint8_t byte = data[at];
        if ((byte & 0xC0) == 0xC0) {
            if (at + 1 >= length || ++pointers > kMaxPointers) {
                return AUD_ERR_INVALIDDATA;
            }
            const size_t target = static_cast<size_t>(((byte & 0x3F) << 8) | data[at + 1]);
            if (!jumped) {
                *end = at + 2;
                jumped = true;
            }
            if (target >= sequence_start) {
                return AUD_ERR_INVALIDDATA;
            }
            sequence_start = target;
            at = target;
            continue;
        }
        if ((byte & 0xC0) != 0) {
            return AUD_ERR_INVALIDDATA;  // extended or reserved label types
        }
        if (byte == 0) {
            wire += 1;
            if (wire > DNS_NAME_WIRE_MAX) {
                return AUD_ERR_INVALIDDATA;
            }
            if (written == 0) {
                if (size < 2) {
                    return AUD_ERR_INVALIDDATA;
                }
                text[written++] = '.';
            }
            text[written] = '\0';
            if (!jumped) {
                *end = at + 1;
            }
            return AUD_SUCCESS;
        }
        const size_t label = byte;
        if (label > length - at - 1) {
            return AUD_ERR_INVALIDDATA;
        }
        wire += 1 + label;
        if (wire + 1 > DNS_NAME_WIRE_MAX) {
            return AUD_ERR_INVALIDDATA;  // no room left for the terminating zero
        }
        for (size_t i = 0; i < label; ++i) {
            if (!put_label_byte(data[at + 1 + i], text, size, &written)) {
                return AUD_ERR_INVALIDDATA;
            }
        }
        if (written + 1 >= size) {
            return AUD_ERR_INVALIDDATA;
        }
        text[written++] = '.';
        at += 1 + label;
    }
}

// Steps over a name without decoding it: only its extent in place matters.
aud_error skip_name(const uint8_t* data, size_t length, size_t offset, size_t* end) {
    char scratch[DNS_NAME_TEXT_SIZE];
    return read_name(data, length, offset, end, scratch, sizeof scratch);
}

// The length of `text` without a trailing dot that ends it (an escaped dot,
// "\.", is part of the last label and stays).
size_t without_trailing_dot(const char* text) {
    size_t length = std::strlen(text);
    if (length == 0 || text[length - 1] != '.') {
        return length;
    }
    size_t backslashes = 0;
    while (backslashes + 1 < length && text[length - 2 - backslashes] == '\\') {
        ++backslashes;
    }
    return backslashes % 2 == 0 ? length - 1 : length;
}

}  // namespace

const char* dns_type_name(uint16_t type) {
    switch (type) {
        case DNS_TYPE_INVALID:
            return "INVALID";
        case DNS_TYPE_A:
            return "A";
        case DNS_TYPE_NS:
            return "NS";
        case DNS_TYPE_CNAME:
            return "CNAME";
        case DNS_TYPE_SOA:
            return "SOA";
        case DNS_TYPE_NULL:
            return "NULL";
        case DNS_TYPE_PTR:
            return "PTR";
        case DNS_TYPE_TXT:
            return "TXT";
        case DNS_TYPE_AAAA:
            return "AAAA";
        case DNS_TYPE_SRV:
            return "SRV";
        case DNS_TYPE_OPT:
            return "OPT";
        case DNS_TYPE_NSEC:
            return "NSEC";
        case DNS_TYPE_ANY:
            return "ANY";
        default:
            return "UNKNOWN";
    }
}

aud_error dns_message_build_query(uint16_t id, const char* name, uint16_t type, uint8_t* buffer,
                                  size_t size, size_t* length) {
    if (name == nullptr || buffer == nullptr || length == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    // The name in wire form first, so that a bad name leaves the buffer alone.
    uint8_t wire[DNS_NAME_WIRE_MAX];
    size_t wire_length = 0;
    const char* p = name;
    if (*p == '\0' || std::strcmp(p, ".") == 0) {
        return AUD_ERR_INVALIDPARAMETER;  // the root is no name to look up
    }
    while (*p != '\0') {
        const char* dot = std::strchr(p, '.');
        const size_t label = dot != nullptr ? static_cast<size_t>(dot - p) : std::strlen(p);
        if (label == 0 || label > DNS_LABEL_MAX || wire_length + 1 + label + 1 > sizeof wire) {
            return AUD_ERR_INVALIDPARAMETER;
        }
        wire[wire_length++] = static_cast<uint8_t>(label);
        std::memcpy(wire + wire_length, p, label);
        wire_length += label;
        p += label;
        if (*p == '.') {
            ++p;
        }
    }
    wire[wire_length++] = 0;

    const size_t total = DNS_MESSAGE_HEADER_SIZE + wire_length + kQuestionTail;
    if (size < total) {
        return AUD_ERR_NOBUFS;
    }
    std::memset(buffer, 0, DNS_MESSAGE_HEADER_SIZE);
    byte_order::store_be16(buffer, id);
    byte_order::store_be16(buffer + 2, DNS_FLAG_RECURSION_DESIRED);
    byte_order::store_be16(buffer + 4, 1);
    std::memcpy(buffer + DNS_MESSAGE_HEADER_SIZE, wire, wire_length);
    uint8_t* tail = buffer + DNS_MESSAGE_HEADER_SIZE + wire_length;
    byte_order::store_be16(tail, type);
    byte_order::store_be16(tail + 2, DNS_CLASS_IN);
    *length = total;
    return AUD_SUCCESS;
}

aud_error dns_message_read_header(const uint8_t* data, size_t length, dns_header* out) {
    if (data == nullptr || out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (length < DNS_MESSAGE_HEADER_SIZE) {
        return AUD_ERR_INVALIDDATA;
    }
    out->id = byte_order::load_be16(data);
    out->flags = byte_order::load_be16(data + 2);
    out->question_count = byte_order::load_be16(data + 4);
    out->answer_count = byte_order::load_be16(data + 6);
    out->authority_count = byte_order::load_be16(data + 8);
    out->additional_count = byte_order::load_be16(data + 10);
    return AUD_SUCCESS;
}

aud_error dns_reader_init(dns_reader* reader, const uint8_t* data, size_t length) {
    if (reader == nullptr || data == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    *reader = dns_reader{};
    reader->data = data;
    reader->length = length;
    reader->failed = true;
    aud_error error = dns_message_read_header(data, length, &reader->header);
    if (error != AUD_SUCCESS) {
        return error;
    }
    size_t at = DNS_MESSAGE_HEADER_SIZE;
    for (uint32_t i = 0; i < reader->header.question_count; ++i) {
        error = skip_name(data, length, at, &at);
        if (error != AUD_SUCCESS) {
            return error;
        }
        if (length - at < kQuestionTail) {
            return AUD_ERR_INVALIDDATA;
        }
        at += kQuestionTail;
    }
    reader->offset = at;
    reader->failed = false;
    return AUD_SUCCESS;
}

aud_error dns_reader_next(dns_reader* reader, dns_record* out) {
    if (reader == nullptr || out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (reader->failed) {
        return AUD_ERR_INVALIDDATA;
    }
    const dns_header& h = reader->header;
    const uint32_t answers = h.answer_count;
    const uint32_t authorities = answers + h.authority_count;
    const uint32_t total = authorities + h.additional_count;
    if (reader->next >= total) {
        return AUD_ERR_DONE;
    }
    reader->failed = true;  // until the record has been read whole
    const uint8_t* data = reader->data;
    const size_t length = reader->length;
    size_t at = reader->offset;
    out->section = reader->next < answers       ? DNS_SECTION_ANSWER
                   : reader->next < authorities ? DNS_SECTION_AUTHORITY
                                                : DNS_SECTION_ADDITIONAL;
    aud_error error = read_name(data, length, at, &at, out->name, sizeof out->name);
    if (error != AUD_SUCCESS) {
        return error;
    }
    if (length - at < kRecordTail) {
        return AUD_ERR_INVALIDDATA;
    }
    out->type = byte_order::load_be16(data + at);
    out->rrclass = byte_order::load_be16(data + at + 2);
    out->ttl = byte_order::load_be32(data + at + 4);
    out->rdata_length = byte_order::load_be16(data + at + 8);
    at += kRecordTail;
    if (out->rdata_length > length - at) {
        return AUD_ERR_INVALIDDATA;
    }
    out->rdata = data + at;
    const size_t rdata_end = at + out->rdata_length;
    out->srv_priority = 0;
    out->srv_weight = 0;
    out->srv_port = 0;
    out->srv_target[0] = '\0';
    if (out->type == DNS_TYPE_SRV) {
        if (out->rdata_length < kSrvFixed + 1) {
            return AUD_ERR_INVALIDDATA;
        }
        out->srv_priority = byte_order::load_be16(out->rdata);
        out->srv_weight = byte_order::load_be16(out->rdata + 2);
        out->srv_port = byte_order::load_be16(out->rdata + 4);
        // The target is read against the whole message (a server may
        // compress it), but what it occupies in place must lie in the data.
        size_t target_end = 0;
        error = read_name(data, rdata_end, at + kSrvFixed, &target_end, out->srv_target,
                          sizeof out->srv_target);
        if (error != AUD_SUCCESS) {
            return error;
        }
    }
    reader->offset = rdata_end;
    ++reader->next;
    reader->failed = false;
    return AUD_SUCCESS;
}

aud_error dns_message_check(const uint8_t* data, size_t length) {
    dns_reader reader;
    aud_error error = dns_reader_init(&reader, data, length);
    if (error != AUD_SUCCESS) {
        return error;
    }
    dns_record record;
    while ((error = dns_reader_next(&reader, &record)) == AUD_SUCCESS) {
    }
    return error == AUD_ERR_DONE ? AUD_SUCCESS : error;
}

bool dns_names_equal(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) {
        return false;
    }
    const size_t la = without_trailing_dot(a);
    const size_t lb = without_trailing_dot(b);
    if (la != lb) {
        return false;
    }
    for (size_t i = 0; i < la; ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}
