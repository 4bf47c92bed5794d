#include "avn/domain/dgcp2_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "avn/runtime/byte_order.h"

namespace {

using Bytes = std::vector<uint8_t>;

dgcp2_message empty_message(int header_type = DGCP2_HEADER_TYPE_2) {
    dgcp2_message m;
    EXPECT_EQ(dgcp2_message_init(&m, header_type), AUD_SUCCESS);
    return m;
}

Bytes body_of(const dgcp2_message& m) {
    const auto body = dgcp2_message_body(&m);
    return Bytes(body.begin(), body.end());
}

// A message whose body is exactly `body` (the length field follows it).
dgcp2_message message_with_body(const Bytes& body, int header_type = DGCP2_HEADER_TYPE_2) {
    dgcp2_message m = empty_message(header_type);
    if (!body.empty()) {
        std::memcpy(m.bytes + m.header_size, body.data(), body.size());
    }
    byte_order::store_be16(m.bytes + 2, static_cast<uint16_t>(m.header_size + body.size()));
    return m;
}

TEST(Dgcp2Header, TypesDifferInSizeAndClientId) {
    const dgcp2_message short_header = empty_message(DGCP2_HEADER_TYPE_1);
    EXPECT_EQ(short_header.header_size, 10);
    EXPECT_EQ(short_header.body_capacity, 1462);
    EXPECT_EQ(dgcp2_message_get_length(&short_header), 10);

    dgcp2_message m = empty_message(DGCP2_HEADER_TYPE_2);
    EXPECT_EQ(m.header_size, 20);
    EXPECT_EQ(m.body_capacity, 1452);
    dgcp2_message_write_header(&m, 0x1001, 0x0110, DGCP2_KIND_REQUEST);
    dgcp2_message_set_seqnum(&m, 0xBEEF);
    const dgcp2_client_id id{{1, 2, 3, 4, 5, 6, 7, 8}, 0x4321};
    dgcp2_message_set_client_id(&m, &id);
    const Bytes expected = {0x10, 0x01, 0x00, 0x14, 0xBE, 0xEF, 0x01, 0x10, 0x00, 0x00,
                            0x43, 0x21, 1,    2,    3,    4,    5,    6,    7,    8};
    const auto bytes = dgcp2_message_bytes(&m);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), expected);

    EXPECT_EQ(dgcp2_message_init(&m, 3), AUD_ERR_INVALIDPARAMETER);
}

TEST(Dgcp2Header, ResponseCopiesTheRequestsIdentity) {
    dgcp2_message request = empty_message();
    dgcp2_message_write_header(&request, 0x1001, 0x0001, DGCP2_KIND_REQUEST);
    dgcp2_message_set_seqnum(&request, 7);
    const dgcp2_client_id id{{0, 0, 0, 0, 0, 0, 0, 9}, 5000};
    dgcp2_message_set_client_id(&request, &id);
    ASSERT_EQ(dgcp2_body_add_u32(&request, 1, nullptr), AUD_SUCCESS);

    dgcp2_message response = empty_message();
    ASSERT_EQ(dgcp2_message_init_response(&response, &request, DGCP2_KIND_NOT_CONNECTED),
              AUD_SUCCESS);
    EXPECT_EQ(dgcp2_message_get_seqnum(&response), 7);
    EXPECT_EQ(dgcp2_message_get_opcode(&response), 1);
    EXPECT_EQ(dgcp2_message_get_kind(&response), DGCP2_KIND_NOT_CONNECTED);
    EXPECT_EQ(dgcp2_message_get_client_id(&response).port, 5000);
    EXPECT_EQ(dgcp2_message_body_size(&response), 0);

    dgcp2_message other_type = empty_message(DGCP2_HEADER_TYPE_1);
    EXPECT_EQ(dgcp2_message_init_response(&other_type, &request, DGCP2_KIND_RESPONSE),
              AUD_ERR_INVALIDPARAMETER);
}

