// The unicast DNS codec: queries as they go on the wire, responses read
// record by record with their names decompressed, and every kind of
// malformed response refused without reading outside it.
#include "avn/domain/dns_message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

void put32(Bytes& b, uint32_t v) {
    put16(b, static_cast<uint16_t>(v >> 16));
    put16(b, static_cast<uint16_t>(v));
}

Bytes header(uint16_t id, uint16_t flags, uint16_t qd, uint16_t an, uint16_t ns, uint16_t ar) {
    Bytes b;
    for (const uint16_t v : {id, flags, qd, an, ns, ar}) {
        put16(b, v);
    }
    return b;
}

// Dotted text to wire form (no escapes; "" is the root).
Bytes wire_name(const std::string& text) {
    Bytes b;
    size_t at = 0;
    while (at < text.size()) {
        size_t dot = text.find('.', at);
        if (dot == std::string::npos) {
            dot = text.size();
        }
        b.push_back(static_cast<uint8_t>(dot - at));
        b.insert(b.end(), text.begin() + static_cast<long>(at),
                 text.begin() + static_cast<long>(dot));
        at = dot + 1;
    }
    b.push_back(0);
    return b;
}

void append(Bytes& to, const Bytes& more) {
    to.insert(to.end(), more.begin(), more.end());
}

void question(Bytes& b, const std::string& name, uint16_t type) {
    append(b, wire_name(name));
    put16(b, type);
    put16(b, DNS_CLASS_IN);
}

// A record whose name is given in wire form (so that tests can compress it).
void record(Bytes& b, const Bytes& name, uint16_t type, uint32_t ttl, const Bytes& rdata) {
    append(b, name);
    put16(b, type);
    put16(b, DNS_CLASS_IN);
    put32(b, ttl);
    put16(b, static_cast<uint16_t>(rdata.size()));
    append(b, rdata);
}

Bytes srv_rdata(uint16_t priority, uint16_t weight, uint16_t port, const Bytes& target) {
    Bytes r;
    put16(r, priority);
    put16(r, weight);
    put16(r, port);
    append(r, target);
    return r;
}

Bytes pointer(uint16_t offset) {
    return Bytes{static_cast<uint8_t>(0xC0 | (offset >> 8)), static_cast<uint8_t>(offset)};
}

constexpr uint16_t kResponse = DNS_FLAG_RESPONSE | DNS_FLAG_RECURSION_DESIRED;
const std::string kService = "default._avn-dm-c._tcp.example.com";

std::vector<dns_record> read_all(const Bytes& message, aud_error* last) {
    std::vector<dns_record> records;
    dns_reader reader;
    *last = dns_reader_init(&reader, message.data(), message.size());
    if (*last != AUD_SUCCESS) {
        return records;
    }
    dns_record r;
    while ((*last = dns_reader_next(&reader, &r)) == AUD_SUCCESS) {
        records.push_back(r);
    }
    return records;
}

// ---- Queries ----

TEST(DnsQuery, IsOneQuestionWithRecursionDesired) {
    uint8_t buffer[DNS_MESSAGE_MAX_DATAGRAM];
    size_t length = 0;
    ASSERT_EQ(dns_message_build_query(0x1234, kService.c_str(), DNS_TYPE_SRV, buffer, sizeof buffer,
                                      &length),
              AUD_SUCCESS);
    Bytes expected = header(0x1234, DNS_FLAG_RECURSION_DESIRED, 1, 0, 0, 0);
    question(expected, kService, DNS_TYPE_SRV);
    EXPECT_EQ(Bytes(buffer, buffer + length), expected);

    // A trailing dot changes nothing.
    size_t again = 0;
    uint8_t dotted[DNS_MESSAGE_MAX_DATAGRAM];
    ASSERT_EQ(dns_message_build_query(0x1234, (kService + ".").c_str(), DNS_TYPE_SRV, dotted,
                                      sizeof dotted, &again),
              AUD_SUCCESS);
    EXPECT_EQ(Bytes(dotted, dotted + again), expected);
}

TEST(DnsQuery, RefusesNamesThatCannotGoOnTheWire) {
    const std::string label63(63, 'a');
    const std::string label64(64, 'a');
    // Four labels of 62 bytes and one of 1 make 255 bytes in wire form
    // (4 * 63 + 2 + the root); one more label makes 257.
    const std::string long_ok = std::string(62, 'a') + "." + std::string(62, 'b') + "." +
                                std::string(62, 'c') + "." + std::string(62, 'd') + ".e";
    const struct {
        std::string name;
        aud_error expected;
    } cases[] = {
        {"", AUD_ERR_INVALIDPARAMETER},
        {".", AUD_ERR_INVALIDPARAMETER},
        {"a..b", AUD_ERR_INVALIDPARAMETER},
        {".a", AUD_ERR_INVALIDPARAMETER},
        {"a..", AUD_ERR_INVALIDPARAMETER},
        {label63 + ".com", AUD_SUCCESS},
        {label64 + ".com", AUD_ERR_INVALIDPARAMETER},
        {long_ok, AUD_SUCCESS},
        {long_ok + ".f", AUD_ERR_INVALIDPARAMETER},
    };
    for (const auto& c : cases) {
        uint8_t buffer[DNS_MESSAGE_MAX_DATAGRAM];
        size_t length = 0;
        EXPECT_EQ(
            dns_message_build_query(1, c.name.c_str(), DNS_TYPE_A, buffer, sizeof buffer, &length),
            c.expected)
            << c.name;
    }
}

