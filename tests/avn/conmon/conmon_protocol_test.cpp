#include "avn/conmon/conmon_protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "avn/runtime/byte_order.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kVornix[CONMON_VENDOR_ID_SIZE] = {'V', 'o', 'r', 'n', 'i', 'x', 0, 0};

Bytes built(const std::function<size_t(std::span<uint8_t>)>& build) {
    Bytes out(CONMON_PROTOCOL_MAX_MESSAGE_SIZE);
    out.resize(build(out));
    return out;
}

Bytes conmon_message_of(size_t body_size, uint16_t type = 0xFFFF) {
    Bytes body(body_size, 0xAB);
    Bytes out(CONMON_MESSAGE_HEAD_SIZE + body_size);
    size_t size = 0;
    EXPECT_EQ(conmon_message_build(out, type, kVornix, body, &size), AUD_SUCCESS);
    return out;
}

Bytes header_only(uint16_t opcode, uint16_t status, uint16_t version = CONMON_PROTOCOL_VERSION) {
    Bytes m(CONMON_PROTOCOL_HEADER_SIZE);
    conmon_protocol_write_header(m, {version, 10, 7, opcode, status});
    return m;
}

// Copies `m` with its length field rewritten, to build inconsistent messages.
Bytes with_length_field(Bytes m, uint16_t length) {
    byte_order::store_le16(&m[2], length);
    return m;
}

Bytes resized(Bytes m, size_t size) {
    m.resize(size);
    byte_order::store_le16(&m[2], static_cast<uint16_t>(size));
    return m;
}

Bytes with_kind(Bytes m, uint16_t kind) {
    byte_order::store_le16(&m[8], kind);
    return m;
}

TEST(ConmonRequests, SizesOfBuiltRequests) {
    EXPECT_EQ(built([](auto out) {
                  return conmon_build_subscribe(out, CONMON_PROTOCOL_VERSION, CONMON_OPCODE_SUBSCRIBE,
                                                CONMON_CHANNEL_TYPE_STATUS, 0, "TPX-2");
              }).size(),
              30u);
    EXPECT_EQ(built([](auto out) {
                  return conmon_build_subscribe(out, 0x1000, CONMON_OPCODE_SUBSCRIBE, 2, 0, "TPX-2");
              }).size(),
              28u);

    const Bytes message = conmon_message_of(40);
    const Bytes control = built([&](auto out) {
        return conmon_build_control(out, CONMON_PROTOCOL_VERSION, "TPX-2", 1, 500000, message);
    });
    ASSERT_EQ(control.size(), 116u);
    EXPECT_EQ(control[52 + 2], 0x00);  // conmon length, big-endian 0x0040
    EXPECT_EQ(control[52 + 3], 0x40);
    EXPECT_EQ(std::memcmp(&control[52 + 16], kVornix, 8), 0);

    EXPECT_EQ(built([](auto out) {
                  return conmon_build_connect(out, CONMON_PROTOCOL_VERSION, "vendor_controller", true);
              }).size(),
              44u);
    // An older server gets the name and its terminator, no keepalive field.
    EXPECT_EQ(built([](auto out) {
                  return conmon_build_connect(out, 0x1300, "vendor_controller", true);
              }).size(),
              17u + 11u);
    EXPECT_EQ(built([](auto out) {
                  return conmon_build_register(out, 0x1503, CONMON_OPCODE_REGISTER, 2, 1, 0);
              }).size(),
              16u);
    EXPECT_EQ(built([](auto out) {
                  return conmon_build_register(out, 0x1000, CONMON_OPCODE_REGISTER, 2, 1, 0);
              }).size(),
              14u);
}

TEST(ConmonRequests, BuiltRequestsPassValidation) {
    const Bytes message = conmon_message_of(13);
    const std::vector<Bytes> requests = {
        built([](auto o) { return conmon_build_connect(o, 0x1503, "vendor_controller", true); }),
        built([](auto o) { return conmon_build_connect(o, 0x1300, "vendor_controller", false); }),
        built([](auto o) { return conmon_build_register(o, 0x1503, CONMON_OPCODE_REGISTER, 2, 1, 0); }),
        built([](auto o) { return conmon_build_subscribe(o, 0x1503, CONMON_OPCODE_SUBSCRIBE, 2, 0, "u"); }),
        built([&](auto o) { return conmon_build_control(o, 0x1503, "TPX-2", 1, 0, message); }),
        built([](auto o) { return conmon_build_header_only(o, 0x1503, CONMON_OPCODE_KEEPALIVE); }),
    };
    for (const Bytes& r : requests) {
        EXPECT_EQ(conmon_protocol_validate(r), 0) << std::hex << byte_order::load_le16(&r[6]);
    }
}