TEST(Dgcp2Header, ReceivedDatagramChecks) {
    dgcp2_message m = empty_message();
    dgcp2_message_write_header(&m, 0x1001, 0, DGCP2_KIND_RESPONSE);
    Bytes datagram(dgcp2_message_bytes(&m).begin(), dgcp2_message_bytes(&m).end());
    dgcp2_message loaded;
    EXPECT_EQ(dgcp2_message_load(&loaded, DGCP2_HEADER_TYPE_2, datagram), AUD_SUCCESS);

    const Bytes nineteen(datagram.begin(), datagram.begin() + 19);
    EXPECT_EQ(dgcp2_message_load(&loaded, DGCP2_HEADER_TYPE_2, nineteen), AUD_ERR_TRUNCATED);

    Bytes longer = datagram;
    longer.push_back(0);  // length field still says 20
    EXPECT_EQ(dgcp2_message_load(&loaded, DGCP2_HEADER_TYPE_2, longer), AUD_ERR_INVALIDDATA);

    const Bytes too_big(DGCP2_MESSAGE_SIZE + 1, 0);
    EXPECT_EQ(dgcp2_message_load(&loaded, DGCP2_HEADER_TYPE_2, too_big), AUD_ERR_MSGSIZE);
    EXPECT_EQ(dgcp2_message_load(&loaded, DGCP2_HEADER_TYPE_2, {}), AUD_ERR_TRUNCATED);
}