TEST(DnsQuery, NeedsRoomForTheWholeMessage) {
    const size_t needed = DNS_MESSAGE_HEADER_SIZE + wire_name(kService).size() + 4;
    Bytes buffer(needed, 0xEE);
    size_t length = 0;
    EXPECT_EQ(dns_message_build_query(1, kService.c_str(), DNS_TYPE_SRV, buffer.data(), needed - 1,
                                      &length),
              AUD_ERR_NOBUFS);
    EXPECT_EQ(buffer, Bytes(needed, 0xEE)) << "nothing written";
    EXPECT_EQ(
        dns_message_build_query(1, kService.c_str(), DNS_TYPE_SRV, buffer.data(), needed, &length),
        AUD_SUCCESS);
    EXPECT_EQ(length, needed);
}

// ---- Responses ----

// The answer a DNS server gives to the discovery's query: the SRV record
// with its name and target compressed against the question, an NS record in
// the authority section and the target's address and an OPT record (root
// name) in the additional section.
Bytes typical_response() {
    Bytes m = header(0x0180, kResponse | DNS_FLAG_RECURSION_AVAILABLE, 1, 1, 1, 2);
    const uint16_t question_offset = DNS_MESSAGE_HEADER_SIZE;
    question(m, kService, DNS_TYPE_SRV);
    // "example.com" inside the question name starts after
    // "default" (8 bytes), "_avn-dm-c" (10) and "_tcp" (5).
    const uint16_t domain_offset = question_offset + 8 + 10 + 5;
    Bytes target = {2, 'd', 'm'};
    append(target, pointer(domain_offset));
    record(m, pointer(question_offset), DNS_TYPE_SRV, 300, srv_rdata(10, 20, 8999, target));
    record(m, pointer(domain_offset), DNS_TYPE_NS, 300, wire_name("ns.example.com"));
    Bytes target_name = {2, 'D', 'M'};
    append(target_name, pointer(domain_offset));
    record(m, target_name, DNS_TYPE_A, 300, Bytes{10, 0, 0, 7});
    record(m, Bytes{0}, DNS_TYPE_OPT, 0, Bytes{});
    return m;
}

TEST(DnsResponse, ReadsRecordsOfEverySectionWithNamesDecompressed) {
    const Bytes m = typical_response();
    dns_header h{};
    ASSERT_EQ(dns_message_read_header(m.data(), m.size(), &h), AUD_SUCCESS);
    EXPECT_EQ(h.id, 0x0180);
    EXPECT_EQ(dns_header_rcode(&h), DNS_RCODE_NOERROR);
    EXPECT_EQ(h.answer_count, 1);

    aud_error last = AUD_SUCCESS;
    const std::vector<dns_record> records = read_all(m, &last);
    EXPECT_EQ(last, AUD_ERR_DONE);
    ASSERT_EQ(records.size(), 4u);

    EXPECT_EQ(records[0].section, DNS_SECTION_ANSWER);
    EXPECT_STREQ(records[0].name, (kService + ".").c_str());
    EXPECT_EQ(records[0].type, DNS_TYPE_SRV);
    EXPECT_EQ(records[0].ttl, 300u);
    EXPECT_EQ(records[0].srv_priority, 10);
    EXPECT_EQ(records[0].srv_weight, 20);
    EXPECT_EQ(records[0].srv_port, 8999);
    EXPECT_STREQ(records[0].srv_target, "dm.example.com.");

    EXPECT_EQ(records[1].section, DNS_SECTION_AUTHORITY);
    EXPECT_STREQ(records[1].name, "example.com.");

    EXPECT_EQ(records[2].section, DNS_SECTION_ADDITIONAL);
    EXPECT_STREQ(records[2].name, "DM.example.com.") << "letter case as sent";
    ASSERT_EQ(records[2].rdata_length, 4);
    EXPECT_EQ(records[2].rdata[3], 7);

    EXPECT_STREQ(records[3].name, ".");
    EXPECT_EQ(records[3].type, DNS_TYPE_OPT);
    EXPECT_EQ(dns_message_check(m.data(), m.size()), AUD_SUCCESS);
}