TEST(ConmonMessage, BuildRefusesLongBodiesAndReadsItsHead) {
    Bytes out(2000);
    EXPECT_EQ(conmon_message_build(out, 0xFFFF, kVornix, Bytes(1449), nullptr),
              AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(conmon_message_build(std::span<uint8_t>(out).first(30), 0xFFFF, kVornix, Bytes(10),
                                   nullptr),
              AUD_ERR_NOBUFS);

    const Bytes m = conmon_message_of(13);
    ASSERT_TRUE(conmon_message_is_valid(m));
    const conmon_message* message = conmon_message_from_bytes(m.data());
    EXPECT_EQ(conmon_message_type(message), 0xFFFF);
    EXPECT_EQ(conmon_message_body_size(message), 13);
    EXPECT_EQ(std::memcmp(conmon_message_vendor_id(message), kVornix, 8), 0);
    EXPECT_FALSE(conmon_message_is_valid(std::span<const uint8_t>(m).first(23)));
    EXPECT_FALSE(conmon_message_is_valid(std::span<const uint8_t>(m).first(30)));
}

struct ValidationCase {
    const char* what;
    Bytes message;
    uint16_t status;
};

class ConmonValidation : public ::testing::TestWithParam<ValidationCase> {};

TEST_P(ConmonValidation, GivesTheStatusOfTheFault) {
    const ValidationCase& c = GetParam();
    EXPECT_EQ(conmon_protocol_validate(c.message), c.status)
        << c.what << ": " << conmon_status_name(conmon_protocol_validate(c.message));
}

std::vector<ValidationCase> validation_cases() {
    conmon_connect_info info;
    std::strcpy(info.device_name, "PC-1");
    info.interface_count = 1;
    const conmon_protocol_header connect{0x1503, 44, 1, CONMON_OPCODE_CONNECT, 0};
    const Bytes connect_response =
        built([&](auto o) { return conmon_build_connect_response(o, connect, 0x1503, info); });
    const Bytes old_connect_response =
        built([&](auto o) { return conmon_build_connect_response(o, connect, 0x1100, info); });
    const Bytes message = conmon_message_of(13);
    const Bytes rx = built([&](auto o) { return conmon_build_rx_message(o, 0x1503, 2, 1, 0, message); });
    const Bytes named =
        built([&](auto o) { return conmon_build_rx_named_message(o, 0x1503, 2, 1, "TPX-2", message); });
    conmon_subscription_record record;
    std::strcpy(record.device_name, "TPX-2");
    const Bytes subscriptions =
        built([&](auto o) { return conmon_build_subscriptions(o, 0x1503, nullptr, {&record, 1}); });
    const conmon_interface_record iface{};
    const Bytes interfaces =
        built([&](auto o) { return conmon_build_interfaces_event(o, 0x1503, {&iface, 1}); });
    const Bytes control = built([&](auto o) { return conmon_build_control(o, 0x1503, "TPX-2", 0, 0, message); });
    Bytes control_unterminated = control;
    std::memset(&control_unterminated[20], 'x', 32);
    Bytes rx_bad_inner = rx;
    byte_order::store_be16(&rx_bad_inner[16 + 2], 200);  // inner message longer than the datagram
    Bytes rx_tiny_inner = rx;
    byte_order::store_be16(&rx_tiny_inner[16 + 2], 4);  // shorter than a head
    Bytes register_bad_type =
        built([](auto o) { return conmon_build_register(o, 0x1503, CONMON_OPCODE_REGISTER, 9, 1, 0); });
    Bytes register_bad_direction =
        built([](auto o) { return conmon_build_register(o, 0x1503, CONMON_OPCODE_REGISTER, 2, 2, 0); });
    Bytes subscribe_type_0 =
        built([](auto o) { return conmon_build_subscribe(o, 0x1503, CONMON_OPCODE_SUBSCRIBE, 0, 0, "u"); });

    return {
        {"9 bytes", Bytes(9, 0x15), CONMON_STATUS_INVALID_SIZE},
        {"version too old", header_only(CONMON_OPCODE_KEEPALIVE, 1, 0x0FFF), CONMON_STATUS_INVALID_VERSION},
        {"version too new", header_only(CONMON_OPCODE_KEEPALIVE, 1, 0x2000), CONMON_STATUS_INVALID_VERSION},
        {"length field 12, 14 bytes", with_length_field(resized(header_only(0, 1), 14), 12),
         CONMON_STATUS_INVALID_SIZE},
        {"keepalive response", header_only(CONMON_OPCODE_KEEPALIVE, 1), 0},
        {"error response 13", header_only(CONMON_OPCODE_CONTROL, 13), 0},
        {"error response of unknown opcode", header_only(0x7777, 5), 0},
        {"unknown opcode", header_only(0x7777, 1), CONMON_STATUS_NOT_SUPPORTED},
        {"connect response", connect_response, 0},
        {"old connect response", old_connect_response, 0},
        {"connect response short", resized(connect_response, 200), CONMON_STATUS_INVALID_SIZE},
        {"connect response counts off", resized(connect_response, connect_response.size() + 4),
         CONMON_STATUS_INVALID_DATA},
        {"device name short", resized(header_only(CONMON_OPCODE_DEVICE_NAME, 1), 41), CONMON_STATUS_INVALID_SIZE},
        {"device name", resized(header_only(CONMON_OPCODE_DEVICE_NAME, 1), 42), 0},
        {"local text short", with_kind(resized(header_only(CONMON_OPCODE_LOCAL_TEXT, 2), 265), 2),
         CONMON_STATUS_INVALID_SIZE},
        {"register type 9", register_bad_type, CONMON_STATUS_INVALID_DATA},
        {"register direction 2", register_bad_direction, CONMON_STATUS_INVALID_DATA},
        {"subscribe type 0", subscribe_type_0, CONMON_STATUS_INVALID_DATA},
        {"subscribe event", header_only(CONMON_OPCODE_SUBSCRIBE, 2), CONMON_STATUS_INVALID_STATUS},
        {"control", control, 0},
        {"control name unterminated", control_unterminated, CONMON_STATUS_INVALID_DATA},
        {"control cut short", resized(control, 60), CONMON_STATUS_INVALID_DATA},
        {"rx message", rx, 0},
        {"rx message kind 1", with_kind(rx, 1), CONMON_STATUS_INVALID_STATUS},
        {"rx message short", resized(rx, 39), CONMON_STATUS_INVALID_SIZE},
        {"rx inner too long", rx_bad_inner, CONMON_STATUS_INVALID_DATA},
        {"rx inner shorter than a head", rx_tiny_inner, CONMON_STATUS_INVALID_DATA},
        {"rx named", named, 0},
        {"rx named short", resized(named, 71), CONMON_STATUS_INVALID_SIZE},
        {"subscriptions", subscriptions, 0},
        {"subscriptions count too high", [&] {
             Bytes m = subscriptions;
             byte_order::store_le16(&m[10], 2);
             return m;
         }(), CONMON_STATUS_INVALID_DATA},
        {"interfaces", interfaces, 0},
        {"interfaces counts off", resized(interfaces, interfaces.size() - 1), CONMON_STATUS_INVALID_DATA},
        {"0x520 as response", header_only(0x520, 1), CONMON_STATUS_INVALID_STATUS},
        {"0x520 event", header_only(0x520, 2), 0},
    };
}

INSTANTIATE_TEST_SUITE_P(Messages, ConmonValidation, ::testing::ValuesIn(validation_cases()),
                         [](const ::testing::TestParamInfo<ValidationCase>& param_info) {
                             std::string name = param_info.param.what;
                             for (char& ch : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) {
                                     ch = '_';
                                 }
                             }
                             return name;
                         });