TEST(Dgcp2Kinds, NamesAndResults) {
    struct Case {
        uint16_t kind;
        const char* name;
        aud_error error;
    };
    const Case cases[] = {
        {0x0000, "Request", AUD_SUCCESS},
        {0x0001, "Response", AUD_SUCCESS},
        {0x0002, "Event", AUD_SUCCESS},
        {0x0010, "?", AUD_ERR_VERSION},
        {0x0013, "?", AUD_ERR_SYSTEM},
        {0x0014, "?", AUD_ERR_VERSION},
        {0x0016, "?", AUD_ERR_VERSION},
        {0x0017, "?", AUD_ERR_SYSTEM},
        {0x0020, "?", AUD_ERR_MSGSIZE},
        {0x0023, "?", AUD_ERR_MSGSIZE},
        {0x0030, "Opcode error", AUD_ERR_INVALIDDATA},
        {0x0031, "Unrecognised opcode", AUD_ERR_INVALIDDATA},
        {0x0032, "Unsupported opcode", AUD_ERR_NOTSUPPORTED},
        {0x0040, "?", AUD_ERR_INVALIDDATA},
        {0x0080, "Server error", AUD_ERR_SYSTEM},
        {0x0081, "Not connected", AUD_ERR_NOTCONN},
        {0x0082, "Too many clients", AUD_ERR_NOBUFS},
        {0x0100, "Invalid API", AUD_ERR_INVALIDDATA},
        {0x0101, "Invalid Data", AUD_ERR_INVALIDDATA},
        {0x0102, "Invalid State", AUD_ERR_INVALIDSTATE},
        {0x0103, "System error", AUD_ERR_SYSTEM},
        {0xFFFF, "?", AUD_ERR_SYSTEM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        EXPECT_STREQ(dgcp2_kind_name(c.kind), c.name);
        EXPECT_EQ(dgcp2_kind_error(c.kind), c.error);
    }
}

// ---- Writing ----

TEST(Dgcp2BodyWriter, NodeLayouts) {
    struct Case {
        const char* what;
        std::function<aud_error(dgcp2_message*, uint16_t*)> write;
        Bytes body;  // after one zero byte pair that starts every body
        uint16_t offset;
    };
    const Case cases[] = {
        {"string of 5 takes 6 bytes",
         [](dgcp2_message* m, uint16_t* o) { return dgcp2_body_add_string(m, "abcde", o); },
         {'a', 'b', 'c', 'd', 'e', 0},
         2},
        {"string of 4 takes 6 bytes (terminator and pad)",
         [](dgcp2_message* m, uint16_t* o) { return dgcp2_body_add_string(m, "abcd", o); },
         {'a', 'b', 'c', 'd', 0, 0},
         2},
        {"empty string",
         [](dgcp2_message* m, uint16_t* o) { return dgcp2_body_add_string(m, "", o); },
         {0, 0},
         2},
        {"number after 2 bytes is padded to offset 4",
         [](dgcp2_message* m, uint16_t* o) { return dgcp2_body_add_u32(m, 0x01020304, o); },
         {0, 0, 1, 2, 3, 4},
         4},
        {"UTF-32 text: units as numbers and a zero number",
         [](dgcp2_message* m, uint16_t* o) { return dgcp2_body_add_utf32(m, u"A\u00e9", o); },
         {0, 0, 0, 0, 0, 'A', 0, 0, 0, 0xE9, 0, 0, 0, 0},
         4},
        {"UTF-32 text ends at its first zero unit",
         [](dgcp2_message* m, uint16_t* o) {
             return dgcp2_body_add_utf32(m, std::u16string_view(u"x\0y", 3), o);
         },
         {0, 0, 0, 0, 0, 'x', 0, 0, 0, 0},
         4},
        {"odd raw bytes get a pad byte",
         [](dgcp2_message* m, uint16_t* o) {
             const uint8_t mac[3] = {0xAA, 0xBB, 0xCC};
             return dgcp2_body_add_bytes(m, mac, 3, o);
         },
         {0xAA, 0xBB, 0xCC, 0},
         2},
        {"raw bytes without data are zeros",
         [](dgcp2_message* m, uint16_t* o) { return dgcp2_body_add_bytes(m, nullptr, 2, o); },
         {0, 0},
         2},
        {"array of 2 zero slots",
         [](dgcp2_message* m, uint16_t* o) { return dgcp2_body_add_array(m, 2, o); },
         {0, 2, 0, 0, 0, 0},
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dgcp2_message m = empty_message();
        ASSERT_EQ(dgcp2_body_add_array(&m, 0, nullptr), AUD_SUCCESS);  // two bytes in
        uint16_t offset = 0;
        ASSERT_EQ(c.write(&m, &offset), AUD_SUCCESS);
        EXPECT_EQ(offset, c.offset);
        Bytes expected = {0, 0};
        expected.insert(expected.end(), c.body.begin(), c.body.end());
        EXPECT_EQ(body_of(m), expected);
        EXPECT_EQ(dgcp2_message_get_length(&m), m.header_size + expected.size());
    }
}

TEST(Dgcp2BodyWriter, NumberAtOffsetSixIsPlacedAtEight) {
    dgcp2_message m = empty_message();
    ASSERT_EQ(dgcp2_body_add_array(&m, 2, nullptr), AUD_SUCCESS);  // 6 bytes
    uint16_t offset = 0;
    ASSERT_EQ(dgcp2_body_add_u32(&m, 7, &offset), AUD_SUCCESS);
    EXPECT_EQ(offset, 8);
    EXPECT_EQ(dgcp2_message_body_size(&m), 12);
}

TEST(Dgcp2BodyWriter, AlignmentCountsFromTheBodyNotTheBuffer) {
    // The type-1 body starts at buffer offset 10, which is not a multiple
    // of 4; numbers still land on body offsets that are.
    dgcp2_message m = empty_message(DGCP2_HEADER_TYPE_1);
    uint16_t offset = 1;
    ASSERT_EQ(dgcp2_body_add_u32(&m, 0xA1B2C3D4, &offset), AUD_SUCCESS);
    EXPECT_EQ(offset, 0);
    uint32_t value = 0;
    EXPECT_EQ(dgcp2_body_read_u32(&m, 0, &value), AUD_SUCCESS);
    EXPECT_EQ(value, 0xA1B2C3D4u);
}

TEST(Dgcp2BodyWriter, WritePastCapacityFailsAndLeavesTheBody) {
    struct Case {
        const char* what;
        std::function<aud_error(dgcp2_message*)> write;
    };
    const Case cases[] = {
        {"array", [](dgcp2_message* m) { return dgcp2_body_add_array(m, 2, nullptr); }},
        {"string", [](dgcp2_message* m) { return dgcp2_body_add_string(m, "abcd", nullptr); }},
        {"number", [](dgcp2_message* m) { return dgcp2_body_add_u32(m, 1, nullptr); }},
        {"UTF-32", [](dgcp2_message* m) { return dgcp2_body_add_utf32(m, u"a", nullptr); }},
        {"bytes", [](dgcp2_message* m) { return dgcp2_body_add_bytes(m, "abcdef", 6, nullptr); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // 1450 bytes used: 2 left, too few for any case (the number would
        // first need 2 pad bytes).
        dgcp2_message m = empty_message();
        ASSERT_EQ(dgcp2_body_add_bytes(&m, nullptr, 1450, nullptr), AUD_SUCCESS);
        m.bytes[m.header_size + 1450] = 0x5A;  // a byte beyond the body must stay
        const Bytes before = body_of(m);
        EXPECT_EQ(c.write(&m), AUD_ERR_MSGSIZE);
        EXPECT_EQ(body_of(m), before);
        EXPECT_EQ(m.bytes[m.header_size + 1450], 0x5A);
    }
    // Exactly filling the body is allowed.
    dgcp2_message full = empty_message();
    ASSERT_EQ(dgcp2_body_add_bytes(&full, nullptr, 1448, nullptr), AUD_SUCCESS);
    EXPECT_EQ(dgcp2_body_add_u32(&full, 1, nullptr), AUD_SUCCESS);
    EXPECT_EQ(dgcp2_message_body_size(&full), 1452);
    EXPECT_EQ(dgcp2_body_add_array(&full, 0, nullptr), AUD_ERR_MSGSIZE);
}

TEST(Dgcp2BodyWriter, SlotsMustExist) {
    dgcp2_message m = empty_message();
    uint16_t array = 0;
    ASSERT_EQ(dgcp2_body_add_array(&m, 2, &array), AUD_SUCCESS);
    EXPECT_EQ(dgcp2_body_set_slot(&m, array, 1, 0x1234), AUD_SUCCESS);
    EXPECT_EQ(dgcp2_body_set_slot(&m, array, 2, 1), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(dgcp2_body_set_slot(&m, 1, 0, 1), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(body_of(m), (Bytes{0, 2, 0, 0, 0x12, 0x34}));
}

// ---- Reading ----

TEST(Dgcp2BodyReader, NestedTreeRoundTrip) {
    dgcp2_message m = empty_message();
    uint16_t root = 0, inner = 0, name = 0, number = 0, wide = 0, raw = 0;
    ASSERT_EQ(dgcp2_body_add_array(&m, 3, &root), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_add_array(&m, 3, &inner), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_add_string(&m, "FWUpdater", &name), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_add_u32(&m, 0xDEADBEEF, &number), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_add_utf32(&m, u"Ethernet \u00c4", &wide), AUD_SUCCESS);
    const uint8_t mac[6] = {0, 0x1D, 0xC1, 2, 3, 4};
    ASSERT_EQ(dgcp2_body_add_bytes(&m, mac, 6, &raw), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_set_slot(&m, root, 0, inner), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_set_slot(&m, root, 1, number), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_set_slot(&m, root, 2, 42), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_set_slot(&m, inner, 0, name), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_set_slot(&m, inner, 1, wide), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_set_slot(&m, inner, 2, raw), AUD_SUCCESS);

    // Read back from a copy of the bytes, as a receiver would.
    const auto bytes = dgcp2_message_bytes(&m);
    dgcp2_message rx;
    ASSERT_EQ(dgcp2_message_load(&rx, DGCP2_HEADER_TYPE_2, bytes), AUD_SUCCESS);

    uint16_t count = 0, slot = 0;
    ASSERT_EQ(dgcp2_body_read_root(&rx, &count), AUD_SUCCESS);
    EXPECT_EQ(count, 3);
    ASSERT_EQ(dgcp2_body_read_slot(&rx, 0, 2, &slot), AUD_SUCCESS);
    EXPECT_EQ(slot, 42);
    ASSERT_EQ(dgcp2_body_read_slot(&rx, 0, 1, &slot), AUD_SUCCESS);
    uint32_t value = 0;
    ASSERT_EQ(dgcp2_body_read_u32(&rx, slot, &value), AUD_SUCCESS);
    EXPECT_EQ(value, 0xDEADBEEFu);

    uint16_t inner_at = 0;
    ASSERT_EQ(dgcp2_body_read_slot(&rx, 0, 0, &inner_at), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_read_array(&rx, inner_at, &count), AUD_SUCCESS);
    EXPECT_EQ(count, 3);
    char text[64];
    ASSERT_EQ(dgcp2_body_read_slot(&rx, inner_at, 0, &slot), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_read_string(&rx, slot, text, sizeof text), AUD_SUCCESS);
    EXPECT_STREQ(text, "FWUpdater");
    char16_t wide_text[64];
    ASSERT_EQ(dgcp2_body_read_slot(&rx, inner_at, 1, &slot), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_read_utf32(&rx, slot, wide_text, 64), AUD_SUCCESS);
    EXPECT_EQ(std::u16string(wide_text), u"Ethernet \u00c4");
    uint8_t raw_back[6] = {};
    ASSERT_EQ(dgcp2_body_read_slot(&rx, inner_at, 2, &slot), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_read_bytes(&rx, slot, raw_back, 6), AUD_SUCCESS);
    EXPECT_EQ(std::memcmp(raw_back, mac, 6), 0);
}

TEST(Dgcp2BodyReader, TextReadsStopAtTheLimitAndTheBodysEnd) {
    // "abcdef" and its terminator, then a UTF-32 text without its zero.
    const Bytes body = {'a', 'b', 'c', 'd', 'e', 'f', 0, 0, 0, 0, 0, 'x', 0, 1, 0, 'y'};
    const dgcp2_message m = message_with_body(body);
    char text[4];
    ASSERT_EQ(dgcp2_body_read_string(&m, 0, text, sizeof text), AUD_SUCCESS);
    EXPECT_STREQ(text, "abc");
    char one[1];
    ASSERT_EQ(dgcp2_body_read_string(&m, 0, one, sizeof one), AUD_SUCCESS);
    EXPECT_STREQ(one, "");

    char16_t wide[8];
    ASSERT_EQ(dgcp2_body_read_utf32(&m, 8, wide, 8), AUD_SUCCESS);
    // The unit 0x00010079 keeps its low 16 bits.
    EXPECT_EQ(std::u16string(wide), u"xy");
    ASSERT_EQ(dgcp2_body_read_utf32(&m, 8, wide, 2), AUD_SUCCESS);
    EXPECT_EQ(std::u16string(wide), u"x");
    // Even but not a multiple of 4 is accepted for reading.
    ASSERT_EQ(dgcp2_body_read_utf32(&m, 10, wide, 8), AUD_SUCCESS);

    // A unit of 0x00010000 stores as zero: the text ends there, and nothing
    // after it is stored behind the terminator.
    const dgcp2_message hidden = message_with_body({0, 0, 0, 'a', 0, 1, 0, 0, 0, 0, 0, 'b'});
    std::fill(std::begin(wide), std::end(wide), u'?');
    ASSERT_EQ(dgcp2_body_read_utf32(&hidden, 0, wide, 8), AUD_SUCCESS);
    EXPECT_EQ(std::u16string(wide), u"a");
    EXPECT_EQ(wide[2], u'?');

    // A string that runs to the body's end without a terminator.
    const dgcp2_message open = message_with_body({'h', 'i'});
    ASSERT_EQ(dgcp2_body_read_string(&open, 0, text, sizeof text), AUD_SUCCESS);
    EXPECT_STREQ(text, "hi");
}

TEST(Dgcp2BodyReader, BadOffsetsAreRefused) {
    // root array [2 slots: 4, 0], then a number at 8 and two spare bytes.
    const Bytes body = {0, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0};
    const dgcp2_message m = message_with_body(body);
    char text[8];
    char16_t wide[8];
    uint8_t raw[8];
    uint16_t count = 0;
    uint32_t value = 0;
    struct Case {
        const char* what;
        std::function<aud_error()> read;
    };
    const Case cases[] = {
        {"array at odd offset", [&] { return dgcp2_body_read_array(&m, 1, &count); }},
        {"array past the end", [&] { return dgcp2_body_read_array(&m, 14, &count); }},
        {"array whose count passes the end", [&] { return dgcp2_body_read_array(&m, 10, &count); }},
        {"slot past the count",
         [&] {
             uint16_t v = 0;
             return dgcp2_body_read_slot(&m, 0, 2, &v);
         }},
        {"number at 2 (even, not a multiple of 4)",
         [&] { return dgcp2_body_read_u32(&m, 2, &value); }},
        {"number running past the end", [&] { return dgcp2_body_read_u32(&m, 12, &value); }},
        {"number past the end", [&] { return dgcp2_body_read_u32(&m, 16, &value); }},
        {"string at odd offset", [&] { return dgcp2_body_read_string(&m, 3, text, 8); }},
        {"string past the end", [&] { return dgcp2_body_read_string(&m, 14, text, 8); }},
        {"UTF-32 at odd offset", [&] { return dgcp2_body_read_utf32(&m, 5, wide, 8); }},
        {"UTF-32 past the end", [&] { return dgcp2_body_read_utf32(&m, 200, wide, 8); }},
        {"bytes at odd offset", [&] { return dgcp2_body_read_bytes(&m, 1, raw, 2); }},
        {"bytes running past the end", [&] { return dgcp2_body_read_bytes(&m, 10, raw, 6); }},
        {"offset beyond the header's length, inside the buffer",
         [&] { return dgcp2_body_read_u32(&m, 100, &value); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.read(), AUD_ERR_INVALIDPARAMETER);
    }
    EXPECT_EQ(dgcp2_body_read_u32(&m, 8, &value), AUD_SUCCESS);
    EXPECT_EQ(value, 9u);
    EXPECT_EQ(dgcp2_body_read_bytes(&m, 10, raw, 4), AUD_SUCCESS);
}

TEST(Dgcp2BodyReader, MissingOrEmptyRootIsNoData) {
    uint16_t count = 0;
    const dgcp2_message empty = message_with_body({});
    EXPECT_EQ(dgcp2_body_read_root(&empty, &count), AUD_ERR_NODATA);
    const dgcp2_message one_byte = message_with_body({0});
    EXPECT_EQ(dgcp2_body_read_root(&one_byte, &count), AUD_ERR_NODATA);
    const dgcp2_message empty_root = message_with_body({0, 0});
    EXPECT_EQ(dgcp2_body_read_root(&empty_root, &count), AUD_ERR_NODATA);
    const dgcp2_message overlong_root = message_with_body({0, 5, 0, 0});
    EXPECT_EQ(dgcp2_body_read_root(&overlong_root, &count), AUD_ERR_INVALIDPARAMETER);
}

TEST(Dgcp2BodyReader, LengthFieldBeyondTheBufferIsClamped) {
    dgcp2_message m = empty_message();
    byte_order::store_be16(m.bytes + 2, 0xFFFF);
    EXPECT_EQ(dgcp2_message_body_size(&m), m.body_capacity);
    EXPECT_EQ(dgcp2_message_bytes(&m).size(), DGCP2_MESSAGE_SIZE);
    uint32_t value = 0;
    EXPECT_EQ(dgcp2_body_read_u32(&m, 1452, &value), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(dgcp2_body_read_u32(&m, 1448, &value), AUD_SUCCESS);
}

}  // namespace