TEST(DnsResponse, EscapesLabelBytesThatTextCannotCarry) {
    Bytes m = header(1, kResponse, 0, 1, 0, 0);
    const Bytes name = {3, 'a', '.', 'b', 2, '\\', 0x01, 3, 'c', 'o', 'm', 0};
    Bytes target = {4, 'h', ' ', 's', 't', 0};
    record(m, name, DNS_TYPE_SRV, 1, srv_rdata(0, 0, 1, target));
    aud_error last = AUD_SUCCESS;
    const std::vector<dns_record> records = read_all(m, &last);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_STREQ(records[0].name, "a\\.b.\\\\\\001.com.");
    EXPECT_STREQ(records[0].srv_target, "h\\032st.");
}

TEST(DnsResponse, ErrorAnswerKeepsItsCodeAndQuestion) {
    Bytes m = header(0x0181, kResponse | DNS_RCODE_NXDOMAIN, 1, 0, 0, 0);
    question(m, kService, DNS_TYPE_SRV);
    dns_header h{};
    ASSERT_EQ(dns_message_read_header(m.data(), m.size(), &h), AUD_SUCCESS);
    EXPECT_EQ(dns_header_rcode(&h), DNS_RCODE_NXDOMAIN);
    aud_error last = AUD_SUCCESS;
    EXPECT_TRUE(read_all(m, &last).empty());
    EXPECT_EQ(last, AUD_ERR_DONE);
}

struct Malformed {
    const char* what;
    Bytes message;
};

std::vector<Malformed> malformed_cases() {
    std::vector<Malformed> cases;
    auto add = [&](const char* what, Bytes m) { cases.push_back({what, std::move(m)}); };

    add("empty", {});
    add("short header", Bytes(11, 0));
    add("question counted but absent", header(1, kResponse, 1, 0, 0, 0));
    {
        Bytes m = header(1, kResponse, 1, 0, 0, 0);
        m.push_back(5);
        m.push_back('a');
        add("question label past the end", m);
    }
    {
        Bytes m = header(1, kResponse, 1, 0, 0, 0);
        append(m, wire_name("a.b"));
        put16(m, DNS_TYPE_SRV);
        add("question without its class", m);
    }
    add("answer counted but absent", header(1, kResponse, 0, 1, 0, 0));
    {
        Bytes m = header(1, kResponse, 0, 1, 0, 0);
        append(m, wire_name("a.b"));
        put16(m, DNS_TYPE_A);
        put16(m, DNS_CLASS_IN);
        put32(m, 1);
        add("record without its data length", m);
    }
    {
        Bytes m = header(1, kResponse, 0, 1, 0, 0);
        record(m, wire_name("a.b"), DNS_TYPE_A, 1, Bytes{1, 2, 3, 4});
        m.resize(m.size() - 1);
        add("data length past the end", m);
    }
    {
        Bytes m = header(1, kResponse, 0, 1, 0, 0);
        record(m, pointer(DNS_MESSAGE_HEADER_SIZE), DNS_TYPE_A, 1, Bytes{1, 2, 3, 4});
        add("pointer to itself", m);
    }
    {
        Bytes m = header(1, kResponse, 0, 1, 0, 0);
        record(m, pointer(DNS_MESSAGE_HEADER_SIZE + 2), DNS_TYPE_A, 1, Bytes{1, 2, 3, 4});
        add("pointer forwards", m);
    }
    {
        // Two names pointing at each other: the second's pointer goes
        // back to the first, whose pointer goes forward to the second.
        Bytes m = header(1, kResponse, 0, 2, 0, 0);
        Bytes first = {1, 'a'};
        append(first, pointer(DNS_MESSAGE_HEADER_SIZE + 2 + 2 + 10 + 4));
        record(m, first, DNS_TYPE_A, 1, Bytes{1, 2, 3, 4});
        record(m, pointer(DNS_MESSAGE_HEADER_SIZE), DNS_TYPE_A, 1, Bytes{1, 2, 3, 4});
        add("pointers in a loop", m);
    }
    {
        Bytes m = header(1, kResponse, 0, 1, 0, 0);
        m.push_back(0xC0);
        add("pointer cut short", m);
    }
    for (const uint8_t kind : {uint8_t{0x40}, uint8_t{0x80}}) {
        Bytes m = header(1, kResponse, 0, 1, 0, 0);
        record(m, Bytes{kind, 'a', 0}, DNS_TYPE_A, 1, Bytes{1, 2, 3, 4});
        add(kind == 0x40 ? "extended label type" : "reserved label type", m);
    }
    {
        // 128 labels of one byte: 257 bytes in wire form.
        Bytes name;
        for (int i = 0; i < 128; ++i) {
            name.push_back(1);
            name.push_back('x');
        }
        name.push_back(0);
        Bytes m = header(1, kResponse, 0, 1, 0, 0);
        record(m, name, DNS_TYPE_A, 1, Bytes{1, 2, 3, 4});
        add("name over 255 bytes", m);
    }
    {
        // A name of 249 bytes, and one of a label and a pointer to it that
        // is over 255 bytes only when both are put together.
        Bytes m = header(1, kResponse, 0, 2, 0, 0);
        Bytes first;
        for (int i = 0; i < 4; ++i) {
            first.push_back(61);
            first.insert(first.end(), 61, 'y');
        }
        first.push_back(0);  // 4 * 62 + 1 = 249 bytes
        record(m, first, DNS_TYPE_A, 1, Bytes{1, 2, 3, 4});
        Bytes second = {7, 'z', 'z', 'z', 'z', 'z', 'z', 'z'};
        append(second, pointer(DNS_MESSAGE_HEADER_SIZE));
        record(m, second, DNS_TYPE_A, 1, Bytes{1, 2, 3, 4});
        add("name over 255 bytes through a pointer", m);
    }
    {
        Bytes m = header(1, kResponse, 0, 1, 0, 0);
        record(m, wire_name("s.b"), DNS_TYPE_SRV, 1, Bytes{0, 0, 0, 0, 0x23, 0x27});
        add("SRV without a target", m);
    }
    {
        // The target's labels continue past the record's data into the
        // next record.
        Bytes m = header(1, kResponse, 0, 2, 0, 0);
        record(m, wire_name("s.b"), DNS_TYPE_SRV, 1, srv_rdata(0, 0, 1, Bytes{2, 'd', 'm'}));
        record(m, wire_name("b"), DNS_TYPE_A, 1, Bytes{1, 2, 3, 4});
        add("SRV target past its data", m);
    }
    return cases;
}