TEST(ConmonStatus, NamesAndErrors) {
    EXPECT_STREQ(conmon_status_name(4), "Invalid size");
    EXPECT_STREQ(conmon_status_name(13), "Not Found");
    EXPECT_STREQ(conmon_status_name(14), "???");
    EXPECT_EQ(conmon_status_error(13), AUD_ERR_NOTFOUND);
    EXPECT_EQ(conmon_status_error(1), AUD_SUCCESS);
    EXPECT_EQ(conmon_status_error(3), AUD_ERR_VERSION);
    EXPECT_EQ(conmon_status_error(12), AUD_ERR_NOBUFS);
}

TEST(ConmonParsing, ConnectResponseRoundTripsInBothLayouts) {
    conmon_connect_info info;
    info.capabilities = CONMON_CAPABILITY_NO_RESPONSE;
    std::strcpy(info.device_name, "PC-STUDIO");
    std::strcpy(info.device_text, "Control PC");
    info.source = {{1, 2, 3, 4, 5, 6, 7, 8}, 4440};
    info.interface_count = 2;
    info.interfaces[0].index = 3;
    info.interfaces[0].flags = CONMON_INTERFACE_FLAG_LINK_UP;
    info.interfaces[1].index = 7;
    const conmon_protocol_header request{0x1503, 44, 5, CONMON_OPCODE_CONNECT, 0};
    for (uint16_t version : {uint16_t{0x1503}, uint16_t{0x1300}, uint16_t{0x1100}}) {
        const Bytes m = built([&](auto o) { return conmon_build_connect_response(o, request, version, info); });
        ASSERT_EQ(conmon_protocol_validate(m), 0) << std::hex << version;
        conmon_connect_info parsed;
        ASSERT_TRUE(conmon_parse_connect_response(m, version, &parsed));
        EXPECT_STREQ(parsed.device_name, "PC-STUDIO");
        EXPECT_EQ(parsed.source.process_id, 4440);
        EXPECT_EQ(parsed.source.device_id[7], 8);
        ASSERT_EQ(parsed.interface_count, 2u);
        EXPECT_EQ(parsed.interfaces[1].index, 7u);
        EXPECT_EQ(byte_order::load_le16(&m[4]), 5);  // the request's id
    }
}

