// Unicast DNS messages (RFC 1035) as the Domain Manager's discovery uses them:
// a query with one question, and the reading of a response: its header, then
// the resource records of the answer, authority and additional sections with
// their names decompressed. SRV data (RFC 2782) is decoded as well.
//
// A pure codec: no sockets and no allocation. Every length and offset is
// checked before it is read, a chain of compression pointers must point
// strictly backwards (so it cannot loop) and is bounded, and nothing is read
// outside the message.
#pragma once

#include <cstddef>
#include <cstdint>

#include "avn/runtime/aud_error.h"

enum : size_t {
    DNS_MESSAGE_HEADER_SIZE = 12,
    // Received datagrams are read into a buffer of this size.
    DNS_MESSAGE_MAX_DATAGRAM = 1024,
    // A name in wire form, with its terminating zero byte.
    DNS_NAME_WIRE_MAX = 255,
    DNS_LABEL_MAX = 63,
    // A name as text: every byte of the wire form may need four characters
    // ("\DDD"), plus the terminator.
    DNS_NAME_TEXT_SIZE = 4 * DNS_NAME_WIRE_MAX + 1,
};

enum : uint16_t {
    DNS_TYPE_INVALID = 0,
    DNS_TYPE_A = 1,
    DNS_TYPE_NS = 2,
    DNS_TYPE_CNAME = 5,
    DNS_TYPE_SOA = 6,
    DNS_TYPE_NULL = 10,
    DNS_TYPE_PTR = 12,
    DNS_TYPE_TXT = 16,
    DNS_TYPE_AAAA = 28,
    DNS_TYPE_SRV = 33,
    DNS_TYPE_OPT = 41,
    DNS_TYPE_NSEC = 47,
    DNS_TYPE_ANY = 255,

    DNS_CLASS_IN = 1,
};

// Header flags and fields.
enum : uint16_t {
    DNS_FLAG_RESPONSE = 0x8000,
    DNS_FLAG_AUTHORITATIVE = 0x0400,
    DNS_FLAG_TRUNCATED = 0x0200,
    DNS_FLAG_RECURSION_DESIRED = 0x0100,
    DNS_FLAG_RECURSION_AVAILABLE = 0x0080,
    DNS_OPCODE_MASK = 0x7800,
    DNS_RCODE_MASK = 0x000F,
};

// Response codes.
enum : int {
    DNS_RCODE_NOERROR = 0,
    DNS_RCODE_FORMERR = 1,
    DNS_RCODE_SERVFAIL = 2,
    DNS_RCODE_NXDOMAIN = 3,
    DNS_RCODE_NOTIMP = 4,
    DNS_RCODE_REFUSED = 5,
};

// "SRV", "A", ...; "INVALID" for 0 and "UNKNOWN" for a type without a name.
const char* dns_type_name(uint16_t type);

struct dns_header {
    uint16_t id;
    uint16_t flags;
    uint16_t question_count;
    uint16_t answer_count;
    uint16_t authority_count;
    uint16_t additional_count;
};

inline int dns_header_rcode(const dns_header* header) {
    return header->flags & DNS_RCODE_MASK;
}

// Builds a query: the header with the id and the recursion-desired bit, and
// one question (name, type, class IN). The name is dotted text; a trailing
// dot is optional. INVALIDPARAMETER for a missing argument or a name that is
// empty, has an empty label, a label over 63 bytes or more than 255 bytes in
// wire form; NOBUFS when the buffer is too small. *length is the message's size.
aud_error dns_message_build_query(uint16_t id, const char* name, uint16_t type, uint8_t* buffer,
                                  size_t size, size_t* length);

// Reads the 12-byte header. INVALIDDATA when the message is shorter.
aud_error dns_message_read_header(const uint8_t* data, size_t length, dns_header* out);

enum dns_section : int {
    DNS_SECTION_ANSWER = 1,
    DNS_SECTION_AUTHORITY = 2,
    DNS_SECTION_ADDITIONAL = 3,
};

// One resource record. Names are dotted text ending in a dot ("." for the
// root); a dot or backslash inside a label is escaped with a backslash and any
// byte that is not printable ASCII is written as "\DDD" (decimal).
struct dns_record {
    dns_section section;
    char name[DNS_NAME_TEXT_SIZE];
    uint16_t type;
    uint16_t rrclass;
    uint32_t ttl;
    uint16_t rdata_length;
    const uint8_t* rdata;  // inside the message; valid as long as the message is
    // SRV records only: the decoded data.
    uint16_t srv_priority;
    uint16_t srv_weight;
    uint16_t srv_port;
    char srv_target[DNS_NAME_TEXT_SIZE];
};

// Reads the records of a response one by one.
struct dns_reader {
    const uint8_t* data;
    size_t length;
    size_t offset;  // of the next record
    dns_header header;
    uint32_t next;  // records read so far, over the three sections
    bool failed;    // a malformed record was met; nothing more is read
};

// Reads the header and steps over the questions. INVALIDPARAMETER without
// the arguments; INVALIDDATA when the header or a question does not fit or a
// question's name is malformed.
aud_error dns_reader_init(dns_reader* reader, const uint8_t* data, size_t length);
// The next record, in the order answer, authority, additional. DONE after
// the last; INVALIDDATA for a record that does not fit the message, a
// malformed name, or SRV data that is too short or whose target runs past it
// (and every call after that gives INVALIDDATA again).
aud_error dns_reader_next(dns_reader* reader, dns_record* out);

// Reads every record of the message without keeping any: SUCCESS when the
// whole message is well formed, else the first error.
aud_error dns_message_check(const uint8_t* data, size_t length);

// Whether two names in text form are the same: letters compared without
// regard to case, a trailing dot on either side ignored.
bool dns_names_equal(const char* a, const char* b);