TEST(DnsResponse, RefusesMalformedMessagesWithoutReadingOutside) {
    for (const Malformed& c : malformed_cases()) {
        // A copy of exactly the message's size, so that the sanitizer
        // catches any read past it.
        const std::unique_ptr<uint8_t[]> exact(new uint8_t[c.message.size() + 1]);
        if (!c.message.empty()) {
            std::memcpy(exact.get(), c.message.data(), c.message.size());
        }
        EXPECT_EQ(dns_message_check(exact.get(), c.message.size()), AUD_ERR_INVALIDDATA) << c.what;
    }
}

TEST(DnsResponse, ReaderStopsForGoodAtAMalformedRecord) {
    Bytes m = header(1, kResponse, 0, 3, 0, 0);
    record(m, wire_name("a.b"), DNS_TYPE_A, 1, Bytes{1, 2, 3, 4});
    record(m, Bytes{0x40, 0}, DNS_TYPE_A, 1, Bytes{1, 2, 3, 4});
    record(m, wire_name("c.d"), DNS_TYPE_A, 1, Bytes{1, 2, 3, 4});
    dns_reader reader;
    ASSERT_EQ(dns_reader_init(&reader, m.data(), m.size()), AUD_SUCCESS);
    dns_record r;
    EXPECT_EQ(dns_reader_next(&reader, &r), AUD_SUCCESS);
    EXPECT_EQ(dns_reader_next(&reader, &r), AUD_ERR_INVALIDDATA);
    EXPECT_EQ(dns_reader_next(&reader, &r), AUD_ERR_INVALIDDATA);
}

// ---- Names and types ----

TEST(DnsNames, CompareWithoutCaseAndTrailingDot) {
    const struct {
        const char* a;
        const char* b;
        bool equal;
    } cases[] = {
        {"Default._AVN-dm-c._tcp.Example.com", "default._avn-dm-c._tcp.example.com.", true},
        {"a.b.", "a.b", true},
        {"a.b", "a.c", false},
        {"a.b", "a.bc", false},
        {"a\\.", "a", false},  // an escaped dot belongs to the label
        {"a\\\\.", "a\\\\", true},
        {".", "", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dns_names_equal(c.a, c.b), c.equal) << c.a << " / " << c.b;
        EXPECT_EQ(dns_names_equal(c.b, c.a), c.equal) << c.b << " / " << c.a;
    }
    EXPECT_FALSE(dns_names_equal(nullptr, "a"));
}

TEST(DnsNames, TypeNamesForTheLog) {
    const struct {
        uint16_t type;
        const char* name;
    } cases[] = {{0, "INVALID"}, {1, "A"},     {2, "NS"},    {5, "CNAME"},   {6, "SOA"},
                 {10, "NULL"},   {12, "PTR"},  {16, "TXT"},  {28, "AAAA"},   {33, "SRV"},
                 {41, "OPT"},    {47, "NSEC"}, {255, "ANY"}, {99, "UNKNOWN"}};
    for (const auto& c : cases) {
        EXPECT_STREQ(dns_type_name(c.type), c.name) << c.type;
    }
}

}  // namespace