TEST(ConmonParsing, NamedMessagesAndSubscriptionRecords) {
    const Bytes message = conmon_message_of(13);
    const Bytes named =
        built([&](auto o) { return conmon_build_rx_named_message(o, 0x1503, 2, 1, "TPX-2", message); });
    conmon_rx_message rx;
    ASSERT_TRUE(conmon_parse_rx_message(named, &rx));
    EXPECT_STREQ(rx.sender, "TPX-2");
    EXPECT_EQ(rx.channel_type, 2);
    EXPECT_EQ(rx.direction, 1);
    EXPECT_EQ(Bytes(rx.message.begin(), rx.message.end()), message);

    conmon_subscription_record records[2];
    std::strcpy(records[0].device_name, "TPX-2");
    records[0].flags = CONMON_SUBSCRIPTION_FLAG_SOURCE | CONMON_SUBSCRIPTION_FLAG_SUBSCRIPTION;
    records[0].source = {{9, 9, 9, 9, 9, 9, 9, 1}, 1};
    records[0].status[1] = 4;
    std::strcpy(records[1].device_name, "Other");
    const conmon_protocol_header request{0x1503, 30, 9, CONMON_OPCODE_SUBSCRIBE, 0};
    const Bytes response = built([&](auto o) { return conmon_build_subscriptions(o, 0x1503, &request, records); });
    ASSERT_EQ(conmon_protocol_validate(response), 0);
    ASSERT_EQ(conmon_subscription_record_count(response, 0x1503), 2u);
    conmon_subscription_record parsed;
    ASSERT_TRUE(conmon_parse_subscription_record(response, 0x1503, 0, &parsed));
    EXPECT_STREQ(parsed.device_name, "TPX-2");
    EXPECT_EQ(parsed.source.device_id[7], 1);
    EXPECT_EQ(parsed.status[1], 4);
    EXPECT_FALSE(conmon_parse_subscription_record(response, 0x1503, 2, &parsed));
}

TEST(ConmonParsing, RequestFieldsAsTheServerReadsThem) {
    const Bytes message = conmon_message_of(13);
    const Bytes control =
        built([&](auto o) { return conmon_build_control(o, 0x1503, "TPX-2", 2, 250000, message); });
    conmon_request_fields fields;
    ASSERT_TRUE(conmon_parse_request(control, &fields));
    EXPECT_STREQ(fields.name, "TPX-2");
    EXPECT_EQ(fields.timeout_seconds, 2u);
    EXPECT_EQ(fields.timeout_microseconds, 250000u);
    EXPECT_EQ(Bytes(fields.conmon_message.begin(), fields.conmon_message.end()), message);

    const Bytes connect = built([](auto o) { return conmon_build_connect(o, 0x1503, "vendor_controller", true); });
    ASSERT_TRUE(conmon_parse_request(connect, &fields));
    EXPECT_STREQ(fields.name, "vendor_controller");
    EXPECT_EQ(fields.keepalive, 10);

    // A name of 40 characters is cut to 31 so that it stays terminated.
    const std::string long_name(40, 'n');
    const Bytes subscribe = built([&](auto o) {
        return conmon_build_subscribe(o, 0x1503, CONMON_OPCODE_SUBSCRIBE, 2, 0, long_name.c_str());
    });
    EXPECT_EQ(subscribe.size(), 25u + 31u);
    ASSERT_TRUE(conmon_parse_request(subscribe, &fields));
    EXPECT_EQ(std::string(fields.name), std::string(31, 'n'));
}

}  // namespace
